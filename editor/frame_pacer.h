// When the X11 face's frames are due, and the timer thread that runs the face
// when the host does not. One source of wake-ups per frame: while the host
// calls editor-idle, the timer thread only looks in every few hundred
// milliseconds to see whether it still does; when the host stops (or never
// starts), the timer thread takes the events and the frames.
//
// Times come from a FrameClock: the steady clock, or one a test moves by hand.
// The face calls Begin, End, Stop and Join under its window lock (Join
// outside it); the rest is safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "editor/frame_clock.h"

class FramePacer {
public:
    // Without an editor-idle call for this long, the timer thread draws.
    static constexpr int kHostIdleGraceMs = 250;

    // Frames fps times a second (a positive rate): trunc(1000 / fps)
    // milliseconds apart, at least 1.
    explicit FramePacer(int fps);
    // Joins the timer thread (it must have been asked to stop).
    ~FramePacer() { Join(); }
    FramePacer(const FramePacer&) = delete;
    FramePacer& operator=(const FramePacer&) = delete;

    int PeriodMs() const { return mPeriodMs; }
    // The clock frames are paced by from now on (it outlives this); the
    // steady clock until then. Set it while no window is open.
    void UseClock(const FrameClock& clock) { mClock = &clock; }
    int64_t NowMs() const { return mClock->NowMs(); }

    // --- a window's frames
    // A window opened: its first frame is due now, the host has not idled
    // yet, and the timer thread may run (its wake-up pipe is made).
    void Begin();
    // The window closed: the wake-up pipe goes.
    void End();
    // The host's editor-idle call, now.
    void HostIdled() { mLastIdleMs = NowMs(); }
    // The host called editor-idle within the grace time.
    bool HostIdles() const;
    // A frame is due now.
    bool FrameDue() const { return NowMs() >= mNextFrameMs; }
    // The due frame is taken: the next is due a period later, or a period from
    // now when the ticks fell behind (no burst of frames to catch up).
    void FrameTaken();
    // Frames taken since construction (whether or not they drew anything).
    int64_t FramesTaken() const { return mFramesTaken; }

    // --- the timer thread
    // Runs loop on the timer thread (named kelo-editor, as tools show it).
    void Start(std::function<void()> loop);
    // The timer thread's wait between ticks: until a frame is due or the
    // connection (a file descriptor) has data, or, while the host drives (and
    // the connection is its idle call's to read), for half the grace time;
    // Stop ends it early.
    void Wait(int connection) const;
    // Asks the timer thread to end after its tick, and wakes it.
    void Stop();
    bool Stopping() const { return mStop; }
    // Waits for the timer thread to end; nothing from the thread itself (it
    // ends by returning from its loop).
    void Join();

private:
    const FrameClock* mClock = &SteadyFrameClock();
    int mPeriodMs;
    std::atomic<int64_t> mNextFrameMs{0};
    std::atomic<int64_t> mLastIdleMs{0};
    std::atomic<int64_t> mFramesTaken{0};
    std::atomic<bool> mStop{false};
    int mWake[2] = {-1, -1}; // the timer thread's wake-up pipe
    std::thread mThread;
};
