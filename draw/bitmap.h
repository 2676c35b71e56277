// 32-bit bitmaps: the interface every drawing routine reaches pixels through,
// and the plain heap implementation.
//
// A pixel is one 32-bit word 0xAARRGGBB with straight (not premultiplied)
// alpha; in memory its bytes are blue, green, red, alpha, the layout of a
// 32-bit Windows DIB. The row span is counted in pixels.
#pragma once

#include <cstdint>

class Bitmap {
public:
    virtual ~Bitmap() = default;
    // First pixel in memory, or null when the bitmap has no memory.
    virtual uint32_t* Pixels() const = 0;
    // Size in pixels.
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    // Pixels between the starts of two rows in memory.
    virtual int RowSpan() const = 0;
    // True when memory row 0 holds the bottom row of the picture.
    virtual bool IsBottomUp() const = 0;
    // Changes the size; true if the size changed. Pixels are undefined after.
    virtual bool Resize(int width, int height) = 0;
    // GDI device context (HDC) selecting the pixels, or null.
    virtual void* DeviceContext() const { return nullptr; }
};

// A bitmap in one heap block of width x height pixels, top row first.
class HeapBitmap : public Bitmap {
public:
    HeapBitmap() = default;
    // Allocates width x height pixels (contents undefined) when both are
    // positive and the block fits in memory; otherwise no block. The sizes
    // are kept as given either way.
    HeapBitmap(int width, int height);
    ~HeapBitmap() override;
    HeapBitmap(const HeapBitmap&) = delete;
    HeapBitmap& operator=(const HeapBitmap&) = delete;

    uint32_t* Pixels() const override { return mPixels; }
    int Width() const override { return mWidth; }
    int Height() const override { return mHeight; }
    int RowSpan() const override { return mWidth; }
    bool IsBottomUp() const override { return false; }
    bool Resize(int width, int height) override;

private:
    uint32_t* mPixels = nullptr;
    int mWidth = 0;
    int mHeight = 0;
};
