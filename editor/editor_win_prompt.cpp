// The Win32 face's prompt widget: a child EDIT (a text field) or COMBOBOX (a
// drop-down list of the parameter's value texts) over the control, subclassed
// so that its focus, Enter and choices reach the shared ValuePrompt.
#include "editor/editor_win.h"

#include "editor/win_handles.h"

namespace {

LRESULT CALLBACK PromptWindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* editor = reinterpret_cast<EditorWin*>(GetWindowLongPtrA(wnd, GWLP_USERDATA));
    if (!editor || editor->PromptWindow() != wnd)
        return DefWindowProcA(wnd, message, wParam, lParam);
    return editor->HandlePromptMessage(wnd, message, wParam, lParam);
}

} // namespace

bool EditorWin::ShowPromptWidget(const PromptPlace& place) {
    const int cx = place.cx, cy = place.cy;
    HWND wnd = nullptr;
    if (mPrompt.IsList()) {
        const int width = place.listWidth;
        wnd = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST,
                              cx - width / 2, cy - 8, width, kPromptRowHeight, AsWnd(mWnd),
                              reinterpret_cast<HMENU>(intptr_t(kPromptControlId)), ModuleInstance(),
                              nullptr);
        if (!wnd) return false;
        for (const std::string& entry : mPrompt.Entries())
            SendMessageA(wnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
        SendMessageA(wnd, CB_SETCURSEL, WPARAM(mPrompt.ShownEntry()), 0);
    } else {
        wnd = CreateWindowExA(
            0, "EDIT", mPrompt.Shown().c_str(), WS_CHILD | WS_VISIBLE | ES_CENTER | ES_MULTILINE,
            cx - 16, cy - 8, 32, kPromptRowHeight, AsWnd(mWnd),
            reinterpret_cast<HMENU>(intptr_t(kPromptControlId)), ModuleInstance(), nullptr);
        if (!wnd) return false;
    }
    mPromptWnd = wnd;
    SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    mPromptOldProc = reinterpret_cast<void*>(
        SetWindowLongPtrA(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PromptWindowProc)));
    HFONT font = CreateFontA(14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Arial");
    mPromptFont = font;
    if (font) SendMessageA(wnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return true;
}

void EditorWin::ShowPromptText(const std::string& text) {
    SendMessageA(AsWnd(mPromptWnd), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::string EditorWin::PromptTyped() {
    // The field's text, or the list's chosen entry ("" for none).
    char text[32] = "";
    if (mPromptWnd)
        SendMessageA(AsWnd(mPromptWnd), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    text[sizeof text - 1] = 0;
    return text;
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
