// The detector: the band between the two cutoffs (a high-pass and a low-pass
// section per channel) and four level followers over the block, the signed
// and the magnitude level of the band's mid signal and of the full signal's.
// The levels trigger the envelope; the full signal's (or the band's, when only
// the band is shaped) are what the shaping divides by.
#pragma once

#include "base/byte_block.h"
#include "effect/biquad.h"

// Filter and follower values this small are set to zero after each block: a
// decaying tail then ends in exact zeros instead of denormal numbers, which are
// slow on every x86 unit. 1e-20 is 400 dB below full scale.
constexpr double kTinyLevel = 1e-20;
// Input samples beyond this magnitude (2000 dB above full scale), and samples
// that are not numbers, are heard and detected as silence; below it every sum
// the detector forms stays finite.
constexpr double kLoudestSample = 1e100;

class Detector {
public:
    Detector();

    // Sets the rate (clears the sections' memories; the cutoffs stay) and the
    // followers' rise and fall times, and sizes the block buffers for frames
    // per block. Allocates: not on the audio thread. False, with no buffers,
    // when the memory cannot be had.
    bool Prepare(double rate, int frames);
    // Clears the four levels (not the sections).
    void ClearLevels();
    // The cutoffs (Hz): a section at rest takes it at once, a running one
    // glides there (see Biquad::SetFreq).
    void SetLowCut(double freq);
    void SetHighCut(double freq);

    // Runs frames (at most the prepared count) through the sections and the
    // followers. The band's samples are stored only with keepBand. False, with
    // nothing changed, when an input sample is not finite or beyond
    // kLoudestSample, or a level is not finite.
    bool Run(const double* inL, const double* inR, int frames, bool keepBand);

    // The last block's results, one per frame: the band's samples (with
    // keepBand; delayed in place by the lookahead), the signed levels of the
    // band's and the full signal's mids, and their magnitude levels.
    double* BandL() { return Buffer(mBandL); }
    double* BandR() { return Buffer(mBandR); }
    const double* BandLevels() { return Buffer(mBandEnv); }
    const double* FullLevels() { return Buffer(mFullEnv); }
    const double* BandMagnitudes() { return Buffer(mBandMag); }
    const double* FullMagnitudes() { return Buffer(mFullMag); }

    // The followers' coefficients and the levels after the last block.
    double AttackCoef() const { return mAttack; }
    double ReleaseCoef() const { return mRelease; }
    double BandLevel() const { return mBandLevel; }
    double FullLevel() const { return mFullLevel; }
    double BandMagnitudeLevel() const { return mBandMagLevel; }
    double FullMagnitudeLevel() const { return mFullMagLevel; }
    const Biquad& HighPassL() const { return mHighPassL; }
    const Biquad& LowPassL() const { return mLowPassL; }
    // The band's group delay (seconds) in its middle, the geometric mean of
    // the cutoffs taken within the 20 Hz - 20 kHz drums sound in: how much
    // later a hit's rise shows in the band than in the audio.
    double BandDelay() const;

    // The followers' rise and fall times.
    static constexpr double kAttackSeconds = 0.00025;
    static constexpr double kReleaseSeconds = 0.03;

private:
    template <bool kKeepBand>
    bool RunLoop(const double* inL, const double* inR, int frames);
    static double* Buffer(ByteBlock& block) { return reinterpret_cast<double*>(block.Bytes()); }

    double mAttack = 0.0, mRelease = 0.0;
    double mBandLevel = 0.0, mFullLevel = 0.0;
    double mBandMagLevel = 0.0, mFullMagLevel = 0.0;
    LowPass mLowPassL, mLowPassR;
    HighPass mHighPassL, mHighPassR;
    ByteBlock mBandL, mBandR, mBandEnv, mFullEnv, mBandMag, mFullMag;
};
