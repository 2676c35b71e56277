// What the detector did, kept for an offline caller that asks for it (the
// render tool): the band level of every frame since the last read and the
// events, each with where it started, how long it ran, its highest band level
// and whether it ran its whole length.
//
// The caller reaches it through the host interface's vendor-specific request
// (opcode 50) with Kelo's tag, so it needs nothing but the plug-in binary. A
// log is off until it is started; then the audio thread fills fixed storage
// (no allocation) and the caller drains it, both under the plug-in's lock.
#pragma once

#include <cstdint>
#include <memory>

// The vendor-specific request's index for Kelo's log ('KDet'), and what the
// request's value asks.
constexpr int32_t kDetectLogTag = 0x4B446574;
enum DetectLogRequest : int32_t {
    kDetectLogStart = 1, // ptr: DetectLogSetup; answers 1 when the log runs
    kDetectLogRead = 2,  // ptr: DetectLogRead; answers 1 when read
    kDetectLogStop = 3,  // frees the log; answers 1
};

struct DetectLogSetup {
    int32_t size;          // sizeof(DetectLogSetup), set by the caller
    int32_t levelCapacity; // levels kept between two reads
    int32_t eventCapacity; // finished events kept between two reads
};

struct DetectLogEvent {
    int64_t start;  // host position of the frame the envelope started on
    int64_t length; // frames it ran
    double peak;    // highest band level while it ran
    int32_t full;   // 1: it ran to its end; 0: cut short (a jump, a reset, the close)
    int32_t unused;
};

// One read: the caller sets the size, its buffers and closeOpen; the log
// fills the rest.
struct DetectLogRead {
    int32_t size; // sizeof(DetectLogRead)
    // 1: an event still running is ended as cut short and handed out (the
    // caller's last read).
    int32_t closeOpen;
    double* levels;
    int32_t levelCapacity;
    int32_t eventCapacity;
    DetectLogEvent* events;
    // --- filled by the log
    int64_t levelStart;    // host position of levels[0]
    int32_t levelCount;    // levels written
    int32_t eventCount;    // events written
    int64_t levelsDropped; // levels lost since the log started (full, or positions not contiguous)
    int64_t eventsDropped; // events lost since the log started
    double threshold;      // the detector's threshold (band level) now
    int64_t envLength;     // the envelope's length in frames now
};

class DetectLog {
public:
    // Storage for the given capacities (allocates: never on the audio thread).
    // False, and the log stays off, when either is not positive or memory is short.
    bool Allocate(int32_t levelCapacity, int32_t eventCapacity);
    // Exchanges everything with other (both under the lock; no allocation).
    void Swap(DetectLog& other);
    bool On() const { return mLevelCapacity > 0; }

    // --- the audio thread
    // Appends frames levels starting at host position pos. Levels that do not
    // continue the stored run replace it; levels beyond the capacity are lost.
    void AddLevels(int64_t pos, const double* levels, int frames);
    // An envelope starts at pos (a second call for a running event is ignored).
    void BeginEvent(int64_t pos);
    // frames more of the running envelope, with their band levels.
    void EventLevels(const double* levels, int frames);
    // The running envelope ends, run to its end or not.
    void EndEvent(bool full);

    // --- the caller's thread: hands out and forgets what was stored.
    void Read(DetectLogRead& read);

private:
    void Finish(bool full);

    std::unique_ptr<double[]> mLevels;
    std::unique_ptr<DetectLogEvent[]> mEvents;
    int32_t mLevelCapacity = 0, mEventCapacity = 0;
    int32_t mLevelCount = 0, mEventCount = 0;
    int64_t mLevelStart = 0;
    int64_t mLevelsDropped = 0, mEventsDropped = 0;
    bool mOpen = false;
    DetectLogEvent mRunning{};
};
