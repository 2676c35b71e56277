// Text for the Linux face of the editor: FreeType renders the glyphs straight
// into a 32-bit bitmap, fontconfig resolves face names ("Arial" finds a
// metric-compatible face such as Liberation Sans). Sizes follow the Windows
// convention: the style's size is the height of a text line (ascent plus
// descent), not the em size.
#pragma once

#include <memory>
#include <string>

#include "draw/bitmap.h"
#include "editor/types.h"

class TextRaster {
public:
    TextRaster();
    ~TextRaster();
    TextRaster(const TextRaster&) = delete;
    TextRaster& operator=(const TextRaster&) = delete;

    // Draws text into rect: lines split at '\n', the first line's top at the
    // rect's top, each line aligned left, centred or right by the style, not
    // clipped to rect (only to clip, when not empty, and to the bitmap). The
    // colour's R, G, B are laid over the pixels by glyph coverage; alpha
    // stays. False when no font could be loaded.
    bool Draw(Bitmap& target, const Rect& clip, const TextStyle& style, const char* text,
              const Rect& rect);
    // The width of the widest line and the height of all lines, in pixels.
    // False when no font could be loaded.
    bool Measure(const TextStyle& style, const char* text, int& width, int& height);

    // The font file fontconfig picks for a face name and style (TextStyle's
    // Normal, Bold, Italic); empty when there is none.
    static std::string ResolveFace(const char* face, int style);
    // The family name of a font file's first face; empty when unreadable.
    static std::string FamilyOf(const std::string& file);

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};
