// The axis scales: time and level texts, where ticks fall, and what the three
// drawings ask of the editor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "editor/offscreen_editor.h"
#include "effect/ui/axis_scale.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Checks the ticks against "position label; position label; ...", the
// positions to four decimals.
void ExpectTicks(const AxisScale& scale, const std::string& expected, const char* what) {
    std::vector<std::string> ticks;
    for (size_t at = 0; at < expected.size();) {
        const size_t end = std::min(expected.find("; ", at), expected.size());
        ticks.push_back(expected.substr(at, end - at));
        at = end + 2;
    }
    ASSERT_EQ(scale.TickCount(), int(ticks.size())) << what;
    for (int i = 0; i < scale.TickCount(); ++i) {
        const size_t space = ticks[i].find(' ');
        EXPECT_NEAR(scale.TickPosition(i), std::stod(ticks[i].substr(0, space)), 6e-5) << what;
        EXPECT_EQ(scale.TickLabel(i), space == std::string::npos ? "" : ticks[i].substr(space + 1))
            << what << " " << i;
    }
}

// Records line calls (and draws them) and can make its text calls fail.
struct RecordingEditor : OffscreenEditor {
    RecordingEditor() : OffscreenEditor(nullptr, 200, 160, 0) {
        PrepareSurface();
        const Blend copy(BlendCopy, 1.0f);
        FillColorRect(Color(255, 0, 0, 0), Rect(0, 0, 200, 160), &copy);
    }
    bool DrawLine(const Color& color, float x1, float y1, float x2, float y2, const Blend* blend,
                  bool antiAlias) override {
        mLines.push_back(Rect(int(x1), int(y1), int(x2), int(y2)));
        return OffscreenEditor::DrawLine(color, x1, y1, x2, y2, blend, antiAlias);
    }
    bool DrawString(const TextStyle& style, const char* text, const Rect& rect) override {
        return OffscreenEditor::DrawString(style, text, rect) && !mFailText;
    }
    // "text L,T,R,B align" for each text drawn.
    std::vector<std::string> TextLog() const {
        std::vector<std::string> out;
        for (const Text& t : Texts())
            out.push_back(t.mText + " " + std::to_string(t.mRect.L) + "," +
                          std::to_string(t.mRect.T) + "," + std::to_string(t.mRect.R) + "," +
                          std::to_string(t.mRect.B) + " " + std::to_string(t.mStyle.mAlign));
        return out;
    }
    std::vector<Rect> mLines;
    bool mFailText = false;
};

const Color kLine(255, 90, 140, 200);

} // namespace

TEST(AxisText, TimesAndLevelsReadAsTheAxisShowsThem) {
    const struct {
        double seconds;
        bool hundredths, secondsOnly;
        const char* text;
    } times[] = {
        {75.456, true, false, "1:15.46"},
        {-2.5, false, true, "-2"},
        {0.004, true, true, "0.00"},
        {59.996, true, false, "1:00.00"},
        {125.0, false, true, "5"},
        {42.0, false, false, "0:42"},
        {-75.0, false, false, "-1:15"},
        {kNaN, true, false, "0:00.00"},
        // A negative time under a minute keeps its sign unless it shows as zero.
        {-0.5, true, true, "-0.50"},
        {-30.0, false, false, "-0:30"},
        {-0.004, true, true, "0.00"},
    };
    char text[AxisScale::kLabelSize];
    for (const auto& c : times) {
        AxisScale::FormatTime(c.seconds, c.hundredths, text, c.secondsOnly);
        EXPECT_STREQ(text, c.text) << c.seconds;
    }
    const struct {
        double db;
        bool unit;
        const char* text;
    } levels[] = {{0.0, true, "+0.0 dB"},      {-3.0, true, "-3.0 dB"}, {-150.0, true, "-oo dB"},
                  {-144.0, true, "-144.0 dB"}, {6.02, false, "+6.0"},   {-kInf, false, "-oo"}};
    for (const auto& c : levels) {
        AxisScale::FormatDb(c.db, c.unit, text);
        EXPECT_STREQ(text, c.text) << c.db;
    }
}

TEST(AxisTicks, AddTickStoresAPositionAndACopyOfTheLabelCutTo31Chars) {
    AxisScale scale;
    EXPECT_EQ(scale.AddTick(0.25, "a"), 1);
    EXPECT_EQ(scale.AddTick(0.75, nullptr), 2);
    EXPECT_EQ(scale.AddTick(1.0, std::string(50, 'x').c_str()), 3);
    ExpectTicks(scale, "0.25 a; 0.75; 1 " + std::string(31, 'x'), "added");
    EXPECT_STREQ(scale.TickLabel(3), "");
}

TEST(AxisTicks, TimeTicksFallOnRoundStepsInsideTheGaps) {
    const struct {
        double start, end, rate, minGap;
        bool secondsOnly;
        const char *first, *last, *ticks;
    } cases[] = {
        // One second: 10^0 fits one whole step, and 1 is below 4: step 0.5.
        {0, 48000, 48000, 0.0, false, "0:00.00", "0:01.00", "0.5 0:00.50"},
        {0, 48000, 48000, 0.0, true, "0.00", "1.00", "0.5 0.50"},
        {0, 10000, 1000, 0.0, false, "0:00", "0:10", "0.5 0:05"}, // no hundredths
        {0, 200, 1000, 0.0, true, "0.00", "0.20", "0.25 0.05; 0.5 0.10; 0.75 0.15"},
        // A history ending now: negative times keep their sign.
        {-96000, 0, 48000, 0.1, true, "-2.00", "0.00", "0.25 -1.50; 0.5 -1.00; 0.75 -0.50"},
        // Beyond 0.9 unlabelled; within the gap of the end, none.
        {0, 5400, 1000, 0.05, true, "0.00", "5.40",
         "0.1852 1.00; 0.3704 2.00; 0.5556 3.00; 0.7407 4.00; 0.9259"},
        {0, 5200, 1000, 0.05, true, "0.00", "5.20",
         "0.1923 1.00; 0.3846 2.00; 0.5769 3.00; 0.7692 4.00"},
        // Empty, reversed, or without a usable rate: no tick.
        {100, 100, 48000, 0.0, true, "0.00", "0.00", ""},
        {48000, 0, 48000, 0.0, true, "1.00", "0.00", ""},
        {0, 48000, 0, 0.0, true, "", "", ""},
        {0, 48000, kNaN, 0.0, true, "", "", ""},
        {0, 48000, kInf, 0.0, true, "", "", ""},
        {kInf, 0, 48000, 0.0, true, "", "", ""},
    };
    for (const auto& c : cases) {
        AxisScale scale;
        scale.AddTick(0.3, "stale");
        scale.mMinGap = c.minGap;
        scale.BuildTimeTicks(c.start, c.end, c.rate, c.secondsOnly);
        EXPECT_STREQ(scale.FirstLabel(), c.first) << c.start << ".." << c.end;
        EXPECT_STREQ(scale.LastLabel(), c.last) << c.start << ".." << c.end;
        ExpectTicks(scale, c.ticks, c.first);
    }
    // So far from zero that a step no longer moves the position: it ends.
    AxisScale far;
    far.BuildTimeTicks(std::ldexp(1.0, 70), std::ldexp(1.0, 70) + std::ldexp(1.0, 18), 1, true);
    EXPECT_LE(far.TickCount(), 10);
}

TEST(AxisTicks, LevelTicksEveryThreeDecibelsStopWhereTheyCrowd) {
    // Positions: zero -+ 10^(dB / 20) / (hi - lo).
    const struct {
        double lo, hi, minGap;
        bool unit;
        const char *first, *last, *ticks;
    } cases[] = {
        // Both halves about -oo at the middle; -15 dB would crowd -12 dB.
        {-1, 1, 0.05, true, "+0.0", "+0.0",
         "0.5 -oo dB; 0.1460 -3.0 dB; 0.2494 -6.0 dB; 0.3226 -9.0 dB; 0.3744 -12.0 dB; "
         "0.8540 -3.0 dB; 0.7506 -6.0 dB; 0.6774 -9.0 dB; 0.6256 -12.0 dB"},
        // A wider gap drops both -3 dB ticks (within twice the gap of the
        // ends) and stops each half sooner.
        {-1, 1, 0.08, false, "+0.0", "+0.0", "0.5 -oo; 0.2494 -6.0; 0.7506 -6.0"},
        // The displays' axes: silence at the bottom.
        {0, 1, 0.08, false, "-oo", "+0.0", "0.7079 -3.0; 0.5012 -6.0; 0.3548 -9.0; 0.2512 -12.0"},
        {0, 2, 0.08, false, "-oo", "+6.0", "0.7063 +3.0; 0.5 +0.0; 0.3540 -3.0; 0.2506 -6.0"},
        {1, 1, 0.08, false, "+0.0", "+0.0", ""},
        {1, 0, 0.08, false, "+0.0", "-oo", ""},
        {kNaN, 1, 0.08, false, "-oo", "+0.0", ""},
    };
    for (const auto& c : cases) {
        AxisScale scale;
        scale.AddTick(0.3, "stale");
        scale.mMinGap = c.minGap;
        scale.BuildAmpTicks(c.lo, c.hi, c.unit);
        EXPECT_STREQ(scale.FirstLabel(), c.first) << c.lo << ".." << c.hi;
        EXPECT_STREQ(scale.LastLabel(), c.last) << c.lo << ".." << c.hi;
        ExpectTicks(scale, c.ticks, c.first);
    }
    // Without a gap nothing crowds: the ticks end at -144 dB.
    AxisScale open;
    open.mMinGap = -1.0;
    open.BuildAmpTicks(0, 1, false);
    ASSERT_EQ(open.TickCount(), 48);
    EXPECT_STREQ(open.TickLabel(47), "-144.0");
}

TEST(AxisDrawing, EachScalePlacesItsLabelsAndGridLinesBesideTheRect) {
    AxisScale time, level;
    time.BuildTimeTicks(0, 48000, 48000, true);
    level.mMinGap = 0.08;
    level.BuildAmpTicks(0, 1, false); // -3 dB at 0.708 .. -12 dB
    const Rect rect(40, 11, 140, 110);
    RecordingEditor e1, e2, e3;
    EXPECT_TRUE(time.DrawTimeScale(&e1, TextStyle(), rect, kLine, true));
    EXPECT_TRUE(time.DrawTimeScale(&e1, TextStyle(), rect, kLine, false));
    EXPECT_TRUE(level.DrawLevelScale(&e2, TextStyle(), rect, kLine, true));
    EXPECT_TRUE(level.DrawCentredScale(&e3, TextStyle(), rect, kLine, false));
    // Time: baseline 5 above the rect or 15 below; the tick at 0.5, x = 90.
    EXPECT_EQ(e1.TextLog(),
              (std::vector<std::string>{"0.00 40,-4,60,6 0", "1.00 sec 120,-4,140,6 2",
                                        "0.50 80,-4,100,6 1", "0.00 40,115,60,125 0",
                                        "1.00 sec 120,115,140,125 2", "0.50 80,115,100,125 1"}));
    EXPECT_EQ(e1.mLines[0], Rect(90, 11, 90, 110));
    EXPECT_NE(e1.GetPoint(90, 50), e1.GetPoint(91, 50)); // drawn, one column wide
    // Level, left: y = 110 - 0.708 x 99 = 39.9 -> 39, right-aligned ending at 35.
    ASSERT_EQ(e2.Texts().size(), 6u);
    EXPECT_EQ(e2.TextLog()[0], "-oo 15,105,35,115 2");
    EXPECT_EQ(e2.TextLog()[1], "+0.0 15,6,35,16 2");
    EXPECT_EQ(e2.TextLog()[2], "-3.0 15,34,35,44 2");
    EXPECT_EQ(e2.mLines[0], Rect(40, 39, 140, 39));
    // Centred, right: c = 60; -3 dB offset 0.708 x 0.5 x 99 = 35, mirrored.
    ASSERT_EQ(e3.Texts().size(), 3u + 8u);
    EXPECT_EQ(e3.TextLog()[0], "-oo 145,55,165,65 2");
    EXPECT_EQ(e3.TextLog()[1], "+0.0 145,11,165,21 2");
    EXPECT_EQ(e3.TextLog()[2], "+0.0 145,100,165,110 2");
    EXPECT_EQ(e3.TextLog()[3], "-3.0 145,20,165,30 2");
    EXPECT_EQ(e3.TextLog()[4], "-3.0 145,90,165,100 2");
    EXPECT_EQ(e3.mLines[1], Rect(40, 95, 140, 95));
}

TEST(AxisDrawing, AFailedCallMakesTheResultFalseButTheRestIsStillDrawn) {
    AxisScale scale;
    scale.mMinGap = 0.08;
    scale.BuildAmpTicks(0, 1, false);
    RecordingEditor editor;
    editor.mFailText = true;
    EXPECT_FALSE(scale.DrawLevelScale(&editor, TextStyle(), Rect(40, 10, 140, 110), kLine, true));
    EXPECT_EQ(editor.Texts().size(), 6u);
    EXPECT_EQ(editor.mLines.size(), 4u);
    EXPECT_FALSE(scale.DrawTimeScale(nullptr, TextStyle(), Rect(0, 0, 10, 10), kLine, true));
}
