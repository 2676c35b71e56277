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
} // namespace

Biquad::Biquad(double mixX, double mixBand, double mixLow) {
    mCoefs.mixX = mixX;
    mCoefs.mixBand = mixBand;
    mCoefs.mixLow = mixLow;
    ComputeCoefs();
}

void Biquad::SetSampleRate(double rate) {
    if (!(rate > 0.0) || !std::isfinite(rate)) return;
    mRate = rate;
    ComputeCoefs();
    ClearMemory();
}

void Biquad::SetFreq(double freq) {
    double f = freq;
    // NaN goes to the lower bound like any other value below it.
    if (!(f >= 1.0)) f = 1.0;
    if (f > mNyquist - 50.0) f = mNyquist - 50.0;
    if (f == mCutoff) return;
    mCutoff = f;
    const double before = mG;
    ComputeCoefs();
    if (mG == before) return;
    // The same state, v, with its rate of change weighted by the new g.
    const double r = mG / before;
    BiquadMemory& m = mMemory;
    m.s1 = m.band + r * (m.s1 - m.band);
    m.s2 = m.low + r * (m.s2 - m.low);
    RoundToDouble(m.s1);
    RoundToDouble(m.s2);
}

double Biquad::Tick(double x) {
    double y;
    BiquadStep(mCoefs, mMemory, x, y);
    return y;
}

void Biquad::FlushTinyMemory(double tiny) {
    for (double* v : {&mMemory.s1, &mMemory.s2, &mMemory.band, &mMemory.low})
        if (std::fabs(*v) < tiny) *v = 0.0;
}

void Biquad::ComputeCoefs() {
    double cutoff = mCutoff;
    if (cutoff > mRate * kMaxCutoffOfRate) cutoff = mRate * kMaxCutoffOfRate;
    double g = std::tan(kPi * cutoff / mRate);
    RoundToDouble(g);
    mG = g;
    const double d = 1.0 / (1.0 + g * (g + kButterworthDamping));
    mCoefs.d = d;
    mCoefs.gd = g * d;
    mCoefs.ggd = g * g * d;
}
