// Placement, clipping and orientation of the unscaled routines.
#include <gtest/gtest.h>

#include <climits>

#include "draw/blit.h"
#include "tests/draw/draw_test_support.h"

namespace {

// Every combination of memory orientation and padded rows.
struct Layout {
    bool bottomUp;
    int padding;
};
const Layout kLayouts[] = {{false, 0}, {true, 0}, {false, 3}, {true, 2}};

} // namespace

TEST(UnscaledCopy, CopiesEveryByteIncludingAlphaInAnyOrientation) {
    for (const Layout& s : kLayouts)
        for (const Layout& d : kLayouts) {
            TestBitmap src(6, 4, s.bottomUp, 6 + s.padding), dst(6, 4, d.bottomUp, 6 + d.padding);
            FillPattern(src, 7);
            Blit(&dst, &src, 0, 0, nullptr, 1.0f, 0);
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 6; ++x)
                    ASSERT_EQ(dst.At(x, y), src.At(x, y)) << x << "," << y;
            EXPECT_TRUE(dst.GuardsIntact());
        }
}

TEST(UnscaledCopy, ANegativeDestinationColumnSkipsThatManySourceColumns) {
    TestBitmap src(8, 2, false), dst(8, 2, false);
    FillPattern(src, 3);
    Blit(&dst, &src, -3, 0, nullptr, 1.0f, 0);
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(dst.At(x, 1), src.At(x + 3, 1));
    for (int x = 5; x < 8; ++x)
        EXPECT_EQ(dst.At(x, 1), 0u);
}

TEST(UnscaledCopy, CutsTheSourceRectangleAtTheSourceEdges) {
    TestBitmap src(4, 4, true), dst(10, 10, false);
    FillPattern(src, 5);
    const PixelRect rect = {-2, 2, 9, 9}; // reaches past every edge but the top
    Blit(&dst, &src, 1, 1, &rect, 1.0f, 0);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) {
            const bool inside = x >= 1 && x < 5 && y >= 1 && y < 3;
            EXPECT_EQ(dst.At(x, y), inside ? src.At(x - 1, y + 1) : 0u) << x << "," << y;
        }
}

TEST(UnscaledCopy, CopyBitmapResizesTheDestinationToTheSource) {
    TestBitmap src(7, 3, true);
    FillPattern(src, 13);
    HeapBitmap dst(2, 2);
    CopyBitmap(&dst, &src);
    ASSERT_EQ(dst.Width(), 7);
    ASSERT_EQ(dst.Height(), 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 7; ++x)
            EXPECT_EQ(GetPixel(&dst, x, y), src.At(x, y));
}

TEST(ChannelCopy, MovesOneByteOfEachSourcePixelIntoOneByteOfTheDestination) {
    TestBitmap src(2, 1, false), dst(2, 1, true);
    src.At(0, 0) = 0x11223344;
    src.At(1, 0) = 0x55667788;
    dst.Clear(0xAABBCCDD);
    Blit(&dst, &src, 0, 0, nullptr, 0.0f, ChannelCopy(2, 3)); // red into alpha
    EXPECT_EQ(dst.At(0, 0), 0x22BBCCDDu);
    EXPECT_EQ(dst.At(1, 0), 0x66BBCCDDu);
    Blit(&dst, &src, 0, 0, nullptr, 1.0f, ChannelCopy(0, 1)); // blue into green
    EXPECT_EQ(dst.At(0, 0), 0x22BB44DDu);
}

TEST(MaskRectangle, ClearsAlphaInsideTheClippedRectangleOnly) {
    TestBitmap bmp(4, 4, true, 5);
    bmp.Clear(0xFF102030);
    MaskRect(&bmp, -2, 1, 4, 10, 0x00FFFFFF, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(bmp.At(x, y), (x < 2 && y >= 1) ? 0x00102030u : 0xFF102030u);
    MaskRect(&bmp, 3, 3, 1, 1, 0, 0x01020304);
    EXPECT_EQ(bmp.At(3, 3), 0x01020304u);
    EXPECT_TRUE(bmp.GuardsIntact());
}

TEST(FillRectangle, FillsThePictureRectangleInBothOrientations) {
    for (const Layout& l : kLayouts) {
        TestBitmap bmp(5, 4, l.bottomUp, 5 + l.padding);
        FillRect(&bmp, 1, 0, 2, 2, 0xFF112233, 1.0f, OpMix);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 5; ++x)
                ASSERT_EQ(bmp.At(x, y), (x >= 1 && x < 3 && y < 2) ? 0xFF112233u : 0u);
        EXPECT_TRUE(bmp.GuardsIntact());
    }
}

TEST(FillRectangle, ARectangleWhollyOutsideDrawsNothing) {
    TestBitmap bmp(4, 4, false);
    FillRect(&bmp, -10, 0, 5, 4, 0xFFFFFFFF, 1.0f, OpMix);
    FillRect(&bmp, 4, 0, 5, 4, 0xFFFFFFFF, 1.0f, OpMix);
    FillRect(&bmp, 0, 0, 0, 4, 0xFFFFFFFF, 1.0f, OpMix);
    FillRect(&bmp, 0, 0, 4, -1, 0xFFFFFFFF, 1.0f, OpMix);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(bmp.At(x, y), 0u);
}

TEST(SinglePixels, ReadAndWriteInPictureCoordinatesWithBoundsTests) {
    TestBitmap bmp(3, 2, true);
    PutPixel(&bmp, 2, 0, 0xFF0000FF, 1.0f, OpMix);
    EXPECT_EQ(bmp.At(2, 0), 0xFF0000FFu);
    EXPECT_EQ(GetPixel(&bmp, 2, 0), 0xFF0000FFu);
    EXPECT_EQ(GetPixel(&bmp, -1, 0), 0u);
    EXPECT_EQ(GetPixel(&bmp, 0, -1), 0u);
    EXPECT_EQ(GetPixel(&bmp, 3, 0), 0u);
    EXPECT_EQ(GetPixel(&bmp, 0, 2), 0u);
    for (int x : {-1, 3, INT_MIN, INT_MAX})
        PutPixel(&bmp, x, 1, 0xFFFFFFFF, 1.0f, OpMix);
    EXPECT_EQ(bmp.At(0, 1) | bmp.At(1, 1) | bmp.At(2, 1), 0u);
}

TEST(UnusableBitmaps, AreNeverDrawnIntoOrReadFrom) {
    TestBitmap good(4, 4, false);
    good.Clear(0x01020304);
    HeapBitmap empty(0, 5);
    EXPECT_EQ(empty.Pixels(), nullptr);
    // A bitmap that claims rows shorter than its width is refused.
    struct ShortRows : TestBitmap {
        ShortRows() : TestBitmap(4, 4, false) {}
        int RowSpan() const override { return 2; }
    } shortRows;
    const PixelRect rect = {0, 0, 4, 4};
    HeapBitmap copy(3, 3);
    for (Bitmap* bad : {static_cast<Bitmap*>(nullptr), static_cast<Bitmap*>(&empty),
                        static_cast<Bitmap*>(&shortRows)}) {
        Blit(bad, &good, 0, 0, &rect, 1.0f, 0);
        Blit(&good, bad, 0, 0, &rect, 0.5f, OpAdd);
        FillRect(bad, 0, 0, 4, 4, 0xFFFFFFFF, 1.0f, OpMix);
        MaskRect(bad, 0, 0, 4, 4, 0, 0);
        PutPixel(bad, 0, 0, 0xFFFFFFFF, 1.0f, OpMix);
        EXPECT_EQ(GetPixel(bad, 0, 0), 0u);
        ScaleBlit(&good, bad, 0, 0, 4, 4, 0, 0, 2, 2, 1.0f, 0);
        TransformBlit(&good, bad, 0, 0, 4, 4, 0, 0, 4, 4, 1.0f, 0, 1.0f, 0, 0, 0);
        CopyBitmap(&copy, bad);
        CopyBitmap(bad, &good); // last: it may make bad usable
    }
    // A copy from an unusable source keeps the destination's size.
    EXPECT_EQ(copy.Width(), 3);
    EXPECT_EQ(copy.Height(), 3);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(good.At(x, y), 0x01020304u);
}

TEST(ExtremeCoordinates, ClipWithoutOverflow) {
    TestBitmap src(4, 4, false), dst(4, 4, true, 5);
    FillPattern(src, 17);
    const int extremes[] = {INT_MIN, INT_MIN + 1, -5, 2, INT_MAX - 1, INT_MAX};
    for (int a : extremes)
        for (int b : extremes) {
            const PixelRect rect = {a, b, b, a};
            Blit(&dst, &src, a, b, &rect, 1.0f, 0);
            BlitRect(&dst, &src, b, a, a, b, b, a, 0.5f, OpAdd);
            FillRect(&dst, a, b, b, a, 0xFFFFFFFF, 1.0f, OpMix);
            MaskRect(&dst, a, b, a, b, 0, 0);
            ScaleBlit(&dst, &src, a, b, b, a, float(a), float(b), float(b), 3.0f, 1.0f, 0x100);
            TransformBlit(&dst, &src, a, b, a, b, float(b), float(a), 4.0f, float(a), 0.3f, 1, 1.0f,
                          0x100, 0, 0);
        }
    EXPECT_TRUE(dst.GuardsIntact());
}
