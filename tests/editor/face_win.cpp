// The Win32 face for the shared suite, in a frame window of the harness under
// Wine: its own timer is stopped, and each of the suite's ticks is one timer
// message sent to the window.
#include <windows.h>

#include <gtest/gtest.h>

#include "editor/editor_win.h"
#include "tests/editor/face_driver.h"

namespace {

class Win32Driver : public FaceDriver {
public:
    bool Ready(std::string&) override { return true; }

    // Wine's windows stay where the harness puts them (one test program at a time).
    void PlaceFrame(ParentWindow&) override {}

    Editor* Make(EffectBase* effect, int width, int height, int fps) override {
        mEditor = new EditorWin(effect, width, height, fps);
        return mEditor;
    }

    bool Open(ParentWindow& frame) override {
        mFrame = &frame;
        HWND wnd = static_cast<HWND>(mEditor->OpenEditorWindow(frame.NativeHandle()));
        if (!wnd) return false;
        // The test's ticks are the only ones.
        KillTimer(wnd, kEditorTimerId);
        // The first frames: values shown before the window opened draw twice.
        for (int i = 0; i < 3; ++i)
            Tick();
        return true;
    }

    bool WindowSize(int& width, int& height) override {
        RECT client;
        if (!mEditor->WindowHandle() || !GetClientRect(Wnd(), &client)) return false;
        width = client.right;
        height = client.bottom;
        return true;
    }

    void Tick() override {
        if (Wnd()) SendMessageA(Wnd(), WM_TIMER, kEditorTimerId, 0);
    }
    void Settle() override {
        if (mFrame) mFrame->Pump(0, nullptr);
    }
    // The face's drawing is in the window when its timer message returns.
    void WaitUntilShown() override {}

    int FramePeriod(EffectBase* effect, ParentWindow& frame, int fps) override {
        // The period of the timer a window of that rate starts.
        EditorWin timed(effect, 50, 40, fps);
        if (!timed.OpenEditorWindow(frame.NativeHandle())) return -1;
        const int period = timed.TimerPeriod();
        timed.CloseEditorWindow();
        return period;
    }

    int64_t Passes() override { return mEditor->PassCount(); }
    int64_t Sends() override { return mEditor->BlitCount(); }
    int SendsForAreas(int areas) override { return areas; }
    bool Showing() override { return mEditor->WindowShowing(); }

    std::vector<std::string> WaysToHide() override { return {"hidden", "minimised"}; }
    void Hide(ParentWindow& frame, const std::string& way) override {
        ShowWindow(static_cast<HWND>(frame.NativeHandle()),
                   way == "hidden" ? SW_HIDE : SW_MINIMIZE);
    }
    void Unhide(ParentWindow& frame, const std::string&) override {
        HWND top = static_cast<HWND>(frame.NativeHandle());
        ShowWindow(top, SW_RESTORE);
        ShowWindow(top, SW_SHOW);
    }

    bool PromptOpen() override { return mEditor->PromptWindow() != nullptr; }
    int PromptState() override { return mEditor->PromptStateNow(); }
    Control* PromptControl() override { return mEditor->PromptControl(); }
    Rect PromptBox() override {
        RECT place;
        if (!PromptWnd() || !GetWindowRect(PromptWnd(), &place)) return Rect();
        MapWindowPoints(nullptr, Wnd(), reinterpret_cast<POINT*>(&place), 2);
        return Rect(place.left, place.top, place.right, place.bottom);
    }
    std::string PromptText() override {
        char text[64] = "";
        if (PromptWnd()) GetWindowTextA(PromptWnd(), text, sizeof text);
        return text;
    }
    std::vector<std::string> PromptEntries() override {
        std::vector<std::string> entries;
        const LRESULT count = PromptWnd() ? SendMessageA(PromptWnd(), CB_GETCOUNT, 0, 0) : 0;
        for (LRESULT i = 0; i < count; ++i) {
            char text[64] = "";
            if (SendMessageA(PromptWnd(), CB_GETLBTEXTLEN, WPARAM(i), 0) < LRESULT(sizeof text))
                SendMessageA(PromptWnd(), CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(text));
            entries.emplace_back(text);
        }
        return entries;
    }
    int PromptSelection() override {
        return PromptWnd() ? int(SendMessageA(PromptWnd(), CB_GETCURSEL, 0, 0)) : -1;
    }

    void TypeInPrompt(const char* text) override {
        if (text && PromptWnd()) SetWindowTextA(PromptWnd(), text);
    }
    void PressEnter() override {
        if (PromptWnd()) SendMessageA(PromptWnd(), WM_KEYDOWN, VK_RETURN, 0);
    }
    void ChooseRow(int row) override {
        if (!PromptWnd()) return;
        SendMessageA(PromptWnd(), CB_SETCURSEL, WPARAM(row), 0);
        // The list tells its parent of a choice (CBN_SELCHANGE).
        SendMessageA(PromptWnd(), WM_COMMAND, MAKEWPARAM(0, 1), 0);
    }
    void FocusPrompt() override {
        if (PromptWnd()) SendMessageA(PromptWnd(), WM_SETFOCUS, 0, 0);
    }
    void UnfocusPrompt() override {
        if (PromptWnd()) SendMessageA(PromptWnd(), WM_KILLFOCUS, 0, 0);
    }

    char Separator() override { return '\\'; }
    std::string ProgramFolder() override {
        char name[MAX_PATH] = "";
        const DWORD n = GetModuleFileNameA(nullptr, name, sizeof name);
        const std::string path(name, n);
        return path.substr(0, path.rfind('\\') + 1);
    }

private:
    HWND Wnd() { return static_cast<HWND>(mEditor->WindowHandle()); }
    HWND PromptWnd() { return static_cast<HWND>(mEditor->PromptWindow()); }

    EditorWin* mEditor = nullptr; // owned by the effect
    ParentWindow* mFrame = nullptr;
};

} // namespace

std::vector<FaceKind> PlatformFaces() {
    return {{"Win32", [] { return std::unique_ptr<FaceDriver>(new Win32Driver); }}};
}
