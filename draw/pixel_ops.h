// Internal to the drawing library: pixel access through a view of a bitmap,
// weight conversion, and the per-pixel operations with their dispatch, shared
// by the blitter (blit.cpp) and the primitives (primitives.cpp).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "draw/bitmap.h"
#include "draw/blit.h"

namespace pixel_ops {

// ---------------------------------------------------------------------------
// Pixel access

// A bitmap's pixels read once per call: rows are reached from row 0 with a
// signed step, so bottom-up bitmaps need no special loops.
struct View {
    uint32_t* row0 = nullptr; // row 0 (the top row of the picture for MakeView)
    ptrdiff_t step = 0;       // pixels from one row to the next
    int width = 0;
    int height = 0;
    // Pixels the primitives may change: columns clipL..clipR-1 of rows
    // clipT..clipB-1 (the whole view unless a clip is given). Where a
    // primitive's pixels fall does not depend on it.
    int clipL = 0, clipT = 0, clipR = 1 << 30, clipB = 1 << 30;

    uint32_t* Row(long long y) const { return row0 + ptrdiff_t(y) * step; }
    bool InClip(long long x, long long y) const {
        return x >= clipL && x < clipR && y >= clipT && y < clipB;
    }
};

// Fills view from bmp, row 0 being the picture's top row; false when there is
// nothing to draw into or from. With memoryOrder, row 0 is the first row in
// memory instead, whatever the bitmap's orientation.
inline bool MakeView(const Bitmap* bmp, View* view, bool memoryOrder = false) {
    if (!bmp) return false;
    uint32_t* pixels = bmp->Pixels();
    const int width = bmp->Width();
    const int height = bmp->Height();
    const int span = bmp->RowSpan();
    if (!pixels || width <= 0 || height <= 0 || span < width) return false;
    view->width = width;
    view->height = height;
    if (bmp->IsBottomUp() && !memoryOrder) {
        view->row0 = pixels + ptrdiff_t(height - 1) * span;
        view->step = -ptrdiff_t(span);
    } else {
        view->row0 = pixels;
        view->step = span;
    }
    return true;
}

// Source channels as signed ints: fills pass their weight as the alpha.
struct Src {
    int b, g, r, a;
};

inline Src Unpack(uint32_t p) {
    return {int(p & 0xFF), int((p >> 8) & 0xFF), int((p >> 16) & 0xFF), int(p >> 24)};
}

inline uint32_t Clamp255(int v) {
    return v < 0 ? 0u : v > 255 ? 255u : uint32_t(v);
}

inline uint32_t Pack(int b, int g, int r, int a) {
    return Clamp255(b) | Clamp255(g) << 8 | Clamp255(r) << 16 | Clamp255(a) << 24;
}

// ---------------------------------------------------------------------------
// Weights

constexpr int kMaxWeight = 128 * 256;

// W = trunc(weight x 256), limited so that no channel product can overflow.
inline int WeightToInt(float weight) {
    const double w = double(weight) * 256.0;
    if (!(w == w)) return 0;
    if (w > kMaxWeight) return kMaxWeight;
    if (w < -kMaxWeight) return -kMaxWeight;
    return int(w);
}

// ---------------------------------------------------------------------------
// Per-pixel operations

enum class Mode { Mix, Add, Dodge };

// One channel: d the destination's, s the source's, w the effective weight in
// 1/256. base is 256 for the plain mix and 255 for the alpha-weighted one, so
// an opaque source at full weight stores s x 255 / 256 there.
template <Mode M>
inline int Combine(int d, int s, int w, int base) {
    if (M == Mode::Mix) return (d * (base - w) + s * w) / 256;
    if (M == Mode::Add) return d + s * w / 256;
    const int scaled = s * w / 256;
    return scaled <= 253 ? d * 256 / (255 - scaled) : d * 256;
}

// The per-pixel operation; the alpha-weighted members scale the weight by the
// source alpha first, and mix and add leave the pixel alone for alpha 0.
template <Mode M, bool UseAlpha>
struct PixelOp {
    static inline void Apply(uint32_t& pixel, const Src& s, int weight) {
        int w = weight;
        int base = 256;
        if (UseAlpha) {
            if (M != Mode::Dodge && s.a == 0) return;
            w = s.a * weight / 256;
            base = 255;
        }
        const int b = int(pixel & 0xFF);
        const int g = int((pixel >> 8) & 0xFF);
        const int r = int((pixel >> 16) & 0xFF);
        const int a = int(pixel >> 24);
        pixel = Pack(Combine<M>(b, s.b, w, base), Combine<M>(g, s.g, w, base),
                     Combine<M>(r, s.r, w, base), Combine<M>(a, s.a, w, base));
    }
};

template <Mode M, class Fn>
void WithAlphaChoice(bool useAlpha, Fn& fn) {
    if (useAlpha) {
        fn(PixelOp<M, true>{});
    } else {
        fn(PixelOp<M, false>{});
    }
}

// Calls fn with the operation the flags select, if the weight lets it run:
// a mix needs a positive weight, add and dodge a non-zero one.
template <class Fn>
void Dispatch(BlitFlags flags, float weight, Fn&& fn) {
    if (std::isnan(weight)) return;
    const bool useAlpha = (flags & UseSourceAlpha) != 0;
    switch (flags & OpMask) {
    case OpMix:
        if (weight > 0) WithAlphaChoice<Mode::Mix>(useAlpha, fn);
        break;
    case OpAdd:
        if (weight != 0) WithAlphaChoice<Mode::Add>(useAlpha, fn);
        break;
    case OpDodge:
        if (weight != 0) WithAlphaChoice<Mode::Dodge>(useAlpha, fn);
        break;
    default:
        break;
    }
}

} // namespace pixel_ops
