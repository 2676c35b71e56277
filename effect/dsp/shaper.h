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
};

// Frames from..to-1 of one phase (kPhaseOnset, kPhaseBody or kPhaseFade),
// frame from at envelope position envPos:
//     out = gain * (h, l) + (a, b),   gain = 1 + (shape / divisor - 1) * strength * ramp,
// the divisor being the level r, but at least the louder of |h|, |l| and
// kMagnitudeShare of the magnitude level m. A run cut anywhere gives the same
// samples as the whole.
void ShapeFrames(int phase, const EnvelopeShape& shape, const ShapeSettings& settings, int envPos,
                 const ShapeIo& io, int from, int to);
