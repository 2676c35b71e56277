// The envelope machine alone, on levels made by hand or by the detector: its
// runs cover every frame once and in order, envelopes move forward within
// their phases under random parameter moves, a block gives the same runs
// however it is cut (with and without the lookahead), and levels that are not
// numbers end nothing badly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "effect/dsp/detector.h"
#include "effect/dsp/envelope_machine.h"
#include "engine_fixture.h"

using namespace engine_test;

namespace {

const double kRate = 48000.0;

// What the machine asked for, frame by frame: -1 passed, else phase * 2^24 +
// envelope position; and the frames where events started.
struct Recorder final : EnvelopeSink {
    const EnvelopeMachine* machine = nullptr;
    std::vector<int64_t> frames;
    std::vector<int64_t> events, cuts, starts;
    int64_t base = 0; // the block's first frame in the whole
    int next = 0;     // the next frame of the block a run must start at
    bool broken = false;
    void Begin(int64_t at) {
        base = at;
        next = 0;
    }
    void Pass(int from, int to) override {
        Check(from, to);
        for (int i = from; i < to; ++i)
            frames.push_back(-1);
    }
    void Shape(int phase, int envPos, int from, int to) override {
        Check(from, to);
        broken |= phase < kPhaseOnset || phase > kPhaseFade || envPos < 0;
        // A run never passes the end of its phase.
        const int end = phase == kPhaseOnset  ? machine->RampLen()
                        : phase == kPhaseBody ? machine->BodyEnd()
                                              : machine->EnvLen();
        broken |= to > from && envPos + (to - from) > end;
        for (int i = from; i < to; ++i)
            frames.push_back(int64_t(phase) * (1 << 24) + envPos + (i - from));
    }
    void Started(int at) override { starts.push_back(base + at); }
    void NewEvent(bool cut) override { (cut ? cuts : events).push_back(base + next); }
    void Check(int from, int to) {
        broken |= from != next || to < from;
        next = to;
    }
};

// The detector's levels of a whole signal.
struct DetectedLevels {
    std::vector<double> level, magnitude, bandL, bandR;
};
DetectedLevels Detect(const Signal& s) {
    Detector d;
    const int n = int(s.l.size());
    d.Prepare(kRate, n);
    d.SetHighCut(3000.0);
    d.Run(s.l.data(), s.r.data(), n, true);
    return {{d.BandLevels(), d.BandLevels() + n},
            {d.BandMagnitudes(), d.BandMagnitudes() + n},
            {d.BandL(), d.BandL() + n},
            {d.BandR(), d.BandR() + n}};
}

void Prepared(EnvelopeMachine& m, double threshold, int envLen) {
    m.SetThreshold(threshold);
    m.SetRamps(12, 1440);
    m.SetLength(envLen);
    m.Reset();
}

// Runs the machine over the levels in the given pieces (with lookahead when
// search is given, following the onsets piece by piece).
void RunPieces(EnvelopeMachine& m, const DetectedLevels& v, const std::vector<int>& pieces,
               OnsetSearch* search, Recorder& rec) {
    rec.machine = &m;
    size_t at = 0;
    for (int n : pieces) {
        rec.Begin(int64_t(at));
        if (search)
            search->Follow(&v.bandL[at], &v.bandR[at], &v.magnitude[at], &v.magnitude[at], n, 0.9,
                           0.999);
        m.Run(&v.level[at], &v.magnitude[at], search, n, rec);
        if (search) search->Keep(n);
        ASSERT_EQ(rec.next, n) << "the runs ended before the block did";
        at += size_t(n);
    }
}

} // namespace

TEST(EnvelopeMachine, ABlockGivesTheSameRunsHoweverItIsCutWithAndWithoutLookahead) {
    std::mt19937 rng(kSeed + 10);
    const Signal s = Hits(120000, rng);
    const DetectedLevels v = Detect(s);
    for (bool lookahead : {false, true}) {
        SCOPED_TRACE(lookahead ? "lookahead" : "no lookahead");
        EnvelopeMachine whole, cut;
        Prepared(whole, 0.1, 4800);
        Prepared(cut, 0.1, 4800);
        OnsetSearch searchWhole, searchCut;
        ASSERT_TRUE(searchWhole.Prepare(480, kRate, int(s.l.size())));
        ASSERT_TRUE(searchCut.Prepare(480, kRate, 700));
        Recorder a, b;
        RunPieces(whole, v, {int(s.l.size())}, lookahead ? &searchWhole : nullptr, a);
        RunPieces(cut, v, Pieces(s.l.size(), 700, rng), lookahead ? &searchCut : nullptr, b);
        EXPECT_FALSE(a.broken);
        EXPECT_FALSE(b.broken);
        ASSERT_EQ(a.frames.size(), s.l.size());
        EXPECT_GT(a.events.size(), 5u); // the material triggers
        EXPECT_EQ(a.events, b.events);
        EXPECT_EQ(a.cuts, b.cuts);
        EXPECT_EQ(a.starts, b.starts);
        EXPECT_TRUE(a.frames == b.frames) << "the runs differ";
    }
}

TEST(EnvelopeMachine, RunsCoverEveryFrameInOrderUnderRandomParameterMoves) {
    std::mt19937 rng(kSeed + 11);
    const Signal s = Hits(200000, rng);
    const DetectedLevels v = Detect(s);
    std::uniform_real_distribution<double> threshold(0.001, 1.0);
    for (bool lookahead : {false, true}) {
        EnvelopeMachine m;
        Prepared(m, 0.1, 4800);
        OnsetSearch search;
        ASSERT_TRUE(search.Prepare(480, kRate, 512));
        Recorder rec;
        rec.machine = &m;
        size_t at = 0;
        for (int n : Pieces(s.l.size(), 512, rng)) {
            // Threshold, length and ramps moved at random, also inside envelopes.
            if (rng() % 4 == 0) m.SetThreshold(threshold(rng));
            if (rng() % 4 == 0) m.SetLength(int(rng() % 20000));
            if (rng() % 8 == 0) m.SetRamps(int(rng() % 50), int(rng() % 3000));
            if (rng() % 50 == 0) m.Cut();
            if (lookahead && rng() % 50 == 0) m.DropPendingStarts();
            rec.Begin(int64_t(at));
            if (lookahead)
                search.Follow(&v.bandL[at], &v.bandR[at], &v.magnitude[at], &v.magnitude[at], n,
                              0.9, 0.999);
            m.Run(&v.level[at], &v.magnitude[at], lookahead ? &search : nullptr, n, rec);
            if (lookahead) search.Keep(n);
            ASSERT_EQ(rec.next, n);
            ASSERT_FALSE(rec.broken) << "at frame " << at;
            at += size_t(n);
        }
        EXPECT_GT(rec.events.size(), 5u);
    }
}

// Hand-made levels (the magnitude equal to the level): a table of steps and
// the frames where events must start.
TEST(EnvelopeMachine, TriggersOnceARiseAndAgainOnlyAfterTheLevelFellToTheRearmLevel) {
    struct Step {
        int from;
        double level;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::vector<int64_t> events, cuts;
    };
    const Case cases[] = {
        {"one rise", {{0, 0.0}, {100, 0.5}}, {100}, {}},
        {"a level held past the envelope does not trigger again",
         {{0, 0.0}, {100, 0.5}, {3000, 0.0}, {4000, 0.5}},
         {100, 4000},
         {}},
        {"a dip that stays above the re-arm level and half the peak is no new hit",
         {{0, 0.0}, {100, 0.5}, {400, 0.3}, {500, 0.5}},
         {100},
         {}},
        {"a dip to half the peak, then a rise of 6 dB, is a new hit inside the envelope",
         {{0, 0.0}, {100, 0.5}, {400, 0.24}, {500, 0.5}},
         {100},
         {500}},
        {"a level under the threshold never triggers", {{0, 0.0}, {100, 0.249}}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<double> level(6000);
        for (size_t k = 0; k < c.steps.size(); ++k)
            for (int i = c.steps[k].from; i < int(level.size()); ++i)
                level[size_t(i)] = c.steps[k].level;
        EnvelopeMachine m;
        m.SetThreshold(0.25);
        m.SetRamps(5, 100);
        m.SetLength(1000);
        m.Reset();
        Recorder rec;
        rec.machine = &m;
        rec.Begin(0);
        m.Run(level.data(), level.data(), nullptr, int(level.size()), rec);
        EXPECT_FALSE(rec.broken);
        EXPECT_EQ(rec.events, c.events);
        EXPECT_EQ(rec.cuts, c.cuts);
        // Each envelope starts on its trigger's frame without lookahead.
        std::vector<int64_t> starts = c.events;
        starts.insert(starts.end(), c.cuts.begin(), c.cuts.end());
        std::sort(starts.begin(), starts.end());
        EXPECT_EQ(rec.starts, starts);
    }
}

TEST(EnvelopeMachine, LevelsThatAreNotNumbersStillEndEveryBlock) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> level(5000, nan), magnitude(5000, nan);
    for (size_t i = 0; i < level.size(); i += 7)
        level[i] = magnitude[i] = 0.0;
    for (bool lookahead : {false, true}) {
        EnvelopeMachine m;
        Prepared(m, 0.25, 300);
        OnsetSearch search;
        ASSERT_TRUE(search.Prepare(480, kRate, 5000));
        Recorder rec;
        rec.machine = &m;
        rec.Begin(0);
        if (lookahead)
            search.Follow(level.data(), level.data(), magnitude.data(), magnitude.data(), 5000, 0.9,
                          0.99);
        m.Run(level.data(), magnitude.data(), lookahead ? &search : nullptr, 5000, rec);
        EXPECT_EQ(rec.next, 5000);
        EXPECT_FALSE(rec.broken);
    }
}
