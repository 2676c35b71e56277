// The hit's level for "follow the hit's level": the levels ahead of the audio
// (a sliding highest over the window) however the stream is cut, and the
// shape's peak the reference falls back on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "effect/dsp/hit_level.h"
#include "effect/dsp/shaper.h"
#include "effect/envelope_shape.h"

TEST(HitLevel, TheLevelAheadIsTheHighestDivisorOverTheWindowHoweverTheStreamIsCut) {
    std::mt19937 rng(29u);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int window : {0, 1, 5, 480}) {
        const int frames = 4000;
        std::vector<double> h(frames), l(frames), r(frames), m(frames), floor(frames);
        for (int i = 0; i < frames; ++i) {
            // Signed levels that sink under the magnitude's share at times,
            // samples of either sign that stand above the level at times.
            const size_t k = size_t(i);
            r[k] = unit(rng) < 0.1 ? -unit(rng) : unit(rng) * unit(rng);
            m[k] = unit(rng);
            h[k] = (unit(rng) - 0.5) * 2.4;
            l[k] = (unit(rng) - 0.5) * 2.4;
            floor[k] = std::max({r[k], kMagnitudeShare * m[k], std::fabs(h[k]), std::fabs(l[k])});
        }
        HitLevel hit;
        ASSERT_TRUE(hit.Prepare(window, 300));
        for (int at = 0; at < frames;) {
            const int n = std::min(frames - at, 1 + int(rng() % 300));
            hit.Look(&h[size_t(at)], &l[size_t(at)], &r[size_t(at)], &m[size_t(at)], n);
            for (int i = 0; i < n; ++i) {
                const int first = std::max(0, at + i - window);
                const double highest =
                    *std::max_element(&floor[size_t(first)], &floor[size_t(at + i)] + 1);
                ASSERT_EQ(hit.AheadAt(i), highest) << window << " " << at + i;
            }
            at += n;
        }
    }
}

TEST(HitLevel, FollowedTheLevelRisesWithinTheWindowAndIsHeldAfterIt) {
    const int window = 10;
    HitLevel hit;
    ASSERT_TRUE(hit.Prepare(window, 64));
    std::vector<double> r(40), m(40, 0.0), scale(40), quiet(40, 0.0);
    for (int i = 0; i < 40; ++i)
        r[size_t(i)] = i < 5 ? 0.1 * i : i < 20 ? 0.2 : 0.9; // a swell after the window
    // In two runs, as an envelope cut by a block's end.
    const double* z = quiet.data();
    hit.Scales(0, z, z, r.data(), m.data(), false, 0.5, scale.data(), 0, 17);
    hit.Scales(17, z, z, r.data(), m.data(), false, 0.5, scale.data(), 17, 40);
    for (int i = 0; i < 40; ++i) {
        const double expected = i < 5 ? 0.1 * i / 0.5 : 0.4 / 0.5;
        EXPECT_DOUBLE_EQ(scale[size_t(i)], expected) << i;
    }
    // A new envelope starts from the level ahead.
    std::vector<double> loud(40, 0.7);
    hit.Look(z, z, loud.data(), m.data(), 40);
    hit.Scales(0, z, z, r.data(), m.data(), true, 0.5, scale.data(), 0, 1);
    EXPECT_DOUBLE_EQ(scale[0], 0.7 / 0.5);
    // A sample above the level counts: a click the level follower lags.
    std::vector<double> click(40, 0.0);
    click[3] = -0.95;
    hit.Scales(0, click.data(), z, r.data(), m.data(), false, 0.5, scale.data(), 0, 40);
    EXPECT_DOUBLE_EQ(scale[39], 0.95 / 0.5);
}

TEST(EnvelopeShape, ThePeakIsTheHighestLevelTheCurvesReach) {
    std::mt19937 rng(2029u);
    std::uniform_real_distribution<double> level(-0.5, 2.0);
    for (int k = 0; k < 200; ++k) {
        ShapePoint p[EnvelopeShape::kPoints];
        for (int i = 0; i < EnvelopeShape::kPoints; ++i)
            p[i] = {100.0 * i, level(rng)};
        EnvelopeShape shape;
        shape.Set(p);
        double highest = 0.0;
        for (double n = 0.0; n <= 600.0; n += 0.25)
            highest = std::max(highest, shape.At(n));
        // Sampled, the curve can only fall short of its top, and not by much.
        EXPECT_GE(shape.Peak(), highest) << k;
        EXPECT_NEAR(shape.Peak(), highest, 1e-4) << k;
    }
}
