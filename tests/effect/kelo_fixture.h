// A Kelo effect driven directly, with a transport the test controls, and the
// signals the tests feed it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "effect/kelo.h"
#include "effect/ui/kelo_plugin.h"

// The effect (KeloPlugin: with its editor; KeloEffect: alone) with its host
// transport replaced: the position advances by the frames of every block
// unless the test stops it.
template <typename Base>
class TestEffectOf : public Base {
public:
    using Base::NotifyAllParams;
    using Base::ParamAt;
    using Base::ParamChanged;
    using Base::ProcessBlock;
    explicit TestEffectOf(double rate = 48000.0, int32_t maxBlock = 1024)
        : Base(InstanceInfo{nullptr, 0, 0}) {
        // As a host adapter starts an effect: both channels connected.
        this->SetInputsConnected(0, this->InputCount(), true);
        this->SetOutputsConnected(0, this->OutputCount(), true);
        this->SetSampleRate(rate);
        this->SetMaxBlock(maxBlock);
        NotifyAllParams();
    }

    // Like a host's position: the frame's sub-blocks of a long host block start
    // further on.
    int64_t TransportSample() override { return mPosition + this->BlockOffset(); }
    double TransportTempo() override { return 120.0; }

    // Sets a parameter's real value and lets the effect hear of it, as a host
    // thread off the audio road does: what the change put off (an autofit) is
    // done before it returns.
    void Set(int32_t index, double value) {
        ParamAt(index)->SetClampedValue(value);
        ParamChanged(index);
        this->ServeDeferredWork();
    }

    // Processes one block and advances the transport (unless stopped).
    void Block(const double* inL, const double* inR, double* outL, double* outR, int frames) {
        double* in[2] = {const_cast<double*>(inL), const_cast<double*>(inR)};
        double* out[2] = {outL, outR};
        ProcessBlock(in, out, frames);
        if (mPlaying) mPosition += frames;
    }

    int64_t mPosition = 0;
    bool mPlaying = true;
};
using TestKelo = TestEffectOf<KeloPlugin>;
using TestCore = TestEffectOf<KeloEffect>;

struct Stereo {
    std::vector<double> l, r;
    explicit Stereo(size_t n = 0) : l(n, 0.0), r(n, 0.0) {}
    size_t size() const { return l.size(); }
};

// Runs the whole signal through fx in blocks of the given size.
template <typename Effect>
Stereo RunBlocks(Effect& fx, const Stereo& in, int block) {
    Stereo out(in.size());
    for (size_t i = 0; i < in.size(); i += block) {
        int n = int(in.size() - i < size_t(block) ? in.size() - i : size_t(block));
        fx.Block(&in.l[i], &in.r[i], &out.l[i], &out.r[i], n);
    }
    return out;
}

// A sine burst of amplitude amp and freq Hz from frame start for length frames,
// the same on both channels, added to s.
inline void AddBurst(Stereo& s, double rate, double freq, double amp, size_t start, size_t length) {
    for (size_t i = start; i < start + length && i < s.size(); ++i) {
        double v = amp * std::sin(2.0 * 3.141592653589793 * freq * double(i - start) / rate);
        s.l[i] += v;
        s.r[i] += v;
    }
}

// The largest sample magnitude of either channel. The output's bound is four
// times the larger of this (for the input) and ShapePeak.
inline double Peak(const Stereo& s) {
    double peak = 0.0;
    for (size_t i = 0; i < s.size(); ++i)
        peak = std::max(peak, std::max(std::fabs(s.l[i]), std::fabs(s.r[i])));
    return peak;
}

// The shape's highest level.
inline double ShapePeak(const EnvelopeShape& shape) {
    double peak = 0.0;
    for (int i = 0; i < EnvelopeShape::kPoints; ++i)
        peak = std::max(peak, std::fabs(shape.Y(i)));
    return peak;
}
