// The level of a hit, for "follow the hit's level": the drawn shape is scaled,
// per envelope, by the hit's level against the level the shape was drawn or
// fitted for, so every hit keeps its own loudness and takes the shape's
// contour.
//
// A hit's level is the highest divisor the shaping takes (the level r, at
// least the louder shaped sample's magnitude and kMagnitudeShare of the
// magnitude level m) over the envelope's first window positions (10 ms: a
// drum's level peaks within a few milliseconds of its onset, and a longer
// window would take the next hit of a fast fill for this one). It is measured
// in the units the shape is drawn in (the shape replaces that level), so a hit
// as loud as the one the shape was fitted to keeps the shape as drawn. The
// samples count, not the level alone: the level follower lags a click's
// sample peak, and a shape scaled by the level alone would cut the attack
// under its own peak.
//
// With the lookahead the audio is the window late against the detector, so
// the window has been heard when the envelope starts and the level is known
// from its first frame. Without it the level is followed as it is heard: the
// highest since the start, held once the window has passed (the attack's
// first milliseconds take the level risen so far, so they can only come out
// softer, never louder).
#pragma once

#include <cstdint>

#include "base/byte_block.h"

class HitLevel {
public:
    static constexpr double kWindowSeconds = 0.010;

    // The window in positions (at least 0) and room for frames per block.
    // Allocates: not on the audio thread. False, with no room (Look then does
    // nothing and nothing is ahead), when the memory cannot be had.
    bool Prepare(int window, int frames);
    // Forgets the levels heard and the hit's level.
    void Clear();
    // Forgets the levels heard ahead only (Look was not called for a while).
    void ForgetAhead();
    int Window() const { return mWindow; }

    // With the lookahead: keeps the divisors of a piece of frames (at most the
    // frames prepared) from the undelayed shaped samples h and l and levels r
    // and m. Per frame only the divisor is kept; the highest is looked for
    // when an envelope starts (rarely), not at every frame.
    void Look(const double* h, const double* l, const double* r, const double* m, int frames);
    // The highest divisor over the frames i - window .. i of the stream (i a
    // frame of the last piece looked at), which the delayed audio reaches at
    // positions 0 .. window of an envelope starting at frame i; 0 for frames
    // not looked at.
    double AheadAt(int i) const;

    // Frames from..to-1, shaped from envelope position envPos with the
    // (delayed) samples h, l and levels r, m: follows the hit's level; at an
    // envelope's position 0 it starts from AheadAt(that frame) where ahead
    // (from nothing otherwise).
    void Follow(int envPos, const double* h, const double* l, const double* r, const double* m,
                bool ahead, int from, int to);
    // As Follow, and writes each frame's scale, the hit's level so far over
    // reference (> 0), into scale[from..to-1].
    void Scales(int envPos, const double* h, const double* l, const double* r, const double* m,
                bool ahead, double reference, double* scale, int from, int to);
    // The hit's level as followed so far.
    double Level() const { return mLevel; }

private:
    int mWindow = 0;
    int mRoom = 0;
    double mLevel = 0.0;
    // The divisors of the last window + room frames looked at, a ring:
    // stream frame f in slot f % size. mFrame: frames looked at (since the
    // last ForgetAhead); mPiece: the stream frame of the last piece's first.
    ByteBlock mRing;
    int mSize = 0, mWrite = 0;
    int64_t mFrame = 0, mPiece = 0;
};
