// Throughput of the blitter's main paths in megapixels per second, beside a
// plain memcpy of the same bytes as the ceiling.
#include <benchmark/benchmark.h>

#include <cstring>

#include "draw/bitmap.h"
#include "draw/blit.h"

namespace {

constexpr int kWidth = 675;
constexpr int kHeight = 619;

// Source and destination of the editor's size with varied pixels.
struct Surfaces {
    HeapBitmap src{kWidth, kHeight};
    HeapBitmap dst{kWidth, kHeight};
    Surfaces() {
        uint32_t state = 1;
        uint32_t* s = src.Pixels();
        for (int i = 0; i < kWidth * kHeight; ++i)
            s[i] = state = state * 1664525u + 1013904223u;
        std::memset(dst.Pixels(), 0x40, size_t(kWidth) * kHeight * 4);
    }
};

void Report(benchmark::State& state, int64_t pixelsPerIteration) {
    state.counters["Mpix/s"] = benchmark::Counter(double(pixelsPerIteration) * 1e-6,
                                                  benchmark::Counter::kIsIterationInvariantRate);
    state.SetBytesProcessed(state.iterations() * pixelsPerIteration * 4);
}

void MemcpyCeiling(benchmark::State& state) {
    Surfaces s;
    for (auto _ : state) {
        std::memcpy(s.dst.Pixels(), s.src.Pixels(), size_t(kWidth) * kHeight * 4);
        benchmark::ClobberMemory();
    }
    Report(state, int64_t(kWidth) * kHeight);
}

void OpaqueCopy(benchmark::State& state) {
    Surfaces s;
    for (auto _ : state) {
        Blit(&s.dst, &s.src, 0, 0, nullptr, 1.0f, OpMix);
        benchmark::ClobberMemory();
    }
    Report(state, int64_t(kWidth) * kHeight);
}

void AlphaMix(benchmark::State& state) {
    Surfaces s;
    for (auto _ : state) {
        Blit(&s.dst, &s.src, 0, 0, nullptr, 1.0f, OpMix | UseSourceAlpha);
        benchmark::ClobberMemory();
    }
    Report(state, int64_t(kWidth) * kHeight);
}

void BilinearScale(benchmark::State& state) {
    Surfaces s;
    for (auto _ : state) {
        // A 1.5x enlargement of the middle of the source into the whole target.
        ScaleBlit(&s.dst, &s.src, 0, 0, kWidth, kHeight, 100.0f, 80.0f, kWidth / 1.5f,
                  kHeight / 1.5f, 1.0f, FilterBilinear | UseSourceAlpha);
        benchmark::ClobberMemory();
    }
    Report(state, int64_t(kWidth) * kHeight);
}

void BilinearRotation(benchmark::State& state) {
    Surfaces s;
    for (auto _ : state) {
        TransformBlit(&s.dst, &s.src, 0, 0, kWidth, kHeight, 0, 0, kWidth, kHeight, 0.6f, 0, 1.0f,
                      FilterBilinear | UseSourceAlpha, 0, 0);
        benchmark::ClobberMemory();
    }
    Report(state, int64_t(kWidth) * kHeight);
}

} // namespace

BENCHMARK(MemcpyCeiling);
BENCHMARK(OpaqueCopy);
BENCHMARK(AlphaMix);
BENCHMARK(BilinearScale);
BENCHMARK(BilinearRotation);
BENCHMARK_MAIN();
