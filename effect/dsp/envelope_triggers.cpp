// The trigger rules: when the detector's level re-arms the envelope, triggers
// it, or (inside an envelope, or while its hit still rings) is a new hit.
#include <cstring>

#include "effect/dsp/envelope_machine.h"

namespace {

// After an envelope, the hit that ran it is over once the detector level falls
// to this share of the threshold (12 dB under it).
const double kQuietShare = 0.25;
// With lookahead, inside an envelope (or while its hit rings after it) a rise
// of the onset level by this factor (9 dB) over its lowest since the re-arm
// is a new hit as well: a drum struck while another rings changes the band
// much faster than the ring does, long before its level doubles the ring's
// (a hat over the ring of the groove before it lifts the magnitude level
// 5-6 dB, the onset level 12-13 dB; a low tom struck into the ring of the
// tom before it, the level 3 dB, the onset level 11.8 dB). The same jump is
// a new hit before the re-arm too, once the hit's own attack has settled
// (OnsetSearch::kSettleSeconds into its envelope), measured from the onset
// level's lowest since then: a drum struck while a louder one still rings,
// not yet 6 dB down, lifts the band's level little but its onset level as it
// does after the re-arm. From 8 to 9.5 dB the tuning kits give the same
// starts; at 7 dB rings begin to give second envelopes, at 10.5 dB that tom
// is heard 15 ms late.
const double kOnsetJump = 2.8183829312644537;
// With lookahead, inside an envelope (or while its hit rings after it), the
// band's magnitude level rising kNewHitRise is a new hit only where the onset
// level has risen too, by this factor (0.5 dB) over its lowest since the
// re-arm (or the envelope's end), or where the magnitude level rose kLevelJump
// (18 dB): a ring that dips and swells back (beating) brings no new attack,
// and its onset level goes on falling while it swells, where a drum struck
// under it lifts that level, however little.
const double kOnsetStir = 1.06;
const double kLevelJump = 8.0;
// An onset floor that any level replaces (none seen yet).
const double kNever = 1e300;
// Inside an envelope, a new hit is a rise of the band's magnitude level by this
// factor (6 dB) over its lowest since the level fell to the re-arm level; the
// ripple of a decaying low note stays under it.
const double kNewHitRise = 2.0;

// a < b ? a : b and a > b ? a : b, exactly (b where they compare false, also
// for NaN and equal zeros): one instruction each with SSE2 doubles. Written
// as the comparison, the compiler passes the values through integer registers
// for a conditional move, a long chain from frame to frame.
#if defined(__SSE2_MATH__)
typedef double Lanes __attribute__((vector_size(16)));
inline double LowerOf(double a, double b) {
    return __builtin_ia32_minsd(Lanes{a, 0.0}, Lanes{b, 0.0})[0];
}
inline double HigherOf(double a, double b) {
    return __builtin_ia32_maxsd(Lanes{a, 0.0}, Lanes{b, 0.0})[0];
}
// The lowest of the values taken since start, as LowerOf(value, lowest) would
// keep it, the running value held in a register of its own: the chain from
// frame to frame is the one instruction.
class RunningLowest {
public:
    explicit RunningLowest(double start) : mLowest{start, 0.0} {}
    double Take(double v) {
        mLowest = __builtin_ia32_minsd(Lanes{v, 0.0}, mLowest);
        return mLowest[0];
    }
    double Value() const { return mLowest[0]; }

private:
    Lanes mLowest;
};
#else
inline double LowerOf(double a, double b) {
    return a < b ? a : b;
}
inline double HigherOf(double a, double b) {
    return a > b ? a : b;
}
class RunningLowest {
public:
    explicit RunningLowest(double start) : mLowest(start) {}
    double Take(double v) { return mLowest = LowerOf(v, mLowest); }
    double Value() const { return mLowest; }

private:
    double mLowest;
};
#endif

// True when threshold > each of level[0..3] (NaN fails): two paired
// comparisons and one test of their signs with SSE2 doubles.
inline bool FourUnder(const double* level, double threshold) {
#if defined(__SSE2_MATH__) && !defined(__clang__)
    Lanes a, b;
    std::memcpy(&a, level, sizeof a);
    std::memcpy(&b, level + 2, sizeof b);
    const Lanes t = {threshold, threshold};
    const Lanes under =
        __builtin_ia32_andpd(__builtin_ia32_cmpltpd(a, t), __builtin_ia32_cmpltpd(b, t));
    return __builtin_ia32_movmskpd(under) == 3;
#else
    return int(threshold > level[0]) + int(threshold > level[1]) + int(threshold > level[2]) +
               int(threshold > level[3]) ==
           4;
#endif
}

// Returns the first frame from g on whose level does not satisfy stays, checking
// four frames per step while four remain.
template <typename Stays>
int ScanLevels(const double* level, int g, int frames, Stays stays) {
    int i = g;
    for (; i + 4 <= frames; i += 4) {
        // All four tested without branching between them; one branch per step.
        const int staying = int(stays(level[i])) + int(stays(level[i + 1])) +
                            int(stays(level[i + 2])) + int(stays(level[i + 3]));
        if (staying != 4) break;
    }
    for (; i < frames; ++i)
        if (!stays(level[i])) break;
    return i;
}

} // namespace

int EnvelopeMachine::FindRearm(const Levels& levels, int g, int frames) {
    const double low = mThresholdLow;
    // NaN fails the comparison and ends the phase like a low level.
    const int t = ScanLevels(levels.detector, g, frames, [low](double v) { return v > low; });
    if (t < frames) {
        mRiseFloor = levels.magnitude[t];
        mOnsetFloor = levels.onset ? levels.onset[t] : kNever;
    }
    return t;
}

int EnvelopeMachine::FindTrigger(const Levels& levels, int g, int frames) {
    const double threshold = mThreshold;
    int t = g;
    if (mRiseGuard) t = GuardedTrigger(levels, g, frames);
    if (!mRiseGuard)
        t = ScanLevels(levels.detector, t, frames, [threshold](double v) { return threshold > v; });
    return t;
}

int EnvelopeMachine::FindRestart(const Levels& levels, int g, int t) {
    return levels.onset ? FindRestartOf<true>(levels, g, t) : FindRestartOf<false>(levels, g, t);
}

int EnvelopeMachine::GuardedTrigger(const Levels& levels, int g, int frames) {
    return levels.onset ? GuardedTriggerOf<true>(levels, g, frames)
                        : GuardedTriggerOf<false>(levels, g, frames);
}

// kOnsets: with the lookahead's onset levels. Without them the onset rule
// never fires (a jump no level reaches), and is not evaluated.
template <bool kOnsets>
int EnvelopeMachine::FindRestartOf(const Levels& levels, int g, int t) {
    const double low = mThresholdLow, threshold = mThreshold;
    const double* level = levels.detector;
    const double* magnitude = levels.magnitude;
    // With lookahead, a sharp rise of the onset level is a new hit too.
    const double* onset = levels.onset;
    bool rearmed = mRearmed, restart = false;
    double floor = mRiseFloor, peak = mRisePeak, onsetFloor = mOnsetFloor;
    const int settle = kOnsets ? levels.search->SettleLength() : 0;
    int i = g;
    // Re-armed once the level falls to the re-arm level, or the band's
    // magnitude level to half its peak in this envelope: a decaying hit, which
    // a new one can follow.
    for (; i < t && !rearmed; ++i) {
        const double v = level[i], m = magnitude[i];
        peak = HigherOf(m, peak);
        if (kOnsets) {
            // Until then, with lookahead, the onset level's jump once the
            // attack has settled.
            const int pos = mEnvPos + (i - g);
            const double o = onset[i];
            onsetFloor = pos == settle ? o : LowerOf(o, onsetFloor);
            if (pos > settle && o > kOnsetJump * onsetFloor && !(threshold > v)) {
                restart = true;
                break;
            }
        }
        if (!(v > low) || !(m > 0.5 * peak)) {
            rearmed = true;
            floor = m;
            onsetFloor = kOnsets ? onset[i] : kNever;
        }
    }
    // The level rippling around the threshold as a hit decays is no new hit:
    // that one also lifts the band's magnitude level kNewHitRise over its
    // lowest since the re-arm. (As in the armed phase, NaN reaches the
    // threshold.)
    RunningLowest lowest(floor);
    while (i < t && !restart) {
        // Four frames under the threshold at a time (one branch per step): none
        // of them is a new hit, only the lowest values move on.
        for (; i + 4 <= t && FourUnder(level + i, threshold); i += 4) {
            for (int k = i; k < i + 4; ++k) {
                lowest.Take(magnitude[k]);
                if (kOnsets) onsetFloor = LowerOf(onset[k], onsetFloor);
            }
        }
        // Then frame by frame up to the next step.
        for (const int end = i + 4 < t ? i + 4 : t; i < end; ++i) {
            const double v = level[i], m = magnitude[i];
            const double least = lowest.Take(m);
            bool rose = !(m < kNewHitRise * least);
            if (kOnsets) {
                const double o = onset[i];
                onsetFloor = LowerOf(o, onsetFloor);
                const bool stirred = !(o < kOnsetStir * onsetFloor) || !(m < kLevelJump * least);
                rose = (rose && stirred) || o > kOnsetJump * onsetFloor;
            }
            if (!(threshold > v) && rose) {
                restart = true;
                break;
            }
        }
    }
    if (restart) {
        // With lookahead, the new hit's start is decided like a trigger's, and
        // this envelope shapes what is heard until then.
        if (levels.search && levels.search->DecideLength() > 0)
            mRestartStart.decide = levels.search->DecideLength();
        else
            mRestart = true;
    }
    mRearmed = rearmed;
    mOnsetFloor = onsetFloor;
    mRiseFloor = lowest.Value();
    mRisePeak = peak;
    return i;
}

template <bool kOnsets>
int EnvelopeMachine::GuardedTriggerOf(const Levels& levels, int g, int frames) {
    const double threshold = mThreshold, quiet = kQuietShare * threshold;
    const double* level = levels.detector;
    const double* magnitude = levels.magnitude;
    const double* onset = levels.onset;
    RunningLowest lowest(mRiseFloor);
    double onsetFloor = mOnsetFloor;
    int i = g;
    for (; i < frames; ++i) {
        const double v = level[i], m = magnitude[i];
        if (v <= quiet) {
            // Quiet enough that the hit is over: the threshold alone decides.
            mRiseGuard = false;
            break;
        }
        // The new-hit rule of FindRestartOf.
        const double least = lowest.Take(m);
        bool rose = !(m < kNewHitRise * least);
        if (kOnsets) {
            const double o = onset[i];
            onsetFloor = LowerOf(o, onsetFloor);
            const bool stirred = !(o < kOnsetStir * onsetFloor) || !(m < kLevelJump * least);
            rose = (rose && stirred) || o > kOnsetJump * onsetFloor;
        }
        if (!(threshold > v) && rose) break;
    }
    mRiseFloor = lowest.Value();
    mOnsetFloor = onsetFloor;
    return i;
}
