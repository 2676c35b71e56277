// The edit panel: the length slider, dragging the shape's points, the levels of
// the last event binned into columns, autofit, the saved section, and what the
// panel draws.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "base/byte_block.h"
#include "base/db.h"
#include "editor_fixture.h"
#include "effect/ui/amp_display.h"

namespace {

using A = AmpDisplay;

// Lines drawn with the alpha blend land within a step or two of their colour.
bool NearColor(const Color& c, int r, int g, int b) {
    return std::abs(c.mR - r) <= 2 && std::abs(c.mG - g) <= 2 && std::abs(c.mB - b) <= 2;
}
const int kL = A::kPlotLeft, kT = A::kPlotTop, kR = A::kPlotRight, kB = A::kPlotBottom;
const int kY0 = A::kCentreY;

class AmpDisplayTest : public KeloEditorTest {
protected:
    AmpDisplayTest() {
        amp = fx.AmpView();
        // The parameters and the rate reach the new display as after opening.
        fx.NotifyAllParams();
    }

    // Hover at (x, y), press, move by (dx, dy) one pixel at a time, release.
    void DragAt(int x, int y, int dx, int dy) { Drag(x, y, dx, dy); }
    void Hover(int x, int y) { editor->OnMouseOver(x, y, MouseKeys()); }
    void DoubleClick(int x, int y) {
        Hover(x, y);
        editor->OnMouseDblClick(x, y, MouseKeys());
    }
    std::vector<uint8_t> Save(KeloEffect& effect) {
        ByteBlock chunk;
        effect.SaveState(&chunk);
        return std::vector<uint8_t>(chunk.Bytes(), chunk.Bytes() + chunk.Size());
    }
    static ByteBlock BlockOf(const std::vector<uint8_t>& bytes, size_t size) {
        ByteBlock chunk;
        chunk.AppendBytes(bytes.data(), int32_t(size));
        return chunk;
    }

    A* amp = nullptr;
};

// A second effect with a window-less editor, to load what the first saved.
struct OtherKelo {
    OtherKelo() {
        fx.BuildEditor(new OffscreenEditor(&fx, 675, 619, 0));
        fx.NotifyAllParams();
    }
    TestKelo fx;
};

} // namespace

// --- the length slider

TEST_F(AmpDisplayTest, LengthSliderRunsFromAFiftiethOfTheRateToOneSecond) {
    ASSERT_NE(amp, nullptr);
    EXPECT_EQ(amp->MinLength(), 2400);
    EXPECT_EQ(amp->MaxLength(), 48000);
    // Dragged past either end, the length stops at the ends; "env time" and
    // the processing follow.
    DragAt(kL + 100, kT - 10, -300, 0);
    EXPECT_EQ(amp->Length(), 2400);
    EXPECT_EQ(fx.EnvLen(), 2400);
    EXPECT_NEAR(fx.ParamAt(kParamEnvTime)->Value(), 0.05, 1e-12);
    DragAt(kL + 100, kT - 10, 600, 0);
    EXPECT_EQ(amp->Length(), 48000);
    EXPECT_EQ(fx.EnvLen(), 48000);
    EXPECT_NEAR(fx.ParamAt(kParamEnvTime)->Value(), 1.0, 1e-12);
}

TEST_F(AmpDisplayTest, DoubleClickOnTheSliderSetsAFifthOfASecondAndMovesTheKnob) {
    DragAt(kL + 100, kT - 10, 200, 0);
    ASSERT_NE(amp->Length(), 9600);
    DoubleClick(kL + 50, kT - 10);
    EXPECT_EQ(amp->Length(), 9600);
    EXPECT_EQ(fx.EnvLen(), 9600);
    EXPECT_NEAR(Bound(kParamEnvTime)->Value(), (0.2 - 0.05) / 0.95, 1e-12);
    // A double-click right after a press acts on nothing: the press took the hover.
    MouseKeys left;
    left.L = true;
    DragAt(kL + 100, kT - 10, 100, 0);
    const int length = amp->Length();
    editor->OnMouseDown(kL + 50, kT - 10, left);
    editor->OnMouseUp(kL + 50, kT - 10);
    editor->OnMouseDblClick(kL + 50, kT - 10, MouseKeys());
    EXPECT_EQ(amp->Length(), length);
}

TEST_F(AmpDisplayTest, EveryLengthSetOnTheSliderComesBackThroughEnvTimeUnchanged) {
    // At 48 kHz the slider covers 2400..48000 samples; each goes out as "env
    // time" in seconds and returns as samples.
    int wrong = 0;
    for (int length = 2400; length <= 48000; ++length) {
        amp->SetLength(length, true);
        if (fx.EnvLen() != length || amp->Length() != length) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(AmpDisplayTest, WheelOverTheSliderStepsTheLengthByTwoColumns) {
    Hover(kL + 100, kT - 10);
    editor->OnMouseWheel(kL + 100, kT - 10, MouseKeys(), 1);
    EXPECT_EQ(amp->Length(), 9600 + int(2.0 * 9600 / 441));
    EXPECT_EQ(fx.EnvLen(), amp->Length());
}

TEST_F(AmpDisplayTest, EveryResetTellsTheRateAndTempoAndTheSecondsStay) {
    fx.SetSampleRate(44100.0);
    fx.NotifyAllParams();
    EXPECT_EQ(amp->SampleRate(), 44100);
    EXPECT_EQ(amp->Tempo(), 120.0);
    EXPECT_EQ(amp->MinLength(), 2205);
    EXPECT_EQ(amp->MaxLength(), 44100);
    EXPECT_EQ(amp->Length(), 8820);
    EXPECT_EQ(fx.EnvLen(), 8820);
    DrawAll();
    EXPECT_EQ(amp->BufferSamples(), 44100);
    EXPECT_STREQ(amp->BeatsText(), "0.40 beats");
}

// --- dragging the points

TEST_F(AmpDisplayTest, P2StopsOnePixelBeforeP3) {
    const A::M::Point p2 = amp->PointAt(2);
    DragAt(p2.x, p2.y, 300, 0);
    EXPECT_EQ(amp->PointAt(2).x, amp->PointAt(3).x - 1);
    EXPECT_EQ(amp->PointAt(2).y, p2.y);
    // The processing has the dragged shape.
    EXPECT_EQ(fx.ShapeInUse().X(2), amp->PointAt(2).time);
}

TEST_F(AmpDisplayTest, P3CrossesTheCentreLineWhileP2AndP4StopThere) {
    struct Case {
        int point;
        int lowest; // the lowest row a drag downwards reaches
    };
    const Case cases[] = {{2, kY0}, {4, kY0}, {3, A::M::kP3Bottom}};
    for (const Case& c : cases) {
        const A::M::Point p = amp->PointAt(c.point);
        DragAt(p.x, p.y, 0, 500);
        EXPECT_EQ(amp->PointAt(c.point).y, c.lowest) << "P" << c.point;
        EXPECT_EQ(amp->PointAt(c.point).x, p.x) << "P" << c.point;
    }
    EXPECT_LT(amp->PointAt(3).level, 0.0);
}

TEST_F(AmpDisplayTest, TheLowerImageDragsItsPointMirrored) {
    const A::M::Point p4 = amp->PointAt(4);
    // Dragging the mirror image down pulls the point up.
    DragAt(p4.x, p4.mirrorY, 0, 10);
    EXPECT_EQ(amp->PointAt(4).y, p4.y - 10);
    EXPECT_EQ(amp->PointAt(4).mirrorY, p4.mirrorY + 10);
}

TEST_F(AmpDisplayTest, HoverPrefersTheNearestPointAndP2OnTies) {
    DragAt(amp->PointAt(2).x, amp->PointAt(2).y, 300, 0); // P2 next to P3
    const A::M::Point p2 = amp->PointAt(2), p3 = amp->PointAt(3);
    Hover(p3.x, p3.y);
    EXPECT_TRUE(amp->PointAt(3).hovered);
    EXPECT_FALSE(amp->PointAt(2).hovered);
    EXPECT_EQ(amp->HoverZone(), A::kZonePointUpper);
    Hover(p2.x, p2.mirrorY);
    EXPECT_TRUE(amp->PointAt(2).hovered);
    EXPECT_EQ(amp->HoverZone(), A::kZonePointLower);
    Hover(kL - 10, kY0 + 20);
    EXPECT_EQ(amp->HoverZone(), A::kZoneScaleLower);
    Hover(kL + 200, kY0 + 100);
    EXPECT_EQ(amp->HoverZone(), A::kZoneNone);
}

TEST_F(AmpDisplayTest, PointsKeepTheirPixelsWhenEnvTimeChanges) {
    DragAt(amp->PointAt(3).x, amp->PointAt(3).y, 40, 60);
    A::M::Point before[7];
    for (int i = 0; i < 7; ++i)
        before[i] = amp->PointAt(i);
    fx.Set(kParamEnvTime, 0.5);
    ASSERT_EQ(amp->Length(), 24000);
    for (int i : {0, 2, 3, 4, 6}) {
        EXPECT_EQ(amp->PointAt(i).x, before[i].x) << i;
        EXPECT_EQ(amp->PointAt(i).y, before[i].y) << i;
        EXPECT_NEAR(amp->PointAt(i).time, before[i].time * 2.5, 1e-6) << i;
    }
}

TEST_F(AmpDisplayTest, WithP3AndP4LevelP5SitsOneSampleBeforeTheEnd) {
    const A::M::Point p3 = amp->PointAt(3), p4 = amp->PointAt(4);
    DragAt(p3.x, p3.y, 0, kT - p3.y);
    DragAt(p4.x, p4.y, 0, kT - p4.y);
    ASSERT_EQ(amp->PointAt(3).level, amp->PointAt(4).level);
    EXPECT_EQ(amp->PointAt(5).time, amp->Length() - 1.0);
    EXPECT_EQ(amp->PointAt(5).level, amp->PointAt(4).level);
}

TEST_F(AmpDisplayTest, TheScaleZoneDragsTheScaleAndDoubleClickResetsIt) {
    const A::M::Point p2 = amp->PointAt(2);
    // Dragging the upper half down by 10 rows raises the scale by 10 rows' level.
    // Each one-row step adds a row's level at the scale of that moment.
    double expected = 1.0;
    for (int i = 0; i < 10; ++i)
        expected += 2.0 * expected / A::kPlotHeight;
    DragAt(kL - 10, kY0 - 50, 0, 10);
    EXPECT_NEAR(amp->Scale(), expected, 1e-12);
    // Points keep their rows; their levels follow.
    EXPECT_EQ(amp->PointAt(2).y, p2.y);
    EXPECT_GT(amp->PointAt(2).level, p2.level);
    DoubleClick(kL - 10, kY0 + 50);
    EXPECT_EQ(amp->Scale(), 1.0);
}

// --- the levels of the last event

TEST_F(AmpDisplayTest, ColumnsContinueAcrossPiecesAndANewEventClearsTheRest) {
    // 9600 samples over 441 columns: column 0 covers 0..20, column 1 21..42,
    // column 2 43..64.
    std::vector<double> level(30, 0.5), out(30);
    for (int i = 0; i < 30; ++i)
        out[size_t(i)] = (i + 1) / 100.0;
    amp->AddDetection(level.data(), out.data(), 0, 30);
    EXPECT_DOUBLE_EQ(amp->ColumnAt(1).outMin, 0.22);
    EXPECT_DOUBLE_EQ(amp->ColumnAt(1).outMax, 0.30);
    EXPECT_EQ(amp->LastEnd(), 30);

    // The next piece continues column 1: its extremes grow, its detector level
    // is the piece's first.
    std::vector<double> level2(30, 0.7), out2(30, 0.05);
    out2[20] = -0.4;
    amp->AddDetection(level2.data(), out2.data(), 30, 30);
    EXPECT_DOUBLE_EQ(amp->ColumnAt(1).outMin, 0.05);
    EXPECT_DOUBLE_EQ(amp->ColumnAt(1).outMax, 0.30);
    EXPECT_DOUBLE_EQ(amp->ColumnAt(1).level, 0.7);
    EXPECT_DOUBLE_EQ(amp->ColumnAt(2).outMin, -0.4);
    EXPECT_EQ(amp->ColumnAt(2).yMin, kY0 + int(0.4 / amp->AmpPerPixel()));
    EXPECT_EQ(amp->ColumnAt(1).yMax, kY0 - int(0.30 / amp->AmpPerPixel()));

    // A piece starting before the last end is a new event: what it does not
    // fill is cleared.
    std::vector<double> level3(10, 0.2), out3(10, 0.1);
    amp->AddDetection(level3.data(), out3.data(), 0, 10);
    EXPECT_DOUBLE_EQ(amp->ColumnAt(0).outMax, 0.1);
    EXPECT_DOUBLE_EQ(amp->ColumnAt(0).outMin, 0.1);
    for (int k : {1, 2}) {
        EXPECT_EQ(amp->ColumnAt(k).outMax, 0.0) << k;
        EXPECT_EQ(amp->ColumnAt(k).yMax, kY0) << k;
    }
}

TEST_F(AmpDisplayTest, AfterARateDropOnlyTheSamplesThatExistAreBinnedAgain) {
    // One second of levels at 48 kHz, then the rate halves: the buffers shrink
    // to 24000 samples on the next drawing pass, and a longer envelope bins only
    // those.
    amp->SetLength(48000, false);
    std::vector<double> level(48000, 0.25), out(48000, 0.5);
    amp->AddDetection(level.data(), out.data(), 0, 48000);
    EXPECT_EQ(amp->ColumnAt(440).outMax, 0.5);
    amp->SetSampleRateAndTempo(24000, 120.0);
    DrawAll();
    EXPECT_EQ(amp->BufferSamples(), 24000);
    amp->SetLength(48000, false);
    EXPECT_EQ(amp->ColumnAt(100).outMax, 0.5);
    EXPECT_EQ(amp->ColumnAt(220).outMax, 0.5);
    EXPECT_EQ(amp->ColumnAt(221).outMax, 0.0);
    EXPECT_EQ(amp->ColumnAt(440).outMax, 0.0);
}

TEST_F(AmpDisplayTest, AutofitFitsTheEffectsEventAndThePanelShowsTheFittedShape) {
    // A falling 200 Hz hit; the effect records it whether or not the panel draws.
    Stereo in(12000);
    for (size_t i = 100; i < 9000; ++i) {
        const double t = double(i - 100) / 48000.0;
        in.l[i] = in.r[i] = 0.8 * std::exp(-t / 0.05) * std::sin(2.0 * 3.141592653589793 * 200 * t);
    }
    RunBlocks(fx, in, 512);
    const A::M::Point before = amp->PointAt(2);
    fx.Set(kParamAutofit, 1.0);
    // The panel's points are the effect's, and the processing has them.
    ShapeModel model;
    fx.CopyShapeModel(model);
    for (int i = 0; i < A::M::kPoints; ++i) {
        EXPECT_EQ(amp->PointAt(i).level, model.PointAt(i).level) << i;
        EXPECT_EQ(amp->PointAt(i).y, model.PointAt(i).y) << i;
        EXPECT_EQ(fx.ShapeInUse().Y(i), model.PointAt(i).level) << i;
    }
    EXPECT_NE(amp->PointAt(2).level, before.level);
    // The levels fall with the hit.
    EXPECT_GT(amp->PointAt(2).level, amp->PointAt(4).level);
    EXPECT_GT(amp->PointAt(4).level, amp->PointAt(6).level);
    // Held on, it does not fit again; only switching it on does.
    amp->SetScale(0.5);
    const double p3 = fx.ShapeInUse().Y(3);
    fx.Set(kParamAutofit, 1.0);
    EXPECT_EQ(fx.ShapeInUse().Y(3), p3);
}

TEST_F(AmpDisplayTest, AMarkThatLandsDuringADrawingPassKeepsThePanelsDirty) {
    // Both displays: a mark from the audio thread between the feed and the end
    // of the pass asks for another pass.
    std::vector<Control*> displays = {amp, view};
    for (Control* display : displays) {
        DisplayLink* link = dynamic_cast<DisplayLink*>(display);
        ASSERT_NE(link, nullptr);
        DrawAll();
        EXPECT_FALSE(display->IsDirty());
        link->MarkDirty();
        EXPECT_TRUE(display->IsDirty());
        // The pass draws (and feeds), the mark lands, the pass ends.
        display->Draw(editor);
        link->MarkDirty();
        display->DrawPassDone();
        EXPECT_TRUE(display->IsDirty());
        // The next pass takes it; nothing is left.
        DrawDirty();
        EXPECT_FALSE(display->IsDirty());
    }
}

TEST_F(AmpDisplayTest, DoubleClickOnAPointFitsThatPointAlone) {
    std::vector<double> level(9600, 0.6), out(9600, 0.3);
    amp->AddDetection(level.data(), out.data(), 0, 9600);
    const A::M::Point p2 = amp->PointAt(2), p4 = amp->PointAt(4);
    DoubleClick(p2.x, p2.y);
    EXPECT_NEAR(amp->PointAt(2).level, 0.6, 1e-12);
    EXPECT_EQ(amp->PointAt(4).level, p4.level);
}

// --- the saved section

TEST_F(AmpDisplayTest, SavedStateLoadsAndSavesToTheSameBytes) {
    DragAt(amp->PointAt(3).x, amp->PointAt(3).y, 17, 201);
    DragAt(amp->PointAt(2).x, amp->PointAt(2).y, 5, 33);
    DragAt(kL - 10, kY0 - 50, 0, -37);
    fx.Set(kParamEnvTime, 0.37);
    const std::vector<uint8_t> saved = Save(fx);
    ASSERT_EQ(saved.size(), 188u);

    OtherKelo other;
    ByteBlock chunk = BlockOf(saved, saved.size());
    ASSERT_TRUE(other.fx.LoadState(&chunk));
    other.fx.NotifyAllParams();
    EXPECT_EQ(Save(other.fx), saved);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(other.fx.AmpView()->PointAt(i).x, amp->PointAt(i).x) << i;
        EXPECT_EQ(other.fx.AmpView()->PointAt(i).y, amp->PointAt(i).y) << i;
    }
    // P3 dragged above the plot (as far as it goes) stays there.
    DragAt(amp->PointAt(3).x, amp->PointAt(3).y, 0, -500);
    ASSERT_EQ(amp->PointAt(3).y, A::M::kP3Top);
    ASSERT_LT(A::M::kP3Top, kT);
    const std::vector<uint8_t> high = Save(fx);
    ByteBlock highChunk = BlockOf(high, high.size());
    ASSERT_TRUE(other.fx.LoadState(&highChunk));
    other.fx.NotifyAllParams();
    EXPECT_EQ(other.fx.AmpView()->PointAt(3).y, A::M::kP3Top);
    EXPECT_EQ(Save(other.fx), high);
    ByteBlock back = BlockOf(saved, saved.size());
    ASSERT_TRUE(other.fx.LoadState(&back));
    other.fx.NotifyAllParams();

    ByteBlock again = BlockOf(Save(other.fx), saved.size());
    ASSERT_TRUE(fx.LoadState(&again));
    fx.NotifyAllParams();
    EXPECT_EQ(Save(fx), saved);
}

TEST_F(AmpDisplayTest, AChunkEndingAfterTheScaleRestoresOnlyTheScale) {
    DragAt(amp->PointAt(2).x, amp->PointAt(2).y, 9, 40);
    DragAt(kL - 10, kY0 - 50, 0, -37);
    const std::vector<uint8_t> saved = Save(fx);
    // Tag, eleven values, the envelope view's scale, the display's scale.
    const size_t scaleEnd = 4 + 11 * 8 + 8 + 8;

    OtherKelo other;
    const A::M::Point fresh = other.fx.AmpView()->PointAt(2);
    ByteBlock chunk = BlockOf(saved, scaleEnd + 5);
    ASSERT_TRUE(other.fx.LoadState(&chunk));
    EXPECT_EQ(other.fx.AmpView()->Scale(), amp->Scale());
    EXPECT_EQ(other.fx.AmpView()->PointAt(2).x, fresh.x);
    EXPECT_NE(other.fx.AmpView()->PointAt(2).x, amp->PointAt(2).x);
}

TEST_F(AmpDisplayTest, LoadedPointsOutOfOrderOrNotFiniteArePutBackInOrder) {
    std::vector<uint8_t> saved = Save(fx);
    // The pairs start after tag, values, both scales; pair i is (time, level).
    auto setDouble = [&saved](size_t at, double v) { std::memcpy(&saved[at], &v, sizeof v); };
    const size_t pairs = 4 + 11 * 8 + 8 + 8;
    setDouble(pairs + 16 * 1, 0.9);     // P2 after P4
    setDouble(pairs + 16 * 2, 0.02);    // P3 before P2
    setDouble(pairs + 16 * 3 + 8, NAN); // P4's level not finite
    setDouble(pairs + 16 * 4, 0.3);     // P6 not at the end
    ByteBlock chunk = BlockOf(saved, saved.size());
    ASSERT_TRUE(fx.LoadState(&chunk));
    fx.NotifyAllParams();
    const int xs[] = {amp->PointAt(0).x, amp->PointAt(2).x, amp->PointAt(3).x, amp->PointAt(4).x,
                      amp->PointAt(6).x};
    for (int k = 1; k < 5; ++k)
        EXPECT_LT(xs[k - 1], xs[k]) << k;
    EXPECT_EQ(amp->PointAt(6).time, amp->Length());
    // The shape the processing evaluates is finite everywhere.
    for (int n = 0; n < amp->Length(); n += 37)
        EXPECT_TRUE(std::isfinite(fx.ShapeInUse().At(n))) << n;
}

// --- hostile input

TEST_F(AmpDisplayTest, HostileMouseSequencesLeaveAUsableShape) {
    // Events in any order, at the points, the slider, the scale zone or
    // anywhere, with movements and wheel steps up to the int limits.
    std::mt19937 rng(1234);
    const int big = std::numeric_limits<int>::max(), small = std::numeric_limits<int>::min();
    const int values[] = {small, -100000, -7, -1, 0, 1, 5, 300, big};
    auto value = [&] { return values[rng() % 9]; };
    MouseKeys none;
    for (int n = 1; n <= 3000; ++n) {
        int x = value(), y = value();
        switch (rng() % 4) {
        case 0:
            x = amp->PointAt(2 + int(rng() % 5)).x, y = amp->PointAt(2 + int(rng() % 5)).y;
            break;
        case 1:
            x = kL + int(rng() % 441), y = kT - 10;
            break;
        case 2:
            x = kL - 10, y = kT + int(rng() % 365);
            break;
        }
        switch (rng() % 7) {
        case 0:
            amp->OnMouseOver(x, y, none);
            break;
        case 1:
            amp->OnMouseDown(x, y, none);
            break;
        case 2:
            amp->OnMouseDrag(x, y, value(), value(), none);
            break;
        case 3:
            amp->OnMouseUp(x, y);
            break;
        case 4:
            amp->OnMouseWheel(x, y, none, value());
            break;
        case 5:
            amp->OnMouseDblClick(x, y, none);
            break;
        case 6:
            amp->OnMouseOut();
            break;
        }
        if (n % 100 != 0) continue;
        DrawAll();
        ASSERT_GE(amp->Length(), amp->MinLength()) << n;
        ASSERT_LE(amp->Length(), amp->MaxLength()) << n;
        ASSERT_EQ(fx.EnvLen(), amp->Length()) << n;
        ASSERT_GT(amp->Scale(), 0.0) << n;
        for (int i = 1; i < 7; ++i)
            ASSERT_LE(amp->PointAt(i - 1).time, amp->PointAt(i).time) << n << " " << i;
        for (int k = 0; k < amp->Length(); k += 97)
            ASSERT_TRUE(std::isfinite(fx.ShapeInUse().At(k))) << n << " " << k;
    }
}

// --- drawing

TEST_F(AmpDisplayTest, DrawsTheSliderShapeAndMarkersInTheirColours) {
    DrawAll();
    // The slider at 9600 of 2400..48000: thumb from L + trunc(7200 / 45600 * 401).
    const int left = A::SliderLeft(9600, 2400, 48000);
    EXPECT_EQ(left, kL + int(7200.0 / 45600.0 * 401));
    EXPECT_TRUE(NearColor(Pixel(left + 20, kT - 1), 0, 55, 127));
    // Its arrowheads point away from the thumb: the tip row and the base row.
    EXPECT_TRUE(NearColor(Pixel(left - 8, kT - 1), 0, 55, 127));
    EXPECT_TRUE(NearColor(Pixel(left, kT - 3), 0, 55, 127));
    EXPECT_TRUE(NearColor(Pixel(left - 4, kT - 2), 0, 55, 127));
    EXPECT_TRUE(NearColor(Pixel(left + 48, kT - 1), 0, 55, 127));
    // Hovered, it turns azure.
    Hover(kL + 100, kT - 10);
    DrawAll();
    EXPECT_TRUE(NearColor(Pixel(left + 20, kT - 1), 0, 110, 255));
    // Markers: the square at P4 and at its mirror image, black; red when hovered.
    const A::M::Point p4 = amp->PointAt(4);
    EXPECT_TRUE(SameColor(Pixel(p4.x, p4.y), 0, 0, 0));
    EXPECT_TRUE(SameColor(Pixel(p4.x, p4.mirrorY), 0, 0, 0));
    Hover(p4.x, p4.y);
    DrawAll();
    EXPECT_TRUE(SameColor(Pixel(p4.x + 1, p4.y - 1), 255, 0, 0));
    // The beats text at 120 beats per minute: 0.2 s is 0.40 beats.
    EXPECT_NE(FindText("0.40 beats"), nullptr);
}

TEST_F(AmpDisplayTest, TheShapeColourGoesFromHalfAzureToAzureWithStrength) {
    EXPECT_EQ(A::ShapeColor(0.0), Color(255, 0, 55, 127));
    EXPECT_EQ(A::ShapeColor(1.0), Color(255, 0, 110, 255));
    EXPECT_EQ(A::ShapeColor(0.5), Color(255, 0, 55 + 55 * 128 / 256, 127 + 128 * 128 / 256));
    // "strength" recolours the drawn shape: the brightest blue in a column the
    // curve P4..P6 crosses (antialiased, so blended with the background).
    fx.Set(kParamShowEnv, 0.0);
    const int x = (amp->PointAt(4).x + amp->PointAt(6).x) / 2;
    auto bluest = [&](double strength) {
        fx.Set(kParamStrength, strength);
        DrawAll();
        int best = 0;
        for (int y = kT; y < kY0; ++y)
            if (Pixel(x, y).mB > best) best = Pixel(x, y).mB;
        return best;
    };
    const int full = bluest(1.0), half = bluest(0.0);
    EXPECT_GT(full, half + 40);
    EXPECT_GT(half, 60);
}

TEST_F(AmpDisplayTest, ColumnsAreMirroredGradientBarsAndShowEnvAddsTheDetectorLines) {
    fx.Set(kParamShowEnv, 0.0);
    // Column 10 holds outputs -0.5..0.5: 91 rows each way from the centre.
    std::vector<double> level(9600, 0.25), out(9600, 0.0);
    const int64_t start = 10 * 9600 / 441, end = 11 * 9600 / 441;
    out[size_t(start)] = 0.5;
    out[size_t(start + 1)] = -0.5;
    amp->AddDetection(level.data(), out.data(), 0, int(end));
    DrawAll();
    const int x = kL + 10;
    const int rows = int(0.5 / amp->AmpPerPixel());
    // From the base at the centre: pale green, green a third up, dark green at the tip.
    EXPECT_TRUE(SameColor(Pixel(x, kY0 - 1), 240, 255, 240));
    EXPECT_TRUE(SameColor(Pixel(x, kY0 - 1 - rows / 3), 0, 255, 0));
    EXPECT_TRUE(SameColor(Pixel(x, kY0 - rows), 0, 112, 64));
    EXPECT_TRUE(SameColor(Pixel(x, kY0 + 1), 240, 255, 240));
    EXPECT_TRUE(SameColor(Pixel(x, kY0 + rows), 0, 112, 64));
    // The lower neighbour gets a fading outline up to the column's top.
    const Color fade = Pixel(x + 1, kY0 - rows + 1);
    EXPECT_EQ(fade.mR, 0);
    EXPECT_GT(fade.mG, 0);
    EXPECT_LT(fade.mG, 112);
    // "show env" draws the detector level in white at 0.25 and its mirror.
    const int yLevel = kY0 - int(0.25 / amp->AmpPerPixel());
    EXPECT_FALSE(SameColor(Pixel(kL + 5, yLevel), 255, 255, 255));
    fx.Set(kParamShowEnv, 1.0);
    DrawAll();
    EXPECT_TRUE(SameColor(Pixel(kL + 5, yLevel), 255, 255, 255));
    EXPECT_TRUE(SameColor(Pixel(kL + 5, 2 * kY0 - yLevel), 255, 255, 255));
}
