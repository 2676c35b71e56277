// A bitmap in a GDI DIB section selected into its own memory device context,
// so the window can copy it to the screen without conversion (Windows only).
#pragma once

#include "draw/bitmap.h"

class DibBitmap : public Bitmap {
public:
    // Creates the memory device context, then a top-down section of the size.
    DibBitmap(int width, int height);
    ~DibBitmap() override;
    DibBitmap(const DibBitmap&) = delete;
    DibBitmap& operator=(const DibBitmap&) = delete;

    uint32_t* Pixels() const override { return mBits; }
    int Width() const override { return mWidth; }
    int Height() const override { return mHeight; }
    int RowSpan() const override { return mWidth; }
    bool IsBottomUp() const override { return false; }
    // Replaces the section with one of the new size; true if the size
    // changed, even when no section could be made (Pixels() is then null). A
    // zero width or height is stored, keeps the old section and answers false.
    bool Resize(int width, int height) override;
    void* DeviceContext() const override { return mDc; }

private:
    void ReleaseSection();

    int mWidth = 0;
    int mHeight = 0;
    void* mDc = nullptr;        // HDC, owned
    uint32_t* mBits = nullptr;  // pixels of mDib
    void* mDib = nullptr;       // HBITMAP, owned
    void* mOldObject = nullptr; // what mDc selected before mDib
};
