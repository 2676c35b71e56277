// End-to-end tests: the test plug-in binary loaded through the host harness, seen
// the way a VST 2.4 host sees it (natively, and as a DLL under Wine).
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/vst/guarded.h"
#include "tests/vst/test_effect.h"
#include "tools/host/host.h"
#include "tools/host/module.h"
#include "tools/host/touch.h"

namespace {

const char* const kPluginPath = KELO_TEST_PLUGIN;

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Module().Loaded()) << kPluginPath << ": " << Module().Error();
        ASSERT_TRUE(plugin.Create(Module()));
    }

    static const PluginModule& Module() { return SharedModule(kPluginPath); }

    // A fresh instance with other host options.
    std::unique_ptr<PluginInstance> Another(const HostOptions& options = HostOptions()) {
        auto instance = std::make_unique<PluginInstance>(options);
        EXPECT_TRUE(instance->Create(Module()));
        return instance;
    }

    // Sets a parameter by its real value through the normalized host scale.
    static float Normalized(double value, double min, double max, double curve = 1.0) {
        return float(std::pow((value - min) / (max - min), 1.0 / curve));
    }

    PluginInstance plugin;
};

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
    const unsigned seed = std::random_device{}();
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

// --- automation and events

TEST_F(HostTest, AParameterMovedInsideThePluginReachesTheHostAsAutomation) {
    plugin.Start(44100, 256);
    VstMidiEvent controller = {};
    controller.type = kVstEventMidi;
    controller.byteSize = sizeof controller;
    controller.midiData[0] = 0xB0;
    controller.midiData[1] = TestGain;
    controller.midiData[2] = 127;
    VstEvents list = {};
    list.numEvents = 2;
    list.events[0] = reinterpret_cast<VstEvent*>(&controller);
    list.events[1] = nullptr; // skipped
    EXPECT_EQ(plugin.Dispatch(kVstOpProcessEvents, 0, 0, &list), 1);
    const auto automation = plugin.Automation();
    ASSERT_EQ(automation.size(), 1u);
    EXPECT_EQ(automation[0].index, TestGain);
    EXPECT_FLOAT_EQ(automation[0].value, 1.0f);
    EXPECT_FLOAT_EQ(plugin.GetParameter(TestGain), 1.0f);
    EXPECT_EQ(plugin.ParamDisplay(TestGain), "24.0");
}

// A host's audio thread: runs each job handed to it, one at a time, on the
// same thread until it goes.
class AudioThread {
public:
    AudioThread() : mThread([this] { Loop(); }) {}
    ~AudioThread() {
        {
            std::lock_guard<std::mutex> hold(mLock);
            mStop = true;
        }
        mWake.notify_all();
        mThread.join();
    }
    std::thread::id Id() const { return mThread.get_id(); }
    // Runs job on the thread and waits for it.
    void Run(std::function<void()> job) {
        std::unique_lock<std::mutex> hold(mLock);
        mJob = std::move(job);
        mWake.notify_all();
        mWake.wait(hold, [this] { return !mJob; });
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> hold(mLock);
        for (;;) {
            mWake.wait(hold, [this] { return mStop || mJob; });
            if (!mJob) return;
            mJob();
            mJob = nullptr;
            mWake.notify_all();
        }
    }
    std::mutex mLock;
    std::condition_variable mWake;
    std::function<void()> mJob;
    bool mStop = false;
    std::thread mThread;
};

// Ardour's Linux VST host calls editor-idle, where the editor's gestures
// happen, from a thread on which its begin-edit handling crashes: to that host
// every note of a gesture goes out on the audio thread, at the next block and
// well formed. Other hosts hear each note at once, on the thread it happened on.
TEST_F(HostTest, EachNoteOfAGestureGoesOutOnTheThreadItsHostCanTakeItOn) {
    struct Case {
        const char* vendor;
        const char* product;
        bool onAudio;
    };
    const Case cases[] = {{"Linux Audio Systems", "Ardour", true},
                          {"Kelo Tools", "kelo-host", false},
                          {"Cockos", "REAPER", false}};
    for (const Case& c : cases) {
        HostOptions options;
        options.vendor = c.vendor;
        options.product = c.product;
        auto host = Another(options);
        host->Start(48000, 64);
        AudioThread audio;
        GuardedChannels<float> in(2, 64), out(2, 64);
        auto block = [&] { host->ProcessReplacing(in.pointers(), out.pointers(), 64); };
        audio.Run(block);
        int frame = 1; // the host's window, as far as the test editor cares
        ASSERT_EQ(host->Dispatch(kVstOpEditorOpen, 0, 0, &frame), 1) << c.product;
        // This thread is the host's editor thread: its idle call plays the gesture.
        ASSERT_EQ(host->Dispatch(kVstOpVendorSpecific, kTestArmGesture), 1);
        host->Dispatch(kVstOpEditorIdle);
        const size_t toldAtOnce = host->TouchRecord().size();
        audio.Run(block);
        const std::vector<TouchEvent> record = host->TouchRecord();
        EXPECT_EQ(toldAtOnce, c.onAudio ? 0u : record.size()) << c.product;
        const std::thread::id expected = c.onAudio ? audio.Id() : std::this_thread::get_id();
        for (const TouchEvent& e : record)
            EXPECT_EQ(e.thread, expected) << c.product << "\n" << FormatTouchRecord(record);
        std::vector<TouchGesture> gestures;
        int states = 0;
        std::string error;
        ASSERT_TRUE(SplitTouchGestures(record, gestures, states, error)) << c.product << error;
        ASSERT_EQ(gestures.size(), 2u) << c.product << "\n" << FormatTouchRecord(record);
        EXPECT_EQ(gestures[0].index, TestGain);
        EXPECT_EQ(gestures[0].values.back(), 0.75f);
        EXPECT_EQ(gestures[1].index, TestMix);
        EXPECT_EQ(states, 1);
        host->Dispatch(kVstOpEditorClose);
        EXPECT_TRUE(in.Intact() && out.Intact());
    }
}

TEST_F(HostTest, MidiAndOtherEventsGoBackToTheHost) {
    VstMidiEvent note = {};
    note.type = kVstEventMidi;
    note.byteSize = sizeof note;
    note.deltaFrames = 17;
    note.midiData[0] = 0x90;
    note.midiData[1] = 60;
    note.midiData[2] = 100;
    VstEvent sysex = {};
    sysex.type = 6;
    sysex.byteSize = sizeof sysex;
    sysex.deltaFrames = 3;
    sysex.data[0] = 42;
    // A list of three, longer than the two pointers the record declares.
    struct {
        int32_t numEvents;
        intptr_t reserved;
        VstEvent* events[3];
    } list = {3, 0, {reinterpret_cast<VstEvent*>(&note), &sysex, nullptr}};
    EXPECT_EQ(plugin.Dispatch(kVstOpProcessEvents, 0, 0, &list), 1);
    const auto midi = plugin.MidiReceived();
    ASSERT_EQ(midi.size(), 1u);
    EXPECT_EQ(midi[0].deltaFrames, 17);
    EXPECT_EQ(midi[0].byteSize, 32);
    EXPECT_EQ(midi[0].midiData[0], 0x90);
    EXPECT_EQ(midi[0].midiData[1], 60);
    EXPECT_EQ(midi[0].midiData[2], 100);
    EXPECT_EQ(midi[0].midiData[3], 0);
    const auto others = plugin.OtherEventsReceived();
    ASSERT_EQ(others.size(), 1u);
    EXPECT_EQ(others[0].type, 6);
    EXPECT_EQ(others[0].deltaFrames, 3);
    EXPECT_EQ(others[0].data[0], 42);
    EXPECT_EQ(plugin.Dispatch(kVstOpProcessEvents, 0, 0, nullptr), 0);
    VstEvents empty = {};
    empty.numEvents = -4;
    EXPECT_EQ(plugin.Dispatch(kVstOpProcessEvents, 0, 0, &empty), 1);
}

// --- audio

// Gain of the test effect at gainDb, run through each entry; outputs are checked
// against the input scaled by the gain.
TEST_F(HostTest, AudioPassesThroughAllThreeEntries) {
    plugin.Start(44100, 64);
    plugin.SetParameter(TestGain, Normalized(6.0, -24, 24));
    const double gain = std::pow(10.0, 6.0 / 20.0);
    const int32_t frames = 64;
    GuardedChannels<float> in(2, frames), out(2, frames);
    GuardedChannels<double> inD(2, frames), outD(2, frames);
    for (int c = 0; c < 2; ++c)
        for (int32_t i = 0; i < frames; ++i) {
            in[size_t(c)][size_t(i)] = float(0.01 * (i + 1) * (c ? -1 : 1));
            inD[size_t(c)][size_t(i)] = 0.01 * (i + 1) * (c ? -1 : 1);
        }

    plugin.ProcessReplacing(in.pointers(), out.pointers(), frames);
    for (int c = 0; c < 2; ++c)
        for (int32_t i = 0; i < frames; ++i)
            ASSERT_NEAR(out[size_t(c)][size_t(i)], in[size_t(c)][size_t(i)] * gain, 1e-6);

    // Accumulating adds to what the host buffer holds.
    for (int c = 0; c < 2; ++c)
        for (int32_t i = 0; i < frames; ++i)
            out[size_t(c)][size_t(i)] = 1.0f;
    plugin.ProcessAccumulating(in.pointers(), out.pointers(), frames);
    for (int c = 0; c < 2; ++c)
        for (int32_t i = 0; i < frames; ++i)
            ASSERT_NEAR(out[size_t(c)][size_t(i)], 1.0 + in[size_t(c)][size_t(i)] * gain, 1e-6);

    plugin.ProcessDouble(inD.pointers(), outD.pointers(), frames);
    const double exact = std::exp(6.0 * std::log(10.0) / 20.0);
    for (int c = 0; c < 2; ++c)
        for (int32_t i = 0; i < frames; ++i)
            ASSERT_NEAR(outD[size_t(c)][size_t(i)], inD[size_t(c)][size_t(i)] * exact, 1e-12);
    EXPECT_TRUE(in.Intact() && out.Intact() && inD.Intact() && outD.Intact());
}

TEST_F(HostTest, AMonoInputArrangementLeavesTheSecondInputSilent) {
    plugin.Start(44100, 32);
    VstSpeakerArrangementHead mono = {0, 1};
    VstSpeakerArrangementHead stereo = {1, 2};
    EXPECT_EQ(
        plugin.Dispatch(kVstOpSetSpeakerArrangement, 0, reinterpret_cast<intptr_t>(&mono), &stereo),
        1);
    GuardedChannels<float> in(2, 32, 0.5f), out(2, 32, 9.0f);
    plugin.ProcessReplacing(in.pointers(), out.pointers(), 32);
    EXPECT_FLOAT_EQ(out[0][5], 0.5f);
    EXPECT_FLOAT_EQ(out[1][5], 0.0f);
    // Arrangements with absurd counts are held to the declared channels.
    VstSpeakerArrangementHead many = {0, 99}, none = {0, -5};
    EXPECT_EQ(
        plugin.Dispatch(kVstOpSetSpeakerArrangement, 0, reinterpret_cast<intptr_t>(&many), &none),
        1);
    plugin.ProcessReplacing(in.pointers(), out.pointers(), 32);
    EXPECT_TRUE(in.Intact() && out.Intact());
    EXPECT_EQ(plugin.Dispatch(kVstOpSetSpeakerArrangement, 0, 0, nullptr), 1);
}

// --- transport and host identity, read back through the probe outputs

class ProbeTest : public HostTest {
protected:
    // Runs one double block and returns the two output values at frame i.
    std::pair<double, double> Probe(PluginInstance& p, int32_t mode, int32_t frames = 16,
                                    int32_t frame = 0) {
        p.SetParameter(TestProbe, float(mode) / 3.0f);
        GuardedChannels<double> in(2, size_t(frames)), out(2, size_t(frames));
        p.ProcessDouble(in.pointers(), out.pointers(), frames);
        EXPECT_TRUE(out.Intact());
        return {out[0][size_t(frame)], out[1][size_t(frame)]};
    }
};

TEST_F(ProbeTest, TheTransportPositionAdvancesWhilePlayingAndStopsAndMoves) {
    plugin.Start(48000, 128);
    plugin.MoveTo(1000);
    EXPECT_EQ(Probe(plugin, ProbeTransport, 100).first, 1000.0);
    EXPECT_EQ(Probe(plugin, ProbeTransport, 100).first, 1100.0);
    EXPECT_EQ(Probe(plugin, ProbeTransport).second, 120.0);
    plugin.Stop();
    const double stopped = Probe(plugin, ProbeTransport).first;
    EXPECT_EQ(Probe(plugin, ProbeTransport).first, stopped);
    plugin.MoveTo(5e9); // past the int32 range: a timeline keeps counting
    EXPECT_EQ(Probe(plugin, ProbeTransport).first, 5e9);
    plugin.Transport().tempo = 93.5;
    EXPECT_EQ(Probe(plugin, ProbeTransport).second, 93.5);
    EXPECT_GT(plugin.TimeRequests(), 0);
}

TEST_F(ProbeTest, SubBlocksOfALongHostBlockSeeTheirOwnPosition) {
    plugin.Start(44100, 64);
    plugin.MoveTo(500);
    plugin.Stop();
    // 200 frames with a block size of 64: pieces at offsets 0, 64, 128, 192.
    for (int32_t frame : {0, 63, 64, 130, 199})
        EXPECT_EQ(Probe(plugin, ProbeTransport, 200, frame).first, 500.0 + (frame / 64) * 64)
            << "frame " << frame;
}

TEST_F(ProbeTest, WithoutTimeInfoTheTransportReadsZero) {
    HostOptions options;
    options.answerTime = false;
    auto silent = Another(options);
    silent->Start(44100, 64);
    silent->MoveTo(777);
    EXPECT_EQ(Probe(*silent, ProbeTransport), std::make_pair(0.0, 0.0));
    EXPECT_EQ(Probe(*silent, ProbeMeter), std::make_pair(0.0, 0.0));
}

TEST_F(ProbeTest, TheMeterComesFromTheHostsTimeSignature) {
    plugin.Start(44100, 64);
    plugin.Transport().numerator = 7;
    plugin.Transport().denominator = 8;
    EXPECT_EQ(Probe(plugin, ProbeMeter), std::make_pair(7.0, 8.0));
    plugin.Transport().numerator = -3;
    EXPECT_EQ(Probe(plugin, ProbeMeter), std::make_pair(0.0, 0.0));
}

TEST_F(ProbeTest, TheHostIsIdentifiedByItsProductAndVendorStrings) {
    HostOptions reaper;
    reaper.vendor = "Cockos";
    reaper.product = "REAPER";
    reaper.version = 30104;
    auto host = Another(reaper);
    host->Start(44100, 64);
    EXPECT_EQ(Probe(*host, ProbeHost), std::make_pair(double(HostReaper), double(0x030104)));

    HostOptions live;
    live.vendor = "Ableton";
    live.product = "Live";
    auto other = Another(live);
    other->Start(44100, 64);
    EXPECT_EQ(Probe(*other, ProbeHost).first, double(HostLive));

    // Our own harness is no host on the list.
    plugin.Start(44100, 64);
    EXPECT_EQ(Probe(plugin, ProbeHost).first, double(HostOther));
}

TEST_F(ProbeTest, AHostThatDoesNotSayWhoItIsIsAskedAgainLater) {
    HostOptions shy;
    shy.answerStrings = false;
    shy.product = "Cubase";
    auto host = Another(shy);
    host->Start(44100, 64);
    EXPECT_EQ(Probe(*host, ProbeHost).first, double(HostUnasked));
    host->Options().answerStrings = true;
    EXPECT_EQ(Probe(*host, ProbeHost).first, double(HostCubase));
}

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
    const unsigned seed = std::random_device{}();
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
