#include "tests/common/kit_material.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "tests/common/drum_kits.h"

namespace {

double Uniform(std::mt19937& rng, double lo, double hi) {
    return lo + (hi - lo) * (double(rng()) / 4294967296.0);
}

// The fill: one bar of sixteenths at 100 BPM, velocities 0.6-1 with the
// quarters accented, then a kick and a crash on the next downbeat.
std::vector<Placement> FillPlacements(const DrumKit& kit, uint32_t seed) {
    std::mt19937 rng(seed ^ 0xF111u);
    const double step = 0.15, lead = 0.1;
    std::vector<DrumVoice> toms = kit.Toms();
    // S S H H S H M M S M L L S L L S (H, M, L: the kit's toms, high to low).
    const int order[16] = {-1, -1, 0, 0, -1, 0, 1, 1, -1, 1, 2, 2, -1, 2, 2, -1};
    std::vector<Placement> hits;
    hits.push_back({lead + Uniform(rng, -0.002, 0.002), Uniform(rng, 0.85, 1.0), kKick});
    for (int s = 0; s < 16; ++s) {
        DrumVoice voice = kSnare;
        if (order[s] >= 0 && !toms.empty())
            voice = toms[std::min<size_t>(size_t(order[s]) * toms.size() / 3, toms.size() - 1)];
        const double lo = s % 4 == 0 ? 0.85 : 0.6;
        hits.push_back(
            {lead + s * step + Uniform(rng, -0.002, 0.002), Uniform(rng, lo, 1.0), voice});
    }
    hits.push_back({lead + 16 * step, Uniform(rng, 0.9, 1.0), kKick});
    hits.push_back({lead + 16 * step, Uniform(rng, 0.8, 0.95), kCrash});
    return hits;
}

// Builds a track at rate from placements on kit; gainOf gives each voice's mix
// gain (0 leaves it out), primary whether its hits are listed. Bleed arrives
// 1.5 ms late (the other drums are further from the microphone).
template <typename GainOf, typename Primary>
DrumTrack Build(const DrumKit& kit, const std::vector<Placement>& placements, double rate,
                GainOf gainOf, Primary primary) {
    DrumTrack track;
    track.rate = rate;
    for (const Placement& p : placements) {
        const double gain = gainOf(p.voice);
        const KitLayer* layer = LayerFor(kit.Voice(p.voice), p.velocity);
        if (gain <= 0.0 || !layer) continue;
        const DrumSample& sample = LoadDrumSample(layer->path, rate);
        if (sample.l.empty()) continue;
        const bool listed = primary(p.voice);
        const double late = listed ? 0.0 : 0.0015;
        const size_t start = size_t(std::lround((p.seconds + late) * rate));
        const double g = gain * p.velocity * layer->gain;
        if (track.l.size() < start + sample.l.size()) {
            track.l.resize(start + sample.l.size(), 0.0);
            track.r.resize(start + sample.l.size(), 0.0);
        }
        for (size_t i = 0; i < sample.l.size(); ++i) {
            track.l[start + i] += g * sample.l[i];
            track.r[start + i] += g * sample.r[i];
        }
        (listed ? track.hits : track.bleed)
            .push_back(
                {start + sample.onset, p.velocity, p.voice, g * sample.peak, g * sample.midPeak});
    }
    for (std::vector<DrumHit>* hits : {&track.hits, &track.bleed})
        std::stable_sort(hits->begin(), hits->end(),
                         [](const DrumHit& a, const DrumHit& b) { return a.frame < b.frame; });
    // Two seconds after the last listed hit, faded over the last 0.2 s.
    size_t last = 0;
    for (const DrumHit& hit : track.hits)
        last = std::max(last, hit.frame);
    const size_t end = last + size_t(2.0 * rate);
    if (track.size() > end) {
        track.l.resize(end);
        track.r.resize(end);
        const size_t fade = size_t(0.2 * rate);
        for (size_t i = 0; i < fade; ++i) {
            track.l[end - 1 - i] *= double(i) / double(fade);
            track.r[end - 1 - i] *= double(i) / double(fade);
        }
    }
    return track;
}

bool IsTom(DrumVoice v) {
    return v == kTomHigh || v == kTomMid || v == kTomLow;
}

} // namespace

const char* KitPieceName(KitPiece piece) {
    static const char* const names[kPieceCount] = {"groove", "fill", "kick", "snare",
                                                   "toms",   "hats", "room"};
    return piece >= 0 && piece < kPieceCount ? names[piece] : "?";
}

bool KitPlays(const std::string& name, KitPiece piece) {
    const DrumKit& kit = LoadDrumKit(name);
    if (!kit.Has(kKick) || !kit.Has(kSnare)) return false;
    if (piece == kPieceToms) return !kit.Toms().empty();
    if (piece == kPieceHats) return kit.Has(kHat);
    return true;
}

DrumTrack KitTrack(const std::string& name, KitPiece piece, double rate, uint32_t seed) {
    DrumTrack track;
    track.rate = rate;
    if (!KitPlays(name, piece)) return track;
    const DrumKit& kit = LoadDrumKit(name);
    const auto all = [](DrumVoice) { return 1.0; };
    const auto every = [](DrumVoice) { return true; };
    switch (piece) {
    case kPieceGroove:
    case kPieceRoom:
        track = Build(kit, GroovePlacements(seed), rate, all, every);
        if (piece == kPieceRoom) track = WithRoom(track);
        break;
    case kPieceFill:
        track = Build(kit, FillPlacements(kit, seed), rate, all, every);
        break;
    case kPieceKick:
        track = Build(
            kit, GroovePlacements(seed), rate, [](DrumVoice v) { return v == kKick ? 1.0 : 0.063; },
            [](DrumVoice v) { return v == kKick; });
        break;
    case kPieceSnare:
        track = Build(
            kit, GroovePlacements(seed), rate,
            [](DrumVoice v) {
                return v == kSnare || v == kGhost ? 1.0
                       : v == kHat                ? 0.2
                       : v == kKick               ? 0.1
                                                  : 0.063;
            },
            [](DrumVoice v) { return v == kSnare || v == kGhost; });
        break;
    case kPieceToms:
        track = Build(
            kit, FillPlacements(kit, seed), rate,
            [](DrumVoice v) { return IsTom(v)      ? 1.0
                                     : v == kCrash ? 0.063
                                                   : 0.1; },
            [](DrumVoice v) { return IsTom(v); });
        break;
    case kPieceHats:
        track = Build(
            kit, GroovePlacements(seed), rate,
            [](DrumVoice v) {
                return v == kHat                    ? 1.0
                       : v == kSnare || v == kGhost ? 0.2
                       : v == kKick                 ? 0.1
                                                    : 0.063;
            },
            [](DrumVoice v) { return v == kHat; });
        break;
    default:
        break;
    }
    track.name = name + "/" + KitPieceName(piece);
    return track;
}

std::vector<std::string> TuningKits() {
    return {"ForzeeStereo", "ColomboAcousticDrumkit", "HardElectro1"};
}

std::vector<std::string> JudgedKits() {
    return {"BJA_Pacific",         "The Black Pearl 1.0", "Millo_MultiLayered2",
            "Millo_MultiLayered3", "Millo-Drums_v.1",     "rumpf_kit_z01_h2",
            "VariBreaks",          "ElectricEmpireKit",   "Audiophob"};
}
