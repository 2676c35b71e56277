// The audio thread and a parameter thread meet at the plug-in's lock; the
// host reads parameter values without it while other threads set them (and
// ThreadSanitizer watches every case).
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plug/effect_base.h"
#include "plug/lock.h"

namespace {

constexpr int kRounds = 3000;

// Flags any moment where a parameter change and a block run at once.
class GuardedEffect : public EffectBase {
public:
    GuardedEffect()
        : EffectBase({nullptr, 0, 0}, 2, 2, 2, "guarded", "", "vendor", 0x010000, 1, 2, 0, false,
                     false, true, false) {
        for (int32_t i = 0; i < 2; ++i)
            ParamAt(i)->DefineContinuous("p", 0.0, 0.0, 1.0, 0.01, "");
        SetInputsConnected(0, 2, true);
        SetOutputsConnected(0, 2, true);
        SetMaxBlock(64);
    }

    void ParamChanged(int32_t index) override {
        Enter();
        EffectBase::ParamChanged(index); // takes the lock again from inside
        // Plain, unsynchronised state: only the lock keeps the two threads apart.
        for (int i = 0; i < 64; ++i)
            mCoefficients[i] = ParamAt(index)->Value() * i;
        ++mChanges;
        Leave();
    }
    void ProcessBlock(double** in, double** out, int32_t frames) override {
        Enter();
        for (int c = 0; c < 2; ++c)
            for (int32_t i = 0; i < frames; ++i)
                out[c][i] = in[c][i] * mCoefficients[i % 64];
        ++mBlocks;
        Leave();
    }
    int64_t TransportSample() override { return 0; }
    double TransportTempo() override { return 0.0; }
    void TransportMeter(int32_t&, int32_t&) override {}
    bool EmitMidi(const MidiMessage*) override { return false; }

    std::atomic<int> mOverlaps{0};
    int mChanges = 0;
    int mBlocks = 0;

private:
    // Entering gives the other thread a chance to run: without the lock it would
    // now step into its own critical section.
    void Enter() {
        if (mBusy.exchange(true)) ++mOverlaps;
        std::this_thread::yield();
    }
    void Leave() { mBusy = false; }

    std::atomic<bool> mBusy{false};
    double mCoefficients[64] = {};
};

} // namespace

TEST(FrameLock, ParameterChangesAndBlocksNeverOverlap) {
    GuardedEffect fx;
    std::atomic<bool> go{false};
    std::atomic<bool> audioDone{false};
    int calls = 0;
    std::thread audio([&] {
        std::vector<float> a(200, 0.5f), b(200, 0.25f);
        float* io[2] = {a.data(), b.data()};
        while (!go)
            std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i)
            fx.ProcessFloatReplacing(io, io, 150);
        audioDone = true;
    });
    // The parameter thread keeps going for as long as the audio thread runs
    // (bounded), so the two really meet whatever the scheduling.
    std::thread ui([&] {
        while (!go)
            std::this_thread::yield();
        for (; !audioDone && calls < 50 * kRounds; ++calls) {
            if (calls % 2)
                fx.EditorParamChange(1, (calls % 100) / 100.0);
            else
                fx.HostParamChange(0, (calls % 100) / 100.0);
        }
    });
    go = true;
    audio.join();
    ui.join();
    EXPECT_EQ(fx.mOverlaps.load(), 0);
    EXPECT_EQ(fx.mChanges, calls);
    EXPECT_EQ(fx.mBlocks, kRounds * 3); // 150 frames in sub-blocks of 64
}

TEST(FrameLock, TheHolderMayTakeItAgainAndReleasesItFully) {
    Lock lock;
    const auto othersCanTake = [&lock] {
        bool taken = false;
        std::thread other([&] {
            taken = lock.TryEnter();
            if (taken) lock.Leave();
        });
        other.join();
        return taken;
    };
    // Nested entries, plain and tried, count: the lock is the holder's until
    // the last leave.
    lock.Enter();
    ASSERT_TRUE(lock.TryEnter());
    lock.Enter();
    for (int leaves = 0; leaves < 3; ++leaves) {
        EXPECT_TRUE(lock.HeldByThisThread());
        EXPECT_FALSE(othersCanTake()) << "after " << leaves << " leaves";
        lock.Leave();
    }
    EXPECT_FALSE(lock.HeldByThisThread());
    EXPECT_TRUE(othersCanTake());
    std::atomic<bool> taken{false};
    std::thread other([&] {
        ScopedLock hold(lock);
        taken = true;
    });
    other.join();
    EXPECT_TRUE(taken);
}

// The host reads values (getParameter, a display's text) without the lock
// while a host thread and the editor set them: every reading is a value the
// parameter took, within its range.
TEST(ParameterValues, TheHostReadsThemWithoutTheLockWhileOthersSetThem) {
    GuardedEffect fx;
    std::atomic<bool> done{false};
    std::thread setter([&] {
        for (int i = 0; i < kRounds; ++i) {
            fx.HostParamChange(0, (i % 10) / 10.0);
            fx.EditorParamChange(1, (i % 7) / 7.0);
        }
        done = true;
    });
    int reads = 0;
    bool inRange = true;
    char text[kParamTextSize];
    while (!done.load() || reads < 100) {
        for (int32_t index : {0, 1}) {
            const double v = fx.ParamNormalized(index);
            inRange = inRange && v >= 0.0 && v <= 1.0;
            fx.ParamAt(index)->FormatValue(text);
        }
        ++reads;
    }
    setter.join();
    EXPECT_TRUE(inRange);
}
