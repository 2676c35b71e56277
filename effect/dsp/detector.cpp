// Lanes: the loop carries everything in pairs of doubles, `Pair`, one vector
// register (SSE2) where the target has them and two plain doubles elsewhere.
// - The sections: a pair is {left, right}. The high-pass and the low-pass of
//   both channels step as two paired sections, coefficients and memories
//   paired the same way (BiquadCoefsOf<Pair>, BiquadMemoryOf<Pair>).
// - The followers: a pair is {band, full}, the mids of the band (y) and of
//   the input (x), (y.l + y.r) / 2 and (x.l + x.r) / 2 formed as one pair
//   sum; the signed followers and the magnitude followers (the same pair with
//   its sign bits cleared) share one attack and one release coefficient,
//   picked per lane before the one product it takes.
// Every lane computes exactly what the scalar code would (the same operations
// in the same order, IEEE doubles), so the result does not depend on whether
// pairs are vectors. Range checks (a sample beyond kLoudestSample, NaN) gather
// as lane masks beside the recursions and are read once per block.
#include "effect/dsp/detector.h"

#include <cmath>
#include <initializer_list>
#include <optional>

#include "effect/level_follower.h"

// The loop is also built for AVX2 (three-operand instructions, no copies to
// keep a register's value), and the loader picks that version where the
// processor has it. No FMA: every operation rounds as the SSE2 one does.
// Not under ThreadSanitizer: the clones' resolver runs at load, before it starts.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) &&       \
    !defined(__SANITIZE_THREAD__)
#define KELO_DETECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KELO_DETECTOR_CLONES
#endif

namespace {

typedef double Pair __attribute__((vector_size(16)));
typedef long long PairMask __attribute__((vector_size(16)));

BiquadCoefsOf<Pair> Paired(const BiquadCoefs& l, const BiquadCoefs& r) {
    return {Pair{l.d, r.d}, Pair{l.gd, r.gd}, Pair{l.ggd, r.ggd}};
}
BiquadMemoryOf<Pair> Paired(const BiquadMemory& l, const BiquadMemory& r) {
    return {Pair{l.s1, r.s1}, Pair{l.s2, r.s2}, Pair{l.band, r.band}, Pair{l.low, r.low}};
}
void Unpair(const BiquadMemoryOf<Pair>& m, Biquad& l, Biquad& r) {
    l.SetMemory(BiquadMemory{m.s1[0], m.s2[0], m.band[0], m.low[0]});
    r.SetMemory(BiquadMemory{m.s1[1], m.s2[1], m.band[1], m.low[1]});
}

// The four sections, stepped together while a cutoff glides.
struct Sections {
    HighPass highL, highR;
    LowPass lowL, lowR;
    bool Gliding() const {
        return highL.Gliding() || highR.Gliding() || lowL.Gliding() || lowR.Gliding();
    }
    void Glide() {
        highL.Glide();
        highR.Glide();
        lowL.Glide();
        lowR.Glide();
    }
};

} // namespace

Detector::Detector() {
    mHighPassL.SetFreq(0.0);
    mHighPassR.SetFreq(0.0);
    mLowPassL.SetFreq(22000.0);
    mLowPassR.SetFreq(22000.0);
}

bool Detector::Prepare(double rate, int frames) {
    mAttack = std::exp(-1.0 / (rate * kAttackSeconds));
    mRelease = std::exp(-1.0 / (rate * kReleaseSeconds));
    for (Biquad* section : {static_cast<Biquad*>(&mLowPassL), static_cast<Biquad*>(&mLowPassR),
                            static_cast<Biquad*>(&mHighPassL), static_cast<Biquad*>(&mHighPassR)})
        section->SetSampleRate(rate);
    bool ok = frames > 0;
    for (ByteBlock* block : {&mBandL, &mBandR, &mBandEnv, &mFullEnv, &mBandMag, &mFullMag})
        if (ok && !block->Resize(frames * int32_t(sizeof(double)), false)) ok = false;
    return ok;
}

void Detector::ClearLevels() {
    mBandLevel = mFullLevel = mBandMagLevel = mFullMagLevel = 0.0;
}

void Detector::SetLowCut(double freq) {
    mHighPassL.SetFreq(freq);
    mHighPassR.SetFreq(freq);
}

void Detector::SetHighCut(double freq) {
    mLowPassL.SetFreq(freq);
    mLowPassR.SetFreq(freq);
}

namespace {

// The group delay (seconds) at freq of a Butterworth section (either kind: the
// high-pass's numerator only turns the phase by a constant) cut at cutoff, as
// its analog prototype has it: with r = freq / cutoff,
// k (1 + r^2) / (w (1 - r^2)^2 + w k^2 r^2).
double SectionDelay(double cutoff, double freq) {
    const double w = 2.0 * 3.141592653589793 * cutoff;
    const double k = kButterworthDamping, r = freq / cutoff, r2 = r * r;
    return k * (1.0 + r2) / (w * ((1.0 - r2) * (1.0 - r2) + k * k * r2));
}

} // namespace

double Detector::BandDelay() const {
    const double lo = std::fmin(std::fmax(mHighPassL.Cutoff(), 20.0), 20000.0);
    const double hi = std::fmin(std::fmax(mLowPassL.Cutoff(), lo), 20000.0);
    const double middle = std::sqrt(lo * hi);
    return SectionDelay(mHighPassL.Cutoff(), middle) + SectionDelay(mLowPassL.Cutoff(), middle);
}

bool Detector::Run(const double* inL, const double* inR, int frames, bool keepBand) {
    return keepBand ? RunLoop<true>(inL, inR, frames) : RunLoop<false>(inL, inR, frames);
}

namespace {

// What the loop carries from frame to frame, and where it writes.
struct Carried {
    BiquadCoefsOf<Pair> hp, lp;
    BiquadMemoryOf<Pair> hm, lm;
    Pair levels, magnitudes; // {band, full}
    PairMask inRange;
};
struct Outputs {
    double *bandL, *bandR, *bandEnv, *fullEnv, *bandMag, *fullMag;
};

// FollowLevelStep with the coefficient picked first: the same value bit for
// bit in fewer instructions (one product and one sum in place of two each).
inline void FollowStep(Pair& level, const Pair& x, const Pair& attack, const Pair& release) {
    Pair coef;
    Pick(coef, (PairMask)(level < x), attack, release);
    level = x + (level - x) * coef;
}

// Frames from..to-1. The carried values are copied into locals first: nothing
// else can reach them, so they stay in registers (the output arrays could
// alias anything held in memory, which would force a store and a reload of
// each recursion on every frame).
template <bool kKeepBand>
KELO_DETECTOR_CLONES void DetectFrames(Carried& carried, const Pair& attack, const Pair& release,
                                       const double* inL, const double* inR, const Outputs& out,
                                       int from, int to) {
    Carried c = carried;
    const Pair half = {0.5, 0.5};
    // Samples beyond kLoudestSample are found by comparison (NaN fails it),
    // not by letting the sums overflow: x87 code keeps intermediates in a
    // wider exponent range, where they would not. The magnitude is the sample
    // with its sign bit cleared: one comparison per frame, which compiles to
    // vector code where two did not.
    const Pair loudest = {kLoudestSample, kLoudestSample};
    const PairMask magnitudeBits = {0x7FFFFFFFFFFFFFFFLL, 0x7FFFFFFFFFFFFFFFLL};
    for (int i = from; i < to; ++i) {
        const Pair x = {inL[i], inR[i]};
        Pair high, y;
        BiquadStep<BiquadKind::kHighPass>(c.hp, c.hm, x, high);
        BiquadStep<BiquadKind::kLowPass>(c.lp, c.lm, high, y);
        c.inRange &= (Pair)((PairMask)x & magnitudeBits) <= loudest;
        if (kKeepBand) {
            out.bandL[i] = y[0];
            out.bandR[i] = y[1];
        }
        // {y.l, x.l} + {y.r, x.r}: two shuffles and one sum (a + b is b + a,
        // bit for bit, so the order of the halves changes nothing).
#if defined(__clang__)
        const Pair mid =
            (__builtin_shufflevector(y, x, 0, 2) + __builtin_shufflevector(y, x, 1, 3)) * half;
#else
        const Pair mid =
            (__builtin_shuffle(y, x, PairMask{0, 2}) + __builtin_shuffle(y, x, PairMask{1, 3})) *
            half;
#endif
        FollowStep(c.levels, mid, attack, release);
        FollowStep(c.magnitudes, (Pair)((PairMask)mid & magnitudeBits), attack, release);
        out.bandEnv[i] = c.levels[0];
        out.fullEnv[i] = c.levels[1];
        out.bandMag[i] = c.magnitudes[0];
        out.fullMag[i] = c.magnitudes[1];
    }
    carried = c;
}

} // namespace

template <bool kKeepBand>
bool Detector::RunLoop(const double* inL, const double* inR, int frames) {
    const Outputs out{Buffer(mBandL),   Buffer(mBandR),   Buffer(mBandEnv),
                      Buffer(mFullEnv), Buffer(mBandMag), Buffer(mFullMag)};
    Carried c{Paired(mHighPassL.Coefs(), mHighPassR.Coefs()),
              Paired(mLowPassL.Coefs(), mLowPassR.Coefs()),
              Paired(mHighPassL.Memory(), mHighPassR.Memory()),
              Paired(mLowPassL.Memory(), mLowPassR.Memory()),
              Pair{mBandLevel, mFullLevel},
              Pair{mBandMagLevel, mFullMagLevel},
              PairMask{-1, -1}};
    const Pair attack = {mAttack, mAttack}, release = {mRelease, mRelease};
    const auto filter = [&](int from, int to) {
        DetectFrames<kKeepBand>(c, attack, release, inL, inR, out, from, to);
    };
    // While a cutoff glides, each frame gets the coefficients of its own step
    // (as Biquad::Tick does it); the rest of the block runs on fixed ones. The
    // steps are taken on copies: a pass that fails (input not finite) leaves the
    // sections as they were.
    int i = 0;
    std::optional<Sections> moved;
    if (mHighPassL.Gliding() || mHighPassR.Gliding() || mLowPassL.Gliding() ||
        mLowPassR.Gliding()) {
        moved.emplace(Sections{mHighPassL, mHighPassR, mLowPassL, mLowPassR});
        Sections& m = *moved;
        for (; i < frames && m.Gliding(); ++i) {
            Unpair(c.hm, m.highL, m.highR);
            Unpair(c.lm, m.lowL, m.lowR);
            m.Glide();
            c.hp = Paired(m.highL.Coefs(), m.highR.Coefs());
            c.lp = Paired(m.lowL.Coefs(), m.lowR.Coefs());
            c.hm = Paired(m.highL.Memory(), m.highR.Memory());
            c.lm = Paired(m.lowL.Memory(), m.lowR.Memory());
            filter(i, i + 1);
        }
    }
    filter(i, frames);
    const double band = c.levels[0], full = c.levels[1];
    const double bandM = c.magnitudes[0], fullM = c.magnitudes[1];
    if (!c.inRange[0] || !c.inRange[1] || !std::isfinite(band) || !std::isfinite(full) ||
        !std::isfinite(bandM) || !std::isfinite(fullM))
        return false;
    if (moved) {
        mHighPassL = moved->highL;
        mHighPassR = moved->highR;
        mLowPassL = moved->lowL;
        mLowPassR = moved->lowR;
    }
    Unpair(c.hm, mHighPassL, mHighPassR);
    Unpair(c.lm, mLowPassL, mLowPassR);
    for (Biquad* section : {static_cast<Biquad*>(&mLowPassL), static_cast<Biquad*>(&mLowPassR),
                            static_cast<Biquad*>(&mHighPassL), static_cast<Biquad*>(&mHighPassR)})
        section->FlushTinyMemory(kTinyLevel);
    mBandLevel = std::fabs(band) < kTinyLevel ? 0.0 : band;
    mFullLevel = std::fabs(full) < kTinyLevel ? 0.0 : full;
    mBandMagLevel = bandM < kTinyLevel ? 0.0 : bandM;
    mFullMagLevel = fullM < kTinyLevel ? 0.0 : fullM;
    return true;
}
