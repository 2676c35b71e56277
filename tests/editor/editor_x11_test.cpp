// The X11 face of the editor in a window of the harness's own under an X
// server (Xvfb in the test command): frames, pictures, lifetime, mouse, the
// drawn value prompt, text and the system services.
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
#include "tests/editor/prompt_cases.h"
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

// The i686 build runs under qemu-i386, many times slower, beside other tests.
bool Emulated() {
    return std::getenv("KELO_TEST_EMULATED") != nullptr;
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

// One plug-in whose X11 editor opens in a frame window of the harness.
struct Session {
    std::unique_ptr<ParentWindow> parent = NewParentWindow();
    std::unique_ptr<X11Plug> plug = std::make_unique<X11Plug>();
    EditorX11* editor = nullptr; // owned by the plug-in

    explicit Session(int fps = 0) {
        editor = new EditorX11(plug.get(), kWidth, kHeight, fps);
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
        return editor->OpenEditorWindow(parent->NativeHandle()) != nullptr;
    }
    // The host's loop: window events and the editor-idle call.
    void Pump(int ms) {
        parent->Pump(ms, [this] { editor->Idle(); });
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
    // Types printable ASCII text, with shift where the keyboard map puts the
    // character on the shifted level.
    void Type(const std::string& text) {
        Display* d = XOpenDisplay(nullptr);
        ASSERT_NE(d, nullptr);
        const Window target = Window(reinterpret_cast<uintptr_t>(editor->WindowHandle()));
        for (char ch : text) {
            const KeySym sym = KeySym(static_cast<unsigned char>(ch)); // Latin-1 keysyms
            XEvent e = {};
            e.xkey.type = KeyPress;
            e.xkey.display = d;
            e.xkey.window = target;
            e.xkey.root = DefaultRootWindow(d);
            e.xkey.keycode = XKeysymToKeycode(d, sym);
            ASSERT_NE(e.xkey.keycode, 0u) << "no key for '" << ch << "'";
            int per = 0;
            KeySym* map = XGetKeyboardMapping(d, KeyCode(e.xkey.keycode), 1, &per);
            if (map && per > 1 && map[0] != sym && map[1] == sym) e.xkey.state = ShiftMask;
            if (map) XFree(map);
            e.xkey.same_screen = True;
            XSendEvent(d, target, False, 0, &e);
        }
        XCloseDisplay(d);
        Pump(60);
    }
};

unsigned ChildCount(void* window) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return 0;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    XQueryTree(d, Window(reinterpret_cast<uintptr_t>(window)), &root, &parent, &children, &count);
    if (children) XFree(children);
    XCloseDisplay(d);
    return count;
}

// Moves a frame window, so that two frames do not cover each other.
void MoveFrame(void* window, int x, int y) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return;
    XMoveWindow(d, Window(reinterpret_cast<uintptr_t>(window)), x, y);
    XCloseDisplay(d);
}

int Count(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// --- frames

TEST(EditorX11Frames, PeriodIsTheTruncatedFrameTime) {
    X11Plug plug;
    const struct { int fps, period; } cases[] = {{0, 41}, {24, 41}, {30, 33}, {-5, 41}, {2000, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(EditorX11(&plug, 10, 10, c.fps).FramePeriodMs(), c.period) << c.fps;
}

TEST(EditorX11Frames, RedrawsAtTheFrameRateNotAtEveryIdleCall) {
    REQUIRE_DISPLAY();
    Session s;
    Patch* busy = s.Add(new Patch(s.plug.get(), Rect(0, 0, 20, 20), 0xFF0000FF));
    busy->mAlways = true;
    ASSERT_TRUE(s.Open());
    s.Pump(100);
    // A host calling editor-idle every millisecond still gets 24 frames a second.
    const int before = busy->mDraws;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
        s.editor->Idle();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int frames = busy->mDraws - before;
    // Under a loaded emulator a frame may take most of a period: at least one.
    EXPECT_GE(frames, Emulated() ? 1 : 12);
    EXPECT_LE(frames, 27);
}

TEST(EditorX11Frames, TheTimerDrawsWhenTheHostNeverCallsIdle) {
    REQUIRE_DISPLAY();
    Session s;
    Patch* busy = s.Add(new Patch(s.plug.get(), Rect(0, 0, 20, 20), 0xFF0000FF));
    busy->mAlways = true;
    ASSERT_TRUE(s.Open());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int before = busy->mDraws;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int frames = busy->mDraws - before;
    EXPECT_GE(frames, Emulated() ? 1 : 6);
    EXPECT_LE(frames, 14);
}

// --- what the window shows

TEST(EditorX11Picture, TheWindowShowsTheBackBufferAndRepaintsAfterAMap) {
    REQUIRE_DISPLAY();
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF204060));
    s.Add(new Patch(s.plug.get(), Rect(10, 20, 70, 50), 0xFFF0A000));
    s.Add(new Patch(s.plug.get(), Rect(90, 60, 150, 110), 0xFF10C0E0));
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); }));
    EXPECT_EQ(s.editor->GetPoint(20, 30), Color::FromWord(0xFFF0A000));

    // The host hides its frame and shows it again: the window comes back
    // with one whole frame and shows the back buffer.
    const int64_t frames = s.editor->FrameCount();
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    const Window frame = Window(reinterpret_cast<uintptr_t>(s.parent->NativeHandle()));
    XUnmapWindow(d, frame);
    XSync(d, False);
    s.Pump(100);
    XMapWindow(d, frame);
    XSync(d, False);
    XCloseDisplay(d);
    EXPECT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); }));
    s.Pump(100);
    EXPECT_EQ(s.editor->FrameCount(), frames + 1);
}

TEST(EditorX11Picture, TwoPlugInsShowTheirOwnEditorsInOneProcess) {
    REQUIRE_DISPLAY();
    Session a, b;
    a.Add(new Patch(a.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF112233));
    b.Add(new Patch(b.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF445566));
    ASSERT_TRUE(a.Open());
    ASSERT_TRUE(b.Open());
    MoveFrame(b.parent->NativeHandle(), 400, 300);
    EXPECT_TRUE(a.PumpUntil([&] { return a.ShowsBackBuffer(); }));
    EXPECT_TRUE(b.PumpUntil([&] { return b.ShowsBackBuffer(); }));
    EXPECT_EQ(a.editor->GetPoint(5, 5), Color::FromWord(0xFF112233));
    EXPECT_EQ(b.editor->GetPoint(5, 5), Color::FromWord(0xFF445566));
}

// --- lifetime

TEST(EditorX11Lifetime, SurvivesAHostThatDestroysItsWindowFirst) {
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
    // The window is gone for the host too: its next "editor open" opens one.
    EXPECT_FALSE(s.editor->IsWindowOpen());
    EXPECT_NE(s.editor->WindowHandle(), nullptr); // until the host closes it
    s.editor->CloseEditorWindow();
    EXPECT_FALSE(s.editor->IsWindowOpen());
    // A new frame takes the editor again.
    EXPECT_TRUE(s.Open());
    EXPECT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); }));
}

TEST(EditorX11Lifetime, OpeningTwiceClosingUnopenedAndDeletingOpenAreHarmless) {
    REQUIRE_DISPLAY();
    Session s;
    s.editor->CloseEditorWindow(); // never opened
    EXPECT_FALSE(s.editor->IsWindowOpen());
    EXPECT_EQ(s.editor->OpenEditorWindow(nullptr), nullptr);
    ASSERT_TRUE(s.Open());
    void* second = s.editor->OpenEditorWindow(s.parent->NativeHandle());
    ASSERT_NE(second, nullptr);
    s.Pump(50);
    // The second window replaced the first: the frame holds one editor window.
    EXPECT_EQ(s.parent->EditorHandle(), second);
    EXPECT_EQ(ChildCount(s.parent->NativeHandle()), 1u);
    s.plug.reset(); // the plug-in goes with its editor open
    s.parent->Pump(50, nullptr);
    EXPECT_EQ(s.parent->EditorHandle(), nullptr);
}

TEST(EditorX11Lifetime, FiftyOpenCloseCyclesWhileAudioRunsLeaveNothingBehind) {
    REQUIRE_DISPLAY();
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF336699))->mAlways = true;
    s.plug->ConnectAll(256);
    ASSERT_TRUE(s.parent->Create(kWidth, kHeight, "cycles"));
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

// --- cost: what is drawn and sent

struct Counts {
    int64_t frames, puts;
    int draws;
    bool operator==(const Counts& o) const {
        return frames == o.frames && puts == o.puts && draws == o.draws;
    }
};

Counts CountsOf(Session& s, const std::vector<Patch*>& patches) {
    int draws = 0;
    for (Patch* p : patches)
        draws += p->mDraws;
    return {s.editor->FrameCount(), s.editor->PutCount(), draws};
}

// The host's loop with or without its editor-idle call; without, the timer
// draws once the host has been silent for the grace time.
void Drive(Session& s, bool hostIdles, int ms) {
    if (hostIdles)
        s.Pump(ms);
    else
        s.parent->Pump(ms + EditorX11::kHostIdleGraceMs, nullptr);
}

TEST(EditorX11Cost, NothingIsDrawnOrSentWhileNothingChangesAndOnlyWhatChangedLater) {
    REQUIRE_DISPLAY();
    for (bool hostIdles : {true, false}) {
        SCOPED_TRACE(hostIdles ? "host idles" : "timer draws");
        Session s;
        Patch* back = s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF204060));
        Patch* a = s.Add(new Patch(s.plug.get(), Rect(10, 10, 40, 40), 0xFF00A000));
        Patch* b = s.Add(new Patch(s.plug.get(), Rect(100, 70, 150, 110), 0xFF0000A0));
        const std::vector<Patch*> all = {back, a, b};
        ASSERT_TRUE(s.Open());
        ASSERT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); }));
        Drive(s, hostIdles, 400);
        // Twenty frame periods with nothing changing: no pass, no image.
        const Counts quiet = CountsOf(s, all);
        Drive(s, hostIdles, 20 * s.editor->FramePeriodMs());
        EXPECT_TRUE(CountsOf(s, all) == quiet);

        // One control changes: one frame draws its area and sends it once;
        // the control elsewhere is not drawn.
        const int bDraws = b->mDraws;
        a->Paint(0xFFFF0000);
        Drive(s, hostIdles, 6 * s.editor->FramePeriodMs());
        EXPECT_EQ(s.editor->FrameCount(), quiet.frames + 1);
        EXPECT_EQ(s.editor->PutCount(), quiet.puts + 1);
        EXPECT_EQ(b->mDraws, bDraws);
        EXPECT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); }));
        EXPECT_EQ(s.editor->GetPoint(20, 20), Color::FromWord(0xFFFF0000));

        // Two apart in one frame: two areas, one pass; through shared memory
        // one image of their box (it adds less than the slack), else two.
        const Counts before = CountsOf(s, all);
        const int backDraws = back->mDraws;
        a->Paint(0xFF00FF00);
        b->Paint(0xFFFFFF00);
        Drive(s, hostIdles, 6 * s.editor->FramePeriodMs());
        EXPECT_EQ(s.editor->FrameCount(), before.frames + 1);
        EXPECT_EQ(s.editor->PutCount(), before.puts + (s.editor->UsesSharedImage() ? 1 : 2));
        EXPECT_EQ(back->mDraws, backDraws + 2); // under each area, not over the box
        EXPECT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); }));
    }
}

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
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF204060));
    Scroller* strip = s.Add(new Scroller(s.plug.get(), Rect(20, 30, 140, 90)));
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); }));
    const int64_t puts = s.editor->PutCount();
    const int drawn = strip->mDrawnColumns;
    for (int step = 0; step < 8; ++step) {
        strip->Step();
        s.Pump(3 * s.editor->FramePeriodMs());
        EXPECT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); })) << "step " << step;
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

// --- hidden windows

TEST(EditorX11Hidden, NothingIsDrawnOrSentWhileTheFrameIsUnmapped) {
    REQUIRE_DISPLAY();
    for (bool hostIdles : {true, false}) {
        SCOPED_TRACE(hostIdles ? "host idles" : "timer draws");
        Session s;
        Patch* busy = s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF405060));
        busy->mAlways = true;
        ASSERT_TRUE(s.Open());
        ASSERT_TRUE(s.PumpUntil([&] { return s.editor->WindowShowing(); }));
        Display* d = XOpenDisplay(nullptr);
        ASSERT_NE(d, nullptr);
        const Window frame = Window(reinterpret_cast<uintptr_t>(s.parent->NativeHandle()));
        XUnmapWindow(d, frame);
        XSync(d, False);
        ASSERT_TRUE(s.PumpUntil([&] { return !s.editor->WindowShowing(); }));
        Drive(s, hostIdles, 100);
        const Counts hidden = CountsOf(s, {busy});
        Drive(s, hostIdles, 500);
        EXPECT_TRUE(CountsOf(s, {busy}) == hidden);
        // Shown again: frames resume, the first a whole one.
        XMapWindow(d, frame);
        XSync(d, False);
        EXPECT_TRUE(s.PumpUntil([&] { return s.editor->WindowShowing(); }));
        Drive(s, hostIdles, 300);
        EXPECT_GT(s.editor->FrameCount(), hidden.frames + 2);
        EXPECT_GT(s.editor->PutCount(), hidden.puts + 2);
        XCloseDisplay(d);
    }
}

TEST(EditorX11Hidden, AWindowFullyCoveredIsNotDrawnEither) {
    REQUIRE_DISPLAY();
    Session s;
    Patch* busy = s.Add(new Patch(s.plug.get(), Rect(0, 0, kWidth, kHeight), 0xFF405060));
    busy->mAlways = true;
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.PumpUntil([&] { return s.editor->WindowShowing(); }));
    // Another program's window over the whole screen.
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    XSetWindowAttributes a = {};
    a.override_redirect = True;
    const Window cover = XCreateWindow(d, DefaultRootWindow(d), 0, 0, unsigned(DisplayWidth(d, 0)),
                                       unsigned(DisplayHeight(d, 0)), 0, CopyFromParent,
                                       InputOutput, CopyFromParent, CWOverrideRedirect, &a);
    XMapRaised(d, cover);
    XSync(d, False);
    ASSERT_TRUE(s.PumpUntil([&] { return !s.editor->WindowShowing(); }));
    s.Pump(100);
    const Counts covered = CountsOf(s, {busy});
    s.Pump(400);
    EXPECT_TRUE(CountsOf(s, {busy}) == covered);
    XDestroyWindow(d, cover);
    XSync(d, False);
    XCloseDisplay(d);
    EXPECT_TRUE(s.PumpUntil([&] { return s.editor->WindowShowing(); }));
    EXPECT_TRUE(s.PumpUntil([&] { return s.editor->FrameCount() > covered.frames + 2; }));
    EXPECT_TRUE(s.PumpUntil([&] { return s.ShowsBackBuffer(); }));
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

// --- mouse

TEST(EditorX11Mouse, EventsReachTheControlAtEditorCoordinatesWithTheirKeys) {
    REQUIRE_DISPLAY();
    Session s;
    s.editor->SetTrackHover(true);
    KeyLog* log = s.Add(new KeyLog(Rect(20, 20, 100, 100)));
    ASSERT_TRUE(s.Open());
    s.Pump(50);
    MouseEvent press;
    press.action = MouseAction::Press, press.x = 30, press.y = 40, press.shift = true;
    s.Send(press);
    MouseEvent drag = press;
    drag.action = MouseAction::Drag, drag.x = 33, drag.y = 35, drag.shift = false,
    drag.control = true;
    s.Send(drag);
    s.Mouse(MouseAction::Release, 33, 35);
    s.Mouse(MouseAction::DoubleClick, 50, 50);
    MouseEvent wheel;
    wheel.action = MouseAction::Wheel, wheel.x = 60, wheel.y = 61, wheel.notches = -2,
    wheel.alt = true;
    s.Send(wheel);
    s.Mouse(MouseAction::Move, 70, 71);
    s.Mouse(MouseAction::Leave, 0, 0);
    s.Mouse(MouseAction::Press, 5, 5); // outside: nobody hears it
    s.Mouse(MouseAction::Release, 5, 5);
    const std::vector<std::string> expected = {
        "down 30,40 LS",    "drag 33,35 LC 3 -5", "up 33,35", "down 50,50 L",
        "up 50,50",         "dbl 50,50 L",        "up 50,50", "wheel 60,61 A -1",
        "wheel 60,61 A -1", "over 70,71 ",        "out"};
    EXPECT_EQ(log->mLog, expected);
}

// --- the value prompt

TEST(EditorX11Prompt, TheTextFieldCommitsOnEnterAtTheNextTick) {
    REQUIRE_DISPLAY();
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(40, 40, 80, 80), 0xFF808080, 0));
    ASSERT_TRUE(s.Open());
    s.Pump(50);
    s.Mouse(MouseAction::Click, 60, 60, MouseButton::Right);
    ASSERT_TRUE(s.editor->PromptOpen());
    char shown[kParamTextSize];
    s.plug->ParamAt(0)->FormatValue(shown);
    EXPECT_EQ(s.editor->PromptText(), shown);
    const Rect r = s.editor->PromptRect();
    EXPECT_EQ((r.L + r.R) / 2, 60);
    EXPECT_EQ(r.T, 52);
    EXPECT_EQ(r.H(), EditorX11::kPromptRowHeight);
    // Typing replaces the whole text; a decimal comma reads as a point.
    s.Keys({XK_minus, XK_2, XK_comma, XK_5, XK_Return});
    EXPECT_TRUE(s.PumpUntil([&] { return !s.editor->PromptOpen(); }));
    EXPECT_DOUBLE_EQ(s.plug->ParamAt(0)->Value(), -2.5);
}

TEST(EditorX11Prompt, RightClickCancelsAndUnreadableTextChangesNothing) {
    REQUIRE_DISPLAY();
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(40, 40, 80, 80), 0xFF808080, 0));
    ASSERT_TRUE(s.Open());
    s.Pump(50);
    const double before = s.plug->ParamAt(0)->Value();
    const struct {
        std::vector<KeySym> keys;
        bool rightClick;
    } cases[] = {{{XK_7}, true}, {{XK_a, XK_b, XK_Return}, false}, {{XK_Escape}, false}};
    for (const auto& c : cases) {
        s.Mouse(MouseAction::Click, 60, 60, MouseButton::Right);
        ASSERT_TRUE(s.editor->PromptOpen());
        s.Keys(c.keys);
        if (c.rightClick) s.Mouse(MouseAction::Click, 10, 10, MouseButton::Right);
        EXPECT_TRUE(s.PumpUntil([&] { return !s.editor->PromptOpen(); }));
        EXPECT_EQ(s.plug->ParamAt(0)->Value(), before);
    }
}

TEST(EditorX11Prompt, TheListOffersTheValueTextsAndCommitsAChoice) {
    REQUIRE_DISPLAY();
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(40, 40, 80, 80), 0xFF808080, kSwitch));
    ASSERT_TRUE(s.Open());
    s.Pump(50);
    s.Mouse(MouseAction::Click, 60, 60, MouseButton::Right);
    ASSERT_TRUE(s.editor->PromptOpen());
    EXPECT_EQ(s.editor->PromptEntries(), (std::vector<std::string>{"off", "on"}));
    EXPECT_EQ(s.editor->PromptSelection(), 0);
    const Rect r = s.editor->PromptRect();
    EXPECT_EQ(r.W(), 48); // 8 x 3 characters + 24
    EXPECT_EQ(r.H(), 2 * EditorX11::kPromptRowHeight);
    // Pressing on a row chooses it.
    s.Mouse(MouseAction::Click, r.L + 10, r.T + EditorX11::kPromptRowHeight + 4);
    EXPECT_TRUE(s.PumpUntil([&] { return !s.editor->PromptOpen(); }));
    EXPECT_EQ(s.plug->ParamAt(kSwitch)->Value(), 1.0);
}

// The table the Win32 face runs too: what Enter commits for each typed text.
TEST(EditorX11Prompt, TheSharedTableOfTypedTexts) {
    REQUIRE_DISPLAY();
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(40, 40, 80, 80), 0xFF808080, 0));
    ASSERT_TRUE(s.Open());
    s.Pump(50);
    Param* param = s.plug->ParamAt(0);
    for (const PromptCase& c : PromptCases()) {
        const std::string name = PromptCaseName(c);
        s.plug->HostParamChange(0, param->NormalizedOf(kPromptStartValue));
        s.Pump(50);
        const double before = param->Value();
        s.plug->ClearNotes();
        s.Mouse(MouseAction::Click, 60, 60, MouseButton::Right);
        ASSERT_TRUE(s.editor->PromptOpen()) << name;
        if (c.typed && !*c.typed) s.Keys({XK_BackSpace});
        if (c.typed && *c.typed) s.Type(c.typed);
        s.Keys({XK_Return});
        EXPECT_TRUE(s.PumpUntil([&] { return !s.editor->PromptOpen(); })) << name;
        const std::vector<std::string> notes = s.plug->Notes();
        if (c.keeps) {
            EXPECT_EQ(param->Value(), before) << name;
            EXPECT_TRUE(notes.empty()) << name << ": the host heard " << notes.size();
        } else {
            EXPECT_NEAR(param->Value(), c.value, 1e-9) << name;
            ASSERT_EQ(notes.size(), 3u) << name;
            EXPECT_EQ(notes[0], "begin 0") << name;
            EXPECT_EQ(notes[2], "end 0") << name;
        }
    }
}

TEST(EditorX11Prompt, TheListKeepsTheValueWhenTheShownEntryIsTakenAgain) {
    REQUIRE_DISPLAY();
    Session s;
    s.Add(new Patch(s.plug.get(), Rect(40, 40, 80, 80), 0xFF808080, kSwitch));
    ASSERT_TRUE(s.Open());
    s.Pump(50);
    s.plug->ClearNotes();
    s.Mouse(MouseAction::Click, 60, 60, MouseButton::Right);
    ASSERT_TRUE(s.editor->PromptOpen());
    s.Keys({XK_Return});
    EXPECT_TRUE(s.PumpUntil([&] { return !s.editor->PromptOpen(); }));
    EXPECT_EQ(s.plug->ParamAt(kSwitch)->Value(), 0.0);
    EXPECT_TRUE(s.plug->Notes().empty());
}

TEST(EditorX11Prompt, NumbersReadTheSameInEveryLocale) {
    const struct {
        const char* text;
        bool ok;
        double value;
    } cases[] = {{"2.5", true, 2.5},  {"  -3", true, -3.0}, {"+4", true, 4.0},   {"1,5", true, 1.5},
                 {"1e3", true, 1000}, {"7 dB", true, 7.0},  {"abc", false, 0.0}, {"", false, 0.0},
                 {"nan", false, 0.0}, {"inf", false, 0.0},  {"-", false, 0.0}};
    for (const auto& c : cases) {
        double v = -99.0;
        EXPECT_EQ(EditorX11::ParsePromptNumber(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, c.value) << c.text;
        }
    }
    double v = 0.0;
    EXPECT_FALSE(EditorX11::ParsePromptNumber(nullptr, v));
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

TEST(EditorX11Text, TextIsDrawnInTheAskedRectangleByItsAlignment) {
    X11Plug plug;
    EditorX11 editor(&plug, kWidth, kHeight, 0);
    editor.PrepareSurface();
    const Rect where(30, 40, 130, 70);
    const struct {
        int align, size;
    } cases[] = {{TextStyle::AlignLeft, 14},
                 {TextStyle::AlignCenter, 14},
                 {TextStyle::AlignRight, 14},
                 {TextStyle::AlignLeft, 24}};
    int height14 = 0;
    for (const auto& c : cases) {
        const TextStyle style(c.size, Color(255, 255, 0, 0), "Arial", 0, c.align, 0);
        TextPatch patch(where, style, "Kelo 42");
        ASSERT_TRUE(patch.Draw(&editor));
        const Rect ink = InkBox(editor);
        ASSERT_LT(ink.L, ink.R) << "no ink for alignment " << c.align;
        EXPECT_GE(ink.T, where.T);
        EXPECT_LE(ink.B, where.T + c.size);
        EXPECT_GE(ink.L, where.L);
        EXPECT_LE(ink.R, where.R);
        // Left and right hug their edge; centred text sits in the middle.
        const int slack = c.align == TextStyle::AlignLeft ? ink.L - where.L
                          : c.align == TextStyle::AlignRight
                              ? where.R - ink.R
                              : std::abs(ink.L + ink.R - where.L - where.R);
        EXPECT_LE(slack, 4) << "alignment " << c.align;
        if (c.size == 14 && c.align == TextStyle::AlignLeft) height14 = ink.H();
        if (c.size == 24) {
            EXPECT_GT(ink.H(), height14 + 4);
        }
    }
    // Lines go down one line height each; a null text draws nothing.
    TextPatch lines(where, TextStyle(12, Color(255, 255, 0, 0), "Arial", 0, 0, 0), "A\nA");
    lines.Draw(&editor);
    EXPECT_GE(InkBox(editor).H(), 12 + 6);
    EXPECT_TRUE(editor.DrawString(TextStyle(), nullptr, where));
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

TEST(EditorX11Services, DirectoriesEndInASlashAndNameTheProgramsFolder) {
    X11Plug plug;
    EditorX11 editor(&plug, 10, 10, 0);
    std::string host, module;
    editor.HostDirectory(host);
    editor.ModuleDirectory(module);
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string path(exe);
    EXPECT_EQ(host, path.substr(0, path.rfind('/') + 1));
    EXPECT_EQ(module, host); // this code is linked into the test program
    std::string file = "x";
    editor.AskForFile(file, 0, "/tmp", "png");
    EXPECT_TRUE(file.empty());
    Color c(255, 1, 2, 3);
    EXPECT_FALSE(editor.AskForColor(c, "colour"));
    EXPECT_EQ(c, Color(255, 1, 2, 3));
}

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
