// "autofit" switched on where the fit may not run (the audio thread's
// parameter road, under the plug-in's lock) only asks for it; a road off the
// audio thread fits, on a copy of the event outside the lock, to the same
// shape a fit at once gives. While the audio thread plays and records new
// events, fits from other threads keep the shape whole (also under
// ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "hosted_fixture.h"
#include "plug/lock.h"

namespace {

// A falling 150 Hz hit at frame at, louder with gain.
void AddHit(Stereo& s, size_t at, double gain) {
    for (size_t i = 0; i < 12000 && at + i < s.size(); ++i) {
        const double t = double(i) / 48000.0;
        const double v = gain * std::exp(-t / 0.04) * std::sin(2.0 * 3.14159265358979 * 150.0 * t);
        s.l[at + i] += v;
        s.r[at + i] += v;
    }
}

// Plays in through the VST road in blocks of 256 frames on the calling
// thread, the transport moving on.
void Play(HostedKelo& fx, const Stereo& in) {
    Stereo out(256);
    for (size_t at = 0; at + 256 <= in.size(); at += 256) {
        double* ins[2] = {const_cast<double*>(&in.l[at]), const_cast<double*>(&in.r[at])};
        double* outs[2] = {out.l.data(), out.r.data()};
        fx.Record()->processDoubleReplacing(fx.Record(), ins, outs, 256);
        fx.mPosition += 256;
    }
}

std::vector<double> Levels(KeloEffect& fx) {
    ShapeModel model;
    fx.CopyShapeModel(model);
    std::vector<double> levels;
    for (int i = 0; i < ShapeModel::kPoints; ++i)
        levels.push_back(model.PointAt(i).level);
    return levels;
}

void SetFromHost(HostedKelo& fx, int32_t index, float value) {
    fx.Record()->setParameter(fx.Record(), index, value);
}

TEST(AutofitRoads, OnTheAudioThreadItIsAskedForAndTheNextUserInterfaceRequestFits) {
    Stereo hit(48000);
    AddHit(hit, 1000, 0.8);
    HostedKelo asked, twin;
    for (HostedKelo* fx : {&asked, &twin})
        Play(*fx, hit);
    const std::vector<double> before = Levels(asked);
    // The host's automation on its audio thread, between blocks.
    SetFromHost(asked, kParamAutofit, 1.0f);
    SetFromHost(asked, kParamAutofit, 0.0f);
    EXPECT_TRUE(asked.AutoFitAsked());
    EXPECT_EQ(Levels(asked), before) << "fitted on the audio thread";
    // Under the lock nothing serves it, whatever the thread.
    std::thread([&] {
        ScopedLock hold(asked.FrameLock());
        asked.ServeDeferredWork();
    }).join();
    EXPECT_TRUE(asked.AutoFitAsked());
    // The host's idle call from its user-interface side fits; the twin,
    // pressed from its user-interface thread, fitted at once: the same shape.
    std::thread([&] { asked.Dispatch(kVstOpIdle); }).join();
    std::thread([&] {
        SetFromHost(twin, kParamAutofit, 1.0f);
        SetFromHost(twin, kParamAutofit, 0.0f);
    }).join();
    EXPECT_FALSE(asked.AutoFitAsked());
    EXPECT_NE(Levels(asked), before);
    EXPECT_EQ(Levels(asked), Levels(twin));
    EXPECT_EQ(asked.ShapeInUse().Y(3), twin.ShapeInUse().Y(3));
}

TEST(AutofitRoads, AStateSavedAfterAnAskedFitHoldsIt) {
    Stereo hit(48000);
    AddHit(hit, 1000, 0.8);
    HostedKelo fx;
    Play(fx, hit);
    SetFromHost(fx, kParamAutofit, 1.0f);
    const std::vector<double> before = Levels(fx);
    void* data = nullptr;
    const intptr_t size = fx.Dispatch(kVstOpGetChunk, 0, 0, &data);
    ASSERT_GT(size, 0);
    EXPECT_NE(Levels(fx), before);
    HostedKelo loaded;
    ASSERT_EQ(loaded.Dispatch(kVstOpSetChunk, 0, size, data), 1);
    EXPECT_EQ(Levels(loaded), Levels(fx));
}

// Hits of changing loudness play on the audio thread while a user-interface
// thread presses autofit over and over and another saves and loads the state:
// every fit lands whole (the levels within twice the scale, the processing's
// shape the model's), and the output stays bounded.
TEST(AutofitRoads, FitsWhileThePlayingRecordsNewEventsKeepTheShapeWhole) {
    HostedKelo fx(48000.0, 256);
    SetFromHost(fx, kParamStrength, 1.0f);
    std::atomic<bool> done{false}, bounded{true};
    std::thread audio([&] {
        Stereo in(48000), out(256);
        for (int k = 0; k < 16; ++k)
            AddHit(in, size_t(k) * 3000, 0.2 + 0.05 * k);
        // The output's bound: four times the larger of the input's peak and
        // the highest level a shape may take (twice the scale, at most 2 x
        // +3 dB).
        const double bound = 4.0 * std::fmax(Peak(in), 2.0 * 1.4126);
        for (int round = 0; round < 6; ++round)
            for (size_t at = 0; at + 256 <= in.size(); at += 256) {
                double* ins[2] = {&in.l[at], &in.r[at]};
                double* outs[2] = {out.l.data(), out.r.data()};
                fx.Record()->processDoubleReplacing(fx.Record(), ins, outs, 256);
                fx.mPosition += 256;
                if (!(Peak(out) <= bound)) bounded = false;
            }
        done = true;
    });
    std::thread ui([&] {
        int presses = 0;
        while (!done.load() || presses < 10) {
            SetFromHost(fx, kParamAutofit, 1.0f);
            SetFromHost(fx, kParamAutofit, 0.0f);
            ++presses;
        }
    });
    int saves = 0;
    while (!done.load() || saves < 10) {
        void* data = nullptr;
        const intptr_t size = fx.Dispatch(kVstOpGetChunk, 0, 0, &data);
        ASSERT_GT(size, 0);
        std::vector<uint8_t> bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
        ASSERT_EQ(fx.Dispatch(kVstOpSetChunk, 0, size, bytes.data()), 1);
        ++saves;
    }
    audio.join();
    ui.join();
    EXPECT_TRUE(bounded.load());
    ShapeModel model;
    fx.CopyShapeModel(model);
    for (int i : {2, 3, 4, 6}) {
        EXPECT_GE(model.PointAt(i).level, 0.0) << i;
        EXPECT_LE(model.PointAt(i).level, 2.0 * model.Scale()) << i;
        EXPECT_EQ(fx.ShapeInUse().Y(i), model.PointAt(i).level) << i;
    }
}

} // namespace
