// The product binary loaded through the host harness, as a VST 2.4 host sees
// it (natively, and as a DLL under Wine): identity, parameters, audio through
// both host paths against the effect run in process, and the state chunk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/db.h"
#include "kelo_fixture.h"
#include "tests/common/test_seed.h"
#include "tools/host/host.h"

namespace {

const char* const kPluginPath = KELO_PRODUCT_PLUGIN;

class ProductPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        const PluginModule& module = SharedModule(kPluginPath);
        ASSERT_TRUE(module.Loaded()) << kPluginPath << ": " << module.Error();
        ASSERT_TRUE(plugin.Create(module));
    }
    PluginInstance plugin;
};

// A signal that starts envelopes in most blocks.
Stereo Hits(size_t frames, double rate) {
    Stereo s(frames);
    for (size_t at = 300; at < frames; at += 4100)
        AddBurst(s, rate, 700, 0.9, at, 900);
    for (size_t i = 0; i < frames; ++i)
        s.r[i] += 0.05 * std::sin(double(i) * 0.01);
    return s;
}

} // namespace

TEST_F(ProductPlugin, PresentsKeloWithItsElevenParameters) {
    EXPECT_EQ(plugin.EffectName(), "Kelo (No SSE2)");
    EXPECT_EQ(plugin.VendorString(), "mirel");
    EXPECT_EQ(plugin.ProductString(), "");
    const VstEffectRecord& r = *plugin.Record();
    EXPECT_EQ(r.uniqueId, 0x6B6C6F78);
    EXPECT_EQ(r.numParams, 11);
    EXPECT_EQ(r.numInputs, 2);
    EXPECT_EQ(r.numOutputs, 2);
    EXPECT_EQ(r.numPrograms, 0);
    const char* names[] = {"threshold",
                           "hi freq",
                           "lo freq",
                           "monitor detect",
                           "show env",
                           "shape env",
                           "autofit",
                           "gate",
                           "env time",
                           "strength",
                           "process only detected signal"};
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(plugin.ParamName(i), names[i]) << i;
    plugin.Start(48000, 512);
    EXPECT_EQ(plugin.ParamDisplay(0), "-12.0");
    EXPECT_EQ(plugin.ParamLabel(0), "dB");
    EXPECT_EQ(plugin.ParamDisplay(5), "on");
    plugin.SetParameter(1, 0.5f); // hi freq on its cubic curve
    EXPECT_EQ(plugin.ParamDisplay(1), "2750");
}

TEST_F(ProductPlugin, ProcessesLikeTheEffectInProcessOnBothHostPaths) {
    const double rate = 44100.0;
    const int block = 256;
    Stereo in = Hits(20000, rate);
    plugin.Start(rate, block);
    plugin.SetParameter(kParamStrength, 0.8f);
    plugin.SetParameter(kParamGate, 1.0f);
    TestKelo ref(rate, block);
    ref.HostParamChange(kParamStrength, 0.8f);
    ref.HostParamChange(kParamGate, 1.0f);

    Stereo out(in.size()), expected = RunBlocks(ref, in, block);
    for (size_t at = 0; at < in.size(); at += block) {
        int n = int(std::min<size_t>(block, in.size() - at));
        double* ins[2] = {&in.l[at], &in.r[at]};
        double* outs[2] = {&out.l[at], &out.r[at]};
        plugin.ProcessDouble(ins, outs, n);
    }
    bool shaped = false;
    for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(out.l[i], expected.l[i]) << i;
        ASSERT_EQ(out.r[i], expected.r[i]) << i;
        shaped = shaped || out.l[i] != in.l[i];
    }
    EXPECT_TRUE(shaped);

    // The 32-bit path: the same effect fed the same samples rounded to float.
    PluginInstance second;
    ASSERT_TRUE(second.Create(SharedModule(kPluginPath)));
    second.Start(rate, block);
    TestKelo ref32(rate, block);
    std::vector<float> l(in.size()), r(in.size()), ol(in.size()), orr(in.size());
    Stereo rounded(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        l[i] = float(in.l[i]);
        r[i] = float(in.r[i]);
        rounded.l[i] = l[i];
        rounded.r[i] = r[i];
    }
    for (size_t at = 0; at < in.size(); at += block) {
        int n = int(std::min<size_t>(block, in.size() - at));
        float* ins[2] = {&l[at], &r[at]};
        float* outs[2] = {&ol[at], &orr[at]};
        second.ProcessReplacing(ins, outs, n);
    }
    Stereo expected32 = RunBlocks(ref32, rounded, block);
    for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(ol[i], float(expected32.l[i])) << i;
        ASSERT_EQ(orr[i], float(expected32.r[i])) << i;
    }
}

TEST_F(ProductPlugin, TheStateChunkCarriesTheValuesAndTheShape) {
    plugin.Start(48000, 512);
    plugin.SetParameter(kParamThreshold, 0.5f); // -30 dB
    plugin.SetParameter(kParamEnvTime, 1.0f);
    std::vector<uint8_t> chunk = plugin.GetChunk();
    ASSERT_EQ(chunk.size(), 188u);
    EXPECT_EQ(chunk[0], 0xF3);
    EXPECT_EQ(chunk[1], 0x03);
    EXPECT_EQ(chunk[2], 0x00);
    EXPECT_EQ(chunk[3], 0x00);
    double threshold, envTime;
    std::memcpy(&threshold, &chunk[4], 8);
    std::memcpy(&envTime, &chunk[4 + 8 * 8], 8);
    EXPECT_DOUBLE_EQ(threshold, -30.0);
    EXPECT_EQ(envTime, 1.0);

    PluginInstance other;
    ASSERT_TRUE(other.Create(SharedModule(kPluginPath)));
    other.Start(48000, 512);
    EXPECT_NE(other.SetChunk(chunk.data(), intptr_t(chunk.size())), 0);
    EXPECT_EQ(other.ParamDisplay(kParamThreshold), "-30.0");
    EXPECT_EQ(other.ParamDisplay(kParamEnvTime), "1.00");
    EXPECT_EQ(other.GetChunk(), chunk);
    // Damaged chunks are taken without harm.
    std::vector<uint8_t> junk(chunk.begin(), chunk.begin() + 37);
    other.SetChunk(junk.data(), intptr_t(junk.size()));
    other.SetChunk(nullptr, 0);
    Stereo in = Hits(4096, 48000), out(4096);
    double* ins[2] = {in.l.data(), in.r.data()};
    double* outs[2] = {out.l.data(), out.r.data()};
    other.ProcessDouble(ins, outs, 4096);
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_TRUE(std::isfinite(out.l[i])) << i;
}

// --- one saved state, one sound, through the binary

namespace {

const double kStateRate = 48000.0;
const int kStateBlock = 512;

// A started instance, as a host has it before it restores a project.
struct Instance {
    Instance() {
        created = plugin.Create(SharedModule(kPluginPath));
        if (created) plugin.Start(kStateRate, kStateBlock);
    }
    // Renders in through the 64-bit entry with the transport playing.
    Stereo Render(const Stereo& in) {
        Stereo out(in.size());
        Stereo copy = in;
        for (size_t at = 0; at < in.size(); at += kStateBlock) {
            const int n = int(std::min<size_t>(kStateBlock, in.size() - at));
            double* ins[2] = {&copy.l[at], &copy.r[at]};
            double* outs[2] = {&out.l[at], &out.r[at]};
            plugin.ProcessDouble(ins, outs, n);
        }
        return out;
    }
    bool Load(const std::vector<uint8_t>& chunk) {
        return plugin.SetChunk(chunk.data(), intptr_t(chunk.size())) != 0;
    }
    // What a host keeps of the parameters besides the chunk: their floats.
    std::vector<float> Floats() {
        std::vector<float> values;
        for (int i = 0; i < kParamCount; ++i)
            values.push_back(plugin.GetParameter(i));
        return values;
    }
    void SetFloats(const std::vector<float>& values) {
        for (int i = 0; i < kParamCount; ++i)
            plugin.SetParameter(i, values[size_t(i)]);
    }
    PluginInstance plugin;
    bool created = false;
};

void PutDouble(std::vector<uint8_t>& chunk, size_t at, double v) {
    std::memcpy(&chunk[at], &v, 8);
}

// A random state: parameters set as a host sets them, then a random shape and
// scales written into the chunk the plug-in saved, loaded back.
std::vector<uint8_t> RandomState(std::mt19937& random) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Instance maker;
    for (int i : {kParamThreshold, kParamHiFreq, kParamLoFreq, kParamEnvTime, kParamStrength})
        maker.plugin.SetParameter(i, float(unit(random)));
    maker.plugin.SetParameter(kParamHiFreq, float(0.5 + 0.5 * unit(random)));
    maker.plugin.SetParameter(kParamLoFreq, float(0.4 * unit(random)));
    for (int i : {kParamShowEnv, kParamGate, kParamProcessOnly})
        maker.plugin.SetParameter(i, unit(random) < 0.5 ? 0.0f : 1.0f);
    std::vector<uint8_t> chunk = maker.plugin.GetChunk();
    if (chunk.size() < 188) return chunk;
    // Values on their step grid, as typed into a host, which floats cannot carry
    // exactly (a project's -12.3 dB is not the image of any float).
    for (const KeloParamDef& def : kKeloParams) {
        if (def.isSwitch || unit(random) < 0.3) continue;
        const double steps = std::floor((def.max - def.min) / def.step);
        PutDouble(chunk, size_t(4 + 8 * def.index),
                  def.min + std::round(unit(random) * steps) * def.step);
    }
    // Envelope view scale, shape scale, then (time, level) of P0 P2 P3 P4 P6.
    PutDouble(chunk, 92, DbToAmp(-30.0 + 33.0 * unit(random)));
    PutDouble(chunk, 100, DbToAmp(-30.0 + 33.0 * unit(random)));
    const double t2 = 0.02 + 0.2 * unit(random), t3 = t2 + 0.02 + 0.3 * unit(random);
    const double t4 = t3 + 0.02 + 0.4 * unit(random);
    const double times[] = {0.0, t2, t3, t4, 1.0};
    for (int k = 0; k < 5; ++k) {
        PutDouble(chunk, size_t(108 + 16 * k), times[k]);
        if (k > 0) PutDouble(chunk, size_t(116 + 16 * k), 0.05 + 1.1 * unit(random));
    }
    maker.Load(chunk);
    // What the plug-in saves for that state is the state's own chunk.
    return maker.plugin.GetChunk();
}

} // namespace

TEST(ProductState, AFreshInstanceSoundsLikeOneLoadedWithTheDefaultChunk) {
    const Stereo in = Hits(48000, kStateRate);
    Instance fresh, reloaded, other;
    ASSERT_TRUE(fresh.created && reloaded.created && other.created);
    const std::vector<uint8_t> defaults = reloaded.plugin.GetChunk();
    ASSERT_TRUE(reloaded.Load(defaults));
    ASSERT_TRUE(other.Load(defaults));
    const Stereo expected = fresh.Render(in);
    const Stereo a = reloaded.Render(in), b = other.Render(in);
    EXPECT_EQ(a.l, expected.l);
    EXPECT_EQ(a.r, expected.r);
    EXPECT_EQ(b.l, expected.l);
    EXPECT_EQ(fresh.plugin.GetChunk(), defaults);
    // "threshold" -12 and "env time" 0.2 set again from the floats a host reads.
    Instance reset;
    reset.plugin.SetParameter(kParamThreshold, reset.plugin.GetParameter(kParamThreshold));
    reset.plugin.SetParameter(kParamEnvTime, reset.plugin.GetParameter(kParamEnvTime));
    EXPECT_EQ(reset.plugin.GetChunk(), defaults);
    EXPECT_EQ(reset.Render(in).l, expected.l);
}

TEST(ProductState, EveryRestoreOrderOfHostsGivesTheSavedSoundAndBytes) {
    // For random states: the chunk alone, parameters then chunk, chunk then
    // parameters; each sounds like the state and saves the chunk it was given.
    const Stereo in = Hits(48000, kStateRate);
    std::mt19937 random(TestSeed(8u));
    for (int round = 0; round < 6; ++round) {
        const std::vector<uint8_t> chunk = RandomState(random);
        ASSERT_EQ(chunk.size(), 188u);
        Instance source;
        ASSERT_TRUE(source.Load(chunk));
        const std::vector<float> floats = source.Floats();
        const Stereo expected = source.Render(in);

        Instance alone, paramsFirst, chunkFirst;
        ASSERT_TRUE(alone.Load(chunk));
        paramsFirst.SetFloats(floats);
        ASSERT_TRUE(paramsFirst.Load(chunk));
        ASSERT_TRUE(chunkFirst.Load(chunk));
        chunkFirst.SetFloats(floats);
        for (Instance* restored : {&alone, &paramsFirst, &chunkFirst}) {
            EXPECT_EQ(restored->plugin.GetChunk(), chunk) << "round " << round;
            const Stereo out = restored->Render(in);
            ASSERT_EQ(out.l, expected.l) << "round " << round;
            ASSERT_EQ(out.r, expected.r) << "round " << round;
        }
    }
}

TEST(ProductState, AStateReachedByParametersSoundsTheSameAfterSaveAndLoad) {
    const Stereo in = Hits(48000, kStateRate);
    std::mt19937 random(TestSeed(8u) + 1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 4; ++round) {
        Instance original;
        for (int i : {kParamThreshold, kParamEnvTime, kParamStrength})
            original.plugin.SetParameter(i, float(unit(random)));
        original.plugin.SetParameter(kParamGate, round % 2 ? 1.0f : 0.0f);
        const std::vector<uint8_t> saved = original.plugin.GetChunk();
        // Setting every parameter to the value it has changes nothing either.
        original.SetFloats(original.Floats());
        EXPECT_EQ(original.plugin.GetChunk(), saved);
        const Stereo expected = original.Render(in);
        Instance loaded;
        ASSERT_TRUE(loaded.Load(saved));
        const Stereo out = loaded.Render(in);
        ASSERT_EQ(out.l, expected.l) << round;
        ASSERT_EQ(out.r, expected.r) << round;
    }
}

TEST(ProductState, RepeatedSaveAndLoadMovesNeitherTheShapeNorTheSound) {
    // "env time" 0.119 s: twenty loads into fresh instances, each saving again.
    const Stereo in = Hits(48000, kStateRate);
    Instance first;
    std::vector<uint8_t> chunk = first.plugin.GetChunk();
    ASSERT_EQ(chunk.size(), 188u);
    PutDouble(chunk, 4 + 8 * kParamEnvTime, 0.119);
    ASSERT_TRUE(first.Load(chunk));
    chunk = first.plugin.GetChunk();
    const Stereo expected = first.Render(in);
    for (int cycle = 0; cycle < 20; ++cycle) {
        Instance next;
        ASSERT_TRUE(next.Load(chunk));
        ASSERT_EQ(next.plugin.GetChunk(), chunk) << cycle;
        if (cycle == 19) {
            const Stereo out = next.Render(in);
            EXPECT_EQ(out.l, expected.l);
        }
    }
}

TEST(ProductTransport, AnEnvelopeAtThreeBillionSamplesSoundsLikeOneAtZero) {
    const Stereo in = Hits(30000, kStateRate);
    Instance start, late;
    late.plugin.MoveTo(3e9);
    const Stereo expected = start.Render(in);
    const Stereo out = late.Render(in);
    EXPECT_EQ(out.l, expected.l);
    EXPECT_EQ(out.r, expected.r);
}
