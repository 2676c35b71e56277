// Heap and DIB bitmaps: sizes, memory and resizing.
#include <gtest/gtest.h>

#include <climits>

#include "draw/bitmap.h"
#include "draw/blit.h"
#ifdef _WIN32
#include <windows.h>

#include "draw/dib_bitmap.h"
#endif

TEST(HeapBitmap, HoldsWidthTimesHeightPixelsTopRowFirst) {
    HeapBitmap bmp(5, 3);
    ASSERT_NE(bmp.Pixels(), nullptr);
    EXPECT_EQ(bmp.Width(), 5);
    EXPECT_EQ(bmp.Height(), 3);
    EXPECT_EQ(bmp.RowSpan(), 5);
    EXPECT_FALSE(bmp.IsBottomUp());
    EXPECT_EQ(bmp.DeviceContext(), nullptr);
    // The last pixel of the block is the bottom-right pixel of the picture.
    FillRect(&bmp, 0, 0, 5, 3, 0, 1.0f, OpMix);
    PutPixel(&bmp, 4, 2, 0xFFABCDEF, 1.0f, OpMix);
    EXPECT_EQ(bmp.Pixels()[5 * 3 - 1], 0xFFABCDEFu);
}

TEST(HeapBitmap, WithoutAPositiveSizeHasNoBlockAndKeepsTheSizes) {
    HeapBitmap empty;
    EXPECT_EQ(empty.Pixels(), nullptr);
    EXPECT_EQ(empty.Width(), 0);
    HeapBitmap noRows(0, 5);
    EXPECT_EQ(noRows.Pixels(), nullptr);
    EXPECT_EQ(noRows.Height(), 5);
    // Two negative sizes multiply to a positive count; still no block.
    HeapBitmap negative(-2, -3);
    EXPECT_EQ(negative.Pixels(), nullptr);
    EXPECT_EQ(negative.Width(), -2);
    // A block too large to address is not attempted.
    HeapBitmap huge(INT_MAX, INT_MAX);
    EXPECT_EQ(huge.Pixels(), nullptr);
    FillRect(&noRows, 0, 0, 5, 5, 0xFFFFFFFF, 1.0f, OpMix);
    EXPECT_EQ(GetPixel(&negative, 0, 0), 0u);
}

TEST(HeapBitmap, ResizeReportsAndMakesMemoryOnlyForANewSize) {
    HeapBitmap bmp(4, 4);
    MaskRect(&bmp, 0, 0, 4, 4, 0, 0x12345678);
    EXPECT_FALSE(bmp.Resize(4, 4));
    EXPECT_EQ(GetPixel(&bmp, 3, 3), 0x12345678u); // kept
    EXPECT_TRUE(bmp.Resize(64, 32));
    ASSERT_NE(bmp.Pixels(), nullptr);
    EXPECT_EQ(bmp.Width(), 64);
    EXPECT_EQ(bmp.RowSpan(), 64);
    FillRect(&bmp, 0, 0, 64, 32, 0xFF000000, 1.0f, OpMix); // whole block writable
    EXPECT_EQ(GetPixel(&bmp, 63, 31), 0xFF000000u);
    EXPECT_TRUE(bmp.Resize(0, 32));
    EXPECT_EQ(bmp.Pixels(), nullptr);
    EXPECT_TRUE(bmp.Resize(2, 2));
    EXPECT_NE(bmp.Pixels(), nullptr);
    EXPECT_TRUE(bmp.Resize(-2, -2));
    EXPECT_EQ(bmp.Pixels(), nullptr);
}

#ifdef _WIN32

TEST(DibBitmap, IsATopDownSectionSelectedIntoItsOwnDeviceContext) {
    DibBitmap bmp(16, 8);
    ASSERT_NE(bmp.Pixels(), nullptr);
    ASSERT_NE(bmp.DeviceContext(), nullptr);
    EXPECT_EQ(bmp.RowSpan(), 16);
    EXPECT_FALSE(bmp.IsBottomUp());
    FillRect(&bmp, 0, 0, 16, 8, 0xFF000000, 1.0f, OpMix);
    PutPixel(&bmp, 3, 2, 0xFF102030, 1.0f, OpMix);
    // GDI reads the same pixel at the same place: rows are not flipped, and
    // the word's bytes are blue, green, red in memory.
    HDC dc = static_cast<HDC>(bmp.DeviceContext());
    EXPECT_EQ(::GetPixel(dc, 3, 2), RGB(0x10, 0x20, 0x30));
    EXPECT_EQ(::GetPixel(dc, 3, 5), RGB(0, 0, 0));
    // And what GDI draws lands in the pixels.
    SetPixel(dc, 7, 6, RGB(0xAA, 0xBB, 0xCC));
    GdiFlush();
    EXPECT_EQ(GetPixel(&bmp, 7, 6) & 0x00FFFFFF, 0x00AABBCCu);
}

TEST(DibBitmap, ResizeMakesANewSectionOnlyForANewPositiveSize) {
    DibBitmap bmp(8, 8);
    EXPECT_FALSE(bmp.Resize(8, 8));
    EXPECT_TRUE(bmp.Resize(32, 4));
    ASSERT_NE(bmp.Pixels(), nullptr);
    FillRect(&bmp, 0, 0, 32, 4, 0xFF445566, 1.0f, OpMix);
    EXPECT_EQ(::GetPixel(static_cast<HDC>(bmp.DeviceContext()), 31, 3), RGB(0x44, 0x55, 0x66));
    // A zero size is stored but makes no section; drawing then does nothing.
    EXPECT_FALSE(bmp.Resize(0, 4));
    EXPECT_EQ(bmp.Width(), 0);
    FillRect(&bmp, 0, 0, 32, 4, 0xFFFFFFFF, 1.0f, OpMix);
    EXPECT_EQ(GetPixel(&bmp, 0, 0), 0u);
    EXPECT_TRUE(bmp.Resize(5, 5));
    EXPECT_NE(bmp.Pixels(), nullptr);
    // A negative size is a change too; it releases the section.
    EXPECT_TRUE(bmp.Resize(-1, 5));
    EXPECT_EQ(bmp.Pixels(), nullptr);
}

#endif
