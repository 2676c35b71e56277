// Fixed-capacity byte ring between the audio thread (writer) and the displays
// (reader). It does not lock: both sides hold the plug-in's lock.
#pragma once

#include <cstdint>

#include "base/byte_block.h"

class SampleRing {
public:
    SampleRing() = default;
    // Create(capacity).
    explicit SampleRing(int32_t capacity);
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    // Allocates capacity bytes and empties the ring. A non-positive capacity or a
    // failed allocation leaves a ring of capacity 0 (reads and writes move
    // nothing) and returns false.
    bool Create(int32_t capacity);
    // Empties the ring.
    void Reset();
    // Copies up to Capacity() bytes from src; once the ring is full the newest
    // bytes overwrite the oldest unread ones. Returns the bytes taken.
    int32_t Write(const void* src, int32_t bytes);
    // Copies up to bytes stored bytes, oldest first, to dst. Returns the bytes read.
    int32_t Read(void* dst, int32_t bytes);
    // Drops up to bytes stored bytes, oldest first, without copying them.
    // Returns the bytes dropped.
    int32_t Skip(int32_t bytes);
    // Bytes stored.
    int32_t NbInBuf() const { return mCount; }
    int32_t Capacity() const { return mCapacity; }

private:
    // Copies n bytes between the ring from position at and the caller's buffer
    // (into the ring when intoRing), wrapping at the end of storage; returns the
    // ring position after the last byte.
    uint8_t* Transfer(uint8_t* at, void* outside, int32_t n, bool intoRing);

    ByteBlock mStorage;
    uint8_t* mWrite = nullptr;
    uint8_t* mRead = nullptr;
    uint8_t* mEnd = nullptr;
    int32_t mCapacity = 0;
    int32_t mCount = 0;
};
