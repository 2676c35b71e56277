// Single-pixel lines, arcs and circles with optional two-pixel anti-aliasing,
// under the blitter's operations, weights and source-alpha rule (draw/blit.h).
// The colour's alpha serves as source alpha. Every routine takes the
// destination first, draws nothing when it or its pixels are null, stays
// inside the bitmap whatever the coordinates, and draws nothing for
// non-finite or out-of-int-range coordinates, radii and angles.
#pragma once

#include <cstdint>

#include "draw/bitmap.h"
#include "draw/blit.h"

// Picture pixels (top row 0) a primitive may change: columns l..r-1 of rows
// t..b-1. A primitive drawn with a clip changes exactly the pixels it changes
// without one that lie inside the clip, to the same values; so a picture can
// be mended in parts.
struct PixelClip {
    int l, t, r, b;
};

// A segment from (x1, y1) to (x2, y2), both ends included; coordinates are
// truncated to whole pixels first, then clipped to the bitmap.
void Line(Bitmap* dst, float x1, float y1, float x2, float y2, uint32_t color, float weight,
          BlitFlags flags, bool antiAlias, const PixelClip* clip = nullptr);

// An arc of radius r about (cx, cy) from startAngle to endAngle (radians, 0 at
// 12 o'clock, growing clockwise on the screen).
void Arc(Bitmap* dst, float cx, float cy, float r, float startAngle, float endAngle, uint32_t color,
         float weight, BlitFlags flags, bool antiAlias, const PixelClip* clip = nullptr);

// The whole circle: Arc from 0 to 6.2831855.
void Circle(Bitmap* dst, float cx, float cy, float r, uint32_t color, float weight, BlitFlags flags,
            bool antiAlias, const PixelClip* clip = nullptr);
