// Fuzz target: arbitrary bytes read as an automation sequence played against a
// drum-like signal. Whatever the sequence (rate, block sizes, any parameter set
// to any normalized value, NaN and infinities included, from the host or the
// editor), no output sample may exceed four times the larger of the input's
// peak so far and the shape's highest level.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "effect/kelo.h"

EffectBase* CreateEffectInstance(const InstanceInfo& instance) {
    return new KeloEffect(instance);
}

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// KeloEffect with a transport that plays on.
class FuzzKelo : public KeloEffect {
public:
    explicit FuzzKelo(double rate) : KeloEffect(InstanceInfo{nullptr, 0, 0}) {
        SetSampleRate(rate);
        SetMaxBlock(kMaxBlock);
        NotifyAllParams();
    }
    int64_t TransportSample() override { return mPosition; }
    double TransportTempo() override { return 120.0; }
    static const int kMaxBlock = 4096;
    int64_t mPosition = 0;
};

// Reads the fuzzer's bytes in order; past the end everything reads as 0.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : mData(data), mSize(size) {}
    bool More() const { return mAt < mSize; }
    uint8_t Byte() { return mAt < mSize ? mData[mAt++] : 0; }
    uint16_t Word() { return uint16_t(Byte() | (Byte() << 8)); }

private:
    const uint8_t* mData;
    size_t mSize, mAt = 0;
};

// A normalized value from one byte: 0..1 in 247 steps (both ends exact), or
// one of the values hosts should not send.
double NormalizedOf(uint8_t code) {
    const double inf = std::numeric_limits<double>::infinity();
    const double odd[] = {-1.0,    2.0,        std::numeric_limits<double>::quiet_NaN(),
                          inf,     -inf,       1e-300,
                          -1e-300, 1.0 + 1e-15};
    if (code >= 248) return odd[code - 248];
    return code / 247.0;
}

// Hits of noise and a falling tone every 120 ms over a low hum, peak below 1.
double DrumLike(uint32_t& noise, int64_t i, double rate) {
    const double pi = 3.141592653589793;
    noise = noise * 1664525u + 1013904223u;
    const double white = double(noise >> 8) / 8388608.0 - 1.0;
    const double t = double(i) / rate, since = std::fmod(t, 0.12);
    const double tone = std::sin(2 * pi * (50.0 + 120.0 * std::exp(-since / 0.02)) * since);
    return std::exp(-since / 0.03) * (0.45 * tone + 0.3 * white) + 0.2 * std::sin(2 * pi * 7 * t);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const double kRates[] = {8000.0, 22050.0, 44100.0, 96000.0, 192000.0, 384000.0};
    // One effect per rate, made once (making one costs far more than a run),
    // put back into its first state before each run: values and shape loaded,
    // detector, filters and envelope reset.
    static FuzzKelo* effects[6];
    static ByteBlock firstState[6];
    Bytes bytes(data, size);
    const int which = bytes.Byte() % 6;
    const double rate = kRates[which];
    if (!effects[which]) {
        effects[which] = new FuzzKelo(rate);
        Require(effects[which]->SaveState(&firstState[which]));
    }
    FuzzKelo& fx = *effects[which];
    Require(fx.LoadState(&firstState[which]));
    fx.NotifyAllParams();
    fx.ResetProcessing();
    fx.mPosition = 0;
    static std::vector<double> inL(FuzzKelo::kMaxBlock), inR(FuzzKelo::kMaxBlock),
        outL(FuzzKelo::kMaxBlock), outR(FuzzKelo::kMaxBlock);
    uint32_t noise = 0x2545F491u;
    double inPeak = 0.0, shapePeak = 0.0;
    // At most a second of audio per input, so that runs stay quick.
    const int64_t total = int64_t(rate);
    while (bytes.More() && fx.mPosition < total) {
        // A record: block size, a mask of the parameters set, their values.
        const int frames = 1 + bytes.Word() % FuzzKelo::kMaxBlock;
        const uint16_t mask = bytes.Word();
        for (int32_t p = 0; p < kParamCount; ++p) {
            if (!(mask & (1u << p))) continue;
            const double value = NormalizedOf(bytes.Byte());
            if (mask & 0x8000u)
                fx.EditorParamChange(p, value);
            else
                fx.HostParamChange(p, value);
        }
        const EnvelopeShape& shape = fx.ShapeInUse();
        for (int i = 0; i < EnvelopeShape::kPoints; ++i)
            shapePeak = std::max(shapePeak, std::fabs(shape.Y(i)));
        for (int i = 0; i < frames; ++i)
            inL[size_t(i)] = inR[size_t(i)] = DrumLike(noise, fx.mPosition + i, rate);
        double* in[2] = {inL.data(), inR.data()};
        double* out[2] = {outL.data(), outR.data()};
        fx.ProcessBlock(in, out, frames);
        for (int i = 0; i < frames; ++i) {
            inPeak = std::max(inPeak, std::fabs(inL[size_t(i)]));
            const double bound = 4.0 * std::max(inPeak, shapePeak);
            // NaN fails both comparisons.
            Require(std::fabs(outL[size_t(i)]) <= bound && std::fabs(outR[size_t(i)]) <= bound);
        }
        fx.mPosition += frames;
    }
    return 0;
}
