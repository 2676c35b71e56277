// kelo-drum-figures: prints, for every kit of hydrogen-drumkits the material
// plays (tuning kits first, then judged kits), what Kelo does to its drums:
//   onsets     lookahead on, both polarities, per piece, band and rate, both
//              polarities counted: hits, within 1 ms, worst start (ms), hits
//              missed, hits given more than one envelope
//   clicks     energy above 5 kHz within 1 ms of each restart, output
//              against input (48 kHz, as recorded), and the most the highs'
//              share of the sound rose there (with the restart it rose at)
//   recipes    the manual's recipes as printed (48 kHz), each with its
//              threshold set under the kit's loudest hit: the most a hit's
//              peak rose, the tail's mean change and range, envelopes per
//              hit; then the manual's table: each figure's range over the kits
//   autofit    the loudest hit of the kick stem (kick band and full band),
//              the snare stem and the tom stem (their bands and the full
//              band) fitted and played again: peak over its first 10 ms,
//              worst 5 ms stretch, worst 20 ms span, whole envelope; with
//              --stretches every 5 ms stretch's difference too
// With KELO_ONSETS_LIST set, each render's hits that went wrong are listed
// under a line naming the render (see MeasureOnsets).
// Thresholds are 20 dB under each piece's loudest hit in the band, except the
// recipes', which are as far under it as the manual says.
//   kelo-drum-figures [--kit NAME]... [--rates 44100,48000,96000] [--only
//   onsets|clicks|recipes|autofit] [--stretches]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "drum_figures.h"
#include "tests/common/drum_kits.h"

namespace {

struct Options {
    std::vector<std::string> kits;
    std::vector<double> rates = {44100.0, 48000.0, 96000.0};
    std::string only;
    bool stretches = false;
};

bool Wants(const Options& o, const char* part) {
    return o.only.empty() || o.only == part;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One kit's onsets over every piece, band, rate and polarity; the clicks of
// the renders at 48 kHz as recorded.
OnsetFigures KitOnsets(const std::string& kit, const Options& o, bool clicks) {
    OnsetFigures total;
    for (int p = 0; p < kPieceCount; ++p) {
        const KitPiece piece = KitPiece(p);
        if (!KitPlays(kit, piece)) continue;
        for (double rate : o.rates) {
            const DrumTrack track = KitTrack(kit, piece, rate, DrumSeed());
            for (const DrumBand& band : BandsFor(piece)) {
                const std::vector<HeardHit> hits = HeardHits(track, band);
                DrumSettings s;
                s.band = band;
                s.thresholdDb = RelativeThresholdDb(hits);
                OnsetFigures both;
                bool same = true;
                std::vector<int64_t> firstStarts;
                for (double sign : {1.0, -1.0}) {
                    // What the listing of MeasureOnsets that follows is of.
                    if (std::getenv("KELO_ONSETS_LIST") && Wants(o, "onsets"))
                        std::printf("list    %-22s %-6s %-18s %6.0f Hz, %s polarity\n", kit.c_str(),
                                    KitPieceName(piece), band.name, rate,
                                    sign > 0 ? "as recorded" : "inverted");
                    const DrumRender render = RenderDrums(track, sign, s);
                    const OnsetFigures f = MeasureOnsets(track, hits, s.thresholdDb, render);
                    if (sign > 0)
                        firstStarts = render.starts;
                    else
                        same = render.starts == firstStarts;
                    both.Add(f);
                    if (clicks && rate == 48000.0 && sign > 0 && Wants(o, "clicks")) {
                        const ClickFigures c = MeasureClicks(track, sign, render);
                        if (c.restarts > 0)
                            std::printf("clicks  %-22s %-6s %-18s %3d restarts, worst %+6.1f dB "
                                        "above 5 kHz (out %6.1f dBFS, in %6.1f dBFS), highs' "
                                        "share at most %+5.1f dB (at %.3f s)\n",
                                        kit.c_str(), KitPieceName(piece), band.name, c.restarts,
                                        c.worstDb, c.outDbfs, c.inDbfs, c.worstShareDb,
                                        double(c.worstShareAt) / rate);
                        if (c.attacks > 0)
                            std::printf("attacks %-22s %-6s %-18s %3d attacks, above 5 kHz over "
                                        "2 ms median %+5.1f dB, at most %+5.1f dB\n",
                                        kit.c_str(), KitPieceName(piece), band.name, c.attacks,
                                        c.medianAttackDb, c.worstAttackDb);
                    }
                }
                if (Wants(o, "onsets"))
                    std::printf("onsets  %-22s %-6s %-18s %6.0f Hz %5.1f dB: %3d hits, %5.1f%% "
                                "within 1 ms, worst %+6.2f ms, median %+5.2f, %d missed, %d with "
                                "extra envelopes (%d)%s\n",
                                kit.c_str(), KitPieceName(piece), band.name, rate, s.thresholdDb,
                                both.hits, both.hits ? 100.0 * both.within / both.hits : 0.0,
                                both.worstMs, Median(both.offsetsMs), both.missed, both.doubled,
                                both.extra, same ? "" : " (polarities differ)");
                total.Add(both);
            }
        }
    }
    return total;
}

// One recipe's figures over the kits: the ranges the manual prints.
struct RecipeRange {
    int kits = 0;
    double peakDb = -1e9, mixPeakDb = -1e9, tailLowDb = 1e9, tailHighDb = -1e9;
    int over = 0;
};

void KitRecipes(const std::string& kit, std::vector<RecipeRange>& ranges) {
    const std::vector<DrumRecipe>& recipes = ManualRecipes();
    ranges.resize(recipes.size());
    for (size_t k = 0; k < recipes.size(); ++k) {
        const DrumRecipe& r = recipes[k];
        if (!KitPlays(kit, r.piece)) continue;
        const DrumTrack track = KitTrack(kit, r.piece, 48000.0, DrumSeed());
        const RecipeFigures f = CookRecipe(r, track);
        std::printf(
            "recipe  %-22s %-15s threshold %+5.1f dB, %2d hits %2d envelopes: hit peaks at most "
            "%+5.2f dB, tail at %3.0f ms %+5.1f dB (%+5.1f .. %+5.1f, %d envelopes; the tests "
            "bound it at %+.1f)\n",
            kit.c_str(), r.name, f.thresholdDb, f.hits, f.envelopes, f.hitPeakDb, r.tailMs,
            f.tailDb, f.tailLowDb, f.tailHighDb, f.tails, r.claimTailDb);
        RecipeRange& range = ranges[k];
        ++range.kits;
        range.peakDb = std::max(range.peakDb, f.hitPeakDb);
        range.mixPeakDb = std::max(range.mixPeakDb, f.mixPeakDb);
        range.tailLowDb = std::min(range.tailLowDb, f.tailDb);
        range.tailHighDb = std::max(range.tailHighDb, f.tailDb);
        range.over += f.over;
    }
}

// The manual's table of the recipes: per recipe, over the kits that play its
// piece, the most a hit's peak rose on any kit and the range of the tail's
// mean change.
void RecipeTable(const std::vector<RecipeRange>& ranges) {
    const std::vector<DrumRecipe>& recipes = ManualRecipes();
    std::printf("--- the recipes over the kits\n%-16s %5s %12s %12s %8s %24s\n", "recipe", "kits",
                "peaks (most)", "mix peak", "over", "tail (mean, range)");
    for (size_t k = 0; k < ranges.size() && k < recipes.size(); ++k) {
        const RecipeRange& range = ranges[k];
        if (!range.kits) continue;
        std::printf("%-16s %5d %+9.2f dB %+9.2f dB %8d %+6.1f .. %+5.1f dB at %3.0f ms\n",
                    recipes[k].name, range.kits, range.peakDb, range.mixPeakDb, range.over,
                    range.tailLowDb, range.tailHighDb, recipes[k].tailMs);
    }
}

void KitAutofit(const std::string& kit, bool stretches) {
    // The kick stem with the kick band and the full band, and as a check that
    // the fit is no kick's alone, the snare and tom stems with their bands.
    struct Case {
        KitPiece piece;
        DrumBand band;
    };
    const Case cases[] = {{kPieceKick, kKickBand},   {kPieceKick, kFullBand},
                          {kPieceSnare, kSnareBand}, {kPieceSnare, kFullBand},
                          {kPieceToms, kTomBand},    {kPieceToms, kFullBand}};
    for (const Case& c : cases) {
        if (!KitPlays(kit, c.piece)) continue;
        const DrumTrack track = KitTrack(kit, c.piece, 48000.0, DrumSeed());
        if (track.size() == 0) continue;
        const double threshold = RelativeThresholdDb(HeardHits(track, c.band));
        const AutofitFigures f = MeasureAutofit(track, c.band, threshold);
        if (!f.fitted) {
            std::printf("autofit %-22s %-6s %-18s not fitted\n", kit.c_str(), KitPieceName(c.piece),
                        c.band.name);
            continue;
        }
        std::printf("autofit %-22s %-6s %-18s %5.1f dB: peak over 10 ms %+5.2f dB, worst 5 ms "
                    "stretch %+5.2f dB at %3d ms, worst 20 ms span %+5.2f dB, whole envelope "
                    "%+5.2f dB\n",
                    kit.c_str(), KitPieceName(c.piece), c.band.name, threshold, f.peakDb,
                    f.worstStretchDb, f.worstStretchAt, f.worstSpanDb, f.wholeDb);
        if (stretches) {
            std::printf("        stretches (dB):");
            for (double d : f.stretchDb)
                std::printf(" %+.1f", d);
            std::printf("\n");
        }
    }
}

void Summary(const char* what, const OnsetFigures& f) {
    std::vector<double> v = f.offsetsMs;
    std::sort(v.begin(), v.end());
    const auto at = [&v](double q) {
        return v.empty() ? 0.0 : v[size_t(q * double(v.size() - 1))];
    };
    std::printf("summary %-22s %5d hits, %5.1f%% within 1 ms, worst %+6.2f ms, 5-95%% %+.2f .. "
                "%+.2f ms, %d missed, %d with extra envelopes\n",
                what, f.hits, f.hits ? 100.0 * f.within / f.hits : 0.0, f.worstMs, at(0.05),
                at(0.95), f.missed, f.doubled);
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--kit") && i + 1 < argc) {
            o.kits.push_back(argv[++i]);
        } else if (!std::strcmp(argv[i], "--rates") && i + 1 < argc) {
            o.rates.clear();
            std::stringstream list(argv[++i]);
            std::string rate;
            while (std::getline(list, rate, ','))
                o.rates.push_back(std::strtod(rate.c_str(), nullptr));
        } else if (!std::strcmp(argv[i], "--only") && i + 1 < argc) {
            o.only = argv[++i];
        } else if (!std::strcmp(argv[i], "--stretches")) {
            o.stretches = true;
        } else {
            std::fprintf(stderr, "usage: kelo-drum-figures [--kit NAME]... [--rates R,R,...] "
                                 "[--only onsets|clicks|recipes|autofit] [--stretches]\n");
            return 2;
        }
    }
    const bool chosen = !o.kits.empty();
    if (!chosen) {
        o.kits = TuningKits();
        for (const std::string& kit : JudgedKits())
            o.kits.push_back(kit);
    }
    const std::vector<std::string> tuning = TuningKits();
    OnsetFigures tuned, judged;
    std::vector<RecipeRange> recipes;
    for (const std::string& kit : o.kits) {
        if (!DrumKitInstalled(kit)) {
            std::fprintf(stderr, "kelo-drum-figures: no kit %s in %s\n", kit.c_str(),
                         DrumKitRoot());
            return 1;
        }
        const bool isTuning = std::find(tuning.begin(), tuning.end(), kit) != tuning.end();
        std::printf("--- %s (%s kit)\n", kit.c_str(), isTuning ? "tuning" : "judged");
        if (Wants(o, "onsets") || Wants(o, "clicks")) {
            const OnsetFigures f = KitOnsets(kit, o, true);
            if (Wants(o, "onsets")) Summary(kit.c_str(), f);
            (isTuning ? tuned : judged).Add(f);
        }
        if (Wants(o, "recipes")) KitRecipes(kit, recipes);
        if (Wants(o, "autofit")) KitAutofit(kit, o.stretches);
        std::fflush(stdout);
    }
    if (Wants(o, "onsets")) {
        Summary("tuning kits", tuned);
        Summary("judged kits", judged);
    }
    if (Wants(o, "recipes")) RecipeTable(recipes);
    return 0;
}
