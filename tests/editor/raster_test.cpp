// The drawing layer on exact pixel words: lines and pixels that stay in the
// real back buffer, bitmaps clipped to the drawing pass, frames of stacked
// bitmaps, and the bitmaps the editor keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "draw/png_resource.h"
#include "editor/control.h"
#include "editor/offscreen_editor.h"
#include "tests/draw/draw_test_support.h"

namespace {

// An editor of 10 x 8 whose back buffer is a smaller bottom-up bitmap of
// 6 x 5 with two guard words after each row.
struct GuardedEditor : OffscreenEditor {
    GuardedEditor() : OffscreenEditor(nullptr, 10, 8, 0) { PrepareSurface(); }
    Bitmap* NewBackBuffer(int, int) override { return new TestBitmap(6, 5, true, 8); }
    TestBitmap& Buffer() { return *static_cast<TestBitmap*>(BackBuffer()); }
};

// An editor on a zeroed back buffer (a DIB section on Windows).
struct PlainEditor : OffscreenEditor {
    PlainEditor(int w = 10, int h = 10) : OffscreenEditor(nullptr, w, h, 0) {
        PrepareSurface();
        MaskRect(BackBuffer(), 0, 0, w, h, 0, 0);
    }
    uint32_t At(int x, int y) { return GetPoint(x, y).Word(); }
};

// A bitmap whose pixel (x, y) is 0xFF000000 | y << 8 | x.
std::unique_ptr<HeapBitmap> Numbered(int w, int h) {
    auto b = std::make_unique<HeapBitmap>(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b->Pixels()[y * w + x] = 0xFF000000u | uint32_t(y) << 8 | uint32_t(x);
    return b;
}

// Counts the destruction of bitmaps handed to the editor.
struct CountedBitmap : HeapBitmap {
    explicit CountedBitmap(int* deaths) : HeapBitmap(2, 2), mDeaths(deaths) {}
    ~CountedBitmap() override { ++*mDeaths; }
    int* mDeaths;
};

const Color kInk(0xFF, 0x11, 0x22, 0x33);

} // namespace

TEST(RasterLines, StayInsideTheRealBufferWhateverTheCoordinates) {
    const struct {
        bool vertical;
        int at, lo, hi;
        int x0, y0, x1, y1; // the pixels expected, inclusive (-1: none)
    } rows[] = {
        {true, 2, 1, 3, 2, 1, 2, 3},
        {true, 100, -7, 100, 5, 0, 5, 4}, // beyond the width: the last column
        {true, -4, 3, 1, -1, -1, -1, -1}, // hi below lo: nothing
        {true, INT_MIN, INT_MIN, INT_MAX, 0, 0, 0, 4},
        {false, 1, 2, 4, 2, 1, 4, 1},
        {false, 9, -3, 7, 0, 4, 5, 4},
        {false, -1, INT_MAX, INT_MIN, -1, -1, -1, -1},
    };
    for (const auto& row : rows) {
        GuardedEditor editor;
        TestBitmap& buffer = editor.Buffer();
        EXPECT_TRUE(row.vertical ? editor.DrawVerticalLine(kInk, row.at, row.lo, row.hi)
                                 : editor.DrawHorizontalLine(kInk, row.at, row.lo, row.hi));
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x) {
                const bool in = x >= row.x0 && x <= row.x1 && y >= row.y0 && y <= row.y1;
                ASSERT_EQ(buffer.At(x, y), in ? kInk.Word() : 0u)
                    << row.vertical << " " << row.at << " at " << x << "," << y;
            }
        EXPECT_TRUE(buffer.GuardsIntact()) << row.at;
    }
}

TEST(RasterLines, WritePixelStoresTheWordOnlyInsideTheBuffer) {
    GuardedEditor editor;
    EXPECT_TRUE(editor.WritePixel(Color(0x10, 1, 2, 3), 5, 4)); // no blending, alpha kept
    EXPECT_EQ(editor.Buffer().At(5, 4), 0x10010203u);
    // Inside the view but beyond the buffer, and far outside: nothing.
    for (auto [x, y] : {std::pair{6, 0}, {0, 5}, {9, 7}, {-1, 0}, {INT_MAX, INT_MIN}})
        EXPECT_FALSE(editor.WritePixel(kInk, x, y)) << x << "," << y;
    EXPECT_TRUE(editor.Buffer().GuardsIntact());
    EXPECT_EQ(editor.GetPoint(5, 4), Color(0x10, 1, 2, 3));
    EXPECT_EQ(editor.GetPoint(6, 4), Color(0, 0, 0, 0));
    OffscreenEditor unprepared(nullptr, 10, 10, 0);
    EXPECT_FALSE(unprepared.WritePixel(kInk, 1, 1));
    EXPECT_FALSE(unprepared.DrawVerticalLine(kInk, 1, 1, 2));
}

// A control that writes one column when drawn, noting what the call returned.
struct ColumnWriter : Control {
    ColumnWriter(int x, int y, int dir, const uint32_t* words, int count, bool base)
        : Control(nullptr, Rect(0, 0, 10, 8), -1, BlendCopy, 1.0f), x(x), y(y), dir(dir),
          words(words), count(count), base(base) {}
    bool Draw(Editor* editor) override {
        result = base ? editor->Editor::WriteColumn(x, y, dir, words, count)
                      : editor->WriteColumn(x, y, dir, words, count);
        return true;
    }
    int x, y, dir;
    const uint32_t* words;
    int count;
    bool base;
    bool result = false;
};

TEST(RasterLines, AColumnIsWrittenAsItsPixelsOneByOne) {
    // Columns across the buffer's edges and the view's, both ways, in and out
    // of a pass over part of the view: the words, the pass's limits and the
    // answer are those of the pixel-by-pixel writes.
    uint32_t words[64];
    for (int i = 0; i < 64; ++i)
        words[i] = 0x80000000u + uint32_t(i) * 0x010203u;
    const struct {
        int x, y, dir, count;
    } columns[] = {{2, 0, 1, 5},           {2, 4, -1, 5}, {3, 2, 1, 9},  {3, 6, -1, 9},
                   {0, -3, 1, 6},          {5, 7, -1, 4}, {6, 1, 1, 2},  {9, 1, 1, 3},
                   {10, 1, 1, 2},          {-1, 0, 1, 3}, {4, 1, 0, 3},  {4, 1, 2, 3},
                   {1, 1, 1, 0},           {1, 3, -1, 1}, {1, 2, 1, 64}, {1, INT_MAX - 2, 1, 8},
                   {1, INT_MIN + 2, -1, 8}};
    const Rect passes[] = {Rect(), Rect(0, 0, 10, 8), Rect(1, 1, 4, 3), Rect(3, 0, 4, 8)};
    for (const auto& c : columns)
        for (const Rect& pass : passes) {
            GuardedEditor fast, slow;
            for (GuardedEditor* e : {&fast, &slow})
                for (int y = 0; y < 5; ++y)
                    for (int x = 0; x < 6; ++x)
                        e->Buffer().At(x, y) = 0x11000000u | uint32_t(y << 8 | x);
            auto* a = new ColumnWriter(c.x, c.y, c.dir, words, c.count, false);
            auto* b = new ColumnWriter(c.x, c.y, c.dir, words, c.count, true);
            fast.AddControl(a);
            slow.AddControl(b);
            if (pass.IsEmpty()) {
                a->Draw(&fast);
                b->Draw(&slow);
            } else {
                fast.Draw(pass);
                slow.Draw(pass);
            }
            const std::string where = std::to_string(c.x) + "," + std::to_string(c.y) + " dir " +
                                      std::to_string(c.dir) + " count " + std::to_string(c.count) +
                                      " pass " + std::to_string(pass.L) + "," +
                                      std::to_string(pass.T);
            EXPECT_EQ(a->result, b->result) << where;
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < 6; ++x)
                    ASSERT_EQ(fast.Buffer().At(x, y), slow.Buffer().At(x, y))
                        << where << " at " << x << "," << y;
            EXPECT_TRUE(fast.Buffer().GuardsIntact()) << where;
        }
    // The words land where they belong: up from the base for dir -1.
    PlainEditor plain;
    EXPECT_TRUE(plain.WriteColumn(4, 6, -1, words, 3));
    EXPECT_EQ(plain.At(4, 6), words[0]);
    EXPECT_EQ(plain.At(4, 4), words[2]);
    EXPECT_EQ(plain.At(4, 7), 0u);
    EXPECT_EQ(plain.At(4, 3), 0u);
    EXPECT_FALSE(plain.WriteColumn(4, 1, 1, nullptr, 2));
}

// A control that draws one line when drawn.
struct LineDrawer : Control {
    LineDrawer(float x1, float y1, float x2, float y2, bool antiAlias)
        : Control(nullptr, Rect(0, 0, 40, 30), -1, BlendAlpha, 1.0f), x1(x1), y1(y1), x2(x2),
          y2(y2), antiAlias(antiAlias) {}
    bool Draw(Editor* editor) override {
        return editor->DrawLine(Color(200, 250, 120, 30), x1, y1, x2, y2, nullptr, antiAlias);
    }
    float x1, y1, x2, y2;
    bool antiAlias;
};

TEST(RasterLines, ALineInAPassDrawsInsideItWhatTheWholeLineDraws) {
    // Straight and sloped lines, inside, across and far outside the view,
    // over passes of every size: inside the pass the pixels of the line drawn
    // whole, outside it the picture before.
    const float far = 3.0e9f, nan = std::nanf("");
    const float ends[][4] = {{3, 5, 36, 5},     {36, 5, 3, 5},     {7, -20, 7, 50},
                             {2, 2, 37, 27},    {39, 0, 0, 29},    {5.7f, 4.2f, 30.9f, 4.8f},
                             {-far, 9, far, 9}, {12, -far, 12, 9}, {-5, -5, -1, -1},
                             {45, 31, 80, 60},  {nan, 3, 9, 3},    {10.5f, 3, 10.9f, 26},
                             {0, 0, 4, 5},      {12, 2, 9.5f, 25}, {1, 6, 30, 8.6f}};
    const Rect passes[] = {Rect(0, 0, 40, 30), Rect(4, 3, 9, 6),     Rect(6, 0, 8, 30),
                           Rect(0, 5, 40, 6),  Rect(30, 20, 60, 50), Rect(-10, -10, 1, 1)};
    for (const auto& e : ends)
        for (const bool aa : {false, true})
            for (const Rect& pass : passes) {
                PlainEditor whole(40, 30), part(40, 30);
                whole.AddControl(new LineDrawer(e[0], e[1], e[2], e[3], aa));
                part.AddControl(new LineDrawer(e[0], e[1], e[2], e[3], aa));
                whole.Draw(Rect(-100, -100, 200, 200));
                part.Draw(pass);
                for (int y = 0; y < 30; ++y)
                    for (int x = 0; x < 40; ++x)
                        ASSERT_EQ(part.At(x, y), pass.Contains(x, y) ? whole.At(x, y) : 0u)
                            << e[0] << "," << e[1] << " to " << e[2] << "," << e[3] << " aa " << aa
                            << " pass " << pass.L << "," << pass.T << " at " << x << "," << y;
            }
}

TEST(RasterSurface, PixelsMoveInsideTheirAreaAndNowhereElse) {
    // Moves left and right by less than, all of and more than the area's
    // width, areas across the buffer's edge: each row of the area shifted,
    // what the move leaves behind and everything outside as it was.
    const struct {
        Rect area;
        int dx;
    } moves[] = {{Rect(1, 1, 5, 4), -2}, {Rect(1, 1, 5, 4), 3},  {Rect(0, 0, 6, 5), -5},
                 {Rect(2, 0, 4, 5), 2},  {Rect(2, 0, 4, 5), -9}, {Rect(-3, 2, 20, 9), -1},
                 {Rect(1, 1, 5, 4), 0}};
    for (const auto& m : moves) {
        GuardedEditor editor;
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x)
                editor.Buffer().At(x, y) = uint32_t(y << 8 | x);
        EXPECT_TRUE(editor.ScrollBack(m.area, m.dx));
        const Rect a(std::max(m.area.L, 0), std::max(m.area.T, 0), std::min(m.area.R, 6),
                     std::min(m.area.B, 5));
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x) {
                const int from = x - m.dx;
                const bool moved = a.Contains(x, y) && from >= a.L && from < a.R;
                ASSERT_EQ(editor.Buffer().At(x, y), uint32_t(y << 8 | (moved ? from : x)))
                    << m.area.L << " by " << m.dx << " at " << x << "," << y;
            }
        EXPECT_TRUE(editor.Buffer().GuardsIntact());
    }
    OffscreenEditor unprepared(nullptr, 10, 10, 0);
    EXPECT_FALSE(unprepared.ScrollBack(Rect(0, 0, 5, 5), 1));
}

TEST(RasterBitmaps, ABitmapIsDrawnOnlyInsideThePassRectangle) {
    PlainEditor editor;
    auto source = Numbered(5, 5);
    // BlendCopy stores the source words exactly.
    editor.AddControl(
        new BitmapControl(nullptr, 2, 2, -1, BitmapRef(source.get(), 5, 5, 1), BlendCopy));
    editor.Draw(Rect(3, 1, 5, 9));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) {
            const bool in = x >= 3 && x < 5 && y >= 2 && y < 7;
            ASSERT_EQ(editor.At(x, y), in ? 0xFF000000u | uint32_t(y - 2) << 8 | (x - 2) : 0u)
                << x << "," << y;
        }
    // Between passes the last pass's rectangle holds.
    const Blend copy(BlendCopy, 1.0f);
    editor.DrawBitmap(BitmapRef(source.get(), 5, 5, 1), Rect(0, 0, 5, 5), 0, 0, &copy);
    EXPECT_EQ(editor.At(2, 2), 0u);
    EXPECT_EQ(editor.At(3, 2), 0xFF000203u);
}

TEST(RasterBitmaps, AFrameIsTakenFromItsRoundedRowOffset) {
    // Three frames in ten rows: frames 3 rows high at offsets 0, 3 and 7.
    auto strip = Numbered(2, 10);
    for (auto [value, firstRow] : {std::pair{0.0, 0}, {0.5, 3}, {1.0, 7}}) {
        PlainEditor editor(4, 4);
        auto* control =
            new BitmapControl(nullptr, 1, 0, -1, BitmapRef(strip.get(), 2, 10, 3), BlendCopy);
        control->SetValue(value);
        editor.AddControl(control);
        editor.Draw(Rect(0, 0, 4, 4));
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                const bool in = x >= 1 && x < 3 && y < 3;
                ASSERT_EQ(editor.At(x, y),
                          in ? 0xFF000000u | uint32_t(firstRow + y) << 8 | (x - 1) : 0u)
                    << value << " " << x << "," << y;
            }
    }
    // No bitmap or no frames: nothing, and no division by zero.
    PlainEditor editor(4, 4);
    editor.AddControl(
        new BitmapControl(nullptr, 0, 0, -1, BitmapRef(strip.get(), 2, 10, 0), BlendCopy));
    editor.AddControl(new BitmapControl(nullptr, 0, 0, -1, BitmapRef(), BlendCopy));
    editor.Draw(Rect(0, 0, 4, 4));
    EXPECT_EQ(editor.At(0, 0), 0u);
}

TEST(RasterBitmaps, TheBackgroundAndOtherPicturesComeFromThePngResources) {
    PlainEditor editor(675, 619);
    editor.SetBackground(100, "bg.png");
    editor.SetBackground(99, "missing.png"); // a null bitmap, drawn as nothing
    const BitmapRef glow = editor.LoadEditorBitmap(104, "knob-glow.png", 1);
    EXPECT_EQ(glow.mW, 38);
    EXPECT_EQ(editor.LoadEditorBitmap(7, "none.png", 3).mFrames, 3);
    EXPECT_EQ(editor.KeptBitmapCount(), 2);
    std::unique_ptr<Bitmap> bg(LoadPngResource(CurrentModule(), 100, nullptr));
    ASSERT_TRUE(bg);
    editor.Draw(Rect(0, 0, 675, 619));
    for (auto [x, y] : {std::pair{0, 0}, {337, 300}, {674, 618}, {120, 60}})
        EXPECT_EQ(editor.At(x, y), GetPixel(bg.get(), x, y)) << x << "," << y;
}

TEST(RasterBitmaps, MaskedRotationKeepsToThePassAndItsRectangle) {
    PlainEditor editor;
    HeapBitmap base(4, 4), mask(4, 4), top(4, 4);
    MaskRect(&base, 0, 0, 4, 4, 0, 0xFFFF0000);
    MaskRect(&mask, 0, 0, 4, 4, 0, 0xFF000000); // opaque black: alpha only
    MaskRect(&top, 0, 0, 4, 4, 0, 0x00FFFFFF);  // transparent: nothing
    editor.Draw(Rect(0, 0, 4, 10));             // a pass over the left part only
    EXPECT_TRUE(editor.DrawMaskedRotated(BitmapRef(&base, 4, 4, 1), BitmapRef(&mask, 4, 4, 1),
                                         BitmapRef(&top, 4, 4, 1), 2, 2, 0.0, nullptr));
    // The filtered mask's alpha (254) is added at 254 x 254 / 256 = 252; mixed
    // over black at that alpha, red becomes 255 x 252 / 256 = 251 and alpha
    // 252 x 252 / 256 = 248.
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) {
            const bool in = x >= 2 && x < 4 && y >= 2 && y < 6;
            ASSERT_EQ(editor.At(x, y), in ? 0xF8FB0000u : 0u) << x << "," << y;
        }
}

TEST(RasterBitmaps, CopiesAndKeptBitmapsBelongToTheEditor) {
    auto source = Numbered(4, 3);
    const BitmapRef ref(source.get(), 4, 3, 1);
    int deaths = 0;
    CountedBitmap stranger(&deaths);
    {
        PlainEditor editor;
        const BitmapRef cut = editor.CutOutCopy(ref, Rect(2, 1, 6, 3));
        ASSERT_TRUE(cut.mBitmap);
        EXPECT_EQ(cut.mW * 10 + cut.mH, 42);
        EXPECT_EQ(GetPixel(cut.mBitmap, 0, 0), 0xFF000102u);
        EXPECT_EQ(GetPixel(cut.mBitmap, 1, 1), 0xFF000203u);
        EXPECT_EQ(GetPixel(cut.mBitmap, 2, 0), 0u); // beyond the source: transparent black
        HeapBitmap flat(2, 2);
        MaskRect(&flat, 0, 0, 2, 2, 0, 0x80402010);
        const BitmapRef scaled = editor.ScaledCopy(BitmapRef(&flat, 2, 2, 1), 5, 3);
        ASSERT_TRUE(scaled.mBitmap);
        EXPECT_EQ(scaled.mW * 10 + scaled.mH, 53);
        EXPECT_EQ(GetPixel(scaled.mBitmap, 4, 2), 0x80402010u);
        EXPECT_TRUE(editor.KeepsBitmap(cut.mBitmap) && editor.KeepsBitmap(scaled.mBitmap));
        // Nothing to copy from or no size: an empty reference, nothing kept.
        EXPECT_FALSE(editor.ScaledCopy(BitmapRef(), 4, 4).mBitmap);
        EXPECT_FALSE(editor.ScaledCopy(ref, 0, 4).mBitmap);
        EXPECT_FALSE(editor.CutOutCopy(ref, Rect(3, 3, 1, 5)).mBitmap);
        EXPECT_FALSE(editor.CutOutCopy(ref, Rect(INT_MIN, 0, INT_MAX, 1)).mBitmap);

        auto* counted = new CountedBitmap(&deaths);
        editor.KeepBitmap(BitmapRef(counted, 2, 2, 1));
        editor.KeepBitmap(BitmapRef(counted, 2, 2, 1)); // kept once, deleted once
        editor.KeepBitmap(BitmapRef());
        EXPECT_EQ(editor.KeptBitmapCount(), 3);
        editor.DropBitmap(cut);
        editor.DropBitmap(BitmapRef(&stranger, 2, 2, 1)); // not the editor's: left alone
        editor.DropBitmap(BitmapRef());
        EXPECT_EQ(editor.KeptBitmapCount(), 2);
        EXPECT_EQ(deaths, 0);
    }
    EXPECT_EQ(deaths, 1);
}

TEST(RasterSurface, SetSizeResizesTheBackBufferAndFillsClipToIt) {
    PlainEditor editor(10, 10);
    editor.SetSize(7, 3);
    ASSERT_EQ(editor.BackBuffer()->Width() * 10 + editor.BackBuffer()->Height(), 73);
    EXPECT_TRUE(editor.FillColorRect(kInk, Rect(INT_MIN, INT_MIN, INT_MAX, INT_MAX), nullptr));
    EXPECT_EQ(editor.At(0, 0), kInk.Word());
    const Color other(0x7F, 1, 2, 3);
    EXPECT_TRUE(editor.DrawVerticalLine(other, 9, 0, 9)); // the new size limits lines
    EXPECT_EQ(editor.At(6, 2), other.Word());
    EXPECT_EQ(editor.At(5, 2), kInk.Word());
    editor.SetSize(-4, 5); // a negative size is none
    EXPECT_EQ(editor.ViewWidth(), 0);
    EXPECT_FALSE(editor.DrawHorizontalLine(kInk, 0, 0, 3));
}

TEST(RasterSurface, TextsAreRecordedWithTheirRectangleAndStyle) {
    PlainEditor editor;
    const TextStyle style(12, kInk, "Tahoma", TextStyle::Bold, TextStyle::AlignRight, 0);
    EXPECT_TRUE(editor.DrawString(style, "-12.0 dB", Rect(1, 2, 30, 14)));
    EXPECT_TRUE(editor.DrawString(style, nullptr, Rect(1, 2, 30, 14)));
    ASSERT_EQ(editor.Texts().size(), 1u);
    EXPECT_EQ(editor.Texts()[0].mText, "-12.0 dB");
    EXPECT_EQ(editor.Texts()[0].mRect, Rect(1, 2, 30, 14));
    EXPECT_STREQ(editor.Texts()[0].mStyle.mFace, "Tahoma");
}
