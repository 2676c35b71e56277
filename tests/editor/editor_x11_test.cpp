// What only the X11 face does, in a window of the harness's own under an X
// server (Xvfb in the test command): frames paced by the host's idle call or
// the timer thread (counted exactly on a clock the test moves), scrolls,
// shared and plain images, several editors in one process, X errors, the keys
// of the drawn prompt, FreeType text and xdg-open. What both faces do is in
// editor_face_test.cpp.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "editor/editor_x11.h"
#include "editor/text_raster.h"
#include "tests/editor/editor_test_support.h"
#include "tests/editor/manual_clock.h"
#include "tools/host/parent_window.h"

// Xlib's macros (None, Bool) clash with the test framework's names: last.
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

// Tests that need a server skip only when none is configured and the test
// command did not ask for one (it sets KELO_REQUIRE_DISPLAY).
#define REQUIRE_DISPLAY()                                                                          \
    do {                                                                                           \
        const char* display = std::getenv("DISPLAY");                                              \
        if (!display || !*display) {                                                               \
            if (std::getenv("KELO_REQUIRE_DISPLAY")) FAIL() << "DISPLAY is not set";               \
            GTEST_SKIP() << "no X display";                                                        \
        }                                                                                          \
        KeepServerUp();                                                                            \
    } while (0)

// An X server resets when its last client leaves and refuses connections
// meanwhile; one connection held for the whole program keeps it up.
// (A namespace-scope pointer: the leak checker sees the connection held.)
Display* gHeldDisplay = nullptr;
void KeepServerUp() {
    if (!gHeldDisplay) gHeldDisplay = XOpenDisplay(nullptr);
}

constexpr int kWidth = 160, kHeight = 120;
constexpr int32_t kSwitch = 2;

// The editor plug-in with an off/on parameter and quiet processing.
class X11Plug : public EditorPlug {
public:
    X11Plug() { ParamAt(kSwitch)->DefineSwitch("gate", false); }
    void ProcessBlock(double** in, double** out, int32_t frames) override {
        EffectBase::ProcessBlock(in, out, frames);
    }
};

// A filled rectangle bound to a parameter, with the default mouse behaviour;
// counts its drawings and may ask to be drawn in every frame.
class Patch : public Control {
public:
    Patch(EffectBase* effect, const Rect& rect, uint32_t word, int32_t param = -1)
        : Control(effect, rect, param, BlendCopy), mWord(word) {}
    // A new colour, drawn in the next frame (any thread).
    void Paint(uint32_t word) {
        mWord = word;
        SetDirty(false);
    }
    bool Draw(Editor* editor) override {
        ++mDraws;
        editor->FillColorRect(Color::FromWord(mWord), mRect, nullptr);
        if (mAlways) mDrawAgain = true;
        return true;
    }
    std::atomic<uint32_t> mWord;
    bool mAlways = false;
    std::atomic<int> mDraws{0};
};

// A control that records each mouse call with its keys ("down 30,40 LS").
class KeyLog : public Control {
public:
    KeyLog(const Rect& rect) : Control(nullptr, rect, -1, BlendAlpha) {}
    void OnMouseDown(int x, int y, const MouseKeys& m) override { Note("down", x, y, &m); }
    void OnMouseUp(int x, int y) override { Note("up", x, y, nullptr); }
    void OnMouseDrag(int x, int y, int dx, int dy, const MouseKeys& m) override {
        Note("drag", x, y, &m, " " + std::to_string(dx) + " " + std::to_string(dy));
    }
    void OnMouseDblClick(int x, int y, const MouseKeys& m) override { Note("dbl", x, y, &m); }
    void OnMouseWheel(int x, int y, const MouseKeys& m, int steps) override {
        Note("wheel", x, y, &m, " " + std::to_string(steps));
    }
    void OnMouseOver(int x, int y, const MouseKeys& m) override { Note("over", x, y, &m); }
    void OnMouseOut() override { mLog.push_back("out"); }
    bool Draw(Editor*) override { return true; }
    std::vector<std::string> mLog;

private:
    void Note(const char* what, int x, int y, const MouseKeys* m, const std::string& more = "") {
        std::string keys;
        if (m) {
            keys = " ";
            if (m->L) keys += 'L';
            if (m->R) keys += 'R';
            if (m->S) keys += 'S';
            if (m->C) keys += 'C';
            if (m->A) keys += 'A';
        }
        mLog.push_back(std::string(what) + " " + std::to_string(x) + "," + std::to_string(y) +
                       keys + more);
    }
};

// Moves a frame window: apart from another frame of the test, and where the
// harness's other windows (kelo-host's, the face suite's) never lie, since a
// covered window is not drawn and test programs may share the server.
void MoveFrame(void* window, int x, int y) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return;
    XMoveWindow(d, Window(reinterpret_cast<uintptr_t>(window)), x, y);
    XCloseDisplay(d);
}

// Where the tests' frames go.
constexpr int kFrameX = 820, kFrameY = 100;

// One plug-in whose X11 editor opens in a frame window of the harness.
struct Session {
    std::unique_ptr<ParentWindow> parent = NewParentWindow();
    std::unique_ptr<X11Plug> plug = std::make_unique<X11Plug>();
    EditorX11* editor = nullptr; // owned by the plug-in
    ManualClock* clock = nullptr;

    // With a clock, the frames are paced by it: Tick is one frame.
    explicit Session(ManualClock* clock = nullptr) : clock(clock) {
        editor = new EditorX11(plug.get(), kWidth, kHeight, 0);
        if (clock) editor->UseClock(*clock);
        plug->SetEditor(editor);
    }
    ~Session() {
        plug.reset(); // closes the editor before its frame goes
        parent.reset();
    }
    template <typename T>
    T* Add(T* control) {
        editor->AddControl(control);
        return control;
    }
    bool Open() {
        if (!parent->Create(kWidth, kHeight, "editor test")) {
            ADD_FAILURE() << parent->Error();
            return false;
        }
        MoveFrame(parent->NativeHandle(), kFrameX, kFrameY);
        return editor->OpenEditorWindow(parent->NativeHandle()) != nullptr;
    }
    // The host's loop: window events and the editor-idle call.
    void Pump(int ms) {
        parent->Pump(ms, [this] { editor->Idle(); });
    }
    // One frame period on the clock, then the host's idle call: one frame.
    void Tick() {
        const int64_t slots = editor->FrameSlots();
        clock->Advance(editor->FramePeriodMs());
        // At least one idle call, so that the host drives from now on (until
        // then the timer thread may take a frame); more, in real time, while
        // the timer thread holds the window's lock (long under a sanitizer or
        // an emulator).
        for (int i = 0; i == 0 || (i < 500 && editor->FrameSlots() == slots); ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            parent->Pump(0, nullptr);
            editor->Idle();
        }
        EXPECT_GT(editor->FrameSlots(), slots);
    }
    bool PumpUntil(const std::function<bool()>& done, int ms = 2000) {
        for (int waited = 0; waited < ms; waited += 10) {
            if (done()) return true;
            Pump(10);
        }
        return done();
    }
    bool Mouse(MouseAction action, int x, int y, MouseButton button = MouseButton::Left) {
        MouseEvent e;
        e.action = action, e.x = x, e.y = y, e.button = button;
        return Send(e);
    }
    bool Send(const MouseEvent& e) {
        const bool sent = parent->SendMouse(e);
        Pump(60); // the editor's tick handles what it was sent
        return sent;
    }
    // True when the window shows exactly what the back buffer holds.
    bool ShowsBackBuffer() {
        std::vector<uint32_t> shown;
        int w = 0, h = 0;
        if (!parent->Capture(shown, w, h) || w != kWidth || h != kHeight) return false;
        // The timer thread may be drawing: copy the back buffer between frames.
        std::vector<uint32_t> back;
        if (!editor->CopyBackBuffer(back) || back.size() != shown.size()) return false;
        for (size_t i = 0; i < back.size(); ++i)
            if ((back[i] | 0xFF000000u) != shown[i]) return false;
        return true;
    }
    // Types keys into the editor window as the server delivers them.
    void Keys(const std::vector<KeySym>& keys) {
        Display* d = XOpenDisplay(nullptr);
        ASSERT_NE(d, nullptr);
        const Window target = Window(reinterpret_cast<uintptr_t>(editor->WindowHandle()));
        for (KeySym sym : keys) {
            XEvent e = {};
            e.xkey.type = KeyPress;
            e.xkey.display = d;
            e.xkey.window = target;
            e.xkey.root = DefaultRootWindow(d);
            e.xkey.keycode = XKeysymToKeycode(d, sym);
            e.xkey.same_screen = True;
            XSendEvent(d, target, False, 0, &e);
        }
        XCloseDisplay(d);
        Pump(60);
    }
};

// Entries of a folder (open files in /proc/self/fd, threads in /proc/self/task).
int Count(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// --- frames, paced by a clock the test moves

TEST(EditorX11Frames, AHostIdlingEveryMillisecondGetsTheFrameRateNotAFrameACall) {
    REQUIRE_DISPLAY();
    ManualClock clock;
    Session s(&clock);
    Patch* busy = s.Add(new Patch(s.plug.get(), Rect(0, 0, 20, 20), 0xFF0000FF));
    busy->mAlways = true;
    ASSERT_TRUE(s.Open());
    for (int i = 0; i < 3; ++i)
        s.Tick();
    // A second of idle calls a millisecond apart: 24 frames, one each 41 ms.
    const int before = busy->mDraws;
    const int64_t slots = s.editor->FrameSlots();
    for (int ms = 0; ms < 1000; ++ms) {
        clock.Advance(1);
        s.editor->Idle();
    }
    // An idle call that met the timer thread holding the window's lock took
    // nothing: a few more with the clock held take a frame left due, and no
    // other.
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        s.editor->Idle();
    }
    // 24 frames; one fewer where the idle calls met the lock held for a whole
    // period (under a sanitizer on a loaded machine the clock, moved by hand,
    // runs far ahead of the thread's work): a frame taken a period late starts
    // the grid again instead of catching up with a burst.
    const int64_t frames = s.editor->FrameSlots() - slots;
    EXPECT_GE(frames, 1000 / 41 - 1);
    EXPECT_LE(frames, 1000 / 41);
    EXPECT_EQ(busy->mDraws - before, frames);
}

// Waits in real time (up to 5 s) for done, while the timer thread works.
bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

TEST(EditorX11Frames, TheTimerThreadDrawsAFrameAPeriodWhenTheHostNeverIdles) {
    REQUIRE_DISPLAY();
    ManualClock clock;
    Session s(&clock);
    Patch* busy = s.Add(new Patch(s.plug.get(), Rect(0, 0, 20, 20), 0xFF0000FF));
    busy->mAlways = true;
    ASSERT_TRUE(s.Open());
    // The first frame is due at once.
    ASSERT_TRUE(WaitFor([&] { return s.editor->FrameSlots() == 1; }));
    const int before = busy->mDraws;
    for (int frame = 1; frame <= 12; ++frame) {
        clock.Advance(s.editor->FramePeriodMs());
        ASSERT_TRUE(WaitFor([&] { return s.editor->FrameSlots() == 1 + frame; })) << frame;
    }
    EXPECT_EQ(busy->mDraws, before + 12);
}

TEST(EditorX11Frames, TheTimerThreadTakesOverOnceTheHostStopsIdlingForTheGraceTime) {
    REQUIRE_DISPLAY();
    ManualClock clock;
    Session s(&clock);
    ASSERT_TRUE(s.Open());
    for (int i = 0; i < 3; ++i)
        s.Tick();
    const int64_t slots = s.editor->FrameSlots(), ticks = s.editor->TickCount();
    // A frame is due, but the host idled less than the grace time ago: the
    // timer thread leaves the frame to the host's next call.
    clock.Advance(EditorX11::kHostIdleGraceMs - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(s.editor->FrameSlots(), slots);
    EXPECT_EQ(s.editor->TickCount(), ticks);
    // The grace time is over: the timer thread takes the frame (one, however
    // many periods the host missed).
    clock.Advance(1);
    EXPECT_TRUE(WaitFor([&] { return s.editor->FrameSlots() == slots + 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(s.editor->FrameSlots(), slots + 1);
}

// --- several editors, and lifetime

TEST(EditorX11Picture, TwoPlugInsShowTheirOwnEditorsInOneProcess) {
    REQUIRE_DISPLAY();
    Session a, b;
    a.Add(new Patch(a.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF112233));
    b.Add(new Patch(b.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF445566));
    ASSERT_TRUE(a.Open());
    ASSERT_TRUE(b.Open());
    MoveFrame(b.parent->NativeHandle(), kFrameX + kWidth + 20, kFrameY);
    EXPECT_TRUE(a.PumpUntil([&] { return a.ShowsBackBuffer(); }));
    EXPECT_TRUE(b.PumpUntil([&] { return b.ShowsBackBuffer(); }));
    EXPECT_EQ(a.editor->GetPoint(5, 5), Color::FromWord(0xFF112233));
    EXPECT_EQ(b.editor->GetPoint(5, 5), Color::FromWord(0xFF445566));
}

TEST(EditorX11Lifetime, AWindowDestroyedWithItsHostsFrameIsDeadButKeptForTheHostToClose) {
    REQUIRE_DISPLAY();
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF808080));
    ASSERT_TRUE(s.Open());
    s.Pump(100);
    // The default X error handler would end the process on the first error.
    s.parent->Destroy();
    for (int i = 0; i < 20; ++i) {
        s.editor->Idle();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(s.editor->WindowAlive());
    EXPECT_NE(s.editor->WindowHandle(), nullptr); // until the host closes it
    s.editor->CloseEditorWindow();
    EXPECT_EQ(s.editor->WindowHandle(), nullptr);
}

TEST(EditorX11Lifetime, FiftyOpenCloseCyclesWhileAudioRunsLeaveNothingBehind) {
    REQUIRE_DISPLAY();
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF336699))->mAlways = true;
    s.plug->ConnectAll(256);
    ASSERT_TRUE(s.parent->Create(kWidth, kHeight, "cycles"));
    MoveFrame(s.parent->NativeHandle(), kFrameX, kFrameY);
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        std::vector<double> l(256, 0.25), r(256, -0.25), ol(256), orr(256);
        double* in[2] = {l.data(), r.data()};
        double* out[2] = {ol.data(), orr.data()};
        while (!stop)
            s.plug->ProcessDoubleReplacing(in, out, 256);
    });
    // Warm up once, so lazily made process-wide things are counted before.
    ASSERT_NE(s.editor->OpenEditorWindow(s.parent->NativeHandle()), nullptr);
    s.Pump(20);
    s.editor->CloseEditorWindow();
    const int fds = Count("/proc/self/fd"), threads = Count("/proc/self/task");
    for (int i = 0; i < 50; ++i) {
        ASSERT_NE(s.editor->OpenEditorWindow(s.parent->NativeHandle()), nullptr) << i;
        s.Pump(i % 5 * 10);
        s.editor->CloseEditorWindow();
    }
    stop = true;
    audio.join();
    EXPECT_EQ(Count("/proc/self/fd"), fds);
    // The audio thread is gone (an emulator may take a moment to see it go).
    for (int i = 0; i < 100 && Count("/proc/self/task") != threads - 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Count("/proc/self/task"), threads - 1);
    EXPECT_EQ(s.parent->EditorHandle(), nullptr);
}

// --- what is sent

// A strip of numbered columns that moves left by three columns a step: a
// frame moves its pixels and draws only the new columns at its right.
class Scroller : public Control {
public:
    Scroller(EffectBase* effect, const Rect& rect) : Control(effect, rect, -1, BlendCopy) {}
    void Step() {
        mFirst += 3;
        SetDirty(false);
    }
    bool PlanScroll(Rect& area, int& dx, std::vector<Rect>& redraw) override {
        redraw.clear();
        const int moved = mFirst - mShown;
        if (mShown < 0 || moved <= 0 || moved >= mRect.W()) return false;
        area = mRect;
        dx = -moved;
        redraw.emplace_back(mRect.R - moved, mRect.T, mRect.R, mRect.B);
        return true;
    }
    void Scrolled() override { mShown = mFirst; }
    bool Draw(Editor* editor) override {
        const Rect pass = editor->PassArea();
        for (int x = mRect.L; x < mRect.R; ++x) {
            if (x >= pass.L && x < pass.R) ++mDrawnColumns;
            const uint32_t n = uint32_t(mFirst + x - mRect.L);
            const Color c = Color::FromWord(0xFF000000u | (n * 40503u & 0xFFFFFFu));
            editor->DrawVerticalLine(c, x, mRect.T, mRect.B - 1);
        }
        if (editor->PassArea().Covers(mRect)) mShown = mFirst;
        return true;
    }
    int mFirst = 0, mShown = -1;
    int mDrawnColumns = 0; // columns drawn inside a pass's area
};

TEST(EditorX11Cost, AScrollingControlShowsItsMovedPixelsWithOneImageAFrame) {
    REQUIRE_DISPLAY();
    ManualClock clock;
    Session s(&clock);
    s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF204060));
    Scroller* strip = s.Add(new Scroller(s.plug.get(), Rect(20, 30, 140, 90)));
    ASSERT_TRUE(s.Open());
    for (int i = 0; i < 3; ++i)
        s.Tick();
    ASSERT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); }));
    const int64_t puts = s.editor->PutCount();
    const int drawn = strip->mDrawnColumns;
    for (int step = 0; step < 8; ++step) {
        strip->Step();
        s.Tick();
        EXPECT_TRUE(s.ShowsBackBuffer()) << "step " << step;
    }
    // Three new columns drawn a step, not the strip; the moved pixels and
    // the new ones among them go as one image.
    EXPECT_EQ(strip->mDrawnColumns, drawn + 8 * 3);
    EXPECT_EQ(s.editor->PutCount(), puts + 8);
}

TEST(EditorX11Cost, SharedAndPlainImagesShowTheSamePicture) {
    REQUIRE_DISPLAY();
    for (bool plain : {false, true}) {
        SCOPED_TRACE(plain ? "plain images" : "shared images");
        if (plain)
            setenv("KELO_X11_NO_SHM", "1", 1);
        else
            unsetenv("KELO_X11_NO_SHM");
        Session s;
        s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF336699));
        Patch* a = s.Add(new Patch(s.plug.get(), Rect(5, 7, 61, 33), 0xFFC08040));
        ASSERT_TRUE(s.Open());
        // Xvfb offers the shared-memory extension.
        EXPECT_EQ(s.editor->UsesSharedImage(), !plain);
        EXPECT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); }));
        for (uint32_t word : {0xFF102030u, 0xFFFFFFFFu, 0xFF000000u}) {
            a->Paint(word);
            EXPECT_TRUE(s.PumpUntil([&] {
                return s.editor->GetPoint(6, 8) == Color::FromWord(word) && s.ShowsBackBuffer();
            }));
        }
    }
    unsetenv("KELO_X11_NO_SHM");
}

// --- X errors

std::atomic<int> gHostHandlerCalls{0};
int HostHandlerA(Display*, XErrorEvent*) {
    ++gHostHandlerCalls;
    return 0;
}
int HostHandlerB(Display*, XErrorEvent*) {
    ++gHostHandlerCalls;
    return 0;
}

TEST(EditorX11Errors, TheProcessWideHandlerStaysTheHostsWhileTheEditorMeetsErrors) {
    REQUIRE_DISPLAY();
    Session s;
    Patch* busy = s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF808080));
    busy->mAlways = true;
    ASSERT_TRUE(s.Open());
    s.Pump(100);
    gHostHandlerCalls = 0;
    const XErrorHandler original = XSetErrorHandler(HostHandlerA);
    // The host swaps its handler while the editor's timer draws, then
    // destroys its frame under the editor, which meets errors on every call.
    // Each swap must hand back the handler the host set last: never one of
    // the editor's, never a stale one.
    int stale = 0;
    XErrorHandler mine = HostHandlerA;
    const auto swapFor = [&](int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            const XErrorHandler next = mine == HostHandlerA ? HostHandlerB : HostHandlerA;
            if (XSetErrorHandler(next) != mine) ++stale;
            mine = next;
        }
    };
    swapFor(400);
    s.parent->Destroy();
    swapFor(400);
    EXPECT_FALSE(s.editor->WindowAlive());
    EXPECT_EQ(stale, 0);
    // The editor's errors stayed on its own connection.
    EXPECT_EQ(gHostHandlerCalls, 0);
    XSetErrorHandler(original);
}

// --- the mouse and the keys

TEST(EditorX11Mouse, EachWheelNotchIsOneStepAsTheServerSendsAButtonANotch) {
    REQUIRE_DISPLAY();
    Session s;
    KeyLog* log = s.Add(new KeyLog(Rect(20, 20, 100, 100)));
    ASSERT_TRUE(s.Open());
    s.Pump(50);
    MouseEvent wheel;
    wheel.action = MouseAction::Wheel, wheel.x = 60, wheel.y = 61, wheel.notches = -2,
    wheel.alt = true;
    s.Send(wheel);
    EXPECT_EQ(log->mLog, (std::vector<std::string>{"wheel 60,61 A -1", "wheel 60,61 A -1"}));
}

TEST(EditorX11Prompt, EscapeCancelsAndTheListsKeysMoveItsChoice) {
    REQUIRE_DISPLAY();
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(40, 40, 80, 80), 0xFF808080, 0));
    s.Add(new Patch(s.plug.get(), Rect(90, 40, 130, 80), 0xFF808080, kSwitch));
    ASSERT_TRUE(s.Open());
    s.Pump(50);
    const double before = s.plug->ParamAt(0)->Value();
    s.Mouse(MouseAction::Click, 60, 60, MouseButton::Right);
    ASSERT_TRUE(s.editor->PromptOpen());
    s.Keys({XK_7, XK_Escape});
    EXPECT_TRUE(s.PumpUntil([&] { return !s.editor->PromptOpen(); }));
    EXPECT_EQ(s.plug->ParamAt(0)->Value(), before);
    // The list is a row per entry; Down, Up and Enter choose by the keys.
    s.Mouse(MouseAction::Click, 110, 60, MouseButton::Right);
    ASSERT_TRUE(s.editor->PromptOpen());
    EXPECT_EQ(s.editor->PromptRect().H(), 2 * EditorX11::kPromptRowHeight);
    s.Keys({XK_Down, XK_Down});
    EXPECT_EQ(s.editor->PromptSelection(), 1) << "the last row stays the last";
    s.Keys({XK_Up});
    EXPECT_EQ(s.editor->PromptSelection(), 0);
    s.Keys({XK_Down, XK_Return});
    EXPECT_TRUE(s.PumpUntil([&] { return !s.editor->PromptOpen(); }));
    EXPECT_EQ(s.plug->ParamAt(kSwitch)->Value(), 1.0);
}

// --- text

// The box of the pixels the text coloured (reddish on white).
Rect InkBox(EditorX11& editor) {
    Rect box(INT32_MAX, INT32_MAX, -1, -1);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const Color c = editor.GetPoint(x, y);
            if (c.mR - c.mG > 60) {
                box.L = std::min(box.L, x), box.T = std::min(box.T, y);
                box.R = std::max(box.R, x + 1), box.B = std::max(box.B, y + 1);
            }
        }
    return box;
}

class TextPatch : public Control {
public:
    TextPatch(const Rect& where, const TextStyle& style, const char* text)
        : Control(nullptr, Rect(0, 0, kWidth, kHeight), -1, BlendCopy), mWhere(where),
          mStyle(style), mText(text) {}
    bool Draw(Editor* editor) override {
        editor->FillColorRect(Color(255, 255, 255, 255), mRect, nullptr);
        return editor->DrawString(mStyle, mText, mWhere);
    }
    Rect mWhere;
    TextStyle mStyle;
    const char* mText;
};

TEST(EditorX11Text, BiggerTextIsTallerAndLinesGoDownALineEach) {
    X11Plug plug;
    EditorX11 editor(&plug, kWidth, kHeight, 0);
    editor.PrepareSurface();
    const Rect where(30, 40, 130, 70);
    int height14 = 0;
    for (const int size : {14, 24}) {
        TextPatch patch(where, TextStyle(size, Color(255, 255, 0, 0), "Arial", 0, 0, 0), "Kelo 42");
        ASSERT_TRUE(patch.Draw(&editor));
        const Rect ink = InkBox(editor);
        ASSERT_LT(ink.L, ink.R) << "no ink at size " << size;
        EXPECT_GE(ink.T, where.T);
        EXPECT_LE(ink.B, where.T + size);
        if (size == 14) height14 = ink.H();
    }
    EXPECT_GT(InkBox(editor).H(), height14 + 4);
    TextPatch lines(where, TextStyle(12, Color(255, 255, 0, 0), "Arial", 0, 0, 0), "A\nA");
    lines.Draw(&editor);
    EXPECT_GE(InkBox(editor).H(), 12 + 6);
}

TEST(EditorX11Text, TextDrawnWithAClipIsTheWholeTextInsideIt) {
    // Two lines, centred, right and left, under clips of single rows and
    // columns around them and beyond: inside each clip the pixels of the text
    // drawn without one, outside it the picture before.
    TextRaster raster;
    const char* text = "-12.0 dB\nWgjy 4.00 beats";
    const Rect clips[] = {Rect(0, 0, 90, 4),   Rect(0, 9, 90, 10),  Rect(0, 20, 90, 21),
                          Rect(30, 0, 31, 40), Rect(0, 33, 90, 40), Rect(-5, -5, 200, 3),
                          Rect(60, 12, 70, 30)};
    for (const int align : {TextStyle::AlignCenter, TextStyle::AlignRight, TextStyle::AlignLeft}) {
        const TextStyle style(12, Color(255, 250, 250, 250), "Arial", TextStyle::Normal, align, 0);
        HeapBitmap whole(90, 40);
        std::fill(whole.Pixels(), whole.Pixels() + 90 * 40, 0xFF102030u);
        ASSERT_TRUE(raster.Draw(whole, Rect(), style, text, Rect(2, 3, 88, 10)));
        for (const Rect& clip : clips) {
            HeapBitmap part(90, 40);
            std::fill(part.Pixels(), part.Pixels() + 90 * 40, 0xFF102030u);
            ASSERT_TRUE(raster.Draw(part, clip, style, text, Rect(2, 3, 88, 10)));
            for (int y = 0; y < 40; ++y)
                for (int x = 0; x < 90; ++x)
                    ASSERT_EQ(part.Pixels()[y * 90 + x],
                              clip.Contains(x, y) ? whole.Pixels()[y * 90 + x] : 0xFF102030u)
                        << "align " << align << " clip " << clip.L << "," << clip.T << " at " << x
                        << "," << y;
        }
    }
}

TEST(EditorX11Text, ArialResolvesToAMetricCompatibleFace) {
    const std::string file = TextRaster::ResolveFace("Arial", TextStyle::Normal);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(TextRaster::FamilyOf(file), "Liberation Sans");
    EXPECT_NE(TextRaster::ResolveFace("Arial", TextStyle::Bold), file);
}

// --- system services

TEST(EditorX11Services, DocumentsOpenWithXdgOpenWithoutAShellOrZombies) {
    char dir[] = "/tmp/kelo-xdg-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string bin = std::string(dir) + "/xdg-open", out = std::string(dir) + "/out";
    {
        std::ofstream script(bin);
        script << "#!/bin/sh\nprintf '%s' \"$1\" > '" << out << ".tmp' && mv '" << out << ".tmp' '"
               << out << "'\n";
    }
    chmod(bin.c_str(), 0755);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (std::string(dir) + ":" + oldPath).c_str(), 1);
    X11Plug plug;
    EditorX11 editor(&plug, 10, 10, 0);
    // Quotes and a command substitution stay part of the one argument.
    const std::string doc = "/tmp/a b'; $(touch " + std::string(dir) + "/owned).pdf";
    EXPECT_TRUE(editor.OpenDocument(doc.c_str()));
    std::string got;
    for (int i = 0; i < 300 && got.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(out);
        std::getline(in, got);
    }
    EXPECT_EQ(got, doc);
    EXPECT_NE(access((std::string(dir) + "/owned").c_str(), F_OK), 0);
    // Nothing the editor started is left for this process to reap.
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_FALSE(editor.OpenDocument(""));
    EXPECT_FALSE(editor.OpenDocument(nullptr));
    setenv("PATH", "/nonexistent", 1);
    EXPECT_FALSE(editor.OpenDocument("/tmp/x.pdf"));
    setenv("PATH", oldPath.c_str(), 1);
    unlink(out.c_str());
    unlink(bin.c_str());
    rmdir(dir);
}

} // namespace
