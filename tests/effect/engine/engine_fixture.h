// Signals and helpers for the tests of the processing's blocks (effect/dsp),
// which run without the effect, the frame or its lock.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace engine_test {

// The fixed seed of every randomized case (a failure repeats).
constexpr uint32_t kSeed = 20261210u;

// Noise bursts of random level and decay over a quiet floor: a drum-like
// signal whose level crosses any threshold from -60 to 0 dB both ways.
struct Signal {
    std::vector<double> l, r;
};
inline Signal Hits(size_t frames, std::mt19937& rng, double rate = 48000.0) {
    Signal s{std::vector<double>(frames), std::vector<double>(frames)};
    std::uniform_real_distribution<double> u(-1.0, 1.0), level(0.05, 1.0), decay(0.005, 0.1);
    double env = 0.0, k = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        if (rng() % 6000 == 0) {
            env = level(rng);
            k = std::exp(-1.0 / (decay(rng) * rate));
        }
        env *= k;
        s.l[i] = 0.002 * u(rng) + env * u(rng);
        s.r[i] = 0.002 * u(rng) + env * u(rng);
    }
    return s;
}

// Random piece lengths from 1 to most that add up to frames.
inline std::vector<int> Pieces(size_t frames, int most, std::mt19937& rng) {
    std::vector<int> pieces;
    for (size_t done = 0; done < frames;) {
        int n = 1 + int(rng() % uint32_t(most));
        if (size_t(n) > frames - done) n = int(frames - done);
        pieces.push_back(n);
        done += size_t(n);
    }
    return pieces;
}

// Bits of a double: equality that tells -0 from 0 and NaN from NaN.
inline uint64_t Bits(double v) {
    uint64_t b;
    static_assert(sizeof b == sizeof v);
    __builtin_memcpy(&b, &v, sizeof b);
    return b;
}

} // namespace engine_test
