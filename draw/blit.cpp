#include "draw/blit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "draw/pixel_ops.h"

namespace {

using namespace pixel_ops;

// ---------------------------------------------------------------------------
// Coordinates

constexpr double kCoordLimit = 1e15;

// trunc(v) as an integer, limited far beyond any bitmap; NaN lands outside.
long long TruncCoord(double v) {
    if (!(v == v)) return -(1LL << 50);
    if (v > kCoordLimit) return (1LL << 50);
    if (v < -kCoordLimit) return -(1LL << 50);
    return (long long)v;
}

// v in 16.16 fixed point, truncated once and held to the 32-bit range, so a
// position stepped across any destination row stays far inside 64 bits.
long long ToFixed(double v) {
    const double f = v * 65536.0;
    if (!(f == f)) return 0;
    if (f > 2147483647.0) return 2147483647LL;
    if (f < -2147483648.0) return -2147483648LL;
    return (long long)f;
}

int ClampToInt(long long v) {
    return v > 2147483647LL ? 2147483647 : v < -2147483647LL ? -2147483647 : int(v);
}

// floor(v / 65536) for the nearest sampling of scaled copies.
inline long long FloorFixed(long long v) {
    return v >= 0 ? v / 65536 : -((-v + 65535) / 65536);
}

// ---------------------------------------------------------------------------
// Sampling of scaled and rotated copies

// The source pixels a copy may read; x1 and y1 exclusive.
struct Window {
    long long x0, y0, x1, y1;
};

inline bool SampleNearest(const View& src, const Window& win, long long ix, long long iy,
                          Src* out) {
    if (ix < win.x0 || ix >= win.x1 || iy < win.y0 || iy >= win.y1) return false;
    *out = Unpack(src.Row(iy)[ix]);
    return true;
}

inline int Lerp2(int p, int q, long long f) {
    return int((p * (65535 - f) + q * f) / 65536);
}

// Four taps inside the window, two along the last column or row, the pixel
// itself in the last corner; the tap weights total 65535.
inline bool SampleBilinear(const View& src, const Window& win, long long ix, long long iy,
                           long long fx, long long fy, Src* out) {
    const bool innerX = ix >= win.x0 && ix < win.x1 - 1;
    const bool innerY = iy >= win.y0 && iy < win.y1 - 1;
    const bool lastX = ix == win.x1 - 1 && ix >= win.x0;
    const bool lastY = iy == win.y1 - 1 && iy >= win.y0;
    if (!((innerX || lastX) && (innerY || lastY))) return false;
    const uint32_t* row = src.Row(iy) + ix;
    if (innerX && innerY) {
        const uint32_t* below = src.Row(iy + 1) + ix;
        // Tap weights stay within +-2^17, so the sums fit in 32 bits.
        const int c = int(fx * fy / 65536);
        const int wTopLeft = 65535 - int(fx) - int(fy) + c;
        const int wTopRight = int(fx) - c;
        const int wBottomLeft = int(fy) - c;
        const int wBottomRight = c;
        const uint32_t p[4] = {row[0], row[1], below[0], below[1]};
        int ch[4];
        for (int k = 0; k < 4; ++k) {
            const int shift = 8 * k;
            const int sum = wTopLeft * int((p[0] >> shift) & 0xFF) +
                            wTopRight * int((p[1] >> shift) & 0xFF) +
                            wBottomLeft * int((p[2] >> shift) & 0xFF) +
                            wBottomRight * int((p[3] >> shift) & 0xFF);
            ch[k] = int(Clamp255(sum / 65536));
        }
        *out = {ch[0], ch[1], ch[2], ch[3]};
        return true;
    }
    Src first = Unpack(row[0]);
    if (lastX && innerY) {
        const Src next = Unpack(src.Row(iy + 1)[ix]);
        first = {Lerp2(first.b, next.b, fy), Lerp2(first.g, next.g, fy), Lerp2(first.r, next.r, fy),
                 Lerp2(first.a, next.a, fy)};
    } else if (lastY && innerX) {
        const Src next = Unpack(row[1]);
        first = {Lerp2(first.b, next.b, fx), Lerp2(first.g, next.g, fx), Lerp2(first.r, next.r, fx),
                 Lerp2(first.a, next.a, fx)};
    }
    *out = {int(Clamp255(first.b)), int(Clamp255(first.g)), int(Clamp255(first.r)),
            int(Clamp255(first.a))};
    return true;
}

// ---------------------------------------------------------------------------
// Row families: one template each, instantiated per operation and alpha choice

template <class Op>
void BlitRows(const View& dst, long long dx, long long dy, const View& src, long long sx,
              long long sy, int width, int rows, int weight) {
    for (int y = 0; y < rows; ++y) {
        uint32_t* d = dst.Row(dy + y) + dx;
        const uint32_t* s = src.Row(sy + y) + sx;
        for (int x = 0; x < width; ++x)
            Op::Apply(d[x], Unpack(s[x]), weight);
    }
}

template <class Op>
void FillRows(const View& dst, int x, int y, int width, int rows, const Src& color, int weight) {
    for (int row = 0; row < rows; ++row) {
        uint32_t* d = dst.Row(y + row) + x;
        for (int i = 0; i < width; ++i)
            Op::Apply(d[i], color, weight);
    }
}

// One destination rectangle walked left to right, top to bottom.
struct Target {
    long long x, y;
    int width, rows;
};

// Scaled copies step x in 16.16 and keep y as a float.
template <class Op, bool Bilinear>
void ScaleRows(const View& dst, const Target& t, const View& src, const Window& win,
               long long xStart, long long xStep, double y, double yStep, int weight) {
    for (int row = 0; row < t.rows; ++row, y += yStep) {
        uint32_t* d = dst.Row(t.y + row) + t.x;
        const long long iy = TruncCoord(y);
        const long long fy = TruncCoord((y - double(iy)) * 65536.0);
        long long x = xStart;
        for (int i = 0; i < t.width; ++i, x += xStep) {
            Src s;
            const bool hit = Bilinear ? SampleBilinear(src, win, x / 65536, iy, x & 0xFFFF, fy, &s)
                                      : SampleNearest(src, win, FloorFixed(x), iy, &s);
            if (hit) Op::Apply(d[i], s, weight);
        }
    }
}

// Rotated copies step both coordinates in 16.16 along columns and rows.
struct Walk {
    long long x, y;       // source point of the first destination pixel
    long long colX, colY; // per destination column
    long long rowX, rowY; // per destination row
};

template <class Op, bool Bilinear>
void TransformRows(const View& dst, const Target& t, const View& src, const Window& win,
                   const Walk& walk, int weight) {
    long long rowX = walk.x;
    long long rowY = walk.y;
    for (int row = 0; row < t.rows; ++row, rowX += walk.rowX, rowY += walk.rowY) {
        uint32_t* d = dst.Row(t.y + row) + t.x;
        long long x = rowX;
        long long y = rowY;
        for (int i = 0; i < t.width; ++i, x += walk.colX, y += walk.colY) {
            Src s;
            const bool hit = Bilinear ? SampleBilinear(src, win, x / 65536, y / 65536, x & 0xFFFF,
                                                       y & 0xFFFF, &s)
                                      : SampleNearest(src, win, x / 65536, y / 65536, &s);
            if (hit) Op::Apply(d[i], s, weight);
        }
    }
}

// Cuts (x, y, w, h) to the view; false when nothing is left.
bool ClipRect(const View& view, int x, int y, int w, int h, Target* out) {
    long long left = x, top = y, width = w, rows = h;
    if (left < 0) {
        width += left;
        left = 0;
    }
    if (top < 0) {
        rows += top;
        top = 0;
    }
    if (width > view.width - left) width = view.width - left;
    if (rows > view.height - top) rows = view.height - top;
    if (width <= 0 || rows <= 0) return false;
    *out = {left, top, int(width), int(rows)};
    return true;
}

// A negative destination size covers the pixels from d + size to d: makes the
// size positive and starts the source walk at the rectangle's other edge, so
// the destination receives the source reversed along that axis.
void FlipNegativeSize(long long* d, long long* size, double* start, double* extent) {
    if (*size >= 0) return;
    *d += *size;
    *size = -*size;
    *start += *extent;
    *extent = -*extent;
}

// Moves a destination start below 0 to 0 (advancing the source by as many
// steps) and cuts the length at the destination's edge; false when empty.
bool ClipAxis(long long* d, long long* length, long long limit, double* start, double step,
              double* start2 = nullptr, double step2 = 0) {
    if (*d < 0) {
        *start -= double(*d) * step;
        if (start2) *start2 -= double(*d) * step2;
        *length += *d;
        *d = 0;
    }
    if (*length > limit - *d) *length = limit - *d;
    return *length >= 1;
}

bool AllFinite(std::initializer_list<float> values) {
    for (float v : values)
        if (!std::isfinite(v)) return false;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------

void Blit(Bitmap* dstBitmap, const Bitmap* srcBitmap, int dx, int dy, const PixelRect* srcRect,
          float weight, BlitFlags flags) {
    View dst, src;
    if (!MakeView(dstBitmap, &dst) || !MakeView(srcBitmap, &src)) return;
    long long sx = 0, sy = 0, right = src.width, bottom = src.height;
    long long x = dx, y = dy;
    if (srcRect) {
        sx = srcRect->left > 0 ? srcRect->left : 0;
        sy = srcRect->top > 0 ? srcRect->top : 0;
        if (srcRect->right < right) right = srcRect->right;
        if (srcRect->bottom < bottom) bottom = srcRect->bottom;
    }
    if (x < 0) {
        sx -= x;
        x = 0;
    }
    if (y < 0) {
        sy -= y;
        y = 0;
    }
    if (dst.width < right + x - sx) right = dst.width + sx - x;
    if (dst.height < bottom + y - sy) bottom = dst.height + sy - y;
    if (sx >= right || sy >= bottom) return;
    const int width = int(right - sx);
    const int rows = int(bottom - sy);

    const uint32_t op = flags & OpMask;
    if (op >= OpChannelCopy) {
        const int to = 8 * int((flags >> 2) & 3);
        const int from = 8 * int(flags & 3);
        for (int row = 0; row < rows; ++row) {
            uint32_t* d = dst.Row(y + row) + x;
            const uint32_t* s = src.Row(sy + row) + sx;
            for (int i = 0; i < width; ++i)
                d[i] = (d[i] & ~(0xFFu << to)) | (((s[i] >> from) & 0xFF) << to);
        }
        return;
    }
    if (op == OpMix && !(flags & UseSourceAlpha) && weight == 1.0f) {
        // memmove: a bitmap may be copied onto itself.
        for (int row = 0; row < rows; ++row)
            std::memmove(dst.Row(y + row) + x, src.Row(sy + row) + sx, size_t(width) * 4);
        return;
    }
    const int w = WeightToInt(weight);
    Dispatch(flags, weight, [&](auto pixelOp) {
        BlitRows<decltype(pixelOp)>(dst, x, y, src, sx, sy, width, rows, w);
    });
}

void BlitRect(Bitmap* dst, const Bitmap* src, int dx, int dy, int sx, int sy, int w, int h,
              float weight, BlitFlags flags) {
    const PixelRect rect = {sx, sy, ClampToInt((long long)sx + w), ClampToInt((long long)sy + h)};
    Blit(dst, src, dx, dy, &rect, weight, flags);
}

void CopyBitmap(Bitmap* dst, const Bitmap* src) {
    // The destination may be empty: it is sized here. The source must be
    // drawable, or the destination would take its size but not its pixels.
    View source;
    if (!dst || !MakeView(src, &source)) return;
    dst->Resize(src->Width(), src->Height());
    Blit(dst, src, 0, 0, nullptr, 1.0f, 0);
}

void FillRect(Bitmap* dstBitmap, int x, int y, int w, int h, uint32_t color, float weight,
              BlitFlags flags) {
    View dst;
    Target t;
    if (std::isnan(weight) || !MakeView(dstBitmap, &dst)) return;
    if (flags & UseSourceAlpha) weight = weight * float(color >> 24) * (1.0f / 255.0f);
    if (!ClipRect(dst, x, y, w, h, &t)) return;
    const int W = WeightToInt(weight);
    Src s = Unpack(color);
    s.a = W; // the weight stands in for the source alpha of a fill
    const int left = int(t.x), top = int(t.y);
    switch (flags & OpMask) {
    case OpMix:
        FillRows<PixelOp<Mode::Mix, false>>(dst, left, top, t.width, t.rows, s, W);
        break;
    case OpAdd:
        FillRows<PixelOp<Mode::Add, false>>(dst, left, top, t.width, t.rows, s, W);
        break;
    case OpDodge:
        FillRows<PixelOp<Mode::Dodge, false>>(dst, left, top, t.width, t.rows, s, W);
        break;
    default:
        break;
    }
}

void MaskRect(Bitmap* dstBitmap, int x, int y, int w, int h, uint32_t andMask, uint32_t orBits) {
    View dst;
    Target t;
    if (!MakeView(dstBitmap, &dst) || !ClipRect(dst, x, y, w, h, &t)) return;
    for (int row = 0; row < t.rows; ++row) {
        uint32_t* d = dst.Row(t.y + row) + t.x;
        for (int i = 0; i < t.width; ++i)
            d[i] = (d[i] & andMask) | orBits;
    }
}

uint32_t GetPixel(const Bitmap* bmp, int x, int y) {
    View view;
    if (!MakeView(bmp, &view)) return 0;
    if (x < 0 || y < 0 || x >= view.width || y >= view.height) return 0;
    return view.Row(y)[x];
}

void PutPixel(Bitmap* dstBitmap, int x, int y, uint32_t color, float weight, BlitFlags flags) {
    View dst;
    if (!MakeView(dstBitmap, &dst)) return;
    if (x < 0 || y < 0 || x >= dst.width || y >= dst.height) return;
    uint32_t& pixel = dst.Row(y)[x];
    const int w = WeightToInt(weight);
    Dispatch(flags, weight,
             [&](auto pixelOp) { decltype(pixelOp)::Apply(pixel, Unpack(color), w); });
}

void ScaleBlit(Bitmap* dstBitmap, const Bitmap* srcBitmap, int dx, int dy, int dw, int dh, float sx,
               float sy, float sw, float sh, float weight, BlitFlags flags) {
    if (dw == 0 || dh == 0 || !AllFinite({sx, sy, sw, sh})) return;
    View dst, src;
    if (!MakeView(dstBitmap, &dst) || !MakeView(srcBitmap, &src)) return;
    const bool bilinear = (flags & FilterMask) == FilterBilinear;

    // Same size at a whole-pixel position is a plain copy.
    const bool nearWhole = sx - std::floor(sx) < 0.03f && sy - std::floor(sy) < 0.03f;
    if (dw > 0 && dh > 0 && std::fabs(sw - float(dw)) < 0.001f &&
        std::fabs(sh - float(dh)) < 0.001f && (!bilinear || nearWhole)) {
        const long long left = TruncCoord(sx), top = TruncCoord(sy);
        const PixelRect rect = {ClampToInt(left), ClampToInt(top), ClampToInt(left + dw),
                                ClampToInt(top + dh)};
        Blit(dstBitmap, srcBitmap, dx, dy, &rect, weight, flags);
        return;
    }

    // The window is the source rectangle itself (from its low to its high
    // edge, whatever the sign of its size), taken before the destination is
    // clipped: a copy cut at the destination's top or left must not start
    // interpolating with pixels beyond the rectangle's far edge.
    const Window win = {
        std::max(TruncCoord(std::min(sx, sx + sw)), 0LL),
        std::max(TruncCoord(std::min(sy, sy + sh)), 0LL),
        std::min(TruncCoord(std::ceil(double(std::max(sx, sx + sw)))), (long long)src.width),
        std::min(TruncCoord(std::ceil(double(std::max(sy, sy + sh)))), (long long)src.height)};

    long long x = dx, y = dy, width = dw, rows = dh;
    double xStart = sx, yStart = sy, xExtent = sw, yExtent = sh;
    FlipNegativeSize(&x, &width, &xStart, &xExtent);
    FlipNegativeSize(&y, &rows, &yStart, &yExtent);
    const double xStep = xExtent / double(width), yStep = yExtent / double(rows);
    // A walk backwards through the source starts at the rectangle's far edge,
    // which belongs to no pixel: one step in, it samples the positions of the
    // forward copy in reverse order.
    if (xStep < 0) xStart += xStep;
    if (yStep < 0) yStart += yStep;
    if (!ClipAxis(&x, &width, dst.width, &xStart, xStep) ||
        !ClipAxis(&y, &rows, dst.height, &yStart, yStep))
        return;

    const Target t = {x, y, int(width), int(rows)};
    const long long xFixed = ToFixed(xStart), xStepFixed = ToFixed(xStep);
    const int w = WeightToInt(weight);
    Dispatch(flags, weight, [&](auto pixelOp) {
        using Op = decltype(pixelOp);
        if (bilinear) {
            ScaleRows<Op, true>(dst, t, src, win, xFixed, xStepFixed, yStart, yStep, w);
        } else {
            ScaleRows<Op, false>(dst, t, src, win, xFixed, xStepFixed, yStart, yStep, w);
        }
    });
}

void TransformBlit(Bitmap* dstBitmap, const Bitmap* srcBitmap, int dx, int dy, int dw, int dh,
                   float sx, float sy, float sw, float sh, float angle, int clipToSource,
                   float weight, BlitFlags flags, float offsetX, float offsetY) {
    if (dw == 0 || dh == 0 || !AllFinite({sx, sy, sw, sh, angle, offsetX, offsetY})) return;
    View dst, src;
    if (!MakeView(dstBitmap, &dst) || !MakeView(srcBitmap, &src)) return;
    const bool bilinear = (flags & FilterMask) == FilterBilinear;

    Window win = {0, 0, src.width, src.height};
    if (clipToSource & 0xFF) {
        win.x0 = std::max(TruncCoord(std::min(sx, sx + sw)), 0LL);
        win.y0 = std::max(TruncCoord(std::min(sy, sy + sh)), 0LL);
        win.x1 = std::min(TruncCoord(std::max(sx, sx + sw)), (long long)src.width);
        win.y1 = std::min(TruncCoord(std::max(sy, sy + sh)), (long long)src.height);
    }

    long long x = dx, y = dy, width = dw, rows = dh;
    double srcX = sx, srcY = sy, srcW = sw, srcH = sh;
    FlipNegativeSize(&x, &width, &srcX, &srcW);
    FlipNegativeSize(&y, &rows, &srcY, &srcH);

    const double s = std::sin(double(angle)), c = std::cos(double(angle));
    const double scaleX = srcW / double(width), scaleY = srcH / double(rows);
    const double colX = c * scaleX, colY = -s * scaleY;
    const double rowX = s * scaleX, rowY = c * scaleY;
    // The destination centre maps onto the source centre plus the offsets.
    double startX = srcX + srcW / 2 - (double(rows) * rowX + double(width) * colX) / 2 + offsetX;
    double startY = srcY + srcH / 2 - (double(width) * colY + double(rows) * rowY) / 2 + offsetY;
    // As in ScaleBlit, a backward walk starts one destination pixel's worth in
    // from the far edge.
    if (scaleX < 0) startX += scaleX;
    if (scaleY < 0) startY += scaleY;

    if (!ClipAxis(&x, &width, dst.width, &startX, colX, &startY, colY) ||
        !ClipAxis(&y, &rows, dst.height, &startX, rowX, &startY, rowY))
        return;

    const Target t = {x, y, int(width), int(rows)};
    const Walk walk = {ToFixed(startX), ToFixed(startY), ToFixed(colX),
                       ToFixed(colY),   ToFixed(rowX),   ToFixed(rowY)};
    const int w = WeightToInt(weight);
    Dispatch(flags, weight, [&](auto pixelOp) {
        using Op = decltype(pixelOp);
        if (bilinear) {
            TransformRows<Op, true>(dst, t, src, win, walk, w);
        } else {
            TransformRows<Op, false>(dst, t, src, win, walk, w);
        }
    });
}
