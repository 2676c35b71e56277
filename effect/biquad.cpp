#include "effect/biquad.h"

#include <cmath>

namespace {
const double kTwoPi = 6.283185307179586;
// Above this fraction of the sample rate the bilinear sections turn unstable
// (their pole radius passes 1), so the cutoff used for the coefficients stops
// just short of half the rate. Rates of 44100 Hz and more never reach it.
const double kMaxCutoffOfRate = 0.499;
} // namespace

Biquad::Biquad() : mQ(1.0 / std::sqrt(2.0)) {}

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
    if (f != mCutoff) {
        mCutoff = f;
        ComputeCoefs();
    }
}

double Biquad::Tick(double x) {
    BiquadMemory m = Memory();
    double y;
    BiquadStep(Coefs(), m, x, y);
    SetMemory(m);
    return y;
}

void Biquad::SetMemory(const BiquadMemory& m) {
    mX1 = m.x1;
    mX2 = m.x2;
    mY1 = m.y1;
    mY2 = m.y2;
}

void Biquad::FlushTinyMemory(double tiny) {
    double* memory[] = {&mX1, &mX2, &mY1, &mY2};
    for (double* v : memory)
        if (std::fabs(*v) < tiny) *v = 0.0;
}

double Biquad::ComputeDenominator() {
    double cutoff = mCutoff;
    if (cutoff > mRate * kMaxCutoffOfRate) cutoff = mRate * kMaxCutoffOfRate;
    double w = kTwoPi * cutoff / mRate;
    double c = std::cos(w);
    double alpha = std::sin(w) / (2.0 * mQ);
    mA0 = 1.0 + alpha;
    mA1 = -2.0 * c / mA0;
    mA2 = (1.0 - alpha) / mA0;
    return c;
}

void LowPass::ComputeCoefs() {
    double c = ComputeDenominator();
    mB0 = mB2 = ((1.0 - c) / 2.0) / mA0;
    mB1 = (1.0 - c) / mA0;
}

void HighPass::ComputeCoefs() {
    double c = ComputeDenominator();
    mB0 = mB2 = ((1.0 + c) / 2.0) / mA0;
    mB1 = -(1.0 + c) / mA0;
}
