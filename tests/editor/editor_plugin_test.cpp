// A plug-in binary's editor seen from a host: the harness opens it in a window
// of its own, drives it with the mouse, pictures it, plays audio meanwhile,
// and opens and closes it in the orders hosts do.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "draw/png_resource.h"
#include "tests/vst/test_effect.h"
#include "tools/host/demo_signal.h"
#include "tools/host/editor_session.h"
#include "tools/host/host.h"

namespace {

const char* const kPlugin = KELO_EDITOR_TEST_PLUGIN;

// Places and colours of the test plug-in's editor (tests/editor/editor_plugin.cpp).
constexpr int kBarX = 40, kBarTop = 20, kBarBottom = 140;
constexpr uint32_t kBarOn = 0xFFF0C800u, kBarOff = 0xFF282828u;
constexpr int kSwitchX = 130, kSwitchY = 40;
constexpr uint32_t kSwitchOn = 0xFF00C850u, kSwitchOff = 0xFFC80028u;

BOOL CALLBACK CountWindow(HWND, LPARAM count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// Top-level windows of this thread.
int ThreadWindowCount() {
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

class EditorPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        const PluginModule& module = SharedModule(kPlugin);
        ASSERT_TRUE(module.Loaded()) << module.Error();
        ASSERT_TRUE(plugin.Create(module));
        plugin.Start(48000.0, 256);
    }

    struct Picture {
        std::vector<uint32_t> pixels;
        int w = 0, h = 0;
        uint32_t At(int x, int y) const { return pixels[size_t(y) * size_t(w) + size_t(x)]; }
        // The first row from the top where the bar's lit colour starts.
        int BarTop() const {
            for (int y = kBarTop; y < kBarBottom; ++y)
                if (At(kBarX, y) == kBarOn) return y;
            return kBarBottom;
        }
    };
    Picture Capture(EditorSession& session) {
        Picture p;
        EXPECT_TRUE(session.Capture(p.pixels, p.w, p.h));
        return p;
    }
    static MouseEvent At(MouseAction action, int x, int y) {
        MouseEvent e;
        e.action = action;
        e.x = x;
        e.y = y;
        return e;
    }
    HWND ChildOf(EditorSession& session) {
        return static_cast<HWND>(session.Window().EditorHandle());
    }

    PluginInstance plugin;
};

TEST_F(EditorPluginTest, TheHarnessOpensTheEditorAndPicturesItsControls) {
    ASSERT_TRUE(plugin.Record()->flags & kVstFlagHasEditor);
    EditorSession session(plugin);
    std::string error;
    ASSERT_TRUE(session.Open(error)) << error;
    EXPECT_EQ(session.Width(), 240);
    EXPECT_EQ(session.Height(), 160);
    session.Pump(150);
    const Picture p = Capture(session);
    ASSERT_EQ(p.w, 240);
    ASSERT_EQ(p.h, 160);
    // Gain 0 dB of -24..24 is half way: the lit half of the bar.
    EXPECT_EQ(p.BarTop(), 80);
    EXPECT_EQ(p.At(kBarX, 30), kBarOff);
    EXPECT_EQ(p.At(kSwitchX, kSwitchY), kSwitchOff);

    // The same picture as a PNG file.
    const std::string path =
        std::string(std::getenv("TEMP") ? std::getenv("TEMP") : ".") + "\\kelo_editor_test.png";
    ASSERT_TRUE(session.WritePng(path, error)) << error;
    FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::vector<unsigned char> bytes(1 << 20);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    std::fclose(file);
    std::remove(path.c_str());
    Bitmap* decoded = DecodePng(bytes.data(), bytes.size(), nullptr);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->Width(), 240);
    EXPECT_EQ(decoded->Height(), 160);
    EXPECT_EQ(decoded->Pixels()[kSwitchY * decoded->RowSpan() + kSwitchX], kSwitchOff);
    delete decoded;
}

TEST_F(EditorPluginTest, MouseSequencesMoveParametersAndTheHostHearsOfIt) {
    EditorSession session(plugin);
    std::string error;
    ASSERT_TRUE(session.Open(error)) << error;
    std::vector<MouseStep> steps;
    ASSERT_TRUE(ParseMouseSequence("press 40,100; drag 40,90; drag 40,70; release 40,70; "
                                   "click 130,40; wait 100",
                                   steps, error))
        << error;
    const float gainBefore = plugin.GetParameter(TestGain);
    ASSERT_TRUE(session.Play(steps));
    // Dragging up raises the gain; the press toggled the switch on.
    EXPECT_GT(plugin.GetParameter(TestGain), gainBefore);
    EXPECT_EQ(plugin.GetParameter(TestLongName), 1.0f);
    bool gainAutomated = false, switchAutomated = false;
    for (const AutomationEvent& e : plugin.Automation()) {
        gainAutomated |= e.index == TestGain;
        switchAutomated |= e.index == TestLongName && e.value == 1.0f;
    }
    EXPECT_TRUE(gainAutomated);
    EXPECT_TRUE(switchAutomated);
    const Picture p = Capture(session);
    EXPECT_LT(p.BarTop(), 80) << "the bar grew";
    EXPECT_EQ(p.At(kSwitchX, kSwitchY), kSwitchOn);
}

TEST_F(EditorPluginTest, HostChangesShowInTheEditorOnItsTimer) {
    EditorSession session(plugin);
    std::string error;
    ASSERT_TRUE(session.Open(error)) << error;
    plugin.SetParameter(TestLongName, 1.0f);
    plugin.SetParameter(TestGain, 1.0f);
    session.Pump(150);
    const Picture p = Capture(session);
    EXPECT_EQ(p.At(kSwitchX, kSwitchY), kSwitchOn);
    EXPECT_EQ(p.BarTop(), kBarTop);
}

TEST_F(EditorPluginTest, OpeningTwiceAndClosingUnopenedAreHarmless) {
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorClose), 1) << "closing before opening";
    EditorSession session(plugin);
    std::string error;
    ASSERT_TRUE(session.Open(error)) << error;
    HWND first = ChildOf(session);
    ASSERT_NE(first, nullptr);
    // A second open while the window is open is refused; the window stays.
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorOpen, 0, 0, session.Window().NativeHandle()), 0);
    EXPECT_TRUE(IsWindow(first));
    EXPECT_EQ(GetWindow(first, GW_HWNDNEXT), nullptr) << "one editor window";
    session.Close();
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorClose), 1) << "closing twice";
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorOpen, 0, 0, nullptr), 0) << "no parent, no window";
}

TEST_F(EditorPluginTest, ClosingThePluginWithTheEditorOpenClosesTheWindowFirst) {
    EditorSession session(plugin);
    std::string error;
    ASSERT_TRUE(session.Open(error)) << error;
    session.StartAudio(DemoSignal(48000.0), 48000.0, 256, true);
    session.Pump(100);
    HWND editorWnd = ChildOf(session);
    ASSERT_NE(editorWnd, nullptr);
    session.StopAudio();
    plugin.Close();
    EXPECT_FALSE(IsWindow(editorWnd));
    // The frame outlives the plug-in and keeps working.
    session.Window().Pump(100, nullptr);
    EXPECT_EQ(session.Window().EditorHandle(), nullptr);
}

TEST_F(EditorPluginTest, FiftyOpenCloseCyclesWhileAudioPlaysLeakNothing) {
    EditorSession session(plugin);
    std::string error;
    ASSERT_TRUE(session.Open(error)) << error;
    session.Close();
    // Windows of this thread, the drop-down lists of prompts included. (GDI
    // object counts are not kept by every system: the prompt's font is
    // checked in editor_win_test.)
    const int windowsBefore = ThreadWindowCount();
    session.StartAudio(DemoSignal(48000.0), 48000.0, 256, true);
    int opened = 0;
    for (int cycle = 0; cycle < 50; ++cycle) {
        if (!session.Open(error)) break;
        ++opened;
        // Some cycles drag and prompt while the audio thread processes.
        if (cycle % 5 == 0) {
            session.Mouse(At(MouseAction::Press, 40, 100));
            session.Mouse(At(MouseAction::Drag, 40, 60 + cycle));
            MouseEvent right = At(MouseAction::Press, 130, 40);
            right.button = MouseButton::Right;
            session.Mouse(right); // opens the switch's list prompt
            EXPECT_NE(FindWindowExA(ChildOf(session), nullptr, "ComboBox", nullptr), nullptr);
        }
        session.Pump(20);
        session.Close();
    }
    const int64_t played = session.FramesPlayed();
    session.StopAudio();
    EXPECT_EQ(opened, 50) << error;
    EXPECT_GT(played, 0) << "the audio ran meanwhile";

    // The windows of the cycles are all gone again.
    EXPECT_EQ(ThreadWindowCount(), windowsBefore);
    EXPECT_EQ(session.Window().EditorHandle(), nullptr);
    WNDCLASSA wc;
    EXPECT_FALSE(GetClassInfoA(GetModuleHandleA("editor_test_plugin.dll"), "QuillWndClass", &wc))
        << "the class went with the last window";
}

TEST(MouseSequence, StepsParseFromText) {
    std::vector<MouseStep> steps;
    std::string error;
    ASSERT_TRUE(ParseMouseSequence("press 10,20 shift; drag 11,-3 ctrl alt;release 11,-3 ;"
                                   "wheel 5,6,-2; rclick 1,2; rdblclick 3,4; leave; wait 250; ;",
                                   steps, error))
        << error;
    ASSERT_EQ(steps.size(), 8u);
    EXPECT_EQ(steps[0].event.action, MouseAction::Press);
    EXPECT_EQ(steps[0].event.x, 10);
    EXPECT_EQ(steps[0].event.y, 20);
    EXPECT_TRUE(steps[0].event.shift);
    EXPECT_EQ(steps[1].event.action, MouseAction::Drag);
    EXPECT_EQ(steps[1].event.y, -3);
    EXPECT_TRUE(steps[1].event.control && steps[1].event.alt && !steps[1].event.shift);
    EXPECT_EQ(steps[3].event.action, MouseAction::Wheel);
    EXPECT_EQ(steps[3].event.notches, -2);
    EXPECT_EQ(steps[4].event.action, MouseAction::Click);
    EXPECT_EQ(steps[4].event.button, MouseButton::Right);
    EXPECT_EQ(steps[5].event.action, MouseAction::DoubleClick);
    EXPECT_EQ(steps[6].event.action, MouseAction::Leave);
    EXPECT_TRUE(steps[7].wait);
    EXPECT_EQ(steps[7].waitMs, 250);
}

TEST(MouseSequence, MalformedStepsAreRefusedWhole) {
    const std::vector<MouseStep> kept(2);
    for (const char* bad : {"jump 1,2", "press", "press 1", "press 1,2,3", "wheel 1,2", "press 1,x",
                            "press 1,2 hyper", "wait", "wait -5", "press 1,,2",
                            "press 99999999999,1", "click 1,2,"}) {
        std::vector<MouseStep> steps = kept;
        std::string error;
        EXPECT_FALSE(ParseMouseSequence(std::string("move 1,1; ") + bad, steps, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(steps.size(), 2u) << "left as it was: " << bad;
    }
}

} // namespace
