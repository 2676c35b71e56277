// The product binary loaded through the host harness, as a VST 2.4 host sees
// it (natively, and as a DLL under Wine): identity, parameters, audio through
// both host paths against the effect run in process, and the state chunk.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "kelo_fixture.h"
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
