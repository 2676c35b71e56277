// The Win32 editor window in this process: its class and timer, mouse
// messages reaching the core with their keys and positions, the value prompt
// and its states, text drawing, paths, and opening and closing in odd orders.
// Mouse events come through the harness's editor frame (tools/host), so the
// harness is tested on the way.
#include <windows.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "draw/resource.h"
#include "editor/control.h"
#include "editor/editor_win.h"
#include "plug/param.h"
#include "tests/editor/prompt_cases.h"
#include "tests/plug/note_effect.h"
#include "tools/host/parent_window.h"

namespace {

constexpr int kWidth = 200, kHeight = 120;

std::string KeysText(const MouseKeys& k) {
    return std::string(k.L ? "L" : ".") + (k.R ? "R" : ".") + (k.S ? "S" : ".") +
           (k.C ? "C" : ".") + (k.A ? "A" : ".");
}

// A control that fills its rectangle with one colour and logs the mouse
// events that reach it, keys included.
class Probe : public Control {
public:
    Probe(EffectBase* effect, std::vector<std::string>* log, const Rect& rect, int32_t param,
          Color fill)
        : Control(effect, rect, param, BlendCopy), mLog(log), mFill(fill) {}

    void OnMouseDown(int x, int y, const MouseKeys& k) override { Note("down", x, y, KeysText(k)); }
    void OnMouseUp(int x, int y) override { Note("up", x, y, ""); }
    void OnMouseDrag(int x, int y, int, int, const MouseKeys& k) override {
        Note("drag", x, y, KeysText(k));
    }
    void OnMouseDblClick(int x, int y, const MouseKeys& k) override {
        Note("dbl", x, y, KeysText(k));
    }
    void OnMouseWheel(int x, int y, const MouseKeys&, int steps) override {
        Note("wheel", x, y, std::to_string(steps));
    }
    void OnMouseOver(int x, int y, const MouseKeys&) override { Note("over", x, y, ""); }
    void OnMouseOut() override { mLog->push_back("out"); }
    bool Draw(Editor* editor) override {
        Blend copy(BlendCopy, 1.0f);
        return editor->FillColorRect(mFill, mRect, &copy);
    }

private:
    void Note(const char* what, int x, int y, const std::string& more) {
        std::string line = std::string(what) + " " + std::to_string(x) + "," + std::to_string(y);
        if (!more.empty()) line += " " + more;
        mLog->push_back(line);
    }
    std::vector<std::string>* mLog;
    Color mFill;
};

bool ClassRegistered() {
    WNDCLASSA wc;
    return GetClassInfoA(static_cast<HINSTANCE>(CurrentModule()), kEditorWindowClass, &wc) != 0;
}

// An effect with a -10..10 dB parameter 0 and an off/on parameter 1, its
// Win32 editor with a probe on each, and a frame of the harness to open in.
class EditorWinTest : public ::testing::Test {
protected:
    void SetUp() override {
        effect.ConnectAll();
        effect.ParamAt(kSwitch)->DefineSwitch("gate", false);
        editor = new EditorWin(&effect, kWidth, kHeight, 30);
        editor->SetTrackHover(true);
        level = new Probe(&effect, &log, Rect(20, 20, 80, 60), kLevel, Color(255, 200, 30, 60));
        gate = new Probe(&effect, &log, Rect(100, 20, 160, 60), kSwitch, Color(255, 10, 220, 90));
        editor->AddControl(level);
        editor->AddControl(gate);
        effect.SetEditor(editor);
        // One frame for all the tests: making and destroying top-level
        // windows is slow under Wine without a window manager.
        if (!frame) frame = NewParentWindow().release();
        if (!frame->NativeHandle()) {
            ASSERT_TRUE(frame->Create(kWidth, kHeight, "editor test")) << frame->Error();
        }
    }
    void TearDown() override { editor->CloseEditorWindow(); }
    static void TearDownTestSuite() {
        delete frame;
        frame = nullptr;
    }

    HWND Open() { return static_cast<HWND>(editor->OpenEditorWindow(frame->NativeHandle())); }
    // Opened with its timer stopped: the test's Tick() is the only tick.
    HWND OpenStill() {
        HWND wnd = Open();
        if (wnd) KillTimer(wnd, kEditorTimerId);
        return wnd;
    }
    HWND Wnd() { return static_cast<HWND>(editor->WindowHandle()); }
    HWND PromptWnd() { return static_cast<HWND>(editor->PromptWindow()); }
    void Tick() { SendMessageA(Wnd(), WM_TIMER, kEditorTimerId, 0); }
    void Mouse(MouseAction action, int x, int y, MouseButton button = MouseButton::Left,
               bool shift = false, bool control = false, bool alt = false, int notches = 0) {
        MouseEvent e;
        e.action = action;
        e.x = x;
        e.y = y;
        e.button = button;
        e.shift = shift;
        e.control = control;
        e.alt = alt;
        e.notches = notches;
        ASSERT_TRUE(frame->SendMouse(e));
    }
    // Opens the prompt over the control of param and types text into it.
    void PromptWithText(Control* control, int32_t param, const char* text) {
        editor->OpenValuePrompt(control, effect.ParamAt(param));
        ASSERT_NE(PromptWnd(), nullptr);
        SetWindowTextA(PromptWnd(), text);
    }

    static constexpr int32_t kLevel = 0, kSwitch = 1;
    NoteEffect effect{4};
    EditorWin* editor = nullptr; // owned by effect
    Probe* level = nullptr;
    Probe* gate = nullptr;
    std::vector<std::string> log;
    static ParentWindow* frame;
};

ParentWindow* EditorWinTest::frame = nullptr;

// --- the window and its class

TEST_F(EditorWinTest, TheWindowIsAQuillChildOfTheHostsWindowAtTheEditorsSize) {
    HWND wnd = Open();
    ASSERT_NE(wnd, nullptr);
    EXPECT_TRUE(editor->IsWindowOpen());
    char name[64] = "";
    GetClassNameA(wnd, name, sizeof name);
    EXPECT_STREQ(name, "QuillWndClass");
    GetWindowTextA(wnd, name, sizeof name);
    EXPECT_STREQ(name, "Quill");
    EXPECT_EQ(GetParent(wnd), frame->NativeHandle());
    const LONG_PTR style = GetWindowLongPtrA(wnd, GWL_STYLE);
    EXPECT_EQ(style & (WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN),
              WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
    EXPECT_TRUE(style & WS_VISIBLE);
    // The editor behind the window is found through pointer-sized window data.
    EXPECT_EQ(GetWindowLongPtrA(wnd, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(editor));
    RECT client;
    GetClientRect(wnd, &client);
    EXPECT_EQ(client.right, kWidth);
    EXPECT_EQ(client.bottom, kHeight);
    EXPECT_EQ(frame->EditorHandle(), wnd);
}

TEST_F(EditorWinTest, TheClassIsRegisteredWhileAnyEditorWindowOfTheModuleIsOpen) {
    TestEffect other{2};
    auto* second = new EditorWin(&other, 50, 40, 0);
    other.SetEditor(second);

    EXPECT_FALSE(ClassRegistered());
    ASSERT_NE(Open(), nullptr);
    EXPECT_TRUE(ClassRegistered());
    ASSERT_NE(second->OpenEditorWindow(frame->NativeHandle()), nullptr);
    EXPECT_EQ(EditorWin::OpenWindowCount(), 2);
    editor->CloseEditorWindow();
    EXPECT_TRUE(ClassRegistered()) << "the second window still uses the class";
    EXPECT_EQ(EditorWin::OpenWindowCount(), 1);
    second->CloseEditorWindow();
    EXPECT_FALSE(ClassRegistered());
    EXPECT_EQ(EditorWin::OpenWindowCount(), 0);
}

TEST_F(EditorWinTest, TheTimerRunsAtTheEditorsFrameRate) {
    struct Case {
        int32_t fps;
        int period;
    };
    // trunc(1000 / fps); 0 frames per second means the default 24.
    for (const Case& c : {Case{30, 33}, Case{24, 41}, Case{0, 41}, Case{1, 1000}}) {
        TestEffect other{1};
        auto* timed = new EditorWin(&other, 50, 40, c.fps);
        other.SetEditor(timed);
        HWND wnd = static_cast<HWND>(timed->OpenEditorWindow(frame->NativeHandle()));
        ASSERT_NE(wnd, nullptr);
        EXPECT_EQ(timed->TimerPeriod(), c.period) << c.fps << " fps";
        EXPECT_TRUE(KillTimer(wnd, kEditorTimerId)) << "timer 2 runs";
        timed->CloseEditorWindow();
    }
    EXPECT_EQ(EditorWin::TimerPeriodFor(2000.0), 1) << "never a period of 0";
}

TEST_F(EditorWinTest, ATickPaintsTheDirtyControlsOntoTheScreen) {
    ASSERT_NE(Open(), nullptr);
    Tick();
    std::vector<uint32_t> pixels;
    int w = 0, h = 0;
    ASSERT_TRUE(frame->Capture(pixels, w, h));
    ASSERT_EQ(w, kWidth);
    ASSERT_EQ(h, kHeight);
    EXPECT_EQ(pixels[40 * w + 50], 0xFFC81E3Cu) << "the level probe's colour";
    EXPECT_EQ(pixels[40 * w + 130], 0xFF0ADC5Au) << "the gate probe's colour";
}

TEST_F(EditorWinTest, TicksDrawOnlyWhatChangedAndNothingWhileHiddenOrMinimised) {
    ASSERT_NE(OpenStill(), nullptr);
    // The first frames: values shown before the window opened draw twice.
    for (int i = 0; i < 3; ++i)
        Tick();
    const int64_t passes = editor->PassCount(), blits = editor->BlitCount();
    // Nothing changed: no pass, nothing copied.
    for (int i = 0; i < 5; ++i)
        Tick();
    EXPECT_EQ(editor->PassCount(), passes);
    EXPECT_EQ(editor->BlitCount(), blits);
    // Two controls apart: one pass, their two areas.
    level->SetDirty(false);
    gate->SetDirty(false);
    Tick();
    EXPECT_EQ(editor->PassCount(), passes + 1);
    EXPECT_EQ(editor->BlitCount(), blits + 2);

    HWND top = static_cast<HWND>(frame->NativeHandle());
    for (int hide : {SW_HIDE, SW_MINIMIZE}) {
        SCOPED_TRACE(hide == SW_HIDE ? "hidden" : "minimised");
        ShowWindow(top, hide);
        EXPECT_FALSE(editor->WindowShowing());
        const int64_t before = editor->PassCount();
        for (int i = 0; i < 5; ++i) {
            level->SetDirty(false);
            Tick();
        }
        EXPECT_EQ(editor->PassCount(), before);
        // Shown again: the next tick brings one whole frame.
        ShowWindow(top, SW_RESTORE);
        ShowWindow(top, SW_SHOW);
        EXPECT_TRUE(editor->WindowShowing());
        Tick();
        EXPECT_GT(editor->PassCount(), before);
        std::vector<uint32_t> pixels;
        int w = 0, h = 0;
        ASSERT_TRUE(frame->Capture(pixels, w, h));
        EXPECT_EQ(pixels[40 * w + 50], 0xFFC81E3Cu) << "the level probe's colour";
    }
}

// --- mouse messages

TEST_F(EditorWinTest, MouseMessagesReachTheCoreWithTheirKeysAndPositions) {
    ASSERT_NE(Open(), nullptr);
    struct Case {
        MouseAction action;
        int x, y;
        MouseButton button;
        bool shift, control, alt;
        int notches;
        std::vector<std::string> expected;
    };
    const MouseButton L = MouseButton::Left, R = MouseButton::Right;
    const std::vector<Case> cases = {
        {MouseAction::Press, 30, 40, L, true, false, false, 0, {"down 30,40 L.S.."}},
        {MouseAction::Drag, 35, 45, L, false, false, false, 0, {"drag 35,45 L...."}},
        // Dragged outside the control, the captured control keeps the mouse.
        {MouseAction::Drag, 150, 100, L, false, true, false, 0, {"drag 150,100 L..C."}},
        {MouseAction::Release, 150, 100, L, false, false, false, 0, {"up 150,100"}},
        {MouseAction::Press, 110, 30, R, false, true, true, 0, {"down 110,30 .R.CA"}},
        {MouseAction::Release, 110, 30, R, false, false, false, 0, {"up 110,30"}},
        {MouseAction::DoubleClick,
         40,
         41,
         L,
         false,
         false,
         false,
         0,
         {"down 40,41 L....", "up 40,41", "dbl 40,41 L....", "up 40,41"}},
        {MouseAction::Wheel, 50, 50, L, false, false, false, 1, {"wheel 50,50 1"}},
        {MouseAction::Wheel, 50, 50, L, false, false, false, -1, {"wheel 50,50 -1"}},
        {MouseAction::Wheel, 120, 30, L, false, false, false, -3, {"wheel 120,30 -3"}},
    };
    for (const Case& c : cases) {
        log.clear();
        Mouse(c.action, c.x, c.y, c.button, c.shift, c.control, c.alt, c.notches);
        EXPECT_EQ(log, c.expected) << "event at " << c.x << "," << c.y;
    }
}

TEST_F(EditorWinTest, HoveringReachesTheControlAndLeavingEndsIt) {
    ASSERT_NE(Open(), nullptr);
    Mouse(MouseAction::Move, 25, 25);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "over 25,25");
    // The system may report the leave by itself (the real pointer is
    // elsewhere); either way the control hears of it once.
    Mouse(MouseAction::Leave, 0, 0);
    EXPECT_EQ(log, std::vector<std::string>({"over 25,25", "out"}));
}

TEST_F(EditorWinTest, AWheelDeltaBelowOneNotchGivesNoSteps) {
    HWND wnd = Open();
    ASSERT_NE(wnd, nullptr);
    POINT at = {50, 50};
    ClientToScreen(wnd, &at);
    SendMessageA(wnd, WM_MOUSEWHEEL, MAKEWPARAM(0, 60), MAKELPARAM(at.x, at.y));
    EXPECT_EQ(log, std::vector<std::string>({"wheel 50,50 0"}));
}

TEST_F(EditorWinTest, ADragWithoutTheCaptureIsIgnored) {
    HWND wnd = Open();
    ASSERT_NE(wnd, nullptr);
    SendMessageA(wnd, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(30, 30));
    EXPECT_TRUE(log.empty());
}

TEST_F(EditorWinTest, LosingTheCaptureEndsADrag) {
    HWND wnd = Open();
    ASSERT_NE(wnd, nullptr);
    Mouse(MouseAction::Press, 30, 40);
    Mouse(MouseAction::Drag, 33, 44);
    ASSERT_EQ(GetCapture(), wnd);
    ASSERT_EQ(editor->Capture(), 0);
    log.clear();
    // Another window takes the mouse: the drag ends where it was.
    SetCapture(static_cast<HWND>(frame->NativeHandle()));
    EXPECT_EQ(log, std::vector<std::string>({"up 33,44"}));
    EXPECT_EQ(editor->Capture(), -1);
    log.clear();
    SendMessageA(wnd, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(36, 48));
    EXPECT_TRUE(log.empty()) << "no drag without the capture";
    ReleaseCapture();
}

TEST_F(EditorWinTest, ClosingTheWindowInTheMiddleOfADragReleasesTheControl) {
    ASSERT_NE(Open(), nullptr);
    Mouse(MouseAction::Press, 30, 40);
    log.clear();
    editor->CloseEditorWindow();
    EXPECT_EQ(log, std::vector<std::string>({"up 30,40"}));
    EXPECT_EQ(editor->Capture(), -1);
}

TEST(MouseKeys, FlagsComeFromTheKeyStateWordAndAlt) {
    struct Case {
        uintptr_t word;
        bool alt;
        const char* keys;
    };
    for (const Case& c :
         {Case{0, false, "....."}, Case{MK_LBUTTON, false, "L...."},
          Case{MK_RBUTTON | MK_SHIFT, false, ".RS.."}, Case{MK_CONTROL | MK_MBUTTON, true, "...CA"},
          Case{0xFFFF, false, "LRSC."}})
        EXPECT_EQ(KeysText(MouseKeysOf(c.word, c.alt)), c.keys) << c.word;
}

// --- the value prompt

TEST_F(EditorWinTest, ATextParameterGetsACentredEditField) {
    ASSERT_NE(OpenStill(), nullptr);
    effect.EditorParamChange(kLevel, effect.ParamAt(kLevel)->NormalizedOf(1.5));
    editor->OpenValuePrompt(level, effect.ParamAt(kLevel));
    HWND prompt = PromptWnd();
    ASSERT_NE(prompt, nullptr);
    char text[64] = "";
    GetClassNameA(prompt, text, sizeof text);
    EXPECT_STREQ(text, "Edit");
    GetWindowTextA(prompt, text, sizeof text);
    char expected[kParamTextSize];
    effect.ParamAt(kLevel)->FormatValue(expected);
    EXPECT_STREQ(text, expected);
    EXPECT_EQ(GetParent(prompt), Wnd());
    EXPECT_EQ(GetDlgCtrlID(prompt), kPromptControlId);
    // Centred on the control (20..80 x 20..60): 32 x 16 at (50 - 16, 40 - 8).
    RECT place;
    GetWindowRect(prompt, &place);
    MapWindowPoints(nullptr, Wnd(), reinterpret_cast<POINT*>(&place), 2);
    EXPECT_EQ(place.left, 34);
    EXPECT_EQ(place.top, 32);
    EXPECT_EQ(place.right - place.left, 32);
    EXPECT_EQ(place.bottom - place.top, 16);
    EXPECT_EQ(GetWindowLongPtrA(prompt, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(editor));
    EXPECT_NE(editor->PromptFont(), nullptr);

    // One prompt at a time.
    editor->OpenValuePrompt(gate, effect.ParamAt(kSwitch));
    EXPECT_EQ(PromptWnd(), prompt);
}

TEST_F(EditorWinTest, AnOffOnParameterGetsAListFortyEightPixelsWide) {
    ASSERT_NE(OpenStill(), nullptr);
    effect.EditorParamChange(kSwitch, 1.0);
    editor->OpenValuePrompt(gate, effect.ParamAt(kSwitch));
    HWND prompt = PromptWnd();
    ASSERT_NE(prompt, nullptr);
    char name[64] = "";
    GetClassNameA(prompt, name, sizeof name);
    EXPECT_STREQ(name, "ComboBox");
    RECT place;
    GetWindowRect(prompt, &place);
    MapWindowPoints(nullptr, Wnd(), reinterpret_cast<POINT*>(&place), 2);
    // The longest text has 3 characters: 8 x 3 + 24 = 48, centred on x 130.
    EXPECT_EQ(place.right - place.left, 48);
    EXPECT_EQ(place.left, 130 - 24);
    EXPECT_EQ(place.top, 40 - 8);
    EXPECT_EQ(SendMessageA(prompt, CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageA(prompt, CB_GETCURSEL, 0, 0), 1) << "\"on\" is selected";
}

TEST_F(EditorWinTest, EnterCommitsTheTypedValueOnTheNextTick) {
    ASSERT_NE(OpenStill(), nullptr);
    PromptWithText(level, kLevel, "3.5");
    SendMessageA(PromptWnd(), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(editor->PromptStateNow(), PromptCommit);
    EXPECT_EQ(effect.ParamAt(kLevel)->Value(), 0.0) << "nothing happens before the tick";
    // Losing the focus does not undo the commit.
    SendMessageA(PromptWnd(), WM_KILLFOCUS, 0, 0);
    EXPECT_EQ(editor->PromptStateNow(), PromptCommit);
    Tick();
    EXPECT_NEAR(effect.ParamAt(kLevel)->Value(), 3.5, 1e-9);
    EXPECT_EQ(PromptWnd(), nullptr) << "the prompt closed";
}

TEST_F(EditorWinTest, TypedTextIsReadTheSameInAnyLocaleAndNonsenseChangesNothing) {
    ASSERT_NE(OpenStill(), nullptr);
    struct Case {
        const char* text;
        double expected;
    };
    const double before = -1.0;
    // Parameter 0 runs -10..10.
    for (const Case& c :
         {Case{"2.25", 2.25}, Case{"-2,5", -2.5}, Case{"  4 dB", 4.0}, Case{"1e1", 10.0},
          Case{"99", 10.0}, Case{"abc", before}, Case{"", before}, Case{"-", before},
          Case{".", before}, Case{"nan", before}, Case{"inf", before}, Case{"1e999", before}}) {
        effect.HostParamChange(kLevel, effect.ParamAt(kLevel)->NormalizedOf(before));
        PromptWithText(level, kLevel, c.text);
        SendMessageA(PromptWnd(), WM_KEYDOWN, VK_RETURN, 0);
        Tick();
        EXPECT_NEAR(effect.ParamAt(kLevel)->Value(), c.expected, 1e-9) << "\"" << c.text << "\"";
        EXPECT_EQ(PromptWnd(), nullptr);
    }
    // A decimal comma locale changes nothing.
    const bool german = std::setlocale(LC_ALL, "German") || std::setlocale(LC_ALL, "de-DE");
    double value = 0.0;
    EXPECT_TRUE(ParsePromptNumber("2.5", value));
    EXPECT_EQ(value, 2.5);
    EXPECT_TRUE(ParsePromptNumber("2,5", value));
    EXPECT_EQ(value, 2.5);
    std::setlocale(LC_ALL, "C");
    if (!german) std::printf("(no German locale here; parsed in the C locale only)\n");
}

// The table the X11 face runs too: what Enter commits for each typed text.
TEST_F(EditorWinTest, TheSharedTableOfTypedTexts) {
    ASSERT_NE(OpenStill(), nullptr);
    Param* param = effect.ParamAt(kLevel);
    for (const PromptCase& c : PromptCases()) {
        const std::string name = PromptCaseName(c);
        effect.HostParamChange(kLevel, param->NormalizedOf(kPromptStartValue));
        Tick();
        const double before = param->Value();
        effect.ClearNotes();
        editor->OpenValuePrompt(level, param);
        ASSERT_NE(PromptWnd(), nullptr) << name;
        if (c.typed) SetWindowTextA(PromptWnd(), c.typed);
        SendMessageA(PromptWnd(), WM_KEYDOWN, VK_RETURN, 0);
        Tick();
        EXPECT_EQ(PromptWnd(), nullptr) << name;
        const std::vector<std::string> notes = effect.Notes();
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

TEST_F(EditorWinTest, TheListKeepsTheValueWhenNothingOrTheShownEntryIsChosen) {
    ASSERT_NE(OpenStill(), nullptr);
    for (int choice : {-1, 0}) {
        effect.ClearNotes();
        editor->OpenValuePrompt(gate, effect.ParamAt(kSwitch));
        ASSERT_NE(PromptWnd(), nullptr);
        SendMessageA(PromptWnd(), CB_SETCURSEL, WPARAM(choice), 0);
        SendMessageA(PromptWnd(), WM_KEYDOWN, VK_RETURN, 0);
        Tick();
        EXPECT_EQ(PromptWnd(), nullptr);
        EXPECT_EQ(effect.ParamAt(kSwitch)->Value(), 0.0) << choice;
        EXPECT_TRUE(effect.Notes().empty()) << choice;
    }
}

TEST_F(EditorWinTest, AChoiceInTheListCommitsOnTheNextTick) {
    ASSERT_NE(OpenStill(), nullptr);
    editor->OpenValuePrompt(gate, effect.ParamAt(kSwitch));
    HWND prompt = PromptWnd();
    ASSERT_NE(prompt, nullptr);
    SendMessageA(prompt, CB_SETCURSEL, 1, 0);
    SendMessageA(prompt, WM_COMMAND, MAKEWPARAM(0, 1), 0);
    EXPECT_EQ(editor->PromptStateNow(), PromptCommit);
    Tick();
    EXPECT_EQ(effect.ParamAt(kSwitch)->Value(), 1.0);
    EXPECT_EQ(PromptWnd(), nullptr);
}

TEST_F(EditorWinTest, ARightClickCancelsThePromptWithoutChangingTheValue) {
    ASSERT_NE(OpenStill(), nullptr);
    PromptWithText(level, kLevel, "7");
    // The prompt has the focus: the editor holds still, but a right press
    // still cancels.
    SendMessageA(PromptWnd(), WM_SETFOCUS, 0, 0);
    EXPECT_EQ(editor->PromptStateNow(), PromptFocused);
    log.clear();
    Mouse(MouseAction::Press, 30, 30, MouseButton::Right);
    EXPECT_TRUE(log.empty()) << "the press did not reach the control";
    EXPECT_EQ(editor->PromptStateNow(), PromptCancel);
    Tick();
    EXPECT_EQ(PromptWnd(), nullptr);
    EXPECT_EQ(effect.ParamAt(kLevel)->Value(), 0.0);
}

TEST_F(EditorWinTest, WhileThePromptHasTheFocusTheTimerWaits) {
    ASSERT_NE(OpenStill(), nullptr);
    PromptWithText(level, kLevel, "5");
    SendMessageA(PromptWnd(), WM_SETFOCUS, 0, 0);
    Tick();
    EXPECT_NE(PromptWnd(), nullptr);
    EXPECT_EQ(editor->PromptStateNow(), PromptFocused);
    SendMessageA(PromptWnd(), WM_KILLFOCUS, 0, 0);
    EXPECT_EQ(editor->PromptStateNow(), PromptIdle);
}

TEST_F(EditorWinTest, ARedrawRefreshesThePromptsTextOnTheFollowingTick) {
    ASSERT_NE(OpenStill(), nullptr);
    Tick(); // the first drawing pass
    PromptWithText(level, kLevel, "typed");
    // The host changes the value: the control is dirty, the tick redraws.
    effect.HostParamChange(kLevel, effect.ParamAt(kLevel)->NormalizedOf(2.0));
    Tick();
    EXPECT_EQ(editor->PromptStateNow(), PromptRefresh);
    Tick();
    char text[32] = "", expected[kParamTextSize];
    GetWindowTextA(PromptWnd(), text, sizeof text);
    effect.ParamAt(kLevel)->FormatValue(expected);
    EXPECT_STREQ(text, expected);
    EXPECT_EQ(editor->PromptStateNow(), PromptIdle);
}

TEST_F(EditorWinTest, ClosingTheWindowClosesThePromptAndDeletesItsFont) {
    ASSERT_NE(OpenStill(), nullptr);
    editor->OpenValuePrompt(level, effect.ParamAt(kLevel));
    HWND prompt = PromptWnd();
    HGDIOBJ font = editor->PromptFont();
    ASSERT_NE(prompt, nullptr);
    ASSERT_EQ(GetObjectType(font), DWORD(OBJ_FONT));
    editor->CloseEditorWindow();
    EXPECT_EQ(PromptWnd(), nullptr);
    EXPECT_FALSE(IsWindow(prompt));
    EXPECT_EQ(GetObjectType(font), 0u) << "the prompt's font is gone";
    // The next window takes prompts again.
    ASSERT_NE(OpenStill(), nullptr);
    editor->OpenValuePrompt(level, effect.ParamAt(kLevel));
    EXPECT_NE(PromptWnd(), nullptr);
}

TEST_F(EditorWinTest, ARightPressOnAControlOpensItsPrompt) {
    // The control's own behaviour: no probe, the stock control.
    struct Plain : Control {
        using Control::Control;
        bool Draw(Editor*) override { return true; }
    };
    auto* plain = new Plain(&effect, Rect(20, 70, 80, 110), 2, BlendAlpha);
    editor->AddControl(plain);
    ASSERT_NE(OpenStill(), nullptr);
    Mouse(MouseAction::Press, 50, 90, MouseButton::Right);
    Mouse(MouseAction::Release, 50, 90, MouseButton::Right);
    ASSERT_NE(PromptWnd(), nullptr);
    EXPECT_EQ(editor->PromptControl(), plain);
}

TEST_F(EditorWinTest, ANewSizeClosesThePromptWithTheControls) {
    ASSERT_NE(OpenStill(), nullptr);
    editor->OpenValuePrompt(level, effect.ParamAt(kLevel));
    editor->SetSize(150, 90);
    EXPECT_EQ(PromptWnd(), nullptr);
    EXPECT_EQ(editor->ControlCount(), 0);
    RECT client;
    GetClientRect(Wnd(), &client);
    EXPECT_EQ(client.right, 150);
    EXPECT_EQ(client.bottom, 90);
    Tick(); // nothing left to draw or to prompt for
}

// --- text

TEST_F(EditorWinTest, TextIsDrawnIntoTheBackBufferWhereItWasAsked) {
    Bitmap* back = editor->BackBuffer();
    ASSERT_NE(back, nullptr);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            back->Pixels()[y * back->RowSpan() + x] = 0xFF000000u;
    EXPECT_TRUE(
        editor->DrawString(TextStyle(Color(255, 255, 255, 255)), nullptr, Rect(0, 0, 9, 9)));
    EXPECT_EQ(editor->TextFont(), nullptr) << "a null text makes no font";

    TextStyle style(14, Color(255, 255, 255, 255), "Arial", TextStyle::Normal, TextStyle::AlignLeft,
                    0);
    const Rect box(60, 40, 180, 80);
    EXPECT_TRUE(editor->DrawString(style, "Hm", box));
    // Read right away by software: the text is there, and only inside the box.
    int inside = 0, outside = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const uint32_t p = back->Pixels()[y * back->RowSpan() + x] & 0xFFFFFF;
            if (p != 0) ++(box.Contains(x, y) ? inside : outside);
        }
    EXPECT_GT(inside, 10);
    EXPECT_EQ(outside, 0);
}

TEST(EditorWinText, TheFirstTextFontIsDeletedWithTheEditor) {
    HGDIOBJ font = nullptr;
    {
        TestEffect effect{1};
        auto* editor = new EditorWin(&effect, 60, 30, 0);
        effect.SetEditor(editor);
        ASSERT_TRUE(editor->DrawString(TextStyle(Color(255, 9, 9, 9)), "a", Rect(0, 0, 60, 30)));
        font = editor->TextFont();
        ASSERT_EQ(GetObjectType(font), DWORD(OBJ_FONT));
        // Later texts keep the first font, whatever their style.
        TextStyle bold(20, Color(255, 1, 2, 3), "Arial", TextStyle::Bold, TextStyle::AlignRight, 0);
        ASSERT_TRUE(editor->DrawString(bold, "b", Rect(0, 0, 60, 30)));
        EXPECT_EQ(editor->TextFont(), font);
    }
    EXPECT_EQ(GetObjectType(font), 0u);
}

// --- paths and system services

TEST(ModulePaths, TheFolderIsThePathUpToItsLastBackslash) {
    struct Case {
        const char* name;
        unsigned long length, capacity;
        const char* folder;
    };
    for (const Case& c :
         {Case{"C:\\host\\app.exe", 15, 256, "C:\\host\\"}, Case{"C:\\app.exe", 10, 256, "C:\\"},
          Case{"app.exe", 7, 256, ""}, Case{"C:\\host\\", 8, 256, ""}, Case{"", 0, 256, ""},
          // Cut short: the buffer was full.
          Case{"C:\\a\\b", 6, 6, ""}, Case{"C:\\a\\bcdef", 10, 6, ""}})
        EXPECT_EQ(DirectoryOfModuleName(c.name, c.length, c.capacity), c.folder) << c.name;
    EXPECT_EQ(DirectoryOfModuleName(nullptr, 5, 256), "");
}

TEST_F(EditorWinTest, HostAndModuleFoldersEndInABackslash) {
    std::string host = "stale", module = "stale";
    editor->HostDirectory(host);
    editor->ModuleDirectory(module);
    ASSERT_FALSE(host.empty());
    EXPECT_EQ(host.back(), '\\');
    // This test program is both the host and the module.
    EXPECT_EQ(module, host);
}

TEST_F(EditorWinTest, DialogsNeedAnOpenWindow) {
    std::string file = "stale";
    editor->AskForFile(file, 0, "", "");
    EXPECT_EQ(file, "");
    Color color(7, 1, 2, 3);
    EXPECT_FALSE(editor->AskForColor(color, "colour"));
    EXPECT_EQ(color, Color(7, 1, 2, 3));
    EXPECT_FALSE(editor->OpenDocument(nullptr));
}

// Answers the next modal dialog of this thread: the button, once the dialog
// (found by title, or any dialog for a null title) is up.
struct DialogAnswer {
    static const char* title;
    static WPARAM button;
    static int answered;
    static void CALLBACK Try(HWND, UINT, UINT_PTR timer, DWORD) {
        HWND dialog = FindWindowA("#32770", title);
        if (!dialog || GetWindowThreadProcessId(dialog, nullptr) != GetCurrentThreadId()) return;
        KillTimer(nullptr, timer);
        ++answered;
        PostMessageA(dialog, WM_COMMAND, button, 0);
    }
    static void Arm(const char* dialogTitle, WPARAM answer) {
        title = dialogTitle;
        button = answer;
        answered = 0;
        SetTimer(nullptr, 0, 100, Try);
    }
};
const char* DialogAnswer::title = nullptr;
WPARAM DialogAnswer::button = IDCANCEL;
int DialogAnswer::answered = 0;

TEST_F(EditorWinTest, TheColourChooserTakesThePromptAsTitleAndKeepsCustomColours) {
    ASSERT_NE(OpenStill(), nullptr);
    Color color(17, 10, 120, 230);
    DialogAnswer::Arm("pick the line colour", IDOK);
    EXPECT_TRUE(editor->AskForColor(color, "pick the line colour"));
    EXPECT_EQ(DialogAnswer::answered, 1) << "the dialog had the prompt as its title";
    // OK keeps the colour it started with; alpha is not the chooser's.
    EXPECT_EQ(color, Color(17, 10, 120, 230));
    const uint32_t* custom = editor->CustomColors();
    ASSERT_NE(custom, nullptr);

    DialogAnswer::Arm("again", IDCANCEL);
    EXPECT_FALSE(editor->AskForColor(color, "again"));
    EXPECT_EQ(DialogAnswer::answered, 1);
    EXPECT_EQ(editor->CustomColors(), custom) << "the same custom colours serve every call";
}

TEST_F(EditorWinTest, ACancelledFileDialogGivesNoPath) {
    ASSERT_NE(OpenStill(), nullptr);
    for (int action : {0, 1}) {
        std::string path = "stale";
        DialogAnswer::Arm(nullptr, IDCANCEL);
        editor->AskForFile(path, action, "", "*.txt");
        EXPECT_EQ(DialogAnswer::answered, 1) << "action " << action;
        EXPECT_EQ(path, "") << "action " << action;
    }
}

TEST_F(EditorWinTest, EditorBitmapsComeFromTheModulesPngResources) {
    BitmapRef background = editor->LoadEditorBitmap(100, "bg.png", 1);
    ASSERT_NE(background.mBitmap, nullptr);
    EXPECT_EQ(background.mW, background.mBitmap->Width());
    EXPECT_GT(background.mH, 0);
    EXPECT_TRUE(editor->KeepsBitmap(background.mBitmap));
    EXPECT_EQ(editor->LoadEditorBitmap(4242, "none.png", 1).mBitmap, nullptr);
}

// --- odd orders

TEST_F(EditorWinTest, OpeningTwiceReplacesTheWindowAtItsPlace) {
    HWND first = Open();
    ASSERT_NE(first, nullptr);
    SetWindowPos(first, nullptr, 5, 7, 120, 80, SWP_NOZORDER | SWP_NOACTIVATE);
    HWND second = Open();
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(EditorWin::OpenWindowCount(), 1);
    RECT place;
    GetWindowRect(second, &place);
    MapWindowPoints(nullptr, static_cast<HWND>(frame->NativeHandle()),
                    reinterpret_cast<POINT*>(&place), 2);
    EXPECT_EQ(place.left, 5);
    EXPECT_EQ(place.top, 7);
    EXPECT_EQ(place.right - place.left, 120);
    EXPECT_EQ(place.bottom - place.top, 80);
}

TEST_F(EditorWinTest, ClosingWithoutOpeningDoesNothing) {
    editor->CloseEditorWindow();
    EXPECT_FALSE(editor->IsWindowOpen());
    EXPECT_EQ(EditorWin::OpenWindowCount(), 0);
    EXPECT_EQ(editor->OpenEditorWindow(nullptr), nullptr) << "a child needs a parent";
    EXPECT_EQ(EditorWin::OpenWindowCount(), 0);
    EXPECT_FALSE(ClassRegistered());
}

TEST_F(EditorWinTest, AHostThatDestroysItsWindowFirstLeavesTheEditorClosed) {
    ASSERT_NE(Open(), nullptr);
    editor->OpenValuePrompt(level, effect.ParamAt(kLevel));
    HGDIOBJ font = editor->PromptFont();
    frame->Destroy();
    EXPECT_FALSE(editor->IsWindowOpen());
    EXPECT_EQ(PromptWnd(), nullptr);
    EXPECT_EQ(GetObjectType(font), 0u);
    EXPECT_EQ(EditorWin::OpenWindowCount(), 0);
    editor->CloseEditorWindow();
    // And it opens again in a new window.
    ASSERT_TRUE(frame->Create(kWidth, kHeight, "again"));
    EXPECT_NE(Open(), nullptr);
}

} // namespace
