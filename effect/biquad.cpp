#include "effect/biquad.h"

#include <cmath>
#include <initializer_list>

namespace {
const double kPi = 3.141592653589793;
// The cutoff used for the coefficients stops just short of half the rate (the
// section is stable anywhere, but the tangent grows without bound there), as
// it always has: rates below 44100 Hz keep the sound they had. Rates of 44100
// Hz and more never reach it.
const double kMaxCutoffOfRate = 0.499;
// The cutoffs a section takes.
const double kMinCutoff = 1.0;
const double kMaxCutoff = 22000.0;
// A moving g crosses the whole range, from the lowest cutoff to the highest,
// in this time.
const double kGlideSeconds = 0.005;

// g of a cutoff at rate, the cutoff kept below half the rate.
double GOf(double cutoff, double rate) {
    if (cutoff > rate * kMaxCutoffOfRate) cutoff = rate * kMaxCutoffOfRate;
    double g = std::tan(kPi * cutoff / rate);
    RoundToDouble(g);
    return g;
}
} // namespace

Biquad::Biquad(BiquadKind kind) : mKind(kind) {
    SetSampleRate(mRate);
}

void Biquad::SetSampleRate(double rate) {
    if (!(rate > 0.0) || !std::isfinite(rate)) return;
    mRate = rate;
    mGlideRatio =
        std::pow(GOf(kMaxCutoff, rate) / GOf(kMinCutoff, rate), 1.0 / (kGlideSeconds * rate));
    // A ratio of 1 would never arrive; no rate the effect runs at comes near.
    if (!(mGlideRatio > 1.0 + 1e-9)) mGlideRatio = 1.0 + 1e-9;
    mTargetG = GOf(mCutoff, rate);
    ClearMemory();
    UseG(mTargetG);
}

void Biquad::SetFreq(double freq) {
    double f = freq;
    // NaN goes to the lower bound like any other value below it.
    if (!(f >= kMinCutoff)) f = kMinCutoff;
    if (f > kMaxCutoff) f = kMaxCutoff;
    if (f == mCutoff) return;
    mCutoff = f;
    mTargetG = GOf(f, mRate);
    const BiquadMemory& m = mMemory;
    if (m.s1 == 0.0 && m.s2 == 0.0 && m.band == 0.0 && m.low == 0.0) UseG(mTargetG);
}

bool Biquad::Glide() {
    if (!Gliding()) return false;
    const double up = mG * mGlideRatio, down = mG / mGlideRatio;
    double g = mTargetG > up ? up : mTargetG < down ? down : mTargetG;
    RoundToDouble(g);
    UseG(g);
    return Gliding();
}

double Biquad::Tick(double x) {
    if (Gliding()) Glide();
    double y;
    if (mKind == BiquadKind::kLowPass)
        BiquadStep<BiquadKind::kLowPass>(mCoefs, mMemory, x, y);
    else
        BiquadStep<BiquadKind::kHighPass>(mCoefs, mMemory, x, y);
    return y;
}

void Biquad::FlushTinyMemory(double tiny) {
    for (double* v : {&mMemory.s1, &mMemory.s2, &mMemory.band, &mMemory.low})
        if (std::fabs(*v) < tiny) *v = 0.0;
}

void Biquad::UseG(double g) {
    // The same state v, with its rate of change weighted by the new g.
    if (mG > 0.0 && g != mG) {
        const double r = g / mG;
        BiquadMemory& m = mMemory;
        m.s1 = m.band + r * (m.s1 - m.band);
        m.s2 = m.low + r * (m.s2 - m.low);
        RoundToDouble(m.s1);
        RoundToDouble(m.s2);
    }
    mG = g;
    const double d = 1.0 / (1.0 + g * (g + kButterworthDamping));
    mCoefs.d = d;
    mCoefs.gd = g * d;
    mCoefs.ggd = g * g * d;
}
