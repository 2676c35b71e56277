// The Win32 face's system services: the folders of the host and of this
// module, the file and colour dialogs, and documents opened by the shell.
#include "editor/editor_win.h"

#include "editor/win_handles.h"

#include <commdlg.h>
#include <shellapi.h>

// The 32-bit records keep the sizes the system's 32-bit dialogs expect;
// sizeof fills them in on every target.
#ifndef _WIN64
static_assert(sizeof(OPENFILENAMEA) == 88, "OPENFILENAMEA is 88 bytes on 32-bit Windows");
static_assert(sizeof(CHOOSECOLORA) == 36, "CHOOSECOLORA is 36 bytes on 32-bit Windows");
#endif
static_assert(sizeof(COLORREF) == sizeof(uint32_t), "custom colours are 32-bit words");

namespace {

// Sets the colour chooser's title to the caller's prompt text.
UINT_PTR CALLBACK ColorHook(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto* choose = reinterpret_cast<const CHOOSECOLORA*>(lParam);
        if (choose && choose->lCustData)
            SetWindowTextA(dialog, reinterpret_cast<const char*>(choose->lCustData));
    }
    return 0;
}

void DirectoryOfModule(HMODULE module, std::string& out) {
    char name[256];
    const DWORD length = GetModuleFileNameA(module, name, sizeof name);
    out = DirectoryOfModuleName(name, length, sizeof name);
}

} // namespace

std::string DirectoryOfModuleName(const char* name, unsigned long length, unsigned long capacity) {
    // A name as long as the buffer was cut short (and may lack its terminator).
    if (!name || length == 0 || length >= capacity) return std::string();
    const std::string path(name, length);
    const size_t slash = path.rfind('\\');
    if (slash == std::string::npos || slash + 1 == path.size()) return std::string();
    return path.substr(0, slash + 1);
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
