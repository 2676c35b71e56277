// The harness as a host in Touch mode, and as a host that waits for its audio
// thread inside the plug-in's edit callbacks.
//
// SplitTouchGestures reads a PluginInstance's TouchRecord the way a host in
// Touch mode does: a parameter is held from its begin edit to its end edit,
// and the values heard in between are what it records. A value for a
// parameter nobody holds, a second begin for a held one, an end for one not
// held, or one still held at the end of the record is a fault.
//
// WaitingHost answers every automate, begin edit, end edit and update display
// by asking its own audio thread to process one block of 16 frames and
// waiting for it, as some hosts do. A plug-in that calls such a host while
// holding the lock its processing needs leaves the audio thread waiting: the
// wait then times out and counts as a stall (instead of hanging the test).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/host.h"

// One held parameter: its index, the values recorded while held, and whether
// the saved state was said to change while it was held.
struct TouchGesture {
    int32_t index;
    std::vector<float> values;
};

// The gestures of a record in the order they ended; false with the first
// fault in error. StateChanged notes are counted into stateChanges.
bool SplitTouchGestures(const std::vector<TouchEvent>& record, std::vector<TouchGesture>& gestures,
                        int& stateChanges, std::string& error);
// One line per note: "begin 4", "value 4 0.512300", "end 4", "state changed".
std::string FormatTouchRecord(const std::vector<TouchEvent>& record);

class WaitingHost {
public:
    static constexpr int32_t kFrames = 16;

    // Installs itself as plugin's edit handler and starts the audio thread.
    // The plug-in must be started (block size at least kFrames) and must not
    // be processed by another thread meanwhile.
    WaitingHost(PluginInstance& plugin, int timeoutMs = 2000);
    // Removes the handler and stops the thread (waiting for a stalled block).
    ~WaitingHost();
    WaitingHost(const WaitingHost&) = delete;
    WaitingHost& operator=(const WaitingHost&) = delete;

    // Edit callbacks answered, and those whose block did not finish in time.
    int Calls() const { return mCalls.load(); }
    int Stalls() const { return mStalls.load(); }
    // Blocks the audio thread processed.
    int64_t Blocks() const { return mBlocks.load(); }

private:
    void OnEdit();
    void AudioLoop();

    PluginInstance& mPlugin;
    int mTimeoutMs;
    std::mutex mLock;
    std::condition_variable mWake;
    int64_t mAsked = 0; // blocks asked for, guarded by mLock
    int64_t mDone = 0;  // blocks processed, guarded by mLock
    bool mStop = false;
    std::atomic<int> mCalls{0};
    std::atomic<int> mStalls{0};
    std::atomic<int64_t> mBlocks{0};
    std::thread mAudio;
};
