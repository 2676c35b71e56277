// The Win32 face's window: its class, lifetime and messages, the timer's
// frames and painting. The prompt's widget, text and the system services are
// in editor_win_prompt.cpp, editor_win_text.cpp and editor_win_services.cpp.
#include "editor/editor_win.h"

#include "editor/win_handles.h"

#include <cmath>

#include "editor/platform_editor.h"

// The 32-bit records keep the sizes the system's 32-bit mouse tracking
// expects; sizeof fills them in on every target.
#ifndef _WIN64
static_assert(sizeof(TRACKMOUSEEVENT) == 16, "TRACKMOUSEEVENT is 16 bytes on 32-bit Windows");
#endif

namespace {

// Module-wide: editor windows open now (the class stays registered while
// there is one), and the frame rate the next window's timer takes.
int gWindowCount = 0;
double gTimerFps = 24.0;
// The period the last WM_CREATE started its timer with.
int gLastTimerPeriod = 0;

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

Editor* NewPlatformEditor(EffectBase* effect, int32_t width, int32_t height, int32_t fps) {
    return new EditorWin(effect, width, height, fps);
}

EditorWin::EditorWin(EffectBase* effect, int32_t width, int32_t height, int32_t fps)
    : WindowFace(effect, width, height, fps, PromptIdle) {}

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

void EditorWin::ResizeWindow(int32_t width, int32_t height) {
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
    if (TickPrompt()) return;
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
