// The frame's host link: what an effect asks and tells its host reaches the
// link its adapter handed over (the transport at the sub-block being
// processed, the host's identity until it answers, MIDI, latency, the editor),
// calls that reach the host come with no lock of ours held, and without a
// link every question reads as unanswered.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "plug/host_link.h"
#include "tests/plug/test_effect.h"

namespace {

// A host link that notes every call, and whether the plug-in's lock was held.
class RecordingLink : public HostLink {
public:
    explicit RecordingLink(EffectBase& effect) : mEffect(effect) {}

    int64_t TransportSample(int32_t offset) override {
        Note("sample " + std::to_string(offset));
        return position + offset;
    }
    double TransportTempo() override {
        Note("tempo");
        return tempo;
    }
    void TransportMeter(int32_t& numerator, int32_t& denominator) override {
        Note("meter");
        numerator = 7;
        denominator = 8;
    }
    bool IdentifyHost(char* vendor, char* product, size_t size, int32_t& version) override {
        Note("identify");
        if (!identifies) return false;
        snprintf(vendor, size, "%s", "Steinberg");
        snprintf(product, size, "%s", "Cubase");
        version = 120304;
        return true;
    }
    bool EmitMidi(const MidiMessage& message) override {
        Note("midi " + std::to_string(message.mStatus));
        return true;
    }
    void SendHostNote(const HostNote& note) override {
        Note("note " + std::to_string(int(note.kind)) + " " + std::to_string(note.index));
    }
    void LatencySet(int32_t samples) override { Note("latency " + std::to_string(samples)); }
    void EditorAttached() override { Note("editor"); }

    // Calls made with the plug-in's lock held, and all calls, in order.
    std::vector<std::string> locked, calls;
    int64_t position = 1000;
    double tempo = 96.0;
    bool identifies = false;

private:
    void Note(const std::string& call) {
        calls.push_back(call);
        if (mEffect.FrameLock().HeldByThisThread()) locked.push_back(call);
    }
    EffectBase& mEffect;
};

// The frame's own host queries (TestEffect answers them itself), asked once
// per sub-block; a load changes the latency, as a loaded option may.
class LinkedEffect : public TestEffect {
public:
    int64_t TransportSample() override { return EffectBase::TransportSample(); }
    double TransportTempo() override { return EffectBase::TransportTempo(); }
    void TransportMeter(int32_t& numerator, int32_t& denominator) override {
        EffectBase::TransportMeter(numerator, denominator);
    }
    bool EmitMidi(const MidiMessage* message) override { return EffectBase::EmitMidi(message); }
    void ProcessBlock(double** in, double** out, int32_t frames) override {
        positions.push_back(TransportSample());
        TestEffect::ProcessBlock(in, out, frames);
    }
    bool LoadState(ByteBlock* chunk) override {
        TestEffect::LoadState(chunk);
        SetDelay(Delay() + 1);
        return loads;
    }

    std::vector<int64_t> positions;
    bool loads = true;
};

TEST(HostLink, TheTransportIsAskedOnceABlockWithoutOurLockAndFollowsEachSubBlock) {
    const struct {
        int32_t maxBlock, frames;
        std::vector<int64_t> positions;
    } cases[] = {
        {64, 64, {1000}},
        {64, 150, {1000, 1064, 1128}},
        {100, 99, {1000}},
        {1, 3, {1000, 1001, 1002}},
    };
    for (const auto& c : cases) {
        LinkedEffect fx;
        RecordingLink link(fx);
        fx.SetHostLink(&link);
        fx.ConnectAll(c.maxBlock);
        std::vector<float> l(size_t(c.frames)), r(size_t(c.frames));
        float* io[2] = {l.data(), r.data()};
        fx.ProcessFloatReplacing(io, io, c.frames);
        EXPECT_EQ(fx.positions, c.positions) << c.maxBlock << " " << c.frames;
        // The host heard one question of each, before the lock was taken.
        EXPECT_EQ(link.calls, (std::vector<std::string>{"sample 0", "tempo", "meter"}));
        EXPECT_TRUE(link.locked.empty());
        // Outside the processing the offset is 0.
        EXPECT_EQ(fx.TransportSample(), 1000);
        // Under our lock outside a block: what was heard last, no call.
        link.tempo = 140.0;
        {
            ScopedLock hold(fx.FrameLock());
            EXPECT_EQ(fx.TransportSample(), 1000);
            EXPECT_EQ(fx.TransportTempo(), 96.0);
        }
        EXPECT_TRUE(link.locked.empty());
        EXPECT_EQ(fx.TransportTempo(), 140.0);
    }
}

TEST(HostLink, TempoMeterAndMidiGoThroughTheLink) {
    LinkedEffect fx;
    RecordingLink link(fx);
    fx.SetHostLink(&link);
    EXPECT_EQ(fx.TransportTempo(), 96.0);
    int32_t numerator = 0, denominator = 0;
    fx.TransportMeter(numerator, denominator);
    EXPECT_EQ(numerator, 7);
    EXPECT_EQ(denominator, 8);
    const MidiMessage message = {3, 0x90, 60, 100};
    EXPECT_TRUE(fx.EmitMidi(&message));
    EXPECT_FALSE(fx.EmitMidi(nullptr));
    EXPECT_EQ(link.calls, (std::vector<std::string>{"tempo", "meter", "midi 144"}));
}

TEST(HostLink, WithoutALinkEveryQuestionReadsAsUnanswered) {
    LinkedEffect fx;
    RecordingLink link(fx);
    fx.SetHostLink(&link);
    fx.SetHostLink(nullptr); // the adapter went
    EXPECT_EQ(fx.TransportSample(), 0);
    EXPECT_EQ(fx.TransportTempo(), 0.0);
    int32_t numerator = 5, denominator = 5;
    fx.TransportMeter(numerator, denominator);
    EXPECT_EQ(numerator, 0);
    EXPECT_EQ(denominator, 0);
    const MidiMessage message = {0, 0x80, 1, 2};
    EXPECT_FALSE(fx.EmitMidi(&message));
    EXPECT_EQ(fx.HostKind(), HostUnasked);
    fx.SetDelay(12);
    fx.EditorParamChange(0, 0.5);
    EXPECT_EQ(fx.Delay(), 12);
    EXPECT_TRUE(link.calls.empty());
}

TEST(HostLink, TheHostIsAskedWhoItIsUntilItAnswersThenNeverAgain) {
    LinkedEffect fx;
    RecordingLink link(fx);
    fx.SetHostLink(&link);
    EXPECT_EQ(fx.HostKind(), HostUnasked);
    EXPECT_EQ(fx.HostKind(), HostUnasked);
    link.identifies = true;
    EXPECT_EQ(fx.HostKind(), HostCubase);
    EXPECT_EQ(fx.HostVersion(), (12 << 16) | (3 << 8) | 4);
    EXPECT_EQ(fx.HostKind(), HostCubase);
    EXPECT_EQ(link.calls, (std::vector<std::string>(3, "identify")));
}

TEST(HostLink, LatencyAndEditorNewsAreStoredTheHostIsCalledWithoutOurLock) {
    LinkedEffect fx;
    RecordingLink link(fx);
    fx.SetHostLink(&link);
    fx.SetDelay(42);
    fx.SetEditor(new TestEditor(&fx, &fx.mLog));
    fx.SetEditor(nullptr); // nothing attached, nothing told
    // A load that changes the latency, failing or not: the effect hears every
    // parameter; the host hears of the latency once, with the lock released.
    for (bool loads : {true, false}) {
        fx.loads = loads;
        fx.mLog.clear();
        ByteBlock chunk;
        EXPECT_EQ(fx.LoadStateChunk(chunk), loads);
        EXPECT_EQ(fx.mLog.size(), size_t(fx.ParamCount()) + 1) << "changed x4, reset";
    }
    // An editor change: begin, value, end, all after the lock is let go.
    fx.EditorParamChange(1, 0.25);
    // A note posted under our lock waits for it to be let go.
    {
        ScopedLock hold(fx.FrameLock());
        fx.StateChanged();
        EXPECT_EQ(link.calls.back(), "note 2 1");
    }
    fx.DeliverHostNotes();
    const std::vector<std::string> expected = {"latency 42", "editor",    "latency 43",
                                               "latency 44", "note 4 -1", "note 1 1",
                                               "note 0 1",   "note 2 1",  "note 3 -1"};
    EXPECT_EQ(link.calls, expected);
    // Only what stores news came under the lock.
    EXPECT_EQ(link.locked,
              (std::vector<std::string>{"latency 42", "editor", "latency 43", "latency 44"}));
}

// An effect that sends MIDI under the lock (from its processing, or the
// default handler of a host's event) is heard by the host after the lock is
// let go, in order; beyond what can wait, a message is refused.
class MidiEffect : public LinkedEffect {
public:
    void ProcessBlock(double** in, double** out, int32_t frames) override {
        for (int i = 0; i < sendPerBlock; ++i) {
            const MidiMessage note = {i, 0x90, uint8_t(i), 100};
            taken.push_back(EmitMidi(&note));
        }
        LinkedEffect::ProcessBlock(in, out, frames);
    }
    int sendPerBlock = 0;
    std::vector<bool> taken;
};

TEST(HostLink, MidiSentUnderOurLockReachesTheHostOnceItIsReleased) {
    MidiEffect fx;
    RecordingLink link(fx);
    fx.SetHostLink(&link);
    fx.ConnectAll(256);
    const MidiMessage in = {5, 0x80, 64, 0};
    fx.ReceiveMidi(&in); // the default handler passes it on
    fx.sendPerBlock = 3;
    std::vector<float> l(256), r(256);
    float* io[2] = {l.data(), r.data()};
    fx.ProcessFloatReplacing(io, io, 256);
    std::vector<std::string> midi;
    for (const std::string& call : link.calls)
        if (call.rfind("midi", 0) == 0) midi.push_back(call);
    EXPECT_EQ(midi, (std::vector<std::string>{"midi 128", "midi 144", "midi 144", "midi 144"}));
    EXPECT_TRUE(link.locked.empty());
    // More than can wait for one release: the rest is refused, none is lost
    // silently.
    fx.taken.clear();
    fx.sendPerBlock = 100;
    fx.ProcessFloatReplacing(io, io, 256);
    int refused = 0;
    for (bool t : fx.taken)
        refused += t ? 0 : 1;
    EXPECT_GT(refused, 0);
    EXPECT_EQ(link.calls.size() - midi.size() - 6, size_t(100 - refused)) << "3 + 3 transport";
    EXPECT_TRUE(link.locked.empty());
}

TEST(HostLink, ALatencyIsToldOnlyWhenItChanges) {
    LinkedEffect fx;
    RecordingLink link(fx);
    fx.SetHostLink(&link);
    for (int32_t delay : {0, 12, 12, 0, 0})
        fx.SetDelay(delay);
    fx.DeliverHostNotes();
    EXPECT_EQ(link.calls, (std::vector<std::string>{"latency 12", "latency 0", "note 4 -1"}));
}

TEST(HostLink, SavingNothingIsAFailedSave) {
    TestEffect fx; // the frame's default save writes nothing
    ByteBlock chunk;
    chunk.AppendInt32(5);
    EXPECT_FALSE(fx.SaveStateChunk(chunk));
    EXPECT_EQ(chunk.Size(), 0) << "the chunk is cleared first";
}

} // namespace
