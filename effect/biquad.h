// Second-order Butterworth sections for the band detector, as trapezoidal
// state-variable filters.
//
// The analog prototype is the state-variable filter
//     band' = w (x - k band - low),   low' = w band,
//     high  = x - k band - low,
// with w = 2 pi cutoff and k = 1/Q = sqrt 2 (Butterworth). Its low and high
// outputs are 1 / (s^2 + k s + 1) and s^2 / (s^2 + k s + 1) in s/w.
//
// Each integrator is discretized with the trapezoidal rule, its step prewarped
// so that the cutoff lands where the analog one is: g = tan(pi cutoff / rate).
// Solving the two integrators' equations for the current sample gives, with
// the memories s1 (band) and s2 (low),
//     band = d s1 + g d (x - s2),             d = 1 / (1 + g (g + k)),
//     low  = s2 + g d s1 + g g d (x - s2),
//     s1' = 2 band - s1,   s2' = 2 low - s2,
// and the output is low for the low-pass, x - k band - low for the high-pass.
// With fixed settings these are the bilinear transforms of the prototype, the
// same transfer functions as the textbook direct-form biquads with
// cos w = (1 - g^2) / (1 + g^2), sin w = 2g / (1 + g^2).
//
// Why this form: the cutoff moves while audio plays ("lo freq" and "hi freq"
// under automation). For the analog prototype a moving w only rescales time:
// its state (band, low) carries on unchanged and stays as bounded as with a
// fixed cutoff. The discrete section follows that as closely as it can:
// - Its memories are s = v + g v', v = (band, low), v' = (x - k band - low,
//   band): the state plus g times its rate of change at the last sample. A new
//   g keeps v and v' and only changes the weight, s becomes v + (g_new / g_old)
//   (s - v): the trapezoidal rule with a step that changes length. Keeping s as
//   it is would read it as another state: near half the rate g is in the
//   hundreds, s holds hundreds of times the input's fast wiggles, and a jump to
//   a low cutoff turns them into a step of several times the input.
// - g glides: it moves by a factor of at most GlideRatio per sample, so that
//   it crosses the whole range (1 Hz to 22 kHz, or to just below half the
//   rate) in 5 ms; a section at rest takes a new cutoff at once. The
//   trapezoidal rule with steps that jump by large factors from sample to
//   sample can pump energy in (random cutoffs every few samples drove random
//   input to 56 times its level); with the glide the worst seen is 3.2 times,
//   against 3.4 for the worst fixed settings.
// - With fixed g and the input silent the memories never grow: they follow
//   s' = (I - g A)^-1 (I + g A) s, A = [-k -1; 1 0], and A + A^T <= 0 makes
//   that map shorten or keep any vector.
// A direct form keeps past outputs as its memory instead; new coefficients near
// 0 Hz applied to the outputs of old ones multiply them without bound.
// While the cutoffs stay, nothing is spent on moving them; a glide costs one
// division per sample and section, and the block loop taking it frame by
// frame, while it lasts.
#pragma once

#include "base/round_double.h"

// k = 1/Q of a Butterworth section, sqrt 2.
constexpr double kButterworthDamping = 1.4142135623730951;

// The coefficients of one section and its memory. The audio path copies both
// into locals for a block, so that several sections and the level followers
// can share one loop. T is double, or a vector of doubles that runs several
// sections side by side.
template <typename T>
struct BiquadCoefsOf {
    T d, gd, ggd;
};
template <typename T>
struct BiquadMemoryOf {
    T s1, s2;    // the memories
    T band, low; // the state at the last sample
};
using BiquadCoefs = BiquadCoefsOf<double>;
using BiquadMemory = BiquadMemoryOf<double>;

// Which output a section gives: low, or x - k band - low.
enum class BiquadKind { kLowPass, kHighPass };

// Filters one sample x through a section into y. Samples go by reference, so
// vector types pass the same way on targets without vector registers. Samples
// enter and leave the memory as doubles (see RoundToDouble): a section stepped
// in a loop and one ticked sample by sample stay equal, wherever a block ends.
template <BiquadKind kKind, typename T>
inline void BiquadStep(const BiquadCoefsOf<T>& c, BiquadMemoryOf<T>& m, const T& x, T& y) {
    T in = x;
    RoundToDouble(in);
    const T v = in - m.s2;
    T band = c.d * m.s1 + c.gd * v;
    T low = m.s2 + c.gd * m.s1 + c.ggd * v;
    RoundToDouble(band);
    RoundToDouble(low);
    if (kKind == BiquadKind::kLowPass)
        y = low;
    else
        y = in - kButterworthDamping * band - low;
    RoundToDouble(y);
    m.s1 = band + band - m.s1;
    m.s2 = low + low - m.s2;
    RoundToDouble(m.s1);
    RoundToDouble(m.s2);
    m.band = band;
    m.low = low;
}

class Biquad {
public:
    virtual ~Biquad() = default;

    // Sets the sample rate (Hz), recomputes the coefficients and clears the memory.
    // The cutoff is kept as it is, and is in use at once. A rate that is not a
    // positive finite number is ignored.
    void SetSampleRate(double rate);
    // Sets the cutoff (Hz), clamped to [1, 22000]. A section at rest (its memory
    // all zeros) uses it at once; otherwise g glides there, one step per sample
    // (see Glide). Small changes count too: otherwise the cutoff would depend on
    // the values set before, not only on the last one.
    void SetFreq(double freq);
    // True while g has not reached the cutoff set.
    bool Gliding() const { return mG != mTargetG; }
    // Moves g one sample's step towards the cutoff set (a factor of at most
    // GlideRatio), recomputing the coefficients and reweighting the memories for
    // it. Returns Gliding() after the step.
    bool Glide();
    // Filters one sample (a gliding section takes its step first).
    double Tick(double x);
    // Clears the memory.
    void ClearMemory() { SetMemory(BiquadMemory{0.0, 0.0, 0.0, 0.0}); }
    // Sets memory values smaller than tiny in magnitude to 0, so that a decaying
    // tail ends in exact zeros instead of running into denormal numbers.
    void FlushTinyMemory(double tiny);

    BiquadCoefs Coefs() const { return mCoefs; }
    BiquadMemory Memory() const { return mMemory; }
    void SetMemory(const BiquadMemory& m) { mMemory = m; }
    double Rate() const { return mRate; }
    // The cutoff set (g may still be gliding towards it).
    double Cutoff() const { return mCutoff; }
    // The largest factor g moves by in one sample at this rate.
    double GlideRatio() const { return mGlideRatio; }

protected:
    explicit Biquad(BiquadKind kind);

private:
    // Puts g in use: coefficients from it, memories reweighted from the g before.
    void UseG(double g);

    BiquadKind mKind;
    double mRate = 44100.0;
    double mCutoff = 1.0;
    double mTargetG = 0.0;    // tan(pi cutoff / rate), cutoff as clamped for the rate
    double mG = 0.0;          // the g in use
    double mGlideRatio = 1.0; // see GlideRatio
    BiquadCoefs mCoefs{};
    BiquadMemory mMemory{0.0, 0.0, 0.0, 0.0};
};

class LowPass : public Biquad {
public:
    LowPass() : Biquad(BiquadKind::kLowPass) {}
};

class HighPass : public Biquad {
public:
    HighPass() : Biquad(BiquadKind::kHighPass) {}
};
