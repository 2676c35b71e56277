// The plug-in base: identity, the audio road, channels, parameters, editor,
// MIDI and programs.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/plug/test_effect.h"

namespace {

// A ramp that differs per channel, so that crossed channels show.
template <typename T>
std::vector<T> Ramp(int frames, int channel) {
    std::vector<T> v(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i)
        v[size_t(i)] = T(channel * 1000 + i + 1) / T(4);
    return v;
}

template <typename T>
struct HostBuffers {
    HostBuffers(int channels, int frames, T fill) {
        for (int c = 0; c < channels; ++c) {
            data.push_back(std::vector<T>(size_t(frames), fill));
        }
        for (auto& d : data)
            ptrs.push_back(d.data());
    }
    // Moving keeps the channel buffers where ptrs point; copying would not.
    HostBuffers(HostBuffers&&) = default;
    HostBuffers(const HostBuffers&) = delete;
    std::vector<std::vector<T>> data;
    std::vector<T*> ptrs;
};

template <typename T>
HostBuffers<T> RampInputs(int channels, int frames) {
    HostBuffers<T> in(channels, frames, T(0));
    for (int c = 0; c < channels; ++c) {
        const std::vector<T> ramp = Ramp<T>(frames, c);
        std::copy(ramp.begin(), ramp.end(), in.data[size_t(c)].begin());
    }
    return in;
}

int gReallocs = 0;
bool gFailAllocation = false;
void* CountingRealloc(void* block, size_t bytes) {
    ++gReallocs;
    return gFailAllocation ? nullptr : std::realloc(block, bytes);
}
void* CountingMalloc(size_t bytes) {
    ++gReallocs;
    return gFailAllocation ? nullptr : std::malloc(bytes);
}

// Installs the counting allocator for the lifetime of the object.
struct CountedAllocation {
    CountedAllocation() {
        gReallocs = 0;
        gFailAllocation = false;
        previous = SetByteBlockAllocator({CountingRealloc, CountingMalloc});
    }
    ~CountedAllocation() {
        SetByteBlockAllocator(previous);
        gFailAllocation = false;
    }
    ByteBlockAllocator previous;
};

} // namespace

TEST(FrameIdentity, ConstructionSetsTheDefaults) {
    TestEffect fx;
    EXPECT_STREQ(fx.EffectName(), "Test effect");
    EXPECT_STREQ(fx.ProductName(), "");
    EXPECT_STREQ(fx.VendorName(), "vendor");
    EXPECT_EQ(fx.SampleRate(), 44100.0);
    EXPECT_EQ(fx.MaxBlock(), 0);
    EXPECT_EQ(fx.HostKind(), HostUnasked);
    EXPECT_EQ(fx.HostVersion(), 0);
    EXPECT_EQ(fx.CurrentProgram(), -1);
    EXPECT_EQ(fx.ProgramCount(), 0);
    EXPECT_TRUE(fx.UsesChunks());
    EXPECT_TRUE(fx.MonoFlag());
    EXPECT_FALSE(fx.MidiFlag());
    EXPECT_FALSE(fx.InputConnected(0));
    EXPECT_EQ(fx.GetEditor(), nullptr);
    EXPECT_EQ(fx.ParamAt(4), nullptr);
    EXPECT_EQ(fx.ParamAt(-1), nullptr);
    fx.ConnectAll();
    EXPECT_TRUE(fx.InputConnected(1));
    EXPECT_TRUE(fx.OutputConnected(1));
    EXPECT_FALSE(fx.OutputConnected(2));
    EXPECT_EQ(fx.MaxBlock(), 1024);
}

TEST(FrameIdentity, NamesLongerThanTheirFieldAreCut) {
    const std::string name(300, 'n');
    class LongNames : public EffectBase {
    public:
        explicit LongNames(const char* n)
            : EffectBase({nullptr, 0, 0}, 0, 0, 0, n, n, n, 0, 0, 0, 0, false, false, false,
                         false) {}
        int64_t TransportSample() override { return 0; }
        double TransportTempo() override { return 0; }
        void TransportMeter(int32_t&, int32_t&) override {}
        bool EmitMidi(const MidiMessage*) override { return false; }
    } fx(name.c_str());
    EXPECT_EQ(std::string(fx.EffectName()), name.substr(0, 127));
    EXPECT_EQ(std::string(fx.VendorName()), name.substr(0, 127));
    EXPECT_EQ(fx.ParamCount(), 0);
    // A frame without channels processes nothing and does not fail.
    fx.SetMaxBlock(64);
    fx.ProcessFloatReplacing(nullptr, nullptr, 100);
    EXPECT_EQ(fx.MaxBlock(), 64);
}

TEST(FrameIdentity, VersionTextsDropZeroTrailingParts) {
    struct Versioned : public TestEffect {
        explicit Versioned(int32_t version) { mVersion = version; }
    };
    char text[32];
    Versioned(0x010101).VersionText(text, sizeof text);
    EXPECT_STREQ(text, "v1.1.1");
    Versioned(0x010100).VersionText(text, sizeof text);
    EXPECT_STREQ(text, "v1.1");
    Versioned(0x020000).VersionText(text, sizeof text);
    EXPECT_STREQ(text, "v2");
    Versioned(0x020003).VersionText(text, sizeof text);
    EXPECT_STREQ(text, "v2.0.3");
    Versioned(0x010101).VersionText(text, 4);
    EXPECT_STREQ(text, "v1.");
}

TEST(FrameIdentity, TheHostIsClassifiedAndItsVersionPacked) {
    TestEffect fx;
    fx.SetHost("Cockos", "reaper", 30104);
    EXPECT_EQ(fx.HostKind(), HostReaper);
    EXPECT_EQ(fx.HostVersion(), (3 << 16) | (1 << 8) | 4);
}

TEST(AudioRoad, UnchangedPassThroughOn32BitReplacingCalls) {
    TestEffect fx;
    fx.ConnectAll();
    auto in = RampInputs<float>(2, 300);
    HostBuffers<float> out(2, 300, 99.0f);
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 300);
    EXPECT_EQ(out.data, in.data);
}

TEST(AudioRoad, AccumulatingCallsAddTheResultToTheHostBuffers) {
    TestEffect fx;
    fx.ConnectAll();
    auto in = RampInputs<float>(2, 300);
    HostBuffers<float> out(2, 300, 0.5f);
    fx.ProcessFloatAccumulating(in.ptrs.data(), out.ptrs.data(), 300);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 300; ++i)
            ASSERT_EQ(out.data[size_t(c)][size_t(i)], in.data[size_t(c)][size_t(i)] + 0.5f);
}

TEST(AudioRoad, SixtyFourBitCallsWorkOnTheHostBuffersAlsoInPlace) {
    TestEffect fx;
    fx.ConnectAll();
    auto in = RampInputs<double>(2, 300);
    HostBuffers<double> out(2, 300, 7.0);
    fx.ProcessDoubleReplacing(in.ptrs.data(), out.ptrs.data(), 300);
    EXPECT_EQ(out.data, in.data);
    auto inPlace = RampInputs<double>(2, 300);
    const auto expected = inPlace.data;
    fx.ProcessDoubleReplacing(inPlace.ptrs.data(), inPlace.ptrs.data(), 300);
    EXPECT_EQ(inPlace.data, expected);
}

TEST(AudioRoad, OutputsBeyondTheInputsAreSilent) {
    TestEffect fx(1, 1, 3);
    fx.ConnectAll();
    auto in = RampInputs<float>(1, 50);
    HostBuffers<float> out(3, 50, 3.0f);
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 50);
    EXPECT_EQ(out.data[0], in.data[0]);
    EXPECT_EQ(out.data[1], std::vector<float>(50, 0.0f));
    EXPECT_EQ(out.data[2], std::vector<float>(50, 0.0f));
}

TEST(AudioRoad, NaNAudioPassesWithoutHarm) {
    TestEffect fx;
    fx.ConnectAll();
    HostBuffers<float> in(2, 8, NAN);
    HostBuffers<float> out(2, 8, 0.0f);
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 8);
    EXPECT_TRUE(std::isnan(out.data[1][7]));
}

TEST(AudioRoad, OversizeHostBlocksRunInSubBlocksWithTheirOffset) {
    TestEffect fx;
    fx.ConnectAll(64);
    auto in = RampInputs<float>(2, 1000);
    HostBuffers<float> out(2, 1000, 0.0f);
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 1000);
    EXPECT_EQ(out.data, in.data);
    ASSERT_EQ(fx.mBlocks.size(), 16u);
    int32_t expectedOffset = 0;
    for (auto [offset, frames] : fx.mBlocks) {
        EXPECT_EQ(offset, expectedOffset);
        EXPECT_LE(frames, 64);
        expectedOffset += frames;
    }
    EXPECT_EQ(expectedOffset, 1000);
    EXPECT_EQ(fx.BlockOffset(), 0);

    fx.mBlocks.clear();
    auto in64 = RampInputs<double>(2, 130);
    HostBuffers<double> out64(2, 130, 0.0);
    fx.ProcessDoubleReplacing(in64.ptrs.data(), out64.ptrs.data(), 130);
    EXPECT_EQ(out64.data, in64.data);
    EXPECT_EQ(fx.mBlocks, (std::vector<std::pair<int32_t, int32_t>>{{0, 64}, {64, 64}, {128, 2}}));
}

TEST(Channels, AnUnconnectedInputReadsItsZeroedRegionAndTakesNoHostBuffer) {
    TestEffect fx;
    fx.ConnectAll();
    fx.SetInputsConnected(0, 1, false);
    auto in = RampInputs<float>(2, 40);
    HostBuffers<float> out(2, 40, 5.0f);
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 40);
    // The first host buffer feeds input 1; input 0 is its silent region.
    EXPECT_EQ(out.data[0], std::vector<float>(40, 0.0f));
    EXPECT_EQ(out.data[1], in.data[0]);

    // The host reports one input (a mono track): input 1 is silent.
    TestEffect mono;
    mono.ConnectAll();
    mono.SetInputsConnected(1, 1, false);
    mono.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 40);
    EXPECT_EQ(out.data[0], in.data[0]);
    EXPECT_EQ(out.data[1], std::vector<float>(40, 0.0f));
}

TEST(Channels, AnUnconnectedOutputWritesIntoItsRegionAndTakesNoHostBuffer) {
    TestEffect fx;
    fx.ConnectAll();
    fx.SetOutputsConnected(0, 1, false);
    auto in = RampInputs<double>(2, 40);
    HostBuffers<double> out(2, 40, 5.0);
    fx.ProcessDoubleReplacing(in.ptrs.data(), out.ptrs.data(), 40);
    EXPECT_EQ(out.data[0], in.data[1]);
    EXPECT_EQ(out.data[1], std::vector<double>(40, 5.0));
}

TEST(Channels, TheSettersStayWithinTheDeclaredChannels) {
    TestEffect fx;
    fx.ConnectAll();
    fx.SetInputsConnected(5, 3, false);
    fx.SetInputsConnected(1, -4, false);
    EXPECT_TRUE(fx.InputConnected(0));
    EXPECT_TRUE(fx.InputConnected(1));
    fx.SetInputsConnected(-3, INT32_MAX, false);
    EXPECT_FALSE(fx.InputConnected(0));
    EXPECT_FALSE(fx.InputConnected(1));
    fx.SetOutputsConnected(1, INT32_MAX, false);
    EXPECT_TRUE(fx.OutputConnected(0));
    EXPECT_FALSE(fx.OutputConnected(1));
    EXPECT_FALSE(fx.InputConnected(7));
}

TEST(BadHostInput, EmptyAndNegativeBlocksDoNothing) {
    TestEffect fx;
    fx.ConnectAll();
    auto in = RampInputs<float>(2, 4);
    HostBuffers<float> out(2, 4, 2.0f);
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 0);
    fx.ProcessFloatAccumulating(in.ptrs.data(), out.ptrs.data(), -5);
    fx.ProcessDoubleReplacing(nullptr, nullptr, INT32_MIN);
    EXPECT_TRUE(fx.mBlocks.empty());
    EXPECT_EQ(out.data[0], std::vector<float>(4, 2.0f));
}

TEST(BadHostInput, NullInputsReadAsSilenceAndNullOutputsAreSkipped) {
    TestEffect fx;
    fx.ConnectAll();
    auto in = RampInputs<float>(2, 20);
    HostBuffers<float> out(2, 20, 9.0f);
    fx.ProcessFloatReplacing(nullptr, out.ptrs.data(), 20);
    EXPECT_EQ(out.data[0], std::vector<float>(20, 0.0f));
    EXPECT_EQ(out.data[1], std::vector<float>(20, 0.0f));

    in.ptrs[0] = nullptr;
    out.ptrs[1] = nullptr;
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 20);
    EXPECT_EQ(out.data[0], std::vector<float>(20, 0.0f));

    auto in64 = RampInputs<double>(2, 20);
    HostBuffers<double> out64(2, 20, 9.0);
    in64.ptrs[1] = nullptr;
    out64.ptrs[0] = nullptr;
    fx.ProcessDoubleReplacing(in64.ptrs.data(), out64.ptrs.data(), 20);
    EXPECT_EQ(out64.data[0], std::vector<double>(20, 9.0));
    EXPECT_EQ(out64.data[1], std::vector<double>(20, 0.0));

    fx.ProcessDoubleReplacing(in64.ptrs.data(), nullptr, 20);
    EXPECT_EQ(fx.mBlocks.size(), 4u);
}

TEST(BadHostInput, BeforeAnyBlockSizeReplacingCallsGiveSilence) {
    TestEffect fx;
    fx.SetInputsConnected(0, 2, true);
    fx.SetOutputsConnected(0, 2, true);
    auto in = RampInputs<float>(2, 10);
    HostBuffers<float> out(2, 10, 4.0f);
    fx.ProcessFloatAccumulating(in.ptrs.data(), out.ptrs.data(), 10);
    EXPECT_EQ(out.data[0], std::vector<float>(10, 4.0f));
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 10);
    EXPECT_EQ(out.data[0], std::vector<float>(10, 0.0f));
    EXPECT_TRUE(fx.mBlocks.empty());
}

TEST(BlockSize, NonPositiveSizesKeepThePreviousSize) {
    TestEffect fx;
    fx.ConnectAll(256);
    fx.SetMaxBlock(0);
    fx.SetMaxBlock(-20);
    EXPECT_EQ(fx.MaxBlock(), 256);
}

TEST(BlockSize, TheSameSizeTwiceAllocatesOnce) {
    TestEffect fx;
    fx.ConnectAll(256);
    CountedAllocation counted;
    fx.SetMaxBlock(100000);
    fx.SetMaxBlock(100000);
    EXPECT_EQ(gReallocs, 1);
    EXPECT_EQ(fx.MaxBlock(), 100000);
}

TEST(BlockSize, AFailedOrOversizeAllocationKeepsThePreviousRegions) {
    TestEffect fx;
    fx.ConnectAll(32);
    {
        CountedAllocation counted;
        gFailAllocation = true;
        fx.SetMaxBlock(500000);
        EXPECT_GT(gReallocs, 0);
    }
    EXPECT_EQ(fx.MaxBlock(), 32);
    fx.SetMaxBlock(INT32_MAX);
    EXPECT_EQ(fx.MaxBlock(), 32);
    auto in = RampInputs<float>(2, 100);
    HostBuffers<float> out(2, 100, 0.0f);
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 100);
    EXPECT_EQ(out.data, in.data);
}

TEST(BlockSize, ANewSizeClearsTheRegionsOfUnconnectedInputs) {
    TestEffect fx;
    fx.ConnectAll(64);
    auto in = RampInputs<float>(2, 64);
    HostBuffers<float> out(2, 64, 0.0f);
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 64);
    fx.SetInputsConnected(1, 1, false);
    fx.SetMaxBlock(128);
    fx.ProcessFloatReplacing(in.ptrs.data(), out.ptrs.data(), 64);
    EXPECT_EQ(out.data[0], in.data[0]);
    EXPECT_EQ(out.data[1], std::vector<float>(64, 0.0f));
}

TEST(SampleRate, OnlyPositiveFiniteRatesAreTaken) {
    TestEffect fx;
    fx.SetSampleRate(96000.0);
    for (double bad : {0.0, -44100.0, double(NAN), double(INFINITY)})
        fx.SetSampleRate(bad);
    EXPECT_EQ(fx.SampleRate(), 96000.0);
}

TEST(ParameterRoads, AnEditorChangeSetsTheValueThenTellsTheEffect) {
    TestEffect fx;
    fx.EditorParamChange(2, 0.75);
    EXPECT_DOUBLE_EQ(fx.ParamAt(2)->Value(), 5.0);
    EXPECT_EQ(fx.mLog, CallLog{"changed 2"});
    fx.EditorParamChange(4, 0.5);
    fx.EditorParamChange(-1, 0.5);
    EXPECT_EQ(fx.mLog.size(), 1u);
    EXPECT_DOUBLE_EQ(fx.ParamNormalized(2), 0.75);
    EXPECT_EQ(fx.ParamNormalized(9), 0.0);
}

TEST(ParameterRoads, AHostChangeUpdatesTheControlBeforeTheEffectHearsOfIt) {
    TestEffect fx;
    auto* editor = new TestEditor(&fx, &fx.mLog);
    fx.SetEditor(editor);
    fx.mLog.clear();
    fx.HostParamChange(1, 0.25);
    EXPECT_EQ(fx.mLog, (CallLog{"show 1", "changed 1"}));
    EXPECT_DOUBLE_EQ(editor->mShown[1], 0.25);
    EXPECT_DOUBLE_EQ(fx.ParamAt(1)->Value(), -5.0);
    fx.HostParamChange(1, 7.0);
    EXPECT_DOUBLE_EQ(editor->mShown[1], 1.0);
    EXPECT_DOUBLE_EQ(fx.ParamAt(1)->Value(), 10.0);
    fx.mLog.clear();
    fx.HostParamChange(40, 0.5);
    EXPECT_TRUE(fx.mLog.empty());
}

TEST(ParameterRoads, TheCurrentValueAsTheHostOrTheEditorCarriesItKeepsTheValue) {
    // A host restoring the floats it read, or a control at the current position,
    // must not move the value by a conversion's rounding.
    TestEffect fx;
    fx.ParamAt(1)->SetClampedValue(1.0 / 3.0);
    fx.HostParamChange(1, float(fx.ParamNormalized(1)));
    EXPECT_EQ(fx.ParamAt(1)->Value(), 1.0 / 3.0);
    fx.EditorParamChange(1, fx.ParamNormalized(1));
    EXPECT_EQ(fx.ParamAt(1)->Value(), 1.0 / 3.0);
    // The effect still hears of both, and the next float up is a change.
    EXPECT_EQ(fx.mLog, (CallLog{"changed 1", "changed 1"}));
    fx.HostParamChange(1, std::nextafter(float(fx.ParamNormalized(1)), 1.0f));
    EXPECT_GT(fx.ParamAt(1)->Value(), 1.0 / 3.0);
}

TEST(ParameterRoads, NotifyAllParamsDeliversEveryParameterThenOneReset) {
    TestEffect fx(3);
    fx.NotifyAllParams();
    EXPECT_EQ(fx.mLog, (CallLog{"changed 0", "changed 1", "changed 2", "reset"}));
}

TEST(EditorAttachment, EveryValueIsShownThenTheSurfacePreparedThenTheEditorOwned) {
    bool destroyed = false;
    {
        TestEffect fx(3);
        fx.ParamAt(1)->SetClampedValue(5.0);
        fx.SetEditor(nullptr);
        EXPECT_EQ(fx.GetEditor(), nullptr);
        auto* editor = new TestEditor(&fx, &fx.mLog, &destroyed);
        fx.SetEditor(editor);
        EXPECT_EQ(fx.mLog, (CallLog{"show 0", "show 1", "show 2", "prepare"}));
        EXPECT_DOUBLE_EQ(editor->mShown[1], 0.75);
        EXPECT_EQ(fx.GetEditor(), editor);
        EXPECT_FALSE(destroyed);
    }
    EXPECT_TRUE(destroyed);
}

TEST(EditorAttachment, AttachingAnotherEditorDestroysThePreviousOne) {
    bool firstGone = false, secondGone = false;
    TestEffect fx;
    fx.SetEditor(new TestEditor(&fx, &fx.mLog, &firstGone));
    auto* second = new TestEditor(&fx, &fx.mLog, &secondGone);
    fx.SetEditor(second);
    EXPECT_TRUE(firstGone);
    fx.SetEditor(second);
    EXPECT_FALSE(secondGone);
}

TEST(Midi, TheDefaultHandlerForwardsEventsUnchanged) {
    TestEffect fx;
    const MidiMessage note{12, 0x90, 60, 100};
    fx.ReceiveMidi(&note);
    fx.ReceiveMidi(nullptr);
    ASSERT_EQ(fx.mEmitted.size(), 1u);
    EXPECT_EQ(fx.mEmitted[0].mOffset, 12);
    EXPECT_EQ(fx.mEmitted[0].mStatus, 0x90);
    EXPECT_EQ(fx.mEmitted[0].mData1, 60);
    EXPECT_EQ(fx.mEmitted[0].mData2, 100);
    char name[8] = "junk";
    EXPECT_FALSE(fx.KeyName(60, name));
    EXPECT_STREQ(name, "");
    EXPECT_FALSE(fx.KeyName(60, nullptr));
    ByteBlock chunk;
    EXPECT_FALSE(fx.SaveState(&chunk));
    EXPECT_FALSE(fx.LoadState(&chunk));
}

TEST(Programs, RecallingOutsideTheListFailsAndChangesNothing) {
    TestEffect fx;
    EXPECT_FALSE(fx.RecallProgram(0));
    EXPECT_FALSE(fx.RecallProgram(-1));
    EXPECT_EQ(fx.CurrentProgram(), -1);
    EXPECT_FALSE(fx.SetProgramName("x"));
    EXPECT_STREQ(fx.ProgramName(0), "");
    fx.StoreCurrentProgram();
    EXPECT_TRUE(fx.mLog.empty());
}

TEST(Programs, StoringTwiceAndRecallingGivesTheSecondStore) {
    TestEffect fx(2);
    ASSERT_EQ(fx.AddProgram("first"), 0);
    ASSERT_EQ(fx.AddProgram("second"), 1);
    EXPECT_EQ(fx.CurrentProgram(), 0);
    fx.ParamAt(0)->SetClampedValue(1.0);
    fx.StoreCurrentProgram();
    fx.ParamAt(0)->SetClampedValue(2.0);
    fx.ParamAt(1)->SetClampedValue(-3.0);
    fx.StoreCurrentProgram();
    EXPECT_TRUE(fx.RecallProgram(1));
    EXPECT_EQ(fx.ParamAt(0)->Value(), 0.0);
    EXPECT_EQ(fx.CurrentProgram(), 1);
    fx.mLog.clear();
    EXPECT_TRUE(fx.RecallProgram(0));
    EXPECT_EQ(fx.ParamAt(0)->Value(), 2.0);
    EXPECT_EQ(fx.ParamAt(1)->Value(), -3.0);
    EXPECT_EQ(fx.mLog, (CallLog{"changed 0", "changed 1"}));
}

TEST(Programs, NamesAreCutTo255Characters) {
    TestEffect fx;
    fx.AddProgram(std::string(400, 'a').c_str());
    EXPECT_EQ(std::string(fx.ProgramName(0)), std::string(255, 'a'));
    // A host text without a terminator is read no further than the name holds.
    const std::vector<char> unterminated(300, 'b');
    EXPECT_TRUE(fx.SetProgramName(unterminated.data()));
    EXPECT_EQ(std::string(fx.ProgramName(0)), std::string(255, 'b'));
    EXPECT_TRUE(fx.SetProgramName(nullptr));
    EXPECT_STREQ(fx.ProgramName(0), "");
    EXPECT_STREQ(fx.ProgramName(1), "");
}

TEST(Programs, ReadingValuesClampsShowsRealValuesAndStopsAtTheEnd) {
    TestEffect fx(3);
    auto* editor = new TestEditor(&fx, &fx.mLog);
    fx.SetEditor(editor);
    fx.mLog.clear();
    ByteBlock values;
    values.AppendDouble(50.0);
    values.AppendDouble(-5.0);
    values.AppendBytes("abc", 3);
    int position = 0;
    EXPECT_FALSE(fx.ReadParamValues(values, position));
    EXPECT_EQ(position, 16);
    EXPECT_EQ(fx.ParamAt(0)->Value(), 10.0);
    EXPECT_EQ(fx.ParamAt(1)->Value(), -5.0);
    EXPECT_EQ(fx.ParamAt(2)->Value(), 0.0);
    EXPECT_DOUBLE_EQ(editor->mShown[0], 1.0);
    EXPECT_DOUBLE_EQ(editor->mShown[1], 0.25);
    EXPECT_EQ(fx.mLog, (CallLog{"show 0", "changed 0", "show 1", "changed 1"}));

    ByteBlock written;
    EXPECT_TRUE(fx.WriteParamValues(written));
    EXPECT_EQ(written.Size(), 24);
    position = 0;
    EXPECT_TRUE(fx.ReadParamValues(written, position));
    EXPECT_EQ(position, 24);
}
