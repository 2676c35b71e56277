// End-to-end tests of the audio road: the test plug-in binary through the host
// harness takes audio through its three entries, events in and out, sends its
// gestures' notes on the thread its host can take them on, and reads the
// transport and the host's identity in its blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/vst/guarded.h"
#include "tests/vst/host_fixture.h"
#include "tests/vst/test_effect.h"
#include "tools/host/touch.h"

namespace {

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

// The test effect's gain at +6 dB, run through each entry; outputs are checked
// against the input scaled by the gain (accumulating adds to the buffer).
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

} // namespace
