// The effect's editor: what is built where, and how its knobs and switches
// behave under the editor's mouse routing.
#include <string>

#include "editor_fixture.h"

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
        EXPECT_EQ(text->mRect, Rect(26, 83, 63, 95));
        EXPECT_EQ(text->mStyle.mSize, 12);
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

} // namespace

TEST_F(LayoutTest, TheOptionSwitchesUnderTheEmblemFlipTheOptionsAndShowThem) {
    const int count = editor->ControlCount();
    auto* both = dynamic_cast<OptionSwitch*>(editor->ControlAtIndex(count - 2));
    auto* ahead = dynamic_cast<OptionSwitch*>(editor->ControlAtIndex(count - 1));
    ASSERT_NE(both, nullptr);
    ASSERT_NE(ahead, nullptr);
    EXPECT_EQ(both->GetRect(), Rect(12, 578, 160, 590));
    EXPECT_EQ(ahead->GetRect(), Rect(12, 597, 160, 609));
    // Clear of the eleven controls, the link and the displays.
    for (int i = 1; i < count - 2; ++i) {
        const Rect r = editor->ControlAtIndex(i)->GetRect();
        for (OptionSwitch* s : {both, ahead})
            EXPECT_TRUE(r.R <= s->GetRect().L || r.L >= s->GetRect().R || r.B <= s->GetRect().T ||
                        r.T >= s->GetRect().B)
                << i;
    }
    DrawAll();
    const Color off = Pixel(18, 584);
    Click(18, 584);
    EXPECT_TRUE(fx.DetectBothPolarities());
    EXPECT_FALSE(fx.Lookahead());
    EXPECT_TRUE(both->IsDirty());
    DrawDirty();
    EXPECT_NE(Pixel(18, 584).Word(), off.Word());
    Click(100, 603); // on the label
    EXPECT_TRUE(fx.Lookahead());
    EXPECT_EQ(fx.Record()->initialDelay, fx.LookaheadSamples());
    Click(18, 584);
    EXPECT_FALSE(fx.DetectBothPolarities());
    // A change from elsewhere (a loaded state) shows at the next pass.
    DrawDirty();
    fx.SetLookahead(false);
    EXPECT_TRUE(ahead->IsDirty());
    DrawDirty();
    EXPECT_FALSE(ahead->IsDirty());
    EXPECT_EQ(Pixel(18, 603).Word(), off.Word());
}
