// The two options beyond the eleven parameters (detection of both polarities,
// lookahead): their section of the saved state, the latency lookahead reports
// and how the host hears of it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <random>
#include <vector>

#include "hosted_fixture.h"
#include "plug/lock.h"
#include "plug/vst_abi.h"

namespace {

std::vector<uint8_t> Save(HostedKelo& fx) {
    ByteBlock chunk;
    EXPECT_TRUE(fx.SaveState(&chunk));
    return std::vector<uint8_t>(chunk.Bytes(), chunk.Bytes() + chunk.Size());
}

bool Load(HostedKelo& fx, const std::vector<uint8_t>& bytes) {
    ByteBlock chunk;
    chunk.SetLength(int32_t(bytes.size()));
    if (!bytes.empty()) std::memcpy(chunk.Bytes(), bytes.data(), bytes.size());
    return fx.LoadState(&chunk);
}

struct Options {
    bool both, lookahead;
};

} // namespace

TEST(Options, AreOffByDefaultAndTheHostStillSeesElevenParameters) {
    HostedKelo fx;
    EXPECT_FALSE(fx.DetectBothPolarities());
    EXPECT_FALSE(fx.Lookahead());
    EXPECT_EQ(fx.Record()->numParams, 11);
    EXPECT_EQ(fx.Record()->initialDelay, 0);
}

TEST(Options, BothOffTheStateIsTheSame188Bytes) {
    HostedKelo fx;
    const std::vector<uint8_t> before = Save(fx);
    ASSERT_EQ(before.size(), 188u);
    fx.SetDetectBothPolarities(true);
    fx.SetLookahead(true);
    EXPECT_EQ(Save(fx).size(), 196u);
    fx.SetDetectBothPolarities(false);
    fx.SetLookahead(false);
    EXPECT_EQ(Save(fx), before);
}

TEST(Options, EachSetOfOptionsSavesAndLoadsIntoAFreshInstance) {
    const Options sets[] = {{true, false}, {false, true}, {true, true}, {false, false}};
    for (const Options& o : sets) {
        HostedKelo fx(96000.0);
        fx.Set(kParamThreshold, -21.0);
        fx.SetDetectBothPolarities(o.both);
        fx.SetLookahead(o.lookahead);
        const std::vector<uint8_t> saved = Save(fx);
        EXPECT_EQ(saved.size(), o.both || o.lookahead ? 196u : 188u);

        HostedKelo other(96000.0);
        ASSERT_TRUE(Load(other, saved));
        other.NotifyAllParams();
        EXPECT_EQ(other.DetectBothPolarities(), o.both);
        EXPECT_EQ(other.Lookahead(), o.lookahead);
        EXPECT_EQ(other.ParamAt(kParamThreshold)->Value(), -21.0);
        EXPECT_EQ(other.Record()->initialDelay, o.lookahead ? 960 : 0);
        EXPECT_EQ(Save(other), saved);
    }
}

TEST(Options, AnOlderStateLoadsWithBothOff) {
    HostedKelo old;
    const std::vector<uint8_t> saved = Save(old);
    HostedKelo fx;
    fx.SetDetectBothPolarities(true);
    fx.SetLookahead(true);
    ASSERT_TRUE(Load(fx, saved));
    EXPECT_FALSE(fx.DetectBothPolarities());
    EXPECT_FALSE(fx.Lookahead());
    EXPECT_EQ(fx.Record()->initialDelay, 0);
}

TEST(Options, AMalformedSectionLeavesBothOffAndTheRestLoaded) {
    HostedKelo source;
    source.Set(kParamStrength, 0.3);
    source.SetLookahead(true);
    const std::vector<uint8_t> good = Save(source);
    ASSERT_EQ(good.size(), 196u);
    std::vector<std::vector<uint8_t>> bad;
    std::vector<uint8_t> b = good;
    b[188] ^= 0x01; // another tag
    bad.push_back(b);
    b = good;
    b[192] = 0x04; // an unknown option
    bad.push_back(b);
    b = good;
    b[195] = 0x80; // bits out of range (or the sign)
    bad.push_back(b);
    b.assign(good.begin(), good.begin() + 192); // the tag without the bits
    bad.push_back(b);
    std::mt19937 rng(20261209u);
    for (int k = 0; k < 32; ++k) {
        b.assign(good.begin(), good.begin() + 188);
        const int extra = int(rng() % 24);
        for (int i = 0; i < extra; ++i)
            b.push_back(uint8_t(rng()));
        bad.push_back(b);
    }
    for (const std::vector<uint8_t>& chunk : bad) {
        HostedKelo fx;
        fx.SetDetectBothPolarities(true);
        Load(fx, chunk);
        // Random tails may hold the tag and valid bits by chance: then they
        // are a section like any other.
        const bool wellFormed = chunk.size() >= 196 && chunk[188] == good[188] &&
                                chunk[189] == good[189] && chunk[190] == good[190] &&
                                chunk[191] == good[191];
        if (!wellFormed) {
            EXPECT_FALSE(fx.DetectBothPolarities());
            EXPECT_FALSE(fx.Lookahead());
        }
        EXPECT_EQ(fx.ParamAt(kParamStrength)->Value(), 0.3);
        Stereo in(600), out(600);
        AddBurst(in, 48000.0, 440.0, 0.9, 10, 500);
        fx.Block(in.l.data(), in.r.data(), out.l.data(), out.r.data(), 600);
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_TRUE(std::isfinite(out.l[i]) && std::isfinite(out.r[i]));
    }
}

TEST(Options, LookaheadDelaysTheAudioByItsLatencyAtEveryRate) {
    for (double rate : {22050.0, 44100.0, 48000.0, 96000.0, 192000.0}) {
        HostedKelo fx(rate, 256);
        fx.Set(kParamStrength, 0.0);
        fx.SetLookahead(true);
        fx.ResetProcessing();
        const int delay = fx.LookaheadSamples();
        EXPECT_EQ(delay, int(KeloEffect::kLookaheadSeconds * rate)) << rate;
        EXPECT_EQ(fx.Record()->initialDelay, delay) << rate;
        Stereo in(3000);
        AddBurst(in, rate, 1000.0, 0.8, 100, 2000);
        const Stereo out = RunBlocks(fx, in, 77);
        for (size_t i = 0; i < in.size(); ++i) {
            const double expected = i >= size_t(delay) ? in.l[i - size_t(delay)] : 0.0;
            ASSERT_EQ(out.l[i], expected) << rate << " " << i;
        }
    }
}

// --- the host hears of the latency, never under our lock

namespace {

struct HostLog {
    KeloEffect* effect = nullptr;
    int ioChanged = 0;
    int32_t delaySeen = -1;
    bool lockFree = true;
    std::vector<std::future<void>> probes;
};
HostLog* gLog = nullptr;

intptr_t KELO_VSTCALL LoggingHost(VstEffectRecord* record, int32_t opcode, int32_t, intptr_t, void*,
                                  float) {
    if (!gLog || opcode != kVstHostIoChanged) return 0;
    ++gLog->ioChanged;
    gLog->delaySeen = record ? record->initialDelay : -1;
    // Another thread takes the plug-in's lock: it gets it at once unless this
    // call came with the lock held. (The probe is kept, not waited for here.)
    KeloEffect* effect = gLog->effect;
    gLog->probes.push_back(
        std::async(std::launch::async, [effect] { ScopedLock hold(effect->FrameLock()); }));
    if (gLog->probes.back().wait_for(std::chrono::seconds(2)) != std::future_status::ready)
        gLog->lockFree = false;
    return 0;
}

} // namespace

TEST(Options, TheHostIsToldOfEachLatencyChangeWithoutOurLock) {
    HostLog log;
    gLog = &log;
    const VstHostCallback before = ModuleHostCallback();
    SetModuleHostCallback(&LoggingHost);
    {
        HostedKelo fx;
        log.effect = &fx;
        fx.SetLookahead(true);
        EXPECT_EQ(log.ioChanged, 1);
        EXPECT_EQ(log.delaySeen, fx.LookaheadSamples());
        fx.SetLookahead(true); // no change, no call
        EXPECT_EQ(log.ioChanged, 1);
        fx.SetDetectBothPolarities(true); // no latency of its own
        EXPECT_EQ(log.ioChanged, 1);

        // A state without lookahead, loaded the way the host loads one.
        HostedKelo plain;
        std::vector<uint8_t> saved = Save(plain);
        EXPECT_EQ(fx.Dispatch(kVstOpSetChunk, 0, intptr_t(saved.size()), saved.data(), 0.0f), 1);
        EXPECT_EQ(log.ioChanged, 2);
        EXPECT_EQ(log.delaySeen, 0);
        EXPECT_TRUE(log.lockFree);
        for (std::future<void>& probe : log.probes)
            probe.wait();
        log.effect = nullptr;
    }
    SetModuleHostCallback(before);
    gLog = nullptr;
}

// --- the lookahead switched while the audio plays
namespace {

// A 440 Hz tone at half scale on both channels, with hits over it: loud all
// the time, so a stretch of silence or a step shows.
Stereo LoudTone(size_t frames) {
    Stereo s(frames);
    for (size_t i = 0; i < frames; ++i)
        s.l[i] = s.r[i] = 0.5 * std::sin(2.0 * 3.141592653589793 * 440.0 * double(i) / 48000.0);
    for (size_t at = 3000; at + 2000 < frames; at += 9000)
        AddBurst(s, 48000.0, 2500.0, 0.4, at, 2000);
    return s;
}

// Plays in through fx in blocks of 64, switching the lookahead before the
// blocks listed (on, off, on, ...).
Stereo PlaySwitching(TestKelo& fx, const Stereo& in, const std::vector<size_t>& switches) {
    Stereo out(in.size());
    bool on = false;
    size_t next = 0;
    for (size_t at = 0, block = 0; at < in.size(); at += 64, ++block) {
        if (next < switches.size() && switches[next] == block) {
            on = !on;
            fx.SetLookahead(on);
            ++next;
        }
        const int n = int(std::min<size_t>(64, in.size() - at));
        fx.Block(&in.l[at], &in.r[at], &out.l[at], &out.r[at], n);
    }
    return out;
}

// The largest step from one sample to the next in either channel.
double LargestStep(const Stereo& s, size_t from = 1) {
    double most = 0.0;
    for (size_t i = std::max<size_t>(from, 1); i < s.size(); ++i)
        most = std::max({most, std::fabs(s.l[i] - s.l[i - 1]), std::fabs(s.r[i] - s.r[i - 1])});
    return most;
}

// The quietest 2 ms stretch of the left channel (its RMS), from frame from on.
double QuietestStretch(const Stereo& s, size_t from) {
    double quietest = 1e300;
    for (size_t at = from; at + 96 <= s.size(); at += 12) {
        double sum = 0.0;
        for (size_t i = at; i < at + 96; ++i)
            sum += s.l[i] * s.l[i];
        quietest = std::min(quietest, std::sqrt(sum / 96.0));
    }
    return quietest;
}

// Near silence: 20 dB under the tone's 0.35 RMS. (Mid-glide the tone and its
// delayed copy cancel where they are half a cycle apart, for well under a
// millisecond: that is a crossfade's comb, no gap.)
const double kNearSilence = 0.035;

} // namespace

// With "shape env" off the output is the audio alone: switched on, off, and
// again within a glide, the lookahead never leaves a near-silent stretch of
// 2 ms (the tone is 0.35 RMS throughout) and never steps further than the tone
// does plus the crossfade's own slope.
TEST(LookaheadSwitch, GlidesInAndOutWithoutSilenceOrStep) {
    const Stereo in = LoudTone(48000);
    TestKelo fx;
    fx.Set(kParamShapeEnv, 0.0);
    const Stereo out = PlaySwitching(fx, in, {100, 300, 500, 503, 600, 602});
    const double glideFrames = LookaheadDelay::kGlideSeconds * 48000.0;
    EXPECT_GT(QuietestStretch(out, 480), kNearSilence);
    EXPECT_LE(LargestStep(out), LargestStep(in) + 2.0 * Peak(in) / glideFrames + 1e-12);
}

// Once the glide is over the delay is exact: switched on, the output is the
// input the latency late, bit for bit; switched off, the input itself.
TEST(LookaheadSwitch, AfterTheGlideTheOutputIsTheInputDelayedOrNot) {
    const Stereo in = LoudTone(40000);
    TestKelo fx;
    fx.Set(kParamShapeEnv, 0.0);
    const Stereo out = PlaySwitching(fx, in, {100, 400});
    const size_t delay = size_t(fx.LookaheadSamples());
    ASSERT_GT(delay, 0u);
    // On from block 100 (frame 6400), the glide over by frame 6400 + 480.
    for (size_t i = 6400 + 480; i < 400 * 64; ++i)
        ASSERT_EQ(out.l[i], in.l[i - delay]) << i;
    for (size_t i = 400 * 64 + 480; i < in.size(); ++i)
        ASSERT_EQ(out.l[i], in.l[i]) << i;
}

// Random switching with the shaping on: the output stays finite and within
// the bound of the shaping, and with it off, within the steps of the glide.
TEST(LookaheadSwitch, RandomSwitchingKeepsTheOutputContinuousAndBounded) {
    const Stereo in = LoudTone(96000);
    std::mt19937 rng(2812);
    std::vector<size_t> switches;
    for (size_t block = 1 + rng() % 40; block < 1500; block += 1 + rng() % 40)
        switches.push_back(block);
    for (bool shaped : {false, true}) {
        SCOPED_TRACE(shaped ? "shaped" : "not shaped");
        TestKelo fx;
        fx.Set(kParamShapeEnv, shaped ? 1.0 : 0.0);
        fx.Set(kParamStrength, 1.0);
        const Stereo out = PlaySwitching(fx, in, switches);
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_TRUE(std::isfinite(out.l[i]) && std::isfinite(out.r[i])) << i;
        EXPECT_LE(Peak(out), 4.0 * std::max(Peak(in), ShapePeak(fx.ShapeInUse())));
        if (!shaped) {
            EXPECT_GT(QuietestStretch(out, 480), kNearSilence);
            EXPECT_LE(LargestStep(out),
                      LargestStep(in) + 2.0 * Peak(in) / (LookaheadDelay::kGlideSeconds * 48000.0) +
                          1e-12);
        }
    }
}
