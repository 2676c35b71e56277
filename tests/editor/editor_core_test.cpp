// The editor core: mouse routing with capture and hover, dirty gathering and
// drawing passes, the background, and parameter values shown in controls.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/editor/editor_test_support.h"

namespace {

const MouseKeys kLeft{true, false, false, false, false};
const MouseKeys kNone;

// Controls A and B side by side and C overlapping B's right half.
struct Routing : ::testing::Test {
    Routing() : editor(nullptr) {
        a = new LogControl(&log, "A", Rect(10, 10, 20, 20));
        b = new LogControl(&log, "B", Rect(30, 10, 40, 20));
        c = new LogControl(&log, "C", Rect(35, 10, 45, 20));
        for (Control* control : {a, b, c})
            editor.AddControl(control);
    }
    Log Take() { return std::move(log); }
    Log log;
    TestEditorView editor;
    LogControl *a, *b, *c;
};

} // namespace

TEST_F(Routing, APressOutsideCapturesNothingAndDragsFollowThePointer) {
    editor.OnMouseDown(0, 0, kLeft);
    EXPECT_EQ(editor.Capture(), -1);
    editor.OnMouseDrag(15, 15, kLeft); // the last position is -1, -1 after the press
    editor.OnMouseDrag(32, 15, kLeft);
    editor.OnMouseDrag(100, 90, kLeft);
    EXPECT_EQ(Take(), (Log{"A drag 15,15 16 16", "B drag 32,15 17 0"}));
}

TEST_F(Routing, APressCapturesUntilTheReleaseWhereverThePointerGoes) {
    editor.OnMouseDown(12, 12, kLeft);
    EXPECT_EQ(editor.Capture(), 0);
    editor.OnMouseDrag(100, 90, kLeft);
    editor.OnMouseDrag(32, 15, kLeft); // over B, still A's
    editor.OnMouseDrag(32, 15, kLeft); // same place: dropped
    editor.OnMouseUp(33, 16);
    EXPECT_EQ(editor.Capture(), -1);
    editor.OnMouseDrag(32, 14, kLeft); // no capture: B under the pointer
    // A move beyond the int range is held at its end.
    editor.OnMouseDown(12, 12, kLeft);
    editor.OnMouseDrag(std::numeric_limits<int>::min(), 12, kLeft);
    EXPECT_EQ(Take(),
              (Log{"A down 12,12", "A drag 100,90 88 78", "A drag 32,15 -68 -75", "A up 33,16",
                   "B drag 32,14 33 15", "A down 12,12", "A drag -2147483648,12 -2147483648 0"}));
}

TEST_F(Routing, TheTopmostControlWinsAndHiddenOrGreyedOnesAreNotOffered) {
    editor.OnMouseWheel(37, 12, kNone, 2);
    c->Hide(true);
    editor.OnMouseWheel(37, 12, kNone, 3);
    b->SetGreyed(true);
    editor.OnMouseWheel(37, 12, kNone, 4); // neither B nor C: nobody
    c->Hide(false);
    editor.OnMouseDown(12, 12, kLeft);
    editor.OnMouseDblClick(41, 12, kNone); // ends the capture before it is routed
    EXPECT_EQ(editor.Capture(), -1);
    EXPECT_EQ(Take(), (Log{"C wheel 37,12 2", "B wheel 37,12 3", "A down 12,12", "C dbl 41,12"}));
    EXPECT_EQ(editor.ControlAt(20, 15), -1); // the right edge is outside
}

TEST_F(Routing, HoverMovesOnOnlyWhenAnotherControlIsReachedOrThePointerLeaves) {
    EXPECT_FALSE(editor.OnMouseOver(12, 12, kNone)); // off until switched on
    editor.SetTrackHover(true);
    EXPECT_TRUE(editor.OnMouseOver(12, 12, kNone));
    EXPECT_TRUE(editor.OnMouseOver(25, 12, kNone)); // empty space: A stays hovered
    EXPECT_EQ(editor.Hover(), 0);
    EXPECT_TRUE(editor.OnMouseOver(32, 12, kNone));
    EXPECT_EQ(editor.Hover(), 1);
    editor.OnMouseOut();
    editor.OnMouseOut();
    EXPECT_EQ(editor.Hover(), -1);
    EXPECT_EQ(Take(), (Log{"A over 12,12", "B over 32,12", "A out", "B out"}));
}

TEST_F(Routing, SetSizeForgetsControlsCaptureAndHover) {
    editor.SetTrackHover(true);
    editor.OnMouseOver(32, 12, kNone);
    editor.OnMouseDown(12, 12, kLeft);
    Take();
    editor.SetSize(300, 200);
    EXPECT_EQ(editor.ControlCount(), 0);
    EXPECT_EQ(editor.Capture(), -1);
    EXPECT_EQ(editor.Hover(), -1);
    EXPECT_EQ(editor.ViewWidth(), 300);
    // The old indices lead nowhere now.
    editor.OnMouseDrag(50, 50, kLeft);
    editor.OnMouseUp(50, 50);
    editor.OnMouseOut();
    Rect dirty;
    EXPECT_FALSE(editor.IsDirty(dirty));
    EXPECT_TRUE(log.empty());
}

TEST_F(Routing, NewControlsAreDrawnOnceAndAValueFromThePlugInTwice) {
    Rect dirty;
    ASSERT_TRUE(editor.IsDirty(dirty));
    EXPECT_EQ(dirty, Rect(10, 10, 45, 20));
    EXPECT_TRUE(editor.Draw(dirty));
    EXPECT_EQ(editor.PaintCount(), 1);
    EXPECT_EQ(editor.LastPaint(), dirty);
    EXPECT_EQ(Take(), (Log{"A draw", "B draw", "C draw"}));
    Rect none;
    EXPECT_FALSE(editor.IsDirty(none));
    EXPECT_TRUE(none.IsEmpty());

    b->ReceiveValue(0.5);
    a->mAskAgain = true; // asks from its Draw for the pass after
    a->SetDirty(false);
    for (int pass = 0; pass < 3; ++pass) {
        Rect r;
        if (editor.IsDirty(r)) editor.Draw(r);
        a->mAskAgain = false;
    }
    EXPECT_FALSE(editor.IsDirty(none));
    // B's passes also meet C, which overlaps it.
    EXPECT_EQ(Take(), (Log{"A draw", "B draw", "C draw", "A draw", "B draw", "C draw"}));
}

TEST_F(Routing, APassDrawsWhatMeetsItsRectangleEdgesIncludedButNothingHidden) {
    editor.AddControl(new LogControl(&log, "E", Rect()));
    editor.Draw(Rect(0, 0, 10, 10)); // A's corner is on its right and bottom edges
    editor.Draw(Rect(0, 0, 9, 30));  // one pixel short of A
    editor.Draw(Rect());
    EXPECT_EQ(Take(), (Log{"A draw"}));
    b->SetGreyed(true);
    c->Hide(true);
    Rect r;
    ASSERT_TRUE(editor.IsDirty(r)); // hiding and greying mark the control dirty
    EXPECT_EQ(r, Rect(30, 10, 45, 20));
    editor.Draw(Rect(0, 0, 200, 100));
    EXPECT_EQ(Take(), (Log{"A draw", "B draw"})); // greyed is drawn, hidden is not
    EXPECT_EQ(b->GetBlend().mWeight, 0.25f);
    b->SetGreyed(false);
    EXPECT_EQ(b->GetBlend().mWeight, 1.0f);
}

// A control that plans to move its pixels four columns left and redraw
// the four at its right, and notes whether the move was made.
struct Sliding : LogControl {
    Sliding(Log* log, const Rect& rect) : LogControl(log, "S", rect) {}
    bool PlanScroll(Rect& area, int& dx, std::vector<Rect>& redraw) override {
        redraw = {Rect(mRect.R - 4, mRect.T, mRect.R, mRect.B)};
        area = mRect;
        dx = -4;
        return true;
    }
    void Scrolled() override { ++mScrolls; }
    int mScrolls = 0;
};

TEST_F(Routing, AScrollMovesTheBackBufferAndLeavesOnlyItsRedrawUnlessAControlLiesOverIt) {
    Sliding* s = new Sliding(&log, Rect(100, 40, 140, 60));
    editor.AddControl(s);
    editor.PrepareSurface();
    Bitmap* back = editor.BackBuffer();
    for (int x = 100; x < 140; ++x)
        back->Pixels()[50 * back->RowSpan() + x] = uint32_t(x);
    editor.Draw(Rect(0, 0, 90, 100)); // the new controls, not the strip
    std::vector<Rect> rects;
    s->SetDirty(false);
    ASSERT_TRUE(editor.DirtyRects(rects));
    EXPECT_EQ(rects, (std::vector<Rect>{Rect(136, 40, 140, 60)}));
    EXPECT_EQ(s->mScrolls, 1);
    EXPECT_EQ(back->Pixels()[50 * back->RowSpan() + 100], 104u);
    EXPECT_EQ(back->Pixels()[50 * back->RowSpan() + 135], 139u);
    editor.DrawRects(rects);

    // A control drawn after it over its area: the change is drawn whole.
    editor.AddControl(new LogControl(&log, "D", Rect(130, 55, 150, 70)));
    editor.Draw(Rect(145, 0, 200, 100));
    s->SetDirty(false);
    ASSERT_TRUE(editor.DirtyRects(rects));
    EXPECT_EQ(rects, (std::vector<Rect>{Rect(100, 40, 140, 60)}));
    EXPECT_EQ(s->mScrolls, 1);
    EXPECT_EQ(back->Pixels()[50 * back->RowSpan() + 100], 104u);
}

TEST_F(Routing, TheBackgroundGoesBelowTheOtherControlsAndTheMouseIndicesFollow) {
    editor.OnMouseDown(32, 12, kLeft);
    editor.SetBackground(100, "bg.png");
    ASSERT_EQ(editor.ControlCount(), 4);
    EXPECT_EQ(editor.ControlAtIndex(1), a);
    EXPECT_EQ(editor.ControlAtIndex(3), c);
    EXPECT_EQ(editor.Capture(), 2);
    const Control* bg = editor.ControlAtIndex(0);
    EXPECT_EQ(bg->GetRect(), Rect(0, 0, 675, 619));
    EXPECT_EQ(bg->ParamIdx(), -1);
    EXPECT_EQ(bg->GetBlend().mMode, BlendCopy);
    editor.OnMouseUp(0, 0);
    EXPECT_EQ(Take(), (Log{"B down 32,12", "B up 0,0"}));
}

TEST(EditorSetup, AFrameRateOfZeroOrBelowMeans24) {
    for (auto [given, fps] : {std::pair{0, 24}, {-5, 24}, {30, 30}})
        EXPECT_EQ(TestEditorView(nullptr, 10, 10, given).Fps(), fps) << given;
    TestEditorView editor(nullptr, 675, 619, 0);
    EXPECT_EQ(editor.ViewHeight(), 619);
    EXPECT_FALSE(editor.IsWindowOpen());
    EXPECT_EQ(editor.AddControl(nullptr), -1);
}

TEST_F(Attached, RealValuesAndLimitsAreConvertedWithTheParametersCurve) {
    PlainControl* freq = Add(new PlainControl(&plug, EditorPlug::kFreq));
    PlainControl* twin = Add(new PlainControl(&plug, EditorPlug::kFreq));
    PlainControl* other = Add(new PlainControl(&plug, 0));
    editor->ShowParamValue(EditorPlug::kFreq, 2750.0, false); // (2750 / 22000)^(1/3)
    EXPECT_NEAR(freq->Value(), 0.5, 1e-12);
    EXPECT_EQ(twin->Value(), freq->Value());
    EXPECT_EQ(freq->DefaultValue(), freq->Value()); // the first value
    editor->ShowParamValue(EditorPlug::kFreq, 0.25, true);
    EXPECT_EQ(freq->Value(), 0.25);
    EXPECT_EQ(other->Value(), 0.0);

    editor->SetParamClamp(EditorPlug::kFreq, 0.0, 2750.0, false);
    EXPECT_NEAR(freq->LimitHi(), 0.5, 1e-12);
    editor->SetParamClamp(EditorPlug::kFreq, 0.1, 0.6, true);
    EXPECT_EQ(twin->LimitLo(), 0.1);
    EXPECT_EQ(other->LimitHi(), 1.0);
    editor->ShowParamValue(EditorPlug::kFreq, 0.9, true); // held to the limit on arrival
    EXPECT_EQ(freq->Value(), 0.6);

    // Indices the plug-in does not have, and NaN, change nothing.
    for (int32_t index : {-1, 4, 1000}) {
        editor->ShowParamValue(index, 0.0, true);
        editor->SetParamClamp(index, 0.3, 0.4, true);
    }
    editor->ShowParamValue(EditorPlug::kFreq, std::nan(""), true);
    EXPECT_EQ(freq->Value(), 0.6);
    EXPECT_EQ(freq->LimitLo(), 0.1);
}

TEST_F(Attached, UserValuesReachTheBoundControlsAndThePlugIn) {
    PlainControl* freq = Add(new PlainControl(&plug, EditorPlug::kFreq));
    plug.mLog.clear();
    editor->UserParamValue(EditorPlug::kFreq, 0.5);
    EXPECT_EQ(freq->Value(), 0.5);
    EXPECT_NEAR(plug.ParamAt(EditorPlug::kFreq)->Value(), 2750.0, 1e-9);
    // The same value again is no change; unbound indices reach nothing.
    editor->UserParamValue(EditorPlug::kFreq, 0.5);
    editor->UserParamValue(3, 0.7);
    editor->UserParamValue(-1, 0.7);
    EXPECT_EQ(plug.mLog, (CallLog{"changed 1"}));
}
