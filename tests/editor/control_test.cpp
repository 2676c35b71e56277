// The control defaults and the stock controls: knob gearing, wheel steps,
// prompts, double-clicks, frames of bitmap controls, link addresses.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/editor/editor_test_support.h"

namespace {
const MouseKeys kNone;
const MouseKeys kRight{false, true, false, false, false};
} // namespace

TEST_F(Attached, AKnobOfGearing10AndHeight37Needs370PixelsForTheWholeRange) {
    PlainControl* knob = Add(new PlainControl(&plug, 0, Rect(0, 0, 37, 37), 0, 10.0));
    PlainControl* wide = Add(new PlainControl(&plug, 2, Rect(40, 0, 90, 10), 1, 2.0));
    PlainControl* flat = Add(new PlainControl(&plug, 3, Rect(95, 5, 99, 5)));
    editor->ShowParamValue(0, 0.0, true);
    editor->OnMouseDown(5, 5, kNone);
    int y = 5;
    for (int step = 0; step < 369; ++step)
        editor->OnMouseDrag(5, --y, kNone);
    EXPECT_NEAR(knob->Value(), 369.0 / 370.0, 1e-9);
    editor->OnMouseDrag(5, --y, kNone);
    EXPECT_NEAR(knob->Value(), 1.0, 1e-9);
    editor->OnMouseDrag(5, y - 100, kNone); // further: stays at the top
    EXPECT_EQ(plug.ParamAt(0)->Normalized(), 1.0);
    editor->OnMouseDrag(5, y - 100 + 74, kNone); // 74 pixels down: a fifth of the way
    EXPECT_NEAR(knob->Value(), 0.8, 1e-9);
    // Horizontal knobs follow only x; a knob without height ignores drags.
    editor->ShowParamValue(2, 0.5, true);
    wide->OnMouseDrag(0, 0, 25, -40, kNone);
    EXPECT_NEAR(wide->Value(), 0.75, 1e-12);
    editor->ShowParamValue(3, 0.5, true);
    flat->OnMouseDrag(0, 0, 0, -3, kNone);
    EXPECT_EQ(flat->Value(), 0.5);
}

TEST_F(Attached, TheWheelStepsByAHundredthOrByAThousandthWithShiftOrControl) {
    PlainControl* knob = Add(new PlainControl(&plug, 0));
    editor->ShowParamValue(0, 0.5, true);
    const struct {
        bool shift, control;
        int steps;
        double expected;
    } rows[] = {
        {false, false, 3, 0.53}, {true, false, -2, 0.528}, {false, true, 1, 0.529},
        {true, true, -9, 0.52},  {false, false, 100, 1.0}, {false, false, -250, 0.0},
    };
    for (const auto& row : rows) {
        MouseKeys mod;
        mod.S = row.shift;
        mod.C = row.control;
        editor->OnMouseWheel(5, 5, mod, row.steps);
        EXPECT_NEAR(knob->Value(), row.expected, 1e-12) << row.steps;
        EXPECT_NEAR(plug.ParamAt(0)->Normalized(), row.expected, 1e-12) << row.steps;
    }
}

TEST_F(Attached, ADoubleClickRestoresTheFirstValueOnceThereIsOne) {
    PlainControl* knob = Add(new PlainControl(&plug, 3)); // attached after the values were shown
    editor->OnMouseDblClick(5, 5, kNone);
    EXPECT_EQ(knob->Value(), 0.0);
    editor->ShowParamValue(3, 0.75, true);
    editor->ShowParamValue(3, 0.25, true);
    plug.mLog.clear();
    editor->OnMouseDblClick(5, 5, kNone);
    EXPECT_EQ(knob->Value(), 0.75);
    EXPECT_EQ(plug.ParamAt(3)->Normalized(), 0.75);
    EXPECT_EQ(plug.mLog, (CallLog{"changed 3"}));
}

TEST_F(Attached, ARightPressPromptsForTheBoundParameterOnly) {
    PlainControl* bound = Add(new PlainControl(&plug, 1, Rect(0, 0, 10, 10)));
    Add(new PlainControl(&plug, -1, Rect(20, 0, 30, 10)));
    PlainControl* beyond = Add(new PlainControl(&plug, 9, Rect(40, 0, 50, 10)));
    editor->OnMouseDown(5, 5, kNone); // left: nothing
    for (int x : {5, 25, 45})
        editor->OnMouseDown(x, 5, kRight);
    ASSERT_EQ(editor->Prompts().size(), 2u);
    EXPECT_EQ(editor->Prompts()[0].mControl, bound);
    EXPECT_EQ(editor->Prompts()[0].mParam, plug.ParamAt(1));
    EXPECT_EQ(editor->Prompts()[1].mControl, beyond);
    EXPECT_EQ(editor->Prompts()[1].mParam, nullptr);
}

TEST_F(Attached, LinksOpenTheAddressOrElseTheBackup) {
    editor->mOpenable = {"manual.pdf", "https://example.org/"};
    const struct {
        const char *url, *backup;
        Log tried;
    } rows[] = {
        {"manual.pdf", "https://example.org/", {"manual.pdf"}},
        {"missing.pdf", "https://example.org/", {"missing.pdf", "https://example.org/"}},
        {nullptr, "missing.pdf", {"missing.pdf"}},
        {"", nullptr, {}},
    };
    int x = 0;
    for (const auto& row : rows) {
        const size_t before = editor->Documents().size();
        Add(new LinkControl(&plug, Rect(x, 50, x + 10, 60), row.url, row.backup));
        editor->OnMouseDown(x + 5, 55, kRight); // any button, never a prompt
        EXPECT_EQ(Log(editor->Documents().begin() + long(before), editor->Documents().end()),
                  row.tried)
            << x;
        x += 10;
    }
    EXPECT_TRUE(editor->Prompts().empty());
}

TEST(LinkControls, AddressesOf256CharactersOrMoreAreRefusedNotCut) {
    const std::string fits(255, 'a'), tooLong(256, 'b'), muchTooLong(5000, 'c');
    LinkControl kept(nullptr, Rect(0, 0, 1, 1), fits.c_str(), tooLong.c_str());
    EXPECT_EQ(std::string(kept.Url()), fits);
    EXPECT_STREQ(kept.BackupUrl(), "");
    LinkControl refused(nullptr, Rect(0, 0, 1, 1), muchTooLong.c_str(), "backup");
    EXPECT_STREQ(refused.Url(), "");
    EXPECT_STREQ(refused.BackupUrl(), "backup");
    refused.OnMouseDown(0, 0, kNone); // no plug-in, no editor: nothing
}

TEST(BitmapControls, TheValueChoosesTheFrameFromTopToBottom) {
    HeapBitmap pixels(8, 12);
    const struct {
        int frames;
        double value;
        int frame;
    } rows[] = {
        {1, 1.0, 1}, {0, 0.7, 1},  {3, 0.0, 1},  {3, 0.5, 2}, {3, 1.0, 3}, {2, 0.49, 1},
        {2, 0.5, 2}, {4, 0.17, 2}, {3, -0.4, 1}, {3, 1.7, 3}, {3, NAN, 1},
    };
    for (const auto& row : rows) {
        BitmapControl control(nullptr, 2, 3, -1, BitmapRef(&pixels, 8, 12, row.frames), BlendAlpha);
        control.SetValue(row.value);
        EXPECT_EQ(control.FrameIndex(), row.frame) << row.frames << " " << row.value;
        EXPECT_EQ(control.GetRect(), Rect(2, 3, 10, 3 + 12 / std::max(row.frames, 1)));
    }
}

TEST(ControlValues, SetDirtyClampsToTheLimitsAndANaNValueFallsToTheLowLimit) {
    PlainControl knob(nullptr, -1);
    knob.SetLimits(0.2, 0.6);
    for (auto [in, out] : {std::pair{0.1, 0.2}, {0.4, 0.4}, {0.9, 0.6}, {NAN, 0.2}}) {
        knob.SetValue(in);
        knob.SetDirty(true); // no plug-in to push to
        EXPECT_EQ(knob.Value(), out) << in;
    }
    knob.SetLimits(0.7, 0.3); // crossed limits: raised, then lowered
    knob.SetDirty(false);
    EXPECT_EQ(knob.Value(), 0.3);
}
