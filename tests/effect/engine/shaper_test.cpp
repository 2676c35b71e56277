// The shaper and the event record alone: the shaped part of a sample never
// leaves the larger of its own level and the shape's, for any shape, levels
// and strength; a run gives the same bits however it is cut; levels that are
// zero, huge or not numbers leave the sample at its own level; the record
// drops what does not fit; a new hit's envelope glides on from where the one
// before left off, so the gain never jumps at a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "effect/dsp/detector.h"
#include "effect/dsp/envelope_machine.h"
#include "effect/dsp/event_record.h"
#include "effect/dsp/samples_of.h"
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
    ShapeIo Io(const Samples& s, size_t at = 0, const double* ahead = nullptr) {
        return ShapeIo{&s.h[at],  &s.l[at],     &s.a[at],      &s.b[at],
                       &s.r[at],  &s.m[at],     &outL[at],     &outR[at],
                       &gain[at], peaks.data(), floors.data(), levels.data(),
                       int(at),   nullptr,      nullptr,       ahead ? ahead + at : nullptr};
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
        // Every other trial with peaks ahead (any size: they only raise the
        // divisor's floor).
        std::vector<double> ahead(n);
        for (double& a : ahead)
            a = u(rng) * std::pow(10.0, 2.0 * u(rng) - 1.0);
        const bool withAhead = trial % 2 == 1;
        Outputs o(n);
        ShapeFrames(phase, shape, settings, 0, o.Io(run, 0, withAhead ? ahead.data() : nullptr), 0,
                    n);
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
            ASSERT_EQ(o.floors[i],
                      std::max({run.r[i], kMagnitudeShare * run.m[i], withAhead ? ahead[i] : 0.0}));
        }
    }
}

// A hit's rising edge climbs past the signed level, which lags it: divided by
// each sample's own magnitude it comes out flat at the shape's level (a
// waveform bent square); divided by the peak ahead it keeps its form, scaled.
TEST(Shaper, WithThePeakAheadARisingEdgeIsScaledNotFlattened) {
    const int n = 64;
    const double level = 0.1, peak = 0.8;
    ShapePoint points[EnvelopeShape::kPoints];
    for (int i = 0; i < EnvelopeShape::kPoints; ++i)
        points[i] = {double(i * n) / (EnvelopeShape::kPoints - 1), level};
    EnvelopeShape shape;
    shape.Set(points);
    Samples edge(n);
    for (int i = 0; i < n; ++i) {
        edge.h[i] = edge.l[i] = peak * std::sin(1.5 * double(i + 1) / n); // rising
        edge.r[i] = edge.m[i] = 0.5 * edge.h[i];                          // lagging
    }
    const std::vector<double> ahead(n, peak);
    const ShapeSettings settings{1.0, 1, n, n, false};
    Outputs flat(n), scaled(n);
    ShapeFrames(kPhaseBody, shape, settings, 0, flat.Io(edge), 0, n);
    ShapeFrames(kPhaseBody, shape, settings, 0, scaled.Io(edge, 0, ahead.data()), 0, n);
    for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(flat.outL[i], level, 1e-12) << i;
        EXPECT_NEAR(scaled.outL[i], edge.h[i] * level / peak, 1e-12) << i;
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

namespace {

// A new envelope that starts where an old one, cut in its body or fade, left
// off: the old run over frames 0..before-1, the new one from frame before on
// (its onset, then its body), the samples 1 under a held divisor above 1, so
// that the output is the gain (times the gate's opening).
struct Restart {
    int before = 200, rampLen = 12, fadeLen = 600, carryLen = 48, n = 400;
    std::vector<double> outL, fresh;
    bool gate = false;
};

Restart RunRestart(std::mt19937& rng, bool carry) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Restart run;
    const int envLen = 2000 + int(rng() % 2000), bodyEnd = envLen - run.fadeLen;
    const EnvelopeShape oldShape = RandomShape(envLen, rng), newShape = RandomShape(envLen, rng);
    run.gate = rng() % 2 == 0;
    const double strength = u(rng);
    const int oldPhase = rng() % 2 ? kPhaseBody : kPhaseFade;
    const int cutAt = oldPhase == kPhaseBody
                          ? run.before + int(rng() % uint32_t(bodyEnd - run.before))
                          : bodyEnd + run.before + int(rng() % uint32_t(run.fadeLen - run.before));
    Samples s(size_t(run.n));
    std::fill(s.h.begin(), s.h.end(), 1.0);
    std::fill(s.l.begin(), s.l.end(), 1.0);
    std::fill(s.r.begin(), s.r.end(), 1.0 + 2.0 * u(rng));
    s.m = s.r;
    Outputs o{size_t(run.n)}, alone{size_t(run.n)};
    const ShapeSettings oldSettings{strength, run.rampLen, bodyEnd, run.fadeLen, run.gate};
    const ShapeEnd end =
        ShapeFrames(oldPhase, oldShape, oldSettings, cutAt - run.before, o.Io(s), 0, run.before);
    ShapeSettings settings{strength, run.rampLen, bodyEnd, run.fadeLen, run.gate};
    settings.carry = carry;
    settings.carryLen = run.carryLen;
    settings.carryLevel = end.level;
    settings.carryRamp = end.ramp;
    settings.carryGate = end.gate;
    const int b = run.before, r = run.before + run.rampLen;
    ShapeFrames(kPhaseOnset, newShape, settings, 0, o.Io(s, size_t(b)), 0, run.rampLen);
    ShapeFrames(kPhaseBody, newShape, settings, run.rampLen, o.Io(s, size_t(r)), 0, run.n - r);
    // The new envelope as after silence.
    const ShapeSettings plain{strength, run.rampLen, bodyEnd, run.fadeLen, run.gate};
    ShapeFrames(kPhaseOnset, newShape, plain, 0, alone.Io(s, size_t(b)), 0, run.rampLen);
    ShapeFrames(kPhaseBody, newShape, plain, run.rampLen, alone.Io(s, size_t(r)), 0, run.n - r);
    run.outL = o.outL;
    run.fresh = alone.outL;
    return run;
}

} // namespace

// At a restart the new envelope starts exactly where the old one left off
// (the output, with samples and divisor held, does not move from the old
// envelope's last frame to the new one's first), and from the glide's end on
// it is its own envelope to the last bit, for any shapes, strength, gate and
// phase the old one was cut in.
TEST(ShapeCarry, ANewEnvelopeStartsWhereTheOldLeftOffAndIsItsOwnAfterTheGlide) {
    std::mt19937 rng(kSeed + 35);
    for (int trial = 0; trial < 200; ++trial) {
        const Restart run = RunRestart(rng, true);
        const int b = run.before;
        ASSERT_NEAR(run.outL[b], run.outL[b - 1], 1e-12 * std::fabs(run.outL[b - 1]))
            << "trial " << trial;
        for (int i = b + run.carryLen; i < run.n; ++i)
            ASSERT_EQ(Bits(run.outL[i]), Bits(run.fresh[i])) << "trial " << trial << " " << i;
    }
}

// Without carry an onset starts as after silence: what the carry holds
// changes nothing, to the last bit.
TEST(ShapeCarry, WithoutCarryAnOnsetIsTheOnsetAfterSilence) {
    std::mt19937 rng(kSeed + 36);
    for (int trial = 0; trial < 50; ++trial) {
        const Restart run = RunRestart(rng, false);
        for (int i = run.before; i < run.n; ++i)
            ASSERT_EQ(Bits(run.outL[i]), Bits(run.fresh[i])) << "trial " << trial << " " << i;
    }
}

namespace {

// Hits as the detector's level would show them: a jump to a random peak over
// the threshold, then a decay, the next hit often while the envelope before
// still runs (a restart).
std::vector<double> HitLevels(int frames, double rate, std::mt19937& rng) {
    std::uniform_real_distribution<double> peak(0.3, 1.0), gap(0.01, 0.15), decay(0.005, 0.05);
    std::vector<double> level(size_t(frames), 0.0);
    double v = 0.0, k = 0.0;
    int next = int(0.02 * rate);
    for (int i = 0; i < frames; ++i) {
        if (i == next) {
            v = peak(rng);
            k = std::exp(-1.0 / (decay(rng) * rate));
            next += int(gap(rng) * rate);
        }
        level[size_t(i)] = v;
        v *= k;
    }
    return level;
}

// The machine's runs shaped as the effect shapes them, with its carry, over
// samples of 1 under a held divisor: the output is the gain (times the gate).
struct CarriedShaping final : EnvelopeSink {
    const EnvelopeShape* shape;
    ShapeSettings settings;
    ShapeCarry carry;
    const EnvelopeMachine* machine;
    Samples* samples;
    Outputs* out;
    // With follow, each envelope's shape scaled by a level of its own.
    std::mt19937* follow = nullptr;
    std::vector<double> scale;
    double scaleNow = 1.0;
    std::vector<int64_t> restarts;
    size_t base = 0;
    bool shapedLast = false;
    void Pass(int from, int to) override {
        for (int i = from; i < to; ++i)
            out->outL[base + size_t(i)] = settings.gate ? 0.0 : samples->h[base + size_t(i)];
        if (to > from) {
            carry.Break();
            shapedLast = false;
        }
    }
    void Shape(int phase, int envPos, int from, int to) override {
        if (phase == kPhaseOnset && envPos == 0 && shapedLast)
            restarts.push_back(int64_t(base) + from);
        ShapeSettings s = settings;
        s.rampLen = machine->RampLen();
        s.bodyEnd = machine->BodyEnd();
        s.fadeLen = machine->FadeLen();
        carry.Into(s, phase, envPos);
        ShapeIo io = out->Io(*samples, base + size_t(from));
        if (follow) {
            if (phase == kPhaseOnset && envPos == 0)
                scaleNow = std::uniform_real_distribution<double>(0.3, 2.0)(*follow);
            scale.resize(out->outL.size());
            std::fill(&scale[base + size_t(from)], &scale[base + size_t(to)], scaleNow);
            io.scale = &scale[base + size_t(from)];
        }
        const ShapeEnd end = ShapeFrames(phase, *shape, s, envPos, io, 0, to - from);
        if (to > from) {
            carry.Shaped(end);
            shapedLast = true;
        }
    }
    void Started(int) override {}
    void NewEvent(bool) override {}
};

// The largest step of the shape's level from one position to the next.
double ShapeSlope(const EnvelopeShape& shape, int length) {
    double most = 0.0, last = std::max(shape.At(0.0), 0.0);
    for (int n = 1; n <= length; ++n) {
        const double v = std::max(shape.At(double(n)), 0.0);
        most = std::max(most, std::fabs(v - last));
        last = v;
    }
    return most;
}

} // namespace

// Under random restarts, shapes, strengths, gate, a level followed per hit
// (a scale held over each envelope), block sizes and at 44.1, 48 and 96 kHz,
// the gain moves from one frame to the next no more than the envelope's own
// ramps and the shape's slope let it anywhere in an envelope: with gain
// g = 1 + (L / D - 1) s R and the gate's opening q, |dg| <= s (dL / D + (Lmax
// / D + 1) dR) and |d(g q)| <= |dg| + gmax dq, the level moving at most the
// shape's slope plus 1.5 Lmax over the glide, the ramps 1 / rampLen plus 1.5
// over the glide (its S-curve's steepest). At a restart without the glide the gain jumps to no
// change (and the gate shuts), which breaks the bound.
TEST(ShapeCarry, UnderRandomRestartsTheGainMovesNoFasterThanTheEnvelopesRampsAndShape) {
    std::mt19937 rng(kSeed + 37);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int restarts = 0;
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        for (int trial = 0; trial < 12; ++trial) {
            const int frames = int(2.0 * rate);
            const int envLen = int((0.05 + 0.25 * u(rng)) * rate);
            EnvelopeMachine machine;
            machine.SetThreshold(0.25);
            machine.SetRamps(SamplesOf(Detector::kAttackSeconds, rate), SamplesOf(0.03, rate));
            machine.SetLength(envLen);
            machine.Reset();
            const EnvelopeShape shape = RandomShape(envLen, rng);
            const double divisor = 1.0 + 2.0 * u(rng);
            Samples samples{size_t(frames)};
            std::fill(samples.h.begin(), samples.h.end(), 1.0);
            std::fill(samples.l.begin(), samples.l.end(), 1.0);
            std::fill(samples.r.begin(), samples.r.end(), divisor);
            samples.m = samples.r;
            // Half the trials follow each hit's level: a scale per envelope.
            const bool scaled = trial % 2 == 1;
            const double scaleMost = scaled ? 2.0 : 1.0;
            Outputs out{size_t(frames)};
            CarriedShaping sink;
            sink.shape = &shape;
            sink.settings = ShapeSettings{u(rng), 0, 0, 0, rng() % 2 == 0};
            sink.carry.SetLength(SamplesOf(ShapeCarry::kGlideSeconds, rate));
            sink.machine = &machine;
            sink.samples = &samples;
            sink.out = &out;
            sink.follow = scaled ? &rng : nullptr;
            const std::vector<double> level = HitLevels(frames, rate, rng);
            for (int piece : Pieces(size_t(frames), 1 + int(rng() % 600), rng)) {
                machine.Run(&level[sink.base], &level[sink.base], nullptr, piece, sink);
                sink.base += size_t(piece);
            }
            restarts += int(sink.restarts.size());

            const double s = sink.settings.strength, d = divisor;
            const double most = ShapePeak(shape) * scaleMost;
            const double glide = 1.5 / SamplesOf(ShapeCarry::kGlideSeconds, rate);
            const double ramps = 1.0 / machine.RampLen() + glide;
            const double levelStep = ShapeSlope(shape, envLen) * scaleMost + most * glide;
            const double gainStep = s * (levelStep / d + (most / d + 1.0) * ramps);
            const double bound =
                (gainStep + (sink.settings.gate ? (1.0 + s * most / d) * ramps : 0.0)) * 1.001 +
                1e-12;
            for (int i = 1; i < frames; ++i)
                ASSERT_LE(std::fabs(out.outL[size_t(i)] - out.outL[size_t(i - 1)]), bound)
                    << rate << " Hz, trial " << trial << ", frame " << i << " ("
                    << (std::find(sink.restarts.begin(), sink.restarts.end(), i) !=
                                sink.restarts.end()
                            ? "a restart"
                            : "no restart")
                    << ")";
        }
    }
    // The material restarts envelopes, or the bound was never put to the test.
    EXPECT_GT(restarts, 100);
}

// Strength 0 (without the gate) leaves every sample as it was, to the last
// bit, through restarts and their glides too.
TEST(ShapeCarry, StrengthZeroLeavesEverySampleAsItWasThroughRestarts) {
    std::mt19937 rng(kSeed + 38);
    const double rate = 48000.0;
    const int frames = int(rate), envLen = int(0.2 * rate);
    EnvelopeMachine machine;
    machine.SetThreshold(0.25);
    machine.SetRamps(SamplesOf(Detector::kAttackSeconds, rate), SamplesOf(0.03, rate));
    machine.SetLength(envLen);
    machine.Reset();
    const EnvelopeShape shape = RandomShape(envLen, rng);
    // Nothing added back: what passes is the samples shaped, as in the effect.
    Samples samples = RandomRun(size_t(frames), rng);
    std::fill(samples.a.begin(), samples.a.end(), 0.0);
    std::fill(samples.b.begin(), samples.b.end(), 0.0);
    Outputs out{size_t(frames)};
    CarriedShaping sink;
    sink.shape = &shape;
    sink.settings = ShapeSettings{0.0, 0, 0, 0, false};
    sink.carry.SetLength(SamplesOf(ShapeCarry::kGlideSeconds, rate));
    sink.machine = &machine;
    sink.samples = &samples;
    sink.out = &out;
    const std::vector<double> level = HitLevels(frames, rate, rng);
    for (int piece : Pieces(size_t(frames), 300, rng)) {
        machine.Run(&level[sink.base], &level[sink.base], nullptr, piece, sink);
        sink.base += size_t(piece);
    }
    ASSERT_GT(sink.restarts.size(), 3u);
    for (int i = 0; i < frames; ++i)
        ASSERT_EQ(Bits(out.outL[size_t(i)]), Bits(samples.h[size_t(i)])) << i;
}

// A hit that restarts an envelope still gliding from the one before starts
// where that glide had got to: the carry is what was heard last, glide and
// all.
TEST(ShapeCarry, ARestartWithinAGlideStartsWhereTheGlideHadGotTo) {
    std::mt19937 rng(kSeed + 39);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int rampLen = 12, carryLen = 48, n = 200;
    for (int trial = 0; trial < 200; ++trial) {
        const EnvelopeShape first = RandomShape(3000, rng), second = RandomShape(3000, rng);
        const bool gate = rng() % 2 == 0;
        Samples s{size_t(n)};
        std::fill(s.h.begin(), s.h.end(), 1.0);
        std::fill(s.l.begin(), s.l.end(), 1.0);
        std::fill(s.r.begin(), s.r.end(), 1.0 + 2.0 * u(rng));
        s.m = s.r;
        ShapeSettings settings{u(rng), rampLen, 2000, 900, gate};
        settings.carry = true;
        settings.carryLen = carryLen;
        settings.carryLevel = 2.0 * u(rng);
        settings.carryRamp = u(rng);
        settings.carryGate = u(rng);
        // The first envelope, itself a restart, for fewer frames than its
        // glide lasts (its onset and the start of its body).
        const int cut = rampLen + 1 + int(rng() % uint32_t(carryLen - rampLen - 1));
        Outputs o{size_t(n)};
        ShapeFrames(kPhaseOnset, first, settings, 0, o.Io(s), 0, rampLen);
        const ShapeEnd end =
            ShapeFrames(kPhaseBody, first, settings, rampLen, o.Io(s, rampLen), 0, cut - rampLen);
        settings.carryLevel = end.level;
        settings.carryRamp = end.ramp;
        settings.carryGate = end.gate;
        ShapeFrames(kPhaseOnset, second, settings, 0, o.Io(s, size_t(cut)), 0, rampLen);
        ASSERT_NEAR(o.outL[size_t(cut)], o.outL[size_t(cut - 1)],
                    1e-12 * std::fabs(o.outL[size_t(cut - 1)]))
            << "trial " << trial;
    }
}
