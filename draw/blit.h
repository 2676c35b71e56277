// The compositing core: unscaled, scaled and rotated copies between bitmaps,
// rectangle fills and masks, single pixels.
//
// Every routine takes the destination first and draws nothing when a bitmap
// is null, has no pixels, has no positive size or a row span shorter than its
// width. Coordinates are picture pixels (row 0 at the top) whatever the
// bitmap's memory orientation. Channels are 0..255, clamped on store.
//
// Weights are floats, 1.0 = full strength, converted once per call to
// W = trunc(weight x 256). Weights beyond +-128 count as +-128 and a NaN
// weight draws nothing, so no input can overflow the integer arithmetic.
#pragma once

#include <cstdint>

#include "draw/bitmap.h"

// The operation word passed to every routine.
//   bits 0-7   operation: OpMix, OpAdd, OpDodge, or 240-255 for OpChannelCopy
//              (unscaled blits only); any other value draws nothing
//   bits 8-15  filter of scaled and rotated copies: exactly 1 is bilinear,
//              anything else nearest
//   bit 16     UseSourceAlpha: the operation also weighs by the source alpha
// With OpChannelCopy, bits 2-3 name the destination byte and bits 0-1 the
// source byte (0 blue, 1 green, 2 red, 3 alpha).
using BlitFlags = uint32_t;

constexpr BlitFlags OpMix = 0;
constexpr BlitFlags OpAdd = 1;
constexpr BlitFlags OpDodge = 2;
constexpr BlitFlags OpChannelCopy = 0xF0; // 240-255
constexpr BlitFlags OpMask = 0xFF;
constexpr BlitFlags FilterBilinear = 0x100;
constexpr BlitFlags FilterMask = 0xFF00;
constexpr BlitFlags UseSourceAlpha = 0x10000;

// OpChannelCopy flags that copy source byte `from` into destination byte `to`.
constexpr BlitFlags ChannelCopy(int from, int to) {
    return OpChannelCopy | (uint32_t(to & 3) << 2) | uint32_t(from & 3);
}

// A rectangle of pixels; right and bottom are exclusive.
struct PixelRect {
    int left, top, right, bottom;
};

// Copies srcRect of src (the whole source if null; cut at the source's edges)
// to (dx, dy) in dst, clipped to dst.
void Blit(Bitmap* dst, const Bitmap* src, int dx, int dy, const PixelRect* srcRect, float weight,
          BlitFlags flags);

// Blit of the w x h pixels at (sx, sy) of src to (dx, dy).
void BlitRect(Bitmap* dst, const Bitmap* src, int dx, int dy, int sx, int sy, int w, int h,
              float weight, BlitFlags flags);

// Resizes dst to the size of src and copies src into it exactly. Nothing
// happens when src cannot be drawn from.
void CopyBitmap(Bitmap* dst, const Bitmap* src);

// Applies the operation with colour 0xAARRGGBB to the w x h pixels at (x, y).
// With UseSourceAlpha the weight is first scaled by the colour's alpha / 255.
// Only OpMix, OpAdd and OpDodge fill; the weight itself stands in for the
// source alpha channel.
void FillRect(Bitmap* dst, int x, int y, int w, int h, uint32_t color, float weight,
              BlitFlags flags);

// Every pixel of the clipped rectangle becomes (pixel AND andMask) OR orBits.
void MaskRect(Bitmap* dst, int x, int y, int w, int h, uint32_t andMask, uint32_t orBits);

// The pixel word at (x, y), or 0 outside the bitmap.
uint32_t GetPixel(const Bitmap* bmp, int x, int y);

// Applies the operation with colour 0xAARRGGBB (its alpha as source alpha) to
// the pixel at (x, y); nothing outside the bitmap.
void PutPixel(Bitmap* dst, int x, int y, uint32_t color, float weight, BlitFlags flags);

// Scales the source rectangle (sx, sy, sw, sh; fractional pixels) into the
// destination rectangle (dx, dy, dw, dh). A negative dw or dh draws the copy
// mirrored along that axis into (dx + dw .. dx) or (dy + dh .. dy); a negative
// sw or sh reads the source rectangle (sx + sw .. sx) backwards, mirroring
// too. Two negative sizes on one axis cancel.
void ScaleBlit(Bitmap* dst, const Bitmap* src, int dx, int dy, int dw, int dh, float sx, float sy,
               float sw, float sh, float weight, BlitFlags flags);

// ScaleBlit plus a rotation by angle (radians, clockwise on the screen) about
// the centres of both rectangles. offsetX and offsetY shift the source point
// the destination centre maps to. With clipToSource (low byte non-zero) only
// the source rectangle is sampled, otherwise the whole source bitmap. A
// negative size mirrors the copy as in ScaleBlit.
void TransformBlit(Bitmap* dst, const Bitmap* src, int dx, int dy, int dw, int dh, float sx,
                   float sy, float sw, float sh, float angle, int clipToSource, float weight,
                   BlitFlags flags, float offsetX, float offsetY);
