#include "effect/detect_log.h"

#include <cstring>
#include <new>
#include <utility>

bool DetectLog::Allocate(int32_t levelCapacity, int32_t eventCapacity) {
    *this = DetectLog();
    if (levelCapacity <= 0 || eventCapacity <= 0) return false;
    mLevels.reset(new (std::nothrow) double[size_t(levelCapacity)]);
    mEvents.reset(new (std::nothrow) DetectLogEvent[size_t(eventCapacity)]);
    if (!mLevels || !mEvents) {
        *this = DetectLog();
        return false;
    }
    mLevelCapacity = levelCapacity;
    mEventCapacity = eventCapacity;
    return true;
}

void DetectLog::Swap(DetectLog& other) {
    std::swap(*this, other);
}

void DetectLog::AddLevels(int64_t pos, const double* levels, int frames) {
    if (!On() || !levels || frames <= 0) return;
    if (mLevelCount > 0 && pos != mLevelStart + mLevelCount) {
        mLevelsDropped += mLevelCount;
        mLevelCount = 0;
    }
    if (mLevelCount == 0) mLevelStart = pos;
    const int32_t room = mLevelCapacity - mLevelCount;
    const int32_t n = frames < room ? frames : room;
    std::memcpy(mLevels.get() + mLevelCount, levels, size_t(n) * sizeof(double));
    mLevelCount += n;
    mLevelsDropped += frames - n;
}

void DetectLog::BeginEvent(int64_t pos) {
    if (!On() || mOpen) return;
    mOpen = true;
    mRunning = DetectLogEvent{};
    mRunning.start = pos;
}

void DetectLog::EventLevels(const double* levels, int frames) {
    if (!mOpen || !levels || frames <= 0) return;
    double peak = mRunning.peak;
    for (int i = 0; i < frames; ++i)
        if (levels[i] > peak) peak = levels[i];
    mRunning.peak = peak;
    mRunning.length += frames;
}

void DetectLog::EndEvent(bool full) {
    if (mOpen) Finish(full);
}

void DetectLog::Finish(bool full) {
    mOpen = false;
    mRunning.full = full ? 1 : 0;
    if (mEventCount < mEventCapacity)
        mEvents[size_t(mEventCount++)] = mRunning;
    else
        ++mEventsDropped;
}

void DetectLog::Read(DetectLogRead& read) {
    read.levelStart = mLevelStart;
    read.levelCount = read.eventCount = 0;
    if (read.closeOpen && mOpen) Finish(false);
    if (read.levels && read.levelCapacity > 0 && mLevelCount > 0) {
        const int32_t n = mLevelCount < read.levelCapacity ? mLevelCount : read.levelCapacity;
        std::memcpy(read.levels, mLevels.get(), size_t(n) * sizeof(double));
        std::memmove(mLevels.get(), mLevels.get() + n, size_t(mLevelCount - n) * sizeof(double));
        mLevelCount -= n;
        mLevelStart += n;
        read.levelCount = n;
    }
    if (read.events && read.eventCapacity > 0 && mEventCount > 0) {
        const int32_t n = mEventCount < read.eventCapacity ? mEventCount : read.eventCapacity;
        std::memcpy(read.events, mEvents.get(), size_t(n) * sizeof(DetectLogEvent));
        std::memmove(mEvents.get(), mEvents.get() + n,
                     size_t(mEventCount - n) * sizeof(DetectLogEvent));
        mEventCount -= n;
        read.eventCount = n;
    }
    read.levelsDropped = mLevelsDropped;
    read.eventsDropped = mEventsDropped;
}
