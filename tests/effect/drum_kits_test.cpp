// Kelo on kits it was not tuned on. The material of tests/common/kit_material.h
// is built from any kit of hydrogen-drumkits; the detector may be tuned on
// TuningKits() (ForzeeStereo, ColomboAcousticDrumkit, HardElectro1) and is
// judged on JudgedKits() (BJA_Pacific, The Black Pearl 1.0,
// Millo_MultiLayered2, Millo_MultiLayered3, Millo-Drums_v.1, rumpf_kit_z01_h2,
// VariBreaks, ElectricEmpireKit, Audiophob), whose figures are the ones that
// count. kelo-drum-figures prints them all.
//
// Under the emulator (the i686 build under qemu) only the material's own
// checks run, on one kit: the figures take minutes there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "drum_figures.h"
#include "tests/common/drum_kits.h"

namespace {

bool Emulated() {
    return std::getenv("KELO_TEST_EMULATED") != nullptr;
}

#define SKIP_WITHOUT_KIT(kit)                                                                      \
    do {                                                                                           \
        if (!DrumKitInstalled(kit))                                                                \
            GTEST_SKIP() << kit << " is not installed (Debian package hydrogen-drumkits)";         \
    } while (0)

std::vector<std::string> AllKits() {
    std::vector<std::string> kits = TuningKits();
    for (const std::string& kit : JudgedKits())
        kits.push_back(kit);
    return kits;
}

// The onsets of track played through band with the threshold 20 dB under its
// loudest heard hit, as recorded (sign 1) or inverted (-1).
OnsetFigures OnsetsUnderLoudest(const DrumTrack& track, const DrumBand& band,
                                const std::vector<HeardHit>& hits, double sign) {
    DrumSettings s;
    s.band = band;
    s.thresholdDb = RelativeThresholdDb(hits);
    return MeasureOnsets(track, hits, s.thresholdDb, RenderDrums(track, sign, s));
}

// Each render of kit's piece through band at 44.1, 48 and 96 kHz, as recorded
// and inverted: check(its onsets, what it is).
template <typename Check>
void ForEveryRender(const std::string& kit, KitPiece piece, const DrumBand& band, Check check) {
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        const DrumTrack track = KitTrack(kit, piece, rate, DrumSeed());
        const std::vector<HeardHit> hits = HeardHits(track, band);
        for (double sign : {1.0, -1.0})
            check(OnsetsUnderLoudest(track, band, hits, sign),
                  kit + " " + KitPieceName(piece) + " " + band.name + " " +
                      std::to_string(int(rate)) + (sign > 0 ? "" : " inverted"));
    }
}

double Rms(const DrumTrack& t, size_t from, size_t n) {
    double sum = 0.0;
    for (size_t i = from; i < from + n && i < t.size(); ++i)
        sum += t.l[i] * t.l[i] + t.r[i] * t.r[i];
    return std::sqrt(sum / double(2 * n));
}

} // namespace

// --- the material

TEST(KitMaterial, EveryKitPlaysAKickASnareAndHatsAndTheTomsItHas) {
    const std::vector<std::string> kits =
        Emulated() ? std::vector<std::string>{"ForzeeStereo"} : AllKits();
    for (const std::string& name : kits) {
        SKIP_WITHOUT_KIT(name);
        const DrumKit& kit = LoadDrumKit(name);
        EXPECT_TRUE(kit.Has(kKick)) << name;
        EXPECT_TRUE(kit.Has(kSnare)) << name;
        EXPECT_TRUE(kit.Has(kHat)) << name;
        // A voice is the instrument its name says it is, never a neighbour
        // whose name only contains the letters ("Custom", "Kick Stomp").
        for (DrumVoice tom : kit.Toms())
            EXPECT_EQ(kit.Voice(tom).name.find("Kick"), std::string::npos) << name;
        EXPECT_EQ(kit.Voice(kSnare).name.find("Rim"), std::string::npos) << name;
        for (int p = 0; p < kPieceCount; ++p)
            EXPECT_EQ(KitPlays(name, KitPiece(p)), p != kPieceToms || !kit.Toms().empty())
                << name << " " << KitPieceName(KitPiece(p));
    }
}

TEST(KitMaterial, EachHitsOnsetIsWhereItsSoundBeginsAtEveryRate) {
    // The listed onset is the first frame of the hit alone within 26 dB of its
    // peak: the stem is quiet just before it (bleed is 20 dB down or more) and
    // loud just after, at each rate the material is built at (each kit at its
    // own rate and at another, where its samples are resampled).
    struct Case {
        const char* kit;
        double rate;
    };
    const std::vector<Case> cases = Emulated() ? std::vector<Case>{{"ForzeeStereo", 48000.0}}
                                               : std::vector<Case>{{"ForzeeStereo", 48000.0},
                                                                   {"ForzeeStereo", 96000.0},
                                                                   {"BJA_Pacific", 44100.0},
                                                                   {"Millo-Drums_v.1", 48000.0}};
    for (const Case& c : cases) {
        SKIP_WITHOUT_KIT(c.kit);
        const DrumTrack track = KitTrack(c.kit, kPieceKick, c.rate, DrumSeed());
        ASSERT_EQ(track.hits.size(), 14u) << c.kit;
        EXPECT_EQ(track.rate, c.rate);
        const size_t ms = size_t(0.001 * c.rate);
        for (const DrumHit& hit : track.hits) {
            EXPECT_LT(Rms(track, hit.frame - 2 * ms, ms), 0.1 * hit.peak) << c.kit << " " << c.rate;
            EXPECT_GT(Rms(track, hit.frame, 10 * ms), 0.1 * hit.peak) << c.kit << " " << c.rate;
        }
    }
}

TEST(KitMaterial, IsTheSameForTheSameSeedAndDiffersForAnother) {
    SKIP_WITHOUT_KIT("Millo_MultiLayered2");
    const DrumTrack a = KitTrack("Millo_MultiLayered2", kPieceGroove, 44100.0, DrumSeed());
    const DrumTrack b = KitTrack("Millo_MultiLayered2", kPieceGroove, 44100.0, DrumSeed());
    const DrumTrack c = KitTrack("Millo_MultiLayered2", kPieceGroove, 44100.0, DrumSeed() + 1);
    ASSERT_FALSE(a.l.empty());
    EXPECT_EQ(a.l, b.l);
    EXPECT_NE(a.l, c.l);
    // The room mix lists the groove's hits and rings on after it.
    const DrumTrack room = KitTrack("Millo_MultiLayered2", kPieceRoom, 44100.0, DrumSeed());
    EXPECT_EQ(room.hits.size(), a.hits.size());
    EXPECT_GT(room.size(), a.size());
}

// --- what the judged kits must show (the goals; see each reason)

// Lookahead on, both polarities: at least 95% of the hits within 1 ms of their
// onset and none beyond 3 ms, on every judged kit, every piece and band, at
// 44.1, 48 and 96 kHz, as recorded and inverted. The onset search as it is
// reaches 54-96% per judged kit (87.5% of 11,702 hits; worst +12.7 ms, a tom
// on rumpf_kit_z01_h2), misses 216 hits and gives 202 a second envelope
// (136 of them on rumpf_kit_z01_h2, whose samples, cut from loops, hold a
// second strike of their own): this runs once it is rebuilt.
TEST(KitOnsets, DISABLED_OnEveryJudgedKitHitsStartWithinAMillisecond) {
    if (Emulated()) GTEST_SKIP() << "minutes under the emulator";
    for (const std::string& kit : JudgedKits()) {
        SKIP_WITHOUT_KIT(kit);
        for (int p = 0; p < kPieceCount; ++p) {
            const KitPiece piece = KitPiece(p);
            if (!KitPlays(kit, piece)) continue;
            for (const DrumBand& band : BandsFor(piece))
                ForEveryRender(kit, piece, band,
                               [](const OnsetFigures& f, const std::string& what) {
                                   ASSERT_GT(f.hits, 0) << what;
                                   EXPECT_GE(f.within, 0.95 * f.hits) << what;
                                   EXPECT_LE(std::fabs(f.worstMs), 3.0) << what;
                                   EXPECT_EQ(f.missed, 0) << what;
                                   EXPECT_EQ(f.doubled, 0) << what;
                               });
        }
    }
}

// One envelope per hit where it was won, at 44.1, 48 and 96 kHz,
// as recorded and inverted, per render (before the onset level's rules):
// - a ring that dips and swells back is no new hit: Audiophob's kick (a
//   synthesized tom) dips some 18 dB 50 ms in and swells back past its first
//   peak with no new attack; its kick stem and groove give at most one hit a
//   second envelope (13-14) and miss none;
// - after the envelope, while the hit still rings, a swell of the band with no
//   new attack is no new hit either: rumpf_kit_z01_h2's kicks (cut from a
//   loop) swell 9 dB in the kick band 235 ms in; none gets a second envelope
//   (14 of 28 did);
// - a hat over the ring of the groove before it restarts the envelope: on
//   Millo_MultiLayered2's groove at most 6 are missed (9-10 before the onset
//   level's jump was heard, 8 while it had to be 12 dB), on The Black Pearl
//   1.0's at most 2 (up to 4), and none gets a second envelope.
TEST(KitOnsets, AHitOverARingRestartsTheEnvelopeAndARingThatSwellsBackDoesNot) {
    if (Emulated()) GTEST_SKIP() << "minutes under the emulator";
    struct Case {
        const char* kit;
        KitPiece piece;
        int missed, doubled;
        const DrumBand& band;
    };
    for (const Case& c : {Case{"Audiophob", kPieceKick, 0, 1, kFullBand},
                          Case{"Audiophob", kPieceGroove, 0, 1, kFullBand},
                          Case{"rumpf_kit_z01_h2", kPieceKick, 0, 0, kKickBand},
                          Case{"Millo_MultiLayered2", kPieceGroove, 6, 0, kFullBand},
                          Case{"The Black Pearl 1.0", kPieceGroove, 2, 0, kFullBand}}) {
        SKIP_WITHOUT_KIT(c.kit);
        ForEveryRender(c.kit, c.piece, c.band,
                       [&c](const OnsetFigures& f, const std::string& what) {
                           ASSERT_GT(f.hits, 10) << what;
                           EXPECT_LE(f.missed, c.missed) << what;
                           EXPECT_LE(f.doubled, c.doubled) << what;
                       });
    }
}

// A tom struck into the ring of the tom before it in a fill lifts the band's
// level a few dB and its onset level 9-12 dB: a new hit, heard at its own
// attack, and started after the ring's last low before its rise, not on an
// earlier low of the ring's ripple. The toms through the tom band, at 44.1, 48
// and 96 kHz, as recorded and inverted: every start within 1.5 ms of its hit,
// none missed. (BJA_Pacific's low tom started +17.6 ms late, once it swelled,
// while the onset level had to jump 12 dB; The Black Pearl 1.0's,
// Millo_MultiLayered2's and Millo_MultiLayered3's toms up to 5.9, 5.8 and
// 6.7 ms early, on the ring's lowest point in the lookahead.)
TEST(KitOnsets, ATomStruckIntoTheRingOfTheTomBeforeStartsAtItsOwnAttack) {
    if (Emulated()) GTEST_SKIP() << "minutes under the emulator";
    for (const char* kit :
         {"BJA_Pacific", "The Black Pearl 1.0", "Millo_MultiLayered2", "Millo_MultiLayered3"}) {
        SKIP_WITHOUT_KIT(kit);
        ForEveryRender(kit, kPieceToms, kTomBand,
                       [](const OnsetFigures& f, const std::string& what) {
                           ASSERT_GT(f.hits, 5) << what;
                           EXPECT_LE(std::fabs(f.worstMs), 1.5) << what;
                           EXPECT_EQ(f.missed, 0) << what;
                       });
    }
}

// The kick stem through the kick band (0-150 Hz) on every judged kit, at 44.1,
// 48 and 96 kHz, as recorded and inverted: the band's low-pass shows a kick's
// rise about a millisecond after the audio does, and the start is placed on
// the audio's own rise. Over the judged kits at least 95% of the kicks start
// within 1 ms of their onset (86.6% without allowing for the band's delay,
// 98.4% with it), each render's median start is within 0.5 ms (up to +1.08 ms
// without), none is farther than 3 ms and none is missed.
TEST(KitOnsets, OnTheJudgedKitsAKickThroughTheKickBandStartsOnItsOwnRise) {
    if (Emulated()) GTEST_SKIP() << "minutes under the emulator";
    int hits = 0, within = 0;
    for (const std::string& kit : JudgedKits()) {
        SKIP_WITHOUT_KIT(kit);
        ForEveryRender(kit, kPieceKick, kKickBand,
                       [&](const OnsetFigures& f, const std::string& what) {
                           ASSERT_GT(f.hits, 0) << what;
                           std::vector<double> offsets = f.offsetsMs;
                           std::sort(offsets.begin(), offsets.end());
                           EXPECT_LE(std::fabs(offsets[offsets.size() / 2]), 0.5) << what;
                           EXPECT_LE(std::fabs(f.worstMs), 3.0) << what;
                           EXPECT_EQ(f.missed, 0) << what;
                           hits += f.hits;
                           within += f.within;
                       });
    }
    EXPECT_GE(within, 0.95 * hits) << within << " of " << hits << " kicks within 1 ms";
}

// Restarts without clicks: where a new hit restarts a running envelope, the
// highs' share of the sound (above 5 kHz, within 1 ms of the restart) rises
// over the input's by no more than 50 dB on any judged kit, piece and band
// (lookahead on, 48 kHz, as recorded, thresholds 20 dB under each piece's
// loudest hit). A gain that jumped from the envelope before to no change
// lifted it by up to 70.8 dB (rumpf_kit_z01_h2's room mix; 64.8 dB on
// VariBreaks); gliding over 0.5 ms it rises by 41.7 dB at most, on material
// whose input has almost no highs there (-90 dBFS), and by 22.7 dB at most
// on seven of the nine kits. The goal is no highs beyond the input's; this
// holds the ground won.
TEST(KitRestarts, OnEveryJudgedKitARestartAddsFewHighs) {
    if (Emulated()) GTEST_SKIP() << "minutes under the emulator";
    int restarts = 0;
    for (const std::string& kit : JudgedKits()) {
        SKIP_WITHOUT_KIT(kit);
        for (int p = 0; p < kPieceCount; ++p) {
            const KitPiece piece = KitPiece(p);
            if (!KitPlays(kit, piece)) continue;
            const DrumTrack track = KitTrack(kit, piece, 48000.0, DrumSeed());
            for (const DrumBand& band : BandsFor(piece)) {
                DrumSettings s;
                s.band = band;
                s.thresholdDb = RelativeThresholdDb(HeardHits(track, band));
                const ClickFigures c = MeasureClicks(track, 1.0, RenderDrums(track, 1.0, s));
                restarts += c.restarts;
                if (c.restarts == 0) continue;
                EXPECT_LE(c.worstShareDb, 50.0)
                    << kit << " " << KitPieceName(piece) << " " << band.name << ": at "
                    << double(c.worstShareAt) / track.rate << " s";
            }
        }
    }
    // The material restarts envelopes (1,445 times at the last count).
    EXPECT_GT(restarts, 500);
}

// Autofit on the stems of the judged kits: the kick stem with the kick band
// and the full band, and, as a check that the fit is no kick's alone, the
// snare and tom stems with their bands (thresholds 20 dB under each stem's
// loudest hit in the band). Each case: the stem heard up to the end of its
// loudest hit's envelope, the shape fitted, the stem heard again with it (see
// MeasureAutofit; kelo-drum-figures adds the snare and toms in the full band).
template <typename Check>
void ForEachJudgedAutofit(Check check) {
    for (const std::string& kit : JudgedKits()) {
        SKIP_WITHOUT_KIT(kit);
        for (KitPiece piece : {kPieceKick, kPieceSnare, kPieceToms}) {
            if (!KitPlays(kit, piece)) continue;
            const DrumTrack track = KitTrack(kit, piece, 48000.0, DrumSeed());
            for (const DrumBand& band : BandsFor(piece)) {
                const AutofitFigures f =
                    MeasureAutofit(track, band, RelativeThresholdDb(HeardHits(track, band)));
                const std::string what = kit + " " + KitPieceName(piece) + " " + band.name;
                ASSERT_TRUE(f.fitted) << what;
                check(f, what);
            }
        }
    }
}

// The fitted hit keeps its attack: its peak over the first 10 ms comes out
// within 1 dB (the fit held it within 0.5 dB; the output's peak differs from
// the fit's reckoning by the other channel, which the event does not hold).
// Its level over the whole envelope comes out within 1 dB as well. Before,
// the peak came out up to 5.5 dB low on these kits. (The fitted tom is struck
// into the ring of the one before: a restart glide of 1 ms, not 0.5, held its
// attack toward that ring and put it 1.06 dB off on rumpf_kit_z01_h2.)
TEST(KitAutofit, TheFittedHitKeepsItsAttackAndItsLevelOnEveryJudgedKit) {
    if (Emulated()) GTEST_SKIP() << "minutes under the emulator";
    ForEachJudgedAutofit([](const AutofitFigures& f, const std::string& what) {
        EXPECT_NEAR(f.peakDb, 0.0, 1.0) << what;
        EXPECT_NEAR(f.wholeDb, 0.0, 1.0) << what;
    });
}

// The rest of the goal: every 5 ms stretch of the envelope within 1 dB. Out
// of reach of any smooth shape under the gain law (tests/effect/
// shape_fit_test.cpp says why): the level a stretch asks of the shape, the
// divisor weighted by the stretch's samples, swings between neighbouring
// stretches by more than 1 dB on most kicks (1.5-4 dB where a kick's low
// tone rings or another drum bleeds in), and keeping a noisy attack's peak
// lifts its first stretch. The fit comes to 0.5-6 dB of the worst stretch
// per case (kelo-drum-figures --only autofit prints them, and the 20 ms
// spans): this runs if the gain law's divisor comes to follow the hit's
// envelope rather than its waveform.
TEST(KitAutofit, DISABLED_TheFittedHitKeepsEveryFiveMillisecondStretchOnEveryJudgedKit) {
    if (Emulated()) GTEST_SKIP() << "minutes under the emulator";
    ForEachJudgedAutofit([](const AutofitFigures& f, const std::string& what) {
        EXPECT_NEAR(f.worstStretchDb, 0.0, 1.0) << what << " at " << f.worstStretchAt << " ms";
    });
}

// The manual's recipes on every judged kit, each with its threshold as far
// under the kit's loudest hit as the manual says: with "follow the hit's
// level" no hit's peak rises by more than 0.5 dB (before, with shapes of
// absolute levels, soft hits rose by up to 6 dB), the output's peak stays the
// input's, and the tail falls by at least what the tests bound it to
// (kelo-drum-figures --only recipes prints the table the manual gives).
TEST(KitRecipes, EveryRecipeKeepsEveryHitsPeakAndCutsItsTailOnEveryJudgedKit) {
    if (Emulated()) GTEST_SKIP() << "minutes under the emulator";
    for (const std::string& kit : JudgedKits()) {
        SKIP_WITHOUT_KIT(kit);
        for (const DrumRecipe& r : ManualRecipes()) {
            if (!KitPlays(kit, r.piece)) continue;
            const RecipeFigures f = CookRecipe(r, KitTrack(kit, r.piece, 48000.0, DrumSeed()));
            const std::string what = kit + " " + r.name;
            EXPECT_GT(f.envelopes, 0) << what;
            EXPECT_GT(f.tails, 0) << what;
            EXPECT_LE(f.hitPeakDb, 0.5) << what;
            EXPECT_LE(f.mixPeakDb, 0.5) << what;
            EXPECT_LE(f.tailDb, r.claimTailDb) << what;
        }
    }
}
