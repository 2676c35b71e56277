// The effect's editor: what is built where, and how its knobs and switches
// behave under the editor's mouse routing.
#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "editor_fixture.h"
#ifdef __linux__
#include "editor/text_raster.h"
#endif
#include "effect/ui/amp_display.h"
#include "tests/common/test_seed.h"

namespace {

enum Kind { kFreq, kGlow, kToggle, kMomentary };

bool IsKind(Control* c, Kind kind) {
    switch (kind) {
    case kFreq:
        return dynamic_cast<FreqKnob*>(c) != nullptr;
    case kGlow:
        return dynamic_cast<GlowKnob*>(c) && !dynamic_cast<FreqKnob*>(c);
    case kToggle:
        return dynamic_cast<ToggleButton*>(c) && !dynamic_cast<MomentaryButton*>(c);
    case kMomentary:
        return dynamic_cast<MomentaryButton*>(c) != nullptr;
    }
    return false;
}

using LayoutTest = KeloEditorTest;

TEST_F(LayoutTest, TheBackgroundTheElevenControlsTheLinkAndTheDisplaysComeInOrder) {
    const struct {
        Kind kind;
        Rect rect;
        int param;
    } layout[] = {
        {kFreq, Rect(26, 50, 63, 95), kParamLoFreq},
        {kFreq, Rect(120, 50, 157, 95), kParamHiFreq},
        {kToggle, Rect(96, 55, 125, 84), kParamMonitor},
        {kToggle, Rect(64, 72, 93, 101), kParamProcessOnly},
        {kGlow, Rect(54, 106, 91, 143), kParamThreshold},
        {kToggle, Rect(71, 273, 100, 302), kParamShowEnv},
        {kToggle, Rect(107, 273, 136, 302), kParamShapeEnv},
        {kGlow, Rect(23, 365, 60, 402), kParamStrength},
        {kGlow, Rect(23, 303, 60, 340), kParamEnvTime},
        {kMomentary, Rect(114, 308, 143, 337), kParamAutofit},
        {kToggle, Rect(114, 369, 143, 398), kParamGate},
    };
    EXPECT_EQ(fx.GetEditor(), editor);
    EXPECT_EQ(editor->Fps(), 24);
    EXPECT_TRUE(editor->TrackHover());
    ASSERT_GE(editor->ControlCount(), 14);
    EXPECT_EQ(editor->ControlAtIndex(0)->GetRect(), Rect(0, 0, 675, 619)); // the background
    for (int i = 0; i < 11; ++i) {
        Control* c = editor->ControlAtIndex(i + 1);
        EXPECT_TRUE(IsKind(c, layout[i].kind)) << i;
        EXPECT_EQ(c->GetRect(), layout[i].rect) << i;
        EXPECT_EQ(c->ParamIdx(), layout[i].param) << i;
    }
    auto* link = dynamic_cast<LinkControl*>(editor->ControlAtIndex(12));
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->GetRect(), Rect(5, 475, 130, 570));
    EXPECT_EQ(editor->ControlAtIndex(13), view);
    EXPECT_EQ(view->GetRect(), Rect(170, 20, 645, 191));
    // The emblem hands the manual's path (no module folder offscreen) to the system.
    Click(60, 520);
    ASSERT_EQ(editor->Documents().size(), 1u);
    EXPECT_EQ(editor->Documents()[0], "Kelo_manual.pdf");
}

TEST_F(LayoutTest, AKnobFlashesItsGlowOnThePassAfterAChangeThenShowsThePointer) {
    auto* knob = dynamic_cast<GlowKnob*>(Bound(kParamThreshold));
    fx.HostParamChange(kParamThreshold, 0.5);
    DrawAll();
    EXPECT_EQ(knob->LastDrawnValue(), 0.5);
    EXPECT_TRUE(knob->IsDirty()); // asks for the pass without the glow
    const Color glowing = Pixel(56, 124);
    DrawDirty();
    EXPECT_FALSE(knob->IsDirty());
    EXPECT_NE(Pixel(56, 124), glowing);
    // At 0.5 the pointer stands straight up from the centre (72.5, 124.5) ...
    for (int y = 117; y <= 123; ++y)
        EXPECT_TRUE(SameColor(Pixel(72, y), 0, 0, 0)) << y;
    // ... and at 0 it points down to the left.
    fx.HostParamChange(kParamThreshold, 0.0);
    DrawAll();
    DrawDirty();
    int lowerLeft = 0;
    for (int y = 125; y <= 132; ++y)
        for (int x = 64; x <= 72; ++x)
            lowerLeft += SameColor(Pixel(x, y), 0, 0, 0);
    EXPECT_GE(lowerLeft, 4);
    EXPECT_FALSE(SameColor(Pixel(72, 118), 0, 0, 0));
}

TEST_F(LayoutTest, AFrequencyKnobWritesItsFrequencyUnderTheKnobOnEveryPass) {
    auto* lo = dynamic_cast<FreqKnob*>(Bound(kParamLoFreq));
    EXPECT_EQ(lo->KnobRect(), Rect(26, 50, 63, 87));
    fx.HostParamChange(kParamLoFreq, 0.5);
    for (int pass = 0; pass < 2; ++pass) {
        editor->ClearTexts();
        DrawAll();
        const auto* text = FindText("2750"); // 0.5 cubed of 22000 Hz
        ASSERT_NE(text, nullptr) << pass;
        EXPECT_EQ(text->mRect, Rect(30, 84, 63, 95));
        EXPECT_EQ(text->mStyle.mSize, 11);
        EXPECT_EQ(text->mStyle.mColor, Color(255, 127, 127, 127));
        EXPECT_EQ(text->mStyle.mAlign, TextStyle::AlignCenter);
        EXPECT_NE(FindText("22000"), nullptr); // "hi freq" at its top
    }
}

TEST_F(LayoutTest, KnobsFollowAVerticalDragGearedByTheirKindAndNeverCross) {
    Drag(41, 383, 0, -30); // strength: 37 pixels high, gearing 10
    EXPECT_NEAR(Bound(kParamStrength)->Value(), 0.5 + 30.0 / 370.0, 1e-9);
    EXPECT_NEAR(fx.ParamAt(kParamStrength)->Value(), 0.5 + 30.0 / 370.0, 0.006);
    Drag(41, 383, 0, -1000);
    EXPECT_EQ(Bound(kParamStrength)->Value(), 1.0);
    Control* lo = Bound(kParamLoFreq);
    Control* hi = Bound(kParamHiFreq);
    Drag(44, 70, 0, -30); // lo: 45 pixels high, gearing 5
    EXPECT_NEAR(lo->Value(), 30.0 / 225.0, 1e-9);
    Drag(138, 70, 0, 1000); // hi stops at lo (on its 1 Hz steps)
    EXPECT_NEAR(hi->Value(), lo->Value(), 0.001);
    EXPECT_NEAR(fx.ParamAt(kParamHiFreq)->Value(), fx.ParamAt(kParamLoFreq)->Value(), 1.0);
    Drag(44, 70, 0, -1000); // and lo at hi
    EXPECT_LE(lo->Value(), hi->Value() + 0.001);
}

TEST_F(LayoutTest, SwitchesFlipOnAnyPressAndTheFitButtonIsOnOnlyWhileHeld) {
    MouseKeys right;
    right.R = true;
    Click(128, 383);
    EXPECT_EQ(fx.ParamAt(kParamGate)->Value(), 1.0);
    editor->OnMouseDown(128, 383, right);
    editor->OnMouseUp(128, 383);
    EXPECT_EQ(fx.ParamAt(kParamGate)->Value(), 0.0);
    Click(128, 383);
    editor->OnMouseDblClick(128, 383, MouseKeys()); // back to its default
    EXPECT_EQ(fx.ParamAt(kParamGate)->Value(), 0.0);
    DrawAll();
    const Color lit = Pixel(121, 287); // "shape env" starts on
    const Color idle = Pixel(128, 322);
    Click(121, 287);
    DrawAll();
    EXPECT_NE(Pixel(121, 287), lit);
    EXPECT_EQ(Pixel(121, 287), idle);
    editor->OnMouseDown(128, 322, right);
    EXPECT_EQ(fx.ParamAt(kParamAutofit)->Value(), 1.0);
    DrawAll();
    EXPECT_EQ(Pixel(128, 322), lit);
    editor->OnMouseUp(300, 500); // released elsewhere: the captured button hears it
    EXPECT_EQ(fx.ParamAt(kParamAutofit)->Value(), 0.0);
    DrawAll();
    EXPECT_EQ(Pixel(128, 322), idle);
}

TEST_F(LayoutTest, TheHighestFrequencyKeepsClearOfTheApplyLabelAndTheRing) {
    auto* hi = dynamic_cast<FreqKnob*>(Bound(kParamHiFreq));
    ASSERT_NE(hi, nullptr);
    fx.HostParamChange(kParamHiFreq, 1.0);
    editor->ClearTexts();
    DrawAll();
    const auto* text = FindText("22000");
    ASSERT_NE(text, nullptr);
    // The text starts below the knob's ring, which ends four pixels above the
    // knob rectangle's bottom.
    EXPECT_GE(text->mRect.T, hi->KnobRect().B - 3);
#ifdef __linux__
    // The "apply" label of the background ends at x = 121: two pixels clear.
    TextRaster raster;
    int w = 0, h = 0;
    ASSERT_TRUE(raster.Measure(text->mStyle, "22000", w, h));
    EXPECT_GE((text->mRect.L + text->mRect.R - w) / 2, 124) << w;
#endif
}

// --- drawing only what changed

// The pixels of the editor's back buffer.
std::vector<uint32_t> Picture(OffscreenEditor* editor) {
    std::vector<uint32_t> pixels;
    for (int y = 0; y < 619; ++y)
        for (int x = 0; x < 675; ++x)
            pixels.push_back(editor->GetPoint(x, y).Word());
    return pixels;
}

TEST_F(LayoutTest, PassesOverTheChangedAreasLeaveThePictureAWholePassDraws) {
    // Audio with events, knob moves, switches and hover, in a fixed random
    // order; after each frame drawn from the dirty areas alone, a whole pass
    // over the same state draws the very same picture.
    const uint32_t seed = TestSeed(20261209u);
    std::mt19937 random(seed);
    Stereo in(48000);
    for (size_t at = 2000; at < in.size(); at += 9000)
        AddBurst(in, 48000.0, 180.0, 0.8, at, 3000);
    Stereo out(in.size());
    const int knobs[] = {kParamThreshold, kParamStrength, kParamEnvTime,
                         kParamHiFreq,    kParamLoFreq,   kParamShowEnv};
    DrawAll();
    std::vector<Rect> areas;
    size_t position = 0;
    for (int frame = 0; frame < 40; ++frame) {
        const int block = 256 << (random() % 3);
        for (int k = 0; k < 4 && position + size_t(block) <= in.size(); ++k) {
            fx.Block(&in.l[position], &in.r[position], &out.l[position], &out.r[position], block);
            position += size_t(block);
        }
        if (random() % 3 == 0) {
            const int param = knobs[random() % 6];
            if (Control* c = Bound(param))
                c->CommitUserValue(std::uniform_real_distribution<double>(0, 1)(random));
        }
        if (random() % 4 == 0) editor->OnMouseOver(int(random() % 675), int(random() % 619), {});
        SCOPED_TRACE("frame " + std::to_string(frame));
        // Frames until nothing is dirty (a knob flashes its glow for one pass
        // after a change, so a picture settles over a few passes).
        for (int pass = 0; pass < 8 && editor->DirtyRects(areas); ++pass)
            editor->DrawRects(areas);
        ASSERT_FALSE(editor->DirtyRects(areas));
        const std::vector<uint32_t> partial = Picture(editor);
        DrawAll();
        const std::vector<uint32_t> whole = Picture(editor);
        size_t differ = 0, first = 0;
        for (size_t i = 0; i < whole.size(); ++i)
            if (whole[i] != partial[i] && differ++ == 0) first = i;
        ASSERT_EQ(differ, 0u) << "first at " << first % 675 << "," << first / 675;
    }
}

// --- lifetime

// A control that notes, as the editor deletes it, whether the effect is still
// a whole Kelo effect (its own members not yet gone).
struct LifetimeProbe : Control {
    LifetimeProbe(EffectBase* effect, int* whole, int* broken)
        : Control(effect, Rect(0, 0, 1, 1), -1, BlendAlpha), mWhole(whole), mBroken(broken) {}
    ~LifetimeProbe() override {
        // While the base's destructor runs the object is no longer a
        // KeloEffect: the editor outlived the effect's members.
        if (dynamic_cast<KeloEffect*>(mEffect))
            ++*mWhole;
        else
            ++*mBroken;
    }
    bool Draw(Editor*) override { return true; }
    int* mWhole;
    int* mBroken;
};

TEST(KeloLifetime, DeletingTheEffectDropsItsEditorBeforeItsMembersGo) {
    int whole = 0, broken = 0;
    auto* fx = new TestKelo(48000.0);
    auto* editor = new OffscreenEditor(fx, 675, 619, 0);
    fx->BuildEditor(editor);
    editor->AddControl(new LifetimeProbe(fx, &whole, &broken));
    delete fx; // directly, as a host that skips "editor close" and "close"
    EXPECT_EQ(whole, 1);
    EXPECT_EQ(broken, 0);
}

// --- what collides

TEST_F(LayoutTest, BothPanelsKeepTheirLeftOutlineOutsideThePlot) {
    // The edit panel's first column at full height in both halves.
    AmpDisplay* amp = fx.AmpView();
    ASSERT_NE(amp, nullptr);
    std::vector<double> level(40, 0.9), out(40);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = i % 2 ? 0.99 : -0.99;
    amp->AddDetection(level.data(), out.data(), 0, int(out.size()));
    DrawAll();
    const Color outline(255, 0, 0, 0);
    using A = AmpDisplay;
    using V = EnvelopeView;
    // The column is drawn beside the outline, not over it.
    EXPECT_NE(Pixel(A::kPlotLeft, A::kCentreY - 20).Word(), outline.Word());
    for (int y = A::kPlotTop; y <= A::kPlotBottom; ++y)
        ASSERT_EQ(Pixel(A::kPlotLeft - 1, y).Word(), outline.Word()) << y;
    // The detect panel's, but where the threshold's handle sits on it.
    for (int y = V::kPlotTop - 1; y <= V::kPlotBottom; ++y) {
        if (std::abs(y - view->ThresholdY()) > 3) {
            ASSERT_EQ(Pixel(V::kPlotLeft - 1, y).Word(), outline.Word()) << y;
        }
    }
}

// An offscreen editor that notes the order of what touches the detect panel's
// beats corner: pixel and column writes and lines there, and the beats text.
struct CornerLog : OffscreenEditor {
    CornerLog(EffectBase* effect) : OffscreenEditor(effect, 675, 619, 0) {}
    static bool InCorner(int x, int y) {
        return x >= EnvelopeView::kPlotRight - 29 && x < EnvelopeView::kPlotRight &&
               y >= EnvelopeView::kPlotTop && y < EnvelopeView::kPlotTop + 12;
    }
    bool WritePixel(const Color& c, int x, int y) override {
        if (InCorner(x, y)) lastPixel = ++order;
        return OffscreenEditor::WritePixel(c, x, y);
    }
    bool WriteColumn(int x, int y, int dir, const uint32_t* words, int count) override {
        for (int i = 0; i < count; ++i)
            if (InCorner(x, y + i * dir)) {
                lastPixel = ++order;
                break;
            }
        return OffscreenEditor::WriteColumn(x, y, dir, words, count);
    }
    bool DrawVerticalLine(const Color& c, int x, int yLo, int yHi) override {
        if (InCorner(x, std::max(yLo, int(EnvelopeView::kPlotTop))) && yLo <= yHi)
            lastPixel = ++order;
        return OffscreenEditor::DrawVerticalLine(c, x, yLo, yHi);
    }
    bool DrawString(const TextStyle& style, const char* text, const Rect& rect) override {
        if (text && std::string(text).find("beats") != std::string::npos &&
            rect.T < EnvelopeView::kBottom)
            beats = ++order;
        return OffscreenEditor::DrawString(style, text, rect);
    }
    int order = 0, lastPixel = 0, beats = 0;
};

TEST(KeloLayout, TheBeatsTextIsDrawnOverTheNewestBars) {
    TestKelo fx(48000.0);
    auto* log = new CornerLog(&fx);
    fx.BuildEditor(log);
    // Loud hits up to the newest column: the bars reach the plot's top.
    Stereo in(96000), out(96000);
    for (size_t at = 0; at < in.size(); at += 4800)
        AddBurst(in, 48000.0, 150.0, 3.0, at, 4000);
    RunBlocks(fx, in, 512);
    log->Draw(Rect(0, 0, 675, 619));
    ASSERT_GT(log->lastPixel, 0); // the bars did reach the corner
    EXPECT_GT(log->beats, log->lastPixel);
}

TEST_F(LayoutTest, TheThresholdTextStaysInsideItsBox) {
    Control* threshold = Bound(kParamThreshold);
    ASSERT_NE(threshold, nullptr);
    for (double normalized : {0.0, 0.8, 0.99}) { // -60, -12 and -0.6 dB
        threshold->CommitUserValue(normalized);
        editor->ClearTexts();
        DrawAll();
        const OffscreenEditor::Text* text = nullptr;
        for (const auto& t : editor->Texts())
            if (t.mStyle.mColor == Color(255, 255, 255, 255) &&
                t.mRect.R == EnvelopeView::kPlotLeft - 6)
                text = &t;
        ASSERT_NE(text, nullptr) << normalized;
        // The box's left side is the control's left edge; the text keeps a
        // pixel off it.
        EXPECT_GE(text->mRect.L, EnvelopeView::kLeft) << text->mText;
#ifdef __linux__
        TextRaster raster;
        int w = 0, h = 0;
        ASSERT_TRUE(raster.Measure(text->mStyle, text->mText.c_str(), w, h));
        EXPECT_LE(w, text->mRect.R - (text->mRect.L + 1)) << text->mText;
#endif
    }
}

} // namespace

TEST_F(LayoutTest, TheOptionSwitchesUnderTheEmblemFlipTheOptionsAndShowThem) {
    const int count = editor->ControlCount();
    auto* both = dynamic_cast<OptionSwitch*>(editor->ControlAtIndex(count - 3));
    auto* ahead = dynamic_cast<OptionSwitch*>(editor->ControlAtIndex(count - 2));
    auto* follow = dynamic_cast<OptionSwitch*>(editor->ControlAtIndex(count - 1));
    ASSERT_NE(both, nullptr);
    ASSERT_NE(ahead, nullptr);
    ASSERT_NE(follow, nullptr);
    EXPECT_EQ(both->GetRect(), Rect(12, 573, 160, 585));
    EXPECT_EQ(ahead->GetRect(), Rect(12, 589, 160, 601));
    EXPECT_EQ(follow->GetRect(), Rect(12, 605, 160, 617));
    // Inside the window, clear of the eleven controls, the link, the displays
    // and each other (with their labels, which reach a pixel over and under).
    const auto apart = [](const Rect& r, const Rect& s) {
        return r.R <= s.L || r.L >= s.R || r.B <= s.T - 1 || r.T >= s.B + 1;
    };
    const OptionSwitch* switches[] = {both, ahead, follow};
    for (int k = 0; k < 3; ++k) {
        const Rect s = switches[k]->GetRect();
        EXPECT_TRUE(s.L >= 0 && s.T - 1 >= 0 && s.R <= 675 && s.B + 1 <= 619) << k;
        for (int i = 1; i < count - 3; ++i)
            EXPECT_TRUE(apart(editor->ControlAtIndex(i)->GetRect(), s)) << i << " " << k;
        for (int j = k + 1; j < 3; ++j) {
            const Rect o = switches[j]->GetRect();
            EXPECT_TRUE(apart(Rect(o.L, o.T - 1, o.R, o.B + 1), s)) << k << " " << j;
        }
    }
    DrawAll();
    const Color off = Pixel(18, 579);
    Click(18, 579);
    EXPECT_TRUE(fx.DetectBothPolarities());
    EXPECT_FALSE(fx.Lookahead());
    EXPECT_FALSE(fx.FollowLevel());
    EXPECT_TRUE(both->IsDirty());
    DrawDirty();
    EXPECT_NE(Pixel(18, 579).Word(), off.Word());
    Click(100, 595); // on the label
    EXPECT_TRUE(fx.Lookahead());
    EXPECT_FALSE(fx.FollowLevel());
    EXPECT_EQ(fx.Record()->initialDelay, fx.LookaheadSamples());
    Click(100, 611);
    EXPECT_TRUE(fx.FollowLevel());
    DrawDirty();
    EXPECT_NE(Pixel(18, 611).Word(), off.Word());
    Click(18, 579);
    EXPECT_FALSE(fx.DetectBothPolarities());
    EXPECT_TRUE(fx.FollowLevel());
    // A change from elsewhere (a loaded state) shows at the next pass.
    DrawDirty();
    fx.SetLookahead(false);
    fx.SetFollowLevel(false);
    EXPECT_TRUE(ahead->IsDirty());
    EXPECT_TRUE(follow->IsDirty());
    DrawDirty();
    EXPECT_FALSE(ahead->IsDirty());
    EXPECT_FALSE(follow->IsDirty());
    EXPECT_EQ(Pixel(18, 595).Word(), off.Word());
    EXPECT_EQ(Pixel(18, 611).Word(), off.Word());
}
