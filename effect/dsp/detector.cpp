// Lanes: the loop carries everything in pairs of doubles, `Pair`, one vector
// register (SSE2) where the target has them and two plain doubles elsewhere.
// - The sections: a pair is {left, right}. The high-pass and the low-pass of
//   both channels step as two paired sections, coefficients and memories
//   paired the same way (BiquadCoefsOf<Pair>, BiquadMemoryOf<Pair>).
// - The followers: a pair is {band, full}, the mids of the band (y) and of
//   the input (x), (y.r + y.l) / 2 and (x.r + x.l) / 2 formed as one pair
//   sum; the signed followers and the magnitude followers (the same pair with
//   its sign bits cleared) share one attack and one release coefficient.
// Every lane computes exactly what the scalar code would (the same operations
// in the same order, IEEE doubles), so the result does not depend on whether
// pairs are vectors. Range checks (a sample beyond kLoudestSample, NaN) gather
// as lane masks beside the recursions and are read once per block.
#include "effect/dsp/detector.h"

#include <cmath>
#include <initializer_list>
#include <optional>

#include "effect/level_follower.h"

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

bool Detector::Run(const double* inL, const double* inR, int frames, bool keepBand) {
    return keepBand ? RunLoop<true>(inL, inR, frames) : RunLoop<false>(inL, inR, frames);
}

template <bool kKeepBand>
bool Detector::RunLoop(const double* inL, const double* inR, int frames) {
    double* bandL = Buffer(mBandL);
    double* bandR = Buffer(mBandR);
    double* bandEnv = Buffer(mBandEnv);
    double* fullEnv = Buffer(mFullEnv);
    double* bandMag = Buffer(mBandMag);
    double* fullMag = Buffer(mFullMag);
    // Everything the loop carries lives in locals (the buffers could alias the
    // members, which would force a store and reload on every sample).
    BiquadCoefsOf<Pair> hp = Paired(mHighPassL.Coefs(), mHighPassR.Coefs());
    BiquadCoefsOf<Pair> lp = Paired(mLowPassL.Coefs(), mLowPassR.Coefs());
    BiquadMemoryOf<Pair> hm = Paired(mHighPassL.Memory(), mHighPassR.Memory());
    BiquadMemoryOf<Pair> lm = Paired(mLowPassL.Memory(), mLowPassR.Memory());
    const Pair attack = {mAttack, mAttack}, release = {mRelease, mRelease};
    const Pair half = {0.5, 0.5};
    Pair levels = {mBandLevel, mFullLevel};
    Pair magnitudes = {mBandMagLevel, mFullMagLevel};
    // Samples beyond kLoudestSample are found by comparison (NaN fails it),
    // not by letting the sums overflow: x87 code keeps intermediates in a
    // wider exponent range, where they would not. The magnitude is the sample
    // with its sign bit cleared: one comparison per frame, which compiles to
    // vector code where two did not.
    const Pair loudest = {kLoudestSample, kLoudestSample};
    const PairMask magnitudeBits = {0x7FFFFFFFFFFFFFFFLL, 0x7FFFFFFFFFFFFFFFLL};
    PairMask inRange = {-1, -1};
    const auto filter = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            const Pair x = {inL[i], inR[i]};
            Pair high, y;
            BiquadStep<BiquadKind::kHighPass>(hp, hm, x, high);
            BiquadStep<BiquadKind::kLowPass>(lp, lm, high, y);
            inRange &= (Pair)((PairMask)x & magnitudeBits) <= loudest;
            if (kKeepBand) {
                bandL[i] = y[0];
                bandR[i] = y[1];
            }
            const Pair mid = (Pair{y[1], x[1]} + Pair{y[0], x[0]}) * half;
            FollowLevelStep(levels, mid, attack, release);
            FollowLevelStep(magnitudes, (Pair)((PairMask)mid & magnitudeBits), attack, release);
            bandEnv[i] = levels[0];
            fullEnv[i] = levels[1];
            bandMag[i] = magnitudes[0];
            fullMag[i] = magnitudes[1];
        }
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
            Unpair(hm, m.highL, m.highR);
            Unpair(lm, m.lowL, m.lowR);
            m.Glide();
            hp = Paired(m.highL.Coefs(), m.highR.Coefs());
            lp = Paired(m.lowL.Coefs(), m.lowR.Coefs());
            hm = Paired(m.highL.Memory(), m.highR.Memory());
            lm = Paired(m.lowL.Memory(), m.lowR.Memory());
            filter(i, i + 1);
        }
    }
    filter(i, frames);
    const double band = levels[0], full = levels[1];
    const double bandM = magnitudes[0], fullM = magnitudes[1];
    if (!inRange[0] || !inRange[1] || !std::isfinite(band) || !std::isfinite(full) ||
        !std::isfinite(bandM) || !std::isfinite(fullM))
        return false;
    if (moved) {
        mHighPassL = moved->highL;
        mHighPassR = moved->highR;
        mLowPassL = moved->lowL;
        mLowPassR = moved->lowR;
    }
    Unpair(hm, mHighPassL, mHighPassR);
    Unpair(lm, mLowPassL, mLowPassR);
    for (Biquad* section : {static_cast<Biquad*>(&mLowPassL), static_cast<Biquad*>(&mLowPassR),
                            static_cast<Biquad*>(&mHighPassL), static_cast<Biquad*>(&mHighPassR)})
        section->FlushTinyMemory(kTinyLevel);
    mBandLevel = std::fabs(band) < kTinyLevel ? 0.0 : band;
    mFullLevel = std::fabs(full) < kTinyLevel ? 0.0 : full;
    mBandMagLevel = bandM < kTinyLevel ? 0.0 : bandM;
    mFullMagLevel = fullM < kTinyLevel ? 0.0 : fullM;
    return true;
}
