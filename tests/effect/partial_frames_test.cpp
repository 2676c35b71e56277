// Frames that redraw only what changed: while audio plays through the effect
// and the user's hover, the scales and the shown input change now and then,
// every few frames drawn from the dirty areas leave the back buffer exactly as
// a whole drawing of the editor leaves it; and a plot of silence scrolling
// draws nothing.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "editor_fixture.h"
#include "effect/ui/amp_display.h"
#include "tests/common/test_seed.h"
#if defined(__linux__)
#include "editor/text_raster.h"
#endif

namespace {

class PartialFramesTest : public KeloEditorTest {
protected:
    explicit PartialFramesTest(EditorMaker make = PlainEditor) : KeloEditorTest(48000.0, make) {
        for (int i = 0; i < editor->ControlCount(); ++i)
            if (auto* a = dynamic_cast<AmpDisplay*>(editor->ControlAtIndex(i))) amp = a;
    }

    std::vector<uint32_t> Picture() const {
        const Bitmap* b = editor->BackBuffer();
        const uint32_t* p = b->Pixels();
        return std::vector<uint32_t>(p, p + size_t(b->RowSpan()) * size_t(b->Height()));
    }

    // frames of audio: silence, or a decaying burst at a random level.
    void Play(int frames, std::mt19937& rng, bool silent) {
        std::vector<double> in(size_t(frames), 0.0), outL(in.size()), outR(in.size());
        if (!silent) {
            std::uniform_real_distribution<double> level(0.02, 0.95), pitch(60.0, 900.0);
            const double a = level(rng), f = pitch(rng);
            for (int i = 0; i < frames; ++i)
                in[size_t(i)] = a * std::exp(-i / 1500.0) * std::sin(6.283185307 * f * i / 48000.0);
        }
        fx.Block(in.data(), in.data(), outL.data(), outR.data(), frames);
    }

    // One frame as the windows draw it; the pixels its areas cover.
    long Frame() {
        std::vector<Rect> rects;
        if (!editor->DirtyRects(rects)) return 0;
        editor->DrawRects(rects);
        long area = 0;
        for (const Rect& r : rects)
            area += long(r.W()) * r.H();
        return area;
    }

    void MovesAddUpToTheWholeDrawing();

    AmpDisplay* amp = nullptr;
};

TEST_F(PartialFramesTest, FramesOfTheChangedAreasLeaveTheWholeDrawingsPicture) {
    ASSERT_TRUE(view && amp);
    std::mt19937 rng(TestSeed(20261209u));
    DrawAll();
    const long displays = long(view->GetRect().W()) * view->GetRect().H() +
                          long(amp->GetRect().W()) * amp->GetRect().H();
    int partial = 0, compared = 0;
    for (int frame = 0; frame < 150; ++frame) {
        // A 24th of a second in blocks, silent now and then.
        const bool silent = rng() % 4 == 0;
        for (int block = 0; block < 4; ++block)
            Play(500, rng, silent);
        switch (rng() % 12) {
        case 0: // over the threshold's row, then away from it
            editor->OnMouseOver(300, view->ThresholdY(), MouseKeys());
            break;
        case 1:
            editor->OnMouseOver(300, 100 + int(rng() % 40), MouseKeys());
            break;
        case 2:
            view->SetScale(0.3 + 0.1 * double(rng() % 8));
            break;
        case 3: // over the edit panel's points and slider
            editor->OnMouseOver(AmpDisplay::kPlotLeft + int(rng() % 400),
                                AmpDisplay::kTop + int(rng() % 400), MouseKeys());
            break;
        case 4:
            amp->SetScale(0.25 + 0.1 * double(rng() % 6));
            break;
        default:
            break;
        }
        const long area = Frame();
        if (area > 0 && area < displays) ++partial;
        if (frame % 3 == 2) {
            const std::vector<uint32_t> mended = Picture();
            DrawAll();
            const std::vector<uint32_t> whole = Picture();
            size_t differ = 0;
            for (size_t i = 0; i < whole.size(); ++i)
                differ += mended[i] != whole[i];
            ASSERT_EQ(differ, 0u) << "frame " << frame << ", seed " << TestSeed(20261209u);
            ++compared;
        }
    }
    EXPECT_EQ(compared, 50);
    // The property is about partial frames: most of them were.
    EXPECT_GT(partial, 60);
}

// Sound on and off for 120 frames with nothing else changing, pictures
// compared only every 40 frames, so that the moves add up: each frame draws
// under a fifth of the detect panel, and the picture is the whole drawing's.
void PartialFramesTest::MovesAddUpToTheWholeDrawing() {
    std::mt19937 rng(TestSeed(20261209u));
    DrawAll();
    const Rect panel = view->GetRect();
    const int64_t before = view->Appended();
    for (int frame = 0; frame < 120; ++frame) {
        const bool silent = rng() % 3 == 0;
        for (int block = 0; block < 4; ++block)
            Play(500, rng, silent);
        std::vector<Rect> rects;
        ASSERT_TRUE(editor->DirtyRects(rects));
        long drawn = 0;
        for (const Rect& r : rects)
            if (r.Intersects(panel)) drawn += long(r.W()) * r.H();
        EXPECT_LT(drawn, long(panel.W()) * panel.H() / 5) << "frame " << frame;
        editor->DrawRects(rects);
        if (frame % 40 == 39) {
            const std::vector<uint32_t> mended = Picture();
            DrawAll();
            ASSERT_TRUE(mended == Picture())
                << "frame " << frame << ", seed " << TestSeed(20261209u);
        }
    }
    // The frames did move the plot: 2000 samples are more than a column.
    EXPECT_GE(view->Appended() - before, 120 * 9);
}

TEST_F(PartialFramesTest, WhileOnlyLevelsComeInTheDetectPlotMovesAndLittleIsDrawn) {
    MovesAddUpToTheWholeDrawing();
}

#if defined(__linux__)
// An offscreen editor that also draws its texts, as the Linux window does:
// the texts over the plot (the beats) stay where they are while it moves.
struct TextDrawingEditor : OffscreenEditor {
    explicit TextDrawingEditor(EffectBase* effect) : OffscreenEditor(effect, 675, 619, 0) {}
    bool DrawString(const TextStyle& style, const char* text, const Rect& rect) override {
        OffscreenEditor::DrawString(style, text, rect);
        return !text || !BackBuffer() || mText.Draw(*BackBuffer(), PassArea(), style, text, rect);
    }
    TextRaster mText;
};

class TextFramesTest : public PartialFramesTest {
protected:
    TextFramesTest()
        : PartialFramesTest(
              [](EffectBase* fx) -> OffscreenEditor* { return new TextDrawingEditor(fx); }) {}
};

TEST_F(TextFramesTest, WithTheTextsDrawnTheMovedPlotIsStillTheWholeDrawings) {
    MovesAddUpToTheWholeDrawing();
}
#endif

TEST_F(PartialFramesTest, SilenceScrollingThroughAnEmptyPlotDrawsNothing) {
    std::mt19937 rng(TestSeed(20261209u));
    DrawAll();
    // Two and a half seconds of silence clear the history; then the columns
    // that scroll in are like those that scroll out.
    for (int frame = 0; frame < 60; ++frame) {
        Play(2000, rng, true);
        Frame();
    }
    for (int frame = 0; frame < 24; ++frame) {
        Play(2000, rng, true);
        EXPECT_EQ(Frame(), 0) << "frame " << frame;
    }
    // A sound is drawn again: the newest columns of the detect panel and
    // the start of the event in the edit panel.
    Play(2000, rng, false);
    const long area = Frame();
    EXPECT_GT(area, 0);
    EXPECT_LT(area, (long(view->GetRect().W()) * view->GetRect().H() +
                     long(amp->GetRect().W()) * amp->GetRect().H()) /
                        4);
}

} // namespace
