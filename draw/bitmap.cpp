#include "draw/bitmap.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Bytes for width x height pixels, or 0 when either is not positive or the
// block would not be addressable.
size_t BlockBytes(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    const uint64_t pixels = uint64_t(width) * uint64_t(height);
    if (pixels > uint64_t(PTRDIFF_MAX) / 4) return 0;
    return size_t(pixels * 4);
}

} // namespace

HeapBitmap::HeapBitmap(int width, int height) : mWidth(width), mHeight(height) {
    const size_t bytes = BlockBytes(width, height);
    if (bytes > 0) mPixels = static_cast<uint32_t*>(std::malloc(bytes));
}

HeapBitmap::~HeapBitmap() {
    std::free(mPixels);
}

bool HeapBitmap::Resize(int width, int height) {
    if (width == mWidth && height == mHeight) return false;
    mWidth = width;
    mHeight = height;
    const size_t bytes = BlockBytes(width, height);
    if (bytes == 0) {
        std::free(mPixels);
        mPixels = nullptr;
        return true;
    }
    if (mPixels) {
        void* grown = std::realloc(mPixels, bytes);
        if (!grown) {
            // Contents need not survive, so a fresh block is as good.
            std::free(mPixels);
            grown = std::malloc(bytes);
        }
        mPixels = static_cast<uint32_t*>(grown);
    } else {
        mPixels = static_cast<uint32_t*>(std::malloc(bytes));
    }
    return true;
}
