// The current event's record, by envelope position: the level the shaping
// divided by (its floor: the signed level, at least the magnitude level's
// share), the output level and the louder shaped sample's magnitude; the
// shaper writes them as it shapes. The
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
    // Positions from at on that the record still has room for (0 past it).
    int Room(int at) const { return at >= mCapacity ? 0 : mCapacity - (at > 0 ? at : 0); }
    // The arrays the shaper writes (see ShapeIo), by envelope position: the
    // divisor's level floors, the output levels and the louder magnitudes.
    double* LevelsToWrite() { return Data(mLevel); }
    double* OutsToWrite() { return Data(mOut); }
    double* PeaksToWrite() { return Data(mPeak); }
    // count positions from at on were written (those past the room dropped).
    void Recorded(int at, int count) {
        const int end = at + count < mCapacity ? at + count : mCapacity;
        if (end > mRecorded) mRecorded = end;
    }

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
