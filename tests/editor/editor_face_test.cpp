// The window faces against one suite: what a host and a user meet in the
// editor's window whatever the window system. Every case runs against each
// face this platform has (face_driver.h): natively the X11 face, driven by the
// host's idle call and by its own timer thread, with a frame clock the test
// moves; under Wine the Win32 face, driven by its timer message. A tick is one
// frame, so frame counts are exact. What only one face does is tested in
// editor_x11_test.cpp and editor_win_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "editor/control.h"
#include "editor/editor.h"
#include "editor/value_prompt.h"
#include "plug/param.h"
#include "tests/editor/editor_test_support.h"
#include "tests/editor/face_driver.h"
#include "tests/editor/prompt_cases.h"

namespace {

constexpr int kWidth = 200, kHeight = 120;
constexpr int32_t kLevel = 0, kSwitch = 2;
constexpr uint32_t kBackFill = 0xFF204060u, kLevelFill = 0xFFC81E3Cu, kGateFill = 0xFF0ADC5Au;

std::string KeysText(const MouseKeys& k) {
    return std::string(k.L ? "L" : ".") + (k.R ? "R" : ".") + (k.S ? "S" : ".") +
           (k.C ? "C" : ".") + (k.A ? "A" : ".");
}

// What the controls heard, in order: written on the thread that runs the
// face's ticks (the timer thread of the X11 face, for one of its drivers),
// read by the test.
class EventLog {
public:
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> hold(mLock);
        mLines.push_back(line);
    }
    // Adds steps to the last line when it starts with prefix (the number after
    // it), else adds prefix and steps as a new line.
    void AddUp(const std::string& prefix, int steps) {
        std::lock_guard<std::mutex> hold(mLock);
        if (!mLines.empty() && mLines.back().compare(0, prefix.size(), prefix) == 0)
            mLines.back() =
                prefix + std::to_string(steps + std::stoi(mLines.back().substr(prefix.size())));
        else
            mLines.push_back(prefix + std::to_string(steps));
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> hold(mLock);
        return mLines;
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(mLock);
        mLines.clear();
    }

private:
    std::mutex mLock;
    std::vector<std::string> mLines;
};

// A rectangle of one colour bound to a parameter, with the default mouse
// behaviour. It logs the mouse calls that reach it, when it has a log ("down
// 30,40 L.S..", wheel steps at one place and with the same keys added up into
// one line), and counts its drawings.
class Probe : public Control {
public:
    Probe(EffectBase* effect, EventLog* log, const Rect& rect, int32_t param, uint32_t fill)
        : Control(effect, rect, param, BlendCopy), mLog(log), mFill(fill) {}

    // A new colour, drawn in the next frame.
    void Paint(uint32_t fill) {
        mFill = fill;
        SetDirty(false);
    }

    void OnMouseDown(int x, int y, const MouseKeys& k) override { Note("down", x, y, KeysText(k)); }
    void OnMouseUp(int x, int y) override { Note("up", x, y, ""); }
    void OnMouseDrag(int x, int y, int dx, int dy, const MouseKeys& k) override {
        Note("drag", x, y, KeysText(k) + " " + std::to_string(dx) + " " + std::to_string(dy));
    }
    void OnMouseDblClick(int x, int y, const MouseKeys& k) override {
        Note("dbl", x, y, KeysText(k));
    }
    void OnMouseWheel(int x, int y, const MouseKeys& k, int steps) override {
        if (mLog) mLog->AddUp("wheel " + Place(x, y) + " " + KeysText(k) + " ", steps);
    }
    void OnMouseOver(int x, int y, const MouseKeys&) override { Note("over", x, y, ""); }
    void OnMouseOut() override {
        if (mLog) mLog->Add("out");
    }
    bool Draw(Editor* editor) override {
        ++mDraws;
        const Blend copy(BlendCopy, 1.0f);
        return editor->FillColorRect(Color::FromWord(mFill), mRect, &copy);
    }

    std::atomic<int> mDraws{0};

private:
    static std::string Place(int x, int y) { return std::to_string(x) + "," + std::to_string(y); }
    void Note(const char* what, int x, int y, const std::string& more) {
        if (mLog)
            mLog->Add(std::string(what) + " " + Place(x, y) + (more.empty() ? "" : " " + more));
    }
    EventLog* mLog;
    std::atomic<uint32_t> mFill;
};

// The effect: parameter 0 runs -10..10 dB, 1 is a frequency, 2 is off/on.
struct FacePlug : EditorPlug {
    FacePlug() { ParamAt(kSwitch)->DefineSwitch("gate", false); }
};

class EditorFace : public ::testing::TestWithParam<FaceKind> {
protected:
    void SetUp() override {
        face = GetParam().make();
        std::string why;
        if (!face->Ready(why)) {
            if (std::getenv("KELO_REQUIRE_DISPLAY")) FAIL() << why;
            GTEST_SKIP() << why;
        }
        // One frame window for all the cases: making and destroying
        // top-level windows is slow under Wine without a window manager.
        if (!sFrame) sFrame = NewParentWindow().release();
        if (!sFrame->NativeHandle()) {
            ASSERT_TRUE(sFrame->Create(kWidth, kHeight, "editor face test")) << sFrame->Error();
            face->PlaceFrame(*sFrame);
        }
        plug = std::make_unique<FacePlug>();
        editor = face->Make(plug.get(), kWidth, kHeight, 0);
        editor->SetTrackHover(true);
        back = Add(new Probe(plug.get(), nullptr, Rect(0, 0, kWidth, kHeight), -1, kBackFill));
        level = Add(new Probe(plug.get(), &log, Rect(20, 20, 80, 60), kLevel, kLevelFill));
        gate = Add(new Probe(plug.get(), &log, Rect(100, 20, 160, 60), kSwitch, kGateFill));
        plug->SetEditor(editor);
    }
    // The plug-in goes with its editor (open or not) before the next case.
    void TearDown() override { plug.reset(); }
    static void TearDownTestSuite() {
        delete sFrame;
        sFrame = nullptr;
    }

    template <typename T>
    T* Add(T* control) {
        editor->AddControl(control);
        return control;
    }
    bool Open() { return face->Open(*sFrame); }
    void Mouse(MouseAction action, int x, int y, MouseButton button = MouseButton::Left) {
        MouseEvent e;
        e.action = action, e.x = x, e.y = y, e.button = button;
        Send(e);
    }
    void Send(const MouseEvent& e) {
        ASSERT_TRUE(sFrame->SendMouse(e));
        face->Settle();
    }
    // The window's pixel at (x, y) once it shows what the face sent, 0 when it
    // cannot be read.
    uint32_t Shown(int x, int y) {
        face->WaitUntilShown();
        std::vector<uint32_t> pixels;
        int w = 0, h = 0;
        if (!sFrame->Capture(pixels, w, h) || x >= w || y >= h) return 0;
        return pixels[size_t(y) * size_t(w) + size_t(x)];
    }
    Param* ParamAt(int32_t index) { return plug->ParamAt(index); }

    std::unique_ptr<FaceDriver> face;
    std::unique_ptr<FacePlug> plug;
    Editor* editor = nullptr; // owned by plug
    Probe* back = nullptr;    // under the others, hears nothing
    Probe* level = nullptr;
    Probe* gate = nullptr;
    EventLog log;
    static ParentWindow* sFrame;
};

ParentWindow* EditorFace::sFrame = nullptr;

// --- frames

TEST_P(EditorFace, TheFramePeriodIsTheTruncatedFrameTime) {
    // trunc(1000 / fps); 0 or less frames per second is the default 24.
    const struct {
        int fps, period;
    } cases[] = {{30, 33}, {24, 41}, {0, 41}, {-5, 41}, {1, 1000}, {2000, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(face->FramePeriod(plug.get(), *sFrame, c.fps), c.period) << c.fps << " fps";
}

TEST_P(EditorFace, ATickShowsTheControlsInTheWindow) {
    ASSERT_TRUE(Open());
    face->Tick();
    EXPECT_EQ(Shown(50, 40), kLevelFill);
    EXPECT_EQ(Shown(130, 40), kGateFill);
    EXPECT_EQ(Shown(5, 100), kBackFill);
}

TEST_P(EditorFace, NothingIsDrawnOrSentWhileNothingChanges) {
    ASSERT_TRUE(Open());
    const int64_t passes = face->Passes(), sends = face->Sends();
    const int levelDraws = level->mDraws, gateDraws = gate->mDraws;
    for (int i = 0; i < 20; ++i)
        face->Tick();
    EXPECT_EQ(face->Passes(), passes);
    EXPECT_EQ(face->Sends(), sends);
    EXPECT_EQ(level->mDraws, levelDraws);
    EXPECT_EQ(gate->mDraws, gateDraws);
}

TEST_P(EditorFace, OneChangeIsOnePassThatDrawsAndSendsOnlyItsArea) {
    ASSERT_TRUE(Open());
    const int64_t passes = face->Passes(), sends = face->Sends();
    const int gateDraws = gate->mDraws;
    level->Paint(0xFF102030u);
    face->Tick();
    EXPECT_EQ(face->Passes(), passes + 1);
    EXPECT_EQ(face->Sends(), sends + 1);
    EXPECT_EQ(gate->mDraws, gateDraws) << "the control elsewhere is not drawn";
    EXPECT_EQ(Shown(50, 40), 0xFF102030u);
    for (int i = 0; i < 5; ++i)
        face->Tick();
    EXPECT_EQ(face->Passes(), passes + 1) << "then nothing more";
}

TEST_P(EditorFace, TwoChangesApartAreOnePassOverTheirTwoAreas) {
    ASSERT_TRUE(Open());
    const int64_t passes = face->Passes(), sends = face->Sends();
    const int backDraws = back->mDraws;
    level->Paint(0xFF00FF00u);
    gate->Paint(0xFFFFFF00u);
    face->Tick();
    EXPECT_EQ(face->Passes(), passes + 1);
    EXPECT_EQ(face->Sends(), sends + face->SendsForAreas(2));
    EXPECT_EQ(back->mDraws, backDraws + 2) << "drawn under each area, not over their box";
    EXPECT_EQ(Shown(50, 40), 0xFF00FF00u);
    EXPECT_EQ(Shown(130, 40), 0xFFFFFF00u);
}

TEST_P(EditorFace, NothingIsDrawnWhileHiddenAndOneWholeFrameComesBack) {
    ASSERT_TRUE(Open());
    for (const std::string& way : face->WaysToHide()) {
        SCOPED_TRACE(way);
        face->Hide(*sFrame, way);
        EXPECT_FALSE(face->Showing());
        const int64_t passes = face->Passes(), sends = face->Sends();
        const int draws = level->mDraws, backDraws = back->mDraws;
        for (int i = 0; i < 5; ++i) {
            gate->Paint(0xFF000000u | uint32_t(i * 40));
            face->Tick();
        }
        EXPECT_EQ(face->Passes(), passes);
        EXPECT_EQ(face->Sends(), sends);
        EXPECT_EQ(level->mDraws, draws);
        EXPECT_EQ(back->mDraws, backDraws);
        // Shown again: one whole frame, which shows what changed meanwhile.
        face->Unhide(*sFrame, way);
        EXPECT_TRUE(face->Showing());
        face->Tick();
        face->Tick();
        EXPECT_EQ(face->Passes(), passes + 1);
        EXPECT_EQ(Shown(130, 40), 0xFF0000A0u);
        EXPECT_EQ(Shown(5, 100), kBackFill);
    }
}

// --- the mouse

TEST_P(EditorFace, MouseEventsReachTheControlsWithTheirKeysAndPositions) {
    ASSERT_TRUE(Open());
    struct Case {
        std::vector<MouseEvent> events;
        std::vector<std::string> heard;
    };
    const auto E = [](MouseAction action, int x, int y, MouseButton button = MouseButton::Left,
                      bool shift = false, bool control = false, bool alt = false, int notches = 0) {
        MouseEvent e;
        e.action = action, e.x = x, e.y = y, e.button = button;
        e.shift = shift, e.control = control, e.alt = alt, e.notches = notches;
        return e;
    };
    const MouseButton L = MouseButton::Left, R = MouseButton::Right;
    const std::vector<Case> cases = {
        {{E(MouseAction::Press, 30, 40, L, true)}, {"down 30,40 L.S.."}},
        {{E(MouseAction::Drag, 33, 35, L, false, true)}, {"drag 33,35 L..C. 3 -5"}},
        // Dragged outside the control, the captured control keeps the mouse.
        {{E(MouseAction::Drag, 150, 100, L)}, {"drag 150,100 L.... 117 65"}},
        {{E(MouseAction::Release, 150, 100, L)}, {"up 150,100"}},
        {{E(MouseAction::Press, 110, 30, R, false, true, true)}, {"down 110,30 .R.CA"}},
        {{E(MouseAction::Release, 110, 30, R)}, {"up 110,30"}},
        {{E(MouseAction::DoubleClick, 40, 41)},
         {"down 40,41 L....", "up 40,41", "dbl 40,41 L....", "up 40,41"}},
        {{E(MouseAction::Wheel, 50, 50, L, false, false, false, 1)}, {"wheel 50,50 ..... 1"}},
        {{E(MouseAction::Wheel, 50, 51, L, false, false, true, -2)}, {"wheel 50,51 ....A -2"}},
        {{E(MouseAction::Wheel, 120, 30, L, false, false, false, -3)}, {"wheel 120,30 ..... -3"}},
        // Hovering, then leaving (the system may tell of the leave by itself:
        // the control hears of it once either way).
        {{E(MouseAction::Move, 70, 41), E(MouseAction::Leave, 0, 0)}, {"over 70,41", "out"}},
        // Outside every control: nobody hears it.
        {{E(MouseAction::Press, 5, 5), E(MouseAction::Release, 5, 5)}, {}},
    };
    for (const Case& c : cases) {
        log.Clear();
        for (const MouseEvent& e : c.events)
            Send(e);
        EXPECT_EQ(log.Lines(), c.heard) << "events at " << c.events[0].x << "," << c.events[0].y;
    }
}

// --- the value prompt

TEST_P(EditorFace, ARightPressOnAControlOpensItsPrompt) {
    // The stock control's own behaviour, without a probe.
    struct Plain : Control {
        using Control::Control;
        bool Draw(Editor*) override { return true; }
    };
    auto* plain = Add(new Plain(plug.get(), Rect(20, 70, 80, 110), 1, BlendAlpha));
    ASSERT_TRUE(Open());
    Mouse(MouseAction::Click, 50, 90, MouseButton::Right);
    ASSERT_TRUE(face->PromptOpen());
    EXPECT_EQ(face->PromptControl(), plain);
}

TEST_P(EditorFace, ATextParameterGetsAFieldCentredOnItsControlWithItsText) {
    ASSERT_TRUE(Open());
    plug->EditorParamChange(kLevel, ParamAt(kLevel)->NormalizedOf(1.5));
    face->Tick();
    editor->OpenValuePrompt(level, ParamAt(kLevel));
    ASSERT_TRUE(face->PromptOpen());
    char shown[kParamTextSize];
    ParamAt(kLevel)->FormatValue(shown);
    EXPECT_EQ(face->PromptText(), shown);
    // Centred on the control (20..80 x 20..60): its middle at x 50, its top
    // at 40 - 8, one row high.
    const Rect r = face->PromptBox();
    EXPECT_LE(std::abs(r.L + r.R - 2 * 50), 1);
    EXPECT_EQ(r.T, 32);
    EXPECT_EQ(r.H(), 16);
    EXPECT_GE(r.W(), 32);
    // One prompt at a time.
    editor->OpenValuePrompt(gate, ParamAt(kSwitch));
    EXPECT_EQ(face->PromptControl(), level);
}

TEST_P(EditorFace, AnOffOnParameterGetsAListFortyEightPixelsWide) {
    ASSERT_TRUE(Open());
    for (double value : {0.0, 1.0}) {
        plug->EditorParamChange(kSwitch, value);
        face->Tick();
        editor->OpenValuePrompt(gate, ParamAt(kSwitch));
        ASSERT_TRUE(face->PromptOpen());
        EXPECT_EQ(face->PromptEntries(), (std::vector<std::string>{"off", "on"}));
        EXPECT_EQ(face->PromptSelection(), int(value)) << "the shown entry is chosen";
        // The longest text has 3 characters: 8 x 3 + 24 = 48, centred on x 130.
        const Rect r = face->PromptBox();
        EXPECT_EQ(r.W(), 48);
        EXPECT_EQ(r.L, 130 - 24);
        EXPECT_EQ(r.T, 40 - 8);
        Mouse(MouseAction::Click, 5, 5, MouseButton::Right); // cancels
        face->Tick();
        ASSERT_FALSE(face->PromptOpen());
    }
}

TEST_P(EditorFace, EnterCommitsTheTypedValueOnTheNextTick) {
    ASSERT_TRUE(Open());
    editor->OpenValuePrompt(level, ParamAt(kLevel));
    ASSERT_TRUE(face->PromptOpen());
    face->TypeInPrompt("-2,5");
    face->PressEnter();
    EXPECT_EQ(face->PromptState(), PromptCommit);
    EXPECT_EQ(ParamAt(kLevel)->Value(), 0.0) << "nothing happens before the tick";
    face->Tick();
    EXPECT_DOUBLE_EQ(ParamAt(kLevel)->Value(), -2.5);
    EXPECT_FALSE(face->PromptOpen());
}

// The table of typed texts: what Enter commits, and what the host hears.
TEST_P(EditorFace, TypedTextsCommitByTheOneRuleOfThePrompt) {
    ASSERT_TRUE(Open());
    Param* param = ParamAt(kLevel);
    for (const PromptCase& c : PromptCases()) {
        const std::string name = PromptCaseName(c);
        plug->HostParamChange(kLevel, param->NormalizedOf(kPromptStartValue));
        face->Tick();
        const double before = param->Value();
        plug->ClearNotes();
        editor->OpenValuePrompt(level, param);
        ASSERT_TRUE(face->PromptOpen()) << name;
        face->TypeInPrompt(c.typed);
        face->PressEnter();
        face->Tick();
        EXPECT_FALSE(face->PromptOpen()) << name;
        const std::vector<std::string> notes = plug->Notes();
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

TEST_P(EditorFace, AChoiceInTheListCommitsOnTheNextTick) {
    ASSERT_TRUE(Open());
    editor->OpenValuePrompt(gate, ParamAt(kSwitch));
    ASSERT_TRUE(face->PromptOpen());
    face->ChooseRow(1);
    EXPECT_EQ(face->PromptState(), PromptCommit);
    face->Tick();
    EXPECT_EQ(ParamAt(kSwitch)->Value(), 1.0);
    EXPECT_FALSE(face->PromptOpen());
}

TEST_P(EditorFace, TheListKeepsTheValueWhenTheShownEntryIsTakenAgain) {
    ASSERT_TRUE(Open());
    plug->ClearNotes();
    editor->OpenValuePrompt(gate, ParamAt(kSwitch));
    ASSERT_TRUE(face->PromptOpen());
    face->PressEnter();
    face->Tick();
    EXPECT_FALSE(face->PromptOpen());
    EXPECT_EQ(ParamAt(kSwitch)->Value(), 0.0);
    EXPECT_TRUE(plug->Notes().empty());
}

TEST_P(EditorFace, ARightPressCancelsThePromptWithoutChangingTheValue) {
    ASSERT_TRUE(Open());
    for (bool focused : {true, false}) {
        SCOPED_TRACE(focused ? "the prompt has the keys" : "the prompt has no keys");
        editor->OpenValuePrompt(level, ParamAt(kLevel));
        ASSERT_TRUE(face->PromptOpen());
        face->TypeInPrompt("7");
        if (focused)
            face->FocusPrompt();
        else
            face->UnfocusPrompt();
        log.Clear();
        Mouse(MouseAction::Press, 30, 30, MouseButton::Right);
        EXPECT_TRUE(log.Lines().empty()) << "the press did not reach the control";
        EXPECT_EQ(face->PromptState(), PromptCancel);
        Mouse(MouseAction::Release, 30, 30, MouseButton::Right);
        face->Tick();
        EXPECT_FALSE(face->PromptOpen());
        EXPECT_EQ(ParamAt(kLevel)->Value(), 0.0);
    }
}

TEST_P(EditorFace, WhileThePromptHasTheKeysItsTextStaysAsTyped) {
    ASSERT_TRUE(Open());
    editor->OpenValuePrompt(level, ParamAt(kLevel));
    face->TypeInPrompt("5");
    face->FocusPrompt();
    EXPECT_EQ(face->PromptState(), PromptFocused);
    // The host changes the value; the frames go on, the typed text stays.
    plug->HostParamChange(kLevel, ParamAt(kLevel)->NormalizedOf(2.0));
    face->Tick();
    face->Tick();
    ASSERT_TRUE(face->PromptOpen());
    EXPECT_EQ(face->PromptState(), PromptFocused);
    EXPECT_EQ(face->PromptText(), "5");
    face->UnfocusPrompt();
    EXPECT_EQ(face->PromptState(), PromptIdle);
}

TEST_P(EditorFace, WithoutTheKeysARedrawRefreshesThePromptsTextOnTheFollowingTick) {
    ASSERT_TRUE(Open());
    editor->OpenValuePrompt(level, ParamAt(kLevel));
    face->TypeInPrompt("typed");
    face->UnfocusPrompt();
    // The host changes the value: the control is dirty, the tick redraws.
    plug->HostParamChange(kLevel, ParamAt(kLevel)->NormalizedOf(2.0));
    face->Tick();
    EXPECT_EQ(face->PromptState(), PromptRefresh);
    face->Tick();
    char expected[kParamTextSize];
    ParamAt(kLevel)->FormatValue(expected);
    EXPECT_EQ(face->PromptText(), expected);
    EXPECT_EQ(face->PromptState(), PromptIdle);
}

TEST_P(EditorFace, ClosingTheWindowClosesThePromptAndTheNextWindowTakesPrompts) {
    ASSERT_TRUE(Open());
    editor->OpenValuePrompt(level, ParamAt(kLevel));
    ASSERT_TRUE(face->PromptOpen());
    editor->CloseEditorWindow();
    EXPECT_FALSE(face->PromptOpen());
    ASSERT_TRUE(Open());
    editor->OpenValuePrompt(level, ParamAt(kLevel));
    EXPECT_TRUE(face->PromptOpen());
}

TEST_P(EditorFace, ANewSizeClosesThePromptWithTheControls) {
    ASSERT_TRUE(Open());
    editor->OpenValuePrompt(level, ParamAt(kLevel));
    editor->SetSize(150, 90);
    EXPECT_FALSE(face->PromptOpen());
    EXPECT_EQ(editor->ControlCount(), 0);
    face->Settle();
    int w = 0, h = 0;
    ASSERT_TRUE(face->WindowSize(w, h));
    EXPECT_EQ(w, 150);
    EXPECT_EQ(h, 90);
    face->Tick(); // nothing left to draw or to prompt for
}

// --- lifetime

TEST_P(EditorFace, ClosingUnopenedAndOpeningWithoutAParentDoNothing) {
    editor->CloseEditorWindow();
    EXPECT_FALSE(editor->IsWindowOpen());
    EXPECT_EQ(editor->OpenEditorWindow(nullptr), nullptr) << "a child needs a parent";
    EXPECT_FALSE(editor->IsWindowOpen());
    EXPECT_EQ(editor->WindowHandle(), nullptr);
}

TEST_P(EditorFace, OpeningTwiceLeavesOneEditorWindowInTheFrame) {
    ASSERT_TRUE(Open());
    void* second = editor->OpenEditorWindow(sFrame->NativeHandle());
    ASSERT_NE(second, nullptr);
    face->Settle();
    EXPECT_EQ(sFrame->EditorHandle(), second);
    EXPECT_EQ(editor->WindowHandle(), second);
    // The plug-in goes with its editor open: the window goes with it.
    plug.reset();
    sFrame->Pump(50, nullptr);
    EXPECT_EQ(sFrame->EditorHandle(), nullptr);
}

TEST_P(EditorFace, AHostThatDestroysItsWindowFirstLeavesTheEditorClosedNotBroken) {
    ASSERT_TRUE(Open());
    sFrame->Destroy();
    for (int i = 0; i < 5; ++i)
        face->Settle();
    // The window is gone for the host too: its next "editor open" opens one.
    EXPECT_FALSE(editor->IsWindowOpen());
    editor->CloseEditorWindow();
    EXPECT_FALSE(editor->IsWindowOpen());
    // A new frame takes the editor again.
    ASSERT_TRUE(sFrame->Create(kWidth, kHeight, "again"));
    face->PlaceFrame(*sFrame);
    ASSERT_TRUE(Open());
    face->Tick();
    EXPECT_EQ(Shown(50, 40), kLevelFill);
}

// --- text and the system

TEST_P(EditorFace, TextIsDrawnInsideItsRectangleByItsAlignment) {
    RasterEditor* raster = dynamic_cast<RasterEditor*>(editor);
    ASSERT_NE(raster, nullptr);
    Bitmap* back = raster->BackBuffer();
    ASSERT_NE(back, nullptr);
    const Rect where(30, 40, 170, 70);
    EXPECT_TRUE(editor->DrawString(TextStyle(Color(255, 255, 255, 255)), nullptr, where))
        << "a null text draws nothing";
    for (const int align : {TextStyle::AlignLeft, TextStyle::AlignCenter, TextStyle::AlignRight}) {
        SCOPED_TRACE("alignment " + std::to_string(align));
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                back->Pixels()[y * back->RowSpan() + x] = 0xFF000000u;
        const TextStyle style(14, Color(255, 255, 255, 255), "Arial", TextStyle::Normal, align, 0);
        EXPECT_TRUE(editor->DrawString(style, "Kelo 42", where));
        // Read right away: the text is there, only inside its rectangle.
        Rect ink(kWidth, kHeight, -1, -1);
        int outside = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const int row = back->IsBottomUp() ? kHeight - 1 - y : y;
                if ((back->Pixels()[row * back->RowSpan() + x] & 0xFFFFFF) == 0) continue;
                if (!where.Contains(x, y)) ++outside;
                ink.L = std::min(ink.L, x), ink.T = std::min(ink.T, y);
                ink.R = std::max(ink.R, x + 1), ink.B = std::max(ink.B, y + 1);
            }
        ASSERT_LT(ink.L, ink.R) << "no ink";
        EXPECT_EQ(outside, 0);
        EXPECT_LE(ink.B, where.T + 14 + 2);
        // Left and right hug their edge; centred text sits in the middle.
        const int slack = align == TextStyle::AlignLeft ? ink.L - where.L
                          : align == TextStyle::AlignRight
                              ? where.R - ink.R
                              : std::abs(ink.L + ink.R - where.L - where.R);
        EXPECT_LE(slack, 4);
    }
}

TEST_P(EditorFace, TheFoldersEndInTheSeparatorAndNameTheProgramsFolder) {
    std::string host = "stale", module = "stale";
    editor->HostDirectory(host);
    editor->ModuleDirectory(module);
    ASSERT_FALSE(host.empty());
    EXPECT_EQ(host.back(), face->Separator());
    EXPECT_EQ(host, face->ProgramFolder());
    // This test program is both the host and the module.
    EXPECT_EQ(module, host);
}

TEST_P(EditorFace, WithoutAWindowTheDialogsAnswerCancel) {
    std::string file = "stale";
    editor->AskForFile(file, 0, "", "png");
    EXPECT_EQ(file, "");
    Color color(7, 1, 2, 3);
    EXPECT_FALSE(editor->AskForColor(color, "colour"));
    EXPECT_EQ(color, Color(7, 1, 2, 3));
    EXPECT_FALSE(editor->OpenDocument(nullptr));
}

INSTANTIATE_TEST_SUITE_P(Faces, EditorFace, ::testing::ValuesIn(PlatformFaces()),
                         [](const ::testing::TestParamInfo<FaceKind>& info) {
                             return info.param.name;
                         });

} // namespace
