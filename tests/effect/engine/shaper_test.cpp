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

// Output arrays for n frames, and the io of a run over them from frame at (the
// record's arrays written at the run's positions).
struct Outputs {
    std::vector<double> outL, outR, gain, peaks, floors, levels;
    explicit Outputs(size_t n) : outL(n), outR(n), gain(n), peaks(n), floors(n), levels(n) {}
    ShapeIo Io(const Samples& s, size_t at = 0) {
        return ShapeIo{&s.h[at],      &s.l[at],      &s.a[at],  &s.b[at],  &s.r[at],
                       &s.m[at],      &outL[at],     &outR[at], &gain[at], peaks.data(),
                       floors.data(), levels.data(), int(at),   nullptr};
    }
};

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
        Outputs o(n);
        ShapeFrames(phase, shape, settings, 0, o.Io(run), 0, n);
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(std::isfinite(o.outL[i]) && std::isfinite(o.outR[i]));
            const double bound =
                std::max({std::fabs(run.h[i]), std::fabs(run.l[i]), most}) * (1.0 + 1e-12);
            // The gate's ramps only scale the sum down.
            ASSERT_LE(std::fabs(o.outL[i]), bound + std::fabs(run.a[i])) << "frame " << i;
            ASSERT_LE(std::fabs(o.outR[i]), bound + std::fabs(run.b[i])) << "frame " << i;
            // The record: the output level, the louder input, the divisor's floor.
            ASSERT_EQ(o.levels[i], (o.outL[i] + o.outR[i]) * 0.5);
            ASSERT_EQ(o.peaks[i], std::max(std::fabs(run.h[i]), std::fabs(run.l[i])));
            ASSERT_EQ(o.floors[i], std::max(run.r[i], kMagnitudeShare * run.m[i]));
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
        Outputs whole{size_t(n)}, cut{size_t(n)};
        ShapeFrames(phase, shape, settings, 100, whole.Io(run), 0, n);
        // Pieces as the effect hands them: arrays from the piece's first frame.
        size_t at = 0;
        for (int piece : Pieces(size_t(n), 300, rng)) {
            ShapeFrames(phase, shape, settings, 100 + int(at), cut.Io(run, at), 0, piece);
            at += size_t(piece);
        }
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(Bits(whole.outL[i]), Bits(cut.outL[i])) << "phase " << phase << " " << i;
            ASSERT_EQ(Bits(whole.outR[i]), Bits(cut.outR[i])) << "phase " << phase << " " << i;
            ASSERT_EQ(Bits(whole.levels[i]), Bits(cut.levels[i])) << "phase " << phase << " " << i;
        }
    }
}

// The shape's levels cached by position give the same bits as levels computed
// run by run: envelopes of one shape cut in random runs (the first fills the
// cache, the others read it), then of another shape (the cache told), one of
// them starting past what the cache holds, all reaching past its room.
TEST(Shaper, CachedShapeLevelsGiveTheSameBitsAsComputedOnes) {
    std::mt19937 rng(kSeed + 34);
    const int n = 5000;
    std::vector<double> table(3000);
    ShapeCache cache{table.data(), int(table.size()), 0};
    EnvelopeShape shape;
    for (int envelope = 0; envelope < 6; ++envelope) {
        if (envelope % 3 == 0) {
            shape = RandomShape(n, rng);
            cache.known = 0; // a new shape
        }
        // Begins where the cache knows nothing yet (told of a change).
        const int start = envelope == 4 ? 1200 : 0;
        if (envelope == 4) cache.known = 0;
        const Samples run = RandomRun(size_t(n), rng);
        const ShapeSettings settings{0.9, 30, 2500, 2000, envelope % 2 == 0};
        Outputs plain{size_t(n)}, cached{size_t(n)};
        size_t at = size_t(start);
        while (at < size_t(n)) {
            const int phase = at < 30 ? kPhaseOnset : at < 2500 ? kPhaseBody : kPhaseFade;
            const size_t end = phase == kPhaseOnset ? 30 : phase == kPhaseBody ? 2500 : size_t(n);
            const int len = int(std::min<size_t>(1 + rng() % 400, end - at));
            ShapeFrames(phase, shape, settings, int(at), plain.Io(run, at), 0, len);
            ShapeIo io = cached.Io(run, at);
            io.cache = &cache;
            ShapeFrames(phase, shape, settings, int(at), io, 0, len);
            at += size_t(len);
        }
        for (int i = start; i < n; ++i)
            ASSERT_EQ(Bits(plain.outL[i]), Bits(cached.outL[i])) << envelope << " " << i;
        // Filled up to the last run that fits (none from the late start).
        EXPECT_LE(cache.known, cache.room);
        EXPECT_EQ(cache.known > cache.room - 400, envelope != 4) << envelope;
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
            Outputs o(1000);
            ShapeFrames(phase, shape, ShapeSettings{1.0, 10, 500, 400, false}, 0, o.Io(run), 0,
                        1000);
            for (int i = 0; i < 1000; ++i)
                ASSERT_TRUE(std::isfinite(o.outL[i]) && std::isfinite(o.outR[i]))
                    << "level " << level << " phase " << phase << " frame " << i;
        }
    }
}

TEST(Shaper, StrengthZeroPassesTheSamplesUnchanged) {
    std::mt19937 rng(kSeed + 33);
    const EnvelopeShape shape = RandomShape(2000, rng);
    const Samples run = RandomRun(2000, rng);
    for (int phase : kPhases) {
        Outputs o(2000);
        ShapeFrames(phase, shape, ShapeSettings{0.0, 10, 1000, 500, false}, 0, o.Io(run), 0, 2000);
        for (int i = 0; i < 2000; ++i) {
            ASSERT_EQ(o.outL[i], run.h[i] + run.a[i]);
            ASSERT_EQ(o.outR[i], run.l[i] + run.b[i]);
        }
    }
}

TEST(EventRecord, HasRoomForWhatFitsCountsWhatWasWrittenAndStartsAgainUnderANewCounter) {
    EventRecord record;
    ASSERT_TRUE(record.Prepare(100));
    EXPECT_EQ(record.Capacity(), 100);
    EXPECT_EQ(record.Room(0), 100);
    EXPECT_EQ(record.Room(60), 40);
    EXPECT_EQ(record.Room(100), 0);
    EXPECT_EQ(record.Room(500), 0);
    const uint64_t first = record.Count();
    record.Start();
    EXPECT_EQ(record.Count(), first + 1);
    record.Recorded(60, 80); // positions 60..99; the rest dropped
    EXPECT_EQ(record.Recorded(), 100);
    record.Recorded(10, 5); // an earlier stretch again: still 100
    EXPECT_EQ(record.Recorded(), 100);
    record.Start();
    EXPECT_EQ(record.Recorded(), 0);
    EXPECT_EQ(record.Count(), first + 2);
    // The arrays written are the ones read back.
    record.PeaksToWrite()[7] = 0.5;
    EXPECT_EQ(record.Peaks()[7], 0.5);
    EXPECT_FALSE(EventRecord().Prepare(0));
}
