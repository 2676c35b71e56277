// The lookahead's delay: everything the output is made of (the audio, the
// band and the two levels the shaping divides by) runs this many frames late,
// the detector does not, so an envelope can start before its hit is heard.
//
// Beside them, the peaks ahead: for each delayed frame, the louder magnitude
// of the samples shaped over the next kPeakAheadSeconds (and, fading over
// kPeakHoldSeconds, those before), which the shaper divides by at least. It is
// a peak hold of the undelayed samples (instant rise, exponential fall)
// delayed by the delay less kPeakAheadSeconds.
//
// Switched while the audio plays, the delay glides: the output crossfades
// from the undelayed signals to the delayed ones (or back) over kGlideSeconds,
// so nothing goes silent, nothing is skipped and nothing clicks. While the
// lookahead is off the audio's delay lines keep the last frames heard (and the
// band's, where it is formed), so a switch on has them to start from; only
// those frames are copied, one block operation per piece, nothing runs per
// frame.
#pragma once

#include "base/byte_block.h"
#include "effect/delay_line.h"

class LookaheadDelay {
public:
    static constexpr double kGlideSeconds = 0.005;
    // How far ahead the peaks reach, and how fast the hold falls. Ahead long
    // enough to see the first peak of most edges (a kick's may rise over a
    // few ms; shorter ones are scaled by a peak that rises with them, still
    // smoothly); short, as a tail is held down that long before a loud hit.
    static constexpr double kPeakAheadSeconds = 0.001;
    static constexpr double kPeakHoldSeconds = 0.003;

    // Sets the delay (at least 0) and the glide's length at rate, sizes the
    // buffers for frames per block and clears the memory; on: whether the
    // lookahead is on (no glide). Allocates: not on the audio thread. A delay
    // whose memory cannot be had is 0; false when the buffers cannot be had.
    // With cleared lines of the length (and the buffers sized as asked
    // already), it neither allocates nor clears: a reset under a lock.
    bool Prepare(int length, double rate, int frames, bool on, ClearedLines* cleared = nullptr);
    // Lines Prepare takes from a pool.
    static constexpr int kLines = 7;
    int Length() const { return mLength; }

    // The lookahead switched: the output glides to the delayed signals (on)
    // or back to the undelayed ones. On a switch on the levels' lines are
    // filled with the last levels heard (r, m) and the band's are cleared
    // unless the band was kept (see Keep).
    void Switch(bool on, double r, double m);
    // True while the delayed signals make (part of) the output: the lookahead
    // is on, or its glide has not ended.
    bool Running() const { return mOn || mWeight > 0.0; }

    // With Running(): delays a block, the audio into AudioL/AudioR, the
    // levels r and m into Levels/Magnitudes and the band's samples in place,
    // each mixed with the undelayed signal while the glide lasts; and the
    // peaks ahead of the samples shaped (the band's with bandShaped, which
    // needs the band) into PeaksAhead.
    void Run(const double* inL, const double* inR, double* bandL, double* bandR, const double* r,
             const double* m, int frames, bool bandShaped);
    // Without: keeps the block's last frames of the audio (and of the band,
    // when not null) for a switch on.
    void Keep(const double* inL, const double* inR, const double* bandL, const double* bandR,
              int frames);
    const double* AudioL() { return Data(mAudioL); }
    const double* AudioR() { return Data(mAudioR); }
    const double* Levels() { return Data(mLevel); }
    const double* Magnitudes() { return Data(mMagnitude); }
    const double* PeaksAhead() { return Data(mPeaks); }

private:
    static double* Data(ByteBlock& b) { return reinterpret_cast<double*>(b.Bytes()); }
    // Mixes the undelayed x into the delayed y[0..n-1]: y = x + (y - x) w,
    // the weight w of the delayed signal moving by mStep per frame, from the
    // glide's weight on.
    void Mix(const double* x, double* y, int n) const;
    // The peak hold of the louder of l and r into mPeaks, delayed.
    void HoldPeaks(const double* l, const double* r, int frames);

    DelayLine mInL, mInR, mBandL, mBandR, mLevelLine, mMagnitudeLine, mPeakLine;
    ByteBlock mAudioL, mAudioR, mLevel, mMagnitude, mUndelayedL, mUndelayedR, mPeaks;
    // The peak hold of the undelayed samples, and its fall per frame.
    double mHold = 0.0, mHoldFall = 0.0;
    int mLength = 0;
    bool mOn = false;
    // The band's lines hold the band (it was kept while off).
    bool mBandKept = false;
    // The delayed signals' share of the output (0 off, 1 on) and its move
    // per frame toward the side switched to.
    double mWeight = 0.0;
    double mStep = 0.0;
};
