// The built plug-in's editor in a window of the harness's own (X11 natively,
// Win32 under Wine), driven by mouse events through the window system, heard
// by a host in Touch mode that answers every edit call by processing a block
// on its audio thread and waiting for it. Each gesture comes out as one begin
// and end pair per parameter with the values between, state changes once per
// gesture, and no call finds the plug-in's lock held.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "effect/kelo_params.h"
#include "tools/host/editor_session.h"
#include "tools/host/touch.h"

namespace {

bool HaveDisplay() {
#ifdef _WIN32
    return true;
#else
    const char* display = std::getenv("DISPLAY");
    return display && *display;
#endif
}

TEST(HostTouchSession, GesturesReachAWaitingHostAsPairsWithNoCallUnderTheLock) {
    if (!HaveDisplay()) {
        if (std::getenv("KELO_REQUIRE_DISPLAY")) FAIL() << "DISPLAY is not set";
        GTEST_SKIP() << "no display";
    }
    const PluginModule& module = SharedModule(KELO_PRODUCT_PLUGIN);
    ASSERT_TRUE(module.Loaded()) << module.Error();
    PluginInstance plugin;
    ASSERT_TRUE(plugin.Create(module));
    plugin.Start(48000.0, 512);
    EditorSession session(plugin);
    std::string error;
    ASSERT_TRUE(session.Open(error)) << error;
    session.Pump(200);
    WaitingHost waiting(plugin);

    struct Case {
        const char* name;
        const char* mouse;
        std::vector<int32_t> params; // held, in the order they end
        int minValues;               // values heard for the first one
        int stateChanges;            // -1: one or none
    };
    const Case cases[] = {
        {"threshold knob drag",
         "move 72,124; press 72,124; drag 72,118; drag 72,110; release 72,110",
         {kParamThreshold},
         2,
         0},
        {"length slider drag",
         "move 303,212; press 303,212; drag 330,212; drag 360,212; release 360,212",
         {kParamEnvTime},
         2,
         0},
        {"gate switch click", "move 128,383; click 128,383", {kParamGate}, 1, 0},
        {"autofit press", "move 128,322; click 128,322", {kParamAutofit}, 2, -1},
        {"knob wheel burst",
         "move 41,383; wheel 41,383,1; wheel 41,383,1; wait 700",
         {kParamStrength},
         2,
         0},
        {"detect panel scale drag",
         "move 189,93; press 189,93; drag 189,103; drag 189,113; "
         "release 189,113",
         {},
         0,
         1},
    };
    for (const Case& c : cases) {
        std::vector<MouseStep> steps;
        ASSERT_TRUE(ParseMouseSequence(c.mouse, steps, error)) << c.name << ": " << error;
        plugin.ClearObservations();
        ASSERT_TRUE(session.Play(steps)) << c.name;
        // Every case is heard (a gesture or a state change); a slow machine
        // (an emulator under load) may take a while to deliver the window's
        // events, so the record is read once it has come and stood still.
        std::vector<TouchEvent> record;
        for (int waited = 0, still = 0; waited < 5000 && still < 4; waited += 50) {
            session.Pump(50);
            const std::vector<TouchEvent> now = plugin.TouchRecord();
            still = !now.empty() && now.size() == record.size() ? still + 1 : 0;
            record = now;
        }
        std::vector<TouchGesture> gestures;
        int states = 0;
        ASSERT_TRUE(SplitTouchGestures(record, gestures, states, error))
            << c.name << ": " << error << "\n"
            << FormatTouchRecord(record);
        ASSERT_EQ(gestures.size(), c.params.size()) << c.name << "\n" << FormatTouchRecord(record);
        for (size_t i = 0; i < gestures.size(); ++i)
            EXPECT_EQ(gestures[i].index, c.params[i]) << c.name;
        if (!gestures.empty()) {
            EXPECT_GE(int(gestures[0].values.size()), c.minValues) << c.name;
            EXPECT_FLOAT_EQ(gestures[0].values.back(), plugin.GetParameter(gestures[0].index))
                << c.name;
        }
        if (c.stateChanges < 0)
            EXPECT_LE(states, 1) << c.name << "\n" << FormatTouchRecord(record);
        else
            EXPECT_EQ(states, c.stateChanges) << c.name << "\n" << FormatTouchRecord(record);
    }
    EXPECT_GT(waiting.Calls(), 0);
    EXPECT_EQ(waiting.Stalls(), 0) << "a call came while the plug-in's lock was held";
    session.Close();
}

} // namespace
