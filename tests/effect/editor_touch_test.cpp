// What a host in Touch mode hears of each gesture on the effect's editor: one
// begin and one end per parameter with the values between, "state changed"
// once per gesture that changes the saved state outside the parameters. The
// host here waits for its audio thread inside every call, and for another
// thread to take each lock of ours, so a call made while any of them is held
// shows as a stall.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "editor_fixture.h"
#include "effect/ui/amp_display.h"
#include "lock_probe.h"
#include "tools/host/touch.h"

namespace {

// The host: records the notes and, for each, has its audio thread process 16
// frames through the effect and waits for them.
class TouchHost {
public:
    explicit TouchHost(TestKelo& fx) : mFx(fx) {
        sHost = this;
        SetModuleHostCallback(&Callback);
        mAudio = std::thread([this] { AudioLoop(); });
    }
    ~TouchHost() {
        SetModuleHostCallback(nullptr);
        sHost = nullptr;
        {
            std::lock_guard<std::mutex> hold(mLock);
            mStop = true;
        }
        mWake.notify_all();
        mAudio.join();
    }
    std::vector<TouchEvent> Record() {
        std::lock_guard<std::mutex> hold(mLock);
        return mRecord;
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(mLock);
        mRecord.clear();
    }
    int Stalls() { return mStalls.load() + mProbes.Stalls(); }

private:
    static intptr_t KELO_VSTCALL Callback(VstEffectRecord*, int32_t opcode, int32_t index, intptr_t,
                                          void*, float opt) {
        TouchHost* host = sHost;
        if (!host) return 0;
        TouchEvent event{TouchEvent::Value, index, opt};
        if (opcode == kVstHostBeginEdit)
            event = {TouchEvent::Begin, index, 0.0f};
        else if (opcode == kVstHostEndEdit)
            event = {TouchEvent::End, index, 0.0f};
        else if (opcode == kVstHostUpdateDisplay)
            event = {TouchEvent::StateChanged, -1, 0.0f};
        else if (opcode != kVstHostAutomate)
            return 0;
        host->Hear(event);
        return 1;
    }
    void Hear(const TouchEvent& event) {
        mProbes.OurLocksAreFree(mFx);
        std::unique_lock<std::mutex> hold(mLock);
        mRecord.push_back(event);
        const int64_t ticket = ++mAsked;
        mWake.notify_all();
        if (!mWake.wait_for(hold, std::chrono::seconds(2), [&] { return mDone >= ticket; }))
            ++mStalls;
    }
    void AudioLoop() {
        std::vector<float> buffers[4];
        for (auto& b : buffers)
            b.assign(16, 0.1f);
        float* in[2] = {buffers[0].data(), buffers[1].data()};
        float* out[2] = {buffers[2].data(), buffers[3].data()};
        std::unique_lock<std::mutex> hold(mLock);
        for (;;) {
            mWake.wait(hold, [&] { return mStop || mDone < mAsked; });
            if (mDone >= mAsked) return;
            hold.unlock();
            mFx.ProcessFloatReplacing(in, out, 16);
            hold.lock();
            ++mDone;
            mWake.notify_all();
        }
    }

    static inline TouchHost* sHost = nullptr;
    TestKelo& mFx;
    LockProbes mProbes;
    std::mutex mLock;
    std::condition_variable mWake;
    std::vector<TouchEvent> mRecord;
    int64_t mAsked = 0, mDone = 0;
    bool mStop = false;
    std::atomic<int> mStalls{0};
    std::thread mAudio;
};

class EditorTouchTest : public KeloEditorTest {
protected:
    AmpDisplay* Amp() { return fx.AmpView(); }
    MouseKeys Left() {
        MouseKeys keys;
        keys.L = true;
        return keys;
    }
};

using M = ShapeModel;

TEST_F(EditorTouchTest, EachGestureIsOneBeginEndPairPerParameterAndOneStateChangeAtMost) {
    TouchHost host(fx);
    const int sliderY = M::kPlotTop - 10, scaleX = EnvelopeView::kPlotLeft - 15;
    struct Case {
        const char* name;
        std::function<void()> gesture;
        std::vector<int32_t> params; // held, in the order they end
        int minValues;               // values heard for the first parameter
        int stateChanges;            // -1: one or none
    };
    const Case cases[] = {
        {"threshold knob drag", [&] { Drag(72, 124, 0, -12); }, {kParamThreshold}, 2, -1},
        {"strength knob drag", [&] { Drag(41, 383, 0, 8); }, {kParamStrength}, 2, 0},
        {"gate switch click", [&] { Click(128, 383); }, {kParamGate}, 1, 0},
        {"autofit press", [&] { Click(128, 322); }, {kParamAutofit}, 2, -1},
        {"length slider drag",
         [&] { Drag(M::kPlotLeft + 100, sliderY, 40, 0); },
         {kParamEnvTime},
         2,
         0},
        {"length slider double click",
         [&] {
             editor->OnMouseOver(M::kPlotLeft + 300, sliderY, MouseKeys());
             editor->OnMouseDblClick(M::kPlotLeft + 300, sliderY, Left());
             editor->OnMouseUp(M::kPlotLeft + 300, sliderY);
         },
         {kParamEnvTime},
         1,
         0},
        {"length slider wheel burst",
         [&] {
             editor->OnMouseOver(M::kPlotLeft + 200, sliderY, MouseKeys());
             for (int i = 0; i < 4; ++i)
                 editor->OnMouseWheel(M::kPlotLeft + 200, sliderY, MouseKeys(), 1);
             editor->OnMouseOut();
         },
         {kParamEnvTime},
         4,
         0},
        {"knob wheel burst ended by quiet time",
         [&] {
             for (int i = 0; i < 3; ++i)
                 editor->OnMouseWheel(41, 321, MouseKeys(), -1);
             std::this_thread::sleep_for(std::chrono::milliseconds(Editor::kWheelQuietMs + 100));
             DrawDirty(); // a frame ends the quiet burst
         },
         {kParamEnvTime},
         3,
         0},
        {"shape point drag",
         [&] {
             const M::Point p6 = Amp()->PointAt(6);
             Drag(p6.x, p6.y, 0, -20);
         },
         {},
         0,
         1},
        {"edit panel scale drag",
         [&] { Drag(M::kPlotLeft - 15, M::kPlotTop + 40, 0, 25); },
         {},
         0,
         1},
        {"threshold line drag",
         [&] { Drag(EnvelopeView::kPlotLeft + 100, view->ThresholdY(), 0, -15); },
         {kParamThreshold},
         2,
         -1},
        {"detect panel scale drag",
         [&] { Drag(scaleX, EnvelopeView::kPlotTop + 50, 0, 20); },
         {},
         0,
         1},
        // The options are no parameters: a click changes the saved state only.
        {"both polarities switch click", [&] { Click(20, 579); }, {}, 0, 1},
        {"lookahead switch click", [&] { Click(20, 595); }, {}, 0, 1},
        {"follow level switch click", [&] { Click(20, 611); }, {}, 0, 1},
    };
    for (const Case& c : cases) {
        host.Clear();
        c.gesture();
        fx.DeliverHostNotes();
        const std::vector<TouchEvent> record = host.Record();
        std::vector<TouchGesture> gestures;
        int states = 0;
        std::string error;
        ASSERT_TRUE(SplitTouchGestures(record, gestures, states, error))
            << c.name << ": " << error << "\n"
            << FormatTouchRecord(record);
        ASSERT_EQ(gestures.size(), c.params.size()) << c.name << "\n" << FormatTouchRecord(record);
        for (size_t i = 0; i < gestures.size(); ++i)
            EXPECT_EQ(gestures[i].index, c.params[i]) << c.name;
        if (!gestures.empty()) {
            EXPECT_GE(int(gestures[0].values.size()), c.minValues) << c.name;
            // The last value heard is the value the parameter holds.
            EXPECT_FLOAT_EQ(gestures[0].values.back(),
                            float(fx.ParamAt(gestures[0].index)->Normalized()))
                << c.name;
        }
        if (c.stateChanges >= 0)
            EXPECT_EQ(states, c.stateChanges) << c.name << "\n" << FormatTouchRecord(record);
        else
            EXPECT_LE(states, 1) << c.name;
    }
    EXPECT_EQ(host.Stalls(), 0) << "a call came while the plug-in's lock was held";
}

TEST_F(EditorTouchTest, ALengthPushedFromUnderTheLockReachesTheHostAfterIt) {
    TouchHost host(fx);
    {
        // The road the edit panel's slider pushes "env time" by, taken by a
        // caller that holds the plug-in's lock (the panel itself takes its own
        // lock first and never calls under the plug-in's).
        ScopedLock hold(fx.FrameLock());
        editor->UserParamValue(kParamEnvTime, (0.5 - 0.05) / 0.95);
        EXPECT_TRUE(host.Record().empty()) << "told the host under the lock";
    }
    fx.DeliverHostNotes();
    std::vector<TouchGesture> gestures;
    int states = 0;
    std::string error;
    ASSERT_TRUE(SplitTouchGestures(host.Record(), gestures, states, error)) << error;
    ASSERT_EQ(gestures.size(), 1u);
    EXPECT_EQ(gestures[0].index, kParamEnvTime);
    EXPECT_NEAR(fx.ParamAt(kParamEnvTime)->Value(), 0.5, 1e-6);
    EXPECT_EQ(host.Stalls(), 0);
}

} // namespace
