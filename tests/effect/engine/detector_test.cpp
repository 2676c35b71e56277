// The detector alone: its levels stay within what its input allows under
// random cutoff moves, a block gives the same bits however it is cut, and bad
// samples change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "effect/dsp/detector.h"
#include "engine_fixture.h"

using namespace engine_test;

namespace {

const double kRate = 48000.0;

// Every level of a run, in order.
struct Levels {
    std::vector<double> bandL, bandR, band, full, bandMag, fullMag;
    void Add(Detector& d, int n) {
        bandL.insert(bandL.end(), d.BandL(), d.BandL() + n);
        bandR.insert(bandR.end(), d.BandR(), d.BandR() + n);
        band.insert(band.end(), d.BandLevels(), d.BandLevels() + n);
        full.insert(full.end(), d.FullLevels(), d.FullLevels() + n);
        bandMag.insert(bandMag.end(), d.BandMagnitudes(), d.BandMagnitudes() + n);
        fullMag.insert(fullMag.end(), d.FullMagnitudes(), d.FullMagnitudes() + n);
    }
};

void ExpectSameBits(const std::vector<double>& a, const std::vector<double>& b, const char* what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(Bits(a[i]), Bits(b[i])) << what << " differs at frame " << i;
}

} // namespace

TEST(Detector, LevelsStayWithinTheInputUnderRandomInputAndCutoffMoves) {
    std::mt19937 rng(kSeed);
    const Signal s = Hits(96000, rng);
    Detector d;
    ASSERT_TRUE(d.Prepare(kRate, 512));
    std::uniform_real_distribution<double> cutoff(0.0, 24000.0);
    double peak = 0.0, bandPeak = 0.0;
    size_t at = 0;
    for (int n : Pieces(s.l.size(), 512, rng)) {
        // A cutoff jump every few blocks, low and high in any order.
        if (rng() % 3 == 0) d.SetLowCut(cutoff(rng));
        if (rng() % 3 == 0) d.SetHighCut(cutoff(rng));
        ASSERT_TRUE(d.Run(&s.l[at], &s.r[at], n, true));
        for (int i = 0; i < n; ++i) {
            peak = std::max({peak, std::fabs(s.l[at + i]), std::fabs(s.r[at + i])});
            bandPeak = std::max({bandPeak, std::fabs(d.BandL()[i]), std::fabs(d.BandR()[i])});
            // A follower moves between its level and the input: it never
            // passes the largest input it has heard.
            // (An ulp of room for the rounding of each step.)
            const double most = peak * (1.0 + 1e-12), bandMost = bandPeak * (1.0 + 1e-12);
            ASSERT_LE(std::fabs(d.FullLevels()[i]), most);
            ASSERT_LE(d.FullMagnitudes()[i], most);
            ASSERT_GE(d.FullMagnitudes()[i], 0.0);
            ASSERT_GE(d.BandMagnitudes()[i], 0.0);
            ASSERT_LE(std::fabs(d.BandLevels()[i]), bandMost);
            ASSERT_LE(d.BandMagnitudes()[i], bandMost);
        }
        at += size_t(n);
    }
    // The sections' worst gain under gliding cutoffs is a few times the input.
    EXPECT_LE(bandPeak, 4.0 * peak);
    EXPECT_GT(bandPeak, 0.0);
}

TEST(Detector, ABlockGivesTheSameBitsHoweverItIsCut) {
    std::mt19937 rng(kSeed + 1);
    const Signal s = Hits(20000, rng);
    for (bool glide : {false, true}) {
        SCOPED_TRACE(glide ? "with a cutoff gliding" : "at rest");
        Detector whole, cut;
        ASSERT_TRUE(whole.Prepare(kRate, int(s.l.size())));
        ASSERT_TRUE(cut.Prepare(kRate, 700));
        Levels a, b;
        const auto start = [&](Detector& d) {
            d.SetLowCut(60.0);
            d.SetHighCut(5000.0);
            // A few frames, then a cutoff move, so the glide runs across pieces.
            d.Run(s.l.data(), s.r.data(), 10, true);
            if (glide) {
                d.SetLowCut(900.0);
                d.SetHighCut(300.0);
            }
        };
        start(whole);
        start(cut);
        whole.Run(&s.l[10], &s.r[10], int(s.l.size()) - 10, true);
        a.Add(whole, int(s.l.size()) - 10);
        size_t at = 10;
        for (int n : Pieces(s.l.size() - 10, 700, rng)) {
            cut.Run(&s.l[at], &s.r[at], n, true);
            b.Add(cut, n);
            at += size_t(n);
        }
        ExpectSameBits(a.bandL, b.bandL, "band L");
        ExpectSameBits(a.bandR, b.bandR, "band R");
        ExpectSameBits(a.band, b.band, "band level");
        ExpectSameBits(a.full, b.full, "full level");
        ExpectSameBits(a.bandMag, b.bandMag, "band magnitude");
        ExpectSameBits(a.fullMag, b.fullMag, "full magnitude");
    }
}

TEST(Detector, ABlockWithASampleThatIsNotFiniteOrHugeIsRefusedAndChangesNothing) {
    std::mt19937 rng(kSeed + 2);
    const Signal s = Hits(3000, rng);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {nan, inf, -inf, 1e101, -1e300}) {
        Detector clean, hit;
        ASSERT_TRUE(clean.Prepare(kRate, 1000));
        ASSERT_TRUE(hit.Prepare(kRate, 1000));
        clean.Run(s.l.data(), s.r.data(), 1000, true);
        hit.Run(s.l.data(), s.r.data(), 1000, true);
        std::vector<double> badL(s.l.begin() + 1000, s.l.begin() + 2000);
        badL[123] = bad;
        EXPECT_FALSE(hit.Run(badL.data(), &s.r[1000], 1000, true)) << bad;
        // The refused block left every section and level as it was.
        clean.Run(&s.l[2000], &s.r[2000], 1000, true);
        hit.Run(&s.l[2000], &s.r[2000], 1000, true);
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(Bits(clean.BandLevels()[i]), Bits(hit.BandLevels()[i])) << bad;
            ASSERT_EQ(Bits(clean.FullMagnitudes()[i]), Bits(hit.FullMagnitudes()[i])) << bad;
        }
    }
    // The loudest accepted sample passes.
    Detector d;
    ASSERT_TRUE(d.Prepare(kRate, 4));
    const double loud[4] = {kLoudestSample, -kLoudestSample, 0.0, 0.0};
    EXPECT_TRUE(d.Run(loud, loud, 4, false));
}

TEST(Detector, SilenceAfterSoundEndsInExactZeros) {
    std::mt19937 rng(kSeed + 3);
    const Signal s = Hits(2000, rng);
    Detector d;
    ASSERT_TRUE(d.Prepare(kRate, 2000));
    d.SetLowCut(50.0); // (at 1 Hz the band's tail would take minutes)
    d.Run(s.l.data(), s.r.data(), 2000, false);
    const std::vector<double> silence(2000, 0.0);
    for (int k = 0; k < 100; ++k)
        d.Run(silence.data(), silence.data(), 2000, false);
    EXPECT_EQ(d.BandLevel(), 0.0);
    EXPECT_EQ(d.FullLevel(), 0.0);
    EXPECT_EQ(d.BandMagnitudeLevel(), 0.0);
    EXPECT_EQ(d.FullMagnitudeLevel(), 0.0);
}

// The band's delay the onset search allows for is the band's own: at the
// middle of the band, the group delay of the two sections as they run (from
// their impulse response, sum n h[n] e^-jwn / sum h[n] e^-jwn), for the bands
// the manual names and the whole range, at every rate. A delay read off the
// wrong cutoff or a formula without the damping misses by 30% or more.
TEST(Detector, TheBandsDelayIsTheGroupDelayOfItsSectionsInTheBandsMiddle) {
    struct Band {
        double lo, hi;
    };
    const Band bands[] = {{0.0, 150.0}, {150.0, 3000.0}, {60.0, 600.0}, {0.0, 22000.0}};
    for (double rate : {44100.0, 48000.0, 96000.0})
        for (const Band& b : bands) {
            Detector d;
            d.SetLowCut(b.lo);
            d.SetHighCut(b.hi);
            ASSERT_TRUE(d.Prepare(rate, 1));
            LowPass low = static_cast<const LowPass&>(d.LowPassL());
            HighPass high = static_cast<const HighPass&>(d.HighPassL());
            const double lo = std::min(std::max(high.Cutoff(), 20.0), 20000.0);
            const double hi = std::min(std::max(low.Cutoff(), lo), 20000.0);
            const double w = 2.0 * 3.141592653589793 * std::sqrt(lo * hi) / rate;
            // Long enough for a 1 Hz high-pass's response to have died out at
            // the middle's frequency.
            const int n = int(4.0 * rate);
            double re = 0.0, im = 0.0, nre = 0.0, nim = 0.0;
            for (int i = 0; i < n; ++i) {
                const double h = low.Tick(high.Tick(i == 0 ? 1.0 : 0.0));
                re += h * std::cos(w * i);
                im -= h * std::sin(w * i);
                nre += i * h * std::cos(w * i);
                nim -= i * h * std::sin(w * i);
            }
            // Re((nre + j nim) / (re + j im)), in seconds.
            const double delay = (nre * re + nim * im) / (re * re + im * im) / rate;
            EXPECT_NEAR(d.BandDelay(), delay, 0.05 * delay + 2.0 / rate)
                << b.lo << "-" << b.hi << " Hz at " << rate << " Hz";
        }
}
