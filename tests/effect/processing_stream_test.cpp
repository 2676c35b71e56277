// The audio path fed a stream as hosts hand it over: a transport that stops and
// jumps, blocks of any size or none, samples that are not finite, and a tail of
// silence that ends in exact zeros.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "effect/biquad.h"
#include "kelo_fixture.h"
#include "processing_fixture.h"
#include "tests/common/test_seed.h"

// A host whose position stands still (transport stopped, live input playing
// through) plays one stream: an envelope outlasts its block, the event goes on
// being recorded, and the history keeps what it has (a position that does not
// move adds nothing to it).
TEST(Transport, AStoppedTransportIsContinuousAudio) {
    TestKelo fx;
    fx.mPlaying = false;
    fx.mPosition = 5000;
    Stereo in(64);
    AddBurst(in, kRate, 3000, 0.9, 0, 64);
    Stereo out(64);
    fx.Block(in.l.data(), in.r.data(), out.l.data(), out.r.data(), 64);
    EXPECT_EQ(fx.Phase(), kPhaseBody);
    const int first = fx.EnvPos();
    EXPECT_GT(first, 40);
    const uint64_t event = fx.EventCount();
    for (int b = 1; b <= 20; ++b) {
        fx.Block(in.l.data(), in.r.data(), out.l.data(), out.r.data(), 64);
        // The envelope runs on through every block, in one event.
        EXPECT_EQ(fx.Phase(), kPhaseBody) << b;
        EXPECT_EQ(fx.EnvPos(), first + 64 * b) << b;
        EXPECT_EQ(fx.EventCount(), event) << b;
        EXPECT_EQ(fx.EventRecorded(), first + 64 * b) << b;
    }
    EXPECT_EQ(History(fx).size(), 64u);
}

// The same input gives the same output, bit for bit, whether the host's
// transport runs or stands, at any block size and with either option.
TEST(Transport, TheOutputIsTheSameWithTheTransportStoppedAsPlaying) {
    Stereo in(60000);
    for (size_t at = 700; at + 3000 < in.size(); at += 7919)
        AddBurst(in, kRate, 180.0 + double(at % 1000), 0.8, at, 3000);
    for (int block : {1, 17, 64, 333, 1000, 2500}) {
        for (int options = 0; options < 4; ++options) {
            SCOPED_TRACE("block " + std::to_string(block) + " options " + std::to_string(options));
            TestKelo playing, stopped;
            for (TestKelo* fx : {&playing, &stopped}) {
                fx->Set(kParamEnvTime, 0.3); // envelopes of many blocks
                fx->SetDetectBothPolarities(options & 1);
                fx->SetLookahead(options & 2);
                fx->ResetProcessing();
            }
            stopped.mPlaying = false;
            stopped.mPosition = 123456;
            const Stereo a = RunBlocks(playing, in, block);
            const Stereo b = RunBlocks(stopped, in, block);
            EXPECT_GT(playing.EnvelopeStarts(), 5);
            EXPECT_EQ(playing.EnvelopeStarts(), stopped.EnvelopeStarts());
            size_t differing = 0;
            for (size_t i = 0; i < in.size(); ++i)
                differing += std::memcmp(&a.l[i], &b.l[i], sizeof(double)) != 0 ||
                             std::memcmp(&a.r[i], &b.r[i], sizeof(double)) != 0;
            EXPECT_EQ(differing, 0u);
        }
    }
}

TEST(Transport, AJumpBackOfMoreThan16ClearsTheStateAndASmallOneOnlyTheHistory) {
    Stereo in(256);
    AddBurst(in, kRate, 3000, 0.9, 0, 256);
    Stereo out(256);
    TestKelo fx;
    fx.Block(in.l.data(), in.r.data(), out.l.data(), out.r.data(), 64);
    fx.Block(in.l.data(), in.r.data(), out.l.data(), out.r.data(), 64);
    const int pos = fx.EnvPos();
    ASSERT_GT(pos, 60);
    // Back by 16: the envelope goes on, the history restarts at the new position.
    fx.mPosition -= 16;
    fx.Block(in.l.data(), in.r.data(), out.l.data(), out.r.data(), 64);
    EXPECT_EQ(fx.EnvPos(), pos + 64);
    int64_t start;
    bool marked;
    std::vector<double> h(1000);
    EXPECT_EQ(fx.ReadHistory(h.data(), 1000, start, marked), 64);
    EXPECT_EQ(start, 128 - 16);
    // Back by 17: the envelope starts over within this block.
    fx.mPosition -= 17;
    fx.Block(in.l.data(), in.r.data(), out.l.data(), out.r.data(), 64);
    EXPECT_LE(fx.EnvPos(), 64);
    // Forward by more than 16 clears as well.
    fx.mPosition += 1000;
    fx.Block(in.l.data(), in.r.data(), out.l.data(), out.r.data(), 64);
    EXPECT_LE(fx.EnvPos(), 64);
}

TEST(Blocks, EnvelopesContinueAcrossBlockBoundariesWhateverTheBlockSizes) {
    const unsigned seed = TestSeed(20261211u);
    std::printf("block size seed: %u\n", seed);
    std::mt19937 rng(seed);
    Stereo in(48000);
    for (size_t at = 700; at < in.size(); at += 6100)
        AddBurst(in, kRate, 1200, 0.8, at, 700);
    auto configure = [](TestKelo& fx) {
        fx.Set(kParamGate, 1);
        fx.Set(kParamStrength, 0.9);
        fx.Set(kParamLoFreq, 100);
    };
    TestKelo whole(kRate, 4096);
    configure(whole);
    Stereo ref = RunBlocks(whole, in, 4096);
    TestKelo pieces(kRate, 4096);
    configure(pieces);
    Stereo out(in.size());
    for (size_t i = 0; i < in.size();) {
        size_t n = std::min<size_t>(1 + rng() % 300, in.size() - i);
        pieces.Block(&in.l[i], &in.r[i], &out.l[i], &out.r[i], int(n));
        i += n;
    }
    for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(out.l[i], ref.l[i]) << "seed " << seed << " frame " << i;
        ASSERT_EQ(out.r[i], ref.r[i]) << "seed " << seed << " frame " << i;
    }
}

TEST(Blocks, BlocksLongerThanTheScratchAreProcessedInPieces) {
    Stereo in(3000);
    AddBurst(in, kRate, 900, 0.9, 100, 2000);
    TestKelo small(kRate, 64);
    ASSERT_EQ(small.ScratchFrames(), 64);
    Stereo big(in.size());
    small.Block(in.l.data(), in.r.data(), big.l.data(), big.r.data(), int(in.size()));
    TestKelo ref(kRate, 64);
    Stereo out = RunBlocks(ref, in, 64);
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(big.l[i], out.l[i]) << i;
}

TEST(Blocks, BadBlocksDoNothingAndAnEffectNeverResetCopiesItsInput) {
    TestKelo fx;
    Stereo in(32), out(32);
    AddBurst(in, kRate, 900, 0.5, 0, 32);
    for (size_t i = 0; i < 32; ++i)
        out.l[i] = out.r[i] = 7.0;
    double* ins[2] = {in.l.data(), in.r.data()};
    double* outs[2] = {out.l.data(), out.r.data()};
    double* half[2] = {in.l.data(), nullptr};
    fx.ProcessBlock(nullptr, outs, 32);
    fx.ProcessBlock(ins, nullptr, 32);
    fx.ProcessBlock(half, outs, 32);
    fx.ProcessBlock(ins, outs, 0);
    fx.ProcessBlock(ins, outs, -5);
    for (size_t i = 0; i < 32; ++i)
        ASSERT_EQ(out.l[i], 7.0);

    KeloEffect raw(InstanceInfo{nullptr, 0, 0});
    EXPECT_EQ(raw.ScratchFrames(), 0);
    raw.ProcessBlock(ins, outs, 32);
    for (size_t i = 0; i < 32; ++i)
        ASSERT_EQ(out.l[i], in.l[i]);
}

TEST(BadAudio, SamplesThatAreNotFiniteAreSilenceAndPoisonNothing) {
    Stereo in(20000);
    AddBurst(in, kRate, 1000, 0.9, 1000, 3000);
    AddBurst(in, kRate, 1000, 0.9, 12000, 3000);
    Stereo zeroed = in;
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (size_t i = 2000, j = 0; i < 2600; i += 37, ++j) {
        in.l[i] = bad[j % 3];
        in.r[i + 5] = bad[(j + 1) % 3];
        zeroed.l[i] = 0.0;
        zeroed.r[i + 5] = 0.0;
        // Finite, but enough to overflow the filters; in blocks of their own.
        in.l[i + 11000] = j % 2 ? 1.7e308 : -1.7e308;
        zeroed.l[i + 11000] = 0.0;
    }
    for (bool processOnly : {false, true}) {
        TestKelo fx, ref;
        fx.Set(kParamProcessOnly, processOnly);
        ref.Set(kParamProcessOnly, processOnly);
        Stereo out = RunBlocks(fx, in, 512), expected = RunBlocks(ref, zeroed, 512);
        for (size_t i = 0; i < in.size(); ++i) {
            ASSERT_EQ(out.l[i], expected.l[i]) << i;
            ASSERT_EQ(out.r[i], expected.r[i]) << i;
        }
        EXPECT_TRUE(std::isfinite(fx.BandLevel()));
        EXPECT_TRUE(std::isfinite(fx.FullLevel()));
    }
}

TEST(BadAudio, AGainThatWouldBeInfiniteOrNaNLeavesTheSampleAtItsOwnLevel) {
    Stereo in(6000);
    AddBurst(in, kRate, 1000, 0.9, 100, 5000);
    // Levels too large for any divisor below 1, and a shape whose middle
    // segment bends backwards (its x control point lies outside the segment).
    const ShapePoint huge[7] = {{0, 1.7e308},  {10, 1.7e308}, {20, 1.7e308},  {30, 1.7e308},
                                {40, 1.7e308}, {50, 1.7e308}, {9600, 1.7e308}};
    const ShapePoint bent[7] = {{0, 0.3},   {100, 0.5}, {200, 0.9}, {5000, 1.0},
                                {300, 0.5}, {400, 0.4}, {9600, 0.2}};
    for (const ShapePoint* points : {huge, bent}) {
        TestKelo fx;
        fx.Set(kParamStrength, 1.0);
        fx.SetShape(points, 9600);
        Stereo out = RunBlocks(fx, in, 512);
        for (size_t i = 0; i < in.size(); ++i) {
            ASSERT_TRUE(std::isfinite(out.l[i]) && std::isfinite(out.r[i])) << i;
            if (points == huge) {
                ASSERT_EQ(out.l[i], in.l[i]) << i;
            }
        }
    }
}

TEST(Denormals, ATailOfSilenceEndsInExactZeros) {
    TestKelo fx;
    fx.Set(kParamLoFreq, 50);
    fx.Set(kParamHiFreq, 12000);
    Stereo in(48000 * 3);
    AddBurst(in, kRate, 1000, 1.0, 0, 4800);
    RunBlocks(fx, in, 512);
    EXPECT_EQ(fx.BandLevel(), 0.0);
    EXPECT_EQ(fx.FullLevel(), 0.0);
    for (const Biquad* section : {&fx.HighPassL(), &fx.LowPassL()}) {
        EXPECT_EQ(section->Memory().s1, 0.0);
        EXPECT_EQ(section->Memory().s2, 0.0);
    }
}
