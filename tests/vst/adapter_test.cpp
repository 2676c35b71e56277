// In-process tests of the adapter: what the effect hears of host requests, the
// entry point's failure paths, and host answers a real host would not give.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/vst/test_effect.h"

extern "C" VstEffectRecord* KELO_VSTCALL VSTPluginMain(VstHostCallback host);

namespace {

// What CreateEffectInstance does in this program.
enum class Factory { Normal, Null, ThrowBadAlloc, ThrowOther };
Factory sFactory = Factory::Normal;

} // namespace

EffectBase* CreateEffectInstance(const InstanceInfo& instance) {
    switch (sFactory) {
    case Factory::Null:
        return nullptr;
    case Factory::ThrowBadAlloc:
        throw std::bad_alloc();
    case Factory::ThrowOther:
        throw std::runtime_error("constructor failed");
    default:
        return new TestEffect(instance);
    }
}

namespace {

// A scripted host: answers from the fields below and counts what it was asked.
struct FakeHost {
    intptr_t vendorAnswer = 1;
    intptr_t productAnswer = 1;
    const char* vendor = "Steinberg";
    const char* product = "Cubase";
    bool fillWholeBuffer = false; // write 256 non-zero bytes instead of a text
    intptr_t version = 120304;
    VstTimeInfo time = {};
    bool answerTime = true;
    int vendorQueries = 0;
    int automations = 0;
    int32_t lastIndex = -1;
    float lastValue = -1.0f;
    // Edit notes (automate, update display, begin and end edit): how many,
    // the begins and ends among them, and those told off the audio thread
    // (when one is named).
    std::thread::id audio;
    std::atomic<int> edits{0}, begins{0}, ends{0}, offAudio{0};
};
FakeHost* sHost = nullptr;

intptr_t KELO_VSTCALL FakeCallback(VstEffectRecord*, int32_t opcode, int32_t index, intptr_t,
                                   void* ptr, float opt) {
    FakeHost& h = *sHost;
    if (opcode == kVstHostAutomate || opcode == kVstHostUpdateDisplay ||
        opcode == kVstHostBeginEdit || opcode == kVstHostEndEdit) {
        ++h.edits;
        if (opcode == kVstHostBeginEdit) ++h.begins;
        if (opcode == kVstHostEndEdit) ++h.ends;
        if (h.audio != std::thread::id() && std::this_thread::get_id() != h.audio) ++h.offAudio;
    }
    switch (opcode) {
    case kVstHostAutomate:
        ++h.automations;
        h.lastIndex = index;
        h.lastValue = opt;
        return 0;
    case kVstHostGetTime:
        return h.answerTime ? reinterpret_cast<intptr_t>(&h.time) : 0;
    case kVstHostGetVendorString:
    case kVstHostGetProductString: {
        const bool vendor = opcode == kVstHostGetVendorString;
        if (vendor) ++h.vendorQueries;
        if (h.fillWholeBuffer)
            std::memset(ptr, 'x', 256);
        else
            std::strcpy(static_cast<char*>(ptr), vendor ? h.vendor : h.product);
        return vendor ? h.vendorAnswer : h.productAnswer;
    }
    case kVstHostGetVendorVersion:
        return h.version;
    default:
        return 0;
    }
}

class AdapterTest : public ::testing::Test {
protected:
    void SetUp() override {
        sHost = &host;
        sFactory = Factory::Normal;
        record = VSTPluginMain(&FakeCallback);
        ASSERT_NE(record, nullptr);
        adapter = VstAdapter::FromRecord(record);
        effect = static_cast<TestEffect*>(&adapter->Effect());
    }
    void TearDown() override {
        if (record) Call(kVstOpClose);
        sHost = nullptr;
    }
    intptr_t Call(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                  float opt = 0.0f) {
        return record->dispatcher(record, opcode, index, value, ptr, opt);
    }

    FakeHost host;
    VstEffectRecord* record = nullptr;
    VstAdapter* adapter = nullptr;
    TestEffect* effect = nullptr;
};

// --- the entry point

TEST_F(AdapterTest, TheEntryPointKeepsTheHostCallbackAndTheModuleHandle) {
    EXPECT_EQ(ModuleHostCallback(), &FakeCallback);
    EXPECT_NE(effect->Instance().mModule, nullptr);
    EXPECT_EQ(effect->Instance().mModule, CurrentModuleHandle());
    EXPECT_EQ(effect->Instance().mReserved1, 0);
    EXPECT_EQ(record->object, static_cast<void*>(adapter));
}

TEST_F(AdapterTest, AFailingFactoryGivesTheHostNoEffect) {
    for (Factory f : {Factory::Null, Factory::ThrowBadAlloc, Factory::ThrowOther}) {
        sFactory = f;
        EXPECT_EQ(VSTPluginMain(&FakeCallback), nullptr);
    }
    sFactory = Factory::Normal;
    VstEffectRecord* second = VSTPluginMain(nullptr); // a host without a callback
    ASSERT_NE(second, nullptr);
    EffectBase& alone = VstAdapter::FromRecord(second)->Effect();
    // Every host request then reads as unanswered.
    EXPECT_EQ(alone.TransportSample(), 0);
    EXPECT_EQ(alone.HostKind(), HostUnasked);
    MidiMessage message = {0, 0x90, 1, 2};
    EXPECT_FALSE(alone.EmitMidi(&message));
    second->dispatcher(second, kVstOpClose, 0, 0, nullptr, 0.0f);
    SetModuleHostCallback(&FakeCallback);
}

TEST_F(AdapterTest, ANullRecordOrObjectIsAnsweredWithZero) {
    EXPECT_EQ(record->dispatcher(nullptr, kVstOpGetVstVersion, 0, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(record->getParameter(nullptr, 0), 0.0f);
    record->setParameter(nullptr, 0, 0.5f);
    record->processReplacing(nullptr, nullptr, nullptr, 16);
    record->process(nullptr, nullptr, nullptr, 16);
    record->processDoubleReplacing(nullptr, nullptr, nullptr, 16);
    VstEffectRecord copy = *record;
    copy.object = nullptr;
    EXPECT_EQ(copy.dispatcher(&copy, kVstOpGetVstVersion, 0, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(Call(kVstOpGetVstVersion), 2400);
}

// --- what the effect hears

TEST_F(AdapterTest, OpeningDeliversEveryParameterThenOneReset) {
    effect->paramChanges = 0;
    effect->resets = 0;
    Call(kVstOpOpen);
    EXPECT_EQ(effect->paramChanges, TestParamCount);
    EXPECT_EQ(effect->resets, 1);
}

TEST_F(AdapterTest, RateBlockSizeAndMainsOffEachResetTheProcessing) {
    effect->resets = 0;
    Call(kVstOpSetSampleRate, 0, 0, nullptr, 96000.0f);
    EXPECT_EQ(effect->SampleRate(), 96000.0);
    EXPECT_EQ(effect->resets, 1);
    Call(kVstOpSetBlockSize, 0, 333);
    EXPECT_EQ(effect->MaxBlock(), 333);
    EXPECT_EQ(effect->resets, 2);
    Call(kVstOpMainsChanged, 0, 1);
    EXPECT_EQ(effect->activations, 1);
    EXPECT_EQ(effect->resets, 2);
    Call(kVstOpMainsChanged, 0, 0);
    EXPECT_EQ(effect->deactivations, 1);
    EXPECT_EQ(effect->resets, 3);
}

TEST_F(AdapterTest, RatesThatAreNotPositiveNumbersKeepThePreviousRate) {
    Call(kVstOpSetSampleRate, 0, 0, nullptr, 48000.0f);
    for (float rate : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity()}) {
        Call(kVstOpSetSampleRate, 0, 0, nullptr, rate);
        EXPECT_EQ(effect->SampleRate(), 48000.0) << rate;
    }
}

TEST_F(AdapterTest, BlockSizesAreHeldBetweenOneFrameAndTheLimit) {
    Call(kVstOpSetBlockSize, 0, 512);
    for (intptr_t size : {intptr_t(0), intptr_t(-7), intptr_t(INT32_MIN)}) {
        Call(kVstOpSetBlockSize, 0, size);
        EXPECT_EQ(effect->MaxBlock(), 512) << size;
    }
    Call(kVstOpSetBlockSize, 0, intptr_t(INT32_MAX));
    EXPECT_EQ(effect->MaxBlock(), kMaxHostBlockSize);
    Call(kVstOpSetBlockSize, 0, 1);
    EXPECT_EQ(effect->MaxBlock(), 1);
}

TEST_F(AdapterTest, TheRecordFlagsFollowTheConstructorAndTheEditor) {
    EXPECT_EQ(record->flags, 0x1039);
    TestEffectOptions bare;
    bare.editor = false;
    bare.midi = false;
    bare.chunks = false;
    TestEffect plain(InstanceInfo{nullptr, 0, 0}, bare);
    VstAdapter vst(plain);
    EXPECT_EQ(vst.Record()->flags, 0x1018);
    VstEditorRect* rect = nullptr;
    EXPECT_EQ(vst.Dispatch(kVstOpEditorGetRect, 0, 0, &rect, 0), 0);
    EXPECT_EQ(rect, nullptr);
    int parent = 0;
    EXPECT_EQ(vst.Dispatch(kVstOpEditorOpen, 0, 0, &parent, 0), 0);
    EXPECT_EQ(vst.Dispatch(kVstOpEditorClose, 0, 0, nullptr, 0), 0);
    plain.SetEditor(new TestEditor(&plain));
    EXPECT_EQ(vst.Record()->flags, 0x1019);
    plain.SetDelay(42);
    EXPECT_EQ(vst.Record()->initialDelay, 42);
    EXPECT_EQ(plain.Delay(), 42);
}

TEST_F(AdapterTest, AnEffectWithoutMidiDeclinesTheMidiCanDos) {
    TestEffectOptions quiet;
    quiet.midi = false;
    TestEffect plain(InstanceInfo{nullptr, 0, 0}, quiet);
    VstAdapter vst(plain);
    for (const char* text :
         {"sendVstEvents", "sendVstMidiEvent", "receiveVstEvents", "receiveVstMidiEvent"})
        EXPECT_EQ(vst.Dispatch(kVstOpCanDo, 0, 0, const_cast<char*>(text), 0), 0) << text;
    EXPECT_EQ(vst.Dispatch(kVstOpCanDo, 0, 0, const_cast<char*>("receiveVstTimeInfo"), 0), 1);
}

TEST_F(AdapterTest, TheEditorHearsOfOpeningAndClosingOnlyWhenAWindowOpened) {
    Call(kVstOpEditorClose); // closing what never opened
    EXPECT_EQ(effect->editorClosed, 0);
    int parent = 0;
    EXPECT_EQ(Call(kVstOpEditorOpen, 0, 0, &parent), 1);
    EXPECT_EQ(effect->editorOpened, 1);
    EXPECT_EQ(Call(kVstOpEditorClose), 1);
    EXPECT_EQ(effect->editorClosed, 1);
}

TEST_F(AdapterTest, AFrameDestroyedWithoutCloseDoesNotBlockTheNextOpen) {
    auto* editor = static_cast<TestEditor*>(effect->GetEditor());
    int parent = 0, second = 0;
    ASSERT_EQ(Call(kVstOpEditorOpen, 0, 0, &parent), 1);
    EXPECT_EQ(Call(kVstOpEditorOpen, 0, 0, &parent), 0); // open is open
    // The host destroys its frame, and our window in it, without "editor close".
    editor->windowOpen = false;
    EXPECT_EQ(Call(kVstOpEditorOpen, 0, 0, &second), 1);
    EXPECT_TRUE(editor->windowOpen);
    // The lost window was closed once, the new one opened once.
    EXPECT_EQ(effect->editorClosed, 1);
    EXPECT_EQ(effect->editorOpened, 2);
    EXPECT_EQ(Call(kVstOpEditorClose), 1);
    EXPECT_EQ(effect->editorClosed, 2);
    EXPECT_FALSE(editor->windowOpen);
}

TEST_F(AdapterTest, HostParameterChangesReachTheEditorAndTheEffect) {
    auto* editor = static_cast<TestEditor*>(effect->GetEditor());
    const int32_t shown = editor->shownCount;
    effect->paramChanges = 0;
    record->setParameter(record, TestMix, 0.5f);
    EXPECT_EQ(editor->shownCount, shown + 1);
    EXPECT_EQ(effect->paramChanges, 1);
    EXPECT_EQ(effect->ParamAt(TestMix)->Value(), 25.0);
    record->setParameter(record, TestMix, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(effect->paramChanges, 1);
    EXPECT_EQ(effect->ParamAt(TestMix)->Value(), 25.0);
}

TEST_F(AdapterTest, AnEditorChangeIsReportedToTheHostAfterTheEffectHeardIt) {
    effect->EditorParamChange(TestGain, 0.25);
    EXPECT_EQ(host.automations, 1);
    EXPECT_EQ(host.lastIndex, TestGain);
    EXPECT_EQ(host.lastValue, 0.25f);
    EXPECT_EQ(effect->ParamAt(TestGain)->Value(), -12.0);
    effect->EditorParamChange(TestParamCount, 0.5); // no such parameter: nothing to report
    EXPECT_EQ(host.automations, 1);
}

TEST_F(AdapterTest, TheHostHearsTheValueTheParameterTookNotTheRequest) {
    // A switch rounds to its step; a request beyond the scale is held at its end.
    const struct {
        int32_t index;
        double request;
        float reported;
    } cases[] = {{TestLongName, 0.4, 0.0f},
                 {TestLongName, 0.7, 1.0f},
                 {TestGain, 1.5, 1.0f},
                 {TestGain, -0.5, 0.0f}};
    for (const auto& c : cases) {
        effect->EditorParamChange(c.index, c.request);
        EXPECT_EQ(host.lastIndex, c.index);
        EXPECT_EQ(host.lastValue, c.reported) << c.request;
        EXPECT_EQ(host.lastValue, float(effect->ParamNormalized(c.index)));
    }
}

// --- host answers a real host would not give

TEST_F(AdapterTest, TransportAnswersOutsideTheirRangeReadAsZeroOrTheLimit) {
    host.time.flags = kVstTimeTempoValid | kVstTimeSignatureValid;
    host.time.samplePos = -5.0;
    EXPECT_EQ(effect->TransportSample(), 0);
    host.time.samplePos = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(effect->TransportSample(), 0);
    host.time.samplePos = 1e300;
    EXPECT_EQ(effect->TransportSample(), INT64_MAX);
    // Past 2^31 samples positions keep counting.
    host.time.samplePos = 3e9 + 0.5;
    EXPECT_EQ(effect->TransportSample(), int64_t(3000000000));
    host.time.samplePos = 12345.75;
    EXPECT_EQ(effect->TransportSample(), 12345);

    host.time.tempo = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(effect->TransportTempo(), 0.0);
    host.time.tempo = -90.0;
    EXPECT_EQ(effect->TransportTempo(), 0.0);
    host.time.tempo = 140.0;
    EXPECT_EQ(effect->TransportTempo(), 140.0);
    host.time.flags = kVstTimeSignatureValid;
    EXPECT_EQ(effect->TransportTempo(), 0.0) << "tempo not marked valid";

    int32_t numerator = 9, denominator = 9;
    host.time.timeSigNumerator = 6;
    host.time.timeSigDenominator = -8;
    effect->TransportMeter(numerator, denominator);
    EXPECT_EQ(numerator, 0);
    EXPECT_EQ(denominator, 0);
    host.time.timeSigDenominator = 8;
    effect->TransportMeter(numerator, denominator);
    EXPECT_EQ(numerator, 6);
    EXPECT_EQ(denominator, 8);
    host.time.flags = 0;
    effect->TransportMeter(numerator, denominator);
    EXPECT_EQ(numerator, 0);
}

TEST_F(AdapterTest, TheHostIsAskedOnceWhenItAnswers) {
    EXPECT_EQ(effect->HostKind(), HostCubase);
    EXPECT_EQ(effect->HostVersion(), (12 << 16) | (3 << 8) | 4);
    EXPECT_EQ(effect->HostKind(), HostCubase);
    EXPECT_EQ(host.vendorQueries, 1);
}

TEST_F(AdapterTest, AHostThatDoesNotAnswerIsAskedAgain) {
    host.vendorAnswer = 0;
    EXPECT_EQ(effect->HostKind(), HostUnasked);
    EXPECT_EQ(effect->HostKind(), HostUnasked);
    EXPECT_EQ(host.vendorQueries, 2);
    host.vendorAnswer = 1;
    host.vendor = "";
    host.product = "";
    EXPECT_EQ(effect->HostKind(), HostUnasked) << "two empty strings say nothing";
    host.product = "Nuendo";
    host.version = -5;
    EXPECT_EQ(effect->HostKind(), HostNuendo);
    EXPECT_EQ(effect->HostVersion(), 0);
}

TEST_F(AdapterTest, AHostThatFillsTheWholeBufferStillGivesATerminatedText) {
    host.fillWholeBuffer = true;
    EXPECT_EQ(effect->HostKind(), HostOther);
}

TEST(CopyToHost, CutsToTheBoundAndAlwaysTerminates) {
    char buffer[8];
    std::memset(buffer, 'q', sizeof buffer);
    EXPECT_TRUE(CopyToHost(buffer, 5, "transient"));
    EXPECT_STREQ(buffer, "tran");
    EXPECT_EQ(buffer[5], 'q');
    EXPECT_TRUE(CopyToHost(buffer, 8, nullptr));
    EXPECT_STREQ(buffer, "");
    EXPECT_TRUE(CopyToHost(buffer, 1, "x"));
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(CopyToHost(nullptr, 8, "x"));
    EXPECT_FALSE(CopyToHost(buffer, 0, "x"));
}

// --- threads as a host uses them

TEST_F(AdapterTest, AudioAndUserInterfaceThreadsCanWorkAtTheSameTime) {
    Call(kVstOpOpen);
    Call(kVstOpSetBlockSize, 0, 256);
    Call(kVstOpMainsChanged, 0, 1);
    std::thread audio([this] {
        std::vector<float> in(256, 0.5f), out(256);
        float* ins[2] = {in.data(), in.data()};
        float* outs[2] = {out.data(), out.data()};
        for (int block = 0; block < 400; ++block)
            record->processReplacing(record, ins, outs, 256);
    });
    for (int round = 0; round < 400; ++round) {
        record->setParameter(record, TestGain, float(round % 10) / 10.0f);
        char text[64];
        Call(kVstOpGetParamDisplay, TestGain, 0, text);
        // Saving reads the values without the lock; only this thread writes them.
        void* data = nullptr;
        ASSERT_GT(Call(kVstOpGetChunk, 0, 0, &data), 0);
        EXPECT_GE(record->getParameter(record, TestGain), 0.0f);
    }
    audio.join();
    EXPECT_EQ(effect->processedFrames, 400 * 256);
}

// Ardour's Linux VST host idles the editor on one thread and processes on
// another: every edit note of the editor's gestures reaches it on the audio
// thread, each begin with its end.
TEST_F(AdapterTest, AnArdourHostHearsEveryEditOnItsAudioThread) {
    host.vendor = "Linux Audio Systems";
    host.product = "Ardour";
    Call(kVstOpOpen);
    Call(kVstOpSetBlockSize, 0, 64);
    Call(kVstOpMainsChanged, 0, 1);
    int frame = 1; // the host's window, as far as the test editor cares
    ASSERT_EQ(Call(kVstOpEditorOpen, 0, 0, &frame), 1);
    std::atomic<bool> ready{false}, done{false};
    std::thread audio([&] {
        host.audio = std::this_thread::get_id();
        ready = true;
        std::vector<float> buffer(64, 0.25f);
        float* channels[2] = {buffer.data(), buffer.data()};
        for (bool last = false; !last;) {
            last = done.load(); // one block more after the editor stopped
            record->processReplacing(record, channels, channels, 64);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    while (!ready)
        std::this_thread::yield();
    for (int round = 0; round < 200; ++round) {
        Call(kVstOpVendorSpecific, kTestArmGesture);
        Call(kVstOpEditorIdle);
        if (round % 10 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    done = true;
    audio.join();
    Call(kVstOpEditorClose);
    EXPECT_EQ(host.offAudio, 0) << "edit notes told off the audio thread";
    EXPECT_GT(host.begins, 0);
    EXPECT_EQ(host.begins, host.ends);
}

} // namespace
