#include "editor/editor_win.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <commdlg.h>
#include <shellapi.h>

#include <cmath>
#include <cstring>

#include "draw/resource.h"
#include "editor/control.h"
#include "editor/platform_editor.h"
#include "plug/param.h"

// The 32-bit records keep the sizes the system's 32-bit dialogs and mouse
// tracking expect; sizeof fills them in on every target.
#ifndef _WIN64
static_assert(sizeof(OPENFILENAMEA) == 88, "OPENFILENAMEA is 88 bytes on 32-bit Windows");
static_assert(sizeof(CHOOSECOLORA) == 36, "CHOOSECOLORA is 36 bytes on 32-bit Windows");
static_assert(sizeof(TRACKMOUSEEVENT) == 16, "TRACKMOUSEEVENT is 16 bytes on 32-bit Windows");
#endif
static_assert(sizeof(COLORREF) == sizeof(uint32_t), "custom colours are 32-bit words");

namespace {

// Module-wide: editor windows open now (the class stays registered while
// there is one), and the frame rate the next window's timer takes.
int gWindowCount = 0;
double gTimerFps = 24.0;
// The period the last WM_CREATE started its timer with.
int gLastTimerPeriod = 0;

HINSTANCE ModuleInstance() {
    return static_cast<HINSTANCE>(CurrentModule());
}

HWND AsWnd(void* wnd) {
    return static_cast<HWND>(wnd);
}

LRESULT CALLBACK EditorWindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        gLastTimerPeriod = EditorWin::TimerPeriodFor(gTimerFps);
        SetTimer(wnd, kEditorTimerId, UINT(gLastTimerPeriod), nullptr);
        ShowWindow(wnd, SW_SHOWNA);
        return 0;
    }
    auto* editor = reinterpret_cast<EditorWin*>(GetWindowLongPtrA(wnd, GWLP_USERDATA));
    if (!editor || editor->WindowHandle() != wnd)
        return DefWindowProcA(wnd, message, wParam, lParam);
    return editor->HandleMessage(wnd, message, wParam, lParam);
}

LRESULT CALLBACK PromptWindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* editor = reinterpret_cast<EditorWin*>(GetWindowLongPtrA(wnd, GWLP_USERDATA));
    if (!editor || editor->PromptWindow() != wnd)
        return DefWindowProcA(wnd, message, wParam, lParam);
    return editor->HandlePromptMessage(wnd, message, wParam, lParam);
}

// Sets the colour chooser's title to the caller's prompt text.
UINT_PTR CALLBACK ColorHook(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto* choose = reinterpret_cast<const CHOOSECOLORA*>(lParam);
        if (choose && choose->lCustData)
            SetWindowTextA(dialog, reinterpret_cast<const char*>(choose->lCustData));
    }
    return 0;
}

bool RegisterEditorClass() {
    WNDCLASSA wc = {};
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = EditorWindowProc;
    wc.hInstance = ModuleInstance();
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.lpszClassName = kEditorWindowClass;
    // A window the host destroyed behind our back may have kept the class.
    return RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void UnregisterEditorClass() {
    UnregisterClassA(kEditorWindowClass, ModuleInstance());
}

int MouseX(LPARAM lParam) {
    return int(short(LOWORD(lParam)));
}

int MouseY(LPARAM lParam) {
    return int(short(HIWORD(lParam)));
}

void DirectoryOfModule(HMODULE module, std::string& out) {
    char name[256];
    const DWORD length = GetModuleFileNameA(module, name, sizeof name);
    out = DirectoryOfModuleName(name, length, sizeof name);
}

} // namespace

MouseKeys MouseKeysOf(uintptr_t keyState, bool altDown) {
    MouseKeys keys;
    keys.L = (keyState & MK_LBUTTON) != 0;
    keys.R = (keyState & MK_RBUTTON) != 0;
    keys.S = (keyState & MK_SHIFT) != 0;
    keys.C = (keyState & MK_CONTROL) != 0;
    keys.A = altDown;
    return keys;
}

std::string DirectoryOfModuleName(const char* name, unsigned long length, unsigned long capacity) {
    // A name as long as the buffer was cut short (and may lack its terminator).
    if (!name || length == 0 || length >= capacity) return std::string();
    const std::string path(name, length);
    const size_t slash = path.rfind('\\');
    if (slash == std::string::npos || slash + 1 == path.size()) return std::string();
    return path.substr(0, slash + 1);
}

Editor* NewPlatformEditor(EffectBase* effect, int32_t width, int32_t height, int32_t fps) {
    return new EditorWin(effect, width, height, fps);
}

EditorWin::EditorWin(EffectBase* effect, int32_t width, int32_t height, int32_t fps)
    : RasterEditor(effect, width, height, fps) {}

EditorWin::~EditorWin() {
    CloseEditorWindow();
    ReleaseTextFont();
    delete[] mCustomColors;
    mCustomColors = nullptr;
    // A class a destroyed-from-outside window kept is given up with the
    // last editor that could have used it.
    if (gWindowCount == 0) UnregisterEditorClass();
}

int EditorWin::OpenWindowCount() {
    return gWindowCount;
}

int EditorWin::TimerPeriodFor(double fps) {
    if (!(fps > 0.0)) fps = 24.0;
    const double period = std::trunc(1000.0 / fps);
    return period < 1.0 ? 1 : int(period);
}

bool EditorWin::PaintRect(const Rect& rect) {
    if (!mWnd) return false;
    ++mBlits;
    if (mPaintDc) {
        // Inside WM_PAINT: one of its areas.
        Bitmap* back = BackBuffer();
        HDC source = back ? static_cast<HDC>(back->DeviceContext()) : nullptr;
        if (source)
            BitBlt(static_cast<HDC>(mPaintDc), rect.L, rect.T, rect.R - rect.L, rect.B - rect.T,
                   source, rect.L, rect.T, SRCCOPY);
        return true;
    }
    PAINTSTRUCT paint;
    HDC target = BeginPaint(AsWnd(mWnd), &paint);
    Bitmap* back = BackBuffer();
    HDC source = back ? static_cast<HDC>(back->DeviceContext()) : nullptr;
    if (target && source)
        BitBlt(target, rect.L, rect.T, rect.R - rect.L, rect.B - rect.T, source, rect.L, rect.T,
               SRCCOPY);
    EndPaint(AsWnd(mWnd), &paint);
    return true;
}

void* EditorWin::TextDc() {
    Bitmap* back = BackBuffer();
    HDC dc = back ? static_cast<HDC>(back->DeviceContext()) : nullptr;
    if (!dc) return nullptr;
    // A new back buffer (PrepareSurface again) has a new device context:
    // the font and the text settings move over to it.
    if (mFont && mFontDc != dc) {
        mOldFont = SelectObject(dc, static_cast<HFONT>(mFont));
        mFontDc = dc;
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(mTextColor.mR, mTextColor.mG, mTextColor.mB));
    }
    return dc;
}

void EditorWin::ReleaseTextFont() {
    if (!mFont) return;
    Bitmap* back = BackBuffer();
    HDC dc = back ? static_cast<HDC>(back->DeviceContext()) : nullptr;
    if (dc && dc == mFontDc && mOldFont) SelectObject(dc, static_cast<HGDIOBJ>(mOldFont));
    DeleteObject(static_cast<HGDIOBJ>(mFont));
    mFont = mFontDc = mOldFont = nullptr;
    mFontMade = false;
}

bool EditorWin::DrawString(const TextStyle& style, const char* text, const Rect& rect) {
    if (!text) return true;
    HDC dc = static_cast<HDC>(TextDc());
    if (!dc) return false;
    const COLORREF color = RGB(style.mColor.mR, style.mColor.mG, style.mColor.mB);
    if (!mFontMade) {
        // The first call's font serves every later text, whatever its style.
        char face[sizeof style.mFace];
        std::memcpy(face, style.mFace, sizeof face);
        face[sizeof face - 1] = 0;
        const int angle = style.mOrientation * 10;
        HFONT font =
            CreateFontA(style.mSize, 0, angle, angle, style.mStyle == TextStyle::Bold ? FW_BOLD : 0,
                        style.mStyle == TextStyle::Italic, 0, 0, 0, 0, 0, 0, 0, face);
        if (font) {
            mFont = font;
            mFontDc = dc;
            mOldFont = SelectObject(dc, font);
        }
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, color);
        mFontMade = true;
    } else if (style.mColor != mTextColor) {
        SetTextColor(dc, color);
    }
    mTextColor = style.mColor;

    UINT format = DT_NOCLIP | DT_LEFT;
    if (style.mAlign == TextStyle::AlignCenter) format = DT_NOCLIP | DT_CENTER;
    if (style.mAlign == TextStyle::AlignRight) format = DT_NOCLIP | DT_RIGHT;
    RECT box = {rect.L, rect.T, rect.R, rect.B};
    const int drawn = DrawTextA(dc, text, -1, &box, format);
    // GDI may still hold the text back; the software drawing that follows
    // must find it in the pixels.
    GdiFlush();
    return drawn != 0;
}

void EditorWin::SetSize(int32_t width, int32_t height) {
    // The core deletes every control: a prompt must not outlive its control.
    ClosePrompt();
    RasterEditor::SetSize(width, height);
    if (mWnd) {
        SetWindowPos(AsWnd(mWnd), nullptr, 0, 0, width, height,
                     SWP_NOACTIVATE | SWP_NOZORDER | SWP_NOMOVE);
        RECT all = {0, 0, width, height};
        InvalidateRect(AsWnd(mWnd), &all, FALSE);
    }
}

bool EditorWin::IsWindowOpen() {
    return mWnd != nullptr;
}

void* EditorWin::OpenEditorWindow(void* parent) {
    mParentWnd = parent;
    int x = 0, y = 0, width = mViewWidth, height = mViewHeight;
    if (mWnd) {
        // Reopening keeps the window's place and size inside the parent.
        // The offset counts from the parent's client area, where a child's
        // position is given (a parent with a frame would shift it otherwise).
        POINT origin = {0, 0};
        if (parent) ClientToScreen(AsWnd(parent), &origin);
        RECT windowRect = {};
        GetWindowRect(AsWnd(mWnd), &windowRect);
        x = windowRect.left - origin.x;
        y = windowRect.top - origin.y;
        width = windowRect.right - windowRect.left;
        height = windowRect.bottom - windowRect.top;
        CloseEditorWindow();
    }
    if (gWindowCount++ == 0 && !RegisterEditorClass()) {
        --gWindowCount;
        return nullptr;
    }
    gTimerFps = double(mFps);
    gLastTimerPeriod = 0;
    HWND wnd = CreateWindowExA(0, kEditorWindowClass, kEditorWindowName,
                               WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, x, y, width, height,
                               AsWnd(parent), nullptr, ModuleInstance(), nullptr);
    mWnd = wnd;
    if (!wnd) {
        if (--gWindowCount == 0) UnregisterEditorClass();
        return nullptr;
    }
    SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    mTimerPeriod = gLastTimerPeriod;
    return mWnd;
}

void EditorWin::CloseEditorWindow() {
    if (!mWnd) return;
    ClosePrompt();
    // A press without its release would leave a momentary control held.
    if (Capture() >= 0) OnMouseUp(mMouseX, mMouseY);
    HWND wnd = AsWnd(mWnd);
    // From here on the window's messages do not reach this editor.
    SetWindowLongPtrA(wnd, GWLP_USERDATA, 0);
    mWnd = nullptr;
    DestroyWindow(wnd);
    if (--gWindowCount == 0) UnregisterEditorClass();
    if (gWindowCount < 0) gWindowCount = 0;
}

intptr_t EditorWin::HandleMessage(void* window, unsigned message, uintptr_t wParam,
                                  intptr_t lParam) {
    HWND wnd = AsWnd(window);
    switch (message) {
    case WM_NCDESTROY:
        // Destroyed with the host's window, before CloseEditorWindow: forget
        // it (the prompt, its child, has forgotten itself already).
        if (Capture() >= 0) OnMouseUp(mMouseX, mMouseY);
        SetWindowLongPtrA(wnd, GWLP_USERDATA, 0);
        mWnd = nullptr;
        if (gWindowCount > 0) --gWindowCount;
        return DefWindowProcA(wnd, message, wParam, lParam);
    case WM_CAPTURECHANGED:
        // Another window took the mouse in the middle of a drag: the drag
        // ends here, as if the button had been released.
        if (!mOwnCaptureChange && Capture() >= 0) OnMouseUp(mMouseX, mMouseY);
        return 0;
    default:
        break;
    }

    // While the prompt has the keyboard the editor holds still; a right
    // press cancels the prompt. Exposed parts are still painted.
    if (mPromptWnd && mPrompt.State() == PromptFocused && message != WM_PAINT) {
        if (message == WM_RBUTTONDOWN) {
            mPrompt.Cancel();
            return 0;
        }
        return DefWindowProcA(wnd, message, wParam, lParam);
    }

    const bool alt = GetKeyState(VK_MENU) < 0;
    switch (message) {
    case WM_PAINT: {
        // Only the invalid areas are drawn and copied, not their bounding box.
        HRGN region = CreateRectRgn(0, 0, 0, 0);
        const int kind = region ? GetUpdateRgn(wnd, region, FALSE) : ERROR;
        mPaintRects.clear();
        if (kind == SIMPLEREGION || kind == COMPLEXREGION) {
            const DWORD size = GetRegionData(region, 0, nullptr);
            std::vector<char> data(size);
            if (size && GetRegionData(region, size, reinterpret_cast<RGNDATA*>(data.data()))) {
                const RGNDATA* rgn = reinterpret_cast<const RGNDATA*>(data.data());
                const RECT* r = reinterpret_cast<const RECT*>(rgn->Buffer);
                for (DWORD i = 0; i < rgn->rdh.nCount; ++i)
                    if (r[i].right > r[i].left && r[i].bottom > r[i].top)
                        mPaintRects.emplace_back(r[i].left, r[i].top, r[i].right, r[i].bottom);
            }
        }
        if (region) DeleteObject(region);
        if (mPaintRects.empty()) break;
        PAINTSTRUCT paint;
        HDC target = BeginPaint(wnd, &paint);
        mPaintDc = target;
        if (target) {
            ++mPasses;
            DrawRects(mPaintRects);
        }
        mPaintDc = nullptr;
        EndPaint(wnd, &paint);
        return 0;
    }
    case WM_CLOSE:
        CloseEditorWindow();
        return 0;
    case WM_TIMER:
        if (wParam != kEditorTimerId) break;
        OnTimer();
        return 0;
    case WM_MOUSEMOVE: {
        const int x = MouseX(lParam), y = MouseY(lParam);
        mMouseX = x;
        mMouseY = y;
        const MouseKeys mod = MouseKeysOf(wParam, alt);
        if (mod.L || mod.R) {
            if (GetCapture() == wnd) OnMouseDrag(x, y, mod);
        } else if (OnMouseOver(x, y, mod)) {
            TRACKMOUSEEVENT track = {};
            track.cbSize = sizeof track;
            track.dwFlags = TME_LEAVE;
            track.hwndTrack = wnd;
            track.dwHoverTime = HOVER_DEFAULT;
            TrackMouseEvent(&track);
        }
        return 0;
    }
    case WM_RBUTTONDOWN:
        if (mPromptWnd) {
            mPrompt.Cancel();
            return 0;
        }
        [[fallthrough]];
    case WM_LBUTTONDOWN: {
        mMouseX = MouseX(lParam);
        mMouseY = MouseY(lParam);
        mOwnCaptureChange = true;
        SetCapture(wnd);
        mOwnCaptureChange = false;
        OnMouseDown(mMouseX, mMouseY, MouseKeysOf(wParam, alt));
        return 0;
    }
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
        mMouseX = MouseX(lParam);
        mMouseY = MouseY(lParam);
        mOwnCaptureChange = true;
        ReleaseCapture();
        mOwnCaptureChange = false;
        OnMouseUp(mMouseX, mMouseY);
        return 0;
    case WM_LBUTTONDBLCLK:
        mMouseX = MouseX(lParam);
        mMouseY = MouseY(lParam);
        OnMouseDblClick(mMouseX, mMouseY, MouseKeysOf(wParam, alt));
        return 0;
    case WM_MOUSEWHEEL: {
        // The position comes in screen coordinates.
        RECT place = {};
        GetWindowRect(wnd, &place);
        const int x = MouseX(lParam) - place.left, y = MouseY(lParam) - place.top;
        const int notches = int(short(HIWORD(wParam))) / WHEEL_DELTA;
        OnMouseWheel(x, y, MouseKeysOf(LOWORD(wParam), alt), notches);
        return 0;
    }
    case WM_MOUSELEAVE:
        OnMouseOut();
        return 0;
    default:
        break;
    }
    return DefWindowProcA(wnd, message, wParam, lParam);
}

void EditorWin::OnTimer() {
    if (mPromptWnd) {
        switch (mPrompt.Tick()) {
        case ValuePrompt::kNothing:
            break;
        case ValuePrompt::kShowText:
            SendMessageA(AsWnd(mPromptWnd), WM_SETTEXT, 0,
                         reinterpret_cast<LPARAM>(mPrompt.Shown().c_str()));
            return;
        case ValuePrompt::kCommitAndClose:
            CommitPrompt();
            ClosePrompt();
            return;
        case ValuePrompt::kClose:
            ClosePrompt();
            return;
        }
    }
    if (!mWnd) return;
    Rect dirty;
    if (!WindowShowing()) {
        // Hidden or minimised: nothing is drawn; what changed comes back as
        // one whole frame when the window shows again.
        if (IsDirty(dirty)) mWholeFramePending = true;
        return;
    }
    if (mWholeFramePending) {
        mWholeFramePending = false;
        InvalidateRect(AsWnd(mWnd), nullptr, FALSE);
    } else {
        if (!DirtyRects(mDirtyRects)) return;
        for (const Rect& r : mDirtyRects) {
            RECT area = {r.L, r.T, r.R, r.B};
            InvalidateRect(AsWnd(mWnd), &area, FALSE);
        }
    }
    UpdateWindow(AsWnd(mWnd));
    if (mPromptWnd) mPrompt.EditorDrew();
}

bool EditorWin::WindowShowing() const {
    if (!mWnd) return false;
    HWND top = GetAncestor(AsWnd(mWnd), GA_ROOT);
    return IsWindowVisible(AsWnd(mWnd)) && !(top && IsIconic(top));
}

void EditorWin::CommitPrompt() {
    if (!mPromptWnd || !mPrompt.IsOpen()) return;
    // The field's text, or the list's chosen entry ("" for none).
    char text[32] = "";
    SendMessageA(AsWnd(mPromptWnd), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    text[sizeof text - 1] = 0;
    mPrompt.Commit(text);
}

void EditorWin::ClosePrompt() {
    if (!mPromptWnd) return;
    HWND prompt = AsWnd(mPromptWnd);
    if (mPromptOldProc)
        SetWindowLongPtrA(prompt, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(mPromptOldProc));
    SetWindowLongPtrA(prompt, GWLP_USERDATA, 0);
    DestroyWindow(prompt);
    ForgetPrompt();
}

void EditorWin::ForgetPrompt() {
    // The font goes only once no window uses it.
    if (mPromptFont) DeleteObject(static_cast<HGDIOBJ>(mPromptFont));
    mPromptFont = nullptr;
    mPromptWnd = nullptr;
    mPromptOldProc = nullptr;
    mPrompt.Close();
}

void EditorWin::OpenValuePrompt(Control* control, Param* param) {
    if (!control || !param || mPromptWnd || !mWnd) return;
    const Rect& r = control->GetRect();
    const int cx = int((r.L + r.R) * 0.5), cy = int((r.T + r.B) * 0.5);
    ValuePrompt prompt;
    // The widget takes the focus with a message of its own.
    prompt.Open(control, param, PromptIdle);
    const char* current = prompt.Shown().c_str();

    HWND wnd = nullptr;
    const std::vector<std::string>& entries = prompt.Entries();
    if (prompt.IsList()) {
        int width = 24;
        for (const std::string& entry : entries) {
            const int wide = 8 * int(entry.size()) + 24;
            if (wide > width) width = wide;
        }
        wnd = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST,
                              cx - width / 2, cy - 8, width, 16, AsWnd(mWnd),
                              reinterpret_cast<HMENU>(intptr_t(kPromptControlId)), ModuleInstance(),
                              nullptr);
        if (!wnd) return;
        for (const std::string& entry : entries)
            SendMessageA(wnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
        SendMessageA(wnd, CB_SETCURSEL, WPARAM(prompt.ShownEntry()), 0);
    } else {
        wnd = CreateWindowExA(0, "EDIT", current, WS_CHILD | WS_VISIBLE | ES_CENTER | ES_MULTILINE,
                              cx - 16, cy - 8, 32, 16, AsWnd(mWnd),
                              reinterpret_cast<HMENU>(intptr_t(kPromptControlId)), ModuleInstance(),
                              nullptr);
        if (!wnd) return;
    }
    mPromptWnd = wnd;
    mPrompt = prompt;
    SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    mPromptOldProc = reinterpret_cast<void*>(
        SetWindowLongPtrA(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PromptWindowProc)));
    HFONT font = CreateFontA(14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Arial");
    mPromptFont = font;
    if (font) SendMessageA(wnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

intptr_t EditorWin::HandlePromptMessage(void* window, unsigned message, uintptr_t wParam,
                                        intptr_t lParam) {
    HWND wnd = AsWnd(window);
    auto old = reinterpret_cast<WNDPROC>(mPromptOldProc);
    if (!old) return DefWindowProcA(wnd, message, wParam, lParam);
    switch (message) {
    case WM_SETFOCUS:
        mPrompt.FocusGained();
        break;
    case WM_KILLFOCUS:
        // Losing the focus does not undo a pending commit or cancel.
        mPrompt.FocusLost();
        break;
    case WM_KEYDOWN:
        if (wParam == VK_RETURN) {
            mPrompt.Enter();
            return 0;
        }
        break;
    case WM_COMMAND:
        if (HIWORD(wParam) == 1) {
            // A choice in the list; the list still updates itself.
            mPrompt.Enter();
            CallWindowProcA(old, wnd, message, wParam, lParam);
            return 0;
        }
        break;
    case WM_NCDESTROY: {
        // Destroyed with the editor window by the host: forget the prompt.
        const LRESULT result = CallWindowProcA(old, wnd, message, wParam, lParam);
        ForgetPrompt();
        return result;
    }
    default:
        break;
    }
    return CallWindowProcA(old, wnd, message, wParam, lParam);
}

void EditorWin::HostDirectory(std::string& out) {
    DirectoryOfModule(nullptr, out);
}

void EditorWin::ModuleDirectory(std::string& out) {
    DirectoryOfModule(static_cast<HMODULE>(CurrentModule()), out);
}

void EditorWin::AskForFile(std::string& out, int action, const char* directory, const char*) {
    out.clear();
    if (!mWnd) return;
    std::string initial = directory ? directory : "";
    if (initial.empty()) HostDirectory(initial);
    char file[256] = "";
    OPENFILENAMEA dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = AsWnd(mWnd);
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof file - 1;
    dialog.lpstrInitialDir = initial.empty() ? nullptr : initial.c_str();
    BOOL chosen = FALSE;
    if (action == 1) {
        dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
        chosen = GetSaveFileNameA(&dialog);
    } else {
        dialog.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
        chosen = GetOpenFileNameA(&dialog);
    }
    if (chosen) {
        file[sizeof file - 1] = 0;
        out = file;
    }
}

bool EditorWin::AskForColor(Color& color, const char* prompt) {
    if (!mWnd) return false;
    if (!mCustomColors) mCustomColors = new uint32_t[16]();
    CHOOSECOLORA choose = {};
    choose.lStructSize = sizeof choose;
    choose.hwndOwner = AsWnd(mWnd);
    choose.rgbResult = RGB(color.mR, color.mG, color.mB);
    choose.lpCustColors = reinterpret_cast<COLORREF*>(mCustomColors);
    choose.Flags = CC_RGBINIT | CC_FULLOPEN | CC_ENABLEHOOK | CC_SOLIDCOLOR | CC_ANYCOLOR;
    choose.lCustData = reinterpret_cast<LPARAM>(prompt);
    choose.lpfnHook = ColorHook;
    if (!ChooseColorA(&choose)) return false;
    color.mR = GetRValue(choose.rgbResult);
    color.mG = GetGValue(choose.rgbResult);
    color.mB = GetBValue(choose.rgbResult);
    return true;
}

bool EditorWin::OpenDocument(const char* path) {
    if (!path) return false;
    const auto result = reinterpret_cast<intptr_t>(
        ShellExecuteA(nullptr, "open", path, nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32;
}
