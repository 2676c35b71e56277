// A host that waits for its audio thread inside every edit callback, against
// an editor thread that changes parameters inside and outside gestures, with
// and without holding the plug-in's lock (as a hook that pushes a value does),
// while a host thread sets parameters. Every callback must find the lock free:
// the audio block it asks for finishes before the wait times out. And a host
// that hears its notes only on its audio thread hears every one there.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/test_seed.h"
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
    std::mt19937 random(TestSeed(17u));
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

// Counts the notes told on any thread but the audio thread.
class AudioRoadEffect : public NoteEffect {
public:
    AudioRoadEffect() : NoteEffect(4) { ConnectAll(64); }
    // Set by the audio thread before it processes its first block.
    std::thread::id audio;
    std::atomic<int> offAudio{0};

protected:
    void OnNote(const HostNote&) override {
        if (std::this_thread::get_id() != audio) ++offAudio;
    }
};

TEST(HostNotesThreads, NotesThatWaitForTheAudioRoadAllGoOutOnTheAudioThread) {
    AudioRoadEffect fx;
    fx.SetNotesWaitForAudio(true);
    std::atomic<bool> ready{false}, done{false};
    std::thread audio([&] {
        fx.audio = std::this_thread::get_id();
        ready = true;
        std::vector<float> buffer(kFrames, 0.25f);
        float* channels[2] = {buffer.data(), buffer.data()};
        for (bool last = false; !last;) {
            last = done.load(); // one block more after the editor stopped
            fx.ProcessFloatReplacing(channels, channels, kFrames);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    while (!ready)
        std::this_thread::yield();
    std::mt19937 random(23);
    for (int round = 0; round < 300; ++round) {
        fx.BeginGesture();
        for (int k = 0; k < 4; ++k) {
            fx.EditorParamChange(int(random() % 4), double(random() % 100) / 100.0);
            if (random() % 5 == 0) fx.StateChanged();
        }
        fx.EndGesture();
        fx.EditorParamChange(int(random() % 4), 0.5); // a gesture of its own
        fx.DeliverHostNotes();                        // as the editor's idle call does
        if (round % 10 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    done = true;
    audio.join();

    EXPECT_EQ(fx.offAudio, 0) << "notes told off the audio thread";
    EXPECT_EQ(fx.DeliveredUnderLock(), 0);
    EXPECT_EQ(fx.DroppedHostNotes(), 0);
    // Well formed (values only while their parameter is held, one begin and
    // one end each), and the last value heard of each parameter is its own.
    std::map<int, bool> held;
    std::map<int, double> last;
    for (const std::string& note : fx.Notes()) {
        int index = -1;
        double value = 0.0;
        if (std::sscanf(note.c_str(), "begin %d", &index) == 1) {
            ASSERT_FALSE(held[index]) << "second begin " << index;
            held[index] = true;
        } else if (std::sscanf(note.c_str(), "end %d", &index) == 1) {
            ASSERT_TRUE(held[index]) << "end without begin " << index;
            held[index] = false;
        } else if (std::sscanf(note.c_str(), "value %d %lf", &index, &value) == 2) {
            ASSERT_TRUE(held[index]) << "loose value " << index;
            last[index] = value;
        }
    }
    for (const auto& h : held)
        EXPECT_FALSE(h.second) << h.first << " still held";
    for (int p = 0; p < 4; ++p)
        EXPECT_NEAR(last[p], fx.ParamNormalized(p), 1e-6) << "parameter " << p;
}

} // namespace
