#include "plug/host_outbox.h"

void HostOutbox::Post(const HostNote& note) {
    std::lock_guard<std::mutex> hold(mLock);
    // The host reads the latency when it hears of the change: one note waiting
    // tells it of every change since.
    if (note.kind == HostNoteKind::LatencyChanged)
        for (int i = 0; i < mCount; ++i) {
            HostNote& queued = mRing[(mHead + i) % kCapacity];
            if (queued.kind == HostNoteKind::LatencyChanged) {
                queued.value = note.value;
                return;
            }
        }
    if (mCount < kCapacity) {
        mRing[(mHead + mCount) % kCapacity] = note;
        ++mCount;
        return;
    }
    if (note.kind == HostNoteKind::Automate) {
        for (int i = mCount - 1; i >= 0; --i) {
            HostNote& queued = mRing[(mHead + i) % kCapacity];
            if (queued.kind == HostNoteKind::Automate && queued.index == note.index) {
                queued.value = note.value;
                return;
            }
        }
    }
    ++mDropped;
}

bool HostOutbox::Take(HostNote& note) {
    std::lock_guard<std::mutex> hold(mLock);
    if (mCount == 0) return false;
    note = mRing[mHead];
    mHead = (mHead + 1) % kCapacity;
    --mCount;
    return true;
}

bool HostOutbox::Empty() const {
    std::lock_guard<std::mutex> hold(mLock);
    return mCount == 0;
}

int64_t HostOutbox::Dropped() const {
    std::lock_guard<std::mutex> hold(mLock);
    return mDropped;
}
