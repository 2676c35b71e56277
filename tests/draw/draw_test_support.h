// Bitmaps and PNG helpers shared by the drawing tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "draw/bitmap.h"
#include "draw/png_write.h" // WriteRgbPng saves pictures of failures

// A bitmap with a chosen memory orientation and row span. The pixels beyond
// the width of each row hold a guard word that no routine may touch.
class TestBitmap : public Bitmap {
public:
    static constexpr uint32_t kGuard = 0xDEADBEEF;

    TestBitmap(int width, int height, bool bottomUp, int span = 0)
        : mWidth(width), mHeight(height), mSpan(span > 0 ? span : width), mBottomUp(bottomUp),
          mMemory(size_t(mSpan) * size_t(height > 0 ? height : 0), kGuard) {
        Clear(0);
    }

    uint32_t* Pixels() const override {
        return mMemory.empty() ? nullptr : const_cast<uint32_t*>(mMemory.data());
    }
    int Width() const override { return mWidth; }
    int Height() const override { return mHeight; }
    int RowSpan() const override { return mSpan; }
    bool IsBottomUp() const override { return mBottomUp; }
    bool Resize(int, int) override { return false; } // fixed size

    // Picture pixel (x, y), found in memory independently of the blitter.
    uint32_t& At(int x, int y) {
        const int row = mBottomUp ? mHeight - 1 - y : y;
        return mMemory[size_t(row) * mSpan + x];
    }
    void Clear(uint32_t value) {
        for (int y = 0; y < mHeight; ++y)
            for (int x = 0; x < mWidth; ++x)
                At(x, y) = value;
    }
    bool GuardsIntact() const {
        for (int row = 0; row < mHeight; ++row)
            for (int x = mWidth; x < mSpan; ++x)
                if (mMemory[size_t(row) * mSpan + x] != kGuard) return false;
        return true;
    }

private:
    int mWidth, mHeight, mSpan;
    bool mBottomUp;
    std::vector<uint32_t> mMemory;
};

// Fills every pixel of bmp with a word unique to its position and seed.
void FillPattern(TestBitmap& bmp, uint32_t seed);

struct PngLayout {
    int width = 1;
    int height = 1;
    int colorType = 6; // PNG colour type 0, 2, 3, 4 or 6
    int bitDepth = 8;
    bool interlaced = false;
    std::vector<uint8_t> palette;      // RGB triples for colour type 3
    std::vector<uint8_t> transparency; // tRNS chunk contents, if any
};

// Encodes rows of raw PNG samples (packed as PNG stores them, big-endian for
// 16 bits) into a PNG file in memory.
std::vector<uint8_t> EncodePng(const PngLayout& layout,
                               const std::vector<std::vector<uint8_t>>& rows);
