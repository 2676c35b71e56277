// The drawing layer's vocabulary: colours, blend records and bitmap references.
// Editor-level drawing calls take these; the drawing layer maps them onto the
// blitter's flags and weights (draw/blit.h).
#pragma once

#include <cstdint>

#include "draw/bitmap.h"
#include "draw/blit.h"

// A colour with four channels 0..255, alpha first.
struct Color {
    int mA = 255, mR = 0, mG = 0, mB = 0;

    Color() = default;
    Color(int a, int r, int g, int b) : mA(a), mR(r), mG(g), mB(b) {}
    // The pixel word 0xAARRGGBB (the low byte of each channel).
    uint32_t Word() const {
        return uint32_t(mA & 0xFF) << 24 | uint32_t(mR & 0xFF) << 16 | uint32_t(mG & 0xFF) << 8 |
               uint32_t(mB & 0xFF);
    }
    // The colour of a pixel word.
    static Color FromWord(uint32_t w) {
        return Color(int(w >> 24), int(w >> 16 & 0xFF), int(w >> 8 & 0xFF), int(w & 0xFF));
    }
    bool operator==(const Color& o) const {
        return mA == o.mA && mR == o.mR && mG == o.mG && mB == o.mB;
    }
    bool operator!=(const Color& o) const { return !(*this == o); }
};

enum BlendMode : int { BlendAlpha = 0, BlendCopy = 1, BlendAdd = 2, BlendDodge = 3 };

// How a drawing call combines its source with the back buffer.
struct Blend {
    int mMode = BlendAlpha;
    float mWeight = 1.0f;

    Blend() = default;
    Blend(int mode, float weight) : mMode(mode), mWeight(weight) {}
};

// The blitter flags of a blend record (null: BlendAlpha at weight 1.0); the
// weight to pass is stored in *weight.
inline BlitFlags BlitFlagsOf(const Blend* blend, float* weight) {
    *weight = blend ? blend->mWeight : 1.0f;
    if (!blend) return OpMix | UseSourceAlpha;
    switch (blend->mMode) {
    case BlendCopy:
        return OpMix;
    case BlendAdd:
        return OpAdd | UseSourceAlpha;
    case BlendDodge:
        return OpDodge | UseSourceAlpha;
    default:
        return OpMix | UseSourceAlpha;
    }
}

// A bitmap the editor loaded or derived: the editor owns mBitmap. mFrames
// pictures of equal height are stacked vertically (1 for derived bitmaps).
struct BitmapRef {
    Bitmap* mBitmap = nullptr;
    int mW = 0, mH = 0;
    int mFrames = 1;

    BitmapRef() = default;
    BitmapRef(Bitmap* bitmap, int w, int h, int frames)
        : mBitmap(bitmap), mW(w), mH(h), mFrames(frames) {}
};
