// The current event's record, by envelope position: the level the shaping
// divided by, the output level and the louder shaped sample's magnitude. The
// displays draw it and autofit fits the shape to it. Sized once for the
// longest envelope; positions beyond are dropped, and the audio thread never
// asks for memory.
#pragma once

#include <cstdint>

#include "base/byte_block.h"

class EventRecord {
public:
    // Room for capacity positions (at least 0), zeroed. Allocates: not on the
    // audio thread. False, with no room, when the memory cannot be had.
    bool Prepare(int capacity);
    // A new event (or none): the record starts again under a new counter.
    void Start();
    // Writes count shaped frames from envelope position at on: first the
    // louder magnitude of the samples h, l about to be shaped; then the
    // divisor's level floors (the level r, at least kMagnitudeShare of the
    // magnitude level m) and the output level out.
    void RecordPeaks(const double* h, const double* l, int at, int count);
    void Record(const double* r, const double* m, const double* out, int at, int count);

    const double* Levels() const { return Data(mLevel); }
    const double* Outs() const { return Data(mOut); }
    const double* Peaks() const { return Data(mPeak); }
    // Positions recorded, the room for them, and the event's counter.
    int Recorded() const { return mRecorded; }
    int Capacity() const { return mCapacity; }
    uint64_t Count() const { return mCount; }

private:
    static const double* Data(const ByteBlock& b) {
        return reinterpret_cast<const double*>(b.Bytes());
    }
    static double* Data(ByteBlock& b) { return reinterpret_cast<double*>(b.Bytes()); }
    ByteBlock mLevel, mOut, mPeak;
    int mCapacity = 0;
    int mRecorded = 0;
    uint64_t mCount = 0;
};
