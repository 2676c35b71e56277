// A host that waits for its audio thread inside every edit callback, against
// an editor thread that changes parameters inside and outside gestures, with
// and without holding the plug-in's lock (as a hook that pushes a value does),
// while a host thread sets parameters. Every callback must find the lock free:
// the audio block it asks for finishes before the wait times out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "tests/plug/note_effect.h"

namespace {

constexpr int kFrames = 16;
constexpr int kTimeoutMs = 2000;

class WaitingEffect : public NoteEffect {
public:
    WaitingEffect() : NoteEffect(4) {
        ConnectAll(64);
        mAudio = std::thread([this] { AudioLoop(); });
    }
    ~WaitingEffect() override {
        {
            std::lock_guard<std::mutex> hold(mLockW);
            mStop = true;
        }
        mWake.notify_all();
        mAudio.join();
    }
    int Stalls() const { return mStalls.load(); }
    int Calls() const { return mCalls.load(); }

protected:
    void OnNote(const HostNote&) override {
        ++mCalls;
        std::unique_lock<std::mutex> hold(mLockW);
        const int64_t ticket = ++mAsked;
        mWake.notify_all();
        if (!mWake.wait_for(hold, std::chrono::milliseconds(kTimeoutMs),
                            [&] { return mDone >= ticket; }))
            ++mStalls;
    }

private:
    void AudioLoop() {
        std::vector<float> buffers[4];
        for (auto& b : buffers)
            b.assign(kFrames, 0.25f);
        float* in[2] = {buffers[0].data(), buffers[1].data()};
        float* out[2] = {buffers[2].data(), buffers[3].data()};
        std::unique_lock<std::mutex> hold(mLockW);
        for (;;) {
            mWake.wait(hold, [&] { return mStop || mDone < mAsked; });
            if (mDone >= mAsked) return; // stopped with nothing asked
            hold.unlock();
            ProcessFloatReplacing(in, out, kFrames);
            hold.lock();
            ++mDone;
            mWake.notify_all();
        }
    }

    std::mutex mLockW;
    std::condition_variable mWake;
    int64_t mAsked = 0, mDone = 0;
    bool mStop = false;
    std::atomic<int> mStalls{0}, mCalls{0};
    std::thread mAudio;
};

TEST(HostNotesThreads, AWaitingHostNeverFindsTheLockHeld) {
    const char* seedText = std::getenv("KELO_TEST_SEED");
    std::mt19937 random(seedText ? uint32_t(std::strtoul(seedText, nullptr, 10)) : 17u);
    WaitingEffect fx;
    std::atomic<bool> done{false};
    std::thread host([&] {
        std::mt19937 r(5);
        // Pauses between changes as a host's automation does: a thread that
        // takes the lock again within microseconds starves the audio thread on
        // an unfair lock (Win32 critical sections under Wine), whoever calls
        // the host, and would read as a stall.
        while (!done) {
            fx.HostParamChange(int(r() % 4), double(r() % 100) / 100.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    int changes = 0;
    for (int round = 0; round < 300; ++round) {
        const bool gesture = random() % 2;
        const bool underLock = random() % 3 == 0;
        if (gesture) fx.BeginGesture();
        for (int k = 0; k < 3; ++k) {
            if (underLock) fx.FrameLock().Enter();
            fx.EditorParamChange(int(random() % 4), double(random() % 100) / 100.0);
            if (random() % 4 == 0) fx.StateChanged();
            if (underLock) fx.FrameLock().Leave();
            ++changes;
        }
        if (gesture) fx.EndGesture();
        fx.DeliverHostNotes();
    }
    done = true;
    host.join();
    EXPECT_EQ(fx.Stalls(), 0) << "a callback came while the plug-in's lock was held";
    EXPECT_EQ(fx.DeliveredUnderLock(), 0);
    EXPECT_GE(fx.Calls(), 3 * changes / 2) << "every change reached the host";
}

} // namespace
