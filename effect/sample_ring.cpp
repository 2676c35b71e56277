#include "effect/sample_ring.h"

#include <cstring>

SampleRing::SampleRing(int32_t capacity) {
    Create(capacity);
}

bool SampleRing::Create(int32_t capacity) {
    mCapacity = 0;
    if (capacity > 0 && mStorage.Resize(capacity, true)) mCapacity = capacity;
    Reset();
    return mCapacity > 0;
}

void SampleRing::Reset() {
    mWrite = mRead = mStorage.Bytes();
    mEnd = mCapacity > 0 ? mStorage.Bytes() + mCapacity : mStorage.Bytes();
    mCount = 0;
}

int32_t SampleRing::Write(const void* src, int32_t bytes) {
    if (mCapacity == 0 || bytes <= 0 || !src) return 0;
    const int32_t n = bytes < mCapacity ? bytes : mCapacity;
    const uint8_t* from = static_cast<const uint8_t*>(src);
    int32_t left = n;
    // At most two pieces: up to the end of storage, then from its start.
    const int32_t tail = int32_t(mEnd - mWrite);
    if (tail <= left) {
        std::memcpy(mWrite, from, size_t(tail));
        mWrite = mStorage.Bytes();
        from += tail;
        left -= tail;
    }
    std::memcpy(mWrite, from, size_t(left));
    mWrite += left;
    // The read position stays: once full, the newest bytes replace the oldest.
    mCount = mCount + n < mCapacity ? mCount + n : mCapacity;
    return n;
}

int32_t SampleRing::Read(void* dst, int32_t bytes) {
    if (mCapacity == 0 || mCount <= 0 || bytes <= 0 || !dst) return 0;
    const int32_t n = bytes < mCount ? bytes : mCount;
    mCount -= n;
    uint8_t* to = static_cast<uint8_t*>(dst);
    int32_t left = n;
    const int32_t tail = int32_t(mEnd - mRead);
    if (tail <= left) {
        std::memcpy(to, mRead, size_t(tail));
        mRead = mStorage.Bytes();
        to += tail;
        left -= tail;
    }
    std::memcpy(to, mRead, size_t(left));
    mRead += left;
    return n;
}
