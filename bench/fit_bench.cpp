// Cost of autofit (KeloEffect::AutoFit: the shape fitted to the recorded
// event) in milliseconds, for a synthetic kick - a 55 Hz tone falling by e
// every 80 ms under a 3 ms click, stereo with the sides a little apart - heard
// through an envelope of 0.2 s at 48 kHz and of 1 s at 48 and 96 kHz.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "effect/kelo.h"
#include "effect/kelo_params.h"

namespace {

class BenchKelo : public KeloEffect {
public:
    BenchKelo(double rate, int32_t block) : KeloEffect(InstanceInfo{nullptr, 0, 0}) {
        SetSampleRate(rate);
        SetMaxBlock(block);
        NotifyAllParams();
    }
    int64_t TransportSample() override { return mPosition; }
    double TransportTempo() override { return 120.0; }
    void Set(int index, double value) {
        ParamAt(index)->SetClampedValue(value);
        ParamChanged(index);
    }
    int64_t mPosition = 0;
};

void Fit(benchmark::State& state) {
    const double rate = double(state.range(0)), envTime = double(state.range(1)) / 1000.0;
    const int block = 512;
    BenchKelo fx(rate, block);
    fx.Set(kParamStrength, 1.0);
    fx.Set(kParamEnvTime, envTime);
    fx.Set(kParamThreshold, -24.0);
    fx.ResetProcessing();
    const size_t frames = size_t((envTime + 0.2) * rate), at = size_t(0.01 * rate);
    std::vector<double> l(frames, 0.0), r(frames, 0.0), outL(frames), outR(frames);
    uint32_t noise = 0x2468aceu;
    for (size_t i = at; i < frames; ++i) {
        const double t = double(i - at) / rate;
        noise = noise * 1664525u + 1013904223u;
        const double click = std::exp(-t / 0.003) * (double(noise >> 8) / 8388608.0 - 1.0);
        const double body = std::exp(-t / 0.08) * std::sin(2.0 * 3.141592653589793 * 55.0 * t);
        l[i] = 0.6 * body + 0.3 * click;
        r[i] = 0.55 * body + 0.3 * click * std::cos(t * 400.0);
    }
    for (size_t i = 0; i < frames; i += block) {
        const int n = int(frames - i < size_t(block) ? frames - i : size_t(block));
        double* in[2] = {&l[i], &r[i]};
        double* out[2] = {&outL[i], &outR[i]};
        fx.ProcessBlock(in, out, n);
        fx.mPosition += n;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(fx.AutoFit());
}

} // namespace

// (rate in Hz, envelope in ms)
BENCHMARK(Fit)
    ->Args({48000, 200})
    ->Args({48000, 1000})
    ->Args({96000, 1000})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
