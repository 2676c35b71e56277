// Filter sections, level follower and envelope shape on hand-made signals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "effect/biquad.h"
#include "effect/delay_line.h"
#include "effect/envelope_shape.h"
#include "effect/level_follower.h"

namespace {

const double kPi = 3.141592653589793;

// Peak output amplitude of a section fed with a unit sine of freq Hz, measured
// after the section has settled.
double SineGain(Biquad& section, double freq, double rate) {
    const int settle = static_cast<int>(rate), measure = static_cast<int>(rate / 2);
    double peak = 0.0;
    for (int i = 0; i < settle + measure; ++i) {
        double y = section.Tick(std::sin(2.0 * kPi * freq * i / rate));
        if (i >= settle) peak = std::max(peak, std::fabs(y));
    }
    return peak;
}

template <typename Section>
Section Made(double rate, double cutoff) {
    Section s;
    s.SetSampleRate(rate);
    s.SetFreq(cutoff);
    return s;
}

} // namespace

TEST(FilterSections, LowPassPassesLowsAndIsThreeDbDownAtItsCutoff) {
    auto lp = Made<LowPass>(48000, 1000);
    EXPECT_NEAR(SineGain(lp, 50, 48000), 1.0, 0.01);
    lp.ClearMemory();
    EXPECT_NEAR(SineGain(lp, 1000, 48000), 1.0 / std::sqrt(2.0), 0.01);
    lp.ClearMemory();
    EXPECT_LT(SineGain(lp, 10000, 48000), 0.02);
}

TEST(FilterSections, HighPassBlocksLowsAndIsThreeDbDownAtItsCutoff) {
    auto hp = Made<HighPass>(48000, 1000);
    EXPECT_LT(SineGain(hp, 50, 48000), 0.01);
    hp.ClearMemory();
    EXPECT_NEAR(SineGain(hp, 1000, 48000), 1.0 / std::sqrt(2.0), 0.01);
    hp.ClearMemory();
    EXPECT_NEAR(SineGain(hp, 15000, 48000), 1.0, 0.02);
}

TEST(FilterSections, CutoffIsClampedToOneHzAndTwentyTwoKilohertz) {
    LowPass lp;
    EXPECT_EQ(lp.Cutoff(), 1.0);
    lp.SetFreq(30000);
    EXPECT_EQ(lp.Cutoff(), 22000.0);
    lp.SetFreq(-5);
    EXPECT_EQ(lp.Cutoff(), 1.0);
    lp.SetFreq(500);
    lp.SetFreq(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(lp.Cutoff(), 1.0);
}

TEST(FilterSections, TheCutoffDependsOnlyOnTheLastValueSet) {
    // Reached directly or through a near value first, 1000 Hz is 1000 Hz.
    auto direct = Made<LowPass>(48000, 1000);
    auto detour = Made<LowPass>(48000, 999.99);
    detour.SetFreq(1000);
    EXPECT_EQ(detour.Cutoff(), 1000.0);
    EXPECT_EQ(detour.Coefs().d, direct.Coefs().d);
    EXPECT_EQ(detour.Coefs().gd, direct.Coefs().gd);
    EXPECT_EQ(detour.Coefs().ggd, direct.Coefs().ggd);
}

TEST(FilterSections, ACutoffChangeKeepsTheMemoryButARateChangeClearsIt) {
    auto a = Made<LowPass>(48000, 1000);
    for (int i = 0; i < 10; ++i)
        a.Tick(1.0);
    LowPass b = a;
    b.SetFreq(2000);
    // With memory kept the first output after the change is far from zero.
    EXPECT_GT(b.Tick(0.0), 0.05);
    b = a;
    b.SetSampleRate(44100);
    EXPECT_EQ(b.Tick(0.0), 0.0);
    EXPECT_EQ(b.Cutoff(), 1000.0);
    EXPECT_EQ(b.Rate(), 44100.0);
}

TEST(FilterSections, ARateThatIsNotPositiveAndFiniteIsIgnored) {
    auto lp = Made<LowPass>(48000, 1000);
    lp.SetSampleRate(0);
    lp.SetSampleRate(-44100);
    lp.SetSampleRate(std::numeric_limits<double>::infinity());
    EXPECT_EQ(lp.Rate(), 48000.0);
    EXPECT_NEAR(SineGain(lp, 1000, 48000), 1.0 / std::sqrt(2.0), 0.01);
}

TEST(FilterSections, ACutoffAboveHalfALowRateStaysStable) {
    // 22000 Hz is above half of 22050 Hz; the section must not blow up.
    for (double rate : {8000.0, 22050.0, 32000.0}) {
        auto lp = Made<LowPass>(rate, 22000);
        auto hp = Made<HighPass>(rate, 22000);
        unsigned seed = 12345;
        double peak = 0.0;
        for (int i = 0; i < 100000; ++i) {
            seed = seed * 1664525u + 1013904223u;
            double x = (seed >> 8) / 8388608.0 - 1.0;
            peak = std::max({peak, std::fabs(lp.Tick(x)), std::fabs(hp.Tick(x))});
        }
        EXPECT_TRUE(std::isfinite(peak)) << rate;
        EXPECT_LT(peak, 10.0) << rate;
    }
}

TEST(FilterSections, StepsOnCopiedCoefficientsAndMemoryMatchTicks) {
    auto hp = Made<HighPass>(44100, 120);
    auto lp = Made<LowPass>(44100, 3000);
    HighPass hp2 = hp;
    LowPass lp2 = lp;
    const BiquadCoefs hc = hp.Coefs(), lc = lp.Coefs();
    BiquadMemory hm = hp.Memory(), lm = lp.Memory();
    for (int i = 0; i < 300; ++i) {
        double x = std::sin(i * 0.37) + (i % 17 == 0 ? 0.8 : 0.0);
        double high, y;
        BiquadStep<BiquadKind::kHighPass>(hc, hm, x, high);
        BiquadStep<BiquadKind::kLowPass>(lc, lm, high, y);
        EXPECT_EQ(y, lp2.Tick(hp2.Tick(x))) << i;
    }
    // Memory handed back continues exactly where the ticks are.
    hp.SetMemory(hm);
    lp.SetMemory(lm);
    EXPECT_EQ(lp.Tick(hp.Tick(0.25)), lp2.Tick(hp2.Tick(0.25)));
}

TEST(FilterSections, FlushingTinyMemoryEndsADecayingTailInExactZeros) {
    auto lp = Made<LowPass>(48000, 12000);
    lp.Tick(1.0);
    for (int i = 0; i < 40; ++i)
        lp.Tick(0.0);
    double before = lp.Tick(0.0);
    ASSERT_NE(before, 0.0);
    ASSERT_LT(std::fabs(before), 1e-3);
    LowPass kept = lp;
    kept.FlushTinyMemory(1e-30);
    EXPECT_NE(kept.Tick(0.0), 0.0);
    lp.FlushTinyMemory(1e-3);
    EXPECT_EQ(lp.Tick(0.0), 0.0);
}

TEST(LevelFollower, RisesWithTheAttackAndFallsWithTheReleaseCoefficient) {
    const double attack = 0.5, release = 0.9;
    EXPECT_DOUBLE_EQ(FollowLevel(0.0, 1.0, attack, release), 0.5);
    EXPECT_DOUBLE_EQ(FollowLevel(1.0, 0.0, attack, release), 0.9);
    // Equal level and input count as falling: the result stays put either way,
    // but a signed input below zero pulls the level down with the release.
    EXPECT_DOUBLE_EQ(FollowLevel(0.25, 0.25, attack, release), 0.25);
    EXPECT_DOUBLE_EQ(FollowLevel(0.0, -1.0, attack, release), -0.1);
}

TEST(LevelFollower, ReachesOneMinusOneOverEAfterOneTimeConstant) {
    const double rate = 48000, attack = std::exp(-1.0 / (rate * 0.00025));
    const double release = std::exp(-1.0 / (rate * 0.03));
    std::vector<double> ones(12, 1.0), levels(12);
    double level = FollowLevels(0.0, ones.data(), levels.data(), 12, attack, release);
    EXPECT_NEAR(level, 1.0 - std::exp(-1.0), 1e-9);
    EXPECT_EQ(levels[11], level);
    std::vector<double> zeros(1440, 0.0), falls(1440);
    level = FollowLevels(1.0, zeros.data(), falls.data(), 1440, attack, release);
    EXPECT_NEAR(level, std::exp(-1.0), 1e-9);
}

namespace {
EnvelopeShape ShapeOf(std::initializer_list<ShapePoint> points) {
    EnvelopeShape shape;
    shape.Set(std::vector<ShapePoint>(points).data());
    return shape;
}
} // namespace

TEST(EnvelopeShape, PassesThroughItsEndPointsAndHoldsTheLastLevelAfterwards) {
    auto shape = ShapeOf(
        {{0, 0.2}, {50, 0.9}, {100, 0.6}, {200, 1.1}, {300, 0.4}, {600, 0.3}, {1000, 0.25}});
    EXPECT_NEAR(shape.At(0), 0.2, 1e-12);
    EXPECT_NEAR(shape.At(100), 0.6, 1e-12);
    EXPECT_NEAR(shape.At(300), 0.4, 1e-12);
    EXPECT_NEAR(shape.At(999.9999), 0.25, 1e-6);
    EXPECT_EQ(shape.At(1000), 0.25);
    EXPECT_EQ(shape.At(5000), 0.25);
}

TEST(EnvelopeShape, ControlPointsOnTheChordGiveStraightLines) {
    // Middle control points halfway along each chord make x(t) and y(t) linear.
    auto shape =
        ShapeOf({{0, 0}, {50, 0.5}, {100, 1}, {150, 0.75}, {200, 0.5}, {400, 0.5}, {600, 0.5}});
    for (double n : {0.0, 10.0, 25.0, 77.0, 99.0})
        EXPECT_NEAR(shape.At(n), n / 100.0, 1e-12) << n;
    for (double n : {100.0, 130.0, 199.0})
        EXPECT_NEAR(shape.At(n), 1.0 - (n - 100.0) / 200.0, 1e-12) << n;
    EXPECT_NEAR(shape.At(450), 0.5, 1e-12);
}

TEST(EnvelopeShape, ABentSegmentFollowsTheQuadraticCurve) {
    // x control point off centre: x(t) quadratic, solved for t at each position.
    auto shape = ShapeOf({{0, 0}, {20, 1}, {100, 0}, {150, 0}, {200, 0}, {300, 0}, {400, 0}});
    for (double t : {0.1, 0.3, 0.5, 0.8}) {
        double x = 2 * t * (1 - t) * 20 + t * t * 100;
        double y = 2 * t * (1 - t) * 1;
        EXPECT_NEAR(shape.At(x), y, 1e-9) << t;
    }
}

TEST(EnvelopeShape, PositionsBeforeTheFirstPointExtrapolateTheFirstSegment) {
    auto shape = ShapeOf(
        {{100, 0.5}, {150, 1.0}, {200, 1.5}, {250, 1.5}, {300, 1.5}, {350, 1.5}, {400, 1.5}});
    EXPECT_NEAR(shape.At(75), 0.25, 1e-12);
    EXPECT_NEAR(shape.At(50), 0.0, 1e-12);
    // Where the extrapolated line runs below zero the level is zero.
    EXPECT_EQ(shape.At(0), 0.0);
}

TEST(EnvelopeShape, ACurveUnderTheZeroLineIsSilenceNeverItsMagnitude) {
    // P3 far below zero: the middle curve dips under the line between P2 and P4.
    auto shape =
        ShapeOf({{0, 1.0}, {50, 0.8}, {100, 0.6}, {200, -1.5}, {300, 0.0}, {350, 0.0}, {400, 0.0}});
    double lowest = 1.0;
    bool reachedZero = false;
    for (double n = 100; n <= 400; n += 0.5) {
        const double v = shape.At(n);
        ASSERT_GE(v, 0.0) << n;
        // Once silent it stays silent: no rebound before P4.
        if (reachedZero) {
            ASSERT_EQ(v, 0.0) << n;
        }
        reachedZero = reachedZero || v == 0.0;
        lowest = std::min(lowest, v);
    }
    EXPECT_TRUE(reachedZero);
    EXPECT_EQ(lowest, 0.0);
}

// A line reset with a pool's cleared memory is the line reset by clearing its
// own: the same samples come out, whatever it held and however it is fed.
TEST(DelayLineReset, ClearedMemoryFromAPoolGivesWhatClearingInPlaceGives) {
    std::mt19937 random(21);
    std::uniform_real_distribution<double> sample(-1.0, 1.0);
    for (int length : {1, 7, 480, 1920}) {
        DelayLine cleared, pooled;
        ClearedLines pool;
        ASSERT_TRUE(pool.Make(1, length));
        for (DelayLine* line : {&cleared, &pooled}) {
            ASSERT_TRUE(line->SetLength(length));
            std::vector<double> noise(size_t(length) + 5);
            for (double& x : noise)
                x = sample(random);
            line->Process(noise.data(), int(noise.size()));
        }
        cleared.SetLength(length);
        pooled.SetLength(length, &pool);
        ASSERT_EQ(pooled.Length(), length);
        for (int at = 0; at < 3 * length;) {
            const int n = 1 + int(random() % 64);
            std::vector<double> a(static_cast<size_t>(n)), b;
            for (double& x : a)
                x = sample(random);
            b = a;
            cleared.Process(a.data(), n);
            pooled.Process(b.data(), n);
            ASSERT_EQ(a, b) << "length " << length << " at " << at;
            at += n;
        }
    }
}

// In place or from one buffer to another, in blocks of any size (longer than
// the delay too), a line hands out its input exactly Length() frames later.
TEST(DelayLineProcess, BothFormsDelayByTheLengthInBlocksOfAnySize) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> block(1, 700);
    for (int length : {0, 1, 37, 480}) {
        DelayLine inPlace, between;
        ASSERT_TRUE(inPlace.SetLength(length));
        ASSERT_TRUE(between.SetLength(length));
        std::vector<double> input(6000);
        for (size_t i = 0; i < input.size(); ++i)
            input[i] = double(i + 1);
        for (size_t at = 0; at < input.size();) {
            const size_t n = std::min(size_t(block(random)), input.size() - at);
            std::vector<double> a(input.begin() + long(at), input.begin() + long(at + n)), b(n);
            inPlace.Process(a.data(), int(n));
            between.Process(input.data() + at, b.data(), int(n));
            for (size_t i = 0; i < n; ++i) {
                const double delayed =
                    at + i >= size_t(length) ? input[at + i - size_t(length)] : 0.0;
                ASSERT_EQ(a[i], delayed) << "length " << length << " at " << at + i;
                ASSERT_EQ(b[i], delayed) << "length " << length << " at " << at + i;
            }
            at += n;
        }
    }
}

// A pool serves as many lines as it was made for, of its length or shorter;
// the rest clear their own memory, as without a pool.
TEST(DelayLineReset, APoolServesItsCountOfItsLengthAndTheRestClearTheirOwn) {
    ClearedLines pool;
    ASSERT_TRUE(pool.Make(3, 100));
    EXPECT_EQ(pool.Take(101), nullptr);
    EXPECT_NE(pool.Take(100), nullptr);
    // A shorter line takes a block of the pool's and delays by its own length.
    {
        DelayLine shorter;
        ASSERT_TRUE(shorter.SetLength(60, &pool));
        std::vector<double> x(200);
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = double(i + 1);
        shorter.Process(x.data(), 200);
        for (size_t i = 0; i < x.size(); ++i)
            ASSERT_EQ(x[i], i < 60 ? 0.0 : double(i - 59)) << i;
    }
    DelayLine line;
    std::vector<double> ones(300, 1.0);
    ASSERT_TRUE(line.SetLength(300));
    line.Process(ones.data(), 300);
    // The length differs from the pool's: cleared in place.
    ASSERT_TRUE(line.SetLength(300, &pool));
    std::vector<double> x(300, 0.5);
    line.Process(x.data(), 300);
    EXPECT_EQ(x, std::vector<double>(300, 0.0));
    EXPECT_NE(pool.Take(100), nullptr);
    EXPECT_EQ(pool.Take(100), nullptr);
}
