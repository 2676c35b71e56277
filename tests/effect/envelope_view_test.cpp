// The detect panel: its bars, threshold line and box, texts, marks and mouse,
// checked on the offscreen back buffer and the texts it recorded.
#include <cmath>
#include <vector>

#include "base/db.h"
#include "editor_fixture.h"
#include "effect/ui/bar_colors.h"
#include "plug/vst_abi.h"

namespace {

using V = EnvelopeView;
const int kNewest = V::kPlotRight - 1; // x of the newest column

class EnvelopeViewTest : public KeloEditorTest {
protected:
    // 100 samples per column and 1/140 of full scale per pixel.
    EnvelopeViewTest() : KeloEditorTest(kRateOf100) { view->SetScale(1.0); }
    // One column whose peak lies in the middle of the pixel row `pixels` up.
    void Column(int pixels, bool marked) {
        const double peak = (pixels + 0.5) / 140.0;
        view->AppendSamples(&peak, 1, marked);
    }
    bool Rgb(int x, int y, int r, int g, int b) { return SameColor(Pixel(x, y), r, g, b); }
};

TEST(BarRunsTest, KeptRunsAreTheColourFormulasWordForWord) {
    // Runs up to the limit are kept, longer ones made at each call; asked in
    // any order and again, each word is what the formula gives.
    const Color grey(255, 127, 127, 127);
    BarRuns gradient(BarRuns::kGradient, kBarDarkGreen, 20), faded(BarRuns::kFaded, grey, 20);
    EXPECT_EQ(gradient.Run(0), nullptr);
    EXPECT_EQ(faded.Run(-3), nullptr);
    for (int pass = 0; pass < 2; ++pass)
        for (int n : {7, 1, 20, 3, 2, 21, 24, 19, 6, 21}) {
            const uint32_t* g = gradient.Run(n);
            const uint32_t* f = faded.Run(n);
            for (int i = 0; i < n; ++i) {
                ASSERT_EQ(g[i], BarGradient(i, n).Word()) << n << " " << i;
                ASSERT_EQ(f[i], FadedColor(grey, i, n).Word()) << n << " " << i;
            }
        }
}

TEST_F(EnvelopeViewTest, SamplesBecomeColumnsOfTheirPeaksScrollingThroughTheRing) {
    std::vector<double> s(250, 0.1);
    s[150] = 0.4;
    s[249] = 0.3;
    view->AppendSamples(s.data(), int(s.size()), true); // two columns and a short one
    EXPECT_EQ(view->WriteIndex(), 3);
    EXPECT_EQ(view->ColumnAt(1).peak, 0.4);
    EXPECT_EQ(view->ColumnAt(2).peak, 0.3);
    EXPECT_TRUE(view->ColumnAt(2).marked);
    // Levels beyond the plot stay inside it: above the scale on top, below zero
    // (the follower is signed) on the bottom.
    const double beyond[2] = {7.0, -0.9};
    view->AppendSamples(&beyond[0], 1, false);
    view->AppendSamples(&beyond[1], 1, false);
    EXPECT_EQ(view->ColumnAt(3).topY, V::kPlotTop);
    EXPECT_EQ(view->ColumnAt(4).topY, V::kPlotBottom);
}

TEST_F(EnvelopeViewTest, BarsAreGreyOrAGreenGradientByThirdsWithFadingSides) {
    Column(80, false);
    Column(30, false); // lower than its left neighbour: a fading side
    Column(60, true);  // thirds of 20 pixels
    Column(2, true);   // too short for thirds: solid
    DrawAll();
    const int b = V::kPlotBottom - 1, grey = kNewest - 2;
    for (int y = b - 29; y <= b; ++y) {
        if (y == view->ThresholdY()) continue; // the threshold line crosses it
        ASSERT_TRUE(Rgb(grey, y, 127, 127, 127)) << y;
    }
    // Full grey just above the bar, down to 1/50 at the neighbour's top.
    EXPECT_TRUE(Rgb(grey, b - 30, 127, 127, 127));
    EXPECT_TRUE(Rgb(grey, b - 55, 63, 63, 63));
    EXPECT_TRUE(Rgb(grey, b - 79, 2, 2, 2));
    EXPECT_FALSE(Rgb(grey - 1, b - 80, 127, 127, 127));
    struct Row {
        int x, up, r, g, b;
    } rows[] = {
        {kNewest - 1, 0, 240, 255, 240}, {kNewest - 1, 10, 120, 255, 120},
        {kNewest - 1, 20, 0, 255, 0},    {kNewest - 1, 30, 0, 183, 32},
        {kNewest - 1, 59, 0, 112, 64},   {kNewest, 0, 0, 112, 64},
        {kNewest, 1, 0, 112, 64},
    };
    for (const Row& r : rows)
        EXPECT_TRUE(Rgb(r.x, b - r.up, r.r, r.g, r.b)) << r.x << " " << r.up;
    // A full-height bar reaches the top row and no further.
    Column(500, false);
    DrawAll();
    EXPECT_TRUE(Rgb(kNewest, V::kPlotTop, 127, 127, 127));
    EXPECT_TRUE(Rgb(kNewest, V::kPlotTop - 1, 0, 0, 0)); // the outline
}

TEST_F(EnvelopeViewTest, TheThresholdLineHandleAndBoxSitOnTheThresholdsRow) {
    const int y = view->ThresholdY();
    EXPECT_EQ(y, V::kPlotBottom - int(DbToAmp(-12.0) * 140.0));
    DrawAll();
    for (int x : {V::kPlotLeft + 10, 400, kNewest})
        EXPECT_TRUE(Rgb(x, y, 0, 110, 255)) << x;
    EXPECT_TRUE(Rgb(V::kPlotLeft, y, 0, 0, 0)); // the handle, black until hovered
    editor->OnMouseOver(400, y, MouseKeys());
    EXPECT_EQ(view->HoverZone(), V::kZoneThreshold);
    DrawAll();
    EXPECT_TRUE(Rgb(V::kPlotLeft + 1, y + 1, 255, 0, 0));
    // The box: dark fill, grey sides, rounded corners, the value in white;
    // from the control's left edge, wide enough for "-60.0".
    const int l = V::kLeft, r = V::kPlotLeft - 4, t = y - 7, b = y + 6;
    EXPECT_TRUE(Rgb(l, t, 32, 32, 32));
    EXPECT_TRUE(Rgb(l + 10, t, 127, 127, 127));
    EXPECT_TRUE(Rgb(r, y, 127, 127, 127));
    EXPECT_TRUE(Rgb(l + 1, t, 95, 95, 95));
    EXPECT_TRUE(Rgb(r - 1, b - 1, 111, 111, 111));
    int found = 0;
    for (const auto& text : editor->Texts())
        found += text.mText == "-12.0" && text.mStyle.mColor == Color(255, 255, 255, 255) &&
                 text.mRect == Rect(l, t + 2, V::kPlotLeft - 6, y + 7) &&
                 text.mStyle.mAlign == TextStyle::AlignRight;
    EXPECT_GT(found, 0);
}

TEST_F(EnvelopeViewTest, TheBeatsTextGivesTheHistoryInBeatsAtTheHostTempo) {
    struct Case {
        int rate;
        double tempo;
        const char* text;
    } cases[] = {{48000, 120.0, "4.00 beats"},
                 {48000, 0.0, "0.00 beats"},
                 {44100, 90.0, "3.00 beats"},
                 {0, 60.0, "3.00 beats"}, // no rate below 1: nothing changes
                 {48000, NAN, "0.00 beats"}};
    for (const Case& c : cases) {
        view->SetSampleRateAndTempo(c.rate, c.tempo);
        editor->ClearTexts();
        DrawAll();
        const auto* text = FindText(c.text);
        ASSERT_NE(text, nullptr) << c.text;
        EXPECT_EQ(text->mRect,
                  Rect(V::kPlotRight - 29, V::kPlotTop + 1, V::kPlotRight - 2, V::kPlotTop + 6));
    }
    // The effect's reset tells the rate and the host's tempo (120 here).
    fx.SetSampleRate(44100.0);
    fx.NotifyAllParams();
    DrawAll();
    EXPECT_STREQ(view->BeatsText(), "4.00 beats");
    EXPECT_EQ(view->SampleRate(), 44100);
}

TEST_F(EnvelopeViewTest, DraggingTheThresholdMovesTheKnobRaisesTheScaleAndStopsAtMinus60Db) {
    Control* knob = Bound(kParamThreshold);
    Drag(400, view->ThresholdY(), 0, -20); // 20 pixels of 1/140
    const double raised = DbToAmp(-12.0) + 20.0 / 140.0;
    EXPECT_NEAR(view->Threshold(), raised, 1e-12);
    EXPECT_NEAR(knob->Value(), (AmpToDb(raised) + 60.0) / 60.0, 1e-9);
    EXPECT_NEAR(fx.ParamAt(kParamThreshold)->Value(), AmpToDb(raised), 0.051);
    Drag(400, view->ThresholdY(), 0, 400);
    EXPECT_NEAR(view->Threshold(), DbToAmp(-60.0), 1e-12);
    EXPECT_NEAR(fx.ParamAt(kParamThreshold)->Value(), -60.0, 1e-9);
    EXPECT_NEAR(knob->Value(), 0.0, 1e-9);
    // Above the scale the scale follows, up to 0 dB; the effect saves it.
    view->SetScale(0.3);
    Drag(400, view->ThresholdY(), 0, -600);
    EXPECT_EQ(view->Threshold(), 1.0);
    EXPECT_EQ(view->Scale(), 1.0);
    EXPECT_EQ(fx.EnvView().Scale(), 1.0);
}

TEST_F(EnvelopeViewTest, TheScaleZoneDragsWheelsAndFitsTheScaleWithinItsLimits) {
    const int x = V::kPlotLeft - 10, y = V::kPlotBottom - 5;
    view->SetScale(0.5);
    Drag(x, y, 0, 7); // down, a pixel at a time: more headroom
    EXPECT_NEAR(view->Scale(), 0.5 * std::pow(1.0 + 1.0 / 140.0, 7), 1e-12);
    editor->OnMouseOver(x, y, MouseKeys());
    const double before = view->Scale();
    editor->OnMouseWheel(x, y, MouseKeys(), -3);
    EXPECT_NEAR(view->Scale(), before - 3 * before / 140.0, 1e-12);
    Drag(x, y, 0, 600);
    EXPECT_NEAR(view->Scale(), DbToAmp(3.0), 1e-12);
    Drag(x, y, 0, -2000);
    EXPECT_NEAR(view->Scale(), DbToAmp(-30.0), 1e-12);
    editor->OnMouseDblClick(400, 50, MouseKeys()); // nothing to fit to
    EXPECT_NEAR(view->Scale(), DbToAmp(-30.0), 1e-12);
    const double peaks[3] = {0.2, 0.45, 0.1};
    view->AppendSamples(peaks, 3, false);
    editor->OnMouseDblClick(400, 50, MouseKeys());
    EXPECT_NEAR(view->Scale(), 0.45 / 0.9375, 1e-12);
    EXPECT_EQ(fx.EnvView().Scale(), view->Scale());
}

TEST_F(EnvelopeViewTest, MarkEventsMarksRunsOfTheEnvelopeLengthInRingOrder) {
    // Above the threshold (-12 dB, 0.25) at slots 0, 4, 5 and 437; marked before.
    for (int slot = 0; slot < V::kColumns; ++slot) {
        const double peak = (slot == 0 || slot == 4 || slot == 5 || slot == 437) ? 0.5 : 0.1;
        view->AppendSamples(&peak, 1, true);
    }
    view->MarkEvents(300); // runs of 3 columns
    const bool expected[] = {true, true, true, false, true, true, true, false};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(view->ColumnAt(i).marked, expected[i]) << i;
    EXPECT_TRUE(view->ColumnAt(437).marked);
    EXPECT_TRUE(view->ColumnAt(438).marked); // the last slot keeps its mark
    view->MarkEvents(50);                    // runs of no columns: marks above the threshold stay
    EXPECT_TRUE(view->ColumnAt(0).marked);
    EXPECT_FALSE(view->ColumnAt(1).marked);
    fx.Set(kParamEnvTime, 0.2); // the effect asks: 0.2 s is 43 columns here
    DrawAll();
    EXPECT_TRUE(view->ColumnAt(42).marked);
    EXPECT_FALSE(view->ColumnAt(43).marked);
}

TEST_F(EnvelopeViewTest, LoadedScalesAreAppliedAsTheyAreWithoutLeavingThePlot) {
    Drag(V::kPlotLeft - 10, V::kPlotBottom - 5, 0, 10);
    const double saved = view->Scale();
    void* data = nullptr;
    const intptr_t size = fx.Dispatch(kVstOpGetChunk, 0, 0, &data, 0.0f);
    std::vector<unsigned char> chunk(static_cast<unsigned char*>(data),
                                     static_cast<unsigned char*>(data) + size);
    view->SetScale(0.3);
    ASSERT_EQ(fx.Dispatch(kVstOpSetChunk, 0, intptr_t(chunk.size()), chunk.data(), 0.0f), 1);
    DrawAll();
    EXPECT_EQ(view->Scale(), saved);
    Column(70, true);
    for (double s : {1e-300, 4.9e-324, 1e300, 1.7e308}) {
        fx.EnvView().SetScale(s); // as a state outside -30..+3 dB delivers it
        DrawAll();
        EXPECT_EQ(view->Scale(), s);
        for (int y : {view->ThresholdY(), view->ColumnAt(0).topY}) {
            EXPECT_GE(y, V::kPlotTop) << s;
            EXPECT_LE(y, V::kPlotBottom) << s;
        }
    }
    for (double s : {0.0, -1.0, double(NAN), double(INFINITY)})
        view->SetScale(s); // no plot can show these: ignored
    EXPECT_EQ(view->Scale(), 1.7e308);
}

} // namespace
