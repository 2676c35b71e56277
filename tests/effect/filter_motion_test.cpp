// The detector's sections against the direct-form sections they replaced (the
// same sound with fixed settings), and under cutoffs that move: bounded output,
// a glide that ends exactly on the cutoff set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include "effect/biquad.h"
#include "tests/common/test_seed.h"

namespace {

const double kPi = 3.141592653589793;

// The textbook section: direct form I with the bilinear Butterworth
// coefficients (cos w, alpha = sin w / (2 Q)), the cutoff kept below half the
// rate as the detector keeps it.
class DirectForm {
public:
    DirectForm(bool highPass, double rate, double cutoff) {
        cutoff = std::min(cutoff, 0.499 * rate);
        const double w = 2.0 * kPi * cutoff / rate, c = std::cos(w);
        const double alpha = std::sin(w) / (2.0 / std::sqrt(2.0)), a0 = 1.0 + alpha;
        a1 = -2.0 * c / a0;
        a2 = (1.0 - alpha) / a0;
        const double edge = highPass ? (1.0 + c) / 2.0 : (1.0 - c) / 2.0;
        b0 = b2 = edge / a0;
        b1 = (highPass ? -2.0 : 2.0) * edge / a0;
    }
    double Tick(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }

private:
    double b0, b1, b2, a1, a2;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
};

template <typename Section>
Section Made(double rate, double cutoff) {
    Section s;
    s.SetSampleRate(rate);
    s.SetFreq(cutoff);
    return s;
}

// A drum-like test signal: decaying noise bursts and low thumps over a
// slow offset, within [-1, 1].
double DrumLike(std::mt19937& random, size_t i, double rate) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double t = double(i) / rate, since = std::fmod(t, 0.25);
    const double thump = std::sin(2 * kPi * 60 * since) * std::exp(-since / 0.05);
    const double noise = unit(random) * std::exp(-since / 0.02);
    return 0.45 * thump + 0.35 * noise + 0.2 * std::sin(2 * kPi * 3 * t);
}

} // namespace

TEST(FilterSections, WithFixedCutoffsTheOutputIsTheDirectFormsOutput) {
    // High-pass then low-pass, as the detector runs them, from the first sample.
    std::mt19937 random(TestSeed(20261209u));
    for (double rate : {8000.0, 44100.0, 96000.0, 384000.0}) {
        for (double lo : {1.0, 30.0, 200.0, 5000.0, 22000.0}) {
            for (double hi : {1.0, 150.0, 3000.0, 22000.0}) {
                auto hp = Made<HighPass>(rate, lo);
                auto lp = Made<LowPass>(rate, hi);
                DirectForm dhp(true, rate, lo), dlp(false, rate, hi);
                double worst = 0.0;
                for (size_t i = 0; i < size_t(0.3 * rate); ++i) {
                    const double x = DrumLike(random, i, rate);
                    const double y = lp.Tick(hp.Tick(x)), ref = dlp.Tick(dhp.Tick(x));
                    worst = std::max(worst, std::fabs(y - ref));
                }
                // Rounding apart (the direct form's own error grows as the
                // cutoff falls towards a millionth of the rate).
                EXPECT_LT(worst, 1e-7) << rate << " Hz, band " << lo << " to " << hi;
            }
        }
    }
}

TEST(FilterSections, AMovedCutoffGlidesThereWithinFiveMillisecondsAndEndsExactly) {
    for (double rate : {8000.0, 44100.0, 384000.0}) {
        for (double to : {1.0, 1000.0, 22000.0}) {
            auto lp = Made<LowPass>(rate, to == 1.0 ? 22000.0 : 1.0);
            lp.Tick(0.5); // not at rest: the change glides
            lp.SetFreq(to);
            ASSERT_TRUE(lp.Gliding());
            int steps = 0;
            while (lp.Glide())
                ++steps;
            EXPECT_LE(steps, int(0.005 * rate) + 1) << rate << " Hz to " << to;
            const auto direct = Made<LowPass>(rate, to);
            EXPECT_EQ(lp.Coefs().d, direct.Coefs().d) << rate << " Hz to " << to;
            EXPECT_EQ(lp.Coefs().gd, direct.Coefs().gd);
            EXPECT_EQ(lp.Coefs().ggd, direct.Coefs().ggd);
        }
    }
}

TEST(FilterSections, ASectionAtRestTakesANewCutoffAtOnce) {
    auto hp = Made<HighPass>(48000, 100);
    hp.SetFreq(5000);
    EXPECT_FALSE(hp.Gliding());
    EXPECT_EQ(hp.Coefs().d, Made<HighPass>(48000, 5000).Coefs().d);
}

TEST(FilterSections, CutoffsJumpingAtRandomKeepTheBandWithinFourTimesItsInput) {
    // Worst-case input (random full-scale signs, or a square wave) and cutoffs
    // that jump anywhere every 1 to 64 samples, exactly 1 Hz and 22 kHz often.
    // The worst fixed settings pass such input at 3.4 times its level.
    std::mt19937 random(TestSeed(20261209u));
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto cutoff = [&] {
        const double roll = unit(random);
        if (roll < 0.2) return 1.0;
        if (roll < 0.4) return 22000.0;
        return 22000.0 * std::pow(unit(random), 3.0);
    };
    for (double rate : {8000.0, 44100.0, 192000.0, 384000.0}) {
        for (int every : {1, 3, 64}) {
            for (bool square : {false, true}) {
                HighPass hp;
                LowPass lp;
                hp.SetSampleRate(rate);
                lp.SetSampleRate(rate);
                double peak = 0.0;
                for (int i = 0; i < 200000; ++i) {
                    if (i % every == 0) {
                        hp.SetFreq(cutoff());
                        lp.SetFreq(cutoff());
                    }
                    const double x =
                        square ? ((i / 37) % 2 ? 1.0 : -1.0) : (unit(random) < 0.5 ? -1.0 : 1.0);
                    peak = std::max(peak, std::fabs(lp.Tick(hp.Tick(x))));
                }
                EXPECT_LE(peak, 4.0)
                    << rate << " Hz, every " << every << (square ? ", square" : ", random signs");
            }
        }
    }
}
