// The software drawing layer: the back buffer every control draws into, a
// scratch bitmap for masked knobs, the bitmaps the editor keeps, and the
// drawing operations of the editor interface carried out with the blitter and
// the line, arc and circle primitives. The window faces derive from it and
// supply the window-bound operations (painting to the screen, text, prompts,
// dialogs). In a drawing pass every operation changes only the pixels inside
// the pass's area, exactly as it would draw them without that limit, so a
// control can be drawn again in part.
#pragma once

#include <memory>
#include <vector>

#include "draw/bitmap.h"
#include "draw/primitives.h"
#include "editor/editor.h"

class RasterEditor : public Editor {
public:
    RasterEditor(EffectBase* effect, int32_t width, int32_t height, int32_t fps);
    // Deletes the back buffer, the scratch bitmap, then the kept bitmaps from
    // the last to the first.
    ~RasterEditor() override;

    // A back buffer of the view's size and an empty scratch bitmap (replacing
    // any earlier ones).
    void PrepareSurface() override;

    bool DrawBitmap(const BitmapRef& bitmap, const Rect& dest, int srcX, int srcY,
                    const Blend* blend) override;
    bool DrawRotatedBitmap(const BitmapRef& bitmap, int cx, int cy, double angle, int yOffset,
                           const Blend* blend) override;
    bool DrawMaskedRotated(const BitmapRef& base, const BitmapRef& mask, const BitmapRef& top,
                           int x, int y, double angle, const Blend* blend) override;
    bool DrawPoint(const Color& color, float x, float y, const Blend* blend) override;
    // Outside the back buffer nothing is written (false).
    bool WritePixel(const Color& color, int x, int y) override;
    bool WriteColumn(int x, int y, int dir, const uint32_t* words, int count) override;
    bool DrawLine(const Color& color, float x1, float y1, float x2, float y2, const Blend* blend,
                  bool antiAlias) override;
    bool DrawArc(const Color& color, float cx, float cy, float r, float startAngle, float endAngle,
                 const Blend* blend, bool antiAlias) override;
    bool DrawCircle(const Color& color, float cx, float cy, float r, const Blend* blend,
                    bool antiAlias) override;
    bool FillColorRect(const Color& color, const Rect& rect, const Blend* blend) override;
    Color GetPoint(int x, int y) override;
    // The core's SetSize, then the back buffer takes the new size.
    void SetSize(int32_t width, int32_t height) override;
    // The PNG resource of the module with that id, kept by the editor.
    BitmapRef LoadEditorBitmap(int resourceId, const char* fileName, int frames) override;
    // Copies of a bitmap the editor keeps; an empty reference when the source
    // has no pixels or the size has none.
    BitmapRef ScaledCopy(const BitmapRef& bitmap, int width, int height) override;
    BitmapRef CutOutCopy(const BitmapRef& bitmap, const Rect& rect) override;
    // Limited to both the view and the back buffer whatever the coordinates.
    bool DrawVerticalLine(const Color& color, int x, int yLo, int yHi) override;
    bool DrawHorizontalLine(const Color& color, int y, int xLo, int xHi) override;
    // Keeping a bitmap twice keeps it once.
    void KeepBitmap(const BitmapRef& bitmap) override;
    void DropBitmap(const BitmapRef& bitmap) override;

    // The picture of the whole editor (null before PrepareSurface).
    Bitmap* BackBuffer() const { return mBackBuffer.get(); }
    int KeptBitmapCount() const { return int(mOwnedBitmaps.size()); }
    bool KeepsBitmap(const Bitmap* bitmap) const;

protected:
    // Makes the back buffer: a DibBitmap on Windows (the window copies it to
    // the screen through its device context), a HeapBitmap elsewhere.
    virtual Bitmap* NewBackBuffer(int width, int height);
    // The back buffer's part of ScrollBack: moves the pixels inside area (kept
    // to the view and the buffer) by dx columns, row by row. False when there
    // is no buffer to move in.
    bool MoveBackPixels(const Rect& area, int dx);

    std::unique_ptr<Bitmap> mBackBuffer;
    std::vector<Bitmap*> mOwnedBitmaps; // owned
    std::unique_ptr<HeapBitmap> mScratch;

private:
    // The width and height both the view and the back buffer have (0 when
    // there is no buffer to draw into).
    bool DrawableSize(int& width, int& height) const;
    // Keeps a new bitmap and returns its reference.
    BitmapRef Adopt(std::unique_ptr<Bitmap> bitmap, int frames);
    // Pointer to pixel (x, y) of the back buffer, which must lie inside it.
    uint32_t* PixelAddress(int x, int y) const;
    // A line of a drawing pass cut to the pass's area where that draws the
    // same pixels (a straight line's ends moved inside it); false when none
    // of its pixels can fall inside.
    bool CutToPass(float& x1, float& y1, float& x2, float& y2) const;
    // The pass's area as the primitives' clip (filled into clip), or null
    // outside a drawing pass.
    const PixelClip* PassClip(PixelClip& clip) const;
};
