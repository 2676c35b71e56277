// What Kelo does to the drums of any kit (tests/common/kit_material.h),
// measured as a producer would judge it: where lookahead envelopes start
// against each hit's own onset, how many envelopes a hit gets, what a restart
// adds above 5 kHz, what the manual's recipes do to each hit's peak and tail,
// and how close autofit brings a kick back. Shared by the drum tests and by the
// kelo-drum-figures tool, which prints them for every kit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kelo_fixture.h"
#include "tests/common/kit_material.h"

// The detector's band: "lo freq" and "hi freq".
struct DrumBand {
    const char* name;
    double lo, hi;
};
extern const DrumBand kKickBand;  // 0-150 Hz
extern const DrumBand kFullBand;  // 0-22000 Hz
extern const DrumBand kSnareBand; // 150-3000 Hz
extern const DrumBand kTomBand;   // 60-600 Hz

// The bands each piece is judged with: the kick stem with the kick band and
// the full band, the snare and tom stems with their bands, the hats and the
// mixes with the full band.
std::vector<DrumBand> BandsFor(KitPiece piece);

// A hit as the detector can hear it: hits within 15 ms of each other are one
// (a flam, a hat with a kick); the onset is the first of them within 6 dB of
// the loudest one's peak. band: the peak of the band's mid signal over the
// 20 ms after the onset. until: the next hit's onset (or the track's end).
struct HeardHit {
    int64_t onset, until;
    double band;
    DrumVoice voice;
};

// The hits of track, grouped, with their band peaks (filtered as the detector
// filters).
std::vector<HeardHit> HeardHits(const DrumTrack& track, const DrumBand& band);

// The threshold the figures use for a piece and band: 20 dB under its
// loudest hit's band peak (read off the detect panel, as a producer would).
double RelativeThresholdDb(const std::vector<HeardHit>& hits);

// The envelopes of one render: the output, and where each envelope started
// (output frames, lookahead delay included).
struct DrumRender {
    Stereo out;
    std::vector<int64_t> starts;
    int delay = 0;  // the lookahead's, in frames
    int envLen = 0; // the envelope's length in frames
};

struct DrumSettings {
    DrumBand band = {"full", 0.0, 22000.0};
    double thresholdDb = -12.0;
    double strength = 1.0;
    bool lookahead = true;
    bool bothPolarities = true;
};

// Plays track (inverted with sign -1) through a fresh effect in 64-frame blocks.
DrumRender RenderDrums(const DrumTrack& track, double sign, const DrumSettings& settings);

// Onsets of one render: of the hits that reach the threshold by 3 dB and
// stand 3 dB over the 20 ms before them, how many got an envelope starting
// within 1 ms of the onset, the worst start (ms, signed, the farthest from the
// onset), the hits with no start from 10 ms before them to the next hit, and
// the hits with more than one (a second envelope before the next hit: a ring
// taken for a hit).
struct OnsetFigures {
    int hits = 0, within = 0, missed = 0, doubled = 0, extra = 0;
    double worstMs = 0.0;
    std::vector<double> offsetsMs; // per hit that got a start
    void Add(const OnsetFigures& other);
};
OnsetFigures MeasureOnsets(const DrumTrack& track, const std::vector<HeardHit>& hits,
                           double thresholdDb, const DrumRender& render);

// Clicks at restarts: for every envelope that starts while the one before
// runs, the energy above 5 kHz of the output within 1 ms of the start against
// the input's there; the worst difference (dB) and the two levels (dBFS) there.
// A gain that lifts or lowers the whole sound there lifts or lowers its highs
// as much; a click adds highs of its own. worstShareDb: the worst rise of the
// highs' share of the whole energy there, output against input (dB), and the
// input frame of that restart.
struct ClickFigures {
    int restarts = 0;
    double worstDb = -1e9, outDbfs = -1e9, inDbfs = -1e9;
    double worstShareDb = -1e9;
    int64_t worstShareAt = 0;
    // The energy above 5 kHz over the first 2 ms of each envelope that starts
    // with none running (an attack), output against input: how many, and the
    // worst and median (dB).
    int attacks = 0;
    double worstAttackDb = -1e9, medianAttackDb = 0.0;
};
ClickFigures MeasureClicks(const DrumTrack& track, double sign, const DrumRender& render);

// A recipe of the manual, as printed: the knobs, the options, and the four
// free points of the shape as (time / length, level), the level on the
// shape's own scale (1 at the top). With "follow the hit's level" the levels
// are the contour every hit takes at its own loudness (1: the hit's level).
// The threshold is relative to the material: belowLoudestDb under the band's
// loudest hit, as the detect panel's level view shows it.
struct DrumRecipe {
    const char* name;
    KitPiece piece;
    double lo, hi, belowLoudestDb, length, strength;
    bool gate, follow, lookahead;
    double points[4][2]; // P2, P3 (the peak), P4 (release), P6 (end)
    double tailMs;       // where the tail is measured
    double claimTailDb;  // the bound the drum tests hold the tail's mean to
};
// The manual's recipes as it prints them today.
const std::vector<DrumRecipe>& ManualRecipes();
// The threshold a recipe takes on a track (dB): belowLoudestDb under the
// loudest hit's band peak, within -60 .. 0 dB.
double RecipeThresholdDb(const DrumRecipe& recipe, const DrumTrack& track);
// The state a recipe describes at thresholdDb (a saved state with its values,
// points and options).
std::vector<uint8_t> RecipeState(const DrumRecipe& recipe, double rate, double thresholdDb);

// A recipe on one kit: the most any hit's peak rose (first 50 ms after its
// onset, the lookahead's delay allowed for), the mean change of the 10 ms RMS
// at tailMs after each start (and its range), the envelopes against the hits,
// the output's peak against the input's and the samples the recipe pushed
// over full scale.
struct RecipeFigures {
    double thresholdDb = 0.0;
    double hitPeakDb = -1e9, tailDb = 0.0, tailLowDb = 0.0, tailHighDb = 0.0;
    double mixPeakDb = 0.0;
    int envelopes = 0, hits = 0, tails = 0, over = 0;
};
RecipeFigures CookRecipe(const DrumRecipe& recipe, const DrumTrack& track);

// Autofit on a stem: the stem played with the band and threshold given up to
// the end of the envelope its loudest hit starts (its length, or the next
// start; of the hits that start one of their own, the loudest), the shape
// fitted to it, then the stem played again with the fitted shape, the hit's
// envelope starting on the same frame. Over that envelope,
// from its second frame: the peak over the first 10 ms and the worst RMS
// difference over 5 ms stretches and over 20 ms spans (those under -60 dBFS
// left out), output against input, and the whole envelope's RMS difference.
// Not fitted when no hit starts an envelope of its own.
struct AutofitFigures {
    bool fitted = false;
    double peakDb = 0.0, worstStretchDb = 0.0, wholeDb = 0.0;
    int worstStretchAt = 0;        // ms into the envelope
    double worstSpanDb = 0.0;      // over 20 ms spans
    std::vector<double> stretchDb; // every stretch's difference (dB), quiet ones as 0
};
AutofitFigures MeasureAutofit(const DrumTrack& stem, const DrumBand& band, double thresholdDb,
                              double envTime = 0.2);

double AmpDb(double amp);
