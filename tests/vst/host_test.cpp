// End-to-end tests: the test plug-in binary loaded through the host harness, seen
// the way a VST 2.4 host sees it (natively, and as a DLL under Wine): the module
// and its record, the dispatcher's answers and the saved state. What rides the
// audio road is in host_audio_test.cpp, a host's misuse in host_misuse_test.cpp.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/common/test_seed.h"
#include "tests/vst/guarded.h"
#include "tests/vst/host_fixture.h"
#include "tests/vst/test_effect.h"

namespace {

double ReadDouble(const std::vector<uint8_t>& bytes, size_t offset) {
    double v;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

void WriteDouble(std::vector<uint8_t>& bytes, size_t offset, double v) {
    std::memcpy(bytes.data() + offset, &v, sizeof v);
}

int32_t ReadInt32(const std::vector<uint8_t>& bytes, size_t offset) {
    int32_t v;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

// Offset of parameter i's value in a saved block.
size_t ValueOffset(int i) {
    return 4 + 8 * size_t(i);
}

// --- the module and its record

TEST_F(HostTest, TheRecordDescribesTheEffectAsTheHostReadsIt) {
    const VstEffectRecord& r = *plugin.Record();
    EXPECT_EQ(r.magic, kVstMagic);
    EXPECT_EQ(r.numPrograms, 0);
    EXPECT_EQ(r.numParams, TestParamCount);
    EXPECT_EQ(r.numInputs, 2);
    EXPECT_EQ(r.numOutputs, 2);
    EXPECT_EQ(r.flags, kVstFlagHasEditor | kVstFlagCanMono | kVstFlagCanReplacing |
                           kVstFlagProgramChunks | kVstFlagCanDoubleReplacing);
    EXPECT_EQ(r.initialDelay, 0);
    EXPECT_EQ(r.ioRatio, 1.0f);
    EXPECT_NE(r.object, nullptr);
    EXPECT_EQ(r.user, nullptr);
    EXPECT_EQ(r.uniqueId, kTestUniqueId);
    EXPECT_EQ(r.version, 10203); // 0x010203 in decimal form
    EXPECT_NE(r.dispatcher, nullptr);
    EXPECT_NE(r.process, nullptr);
    EXPECT_NE(r.processReplacing, nullptr);
    EXPECT_NE(r.processDoubleReplacing, nullptr);
    EXPECT_NE(r.setParameter, nullptr);
    EXPECT_NE(r.getParameter, nullptr);
    for (char c : r.future)
        EXPECT_EQ(c, 0);
}

TEST_F(HostTest, BothExportedNamesCreateAnEffect) {
    std::string error;
    void* handle = OpenModule(kPluginPath, error);
    ASSERT_NE(handle, nullptr) << error;
    void* primary = FindModuleSymbol(handle, "VSTPluginMain");
    void* alias = FindModuleSymbol(handle, "main");
    ASSERT_NE(primary, nullptr);
    ASSERT_NE(alias, nullptr);
    EXPECT_EQ(primary, alias);
    VstEffectRecord* record = reinterpret_cast<VstEntryProc>(alias)(&PluginInstance::Callback);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->magic, kVstMagic);
    record->dispatcher(record, kVstOpClose, 0, 0, nullptr, 0.0f);
    CloseModule(handle);
}

#ifdef _WIN32
// Under Wine the build tree's path is a Unix path; the same file is drive Z:.
TEST_F(HostTest, TheLoaderTakesUnixPathsAndTheirDriveZNames) {
    const std::string unixPath = kPluginPath;
    ASSERT_EQ(unixPath[0], '/');
    std::string dosPath = "Z:" + unixPath;
    for (char& c : dosPath)
        if (c == '/') c = '\\';
    for (const std::string& path : {unixPath, dosPath}) {
        PluginModule module;
        ASSERT_TRUE(module.Load(path)) << path << ": " << module.Error();
        PluginInstance p;
        EXPECT_TRUE(p.Create(module)) << path;
    }
}
#endif

TEST_F(HostTest, AModuleThatIsNotThereFailsWithAReason) {
    PluginModule missing;
    EXPECT_FALSE(missing.Load(std::string(kPluginPath) + ".missing"));
    EXPECT_FALSE(missing.Error().empty());
    PluginInstance orphan;
    EXPECT_FALSE(orphan.Create(missing));
    EXPECT_EQ(orphan.Dispatch(kVstOpGetVstVersion), 0);
}

// --- dispatcher answers

TEST_F(HostTest, ParametersShowTheirNamesLabelsAndDisplayTexts) {
    plugin.Start(44100, 512);
    EXPECT_EQ(plugin.ParamName(TestGain), "gain");
    EXPECT_EQ(plugin.ParamLabel(TestGain), "dB");
    EXPECT_EQ(plugin.ParamDisplay(TestGain), "0");
    EXPECT_EQ(plugin.ParamName(TestLongName), "process only detected signal");
    EXPECT_EQ(plugin.ParamDisplay(TestLongName), "off");
    EXPECT_EQ(plugin.ParamLabel(TestLongName), "");
    EXPECT_EQ(plugin.ParamDisplay(TestProbe), "audio");
    EXPECT_EQ(plugin.ParamLabel(TestMix), "%");
    EXPECT_EQ(plugin.ParamDisplay(TestMix), "100");

    plugin.SetParameter(TestGain, Normalized(12.0, -24, 24));
    EXPECT_EQ(plugin.ParamDisplay(TestGain), "12.0");
    EXPECT_FLOAT_EQ(plugin.GetParameter(TestGain), 0.75f);
    plugin.SetParameter(TestLongName, 1.0f);
    EXPECT_EQ(plugin.ParamDisplay(TestLongName), "on");
    plugin.SetParameter(TestMix, Normalized(25.0, 0, 100, 2.0));
    EXPECT_EQ(plugin.ParamDisplay(TestMix), "25");
    EXPECT_FLOAT_EQ(plugin.GetParameter(TestMix), 0.5f);
}

TEST_F(HostTest, IdentityQueriesAnswerWithTheEffectsNames) {
    EXPECT_EQ(plugin.EffectName(), "Kelo Test Gain");
    EXPECT_EQ(plugin.VendorString(), "mirel");
    EXPECT_EQ(plugin.ProductString(), "Kelo Test Suite");
    char name[64];
    EXPECT_EQ(plugin.Dispatch(kVstOpGetEffectName, 0, 0, name), 1);
    EXPECT_EQ(plugin.Dispatch(kVstOpGetVstVersion), 2400);
    EXPECT_EQ(plugin.Dispatch(kVstOpGetCategory), 1);
    EXPECT_EQ(plugin.Dispatch(kVstOpIdentify), 0x4E764566);
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorIdle), 0);
    EXPECT_EQ(plugin.Dispatch(kVstOpIdle), 0);
    EXPECT_EQ(plugin.Dispatch(9999), 0);
}

TEST_F(HostTest, CanDoAnswersFollowTheTable) {
    EXPECT_EQ(plugin.CanDo("receiveVstTimeInfo"), 1);
    for (const char* midi :
         {"sendVstEvents", "sendVstMidiEvent", "receiveVstEvents", "receiveVstMidiEvent"})
        EXPECT_EQ(plugin.CanDo(midi), 1) << midi; // the test effect has MIDI
    EXPECT_EQ(plugin.CanDo("hasCockosExtensions"), intptr_t(0xBEEF0000));
    EXPECT_EQ(plugin.CanDo("hasCockosViewAsConfig"), intptr_t(0xBEEF0000));
    EXPECT_EQ(plugin.CanDo("receiveVstTimeInfoX"), 0);
    EXPECT_EQ(plugin.CanDo("receiveVst"), 0);
    EXPECT_EQ(plugin.CanDo("bypass"), 0);
}

TEST_F(HostTest, PinPropertiesLabelPairsFromIndexZero) {
    for (int32_t opcode : {kVstOpGetInputProperties, kVstOpGetOutputProperties}) {
        const std::string prefix = opcode == kVstOpGetInputProperties ? "Input " : "Output ";
        for (int32_t index = 0; index < 2; ++index) {
            Guarded<VstPinProperties> pin(1);
            std::memset(pin.data(), 0, sizeof(VstPinProperties));
            EXPECT_EQ(plugin.Dispatch(opcode, index, 0, pin.data()), 1);
            EXPECT_EQ(std::string(pin[0].label), prefix + std::to_string(index));
            EXPECT_EQ(pin[0].flags, index == 0 ? 3 : 1);
            EXPECT_TRUE(pin.Intact());
        }
        VstPinProperties pin = {};
        EXPECT_EQ(plugin.Dispatch(opcode, 2, 0, &pin), 0);
        EXPECT_EQ(plugin.Dispatch(opcode, -1, 0, &pin), 0);
        EXPECT_EQ(pin.label[0], '\0');
    }
}

TEST_F(HostTest, AnEffectWithoutProgramsAnswersProgramRequestsEmpty) {
    EXPECT_EQ(plugin.Dispatch(kVstOpGetProgram), -1);
    EXPECT_EQ(plugin.Dispatch(kVstOpSetProgram, 0, 0), 0);
    EXPECT_EQ(plugin.Dispatch(kVstOpSetProgram, 0, 5), 0);
    char name[kVstProgramNameSize] = "x";
    EXPECT_EQ(plugin.Dispatch(kVstOpGetProgramNameIndexed, 0, 0, name), 0);
    EXPECT_EQ(name[0], '\0');
    std::strcpy(name, "x");
    EXPECT_EQ(plugin.Dispatch(kVstOpGetProgramName, 0, 0, name), 1);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(plugin.Dispatch(kVstOpSetProgramName, 0, 0, const_cast<char*>("mine")), 1);
    EXPECT_EQ(plugin.Dispatch(kVstOpGetProgram), -1);
}

TEST_F(HostTest, EveryParameterCanBeAutomatedAndNothingElse) {
    for (int32_t i = 0; i < TestParamCount; ++i)
        EXPECT_EQ(plugin.Dispatch(kVstOpCanBeAutomated, i), 1);
    EXPECT_EQ(plugin.Dispatch(kVstOpCanBeAutomated, TestParamCount), 0);
    EXPECT_EQ(plugin.Dispatch(kVstOpCanBeAutomated, -1), 0);
}

TEST_F(HostTest, KeyNamesComeFromTheEffect) {
    VstKeyName key = {};
    key.keyNumber = 60;
    std::strcpy(key.keyName, "stale");
    EXPECT_EQ(plugin.Dispatch(kVstOpGetMidiKeyName, 0, 0, &key), 1);
    EXPECT_STREQ(key.keyName, "key 60");
    key.keyNumber = 200;
    EXPECT_EQ(plugin.Dispatch(kVstOpGetMidiKeyName, 0, 0, &key), 0);
    EXPECT_STREQ(key.keyName, "");
}

TEST_F(HostTest, TheEditorRectangleAndWindowRequestsFollowTheEditor) {
    VstEditorRect* rect = nullptr;
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorGetRect, 0, 0, &rect), 1);
    ASSERT_NE(rect, nullptr);
    EXPECT_EQ(rect->top, 0);
    EXPECT_EQ(rect->left, 0);
    EXPECT_EQ(rect->bottom, 619);
    EXPECT_EQ(rect->right, 675);
    // The test effect opens a window only into a parent.
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorOpen, 0, 0, nullptr), 0);
    int parent = 0;
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorOpen, 0, 0, &parent), 1);
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorOpen, 0, 0, &parent), 0); // already open
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorClose), 1);
    EXPECT_EQ(plugin.Dispatch(kVstOpEditorClose), 1);
}

// --- state chunks

TEST_F(HostTest, ASavedChunkStartsWithTheTagAndHoldsEveryValue) {
    plugin.Start(44100, 512);
    plugin.SetParameter(TestGain, Normalized(-6.5, -24, 24));
    const std::vector<uint8_t> chunk = plugin.GetChunk();
    ASSERT_EQ(chunk.size(), 4 + 8 * size_t(TestParamCount) + 4 + 3 * 8);
    EXPECT_EQ(ReadInt32(chunk, 0), kTestStateTag);
    EXPECT_NEAR(ReadDouble(chunk, ValueOffset(TestGain)), -6.5, 1e-5);
    EXPECT_EQ(ReadDouble(chunk, ValueOffset(TestMix)), 100.0);
    EXPECT_EQ(ReadInt32(chunk, ValueOffset(TestParamCount)), 3);
    EXPECT_EQ(plugin.Dispatch(kVstOpGetChunk, 0, 0, nullptr), 0);
}

TEST_F(HostTest, RestoringASavedChunkBringsBackEveryValueExactly) {
    plugin.Start(48000, 256);
    plugin.SetParameter(TestGain, 0.3f);
    plugin.SetParameter(TestLongName, 1.0f);
    plugin.SetParameter(TestProbe, 0.0f);
    plugin.SetParameter(TestMix, 0.7f);
    const std::vector<uint8_t> saved = plugin.GetChunk();
    std::vector<float> before;
    for (int32_t i = 0; i < TestParamCount; ++i)
        before.push_back(plugin.GetParameter(i));

    for (int32_t i = 0; i < TestParamCount; ++i)
        plugin.SetParameter(i, 0.9f);
    EXPECT_EQ(plugin.SetChunk(saved.data(), intptr_t(saved.size())), 1);
    for (int32_t i = 0; i < TestParamCount; ++i)
        EXPECT_EQ(plugin.GetParameter(i), before[size_t(i)]) << "parameter " << i;
    EXPECT_EQ(plugin.GetChunk(), saved);

    // Another instance takes the same state, as a host reopening a project does.
    auto other = Another();
    EXPECT_EQ(other->SetChunk(saved.data(), intptr_t(saved.size())), 1);
    EXPECT_EQ(other->GetChunk(), saved);
}

TEST_F(HostTest, AChunkHandedBackAtTheAddressTheSaveGaveLoads) {
    plugin.SetParameter(TestGain, 0.25f);
    void* data = nullptr;
    const intptr_t size = plugin.Dispatch(kVstOpGetChunk, 0, 0, &data);
    ASSERT_GT(size, 0);
    plugin.SetParameter(TestGain, 1.0f);
    // The host keeps our address and hands it back, twice.
    EXPECT_EQ(plugin.SetChunk(data, size), 1);
    EXPECT_FLOAT_EQ(plugin.GetParameter(TestGain), 0.25f);
    data = nullptr;
    const intptr_t again = plugin.Dispatch(kVstOpGetChunk, 0, 0, &data);
    EXPECT_EQ(again, size);
    EXPECT_EQ(plugin.SetChunk(data, again / 2), 1); // a shorter view of the same bytes
    EXPECT_FLOAT_EQ(plugin.GetParameter(TestGain), 0.25f);
}

TEST_F(HostTest, ATruncatedChunkRestoresWhatItHolds) {
    std::vector<uint8_t> saved = plugin.GetChunk();
    WriteDouble(saved, ValueOffset(TestGain), 12.0);
    WriteDouble(saved, ValueOffset(TestLongName), 1.0);
    WriteDouble(saved, ValueOffset(TestProbe), 2.0);
    const float mixBefore = plugin.GetParameter(TestMix);
    plugin.SetParameter(TestProbe, 0.0f);
    // Tag and three values: parameters 0..2 change, 3 stays.
    EXPECT_EQ(plugin.SetChunk(saved.data(), 4 + 3 * 8), 1);
    EXPECT_EQ(plugin.ParamDisplay(TestGain), "12.0");
    EXPECT_EQ(plugin.ParamDisplay(TestLongName), "on");
    EXPECT_EQ(plugin.ParamDisplay(TestProbe), "host");
    EXPECT_EQ(plugin.GetParameter(TestMix), mixBefore);
    // A cut inside a value leaves that value alone.
    WriteDouble(saved, ValueOffset(TestGain), -3.0);
    EXPECT_EQ(plugin.SetChunk(saved.data(), 4 + 8 + 5), 1);
    EXPECT_EQ(plugin.ParamDisplay(TestGain), "-3.0");
    EXPECT_EQ(plugin.ParamDisplay(TestLongName), "on");
}

TEST_F(HostTest, ChunksWithAnotherTagOrTooShortChangeNothingAndSucceed) {
    plugin.SetParameter(TestGain, 0.6f);
    std::vector<uint8_t> saved = plugin.GetChunk();
    std::vector<uint8_t> foreign = saved;
    foreign[0] ^= 0x40;
    WriteDouble(foreign, ValueOffset(TestGain), 20.0);
    EXPECT_EQ(plugin.SetChunk(foreign.data(), intptr_t(foreign.size())), 1);
    EXPECT_FLOAT_EQ(plugin.GetParameter(TestGain), 0.6f);
    EXPECT_EQ(plugin.SetChunk(saved.data(), 3), 1);
    EXPECT_EQ(plugin.SetChunk(nullptr, 0), 1); // an empty block
    EXPECT_FLOAT_EQ(plugin.GetParameter(TestGain), 0.6f);
}

TEST_F(HostTest, ValuesOutsideTheirRangeAreClampedAndAFailedSectionAnswersZero) {
    std::vector<uint8_t> saved = plugin.GetChunk();
    WriteDouble(saved, ValueOffset(TestGain), 1000.0);
    WriteDouble(saved, ValueOffset(TestMix), -5.0);
    EXPECT_EQ(plugin.SetChunk(saved.data(), intptr_t(saved.size())), 1);
    EXPECT_EQ(plugin.ParamDisplay(TestGain), "24.0");
    EXPECT_EQ(plugin.ParamDisplay(TestMix), "0");

    // A section the effect rejects fails the load; the values read before it stay.
    WriteDouble(saved, ValueOffset(TestGain), 3.0);
    const int32_t badCount = 7;
    std::memcpy(saved.data() + ValueOffset(TestParamCount), &badCount, 4);
    EXPECT_EQ(plugin.SetChunk(saved.data(), intptr_t(saved.size())), 0);
    EXPECT_EQ(plugin.ParamDisplay(TestGain), "3.0");
}

TEST_F(HostTest, MalformedChunkRequestsAnswerZeroAndKeepTheState) {
    plugin.SetParameter(TestGain, 0.4f);
    const std::vector<uint8_t> saved = plugin.GetChunk();
    EXPECT_EQ(plugin.SetChunk(nullptr, 64), 0);
    EXPECT_EQ(plugin.SetChunk(saved.data(), -1), 0);
    EXPECT_EQ(plugin.SetChunk(saved.data(), INTPTR_MIN), 0);
    EXPECT_EQ(plugin.SetChunk(saved.data(), INTPTR_MAX), 0);
    EXPECT_EQ(plugin.SetChunk(saved.data(), kMaxHostChunkSize + 1), 0);
    EXPECT_FLOAT_EQ(plugin.GetParameter(TestGain), 0.4f);
    EXPECT_EQ(plugin.GetChunk(), saved);
}

TEST_F(HostTest, RandomChunksNeverBreakTheState) {
    const unsigned seed = TestSeed(20261211u);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::printf("random chunks: seed %u\n", seed);
    std::mt19937 random(seed);
    const std::vector<uint8_t> valid = plugin.GetChunk();
    for (int round = 0; round < 300; ++round) {
        // Half the blocks keep the right tag so the values and section get read.
        std::vector<uint8_t> block(random() % 100);
        for (auto& byte : block)
            byte = uint8_t(random());
        if (block.size() >= 4 && round % 2 == 0) std::memcpy(block.data(), &kTestStateTag, 4);
        Guarded<uint8_t> exact(block.size());
        if (!block.empty()) std::memcpy(exact.data(), block.data(), block.size());
        const intptr_t answer = plugin.SetChunk(exact.data(), intptr_t(block.size()));
        EXPECT_TRUE(answer == 0 || answer == 1);
        for (int32_t i = 0; i < TestParamCount; ++i) {
            const float v = plugin.GetParameter(i);
            EXPECT_TRUE(v >= 0.0f && v <= 1.0f) << "parameter " << i << " = " << v;
        }
    }
    EXPECT_EQ(plugin.SetChunk(valid.data(), intptr_t(valid.size())), 1);
    EXPECT_EQ(plugin.GetChunk(), valid);
}

} // namespace
