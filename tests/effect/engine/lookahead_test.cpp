// The lookahead's blocks alone: the delay hands out exactly what went in its
// length before, however the blocks are cut; the onset search's starts stay
// within the lookahead and its onset levels do not depend on the cut.
#include <gtest/gtest.h>

#include <cmath>

#include "base/round_double.h"
#include "effect/dsp/lookahead_delay.h"
#include "effect/dsp/onset_search.h"
#include "engine_fixture.h"

using namespace engine_test;

// The louder magnitude of the two channels at frame k (0 before the start).
double LouderAt(const Signal& s, long k) {
    return k < 0 ? 0.0 : std::max(std::fabs(s.l[size_t(k)]), std::fabs(s.r[size_t(k)]));
}

TEST(LookaheadDelay, HandsOutEverySignalItsLengthLaterWhateverTheBlocks) {
    std::mt19937 rng(kSeed + 20);
    const Signal s = Hits(20000, rng);
    const double fall = std::exp(-1.0 / (LookaheadDelay::kPeakHoldSeconds * 48000.0));
    // The peak hold frame by frame, each fallen hold rounded to a double, with
    // the fall as the delay has it (a lone 1 held a frame on): the peaks are
    // these to the bit, however the delay groups the frames.
    double lone[2] = {1.0, 0.0}, loneBand[2] = {1.0, 0.0};
    LookaheadDelay first;
    ASSERT_TRUE(first.Prepare(0, 48000.0, 2, true));
    first.Run(lone, lone, loneBand, loneBand, lone, lone, 2, false);
    const double delayFall = first.PeaksAhead()[1];
    std::vector<double> held(s.l.size());
    for (size_t k = 0; k < held.size(); ++k) {
        double fallen = (k ? held[k - 1] : 0.0) * delayFall;
        RoundToDouble(fallen);
        held[k] = std::max(fallen, LouderAt(s, long(k)));
    }
    for (int length : {0, 1, 240, 480}) {
        LookaheadDelay delay;
        ASSERT_TRUE(delay.Prepare(length, 48000.0, 512, true));
        EXPECT_EQ(delay.Length(), length);
        const long ahead = std::min(length, int(LookaheadDelay::kPeakAheadSeconds * 48000.0));
        std::vector<double> bandL = s.l, bandR = s.r;
        size_t at = 0;
        double loudest = 0.0; // of the samples up to the newest the peaks reach
        for (int n : Pieces(s.l.size(), 512, rng)) {
            delay.Run(&s.l[at], &s.r[at], &bandL[at], &bandR[at], &s.r[at], &s.l[at], n, false);
            for (int i = 0; i < n; ++i) {
                const size_t k = at + size_t(i);
                // The peaks ahead of the frame heard now (input frame k -
                // length): at least the sample `ahead` frames on, at least each
                // sample up to there as far as the hold has fallen, and never
                // more than the loudest sample that far.
                const long heard = long(k) - length, newest = heard + ahead;
                loudest = std::max(loudest, LouderAt(s, newest));
                const double peak = delay.PeaksAhead()[i];
                ASSERT_EQ(Bits(peak), Bits(newest < 0 ? 0.0 : held[size_t(newest)]))
                    << "length " << length << " frame " << k;
                ASSERT_GE(peak, LouderAt(s, newest));
                for (long j = heard; j < newest; ++j)
                    ASSERT_GE(peak, LouderAt(s, j) * std::pow(fall, double(newest - j)) * 0.999999);
                ASSERT_LE(peak, loudest);
                // Silence comes out first.
                const double l = k >= size_t(length) ? s.l[k - size_t(length)] : 0.0;
                const double r = k >= size_t(length) ? s.r[k - size_t(length)] : 0.0;
                ASSERT_EQ(delay.AudioL()[i], l) << "length " << length << " frame " << k;
                ASSERT_EQ(delay.AudioR()[i], r);
                ASSERT_EQ(bandL[k], l);
                ASSERT_EQ(bandR[k], r);
                ASSERT_EQ(delay.Levels()[i], r);
                ASSERT_EQ(delay.Magnitudes()[i], l);
            }
            at += size_t(n);
        }
    }
}

TEST(OnsetSearch, OnsetLevelsDoNotDependOnHowTheBlockIsCut) {
    std::mt19937 rng(kSeed + 21);
    const Signal s = Hits(30000, rng);
    const std::vector<double> magnitude(s.l.size(), 0.1);
    OnsetSearch whole, cut;
    ASSERT_TRUE(whole.Prepare(480, 48000.0, int(s.l.size())));
    ASSERT_TRUE(cut.Prepare(480, 48000.0, 600));
    whole.Follow(s.l.data(), s.r.data(), magnitude.data(), magnitude.data(), int(s.l.size()), 0.9,
                 0.999);
    size_t at = 0;
    for (int n : Pieces(s.l.size(), 600, rng)) {
        cut.Follow(&s.l[at], &s.r[at], &magnitude[at], &magnitude[at], n, 0.9, 0.999);
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(Bits(cut.Onsets()[i]), Bits(whole.Onsets()[at + size_t(i)])) << at + i;
        cut.Keep(n);
        at += size_t(n);
    }
}

// A start decided from any levels lies within the lookahead: the frames it
// waits after its decision never pass what the delay holds back.
TEST(OnsetSearch, EveryStartIsDueWithinTheLookaheadOfItsTrigger) {
    std::mt19937 rng(kSeed + 22);
    const Signal s = Hits(60000, rng);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> magnitude(s.l.size());
    for (double& m : magnitude)
        m = u(rng) * u(rng);
    for (double rate : {22050.0, 44100.0, 96000.0}) {
        const int lookahead = int(0.010 * rate);
        OnsetSearch search;
        ASSERT_TRUE(search.Prepare(lookahead, rate, 2048));
        ASSERT_GT(search.DecideLength(), 0);
        ASSERT_LT(search.DecideLength(), lookahead);
        size_t at = 0;
        int starts = 0;
        for (int n : Pieces(s.l.size(), 2048, rng)) {
            search.Follow(&s.l[at], &s.r[at], &magnitude[at], &magnitude[at], n, 0.9, 0.999);
            for (int u0 = 0; u0 < n; u0 += 37) {
                for (int since : {0, search.DecideLength() - 1}) {
                    const int wait = search.Wait(u0, since);
                    ASSERT_GE(wait, 0);
                    ASSERT_LE(wait, lookahead - 1);
                }
            }
            // A trigger at the block's first frame, counted down frame by frame.
            PendingStart start = search.Schedule(0);
            int frames = 0;
            bool due = false;
            for (int g = 0; g < n && start.Pending() && !due; ++g, ++frames)
                due = search.CountDown(start, g, g + 1);
            if (due) {
                // Decided after DecideLength frames, then placed at most the
                // lookahead later: never after the hit leaves the delay.
                ++starts;
                EXPECT_GE(frames, search.DecideLength());
                EXPECT_LE(frames, search.DecideLength() + lookahead);
            }
            search.Keep(n);
            at += size_t(n);
        }
        EXPECT_GT(starts, 5);
    }
}

TEST(OnsetSearch, ALookaheadTooShortToDecideInPlacesTheStartAtOnce) {
    OnsetSearch search;
    ASSERT_TRUE(search.Prepare(2, 48000.0, 16));
    EXPECT_EQ(search.DecideLength(), 1);
    ASSERT_TRUE(search.Prepare(0, 48000.0, 16));
    EXPECT_EQ(search.DecideLength(), 0);
    const std::vector<double> zeros(16, 0.0);
    search.Follow(zeros.data(), zeros.data(), zeros.data(), zeros.data(), 16, 0.9, 0.99);
    const PendingStart start = search.Schedule(3);
    EXPECT_EQ(start.decide, 0);
    EXPECT_EQ(start.wait, 1); // the frame after the trigger
}

// An onset level that falls all through the lookahead (a burst long before,
// then a smooth low tone that holds the level up) shows no attack there: the
// hit began before it, and the start is the earliest still to come out of
// the delay, not the frame the search decides at.
TEST(OnsetSearch, AHitWithNoAttackWithinTheLookaheadStartsAtItsFarEnd) {
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        const int lookahead = int(0.010 * rate), frames = 4 * lookahead;
        std::vector<double> band(static_cast<size_t>(frames)), level(band.size(), 0.5);
        for (int i = 0; i < frames; ++i)
            band[size_t(i)] = i < lookahead / 4
                                  ? (i % 2 ? 0.5 : -0.5)
                                  : 0.5 * std::sin(2.0 * 3.14159265 * 50.0 * i / rate);
        OnsetSearch search;
        ASSERT_TRUE(search.Prepare(lookahead, rate, frames));
        search.Follow(band.data(), band.data(), level.data(), level.data(), frames, 0.9, 0.999);
        EXPECT_LE(search.Wait(frames - 1, search.DecideLength() - 1), 1) << rate << " Hz";
    }
}

// Switched on after a stretch off, the delay starts from the frames it kept:
// every output lies between the undelayed and the delayed sample (a mix), the
// delayed share only grows, and after the glide the output is the delayed
// signal exactly; switched off, the same the other way.
TEST(LookaheadDelay, SwitchedWhilePlayingGlidesBetweenTheUndelayedAndTheDelayedSignal) {
    std::mt19937 rng(kSeed + 23);
    const Signal s = Hits(12000, rng);
    const int length = 480, glide = int(LookaheadDelay::kGlideSeconds * 48000.0);
    LookaheadDelay delay;
    ASSERT_TRUE(delay.Prepare(length, 48000.0, 512, false));
    EXPECT_FALSE(delay.Running());
    std::vector<double> band(512);
    size_t at = 0;
    for (; at < 4000; at += 100)
        delay.Keep(&s.l[at], &s.r[at], nullptr, nullptr, 100);
    for (bool on : {true, false}) {
        delay.Switch(on, 0.1, 0.2);
        EXPECT_TRUE(delay.Running());
        double lastShare = on ? 0.0 : 1.0;
        // (Switched off, it runs until the glide is over.)
        for (int k = 0; k < 40 && delay.Running(); ++k, at += 100) {
            delay.Run(&s.l[at], &s.r[at], band.data(), band.data(), &s.r[at], &s.l[at], 100, false);
            for (int i = 0; i < 100; ++i) {
                const double now = s.l[at + i], late = s.l[at + i - length];
                const double out = delay.AudioL()[i];
                ASSERT_GE(out, std::min(now, late) - 1e-15) << at + i;
                ASSERT_LE(out, std::max(now, late) + 1e-15) << at + i;
                if (std::fabs(late - now) > 1e-3) {
                    const double share = (out - now) / (late - now);
                    ASSERT_TRUE(on ? share >= lastShare - 1e-9 : share <= lastShare + 1e-9);
                    lastShare = share;
                }
                const int since = k * 100 + i; // frames since the switch
                if (since >= glide) {
                    ASSERT_EQ(out, on ? late : now) << at + i;
                }
            }
        }
        EXPECT_EQ(delay.Running(), on);
        EXPECT_EQ(lastShare, on ? 1.0 : 0.0);
    }
}
