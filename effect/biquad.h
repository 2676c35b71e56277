// Second-order filter sections (direct form I) for the band detector.
#pragma once

#include "base/round_double.h"

// Coefficients divided by a0, and the memory of one section. The audio path
// copies both into locals for a block, so that several sections and the level
// followers can share one loop. T is double, or a vector of doubles that runs
// several sections side by side.
template <typename T>
struct BiquadCoefsOf {
    T b0, b1, b2, a1, a2;
};
template <typename T>
struct BiquadMemoryOf {
    T x1, x2, y1, y2;
};
using BiquadCoefs = BiquadCoefsOf<double>;
using BiquadMemory = BiquadMemoryOf<double>;

// Filters one sample x through a section into y:
// y = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2. Samples go by reference, so vector
// types pass the same way on targets without vector registers. Samples enter
// and leave the memory as doubles (see RoundToDouble): a section stepped in a
// loop and one ticked sample by sample stay equal, wherever a block ends.
template <typename T>
inline void BiquadStep(const BiquadCoefsOf<T>& c, BiquadMemoryOf<T>& m, const T& x, T& y) {
    T in = x;
    RoundToDouble(in);
    y = c.b0 * in + c.b1 * m.x1 + c.b2 * m.x2 - c.a1 * m.y1 - c.a2 * m.y2;
    RoundToDouble(y);
    m.x2 = m.x1;
    m.x1 = in;
    m.y2 = m.y1;
    m.y1 = y;
}

class Biquad {
public:
    Biquad();
    virtual ~Biquad() = default;

    // Sets the sample rate (Hz), recomputes the coefficients and clears the memory.
    // The cutoff is kept as it is. A rate that is not a positive finite number is
    // ignored.
    void SetSampleRate(double rate);
    // Sets the cutoff (Hz), clamped to [1, 22000]; the coefficients follow any
    // change (the memory is kept). Small changes count too: otherwise the cutoff
    // would depend on the values set before, not only on the last one.
    void SetFreq(double freq);
    // Filters one sample.
    double Tick(double x);
    // Clears the memory of the last two inputs and outputs.
    void ClearMemory() { SetMemory(BiquadMemory{0.0, 0.0, 0.0, 0.0}); }
    // Sets memory values smaller than tiny in magnitude to 0, so that a decaying
    // tail ends in exact zeros instead of running into denormal numbers.
    void FlushTinyMemory(double tiny);

    BiquadCoefs Coefs() const { return BiquadCoefs{mB0, mB1, mB2, mA1, mA2}; }
    BiquadMemory Memory() const { return BiquadMemory{mX1, mX2, mY1, mY2}; }
    void SetMemory(const BiquadMemory& m);
    double Rate() const { return mRate; }
    double Cutoff() const { return mCutoff; }

protected:
    // Computes the coefficients from mRate, mCutoff and mQ; each kind fills in its
    // numerator from the shared denominator terms.
    virtual void ComputeCoefs() = 0;
    // Shared part: returns cos w and sets mA0, mA1, mA2.
    double ComputeDenominator();

    double mRate = 44100.0;
    double mNyquist = 22050.0; // never changed, whatever the rate
    double mCutoff = 1.0;
    double mQ;
    double mA0 = 1.0, mA1 = 0.0, mA2 = 0.0;
    double mB0 = 1.0, mB1 = 0.0, mB2 = 0.0;
    double mX1 = 0.0, mX2 = 0.0, mY1 = 0.0, mY2 = 0.0;
};

class LowPass : public Biquad {
public:
    LowPass() { ComputeCoefs(); }

protected:
    void ComputeCoefs() override;
};

class HighPass : public Biquad {
public:
    HighPass() { ComputeCoefs(); }

protected:
    void ComputeCoefs() override;
};
