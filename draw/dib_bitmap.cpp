#include "draw/dib_bitmap.h"

#include <windows.h>

DibBitmap::DibBitmap(int width, int height) {
    mDc = CreateCompatibleDC(nullptr);
    Resize(width, height);
}

DibBitmap::~DibBitmap() {
    ReleaseSection();
    if (mDc) DeleteDC(static_cast<HDC>(mDc));
}

void DibBitmap::ReleaseSection() {
    if (mOldObject) {
        SelectObject(static_cast<HDC>(mDc), static_cast<HGDIOBJ>(mOldObject));
        mOldObject = nullptr;
    }
    if (mDib) {
        DeleteObject(static_cast<HGDIOBJ>(mDib));
        mDib = nullptr;
    }
    mBits = nullptr;
}

bool DibBitmap::Resize(int width, int height) {
    if (width == mWidth && height == mHeight) return false;
    mWidth = width;
    mHeight = height;
    // A zero size keeps the old section, if any, selected; the drawing
    // routines see the new, empty size and draw nothing.
    if (width == 0 || height == 0) return false;

    ReleaseSection();
    // No section has a negative size: the change is reported, without memory.
    if (width < 0 || height < 0) return true;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = IsBottomUp() ? height : -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!dib) return true; // the size changed; no memory to draw into
    mDib = dib;
    mBits = static_cast<uint32_t*>(bits);
    if (mDc) mOldObject = SelectObject(static_cast<HDC>(mDc), dib);
    return true;
}
