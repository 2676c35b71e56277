// How a run is shaped, and why it runs on the vector units.
//
// The gain of frame i at envelope position n is
//     gain = 1 + (shape(n) / divisor - 1) * strength * ramp(n),
// shape(n) from the segment of the drawn shape that holds n: a quadratic
// Bezier (x0 y0) (x1 y1) (x2 y2), whose x(t) = n is solved for t (a square
// root where the segment is curved, a division where it is straight) and y(t)
// taken. Positions only grow, so a run of frames is split where it crosses a
// segment's end, and each piece is one loop with the phase (which ramp) and the
// segment's kind (curved, straight, flat after the last point) fixed as
// template arguments: no branch inside, few arrays touched, every choice a
// computed value picked by comparison. GCC then runs each loop on the vector
// units, two frames to an SSE2 register, and (KELO_SHAPING_CLONES) builds a
// second version for AVX2, four frames to a register, which the loader picks
// where the processor has it. Each lane computes what the scalar loop would,
// operation for operation (AVX2 without FMA rounds as SSE2 does, no sums are
// reordered), so the output is the same bit for bit with either version.
#include "effect/dsp/shaper.h"

#include <cmath>

#include "base/round_double.h"
#include "effect/dsp/envelope_machine.h"

// Not under ThreadSanitizer: the clones' resolver runs at load, before it starts.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) &&       \
    !defined(__SANITIZE_THREAD__)
#define KELO_SHAPING_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KELO_SHAPING_CLONES
#endif

namespace {

// One run of shaped frames: the ramps, the segment of the envelope shape the
// run lies in (x0, a, b and the levels y0 y1 y2, as the shape evaluates them)
// and where the gains go.
struct ShapedRun {
    double n0; // envelope position of frame 0
    double strength, ramp, bodyEnd, fade;
    bool gate;
    double x0, qa, qb, y0, y1, y2;
    // The glide from where the envelope before left off: 1 or 0, one over
    // its length, and the shape's level, the strength's ramp and the gate's
    // opening it starts from.
    double carry, perGlide, carryLevel, carryRamp, carryGate;
};

// How much of the value carried over is left at position n: 1 at the start,
// 0 from the glide's end on, and always 0 without carry. The glide is an
// S-curve (3x^2 - 2x^3 of the way, x the share of the glide passed), whose
// slope starts and ends at 0: a gain that moves so leaves fewer highs than a
// straight line's corners do (its spectrum falls as 1/f^3, a line's as 1/f^2).
inline double Carried(const ShapedRun& run, double n) {
    double x = n * run.perGlide;
    x = x < 1.0 ? x : 1.0;
    double left = 1.0 - x * x * (3.0 - 2.0 * x);
    left = run.carry * left;
    RoundToDouble(left);
    return left;
}

// value, `carried` of the way back to from.
inline double Glide(double carried, double from, double value) {
    return value + carried * (from - value);
}

// How a run's segment is evaluated: a curve (a != 0), a straight segment, or
// the flat level after the last point.
enum SegmentKind { kCurved, kStraight, kFlat };

// The ramp of frame position n: up over the onset, 1 in the body, down over
// the fade. A double on every target (see RoundToDouble), as the gains are.
template <int kShapedPhase>
double RampAt(const ShapedRun& run, double n) {
    double ramp = 1.0;
    if (kShapedPhase == kPhaseOnset) ramp = n / run.ramp;
    if (kShapedPhase == kPhaseFade) ramp = 1.0 - (n - run.bodyEnd) / run.fade;
    // A fade whose envelope was lengthened under it ("env time" moved while it
    // ran) starts before the new body's end: it holds at 1 until it is reached.
    if (kShapedPhase == kPhaseFade) ramp = ramp < 1.0 ? ramp : 1.0;
    RoundToDouble(ramp);
    return ramp;
}

// The shape's levels of frames from..to-1 into level[from..to-1], one
// segment's piece (kKind) at a time. The shape is a level: where its curve
// runs below zero it is zero (silence), never the curve's magnitude.
template <int kKind>
KELO_SHAPING_CLONES void ShapeLevels(const ShapedRun& run, double* level, int from, int to) {
    const double n0 = run.n0, x0 = run.x0, qa = run.qa, qb = run.qb;
    const double y0 = run.y0, y1 = run.y1, y2 = run.y2;
    const double halfOverA = 1.0 / (2.0 * qa);
    for (int i = from; i < to; ++i) {
        const double n = n0 + i;
        // The shape's level at n, as EnvelopeShape::At computes it.
        double y = y2;
        if (kKind != kFlat) {
            const double c = x0 - n;
            // One division per frame fewer: the curve's 1 / 2a is taken once per
            // run (the result may differ from At's division in the last bit).
            const double t =
                kKind == kCurved ? (std::sqrt(qb * qb - 4.0 * qa * c) - qb) * halfOverA : -c / qb;
            const double u = 1.0 - t;
            y = u * u * y0 + 2.0 * t * u * y1 + t * t * y2;
        }
        level[i] = y < 0.0 ? 0.0 : y;
    }
}

// Gains of frames from..to-1 from the shape's levels, the divisor levels r and
// the shaped samples h and l, into io.gain (which may be the levels' array:
// each is read before it is written). The phase is a template argument and
// the loop touches few arrays, so it has no branches and runs on the vector
// units.
//
// The divisor is the level r, but never less than the louder shaped sample's
// magnitude nor kMagnitudeShare of the magnitude level m, so it is never
// negative and the gain never is either. The signed level r lags a rising
// signal (a new hit inside an envelope, the attack of any hit) and sinks on low
// content or in pauses while the samples go on; without the floors the gain
// would lift the samples above the shape's level, or turn them over. With them
// the shaped part of a sample, shape * h / divisor, stays within the shape's
// level, and where r is at least the sample and the share of m (everywhere but
// in those cases) nothing changes.
//
// The sample's own floor holds a rising edge flat at the shape's level (out =
// shape * sign(h) while |h| climbs past r), which sounds as a click at each
// hit: a waveform bent square. With the lookahead the samples just ahead are
// known, and the divisor is also at least the peaks ahead (kAhead, io.ahead):
// on a rising edge that is the peak the edge climbs to, so the edge is scaled
// (shape * h / peak), not flattened.
template <int kShapedPhase, bool kScaled, bool kGlide, bool kAhead>
KELO_SHAPING_CLONES void GainFrames(const ShapedRun& run, const ShapeIo& io, const double* shape,
                                    int from, int to) {
    const double* r = io.r;
    const double* m = io.m;
    const double* h = io.h;
    const double* l = io.l;
    const double* scale = io.scale;
    const double* ahead = io.ahead;
    double* gain = io.gain;
    // The record's arrays, from the run's first frame on.
    double* peaks = io.peaks + io.offset;
    double* floors = io.floors + io.offset;
    const double n0 = run.n0, s = run.strength;
    // With the gate the onset ramps the output instead of the strength.
    const bool rampStrength = !(kShapedPhase == kPhaseOnset && run.gate);
    for (int i = from; i < to; ++i) {
        const double n = n0 + i;
        // Scaled, the shape is the hit's own level's; unscaled, not one
        // operation is added (the same samples, bit for bit).
        double level = kScaled ? shape[i] * scale[i] : shape[i];
        // Computed, then chosen: a choice between two values needs no branch.
        const double rampAtN = RampAt<kShapedPhase>(run, n);
        double strengthRamp = rampStrength ? rampAtN : 1.0;
        // A new hit's envelope glides on from where the one before left off
        // (a loop of its own, over the glide's frames only).
        if (kGlide) {
            const double carried = Carried(run, n);
            level = Glide(carried, run.carryLevel, level);
            strengthRamp = Glide(carried, run.carryRamp, strengthRamp);
        }
        const double left = std::fabs(h[i]), right = std::fabs(l[i]);
        const double louder = left > right ? left : right;
        const double share = kMagnitudeShare * m[i];
        // The level floor: r, at least the share of m and, with the lookahead,
        // the peaks just ahead.
        double levelFloor = r[i] > share ? r[i] : share;
        if (kAhead) levelFloor = ahead[i] > levelFloor ? ahead[i] : levelFloor;
        peaks[i] = louder;
        floors[i] = levelFloor;
        const double divisor = louder > levelFloor ? louder : levelFloor;
        const double ratio = level / divisor;
        const double w = 1.0 + (ratio - 1.0) * s * strengthRamp;
        // A divisor of 0 (silence), a shape that is not a number, or a level too
        // far above the divisor for a double, leaves no gain to speak of: the sample keeps
        // its own level instead of turning into Inf or NaN. The ratio is tested
        // by itself, as x87 code holds it in a wider range where it stays finite.
        const double most = 1.7976931348623157e308;
        // (Both tests made, no short cut: the loop stays free of branches.)
        gain[i] = (std::fabs(ratio) <= most) & (std::fabs(w) <= most) ? w : 1.0;
    }
}

// out = gain * input + add for both channels, ramped with the gate, and the
// output level into the record.
template <int kShapedPhase, bool kGlide>
KELO_SHAPING_CLONES void ApplyGains(const ShapedRun& run, const ShapeIo& io, int from, int to) {
    const double* gain = io.gain;
    const double* h = io.h;
    const double* l = io.l;
    const double* a = io.a;
    const double* b = io.b;
    double* outL = io.outL;
    double* outR = io.outR;
    double* levels = io.levels + io.offset;
    const bool ramped = run.gate && kShapedPhase != kPhaseBody;
    const double carryGate = run.gate ? run.carryGate : 1.0;
    for (int i = from; i < to; ++i) {
        const double rampAtN = RampAt<kShapedPhase>(run, run.n0 + i);
        double ramp = ramped ? rampAtN : 1.0;
        // The gate opens from where the envelope before left it.
        if (kGlide) ramp = Glide(Carried(run, run.n0 + i), carryGate, ramp);
        double left = (gain[i] * h[i] + a[i]) * ramp;
        double right = (gain[i] * l[i] + b[i]) * ramp;
        // The level is that of the samples as they leave, to the last bit.
        RoundToDouble(left);
        RoundToDouble(right);
        outL[i] = left;
        outR[i] = right;
        levels[i] = (left + right) * 0.5;
    }
}

// The shape's levels of frames g..t-1 (positions n0 + g ..) into level[g..t-1].
void LevelsOf(const EnvelopeShape& shape, ShapedRun& run, double* level, int g, int t) {
    // Positions only grow, so each segment of the shape covers one run of frames.
    for (int from = g; from < t;) {
        const int segment = shape.SegmentOf(run.n0 + from);
        int to = t;
        if (segment < 3) {
            const double end = shape.X(2 * segment + 2);
            // The run ends at the first frame whose position reaches the segment's
            // end: computed, then checked against the comparison SegmentOf makes.
            const double guess = std::ceil(end - run.n0);
            to = guess >= t ? t : guess <= from + 1 ? from + 1 : int(guess);
            while (to > from + 1 && !(run.n0 + (to - 1) < end))
                --to;
            while (to < t && run.n0 + to < end)
                ++to;
            const int i = 2 * segment;
            run.x0 = shape.X(i);
            run.y0 = shape.Y(i);
            run.y1 = shape.Y(i + 1);
            run.y2 = shape.Y(i + 2);
            run.qa = shape.X(i) - 2.0 * shape.X(i + 1) + shape.X(i + 2);
            run.qb = 2.0 * (shape.X(i + 1) - shape.X(i));
            if (run.qa != 0.0)
                ShapeLevels<kCurved>(run, level, from, to);
            else
                ShapeLevels<kStraight>(run, level, from, to);
        } else {
            run.y2 = shape.Y(EnvelopeShape::kPoints - 1);
            ShapeLevels<kFlat>(run, level, from, to);
        }
        from = to;
    }
}

// Where frame i of a run leaves off, its shape's level (scaled) being
// `level`: as GainFrames and ApplyGains take them.
template <int kShapedPhase>
ShapeEnd EndOf(const ShapedRun& run, double level, int i) {
    const double n = run.n0 + i;
    const double rampAtN = RampAt<kShapedPhase>(run, n);
    ShapeEnd end;
    end.level = level;
    end.ramp = run.gate && kShapedPhase == kPhaseOnset ? 1.0 : rampAtN;
    end.gate = run.gate && kShapedPhase != kPhaseBody ? rampAtN : 1.0;
    if (run.carry == 0.0) return end;
    const double carried = Carried(run, n);
    end.level = Glide(carried, run.carryLevel, end.level);
    end.ramp = Glide(carried, run.carryRamp, end.ramp);
    if (run.gate) end.gate = Glide(carried, run.carryGate, end.gate);
    return end;
}

template <int kShapedPhase, bool kScaled, bool kAhead>
void GainsOf(const ShapedRun& run, const ShapeIo& io, const double* level, int g, int glideEnd,
             int t) {
    if (glideEnd > g) GainFrames<kShapedPhase, kScaled, true, kAhead>(run, io, level, g, glideEnd);
    GainFrames<kShapedPhase, kScaled, false, kAhead>(run, io, level, glideEnd, t);
}

template <int kShapedPhase>
ShapeEnd ShapePhase(const EnvelopeShape& shape, const ShapeSettings& settings, int envPos,
                    const ShapeIo& io, int g, int t) {
    ShapedRun run;
    run.n0 = envPos - g;
    run.strength = settings.strength;
    run.ramp = settings.rampLen;
    run.bodyEnd = settings.bodyEnd;
    run.fade = settings.fadeLen;
    run.gate = settings.gate;
    run.carry = settings.carry && settings.carryLen > 0 ? 1.0 : 0.0;
    run.perGlide = settings.carryLen > 0 ? 1.0 / settings.carryLen : 0.0;
    run.carryLevel = settings.carryLevel;
    run.carryRamp = settings.carryRamp;
    run.carryGate = settings.carryGate;
    // The shape's levels: from the cache where it has them (extended by the
    // positions it lacks, where they follow on), else into the gains' array.
    const double* level = io.gain;
    ShapeCache* cache = io.cache;
    if (cache && envPos <= cache->known && envPos + (t - g) <= cache->room) {
        double* table = cache->levels + (envPos - g);
        const int known = g + (cache->known - envPos);
        if (known < t) {
            LevelsOf(shape, run, table, known, t);
            cache->known = envPos + (t - g);
        }
        level = table;
    } else {
        LevelsOf(shape, run, io.gain, g, t);
    }
    // Where the run leaves off, taken before the gains may overwrite the
    // levels.
    ShapeEnd end;
    end.level = settings.carryLevel;
    end.ramp = settings.carryRamp;
    end.gate = settings.carryGate;
    if (t > g)
        end = EndOf<kShapedPhase>(run, io.scale ? level[t - 1] * io.scale[t - 1] : level[t - 1],
                                  t - 1);
    // The glide from the envelope before, where there is one, covers the
    // run's frames up to glideEnd; the loops after it leave it out (it changes
    // nothing there, and costs nothing without carry).
    int glideEnd = g;
    if (run.carry != 0.0) {
        const double glideTo = std::ceil(double(settings.carryLen) - run.n0);
        glideEnd = glideTo <= g ? g : glideTo >= t ? t : int(glideTo);
    }
    if (io.scale && io.ahead)
        GainsOf<kShapedPhase, true, true>(run, io, level, g, glideEnd, t);
    else if (io.scale)
        GainsOf<kShapedPhase, true, false>(run, io, level, g, glideEnd, t);
    else if (io.ahead)
        GainsOf<kShapedPhase, false, true>(run, io, level, g, glideEnd, t);
    else
        GainsOf<kShapedPhase, false, false>(run, io, level, g, glideEnd, t);
    if (glideEnd > g) ApplyGains<kShapedPhase, true>(run, io, g, glideEnd);
    ApplyGains<kShapedPhase, false>(run, io, glideEnd, t);
    return end;
}

} // namespace

void ShapeCarry::Into(ShapeSettings& settings, int phase, int envPos) {
    if (phase == kPhaseOnset && envPos == 0) {
        mCarry = mShapedLast;
        mFrom = mLast;
    }
    settings.carry = mCarry;
    settings.carryLen = mLength;
    settings.carryLevel = mFrom.level;
    settings.carryRamp = mFrom.ramp;
    settings.carryGate = mFrom.gate;
}

ShapeEnd ShapeFrames(int phase, const EnvelopeShape& shape, const ShapeSettings& settings,
                     int envPos, const ShapeIo& io, int from, int to) {
    if (phase == kPhaseOnset) return ShapePhase<kPhaseOnset>(shape, settings, envPos, io, from, to);
    if (phase == kPhaseBody) return ShapePhase<kPhaseBody>(shape, settings, envPos, io, from, to);
    return ShapePhase<kPhaseFade>(shape, settings, envPos, io, from, to);
}
