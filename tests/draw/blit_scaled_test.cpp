// Scaled and rotated copies: sampling, edges, mirroring and clipping.
#include <gtest/gtest.h>

#include <cmath>

#include "draw/blit.h"
#include "tests/draw/draw_test_support.h"

namespace {

constexpr BlitFlags kBilinear = FilterBilinear;
constexpr double kPi = 3.14159265358979323846;

void ExpectSamePixels(TestBitmap& a, TestBitmap& b) {
    ASSERT_EQ(a.Width(), b.Width());
    ASSERT_EQ(a.Height(), b.Height());
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x)
            ASSERT_EQ(a.At(x, y), b.At(x, y)) << x << "," << y;
}

} // namespace

TEST(ScaledCopy, AtEqualSizeAndWholePixelPositionMatchesTheUnscaledCopy) {
    TestBitmap src(9, 7, true), viaScale(6, 6, false), viaBlit(6, 6, false);
    FillPattern(src, 21);
    for (BlitFlags flags : {0u, kBilinear, OpAdd | UseSourceAlpha}) {
        viaScale.Clear(0x80808080);
        viaBlit.Clear(0x80808080);
        ScaleBlit(&viaScale, &src, -1, 2, 5, 4, 2.0f, 1.01f, 5.0f, 4.0f, 0.75f, flags);
        const PixelRect rect = {2, 1, 7, 5};
        Blit(&viaBlit, &src, -1, 2, &rect, 0.75f, flags);
        ExpectSamePixels(viaScale, viaBlit);
    }
}

TEST(ScaledCopy, NearestDoublingRepeatsEachSourcePixel) {
    TestBitmap src(3, 2, false), dst(6, 4, true);
    FillPattern(src, 23);
    ScaleBlit(&dst, &src, 0, 0, 6, 4, 0, 0, 3, 2, 1.0f, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(dst.At(x, y), src.At(x / 2, y / 2));
}

TEST(ScaledCopy, NearestSamplingFloorsPositionsLeftOfTheSource) {
    TestBitmap src(4, 1, false), dst(8, 1, false);
    FillPattern(src, 25);
    // Positions -0.5, 0, 0.5, 1, ...: -0.5 floors to column -1, outside the
    // source, and leaves its pixel alone.
    ScaleBlit(&dst, &src, 0, 0, 8, 1, -0.5f, 0, 4, 1, 1.0f, 0);
    EXPECT_EQ(dst.At(0, 0), 0u);
    for (int x = 1; x < 8; ++x)
        EXPECT_EQ(dst.At(x, 0), src.At((x - 1) / 2, 0)) << x;
}

TEST(BilinearSampling, InterpolatesAlongTheLastRowWithTwoTaps) {
    TestBitmap src(2, 1, false), dst(4, 1, false);
    src.At(0, 0) = 0x00000000;
    src.At(1, 0) = 0xFFFFFFFF;
    ScaleBlit(&dst, &src, 0, 0, 4, 1, 0, 0, 2, 1, 1.0f, kBilinear);
    // Positions 0, 0.5, 1, 1.5: halfway is (255 x 32768) / 65536 = 127; the
    // last column and row take the pixel itself.
    EXPECT_EQ(dst.At(0, 0), 0x00000000u);
    EXPECT_EQ(dst.At(1, 0), 0x7F7F7F7Fu);
    EXPECT_EQ(dst.At(2, 0), 0xFFFFFFFFu);
    EXPECT_EQ(dst.At(3, 0), 0xFFFFFFFFu);
}

TEST(BilinearSampling, AUniformWhiteAreaSamplesAs254ExceptInTheLastCorner) {
    TestBitmap src(4, 4, true), dst(8, 8, false);
    src.Clear(0xFFFFFFFF);
    ScaleBlit(&dst, &src, 0, 0, 8, 8, 0, 0, 4, 4, 1.0f, kBilinear);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(dst.At(x, y), (x >= 6 && y >= 6) ? 0xFFFFFFFFu : 0xFEFEFEFEu)
                << x << "," << y;
}

TEST(BilinearSampling, WeighsFourTapsByTheirDistance) {
    TestBitmap src(3, 3, false), dst(1, 1, false);
    src.Clear(0);
    src.At(1, 1) = 0xFFFFFFFF; // bottom-right tap of the sample at (0.5, 0.5)
    ScaleBlit(&dst, &src, 0, 0, 1, 1, 0.5f, 0.5f, 3, 3, 1.0f, kBilinear);
    // c = 32768 x 32768 / 65536 = 16384; 255 x 16384 / 65536 = 63.
    EXPECT_EQ(dst.At(0, 0), 0x3F3F3F3Fu);
}

TEST(MirroredScaledCopy, ANegativeWidthDrawsTheReversedCopyInPlace) {
    TestBitmap src(5, 3, false), forward(10, 3, false), mirrored(10, 3, true);
    FillPattern(src, 27);
    for (BlitFlags flags : {0u, kBilinear}) {
        forward.Clear(0);
        mirrored.Clear(0);
        ScaleBlit(&forward, &src, 0, 0, 10, 3, 0, 0, 5, 3, 1.0f, flags);
        ScaleBlit(&mirrored, &src, 10, 0, -10, 3, 0, 0, 5, 3, 1.0f, flags);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 10; ++x)
                ASSERT_EQ(mirrored.At(x, y), forward.At(9 - x, y)) << flags << " " << x;
    }
    // Negative sizes on both axes turn a copy upside down.
    TestBitmap square(4, 4, true), turned(4, 4, false);
    FillPattern(square, 29);
    ScaleBlit(&turned, &square, 4, 4, -4, -4, 0, 0, 4, 4, 1.0f, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(turned.At(x, y), square.At(3 - x, 3 - y));
}

TEST(MirroredScaledCopy, ClipsAtTheDestinationLikeAForwardCopy) {
    TestBitmap src(6, 1, false), dst(4, 1, false);
    FillPattern(src, 31);
    // Mirrored into columns -2..3: the visible part starts at source column 3.
    ScaleBlit(&dst, &src, 4, 0, -6, 1, 0, 0, 6, 1, 1.0f, 0);
    for (int x = 0; x < 4; ++x)
        EXPECT_EQ(dst.At(x, 0), src.At(3 - x, 0));
}

TEST(MirroredScaledCopy, ANegativeSourceSizeReadsBackwardsAndTwoNegativeSizesCancel) {
    TestBitmap src(5, 3, false);
    FillPattern(src, 45);
    for (bool rotated : {false, true}) {
        const auto copy = [&](TestBitmap& dst, int dx, int dw, float sx, float sw, int dy, int dh,
                              float sy, float sh) {
            if (rotated) {
                TransformBlit(&dst, &src, dx, dy, dw, dh, sx, sy, sw, sh, 0.0f, 0, 1.0f, 0, 0, 0);
            } else {
                ScaleBlit(&dst, &src, dx, dy, dw, dh, sx, sy, sw, sh, 1.0f, 0);
            }
        };
        TestBitmap reversed(5, 3, false), cancelled(5, 3, true);
        copy(reversed, 0, 5, 5, -5, 0, 3, 0, 3);
        // Columns: negative destination and source widths; rows: mirrored.
        copy(cancelled, 5, -5, 5, -5, 3, -3, 0, 3);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) {
                EXPECT_EQ(reversed.At(x, y), src.At(4 - x, y)) << rotated << " " << x;
                EXPECT_EQ(cancelled.At(x, y), src.At(x, 2 - y)) << rotated << " " << x;
            }
    }
}

TEST(RotatedCopy, AngleZeroAtEqualSizeReproducesTheSource) {
    TestBitmap src(7, 5, true), dst(7, 5, false);
    FillPattern(src, 33);
    TransformBlit(&dst, &src, 0, 0, 7, 5, 0, 0, 7, 5, 0.0f, 0, 1.0f, 0, 0, 0);
    ExpectSamePixels(dst, src);
}

TEST(RotatedCopy, AQuarterTurnRotatesClockwiseOnTheScreen) {
    const int n = 4;
    TestBitmap src(n, n, false), dst(n, n, false);
    FillPattern(src, 35);
    // Offsets of half a pixel make every sample land on a pixel centre, clear
    // of the rounding in the steps of a float angle.
    TransformBlit(&dst, &src, 0, 0, n, n, 0, 0, n, n, float(kPi / 2), 0, 1.0f, 0, 0.5f, -0.5f);
    // The source's left column becomes the top row, read from the bottom up.
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            EXPECT_EQ(dst.At(x, y), src.At(y, n - 1 - x)) << x << "," << y;
}

TEST(RotatedCopy, SamplesBetweenMinusOneAndZeroTakeTheFirstColumn) {
    TestBitmap src(4, 1, false), dst(4, 1, false);
    FillPattern(src, 37);
    // Shifted half a pixel left: positions -0.5, 0.5, 1.5, 2.5 truncate
    // toward zero to columns 0, 0, 1, 2.
    TransformBlit(&dst, &src, 0, 0, 4, 1, 0, 0, 4, 1, 0.0f, 0, 1.0f, 0, -0.5f, 0);
    EXPECT_EQ(dst.At(0, 0), src.At(0, 0));
    EXPECT_EQ(dst.At(1, 0), src.At(0, 0));
    EXPECT_EQ(dst.At(2, 0), src.At(1, 0));
    EXPECT_EQ(dst.At(3, 0), src.At(2, 0));
}

TEST(RotatedCopy, ClipToSourceLimitsSamplingToTheSourceRectangle) {
    TestBitmap src(6, 1, false), clipped(4, 1, false), unclipped(4, 1, false);
    FillPattern(src, 39);
    // Source rectangle columns 1..4, sampled shifted one pixel right.
    TransformBlit(&clipped, &src, 0, 0, 4, 1, 1, 0, 4, 1, 0.0f, 1, 1.0f, 0, 1.0f, 0);
    TransformBlit(&unclipped, &src, 0, 0, 4, 1, 1, 0, 4, 1, 0.0f, 0x100, 1.0f, 0, 1.0f, 0);
    for (int x = 0; x < 3; ++x)
        EXPECT_EQ(clipped.At(x, 0), src.At(x + 2, 0));
    EXPECT_EQ(clipped.At(3, 0), 0u);             // column 5 lies outside the rectangle
    EXPECT_EQ(unclipped.At(3, 0), src.At(5, 0)); // only the low byte counts
}

TEST(RotatedCopy, ANegativeWidthFillsTheDestinationWithTheReversedSource) {
    TestBitmap src(5, 2, false), dst(5, 2, false);
    FillPattern(src, 41);
    TransformBlit(&dst, &src, 5, 0, -5, 2, 0, 0, 5, 2, 0.0f, 0, 1.0f, 0, 0, 0);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(dst.At(x, y), src.At(4 - x, y));
}

TEST(RotatedCopy, ClipsAtTheDestinationEdges) {
    TestBitmap src(6, 6, false), dst(4, 4, true, 6);
    FillPattern(src, 43);
    TransformBlit(&dst, &src, -2, -1, 6, 6, 0, 0, 6, 6, 0.0f, 0, 1.0f, 0, 0, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(dst.At(x, y), src.At(x + 2, y + 1));
    EXPECT_TRUE(dst.GuardsIntact());
}

TEST(ScaledAndRotatedCopies, NonFiniteGeometryDrawsNothing) {
    TestBitmap src(4, 4, false), dst(4, 4, false);
    src.Clear(0xFFFFFFFF);
    const float bad[] = {NAN, INFINITY, -INFINITY};
    for (float v : bad) {
        ScaleBlit(&dst, &src, 0, 0, 4, 4, v, 0, 4, 4, 1.0f, kBilinear);
        ScaleBlit(&dst, &src, 0, 0, 4, 4, 0, 0, v, 4, 1.0f, 0);
        TransformBlit(&dst, &src, 0, 0, 4, 4, 0, 0, 4, 4, v, 0, 1.0f, 0, 0, 0);
        TransformBlit(&dst, &src, 0, 0, 4, 4, 0, 0, 4, 4, 0, 0, 1.0f, 0, 0, v);
    }
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(dst.At(x, y), 0u);
}

TEST(ScaledAndRotatedCopies, HugeScalesStayInsideTheSource) {
    TestBitmap src(3, 3, true, 4), dst(64, 64, false, 65);
    FillPattern(src, 49);
    ScaleBlit(&dst, &src, 0, 0, 64, 64, 0, 0, 1e9f, 1e9f, 1.0f, kBilinear);
    ScaleBlit(&dst, &src, 0, 0, 64, 64, -1e9f, 0, 2e9f, 3, 1.0f, 0);
    TransformBlit(&dst, &src, 0, 0, 64, 64, 0, 0, 1e9f, -1e9f, 2.0f, 0, 1.0f, kBilinear, 1e9f, 0);
    EXPECT_TRUE(dst.GuardsIntact());
    EXPECT_TRUE(src.GuardsIntact());
}
