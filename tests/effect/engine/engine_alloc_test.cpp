// The processing's blocks allocate nothing once prepared: the detector, the
// onset search, the lookahead's delay, the envelope machine, the shaper and
// the event record over a block of drum-like hits.
#include "tests/common/counting_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "effect/dsp/detector.h"
#include "effect/dsp/envelope_machine.h"
#include "effect/dsp/event_record.h"
#include "effect/dsp/lookahead_delay.h"
#include "effect/dsp/shaper.h"
#include "engine_fixture.h"

using namespace engine_test;

namespace {

// Shapes every run it is given, as the effect does.
struct Shaping final : EnvelopeSink {
    const double *h, *l, *r, *m;
    std::vector<double> zeros, outL, outR, gain;
    EnvelopeShape shape;
    EventRecord* record;
    int shaped = 0;
    void Pass(int, int) override {}
    void Shape(int phase, int envPos, int from, int to) override {
        // As the effect does it: the record's arrays while it has room.
        const int kept = std::min(to - from, record->Room(envPos));
        const ShapeIo io{h,
                         l,
                         zeros.data(),
                         zeros.data(),
                         r,
                         m,
                         outL.data(),
                         outR.data(),
                         gain.data(),
                         record->PeaksToWrite(),
                         record->LevelsToWrite(),
                         record->OutsToWrite(),
                         envPos - from,
                         nullptr,
                         nullptr};
        ShapeFrames(phase, shape, ShapeSettings{1.0, 12, 3000, 1440, true}, envPos, io, from,
                    from + kept);
        record->Recorded(envPos, to - from);
        shaped += to - from;
    }
    void Started(int) override {}
    void NewEvent(bool) override { record->Start(); }
};

} // namespace

TEST(EngineAllocation, TheBlocksAllocateNothingWhileTheyProcess) {
    AllocationCounter counter;
    std::mt19937 rng(kSeed + 40);
    const Signal s = Hits(48000, rng);
    const int block = 512;
    Detector detector;
    OnsetSearch search;
    LookaheadDelay delay;
    EnvelopeMachine machine;
    EventRecord record;
    ASSERT_TRUE(detector.Prepare(48000.0, block));
    ASSERT_TRUE(search.Prepare(480, 48000.0, block));
    ASSERT_TRUE(delay.Prepare(480, 48000.0, block, true));
    ASSERT_TRUE(record.Prepare(48001));
    machine.SetThreshold(0.05);
    machine.SetRamps(12, 1440);
    machine.SetLength(4800);
    machine.Reset();
    Shaping sink;
    sink.zeros.assign(block, 0.0);
    sink.outL.assign(block, 0.0);
    sink.outR.assign(block, 0.0);
    sink.gain.assign(block, 0.0);
    sink.record = &record;

    counter.Start();
    for (size_t at = 0; at + block <= s.l.size(); at += block) {
        detector.Run(&s.l[at], &s.r[at], block, true);
        search.Follow(detector.BandL(), detector.BandR(), detector.BandMagnitudes(),
                      detector.FullMagnitudes(), block, detector.AttackCoef(),
                      detector.ReleaseCoef());
        delay.Run(&s.l[at], &s.r[at], detector.BandL(), detector.BandR(), detector.FullLevels(),
                  detector.FullMagnitudes(), block, false);
        sink.h = delay.AudioL();
        sink.l = delay.AudioR();
        sink.r = delay.Levels();
        sink.m = delay.Magnitudes();
        machine.Run(detector.BandLevels(), detector.BandMagnitudes(), &search, block, sink);
        search.Keep(block);
    }
    EXPECT_EQ(counter.Stop(), 0);
    EXPECT_GT(sink.shaped, 10000); // the hits were shaped
}
