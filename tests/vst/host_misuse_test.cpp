// End-to-end tests of a host's misuse: the test plug-in binary through the host
// harness, called out of order, with bad sizes, rates, indices, pointers and
// texts, in many instances and open-close cycles, keeps working and writes
// nothing past its buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/common/test_seed.h"
#include "tests/vst/guarded.h"
#include "tests/vst/host_fixture.h"
#include "tests/vst/test_effect.h"

namespace {

// --- host misuse

TEST_F(HostTest, SampleRateAndBlockSizeBeforeOpenAndProcessingOutOfOrderAreHarmless) {
    plugin.SetSampleRate(96000);
    plugin.SetBlockSize(300);
    GuardedChannels<float> in(2, 300, 0.25f), out(2, 300);
    plugin.ProcessReplacing(in.pointers(), out.pointers(), 300); // before open and mains on
    EXPECT_FLOAT_EQ(out[1][299], 0.25f);
    plugin.Dispatch(kVstOpOpen);
    plugin.SetMainsOn(true);
    plugin.SetMainsOn(false);
    plugin.ProcessReplacing(in.pointers(), out.pointers(), 300); // after mains off
    EXPECT_FLOAT_EQ(out[0][0], 0.25f);
    EXPECT_TRUE(in.Intact() && out.Intact());
}

TEST_F(HostTest, ProcessingBeforeAnyBlockSizeOrBeyondItCoversTheWholeBlock) {
    // No block size set at all: 5000 frames against the default of 1024.
    GuardedChannels<float> in(2, 5000, 0.5f), out(2, 5000);
    plugin.ProcessReplacing(in.pointers(), out.pointers(), 5000);
    EXPECT_FLOAT_EQ(out[0][4999], 0.5f);
    plugin.Start(44100, 16);
    GuardedChannels<double> inD(2, 1000, -0.5), outD(2, 1000);
    plugin.ProcessDouble(inD.pointers(), outD.pointers(), 1000);
    EXPECT_EQ(outD[1][999], -0.5);
    EXPECT_TRUE(in.Intact() && out.Intact() && inD.Intact() && outD.Intact());
}

TEST_F(HostTest, OddAndChangingBlockSizesAtEveryRateKeepAudioAndBuffersIntact) {
    plugin.Dispatch(kVstOpOpen);
    const int32_t maxBlock = 8192;
    GuardedChannels<float> in(2, maxBlock), out(2, maxBlock);
    GuardedChannels<double> inD(2, maxBlock), outD(2, maxBlock);
    for (int c = 0; c < 2; ++c)
        for (int32_t i = 0; i < maxBlock; ++i) {
            in[size_t(c)][size_t(i)] = float(std::sin(0.01 * i));
            inD[size_t(c)][size_t(i)] = std::sin(0.01 * i);
        }
    const std::vector<int32_t> sizes = {1, 2, 3, 4, 5, 17, 4410, 7984, 0, 8192, 1, 300};
    for (double rate : {8000.0, 11025.0, 22050.0, 44100.0, 48000.0, 88200.0, 96000.0, 192000.0}) {
        plugin.SetMainsOn(false);
        plugin.SetSampleRate(rate);
        plugin.SetBlockSize(maxBlock);
        plugin.SetMainsOn(true);
        for (int32_t frames : sizes) {
            for (int c = 0; c < 2; ++c)
                out[size_t(c)][0] = 7.0f;
            plugin.ProcessReplacing(in.pointers(), out.pointers(), frames);
            plugin.ProcessAccumulating(in.pointers(), out.pointers(), frames);
            plugin.ProcessDouble(inD.pointers(), outD.pointers(), frames);
            if (frames > 0) {
                const size_t last = size_t(frames - 1);
                ASSERT_NEAR(out[1][last], 2.0 * in[1][last], 1e-6) << rate << " Hz, " << frames;
                ASSERT_EQ(outD[0][last], inD[0][last]) << rate << " Hz, " << frames;
            } else {
                EXPECT_EQ(out[0][0], 7.0f) << "zero frames leave the buffer alone";
            }
        }
    }
    EXPECT_TRUE(in.Intact() && out.Intact() && inD.Intact() && outD.Intact());
}

TEST_F(HostTest, NegativeFramesAndMissingBuffersDoNothingHarmful) {
    plugin.Start(44100, 64);
    GuardedChannels<float> in(2, 64, 0.5f), out(2, 64, 3.0f);
    plugin.ProcessReplacing(in.pointers(), out.pointers(), -64);
    EXPECT_EQ(out[0][0], 3.0f);
    plugin.ProcessReplacing(nullptr, out.pointers(), 64); // silence in
    EXPECT_EQ(out[0][10], 0.0f);
    plugin.ProcessReplacing(in.pointers(), nullptr, 64);
    float* holes[2] = {nullptr, out[1].data()};
    plugin.ProcessReplacing(holes, holes, 64);
    plugin.ProcessDouble(nullptr, nullptr, 64);
    EXPECT_TRUE(in.Intact() && out.Intact());
}

TEST_F(HostTest, BadBlockSizesAndSampleRatesKeepTheEffectWorking) {
    plugin.Start(44100, 64);
    for (intptr_t size :
         {intptr_t(0), intptr_t(-1), intptr_t(INT32_MIN), INTPTR_MAX, intptr_t(INT32_MAX)})
        plugin.Dispatch(kVstOpSetBlockSize, 0, size);
    for (float rate : {0.0f, -44100.0f, NAN, INFINITY})
        plugin.Dispatch(kVstOpSetSampleRate, 0, 0, nullptr, rate);
    GuardedChannels<float> in(2, 700, 0.125f), out(2, 700);
    plugin.ProcessReplacing(in.pointers(), out.pointers(), 700);
    EXPECT_FLOAT_EQ(out[0][699], 0.125f);
    EXPECT_TRUE(in.Intact() && out.Intact());
}

TEST_F(HostTest, OutOfRangeIndicesAnswerEmptyAndWriteNoFurtherThanATerminator) {
    for (int32_t index : {-1, int32_t(TestParamCount), 1000, INT32_MAX, INT32_MIN}) {
        for (int32_t opcode : {kVstOpGetParamName, kVstOpGetParamLabel, kVstOpGetParamDisplay,
                               kVstOpGetProgramNameIndexed}) {
            Guarded<char> text(kVstParamTextSize, 'q');
            plugin.Dispatch(opcode, index, 0, text.data());
            EXPECT_EQ(text[0], '\0') << "opcode " << opcode << " index " << index;
            EXPECT_TRUE(text.Intact());
        }
        EXPECT_EQ(plugin.Dispatch(kVstOpCanBeAutomated, index), 0);
        VstPinProperties pin = {};
        EXPECT_EQ(plugin.Dispatch(kVstOpGetInputProperties, index, 0, &pin), 0);
        EXPECT_EQ(plugin.Dispatch(kVstOpGetOutputProperties, index, 0, &pin), 0);
        VstKeyName key = {};
        key.keyNumber = index;
        EXPECT_EQ(plugin.Dispatch(kVstOpGetMidiKeyName, 0, 0, &key), index >= 0 && index < 128);
        EXPECT_EQ(plugin.GetParameter(index), 0.0f);
        plugin.SetParameter(index, 0.5f);
        EXPECT_EQ(plugin.Dispatch(kVstOpSetProgram, 0, index), 0);
    }
    EXPECT_EQ(plugin.Dispatch(kVstOpSetProgram, 0, INTPTR_MAX), 0);
    EXPECT_EQ(plugin.ParamDisplay(TestGain), "0");
}

TEST_F(HostTest, TextsAreBoundedToTheirFieldsAndAlwaysTerminated) {
    // The longest parameter name fits a 32-byte buffer whole; nothing goes past it.
    Guarded<char> name(kHostParamTextBound, 'q');
    plugin.Dispatch(kVstOpGetParamName, TestLongName, 0, name.data());
    EXPECT_STREQ(name.data(), "process only detected signal");
    EXPECT_TRUE(name.Intact());
    struct Case {
        int32_t opcode;
        size_t bound;
    };
    for (Case c : {Case{kVstOpGetParamName, kHostParamTextBound},
                   Case{kVstOpGetParamLabel, kHostParamTextBound},
                   Case{kVstOpGetParamDisplay, kHostParamTextBound},
                   Case{kVstOpGetProgramName, kHostProgramNameBound},
                   Case{kVstOpGetProgramNameIndexed, kHostProgramNameBound},
                   Case{kVstOpGetEffectName, kHostEffectNameBound},
                   Case{kVstOpGetVendorString, kHostVendorTextBound},
                   Case{kVstOpGetProductString, kHostVendorTextBound}}) {
        for (int32_t index = 0; index < TestParamCount; ++index) {
            Guarded<char> text(c.bound, 'q');
            plugin.Dispatch(c.opcode, index, 0, text.data());
            EXPECT_TRUE(text.Intact()) << "opcode " << c.opcode;
            EXPECT_LT(std::strlen(text.data()), c.bound) << "opcode " << c.opcode;
        }
    }
}

TEST_F(HostTest, NullPointersForStringsAndRecordsAnswerZero) {
    for (int32_t opcode :
         {kVstOpGetProgramName, kVstOpSetProgramName, kVstOpGetEffectName, kVstOpGetVendorString,
          kVstOpGetProductString, kVstOpCanDo, kVstOpGetMidiKeyName, kVstOpGetInputProperties,
          kVstOpGetOutputProperties, kVstOpGetChunk, kVstOpEditorGetRect,
          kVstOpGetProgramNameIndexed, kVstOpProcessEvents})
        EXPECT_EQ(plugin.Dispatch(opcode, 0, 0, nullptr), 0) << "opcode " << opcode;
    for (int32_t opcode : {kVstOpGetParamName, kVstOpGetParamLabel, kVstOpGetParamDisplay})
        EXPECT_EQ(plugin.Dispatch(opcode, 0, 0, nullptr), 0) << "opcode " << opcode;
    EXPECT_EQ(plugin.ParamName(0), "gain"); // still answering
}

TEST_F(HostTest, CanDoWithEmptyOrJunkTextAnswersZero) {
    EXPECT_EQ(plugin.CanDo(""), 0);
    const unsigned seed = TestSeed(20261211u);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::printf("can-do junk: seed %u\n", seed);
    std::mt19937 random(seed);
    Guarded<char> junk(1000);
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = char(1 + random() % 255);
    // Unterminated: the comparison must stop by itself.
    EXPECT_EQ(plugin.Dispatch(kVstOpCanDo, 0, 0, junk.data()), 0);
    std::memcpy(junk.data(), "receiveVstTimeInfo", 18);
    EXPECT_EQ(plugin.Dispatch(kVstOpCanDo, 0, 0, junk.data()), 0);
    EXPECT_TRUE(junk.Intact());
}

TEST_F(HostTest, HostParameterValuesOutsideZeroToOneAreHeldToTheRange) {
    plugin.SetParameter(TestGain, 0.5f);
    plugin.SetParameter(TestGain, NAN);
    EXPECT_FLOAT_EQ(plugin.GetParameter(TestGain), 0.5f);
    plugin.SetParameter(TestGain, 7.0f);
    EXPECT_EQ(plugin.ParamDisplay(TestGain), "24.0");
    plugin.SetParameter(TestGain, -3.0f);
    EXPECT_EQ(plugin.ParamDisplay(TestGain), "-24.0");
    plugin.SetParameter(TestMix, -INFINITY);
    EXPECT_EQ(plugin.ParamDisplay(TestMix), "0");
}

TEST_F(HostTest, ManyInstancesKeepTheirOwnState) {
    for (size_t count : {size_t(2), size_t(33)}) {
        std::vector<std::unique_ptr<PluginInstance>> instances;
        for (size_t k = 0; k < count; ++k) {
            instances.push_back(Another());
            instances.back()->Start(44100, 32);
            instances.back()->SetParameter(TestGain, float(k) / float(count));
        }
        GuardedChannels<double> in(2, 32, 0.5), out(2, 32);
        for (size_t k = 0; k < count; ++k) {
            PluginInstance& p = *instances[k];
            EXPECT_FLOAT_EQ(p.GetParameter(TestGain), float(k) / float(count));
            p.ProcessDouble(in.pointers(), out.pointers(), 32);
            const double db = -24.0 + 48.0 * double(float(k) / float(count));
            EXPECT_NEAR(out[0][31], 0.5 * std::pow(10.0, db / 20.0), 1e-6) << "instance " << k;
        }
        EXPECT_TRUE(in.Intact() && out.Intact());
    }
}

TEST_F(HostTest, FiftyOpenCloseCyclesLeaveAWorkingModule) {
    for (int cycle = 0; cycle < 50; ++cycle) {
        PluginInstance p;
        ASSERT_TRUE(p.Create(Module())) << "cycle " << cycle;
        p.Start(44100, 64);
        GuardedChannels<float> in(2, 64, 0.5f), out(2, 64);
        p.ProcessReplacing(in.pointers(), out.pointers(), 64);
        ASSERT_FLOAT_EQ(out[0][63], 0.5f);
        p.Close();
        EXPECT_EQ(p.Record(), nullptr);
    }
    // The module can also be unloaded and loaded again.
    PluginModule again;
    ASSERT_TRUE(again.Load(kPluginPath)) << again.Error();
    PluginInstance p;
    EXPECT_TRUE(p.Create(again));
    p.Close();
}

} // namespace
