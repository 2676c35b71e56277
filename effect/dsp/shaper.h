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

// Frames from..to-1 of one phase (kPhaseOnset, kPhaseBody or kPhaseFade),
// frame from at envelope position envPos:
//     out = gain * (h, l) + (a, b),   gain = 1 + (shape / divisor - 1) * strength * ramp,
// the divisor being the level r, but at least the louder of |h|, |l| and
// kMagnitudeShare of the magnitude level m. (a, b) is what is added back
// unshaped (zeros, or the rest of the spectrum when only the band is shaped).
// gain[from..to-1] is scratch and holds the output level (L + R) / 2 after.
// The arrays are indexed by frame; out may be the input (in-place hosts).
void ShapeFrames(int phase, const EnvelopeShape& shape, const ShapeSettings& settings, int envPos,
                 const double* h, const double* l, const double* a, const double* b,
                 const double* r, const double* m, double* outL, double* outR, double* gain,
                 int from, int to);
