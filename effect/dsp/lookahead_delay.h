// The lookahead's delay: everything the output is made of (the audio, the
// band and the two levels the shaping divides by) runs this many frames late,
// the detector does not, so an envelope can start before its hit is heard.
#pragma once

#include "base/byte_block.h"
#include "effect/delay_line.h"

class LookaheadDelay {
public:
    // Sets the delay (at least 0) and sizes the audio buffers for frames per
    // block; clears the memory. Allocates: not on the audio thread. A delay
    // whose memory cannot be had is 0; false when the buffers cannot be had.
    bool Prepare(int length, int frames);
    int Length() const { return mLength; }
    // Silence comes out first.
    void Clear();
    // Delays a block: the audio into AudioL/AudioR, the levels r and m into
    // Levels/Magnitudes, and the band's samples in place.
    void Run(const double* inL, const double* inR, double* bandL, double* bandR, const double* r,
             const double* m, int frames);
    const double* AudioL() { return Data(mAudioL); }
    const double* AudioR() { return Data(mAudioR); }
    const double* Levels() { return Data(mLevel); }
    const double* Magnitudes() { return Data(mMagnitude); }

private:
    static double* Data(ByteBlock& b) { return reinterpret_cast<double*>(b.Bytes()); }
    DelayLine mInL, mInR, mBandL, mBandR, mLevelLine, mMagnitudeLine;
    ByteBlock mAudioL, mAudioR, mLevel, mMagnitude;
    int mLength = 0;
};
