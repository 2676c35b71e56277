// What only the Win32 face does, in this process under Wine: its window class
// and timer, the mouse capture and the wheel's notches, the prompt's EDIT and
// COMBOBOX children and their fonts, GDI text, the dialogs and the module's
// resources, and opening and closing in odd orders. What both faces do is in
// editor_face_test.cpp. Mouse events come through the harness's editor frame
// (tools/host), so the harness is tested on the way.
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "draw/resource.h"
#include "editor/control.h"
#include "editor/editor_win.h"
#include "plug/param.h"
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

TEST_F(EditorWinTest, TheWindowsTimerIsTimerTwo) {
    HWND wnd = Open();
    ASSERT_NE(wnd, nullptr);
    EXPECT_EQ(editor->TimerPeriod(), 33) << "30 frames a second";
    EXPECT_TRUE(KillTimer(wnd, kEditorTimerId)) << "timer 2 runs";
}

// --- mouse messages

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

TEST_F(EditorWinTest, TheTextFieldIsAnEditChildOfTheWindowWithItsOwnFont) {
    ASSERT_NE(OpenStill(), nullptr);
    editor->OpenValuePrompt(level, effect.ParamAt(kLevel));
    HWND prompt = PromptWnd();
    ASSERT_NE(prompt, nullptr);
    char name[64] = "";
    GetClassNameA(prompt, name, sizeof name);
    EXPECT_STREQ(name, "Edit");
    EXPECT_EQ(GetParent(prompt), Wnd());
    EXPECT_EQ(GetDlgCtrlID(prompt), kPromptControlId);
    // 32 x 16 at (50 - 16, 40 - 8), centred on the control (20..80 x 20..60).
    RECT place;
    GetWindowRect(prompt, &place);
    MapWindowPoints(nullptr, Wnd(), reinterpret_cast<POINT*>(&place), 2);
    EXPECT_EQ(place.left, 34);
    EXPECT_EQ(place.right - place.left, 32);
    EXPECT_EQ(GetWindowLongPtrA(prompt, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(editor));
    EXPECT_EQ(GetObjectType(editor->PromptFont()), DWORD(OBJ_FONT));
}

TEST_F(EditorWinTest, AnOffOnParameterGetsAComboBox) {
    ASSERT_NE(OpenStill(), nullptr);
    editor->OpenValuePrompt(gate, effect.ParamAt(kSwitch));
    ASSERT_NE(PromptWnd(), nullptr);
    char name[64] = "";
    GetClassNameA(PromptWnd(), name, sizeof name);
    EXPECT_STREQ(name, "ComboBox");
}

TEST_F(EditorWinTest, LosingTheFocusAfterEnterDoesNotUndoTheCommit) {
    ASSERT_NE(OpenStill(), nullptr);
    PromptWithText(level, kLevel, "3.5");
    SendMessageA(PromptWnd(), WM_KEYDOWN, VK_RETURN, 0);
    SendMessageA(PromptWnd(), WM_KILLFOCUS, 0, 0);
    EXPECT_EQ(editor->PromptStateNow(), PromptCommit);
    Tick();
    EXPECT_NEAR(effect.ParamAt(kLevel)->Value(), 3.5, 1e-9);
    EXPECT_EQ(PromptWnd(), nullptr) << "the prompt closed";
}

TEST_F(EditorWinTest, TheListKeepsTheValueWhenNothingIsChosen) {
    ASSERT_NE(OpenStill(), nullptr);
    effect.ClearNotes();
    editor->OpenValuePrompt(gate, effect.ParamAt(kSwitch));
    ASSERT_NE(PromptWnd(), nullptr);
    SendMessageA(PromptWnd(), CB_SETCURSEL, WPARAM(-1), 0);
    SendMessageA(PromptWnd(), WM_KEYDOWN, VK_RETURN, 0);
    Tick();
    EXPECT_EQ(PromptWnd(), nullptr);
    EXPECT_EQ(effect.ParamAt(kSwitch)->Value(), 0.0);
    EXPECT_TRUE(effect.Notes().empty());
}

TEST_F(EditorWinTest, ClosingTheWindowDestroysThePromptAndDeletesItsFont) {
    ASSERT_NE(OpenStill(), nullptr);
    editor->OpenValuePrompt(level, effect.ParamAt(kLevel));
    HWND prompt = PromptWnd();
    HGDIOBJ font = editor->PromptFont();
    ASSERT_NE(prompt, nullptr);
    ASSERT_EQ(GetObjectType(font), DWORD(OBJ_FONT));
    editor->CloseEditorWindow();
    EXPECT_FALSE(IsWindow(prompt));
    EXPECT_EQ(GetObjectType(font), 0u) << "the prompt's font is gone";
}

// --- text

TEST(EditorWinText, TheFirstTextFontIsDeletedWithTheEditor) {
    HGDIOBJ font = nullptr;
    {
        TestEffect effect{1};
        auto* editor = new EditorWin(&effect, 60, 30, 0);
        effect.SetEditor(editor);
        ASSERT_TRUE(editor->DrawString(TextStyle(Color(255, 9, 9, 9)), nullptr, Rect(0, 0, 9, 9)));
        EXPECT_EQ(editor->TextFont(), nullptr) << "a null text makes no font";
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

TEST_F(EditorWinTest, ClosingWithoutOpeningAndOpeningWithoutAParentRegisterNothing) {
    editor->CloseEditorWindow();
    EXPECT_EQ(editor->OpenEditorWindow(nullptr), nullptr);
    EXPECT_EQ(EditorWin::OpenWindowCount(), 0);
    EXPECT_FALSE(ClassRegistered());
}

TEST_F(EditorWinTest, AHostThatDestroysItsWindowFirstTakesThePromptAndItsFontWithIt) {
    ASSERT_NE(Open(), nullptr);
    editor->OpenValuePrompt(level, effect.ParamAt(kLevel));
    HGDIOBJ font = editor->PromptFont();
    frame->Destroy();
    EXPECT_EQ(PromptWnd(), nullptr);
    EXPECT_EQ(GetObjectType(font), 0u);
    EXPECT_EQ(EditorWin::OpenWindowCount(), 0);
    editor->CloseEditorWindow();
    ASSERT_TRUE(frame->Create(kWidth, kHeight, "again"));
}

} // namespace
