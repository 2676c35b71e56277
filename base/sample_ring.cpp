#include "base/sample_ring.h"

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
    mWrite = Transfer(mWrite, const_cast<void*>(src), n, true);
    // The read position stays: once full, the newest bytes replace the oldest.
    mCount = mCount + n < mCapacity ? mCount + n : mCapacity;
    return n;
}

int32_t SampleRing::Read(void* dst, int32_t bytes) {
    if (mCapacity == 0 || mCount <= 0 || bytes <= 0 || !dst) return 0;
    const int32_t n = bytes < mCount ? bytes : mCount;
    mCount -= n;
    mRead = Transfer(mRead, dst, n, false);
    return n;
}

int32_t SampleRing::Skip(int32_t bytes) {
    if (mCapacity == 0 || mCount <= 0 || bytes <= 0) return 0;
    const int32_t n = bytes < mCount ? bytes : mCount;
    mCount -= n;
    const int32_t tail = int32_t(mEnd - mRead);
    mRead = tail <= n ? mStorage.Bytes() + (n - tail) : mRead + n;
    return n;
}

uint8_t* SampleRing::Transfer(uint8_t* at, void* outside, int32_t n, bool intoRing) {
    uint8_t* other = static_cast<uint8_t*>(outside);
    auto copy = [intoRing](uint8_t* ring, uint8_t* buffer, int32_t count) {
        if (intoRing)
            std::memcpy(ring, buffer, size_t(count));
        else
            std::memcpy(buffer, ring, size_t(count));
    };
    // At most two pieces: up to the end of storage, then from its start.
    const int32_t tail = int32_t(mEnd - at);
    if (tail <= n) {
        copy(at, other, tail);
        at = mStorage.Bytes();
        other += tail;
        n -= tail;
    }
    copy(at, other, n);
    return at + n;
}
