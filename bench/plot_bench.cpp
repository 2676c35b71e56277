// The cost of the picture of a whole render (kelo-render --plot): a ten-minute
// stereo render at 48 kHz with an event every half second, binned and drawn at
// the default 1600 x 600, as the render tool draws it after rendering.
//
// Prints "plot of 10:00 at 48 kHz, 1600x600: <ms> ms (binning <ms> ms, PNG <ms> ms)",
// each the median of several runs, in processor time of this process (the
// figure a loaded machine disturbs least), and the wall-clock time beside it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "tools/render/plot.h"

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Processor time of this process in ms.
double CpuMs() {
    return 1000.0 * double(std::clock()) / CLOCKS_PER_SEC;
}

template <typename F>
double Milliseconds(F f, double* wall = nullptr) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = CpuMs();
    f();
    const double cpu = CpuMs() - c0;
    if (wall)
        *wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count();
    return cpu;
}

} // namespace

int main() {
    const double rate = 48000.0;
    const size_t frames = size_t(600.0 * rate);
    std::vector<float> in(frames * 2), out(frames * 2), band(frames);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    RenderTrace trace;
    for (size_t i = 0; i < frames; ++i) {
        const size_t sinceHit = i % 24000;
        const float hit = std::exp(-float(sinceHit) / 2400.0f);
        in[2 * i] = hit * std::sin(0.07f * float(i)) + noise(random);
        in[2 * i + 1] = 0.9f * in[2 * i];
        out[2 * i] = 1.3f * in[2 * i];
        out[2 * i + 1] = 1.3f * in[2 * i + 1];
        band[i] = 0.6f * hit + 0.02f;
        if (sinceHit == 0) trace.events.push_back(PlotEvent{int64_t(i), 9600, 0.62, true});
    }
    trace.input = in.data();
    trace.output = out.data();
    trace.band = band.data();
    trace.frames = frames;
    trace.rate = rate;
    trace.threshold = 0.25;
    trace.tempo = 120.0;

    std::vector<double> whole, wall, binning, png;
    std::vector<uint32_t> pixels;
    PlotLayout layout = DrawRenderPlot(trace, 1600, 600, pixels);
    for (int run = 0; run < 5; ++run) {
        double w = 0.0;
        whole.push_back(
            Milliseconds([&] { layout = DrawRenderPlot(trace, 1600, 600, pixels); }, &w));
        wall.push_back(w);
        binning.push_back(Milliseconds([&] {
            const int c = layout.Columns();
            volatile float sink = BinColumns(trace.input, frames, 2, c)[0].hi +
                                  BinColumns(trace.output, frames, 2, c)[0].hi +
                                  BinColumns(trace.band, frames, 1, c)[0].hi;
            (void)sink;
        }));
        png.push_back(Milliseconds([&] { EncodePlotPng(pixels, layout); }));
    }
    std::printf("plot of 10:00 at 48 kHz, 1600x600: %.1f ms (binning %.1f ms, PNG %.1f ms); "
                "wall clock %.1f ms\n",
                Median(whole), Median(binning), Median(png), Median(wall));
    return 0;
}
