// What the host sees of the effect, what parameter changes and resets do to the
// processing state, and the saved state.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "base/db.h"
#include "editor/control.h"
#include "editor/offscreen_editor.h"
#include "effect/ui/amp_display.h"
#include "kelo_fixture.h"
#include "tests/common/test_seed.h"

namespace {

// A knob without a picture, bound to one parameter.
struct BareKnob : KnobControl {
    BareKnob(EffectBase* effect, int32_t paramIdx, int x)
        : KnobControl(effect, Rect(x, 0, x + 10, 10), paramIdx, BlendAlpha) {}
    bool Draw(Editor*) override { return true; }
};

ByteBlock Saved(TestKelo& fx) {
    ByteBlock chunk;
    EXPECT_TRUE(fx.SaveState(&chunk));
    return chunk;
}

ByteBlock Bytes(std::initializer_list<double> values, int32_t tag = kKeloStateTag) {
    ByteBlock chunk;
    chunk.AppendInt32(tag);
    for (double v : values)
        chunk.AppendDouble(v);
    return chunk;
}

} // namespace

TEST(EffectIdentity, PresentsItselfAsKeloByMirelWithElevenParameters) {
    TestKelo fx;
    EXPECT_STREQ(fx.EffectName(), "Kelo (No SSE2)");
    EXPECT_STREQ(fx.ProductName(), "");
    EXPECT_STREQ(fx.VendorName(), "mirel");
    EXPECT_EQ(fx.Version(), 0x010101);
    EXPECT_EQ(fx.UniqueId(), 0x6B6C6F78); // 'klox'
    EXPECT_EQ(fx.VendorId(), 0x4D697265); // 'Mire'
    EXPECT_EQ(fx.ParamCount(), 11);
    EXPECT_EQ(fx.InputCount(), 2);
    EXPECT_EQ(fx.OutputCount(), 2);
    EXPECT_EQ(fx.Delay(), 0);
    EXPECT_TRUE(fx.UsesChunks());
    EXPECT_TRUE(fx.MonoFlag());
    EXPECT_FALSE(fx.MidiFlag());
    EXPECT_FALSE(fx.InstrumentFlag());
    EXPECT_EQ(fx.ProgramCount(), 0);
}

TEST(EffectIdentity, ParametersHaveTheirNamesRangesStepsUnitsAndCurves) {
    TestKelo fx;
    struct Row {
        const char* name;
        double def, min, max, step;
        const char* unit;
        double curve;
        ParamType type;
    };
    const Row rows[] = {
        {"threshold", -12, -60, 0, 0.1, "dB", 1, ParamContinuous},
        {"hi freq", 22000, 0, 22000, 1, "Hz", 3, ParamContinuous},
        {"lo freq", 0, 0, 22000, 1, "Hz", 3, ParamContinuous},
        {"monitor detect", 0, 0, 1, 1, "", 1, ParamSwitch},
        {"show env", 0, 0, 1, 1, "", 1, ParamSwitch},
        {"shape env", 1, 0, 1, 1, "", 1, ParamSwitch},
        {"autofit", 0, 0, 1, 1, "", 1, ParamSwitch},
        {"gate", 0, 0, 1, 1, "", 1, ParamSwitch},
        {"env time", 0.2, 0.05, 1, 0.01, "", 1, ParamContinuous},
        {"strength", 0.5, 0, 1, 0.01, "", 1, ParamContinuous},
        {"process only detected signal", 0, 0, 1, 1, "", 1, ParamSwitch},
    };
    for (int i = 0; i < 11; ++i) {
        const Param* p = fx.ParamAt(i);
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p->Name(), rows[i].name) << i;
        EXPECT_EQ(p->Value(), rows[i].def) << i;
        EXPECT_EQ(p->Min(), rows[i].min) << i;
        EXPECT_EQ(p->Max(), rows[i].max) << i;
        EXPECT_EQ(p->Step(), rows[i].step) << i;
        EXPECT_STREQ(p->Unit(), rows[i].unit) << i;
        EXPECT_EQ(p->Curve(), rows[i].curve) << i;
        EXPECT_EQ(p->Type(), rows[i].type) << i;
    }
}

TEST(ParameterChanges, TheThresholdBecomesALinearAmplitudeWithinMinus60And0Db) {
    TestKelo fx;
    EXPECT_NEAR(fx.Threshold(), 0.251189, 1e-6);
    EXPECT_NEAR(fx.ThresholdLow(), 0.235489, 1e-6);
    fx.Set(kParamThreshold, -60);
    EXPECT_NEAR(fx.Threshold(), 0.001, 1e-15);
    fx.Set(kParamThreshold, 0);
    EXPECT_EQ(fx.Threshold(), 1.0);
    EXPECT_EQ(fx.ThresholdLow(), 0.9375);
    // The level view's scale rises to a threshold above it.
    EXPECT_EQ(fx.EnvView().Scale(), 1.0);
    // The shape starts at the threshold.
    EXPECT_EQ(fx.AmpView()->PointAt(0).level, 1.0);
    EXPECT_EQ(fx.ShapeInUse().Y(0), 1.0);
}

TEST(ParameterChanges, EnvTimeSetsTheEnvelopeLengthsAndTheShapeLength) {
    TestKelo fx(44100);
    fx.Set(kParamEnvTime, 0.05);
    fx.ResetProcessing();
    EXPECT_EQ(fx.EnvLen(), 2205);
    EXPECT_EQ(fx.FadeLen(), 1323);
    EXPECT_EQ(fx.BodyEnd(), 882);
    EXPECT_EQ(fx.RampLen(), 11);
    EXPECT_EQ(fx.AmpView()->Length(), 2205);
    fx.Set(kParamEnvTime, 1.0);
    EXPECT_EQ(fx.EnvLen(), 44100);
    EXPECT_EQ(fx.BodyEnd(), 44100 - 1323);
    EXPECT_EQ(fx.AmpView()->Length(), 44100);
    EXPECT_EQ(fx.ShapeInUse().X(6), 44100.0);
    EXPECT_EQ(fx.EnvTime(), 1.0);
}

TEST(ParameterChanges, ResetComputesFollowerCoefficientsAndLengthsFromTheRate) {
    TestKelo fx(48000);
    EXPECT_NEAR(fx.AttackCoef(), 0.920044, 1e-6);
    EXPECT_NEAR(fx.ReleaseCoef(), 0.999306, 1e-6);
    EXPECT_EQ(fx.FadeLen(), 1440);
    EXPECT_EQ(fx.EnvLen(), 9600);
    EXPECT_EQ(fx.RampLen(), 12);
    EXPECT_EQ(fx.BodyEnd(), 8160);
    // Below 4000 Hz the onset ramp has no samples; a rate the frame cannot have
    // falls back to 44100 Hz instead of producing broken lengths.
    TestKelo slow(3000);
    EXPECT_EQ(slow.RampLen(), 0);
    TestKelo broken(0);
    EXPECT_EQ(broken.EnvLen(), 8820);
}

TEST(ParameterChanges, FrequenciesDriveTheFiltersAndLimitEachOthersControls) {
    TestKelo fx;
    // An editor with one knob per frequency in place of the effect's own.
    auto* editor = new OffscreenEditor(&fx, 675, 619, 0);
    auto* loKnob = new BareKnob(&fx, kParamLoFreq, 0);
    auto* hiKnob = new BareKnob(&fx, kParamHiFreq, 20);
    editor->AddControl(loKnob);
    editor->AddControl(hiKnob);
    fx.SetEditor(editor);
    EXPECT_EQ(fx.HighPassL().Cutoff(), 1.0); // 0 Hz is clamped to 1 Hz
    EXPECT_EQ(fx.LowPassL().Cutoff(), 22000.0);
    fx.Set(kParamHiFreq, 5000);
    fx.Set(kParamLoFreq, 100);
    EXPECT_EQ(fx.LowPassL().Cutoff(), 5000.0);
    EXPECT_EQ(fx.HighPassL().Cutoff(), 100.0);
    // The low knob cannot pass the high frequency, nor the high knob the low one.
    EXPECT_EQ(loKnob->LimitLo(), 0.0);
    EXPECT_DOUBLE_EQ(loKnob->LimitHi(), fx.ParamAt(kParamHiFreq)->Normalized());
    EXPECT_DOUBLE_EQ(hiKnob->LimitLo(), fx.ParamAt(kParamLoFreq)->Normalized());
    EXPECT_EQ(hiKnob->LimitHi(), 1.0);
    // A wheel turn far up on the low knob stops at the high frequency.
    editor->OnMouseWheel(5, 5, MouseKeys(), 1000);
    EXPECT_DOUBLE_EQ(loKnob->Value(), fx.ParamAt(kParamHiFreq)->Normalized());
}

TEST(ParameterChanges, IndicesOutsideTheTableAndAutofitWithoutADisplayChangeNothing) {
    TestKelo fx;
    const int len = fx.EnvLen();
    const double y3 = fx.ShapeInUse().Y(3);
    fx.ParamChanged(-1);
    fx.ParamChanged(11);
    fx.ParamChanged(1000);
    fx.Set(kParamAutofit, 1);
    fx.Set(kParamAutofit, 1);
    fx.Set(kParamAutofit, 0);
    EXPECT_EQ(fx.EnvLen(), len);
    EXPECT_EQ(fx.ShapeInUse().Y(3), y3);
}

TEST(SavedState, StartsWithTheTagAndHoldsValuesViewScaleAndShape) {
    TestKelo fx;
    ByteBlock chunk = Saved(fx);
    ASSERT_GE(chunk.Size(), 100);
    const uint8_t tag[] = {0xF3, 0x03, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(chunk.Bytes(), tag, 4), 0);
    // tag, 11 values, the envelope view's scale, the shape's scale and 5 pairs.
    EXPECT_EQ(chunk.Size(), 4 + 11 * 8 + 8 + 8 + 5 * 16);
    int pos = 4;
    for (int i = 0; i < 11; ++i) {
        double v;
        ASSERT_TRUE(chunk.ReadDouble(pos, v));
        EXPECT_EQ(v, fx.ParamAt(i)->Value()) << i;
    }
    double viewScale, shapeScale;
    ASSERT_TRUE(chunk.ReadDouble(pos, viewScale));
    EXPECT_EQ(pos, 100);
    ASSERT_TRUE(chunk.ReadDouble(pos, shapeScale));
    EXPECT_DOUBLE_EQ(viewScale, DbToAmp(-3.0));
    EXPECT_EQ(shapeScale, 1.0);
}

TEST(SavedState, RoundTripsEveryValueAndTheShapeExactly) {
    TestKelo a;
    const double values[] = {-23.4, 7321, 87, 1, 1, 0, 1, 1, 0.37, 0.83, 1};
    for (int i = 0; i < 11; ++i)
        a.Set(i, values[i]);
    a.EnvView().SetScale(0.7);
    a.AmpView()->SetScale(0.6);
    a.AmpView()->DragPoint(2, 4, -17);
    a.AmpView()->DragPoint(3, 9, 33);
    a.AmpView()->DragPoint(4, -6, 12);
    a.AmpView()->DragPoint(6, 0, -25);
    a.NotifyAllParams();
    ByteBlock chunk = Saved(a);

    TestKelo b;
    ASSERT_TRUE(b.LoadState(&chunk));
    b.NotifyAllParams();
    a.NotifyAllParams(); // what a host does after loading, on both sides
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(b.ParamAt(i)->Value(), a.ParamAt(i)->Value()) << i;
    EXPECT_EQ(b.EnvView().Scale(), 0.7);
    EXPECT_EQ(b.AmpView()->Scale(), 0.6);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(b.AmpView()->PointAt(i).x, a.AmpView()->PointAt(i).x) << i;
        EXPECT_EQ(b.AmpView()->PointAt(i).y, a.AmpView()->PointAt(i).y) << i;
        EXPECT_EQ(b.ShapeInUse().X(i), a.ShapeInUse().X(i)) << i;
        EXPECT_EQ(b.ShapeInUse().Y(i), a.ShapeInUse().Y(i)) << i;
    }
    EXPECT_EQ(b.EnvLen(), a.EnvLen());
    // Saving the loaded state gives the same bytes: nothing drifts.
    ByteBlock again = Saved(b);
    ASSERT_EQ(again.Size(), chunk.Size());
    ByteBlock first = Saved(a);
    EXPECT_EQ(std::memcmp(again.Bytes(), first.Bytes(), size_t(first.Size())), 0);
}

TEST(SavedState, AChunkEndingAfterTheElevenValuesLoads) {
    TestKelo fx;
    ByteBlock chunk = Bytes({-30, 9000, 50, 0, 1, 1, 0, 1, 0.5, 0.25, 0});
    const double shapeScale = fx.AmpView()->Scale();
    EXPECT_TRUE(fx.LoadState(&chunk));
    EXPECT_EQ(fx.ParamAt(kParamThreshold)->Value(), -30);
    EXPECT_EQ(fx.ParamAt(kParamStrength)->Value(), 0.25);
    EXPECT_EQ(fx.AmpView()->Scale(), shapeScale);
}

TEST(SavedState, ShortChunksSetWhatTheyHoldAndOtherTagsChangeNothing) {
    TestKelo fx;
    ByteBlock five = Bytes({-20, 15000, 300, 1, 1});
    EXPECT_TRUE(fx.LoadState(&five));
    EXPECT_EQ(fx.ParamAt(0)->Value(), -20);
    EXPECT_EQ(fx.ParamAt(2)->Value(), 300);
    EXPECT_EQ(fx.ParamAt(4)->Value(), 1);
    EXPECT_EQ(fx.ParamAt(5)->Value(), 1); // untouched default
    EXPECT_EQ(fx.ParamAt(8)->Value(), 0.2);

    ByteBlock other = Bytes({-50, 100, 100, 1, 1, 0, 1, 1, 0.9, 0.1, 1}, 1010);
    EXPECT_TRUE(fx.LoadState(&other));
    EXPECT_EQ(fx.ParamAt(0)->Value(), -20);
    ByteBlock tiny;
    tiny.AppendBytes("\xF3\x03\x00", 3);
    EXPECT_TRUE(fx.LoadState(&tiny));
    ByteBlock empty;
    EXPECT_TRUE(fx.LoadState(&empty));
    EXPECT_EQ(fx.ParamAt(0)->Value(), -20);
    EXPECT_FALSE(fx.LoadState(nullptr));
    EXPECT_FALSE(fx.SaveState(nullptr));
}

TEST(SavedState, ValuesOutsideTheirRangesAreClamped) {
    TestKelo fx;
    ByteBlock chunk = Bytes({-1000, 1e9, -5, 7, -3, 0.2, 0.7, 2, 99, -1, 0.5});
    EXPECT_TRUE(fx.LoadState(&chunk));
    const double expected[] = {-60, 22000, 0, 1, 0, 0.2, 0.7, 1, 1, 0, 0.5};
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(fx.ParamAt(i)->Value(), expected[i]) << i;
}

TEST(SavedState, RandomChunksNeverBreakTheEffect) {
    const unsigned seed = TestSeed(20261211u);
    std::printf("random chunk seed: %u\n", seed);
    std::mt19937 rng(seed);
    TestKelo fx;
    Stereo in(2048);
    AddBurst(in, 48000, 440, 0.9, 100, 800);
    for (int round = 0; round < 300; ++round) {
        ByteBlock chunk;
        const int size = int(rng() % 220);
        std::vector<uint8_t> bytes(size_t(size) + 1);
        for (auto& b : bytes)
            b = uint8_t(rng());
        if (size >= 4 && rng() % 4 != 0) std::memcpy(bytes.data(), "\xF3\x03\x00\x00", 4);
        // Some chunks carry special values where doubles sit.
        for (int at = 4; at + 8 <= size; at += 8) {
            const double special[] = {std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(), -1e308, 0.0};
            if (rng() % 5 == 0) std::memcpy(&bytes[size_t(at)], &special[rng() % 4], 8);
        }
        chunk.AppendBytes(bytes.data(), size);
        fx.LoadState(&chunk);
        fx.NotifyAllParams();
        for (int i = 0; i < 11; ++i) {
            const Param* p = fx.ParamAt(i);
            ASSERT_GE(p->Value(), p->Min()) << "seed " << seed << " round " << round;
            ASSERT_LE(p->Value(), p->Max()) << "seed " << seed << " round " << round;
        }
        Stereo out = RunBlocks(fx, in, 256);
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_TRUE(std::isfinite(out.l[i]) && std::isfinite(out.r[i]))
                << "seed " << seed << " round " << round << " frame " << i;
    }
}
