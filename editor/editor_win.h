// The Win32 face of the editor: the child window inside the host's editor
// frame, redrawn from a timer out of the back buffer (a DIB section), with
// mouse and wheel input routed to the core, a small value prompt (a text field
// or a drop-down list over a control), and the system services controls ask
// for: dialogs, paths, the shell, GDI text and PNG resources. Windows only;
// every call runs on the thread that owns the window.
//
// The face's jobs, a file each:
//   editor_win.cpp           the window: its class, lifetime and messages, the
//                            timer's frames and painting
//   editor_win_prompt.cpp    the prompt's widget: a child EDIT or COMBOBOX
//   editor_win_text.cpp      text drawn by GDI into the back buffer
//   editor_win_services.cpp  folders, the file and colour dialogs, the shell
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "editor/window_face.h"

class Param;

// The window's class and name, its timer and the prompt's control id.
constexpr const char* kEditorWindowClass = "QuillWndClass";
constexpr const char* kEditorWindowName = "Quill";
constexpr uintptr_t kEditorTimerId = 2;
constexpr int kPromptControlId = 99;

// MouseKeys of a mouse message's key-state word (MK_* bits); alt is the
// keyboard's state of VK_MENU.
MouseKeys MouseKeysOf(uintptr_t keyState, bool altDown);

// The folder part of a module file name that GetModuleFileNameA wrote into a
// buffer of capacity characters and answered length for: up to and including
// the last backslash. Empty for a failure (0), a name cut short (length of
// capacity or more), no backslash, or nothing after the last one.
std::string DirectoryOfModuleName(const char* name, unsigned long length, unsigned long capacity);

class EditorWin : public WindowFace {
public:
    EditorWin(EffectBase* effect, int32_t width, int32_t height, int32_t fps);
    // Closes the window (and a prompt) first, then frees the text font and
    // the chooser's custom colours.
    ~EditorWin() override;

    bool PaintRect(const Rect& rect) override;
    bool DrawString(const TextStyle& style, const char* text, const Rect& rect) override;
    bool IsWindowOpen() override;
    void HostDirectory(std::string& out) override;
    void ModuleDirectory(std::string& out) override;
    void AskForFile(std::string& out, int action, const char* directory,
                    const char* extensions) override;
    bool AskForColor(Color& color, const char* prompt) override;
    bool OpenDocument(const char* path) override;
    void* OpenEditorWindow(void* parent) override;
    void CloseEditorWindow() override;
    void* WindowHandle() override { return mWnd; }
    // LoadEditorBitmap comes from RasterEditor: the module's "PNG" resources.

    // --- state, for the harness and tests
    void* PromptWindow() const { return mPromptWnd; }
    int PromptStateNow() const { return mPrompt.State(); }
    Control* PromptControl() const { return mPrompt.GetControl(); }
    void* PromptFont() const { return mPromptFont; }
    void* TextFont() const { return mFont; }
    const uint32_t* CustomColors() const { return mCustomColors; }
    // The timer period the window was created with, in milliseconds (0 before).
    int TimerPeriod() const { return mTimerPeriod; }
    // Drawing passes (frames and repaints) and areas copied to the window
    // since construction.
    int64_t PassCount() const { return mPasses; }
    int64_t BlitCount() const { return mBlits; }
    // The window is visible and its top-level window not minimised.
    bool WindowShowing() const;
    // Editor windows of this module open now.
    static int OpenWindowCount();
    // The timer period for a frame rate: trunc(1000 / fps).
    static int TimerPeriodFor(double fps);

    // The work of the window procedures (editor window, prompt) once they
    // found the editor behind the window.
    intptr_t HandleMessage(void* wnd, unsigned message, uintptr_t wParam, intptr_t lParam);
    intptr_t HandlePromptMessage(void* wnd, unsigned message, uintptr_t wParam, intptr_t lParam);

private:
    // --- the window (editor_win.cpp)
    void OnTimer();
    void ResizeWindow(int32_t width, int32_t height) override;
    // --- the prompt's widget (editor_win_prompt.cpp)
    bool CanPrompt() override { return mWnd != nullptr; }
    bool ShowPromptWidget(const PromptPlace& place) override;
    void ShowPromptText(const std::string& text) override;
    std::string PromptTyped() override;
    void ClosePrompt() override;
    // Deletes the prompt's font and clears every prompt member (its window is gone).
    void ForgetPrompt();
    // --- text (editor_win_text.cpp)
    // The DC of the back buffer with the text font selected; null without one.
    void* TextDc();
    void ReleaseTextFont();

    bool mFontMade = false;
    Color mTextColor = Color(255, 0, 0, 0);
    void* mWnd = nullptr;              // HWND
    void* mPromptWnd = nullptr;        // HWND, the widget of mPrompt
    void* mPromptOldProc = nullptr;    // WNDPROC
    uint32_t* mCustomColors = nullptr; // 16 COLORREF values
    void* mParentWnd = nullptr;        // HWND

    void* mPromptFont = nullptr; // HFONT of the prompt, deleted with it
    void* mFont = nullptr;       // HFONT made by the first DrawString
    void* mFontDc = nullptr;     // the HDC mFont is selected into
    void* mOldFont = nullptr;    // what mFontDc selected before
    int mTimerPeriod = 0;
    int64_t mPasses = 0, mBlits = 0;
    void* mPaintDc = nullptr;        // the window's HDC during WM_PAINT
    bool mWholeFramePending = false; // something changed while nobody could see it
    std::vector<Rect> mPaintRects;   // the areas of one WM_PAINT, reused
    std::vector<Rect> mDirtyRects;   // the changed controls of one frame, reused
    bool mOwnCaptureChange = false;  // our own SetCapture/ReleaseCapture is under way
    int mMouseX = 0, mMouseY = 0;    // last position of a mouse message
};
