// kelo-drum-material: writes the tests' drum material as WAV files for
// listening and for rendering with kelo-render, and lists each track's hits.
//   kelo-drum-material <directory> [seed]
// writes the older tests' material; with --kit NAME (any kit of
// hydrogen-drumkits) and --rate HZ (48000 by default) it writes that kit's
// pieces instead, and tells which instrument plays each voice.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/common/drum_kits.h"
#include "tests/common/drum_material.h"
#include "tests/common/kit_material.h"

namespace {

bool Write(const DrumTrack& track, const std::string& path) {
    if (!WriteDrumWav(track, path)) {
        std::fprintf(stderr, "kelo-drum-material: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf("%s: %.0f Hz, %.3f s, %zu hits\n", path.c_str(), track.rate,
                double(track.size()) / track.rate, track.hits.size());
    for (const DrumHit& hit : track.hits)
        std::printf("  %9.4f s  voice %d  velocity %.3f  peak %6.1f dBFS\n",
                    double(hit.frame) / track.rate, int(hit.voice), hit.velocity,
                    20.0 * std::log10(hit.peak > 1e-12 ? hit.peak : 1e-12));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> plain;
    std::string kit;
    double rate = 48000.0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--kit") && i + 1 < argc)
            kit = argv[++i];
        else if (!std::strcmp(argv[i], "--rate") && i + 1 < argc)
            rate = std::strtod(argv[++i], nullptr);
        else
            plain.push_back(argv[i]);
    }
    if (plain.empty() || plain.size() > 2 || !(rate >= 8000.0 && rate <= 384000.0)) {
        std::fprintf(stderr,
                     "usage: kelo-drum-material <directory> [seed] [--kit NAME] [--rate HZ]\n");
        return 2;
    }
    const uint32_t seed =
        plain.size() == 2 ? uint32_t(std::strtoul(plain[1].c_str(), nullptr, 10)) : DrumSeed();
    if (kit.empty()) {
        std::string why;
        if (!DrumKitsAvailable(&why)) {
            std::fprintf(stderr, "kelo-drum-material: %s\n", why.c_str());
            return 1;
        }
        for (const DrumTrack& track : AllDrumMaterial(seed))
            if (!Write(track, plain[0] + "/" + track.name + ".wav")) return 1;
        return 0;
    }
    if (!DrumKitInstalled(kit)) {
        std::fprintf(stderr, "kelo-drum-material: no kit %s in %s\n", kit.c_str(), DrumKitRoot());
        return 1;
    }
    const DrumKit& loaded = LoadDrumKit(kit);
    const char* const voices[] = {"kick",     "snare",   "ghost",   "hat",
                                  "tom high", "tom mid", "tom low", "crash"};
    for (int v = kKick; v <= kCrash; ++v)
        std::printf("%-8s %s\n", voices[v],
                    loaded.Has(DrumVoice(v)) ? loaded.Voice(DrumVoice(v)).name.c_str() : "(none)");
    for (int p = 0; p < kPieceCount; ++p) {
        const DrumTrack track = KitTrack(kit, KitPiece(p), rate, seed);
        if (track.size() == 0) continue;
        if (!Write(track, plain[0] + "/" + KitPieceName(KitPiece(p)) + ".wav")) return 1;
    }
    return 0;
}
