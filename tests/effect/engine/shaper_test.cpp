// The shaper and the event record alone: the shaped part of a sample never
// leaves the larger of its own level and the shape's, for any shape, levels
// and strength; a run gives the same bits however it is cut; levels that are
// zero, huge or not numbers leave the sample at its own level; the record
// drops what does not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "effect/dsp/envelope_machine.h"
#include "effect/dsp/event_record.h"
#include "effect/dsp/shaper.h"
#include "engine_fixture.h"

using namespace engine_test;

namespace {

// A random shape over length positions: rising x, levels 0 .. 2, control
// points anywhere between (also under the zero line).
EnvelopeShape RandomShape(int length, std::mt19937& rng) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    double xs[EnvelopeShape::kPoints];
    xs[0] = 0.0;
    xs[EnvelopeShape::kPoints - 1] = length;
    for (int i = 1; i < EnvelopeShape::kPoints - 1; ++i)
        xs[i] = u(rng) * length;
    std::sort(xs, xs + EnvelopeShape::kPoints);
    ShapePoint points[EnvelopeShape::kPoints];
    for (int i = 0; i < EnvelopeShape::kPoints; ++i)
        points[i] = {xs[i], i % 2 ? 3.0 * u(rng) - 1.0 : 2.0 * u(rng)};
    EnvelopeShape shape;
    shape.Set(points);
    return shape;
}

double ShapePeak(const EnvelopeShape& shape) {
    double peak = 0.0;
    for (int i = 0; i < EnvelopeShape::kPoints; ++i)
        peak = std::max(peak, std::fabs(shape.Y(i)));
    return peak;
}

struct Samples {
    std::vector<double> h, l, a, b, r, m;
    explicit Samples(size_t n) : h(n), l(n), a(n), b(n), r(n), m(n) {}
};

Samples RandomRun(size_t n, std::mt19937& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Samples run(n);
    for (size_t i = 0; i < n; ++i) {
        run.h[i] = u(rng);
        run.l[i] = u(rng);
        run.a[i] = 0.1 * u(rng);
        run.b[i] = 0.1 * u(rng);
        // Signed levels of any sign and size, magnitude levels of any size.
        run.r[i] = u(rng) * std::pow(10.0, 3.0 * u(rng));
        run.m[i] = std::fabs(u(rng)) * std::pow(10.0, 3.0 * u(rng));
    }
    return run;
}

const int kPhases[] = {kPhaseOnset, kPhaseBody, kPhaseFade};

} // namespace

TEST(Shaper, TheShapedPartStaysWithinTheSampleOrTheShapeForAnyShapeLevelsAndStrength) {
    std::mt19937 rng(kSeed + 30);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int n = 4000;
    for (int trial = 0; trial < 60; ++trial) {
        const EnvelopeShape shape = RandomShape(n, rng);
        const double most = ShapePeak(shape);
        const Samples run = RandomRun(n, rng);
        // Each phase over the positions it runs at: the onset ramp up to its
        // length, the body anywhere, the fade from the body's end to its own.
        const int phase = kPhases[trial % 3];
        const ShapeSettings settings{u(rng), phase == kPhaseOnset ? n : 10,
                                     phase == kPhaseFade ? 0 : n, n, rng() % 2 == 0};
        std::vector<double> outL(n), outR(n), gain(n);
        ShapeFrames(phase, shape, settings, 0, run.h.data(), run.l.data(), run.a.data(),
                    run.b.data(), run.r.data(), run.m.data(), outL.data(), outR.data(), gain.data(),
                    0, n);
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(std::isfinite(outL[i]) && std::isfinite(outR[i]));
            const double bound =
                std::max({std::fabs(run.h[i]), std::fabs(run.l[i]), most}) * (1.0 + 1e-12);
            // The gate's ramps only scale the sum down.
            ASSERT_LE(std::fabs(outL[i]), bound + std::fabs(run.a[i])) << "frame " << i;
            ASSERT_LE(std::fabs(outR[i]), bound + std::fabs(run.b[i])) << "frame " << i;
            // The scratch holds the output level.
            ASSERT_EQ(gain[i], (outL[i] + outR[i]) * 0.5);
        }
    }
}

TEST(Shaper, ARunGivesTheSameBitsHoweverItIsCut) {
    std::mt19937 rng(kSeed + 31);
    const int n = 6000;
    for (int phase : kPhases) {
        const EnvelopeShape shape = RandomShape(n, rng);
        const Samples run = RandomRun(n, rng);
        const ShapeSettings settings{0.8, 40, 3000, 1500, phase != kPhaseBody};
        std::vector<double> wholeL(n), wholeR(n), cutL(n), cutR(n), gain(n);
        ShapeFrames(phase, shape, settings, 100, run.h.data(), run.l.data(), run.a.data(),
                    run.b.data(), run.r.data(), run.m.data(), wholeL.data(), wholeR.data(),
                    gain.data(), 0, n);
        // Pieces as the effect hands them: arrays from the piece's first frame.
        int at = 0;
        for (int piece : Pieces(size_t(n), 300, rng)) {
            ShapeFrames(phase, shape, settings, 100 + at, &run.h[at], &run.l[at], &run.a[at],
                        &run.b[at], &run.r[at], &run.m[at], &cutL[at], &cutR[at], &gain[at], 0,
                        piece);
            at += piece;
        }
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(Bits(wholeL[i]), Bits(cutL[i])) << "phase " << phase << " frame " << i;
            ASSERT_EQ(Bits(wholeR[i]), Bits(cutR[i])) << "phase " << phase << " frame " << i;
        }
    }
}

TEST(Shaper, LevelsThatAreZeroHugeOrNotNumbersLeaveEverySampleFinite) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::mt19937 rng(kSeed + 32);
    const EnvelopeShape shape = RandomShape(1000, rng);
    for (double level : {0.0, -0.0, nan, inf, -inf, 1e308, -1e308, 1e-320}) {
        Samples run = RandomRun(1000, rng);
        std::fill(run.r.begin(), run.r.end(), level);
        std::fill(run.m.begin(), run.m.end(), std::fabs(level));
        for (int phase : kPhases) {
            std::vector<double> outL(1000), outR(1000), gain(1000);
            ShapeFrames(phase, shape, ShapeSettings{1.0, 10, 500, 400, false}, 0, run.h.data(),
                        run.l.data(), run.a.data(), run.b.data(), run.r.data(), run.m.data(),
                        outL.data(), outR.data(), gain.data(), 0, 1000);
            for (int i = 0; i < 1000; ++i)
                ASSERT_TRUE(std::isfinite(outL[i]) && std::isfinite(outR[i]))
                    << "level " << level << " phase " << phase << " frame " << i;
        }
    }
}

TEST(Shaper, StrengthZeroPassesTheSamplesUnchanged) {
    std::mt19937 rng(kSeed + 33);
    const EnvelopeShape shape = RandomShape(2000, rng);
    const Samples run = RandomRun(2000, rng);
    for (int phase : kPhases) {
        std::vector<double> outL(2000), outR(2000), gain(2000);
        ShapeFrames(phase, shape, ShapeSettings{0.0, 10, 1000, 500, false}, 0, run.h.data(),
                    run.l.data(), run.a.data(), run.b.data(), run.r.data(), run.m.data(),
                    outL.data(), outR.data(), gain.data(), 0, 2000);
        for (int i = 0; i < 2000; ++i) {
            ASSERT_EQ(outL[i], run.h[i] + run.a[i]);
            ASSERT_EQ(outR[i], run.l[i] + run.b[i]);
        }
    }
}

TEST(EventRecord, KeepsWhatFitsDropsTheRestAndStartsAgainUnderANewCounter) {
    EventRecord record;
    ASSERT_TRUE(record.Prepare(100));
    EXPECT_EQ(record.Capacity(), 100);
    const uint64_t first = record.Count();
    record.Start();
    EXPECT_EQ(record.Count(), first + 1);
    std::vector<double> h(80, 0.5), l(80, -0.7), r(80, 0.01), m(80, 0.2), out(80, 0.3);
    record.RecordPeaks(h.data(), l.data(), 60, 80);
    record.Record(r.data(), m.data(), out.data(), 60, 80);
    EXPECT_EQ(record.Recorded(), 100); // positions 60..99; the rest dropped
    EXPECT_EQ(record.Peaks()[99], 0.7);
    // The divisor's floor: the share of the magnitude level over a lower level.
    EXPECT_EQ(record.Levels()[60], kMagnitudeShare * 0.2);
    EXPECT_EQ(record.Outs()[75], 0.3);
    record.Record(r.data(), m.data(), out.data(), 500, 10); // past the end: nothing
    EXPECT_EQ(record.Recorded(), 100);
    record.Start();
    EXPECT_EQ(record.Recorded(), 0);
    EXPECT_EQ(record.Count(), first + 2);
    EXPECT_FALSE(EventRecord().Prepare(0));
}
