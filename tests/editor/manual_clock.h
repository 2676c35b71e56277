// A frame clock that moves only when the test moves it: frames fall due at the
// times the test chooses, however busy the machine is.
#pragma once

#include <atomic>
#include <cstdint>

#include "editor/frame_clock.h"

class ManualClock : public FrameClock {
public:
    // Far from 0: the faces take 0 for "never".
    static constexpr int64_t kStartMs = 1000000;

    int64_t NowMs() const override { return mNow; }
    void Advance(int64_t ms) { mNow += ms; }

private:
    std::atomic<int64_t> mNow{kStartMs};
};
