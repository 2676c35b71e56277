#include "editor/raster_editor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "draw/blit.h"
#include "draw/png_resource.h"
#include "draw/primitives.h"
#include "draw/resource.h"
#ifdef _WIN32
#include "draw/dib_bitmap.h"
#endif

namespace {

// A float coordinate rounded to the nearest pixel, false when it is not a
// number or lies beyond the int range.
bool RoundedPixel(float v, int& out) {
    const double r = std::trunc(double(v) + 0.5);
    if (!(r >= double(INT32_MIN) && r <= double(INT32_MAX))) return false;
    out = int(r);
    return true;
}

// The part of a rectangle inside another; false when nothing is left.
bool Clip(const Rect& r, const Rect& to, Rect& out) {
    out = Rect(std::max(r.L, to.L), std::max(r.T, to.T), std::min(r.R, to.R), std::min(r.B, to.B));
    return out.L < out.R && out.T < out.B;
}

// A coordinate as the line drawing takes it (cut towards zero), false when
// it is not a number or lies beyond the int range.
bool CutPixel(float v, long long& out) {
    if (!(v > -2147483648.0f && v < 2147483648.0f)) return false;
    out = (long long)v;
    return true;
}

// The source position matching a clipped destination edge, false beyond int.
bool Shifted(int src, int clipped, int original, int& out) {
    const int64_t v = int64_t(src) + int64_t(clipped) - int64_t(original);
    if (v < INT32_MIN || v > INT32_MAX) return false;
    out = int(v);
    return true;
}

bool Drawable(const Bitmap* b) {
    return b && b->Pixels() && b->Width() > 0 && b->Height() > 0 && b->RowSpan() >= b->Width();
}

} // namespace

RasterEditor::RasterEditor(EffectBase* effect, int32_t width, int32_t height, int32_t fps)
    : Editor(effect, width, height, fps) {}

RasterEditor::~RasterEditor() {
    mBackBuffer.reset();
    mScratch.reset();
    while (!mOwnedBitmaps.empty()) {
        delete mOwnedBitmaps.back();
        mOwnedBitmaps.pop_back();
    }
}

Bitmap* RasterEditor::NewBackBuffer(int width, int height) {
#ifdef _WIN32
    return new DibBitmap(width, height);
#else
    return new HeapBitmap(width, height);
#endif
}

void RasterEditor::PrepareSurface() {
    mBackBuffer.reset(NewBackBuffer(mViewWidth, mViewHeight));
    mScratch.reset(new HeapBitmap());
}

void RasterEditor::SetSize(int32_t width, int32_t height) {
    Editor::SetSize(width, height);
    if (mBackBuffer) mBackBuffer->Resize(mViewWidth, mViewHeight);
}

bool RasterEditor::DrawableSize(int& width, int& height) const {
    const Bitmap* b = mBackBuffer.get();
    if (!Drawable(b)) return false;
    width = std::min<int>(mViewWidth, b->Width());
    height = std::min<int>(mViewHeight, b->Height());
    return width > 0 && height > 0;
}

uint32_t* RasterEditor::PixelAddress(int x, int y) const {
    const Bitmap* b = mBackBuffer.get();
    const int row = b->IsBottomUp() ? b->Height() - 1 - y : y;
    return b->Pixels() + ptrdiff_t(row) * b->RowSpan() + x;
}

bool RasterEditor::DrawBitmap(const BitmapRef& bitmap, const Rect& dest, int srcX, int srcY,
                              const Blend* blend) {
    Rect c;
    if (!bitmap.mBitmap || !Clip(dest, mDrawRect, c)) return true;
    int sx, sy;
    if (!Shifted(srcX, c.L, dest.L, sx) || !Shifted(srcY, c.T, dest.T, sy)) return true;
    float weight;
    const BlitFlags flags = BlitFlagsOf(blend, &weight);
    BlitRect(mBackBuffer.get(), bitmap.mBitmap, c.L, c.T, sx, sy, c.W(), c.H(), weight, flags);
    return true;
}

bool RasterEditor::DrawRotatedBitmap(const BitmapRef& bitmap, int cx, int cy, double angle,
                                     int yOffset, const Blend* blend) {
    if (!bitmap.mBitmap) return true;
    float weight;
    const BlitFlags flags = BlitFlagsOf(blend, &weight) | FilterBilinear;
    TransformBlit(mBackBuffer.get(), bitmap.mBitmap, cx - bitmap.mW / 2, cy - bitmap.mH / 2,
                  bitmap.mW, bitmap.mH, 0.0f, 0.0f, float(bitmap.mW), float(bitmap.mH),
                  float(angle), 0, weight, flags, 0.0f, float(yOffset));
    return true;
}

bool RasterEditor::DrawMaskedRotated(const BitmapRef& base, const BitmapRef& mask,
                                     const BitmapRef& top, int x, int y, double angle,
                                     const Blend* blend) {
    if (!base.mBitmap) return true;
    if (!mScratch) mScratch.reset(new HeapBitmap());
    HeapBitmap* scratch = mScratch.get();
    const int w = base.mW, h = base.mH;
    // The base picture with its alpha cleared; the rotated mask's alpha is
    // added into it, then the rotated top is mixed over it.
    CopyBitmap(scratch, base.mBitmap);
    MaskRect(scratch, 0, 0, w, h, 0x00FFFFFF, 0);
    const float radians = float(angle * 0.017453292519943295);
    const float offsetX = (w & 1) ? -0.5f : 0.0f;
    TransformBlit(scratch, mask.mBitmap, 0, 0, w, h, 0.0f, 0.0f, float(w), float(h), radians, 1,
                  1.0f, OpAdd | FilterBilinear | UseSourceAlpha, offsetX, 0.0f);
    TransformBlit(scratch, top.mBitmap, 0, 0, w, h, 0.0f, 0.0f, float(w), float(h), radians, 1,
                  1.0f, OpMix | FilterBilinear | UseSourceAlpha, offsetX, 0.0f);
    Rect c;
    const int64_t right = int64_t(x) + w, bottom = int64_t(y) + h;
    if (right > INT32_MAX || bottom > INT32_MAX) return true;
    if (!Clip(Rect(x, y, int(right), int(bottom)), mDrawRect, c)) return true;
    float weight;
    const BlitFlags flags = BlitFlagsOf(blend, &weight);
    BlitRect(mBackBuffer.get(), scratch, c.L, c.T, c.L - x, c.T - y, c.W(), c.H(), weight, flags);
    return true;
}

bool RasterEditor::CutToPass(float& x1, float& y1, float& x2, float& y2) const {
    long long ax, ay, bx, by;
    if (!CutPixel(x1, ax) || !CutPixel(y1, ay) || !CutPixel(x2, bx) || !CutPixel(y2, by))
        return true; // the line drawing refuses it itself
    const Rect& p = mDrawRect;
    // Every pixel of a line lies within a pixel of its ends' box, anti-aliased.
    if (std::max(ax, bx) + 2 <= p.L || std::min(ax, bx) - 2 >= p.R || std::max(ay, by) + 2 <= p.T ||
        std::min(ay, by) - 2 >= p.B)
        return false;
    // A straight line is one pixel per step along it: the steps inside the
    // area are the same pixels, drawn the same way.
    if (ay == by) {
        const long long lo = std::max<long long>(std::min(ax, bx), p.L);
        const long long hi = std::min<long long>(std::max(ax, bx), p.R - 1);
        if (lo > hi || ay < p.T || ay >= p.B) return false;
        x1 = float(lo), x2 = float(hi), y1 = y2 = float(ay);
    } else if (ax == bx) {
        const long long lo = std::max<long long>(std::min(ay, by), p.T);
        const long long hi = std::min<long long>(std::max(ay, by), p.B - 1);
        if (lo > hi || ax < p.L || ax >= p.R) return false;
        y1 = float(lo), y2 = float(hi), x1 = x2 = float(ax);
    }
    return true;
}

const PixelClip* RasterEditor::PassClip(PixelClip& clip) const {
    if (!mInPass) return nullptr;
    clip = {mDrawRect.L, mDrawRect.T, mDrawRect.R, mDrawRect.B};
    return &clip;
}

bool RasterEditor::DrawPoint(const Color& color, float x, float y, const Blend* blend) {
    int px, py;
    if (!RoundedPixel(x, px) || !RoundedPixel(y, py)) return true;
    if (mInPass && !mDrawRect.Contains(px, py)) return true;
    float weight;
    const BlitFlags flags = BlitFlagsOf(blend, &weight);
    PutPixel(mBackBuffer.get(), px, py, color.Word(), weight, flags);
    return true;
}

bool RasterEditor::WritePixel(const Color& color, int x, int y) {
    // Called for every pixel of a bar: the checks of DrawableSize, each
    // property asked once.
    Bitmap* b = mBackBuffer.get();
    if (!b || x < 0 || y < 0 || x >= mViewWidth || y >= mViewHeight) return false;
    if (mInPass && !mDrawRect.Contains(x, y)) return true;
    uint32_t* pixels = b->Pixels();
    const int w = b->Width(), h = b->Height(), span = b->RowSpan();
    if (!pixels || x >= w || y >= h || span < w) return false;
    const int row = b->IsBottomUp() ? h - 1 - y : y;
    pixels[ptrdiff_t(row) * span + x] = color.Word();
    return true;
}

bool RasterEditor::WriteColumn(int x, int y, int dir, const uint32_t* words, int count) {
    if (count <= 0) return true;
    Bitmap* b = mBackBuffer.get();
    if (!words || (dir != 1 && dir != -1) || !b) return false;
    // The rows the column covers, top to bottom; those outside the view fail.
    const long long end = (long long)y + (long long)(count - 1) * dir;
    const long long lo = std::min<long long>(y, end), hi = std::max<long long>(y, end);
    if (x < 0 || x >= mViewWidth) return false;
    bool ok = lo >= 0 && hi < mViewHeight;
    long long from = std::max<long long>(lo, 0), to = std::min<long long>(hi, mViewHeight - 1);
    // In a pass, pixels outside its area are left alone (and do not fail).
    if (mInPass) {
        if (x < mDrawRect.L || x >= mDrawRect.R) return ok;
        from = std::max<long long>(from, mDrawRect.T);
        to = std::min<long long>(to, mDrawRect.B - 1);
    }
    if (from > to) return ok;
    uint32_t* pixels = b->Pixels();
    const int w = b->Width(), h = b->Height(), span = b->RowSpan();
    if (!pixels || x >= w || span < w) return false;
    if (to >= h) {
        ok = false;
        to = h - 1;
    }
    if (from > to) return ok;
    // Picture rows downwards are memory rows upwards in a bottom-up buffer.
    const ptrdiff_t step = b->IsBottomUp() ? -ptrdiff_t(span) : ptrdiff_t(span);
    uint32_t* p = PixelAddress(x, int(from));
    const uint32_t* word = words + (dir > 0 ? from - y : y - from);
    const int n = int(to - from) + 1;
    if (dir > 0) {
        for (int i = 0; i < n; ++i, p += step)
            *p = word[i];
    } else {
        for (int i = 0; i < n; ++i, p += step)
            *p = word[-i];
    }
    return ok;
}

bool RasterEditor::DrawLine(const Color& color, float x1, float y1, float x2, float y2,
                            const Blend* blend, bool antiAlias) {
    if (mInPass && !CutToPass(x1, y1, x2, y2)) return true;
    float weight;
    const BlitFlags flags = BlitFlagsOf(blend, &weight);
    PixelClip clip;
    Line(mBackBuffer.get(), x1, y1, x2, y2, color.Word(), weight, flags, antiAlias, PassClip(clip));
    return true;
}

bool RasterEditor::DrawArc(const Color& color, float cx, float cy, float r, float startAngle,
                           float endAngle, const Blend* blend, bool antiAlias) {
    float weight;
    const BlitFlags flags = BlitFlagsOf(blend, &weight);
    PixelClip clip;
    Arc(mBackBuffer.get(), cx, cy, r, startAngle, endAngle, color.Word(), weight, flags, antiAlias,
        PassClip(clip));
    return true;
}

bool RasterEditor::DrawCircle(const Color& color, float cx, float cy, float r, const Blend* blend,
                              bool antiAlias) {
    float weight;
    const BlitFlags flags = BlitFlagsOf(blend, &weight);
    PixelClip clip;
    Circle(mBackBuffer.get(), cx, cy, r, color.Word(), weight, flags, antiAlias, PassClip(clip));
    return true;
}

bool RasterEditor::FillColorRect(const Color& color, const Rect& rect, const Blend* blend) {
    const Bitmap* b = mBackBuffer.get();
    if (!Drawable(b)) return true;
    // Limited to the buffer first, so no size below can overflow.
    Rect c;
    if (!Clip(rect, Rect(0, 0, b->Width(), b->Height()), c)) return true;
    // In a drawing pass, only the pass's area changes: a pass over part of
    // the window leaves the rest as the window shows it.
    if (mInPass && !Clip(c, mDrawRect, c)) return true;
    float weight;
    const BlitFlags flags = BlitFlagsOf(blend, &weight);
    FillRect(mBackBuffer.get(), c.L, c.T, c.W(), c.H(), color.Word(), weight, flags);
    return true;
}

bool RasterEditor::MoveBackPixels(const Rect& area, int dx) {
    int w, h;
    if (!DrawableSize(w, h)) return false;
    Rect c;
    if (!Clip(area, Rect(0, 0, w, h), c)) return true;
    // Columns that stay inside the area: from c.L + shift to c.R + shift.
    if (dx <= -c.W() || dx >= c.W() || dx == 0) return true;
    const int from = dx < 0 ? c.L - dx : c.L, to = dx < 0 ? c.L : c.L + dx;
    const size_t bytes = size_t(c.W() - (dx < 0 ? -dx : dx)) * 4;
    for (int y = c.T; y < c.B; ++y)
        std::memmove(PixelAddress(to, y), PixelAddress(from, y), bytes);
    return true;
}

Color RasterEditor::GetPoint(int x, int y) {
    return Color::FromWord(GetPixel(mBackBuffer.get(), x, y));
}

BitmapRef RasterEditor::LoadEditorBitmap(int resourceId, const char*, int frames) {
    Bitmap* bitmap = LoadPngResource(CurrentModule(), resourceId, nullptr);
    if (!bitmap) return BitmapRef(nullptr, 0, 0, frames);
    return Adopt(std::unique_ptr<Bitmap>(bitmap), frames);
}

BitmapRef RasterEditor::ScaledCopy(const BitmapRef& bitmap, int width, int height) {
    if (!Drawable(bitmap.mBitmap) || width <= 0 || height <= 0) return BitmapRef();
    std::unique_ptr<HeapBitmap> copy(new HeapBitmap(width, height));
    if (!copy->Pixels()) return BitmapRef();
    std::memset(copy->Pixels(), 0, size_t(width) * size_t(height) * 4);
    ScaleBlit(copy.get(), bitmap.mBitmap, 0, 0, width, height, 0.0f, 0.0f, float(bitmap.mW),
              float(bitmap.mH), 1.0f, FilterBilinear);
    return Adopt(std::move(copy), 1);
}

BitmapRef RasterEditor::CutOutCopy(const BitmapRef& bitmap, const Rect& rect) {
    const int64_t w = int64_t(rect.R) - rect.L, h = int64_t(rect.B) - rect.T;
    if (!Drawable(bitmap.mBitmap) || w <= 0 || h <= 0 || w > INT32_MAX || h > INT32_MAX)
        return BitmapRef();
    std::unique_ptr<HeapBitmap> copy(new HeapBitmap(int(w), int(h)));
    if (!copy->Pixels()) return BitmapRef();
    // Whatever lies beyond the source stays transparent black.
    std::memset(copy->Pixels(), 0, size_t(w) * size_t(h) * 4);
    BlitRect(copy.get(), bitmap.mBitmap, 0, 0, rect.L, rect.T, int(w), int(h), 1.0f, 0);
    return Adopt(std::move(copy), 1);
}

bool RasterEditor::DrawVerticalLine(const Color& color, int x, int yLo, int yHi) {
    int w, h;
    if (!DrawableSize(w, h)) return false;
    x = std::clamp(x, 0, w - 1);
    yLo = std::clamp(yLo, 0, h - 1);
    yHi = std::clamp(yHi, 0, h - 1);
    if (mInPass) {
        if (x < mDrawRect.L || x >= mDrawRect.R) return true;
        yLo = std::max(yLo, mDrawRect.T);
        yHi = std::min(yHi, mDrawRect.B - 1);
    }
    if (yHi < yLo) return true;
    const uint32_t word = color.Word();
    const Bitmap* b = mBackBuffer.get();
    // Picture rows downwards are memory rows upwards in a bottom-up buffer.
    const ptrdiff_t step = b->IsBottomUp() ? -ptrdiff_t(b->RowSpan()) : ptrdiff_t(b->RowSpan());
    uint32_t* p = PixelAddress(x, yLo);
    for (int y = yLo; y <= yHi; ++y, p += step)
        *p = word;
    return true;
}

bool RasterEditor::DrawHorizontalLine(const Color& color, int y, int xLo, int xHi) {
    int w, h;
    if (!DrawableSize(w, h)) return false;
    y = std::clamp(y, 0, h - 1);
    xLo = std::clamp(xLo, 0, w - 1);
    xHi = std::clamp(xHi, 0, w - 1);
    if (mInPass) {
        if (y < mDrawRect.T || y >= mDrawRect.B) return true;
        xLo = std::max(xLo, mDrawRect.L);
        xHi = std::min(xHi, mDrawRect.R - 1);
    }
    if (xHi < xLo) return true;
    std::fill(PixelAddress(xLo, y), PixelAddress(xHi, y) + 1, color.Word());
    return true;
}

bool RasterEditor::KeepsBitmap(const Bitmap* bitmap) const {
    return bitmap &&
           std::find(mOwnedBitmaps.begin(), mOwnedBitmaps.end(), bitmap) != mOwnedBitmaps.end();
}

BitmapRef RasterEditor::Adopt(std::unique_ptr<Bitmap> bitmap, int frames) {
    mOwnedBitmaps.reserve(mOwnedBitmaps.size() + 1); // may throw while we still own it
    Bitmap* kept = bitmap.release();
    mOwnedBitmaps.push_back(kept);
    return BitmapRef(kept, kept->Width(), kept->Height(), frames);
}

void RasterEditor::KeepBitmap(const BitmapRef& bitmap) {
    // Kept twice it would be deleted twice.
    if (bitmap.mBitmap && !KeepsBitmap(bitmap.mBitmap)) mOwnedBitmaps.push_back(bitmap.mBitmap);
}

void RasterEditor::DropBitmap(const BitmapRef& bitmap) {
    auto found = std::find(mOwnedBitmaps.begin(), mOwnedBitmaps.end(), bitmap.mBitmap);
    if (!bitmap.mBitmap || found == mOwnedBitmaps.end()) return;
    Bitmap* doomed = *found;
    mOwnedBitmaps.erase(found);
    delete doomed;
}
