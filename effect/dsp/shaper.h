// The shaper: during an envelope the signal's own level is replaced, in
// proportion to the strength, by the level the drawn shape gives at each
// envelope position, with linear ramps at the onset and the fade (and the gate
// opening and closing with them).
#pragma once

#include "effect/envelope_shape.h"

// The shaping divides by at least this share of the magnitude level: the
// signed level sinks on low notes and pauses while the signal goes on, and a
// divisor near zero or below it would lift the signal without bound or turn it
// over. A quarter leaves the signed level in charge down to about 25 Hz.
constexpr double kMagnitudeShare = 0.25;

// What a shaped run needs beside the samples.
struct ShapeSettings {
    double strength; // 0 (no change) .. 1 (the shape's level replaces the signal's)
    int rampLen;     // the onset ramp's length
    int bodyEnd;     // where the fade begins
    int fadeLen;     // the fade's length
    bool gate;       // the ramps fade the output itself in and out
    // An envelope that starts while the one before it shapes the sound (a new
    // hit) starts where that one left off: over its first carryLen positions
    // the shape's level glides from carryLevel and the strength's ramp from
    // carryRamp, and with the gate its opening from carryGate, instead of
    // starting from no change (and a closed gate), so the gain does not jump
    // at the restart. The gain at each frame is still the level over that
    // frame's divisor, so the glide never lifts a sample beyond the larger of
    // the two envelopes' levels. Without carry an onset starts as after
    // silence, to the last bit.
    bool carry = false;
    int carryLen = 1;
    double carryLevel = 0.0, carryRamp = 0.0, carryGate = 0.0;
};

// Where a shaped run left off, at its last frame: the shape's level (scaled
// where it follows the hit's level), the strength's ramp and how far the gate
// was open (1 without the gate). What the next envelope carries on from.
struct ShapeEnd {
    double level = 0.0, ramp = 0.0, gate = 1.0;
};

// The arrays a run reads and writes, indexed by frame: the samples shaped (h,
// l) and what is added back unshaped (a, b: zeros, or the rest of the
// spectrum when only the band is shaped), the levels the shaping divides by
// (r signed, m magnitude), the output (which may be the input: in-place
// hosts) and scratch for the gains (and the shape's levels where the cache has
// no room). The event record's arrays are written at
// frame + offset: the louder magnitude of h and l (taken before shaping), the
// divisor's level floor (r, at least kMagnitudeShare of m) and the output
// level (L + R) / 2.
// The shape's levels by envelope position, computed once per shape: positions
// 0 .. known-1 of levels (room positions) hold them. Whoever changes the shape
// sets known to 0.
struct ShapeCache {
    double* levels;
    int room;
    int known;
};

struct ShapeIo {
    const double *h, *l, *a, *b, *r, *m;
    double *outL, *outR, *gain;
    double *peaks, *floors, *levels;
    int offset;
    // Null: every level computed as the run needs it.
    ShapeCache* cache;
    // Null: the shape as drawn; else each frame's shape is scaled by scale[frame]
    // ("follow the hit's level", effect/dsp/hit_level.h).
    const double* scale;
    // Null: no floor but the samples' own; else the louder magnitude of the
    // samples shaped over the frames just ahead (with the lookahead), which
    // the divisor is at least as well.
    const double* ahead = nullptr;
};

// Frames from..to-1 of one phase (kPhaseOnset, kPhaseBody or kPhaseFade),
// frame from at envelope position envPos:
//     out = gain * (h, l) + (a, b),   gain = 1 + (shape / divisor - 1) * strength * ramp,
// the shape multiplied by io.scale[frame] where io.scale is given (shape and
// ramp gliding from the carry's at a new hit),
// the divisor being the level r, but at least the louder of |h|, |l| and
// kMagnitudeShare of the magnitude level m. A run cut anywhere gives the same
// samples as the whole. Returns where the run left off (an empty run: the
// settings' carry).
ShapeEnd ShapeFrames(int phase, const EnvelopeShape& shape, const ShapeSettings& settings,
                     int envPos, const ShapeIo& io, int from, int to);

// What a new hit's envelope glides on from: where the last shaped frame left
// off, when the frame just before the new envelope was shaped (an envelope
// restarted); after frames passed unshaped, or a cut, nothing.
class ShapeCarry {
public:
    // A new hit's envelope glides from where the one before it left the sound
    // over this time. A gain that steps makes highs as a click does; one
    // that moves linearly over a time T makes the step's spectrum times
    // sin(pi f T) / (pi f T): at 5 kHz and T = 0.5 ms at least 18 dB less,
    // and less still above; the glide's S-curve, without the line's corners,
    // takes its highs down faster still (as 1/f^3 against 1/f^2). Longer
    // holds the new hit's attack toward the tail before it: over 1 ms the
    // fitted attack of a tom struck into the ring of the one before came out
    // up to 4.7 dB low (0.9 dB at most over 0.5 ms).
    static constexpr double kGlideSeconds = 0.0005;
    // The glide's length in frames.
    void SetLength(int frames) { mLength = frames; }
    // Frames passed unshaped, or the envelope cut off: the next envelope
    // starts as after silence.
    void Break() { mShapedLast = false; }
    // Gives a run of phase at envPos its envelope's carry (a new envelope,
    // the onset at position 0, takes it from the last shaped frame).
    void Into(ShapeSettings& settings, int phase, int envPos);
    // A run of at least one frame was shaped and left off at end.
    void Shaped(const ShapeEnd& end) {
        mLast = end;
        mShapedLast = true;
    }

private:
    bool mShapedLast = false, mCarry = false;
    ShapeEnd mLast, mFrom;
    int mLength = 1;
};
