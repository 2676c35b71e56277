// The X11 face for the shared suite, in a frame window of the harness under
// an X server (Xvfb in the test command), with its frames paced by a clock the
// test moves: driven by the host's editor-idle call, or by the face's own
// timer thread when the host never calls it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "editor/editor_x11.h"
#include "tests/editor/face_driver.h"
#include "tests/editor/manual_clock.h"

// Xlib's macros (None, Bool) clash with the test framework's names: last.
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

// An X server resets when its last client leaves and refuses connections
// meanwhile; one connection held for the whole program keeps it up.
// (A namespace-scope pointer: the leak checker sees the connection held.)
Display* gHeldDisplay = nullptr;

// Waits in real time (up to 5 s) for done; the timer thread works meanwhile.
bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 500; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

class X11Driver : public FaceDriver {
public:
    // timerDrives: the host never calls editor-idle; the timer thread runs the
    // ticks.
    explicit X11Driver(bool timerDrives) : mTimerDrives(timerDrives) {
        if (!gHeldDisplay) gHeldDisplay = XOpenDisplay(nullptr);
    }

    bool Ready(std::string& why) override {
        const char* display = std::getenv("DISPLAY");
        if (display && *display && gHeldDisplay) return true;
        why = "no X display";
        return false;
    }

    void PlaceFrame(ParentWindow& frame) override {
        // Bottom right, where the harness's other windows (kelo-host's and the
        // X11 face's own tests, at the top) never lie: a covered window is not
        // drawn, and test programs may run side by side on one server.
        Display* d = XOpenDisplay(nullptr);
        if (!d) return;
        XMoveWindow(d, Window(reinterpret_cast<uintptr_t>(frame.NativeHandle())), 820, 700);
        XSync(d, False);
        XCloseDisplay(d);
        frame.Pump(0, nullptr);
    }

    Editor* Make(EffectBase* effect, int width, int height, int fps) override {
        mEditor = new EditorX11(effect, width, height, fps);
        mEditor->UseClock(mClock);
        return mEditor;
    }

    bool Open(ParentWindow& frame) override {
        mFrame = &frame;
        if (!mEditor->OpenEditorWindow(frame.NativeHandle())) return false;
        // The first frame (due at once) and the events of the window's mapping.
        for (int i = 0; i < 3; ++i)
            Tick();
        for (int i = 0; i < 200 && !ShowsBackBuffer(); ++i)
            Settle();
        return ShowsBackBuffer();
    }

    bool WindowSize(int& width, int& height) override {
        Display* d = XOpenDisplay(nullptr);
        if (!d) return false;
        XWindowAttributes a;
        const Window w = Window(reinterpret_cast<uintptr_t>(mEditor->WindowHandle()));
        const bool known = w && XGetWindowAttributes(d, w, &a);
        if (known) width = a.width, height = a.height;
        XCloseDisplay(d);
        return known;
    }

    void Tick() override {
        const int64_t slots = mEditor->FrameSlots();
        mClock.Advance(mEditor->FramePeriodMs());
        if (mTimerDrives) {
            EXPECT_TRUE(WaitFor([&] { return mEditor->FrameSlots() > slots; }))
                << "the timer thread took no frame";
            // The frame's tick is over (and the host heard what it had to)
            // once the next tick has begun.
            const int64_t ticks = mEditor->TickCount();
            EXPECT_TRUE(WaitFor([&] { return mEditor->TickCount() > ticks; }));
            return;
        }
        // At least one idle call, so that the host drives from now on (until
        // then the timer thread may take a frame); more, in real time, while
        // the timer thread holds the window's lock (long under a sanitizer or
        // an emulator).
        EXPECT_TRUE(WaitFor([&] {
            if (mFrame) mFrame->Pump(0, nullptr);
            mEditor->Idle();
            return mEditor->FrameSlots() > slots;
        })) << "the idle call took no frame";
    }

    // Three ticks take what was sent: a tick reads the connection only when
    // Xlib's queue is empty (events an XSync queued go first).
    void Settle() override {
        if (mFrame) mFrame->Pump(0, nullptr);
        if (mTimerDrives) {
            // With the clock held, the thread ticks at least once a frame period.
            const int64_t ticks = mEditor->TickCount();
            EXPECT_TRUE(WaitFor([&] { return mEditor->TickCount() >= ticks + 3; }));
            return;
        }
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            mEditor->Idle();
        }
    }

    // The face flushes its images without waiting for the server: a read of
    // the window through another connection may be served before them.
    void WaitUntilShown() override {
        WaitFor([&] { return ShowsBackBuffer(); });
    }

    int FramePeriod(EffectBase* effect, ParentWindow&, int fps) override {
        return EditorX11(effect, 10, 10, fps).FramePeriodMs();
    }

    int64_t Passes() override { return mEditor->FrameCount(); }
    int64_t Sends() override { return mEditor->PutCount(); }
    int SendsForAreas(int areas) override { return mEditor->UsesSharedImage() ? 1 : areas; }
    bool Showing() override { return mEditor->WindowShowing(); }

    std::vector<std::string> WaysToHide() override { return {"unmapped", "covered"}; }

    void Hide(ParentWindow& frame, const std::string& way) override {
        Display* d = XOpenDisplay(nullptr);
        ASSERT_NE(d, nullptr);
        if (way == "unmapped") {
            XUnmapWindow(d, Window(reinterpret_cast<uintptr_t>(frame.NativeHandle())));
        } else {
            // A window of the host's over the whole editor (only over its own
            // frame: test programs beside this one keep theirs in view).
            const Window top = Window(reinterpret_cast<uintptr_t>(frame.NativeHandle()));
            XWindowAttributes a;
            XGetWindowAttributes(d, top, &a);
            mCover = XCreateSimpleWindow(d, top, 0, 0, unsigned(a.width), unsigned(a.height), 0, 0,
                                         0x808080);
            XMapRaised(d, mCover);
            mCoverDisplay = d;
        }
        XSync(d, False);
        if (d != mCoverDisplay) XCloseDisplay(d);
        for (int i = 0; i < 200 && Showing(); ++i)
            Settle();
    }

    void Unhide(ParentWindow& frame, const std::string& way) override {
        if (way == "unmapped") {
            Display* d = XOpenDisplay(nullptr);
            ASSERT_NE(d, nullptr);
            XMapWindow(d, Window(reinterpret_cast<uintptr_t>(frame.NativeHandle())));
            XSync(d, False);
            XCloseDisplay(d);
        } else if (mCoverDisplay) {
            XDestroyWindow(mCoverDisplay, mCover);
            XSync(mCoverDisplay, False);
            XCloseDisplay(mCoverDisplay);
            mCoverDisplay = nullptr;
        }
        for (int i = 0; i < 200 && !Showing(); ++i)
            Settle();
    }

    bool PromptOpen() override { return mEditor->PromptOpen(); }
    int PromptState() override { return mEditor->PromptStateNow(); }
    Control* PromptControl() override { return mEditor->PromptControl(); }
    Rect PromptBox() override {
        Rect r = mEditor->PromptRect();
        if (!mEditor->PromptEntries().empty()) r.B = r.T + EditorX11::kPromptRowHeight;
        return r;
    }
    std::string PromptText() override { return mEditor->PromptText(); }
    std::vector<std::string> PromptEntries() override { return mEditor->PromptEntries(); }
    int PromptSelection() override { return mEditor->PromptSelection(); }

    void TypeInPrompt(const char* text) override {
        if (!text) return;
        // The whole text is selected: typing replaces it, a backspace clears it.
        if (!*text) {
            Keys({XK_BackSpace});
            return;
        }
        Display* d = XOpenDisplay(nullptr);
        ASSERT_NE(d, nullptr);
        for (const char* c = text; *c; ++c) {
            const KeySym sym = KeySym(static_cast<unsigned char>(*c)); // Latin-1 keysyms
            XEvent e = KeyEvent(d, sym);
            ASSERT_NE(e.xkey.keycode, 0u) << "no key for '" << *c << "'";
            // Shift where the keyboard map puts the character on the shifted level.
            int per = 0;
            KeySym* map = XGetKeyboardMapping(d, KeyCode(e.xkey.keycode), 1, &per);
            if (map && per > 1 && map[0] != sym && map[1] == sym) e.xkey.state = ShiftMask;
            if (map) XFree(map);
            XSendEvent(d, e.xkey.window, False, 0, &e);
        }
        XCloseDisplay(d);
        Settle();
    }

    void PressEnter() override { Keys({XK_Return}); }

    void ChooseRow(int row) override {
        const Rect r = mEditor->PromptRect();
        Click(r.L + 10, r.T + row * EditorX11::kPromptRowHeight + 4);
    }

    // A press inside the text field gives it the keys; one on an empty spot
    // of the editor (its top left corner) takes them away.
    void FocusPrompt() override {
        const Rect r = mEditor->PromptRect();
        Click(r.L + 2, r.T + r.H() / 2);
    }
    void UnfocusPrompt() override { Click(1, 1); }

    char Separator() override { return '/'; }
    std::string ProgramFolder() override {
        char exe[4096] = {};
        if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) return {};
        const std::string path(exe);
        return path.substr(0, path.rfind('/') + 1);
    }

    EditorX11* editor() { return mEditor; }

private:
    // True when the window shows exactly what the back buffer holds.
    bool ShowsBackBuffer() {
        std::vector<uint32_t> shown, back;
        int w = 0, h = 0;
        if (!mFrame || !mFrame->Capture(shown, w, h)) return false;
        // The timer thread may be drawing: copy the back buffer between frames.
        if (!mEditor->CopyBackBuffer(back) || back.size() != shown.size()) return false;
        for (size_t i = 0; i < back.size(); ++i)
            if ((back[i] | 0xFF000000u) != shown[i]) return false;
        return true;
    }

    XEvent KeyEvent(Display* d, KeySym sym) {
        XEvent e = {};
        e.xkey.type = KeyPress;
        e.xkey.display = d;
        e.xkey.window = Window(reinterpret_cast<uintptr_t>(mEditor->WindowHandle()));
        e.xkey.root = DefaultRootWindow(d);
        e.xkey.keycode = XKeysymToKeycode(d, sym);
        e.xkey.same_screen = True;
        return e;
    }

    // Keys typed into the editor window as the server delivers them.
    void Keys(const std::vector<KeySym>& keys) {
        Display* d = XOpenDisplay(nullptr);
        ASSERT_NE(d, nullptr);
        for (KeySym sym : keys) {
            XEvent e = KeyEvent(d, sym);
            XSendEvent(d, e.xkey.window, False, 0, &e);
        }
        XCloseDisplay(d);
        Settle();
    }

    void Click(int x, int y) {
        MouseEvent e;
        e.action = MouseAction::Click, e.x = x, e.y = y;
        ASSERT_TRUE(mFrame->SendMouse(e));
        Settle();
    }

    bool mTimerDrives;
    ManualClock mClock;
    EditorX11* mEditor = nullptr; // owned by the effect
    ParentWindow* mFrame = nullptr;
    Display* mCoverDisplay = nullptr;
    Window mCover = 0;
};

} // namespace

std::vector<FaceKind> PlatformFaces() {
    return {
        {"X11HostIdles", [] { return std::unique_ptr<FaceDriver>(new X11Driver(false)); }},
        {"X11TimerThread", [] { return std::unique_ptr<FaceDriver>(new X11Driver(true)); }},
    };
}
