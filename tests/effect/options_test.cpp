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
#include "lock_probe.h"
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
    KeloPlugin* effect = nullptr;
    int ioChanged = 0;
    int32_t delaySeen = -1;
    bool lockFree = true;
    LockProbes probes;
};
HostLog* gLog = nullptr;

intptr_t KELO_VSTCALL LoggingHost(VstEffectRecord* record, int32_t opcode, int32_t, intptr_t, void*,
                                  float) {
    if (!gLog || opcode != kVstHostIoChanged) return 0;
    ++gLog->ioChanged;
    gLog->delaySeen = record ? record->initialDelay : -1;
    // Another thread takes each lock of ours: it gets them at once unless
    // this call came with one held.
    if (gLog->effect && !gLog->probes.OurLocksAreFree(*gLog->effect)) gLog->lockFree = false;
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
        log.probes.WaitAll();
        log.effect = nullptr;
    }
    SetModuleHostCallback(before);
    gLog = nullptr;
}

// The latency is lookahead's 10 ms at the rate: a new rate tells the host the
// new number of samples (once, with no lock of ours held); without lookahead
// a new rate changes no latency and tells nothing.
TEST(Options, ARateChangeTellsTheHostTheLatencyAtTheNewRate) {
    HostLog log;
    gLog = &log;
    const VstHostCallback before = ModuleHostCallback();
    SetModuleHostCallback(&LoggingHost);
    {
        HostedKelo fx(48000.0);
        log.effect = &fx;
        fx.SetLookahead(true);
        EXPECT_EQ(log.ioChanged, 1);
        EXPECT_EQ(log.delaySeen, 480);
        const struct {
            float rate;
            int32_t delay;
        } rates[] = {{44100.0f, 441}, {96000.0f, 960}, {96000.0f, 960}, {22050.0f, 220}};
        int told = log.ioChanged;
        for (const auto& r : rates) {
            const bool changes = r.delay != log.delaySeen;
            fx.Dispatch(kVstOpSetSampleRate, 0, 0, nullptr, r.rate);
            told += changes ? 1 : 0;
            EXPECT_EQ(log.ioChanged, told) << r.rate;
            EXPECT_EQ(log.delaySeen, r.delay) << r.rate;
            EXPECT_EQ(fx.Record()->initialDelay, r.delay) << r.rate;
        }
        fx.SetLookahead(false);
        told = log.ioChanged;
        fx.Dispatch(kVstOpSetSampleRate, 0, 0, nullptr, 48000.0f);
        EXPECT_EQ(log.ioChanged, told);
        EXPECT_EQ(log.delaySeen, 0);
        EXPECT_TRUE(log.lockFree);
        log.probes.WaitAll();
        log.effect = nullptr;
    }
    SetModuleHostCallback(before);
    gLog = nullptr;
}
