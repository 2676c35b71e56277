// The harness's editor frame on Windows: an overlapped window whose client
// area the plug-in's editor window fills. Mouse events are sent to the
// editor's window as the system would post them; pictures are read back from
// its device context.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "tools/host/parent_window.h"

namespace {

constexpr const char* kFrameClass = "KeloHostFrame";

LRESULT CALLBACK FrameProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        // Remember the user's wish; the harness closes the editor first.
        SetPropA(wnd, "KeloClosed", reinterpret_cast<HANDLE>(1));
        return 0;
    }
    return DefWindowProcA(wnd, message, wParam, lParam);
}

bool RegisterFrameClass() {
    static bool registered = false;
    if (registered) return true;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = FrameProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kFrameClass;
    registered = RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    return registered;
}

class ParentWin32 : public ParentWindow {
public:
    ~ParentWin32() override { Destroy(); }

    bool Create(int width, int height, const std::string& title) override {
        Destroy();
        if (width <= 0 || height <= 0) {
            mError = "the editor has no size";
            return false;
        }
        if (!RegisterFrameClass()) {
            mError = "cannot register the window class";
            return false;
        }
        const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
        RECT frame = {0, 0, width, height};
        AdjustWindowRectEx(&frame, style, FALSE, 0);
        mWnd = CreateWindowExA(0, kFrameClass, title.c_str(), style | WS_CLIPCHILDREN, 40, 40,
                               frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
        if (!mWnd) {
            mError = "cannot create the window (is there a display?)";
            return false;
        }
        ShowWindow(mWnd, SW_SHOWNORMAL);
        UpdateWindow(mWnd);
        return true;
    }

    void Destroy() override {
        if (!mWnd) return;
        RemovePropA(mWnd, "KeloClosed");
        DestroyWindow(mWnd);
        mWnd = nullptr;
    }

    void* NativeHandle() const override { return mWnd; }

    bool UserClosed() const override { return mWnd && GetPropA(mWnd, "KeloClosed") != nullptr; }

    void Pump(int milliseconds, const std::function<void()>& idle) override {
        const ULONGLONG start = GetTickCount64();
        const ULONGLONG end = start + ULONGLONG(std::max(milliseconds, 0));
        ULONGLONG nextIdle = start;
        for (;;) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            ULONGLONG now = GetTickCount64();
            if (idle && now >= nextIdle) {
                idle();
                // On a steady beat; a late round does not bunch the next ones.
                nextIdle += kIdlePeriodMs;
                if (nextIdle <= now) nextIdle = now + kIdlePeriodMs;
                now = GetTickCount64();
            }
            if (now >= end) break;
            const ULONGLONG wake = idle ? std::min(end, nextIdle) : end;
            const DWORD wait = DWORD(wake > now ? wake - now : 0);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
        }
    }

    void* EditorHandle() const override { return mWnd ? GetWindow(mWnd, GW_CHILD) : nullptr; }

    bool SendMouse(const MouseEvent& event) override {
        HWND editor = static_cast<HWND>(EditorHandle());
        if (!editor) return false;
        // Alt is read from the keyboard state, not from the message.
        BYTE keyboard[256] = {};
        GetKeyboardState(keyboard);
        BYTE saved[256];
        std::memcpy(saved, keyboard, sizeof saved);
        keyboard[VK_MENU] = event.alt ? 0x80 : 0;
        SetKeyboardState(keyboard);

        WPARAM keys = 0;
        if (event.shift) keys |= MK_SHIFT;
        if (event.control) keys |= MK_CONTROL;
        const bool right = event.button == MouseButton::Right;
        const WPARAM button = right ? MK_RBUTTON : MK_LBUTTON;
        const LPARAM at = MAKELPARAM(WORD(short(event.x)), WORD(short(event.y)));
        const UINT down = right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN;
        const UINT up = right ? WM_RBUTTONUP : WM_LBUTTONUP;
        const UINT doubled = right ? WM_RBUTTONDBLCLK : WM_LBUTTONDBLCLK;

        switch (event.action) {
        case MouseAction::Press:
            SendMessageA(editor, down, keys | button, at);
            break;
        case MouseAction::Drag:
            SendMessageA(editor, WM_MOUSEMOVE, keys | button, at);
            break;
        case MouseAction::Release:
            SendMessageA(editor, up, keys, at);
            break;
        case MouseAction::Click:
            SendMessageA(editor, down, keys | button, at);
            SendMessageA(editor, up, keys, at);
            break;
        case MouseAction::DoubleClick:
            // The system's order: press, release, double click, release.
            SendMessageA(editor, down, keys | button, at);
            SendMessageA(editor, up, keys, at);
            SendMessageA(editor, doubled, keys | button, at);
            SendMessageA(editor, up, keys, at);
            break;
        case MouseAction::Wheel: {
            // The wheel reports its position in screen coordinates.
            POINT screen = {event.x, event.y};
            ClientToScreen(editor, &screen);
            const WPARAM delta = WPARAM(WORD(short(event.notches * WHEEL_DELTA)));
            SendMessageA(editor, WM_MOUSEWHEEL, MAKEWPARAM(WORD(keys), delta),
                         MAKELPARAM(WORD(short(screen.x)), WORD(short(screen.y))));
            break;
        }
        case MouseAction::Move:
            SendMessageA(editor, WM_MOUSEMOVE, keys, at);
            break;
        case MouseAction::Leave:
            SendMessageA(editor, WM_MOUSELEAVE, 0, 0);
            break;
        }
        SetKeyboardState(saved);
        Pump(0, nullptr);
        return true;
    }

    bool Capture(std::vector<uint32_t>& pixels, int& width, int& height) override {
        HWND editor = static_cast<HWND>(EditorHandle());
        if (!editor) return false;
        UpdateWindow(editor);
        RECT client = {};
        GetClientRect(editor, &client);
        width = client.right - client.left;
        height = client.bottom - client.top;
        if (width <= 0 || height <= 0) return false;

        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height; // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HDC source = GetDC(editor);
        HDC memory = CreateCompatibleDC(source);
        HBITMAP section = CreateDIBSection(source, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        bool copied = false;
        if (source && memory && section && bits) {
            HGDIOBJ old = SelectObject(memory, section);
            copied = BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY) != 0;
            GdiFlush();
            if (copied) {
                const auto* words = static_cast<const uint32_t*>(bits);
                pixels.assign(words, words + size_t(width) * size_t(height));
                for (uint32_t& p : pixels)
                    p |= 0xFF000000u;
            }
            SelectObject(memory, old);
        }
        if (section) DeleteObject(section);
        if (memory) DeleteDC(memory);
        if (source) ReleaseDC(editor, source);
        return copied;
    }

private:
    HWND mWnd = nullptr;
};

} // namespace

std::unique_ptr<ParentWindow> NewParentWindow() {
    return std::unique_ptr<ParentWindow>(new ParentWin32());
}
