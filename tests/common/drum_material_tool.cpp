// kelo-drum-material: writes the tests' drum material as WAV files for
// listening and for rendering with kelo-render, and lists each track's hits.
//   kelo-drum-material <directory> [seed]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/common/drum_material.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: kelo-drum-material <directory> [seed]\n");
        return 2;
    }
    std::string why;
    if (!DrumKitsAvailable(&why)) {
        std::fprintf(stderr, "kelo-drum-material: %s\n", why.c_str());
        return 1;
    }
    const uint32_t seed = argc == 3 ? uint32_t(std::strtoul(argv[2], nullptr, 10)) : DrumSeed();
    for (const DrumTrack& track : AllDrumMaterial(seed)) {
        const std::string path = std::string(argv[1]) + "/" + track.name + ".wav";
        if (!WriteDrumWav(track, path)) {
            std::fprintf(stderr, "kelo-drum-material: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s: %.0f Hz, %.3f s, %zu hits\n", path.c_str(), track.rate,
                    double(track.size()) / track.rate, track.hits.size());
        for (const DrumHit& hit : track.hits)
            std::printf("  %9.4f s  voice %d  velocity %.3f  peak %6.1f dBFS\n",
                        double(hit.frame) / track.rate, int(hit.voice), hit.velocity,
                        20.0 * std::log10(hit.peak > 1e-12 ? hit.peak : 1e-12));
    }
    return 0;
}
