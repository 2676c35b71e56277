// Cost of KeloEffect::ProcessBlock in nanoseconds per stereo frame at 48 kHz,
// for blocks of 64, 512 and 4096 frames and these signals:
//   idle      - a noise floor at about -50 dBFS that never reaches the threshold;
//   drums     - a decaying noise burst every 250 ms (40 ms decay, every fourth
//               accented) over that floor, so envelopes keep starting;
//   tail      - one loud burst, then two seconds of digital silence: filter and
//               follower tails decay towards the denormal range;
//   drums moving - drums, with "lo freq" and "hi freq" jumping far every 5 ms
//               (at block ends), so the detector's cutoffs glide nearly always.
// Each benchmark iteration processes one block; the signal loops.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "effect/kelo.h"

namespace {

const double kRate = 48000.0;

// KeloEffect with a playing transport.
class BenchKelo : public KeloEffect {
public:
    explicit BenchKelo(int32_t block) : KeloEffect(InstanceInfo{nullptr, 0, 0}) {
        SetSampleRate(kRate);
        SetMaxBlock(block);
        NotifyAllParams();
    }
    int64_t TransportSample() override { return mPosition; }
    double TransportTempo() override { return 120.0; }
    int64_t mPosition = 0;
};

// Numerical Recipes LCG; uniform in [-1, 1) from the top 24 bits.
double Uniform(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return double(state >> 8) * (2.0 / 16777216.0) - 1.0;
}

enum Signal { kIdle, kDrums, kTail };

// Fills left and right with the signal, reproducible bit for bit.
void MakeSignal(Signal signal, std::vector<double>& left, std::vector<double>& right) {
    const size_t frames = size_t(4.0 * kRate);
    left.assign(frames, 0.0);
    right.assign(frames, 0.0);
    uint32_t sl = 0x1234567u, sr = 0x89abcdeu;
    const size_t period = size_t(0.25 * kRate + 0.5);
    const double decay = std::exp(-1.0 / (0.040 * kRate));
    const double floorAmp = signal == kTail ? 0.0 : 0.003;
    double env = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        if (signal == kDrums && i % period == 0)
            env = (i / period) % 4 == 0 ? 0.9 : 0.5;
        else if (signal == kTail && i == 0)
            env = 0.9;
        else
            env *= decay;
        // The tail signal stops dead after 100 ms: silence from then on.
        if (signal == kTail && i >= size_t(0.1 * kRate)) env = 0.0;
        left[i] = floorAmp * Uniform(sl) + env * Uniform(sl);
        right[i] = floorAmp * Uniform(sr) + env * Uniform(sr);
    }
}

// With moving, "lo freq" and "hi freq" take new values every 5 ms, so the
// detector's cutoffs glide all the time.
void ProcessBlock(benchmark::State& state, Signal signal, bool moving = false) {
    const int block = int(state.range(0));
    std::vector<double> left, right;
    MakeSignal(signal, left, right);
    std::vector<double> outL(static_cast<size_t>(block)), outR(static_cast<size_t>(block));
    BenchKelo fx(block);
    const size_t frames = left.size() - left.size() % size_t(block);
    size_t at = 0, lastMove = 0;
    int move = 0;
    for (auto _ : state) {
        if (moving && at - lastMove >= size_t(0.005 * kRate)) {
            lastMove = at;
            ++move;
            fx.HostParamChange(kParamLoFreq, move % 2 ? 0.9 : 0.05);
            fx.HostParamChange(kParamHiFreq, move % 2 ? 0.3 : 0.95);
        }
        double* in[2] = {&left[at], &right[at]};
        double* out[2] = {outL.data(), outR.data()};
        fx.ProcessBlock(in, out, block);
        benchmark::DoNotOptimize(outL.data());
        benchmark::DoNotOptimize(outR.data());
        benchmark::ClobberMemory();
        at += size_t(block);
        fx.mPosition += block;
        if (at >= frames) {
            at = lastMove = 0;
            fx.mPosition = 0;
        }
    }
    const double total = double(state.iterations()) * block;
    state.SetItemsProcessed(int64_t(total));
    state.counters["ns_per_frame"] =
        benchmark::Counter(total * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Idle(benchmark::State& state) {
    ProcessBlock(state, kIdle);
}
void Drums(benchmark::State& state) {
    ProcessBlock(state, kDrums);
}
void Tail(benchmark::State& state) {
    ProcessBlock(state, kTail);
}
void DrumsMoving(benchmark::State& state) {
    ProcessBlock(state, kDrums, true);
}

} // namespace

// Wall-clock time, as the floor benchmark measures: on a shared machine the
// process's CPU time leaves out the time it waited, and compares low.
BENCHMARK(Idle)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime();
BENCHMARK(Drums)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime();
BENCHMARK(Tail)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime();
BENCHMARK(DrumsMoving)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime();

BENCHMARK_MAIN();
