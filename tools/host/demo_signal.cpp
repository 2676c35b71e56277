#include "tools/host/demo_signal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

constexpr double kPi = 3.14159265358979323846;

} // namespace

std::vector<float> DemoSignal(double rate) {
    const size_t frames = size_t(4.0 * rate);
    std::vector<float> stereo(frames * 2, 0.0f);
    uint32_t noise = 0x2545F491u;
    auto uniform = [&noise]() {
        noise = noise * 1664525u + 1013904223u;
        return double(noise >> 8) / 8388608.0 - 1.0;
    };
    const size_t hitEvery = size_t(0.5 * rate);
    const size_t lastHit = size_t(3.0 * rate);
    double phase = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        double left = 0.0, right = 0.0;
        // Hits: a falling low tone with a click (even) or a noise burst (odd).
        if (i <= lastHit + hitEvery) {
            const size_t hit = i / hitEvery;
            const double since = double(i % hitEvery) / rate;
            if (hit * hitEvery <= lastHit) {
                if (hit % 2 == 0) {
                    const double freq = 50.0 + 100.0 * std::exp(-since / 0.03);
                    phase += 2.0 * kPi * freq / rate;
                    const double body = 0.8 * std::sin(phase) * std::exp(-since / 0.12);
                    const double click = since < 0.004 ? 0.3 * uniform() : 0.0;
                    left += body + click;
                    right += body + click;
                } else {
                    const double decay = std::exp(-since / 0.06);
                    left += 0.5 * uniform() * decay + 0.3 * std::sin(2 * kPi * 190 * since) * decay;
                    right +=
                        0.5 * uniform() * decay + 0.3 * std::sin(2 * kPi * 190 * since) * decay;
                }
            }
        }
        // The sustained tone: fades in, holds, rings past the last hit.
        const double swell = std::min(1.0, t / 0.5) * std::min(1.0, (4.0 - t) / 0.2);
        const double chord = std::sin(2 * kPi * 220 * t) + 0.7 * std::sin(2 * kPi * 277.2 * t) +
                             0.5 * std::sin(2 * kPi * 329.6 * t);
        left += 0.08 * swell * chord;
        right += 0.08 * swell * (chord + 0.3 * std::sin(2 * kPi * 440.3 * t));
        stereo[i * 2] = float(left);
        stereo[i * 2 + 1] = float(right);
    }
    // Peaks at -1 dBFS, so the demo also survives a fixed-point output format.
    float peak = 0.0f;
    for (float v : stereo)
        peak = std::max(peak, std::fabs(v));
    if (peak > 0.0f)
        for (float& v : stereo)
            v *= 0.891f / peak;
    return stereo;
}
