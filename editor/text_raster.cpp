// FreeType text rendering into bitmaps, faces found through fontconfig.
#include "editor/text_raster.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

namespace {

// fontconfig's configuration is process-wide and loaded once; its calls are
// not all safe to make from several threads at once.
std::mutex& FontconfigLock() {
    static std::mutex lock;
    return lock;
}

bool FontconfigReady() {
    static const bool ready = FcInit() == FcTrue;
    return ready;
}

// Decodes one character of UTF-8 at text[i], advancing i. Bytes that are not
// valid UTF-8 stand for themselves (Latin-1), so ANSI texts still show.
uint32_t NextChar(const std::string& text, size_t& i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    int extra = b >= 0xF0 && b < 0xF8 ? 3 : b >= 0xE0 ? 2 : b >= 0xC2 && b < 0xE0 ? 1 : 0;
    if (b >= 0xF8) extra = 0;
    if (extra > 0 && i + extra < text.size()) {
        uint32_t cp = b & (0x3F >> extra);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = cp << 6 | (byte(i + k) & 0x3F);
        }
        if (ok) {
            i += size_t(extra) + 1;
            return cp;
        }
    }
    ++i;
    return b;
}

std::vector<std::string> SplitLines(const char* text) {
    std::vector<std::string> lines(1);
    for (const char* p = text; *p; ++p) {
        if (*p == '\r') continue;
        if (*p == '\n')
            lines.emplace_back();
        else
            lines.back() += *p;
    }
    return lines;
}

} // namespace

struct TextRaster::Impl {
    struct Face {
        std::string name;
        int style = 0;
        FT_Face face = nullptr;
        int pixelSize = 0; // the line height the face is set up for
        int ascent = 0, descent = 0;
    };

    // A rendered glyph: its coverage (0..255 per pixel), placement and
    // advance, kept so that text drawn again each frame is not rendered again.
    struct Glyph {
        bool ok = false; // FreeType could render it
        int advance = 0, left = 0, top = 0, width = 0, rows = 0;
        std::vector<uint8_t> cover;
    };
    static constexpr size_t kMaxGlyphs = 4096;

    FT_Library library = nullptr;
    std::vector<Face> faces;
    std::map<std::tuple<FT_Face, int, uint32_t>, Glyph> glyphs;
    // The ASCII glyphs of the face and size asked last, straight by code
    // (entries of glyphs, null until asked): the labels drawn every frame.
    FT_Face asciiFace = nullptr;
    int asciiSize = 0;
    const Glyph* ascii[128] = {};

    const Glyph& GlyphOf(Face& f, uint32_t cp) {
        if (cp < 128 && f.face == asciiFace && f.pixelSize == asciiSize && ascii[cp])
            return *ascii[cp];
        const Glyph& g = FindGlyph(f, cp);
        if (cp < 128) {
            if (f.face != asciiFace || f.pixelSize != asciiSize) {
                std::fill(std::begin(ascii), std::end(ascii), nullptr);
                asciiFace = f.face;
                asciiSize = f.pixelSize;
            }
            ascii[cp] = &g;
        }
        return g;
    }

    const Glyph& FindGlyph(Face& f, uint32_t cp) {
        const auto key = std::make_tuple(f.face, f.pixelSize, cp);
        auto found = glyphs.find(key);
        if (found != glyphs.end()) return found->second;
        if (glyphs.size() >= kMaxGlyphs) {
            glyphs.clear();
            asciiFace = nullptr; // its entries went with the map
        }
        Glyph& g = glyphs[key];
        if (FT_Load_Char(f.face, cp, FT_LOAD_RENDER) != 0) return g;
        const FT_GlyphSlot slot = f.face->glyph;
        const FT_Bitmap& bm = slot->bitmap;
        g.ok = true;
        g.advance = int(slot->advance.x >> 6);
        if (bm.pixel_mode != FT_PIXEL_MODE_GRAY && bm.pixel_mode != FT_PIXEL_MODE_MONO) return g;
        g.left = slot->bitmap_left;
        g.top = slot->bitmap_top;
        g.width = int(bm.width);
        g.rows = int(bm.rows);
        g.cover.resize(size_t(g.width) * size_t(g.rows));
        for (int row = 0; row < g.rows; ++row) {
            const unsigned char* src = bm.buffer + row * bm.pitch;
            for (int col = 0; col < g.width; ++col)
                g.cover[size_t(row) * size_t(g.width) + size_t(col)] =
                    bm.pixel_mode == FT_PIXEL_MODE_GRAY
                        ? src[col]
                        : uint8_t(((src[col >> 3] >> (7 - (col & 7))) & 1) * 255);
        }
        return g;
    }

    ~Impl() {
        for (Face& f : faces)
            if (f.face) FT_Done_Face(f.face);
        if (library) FT_Done_FreeType(library);
    }

    // The face for a style, set up for its size; null when none loads.
    Face* FaceFor(const TextStyle& style) {
        if (!library && FT_Init_FreeType(&library) != 0) {
            library = nullptr;
            return nullptr;
        }
        const int kind = style.mStyle == TextStyle::Bold || style.mStyle == TextStyle::Italic
                             ? style.mStyle
                             : TextStyle::Normal;
        char name[sizeof style.mFace + 1] = {};
        std::memcpy(name, style.mFace, sizeof style.mFace);
        Face* found = nullptr;
        for (Face& f : faces)
            if (f.name == name && f.style == kind) found = &f;
        if (!found) {
            Face f;
            f.name = name;
            f.style = kind;
            const std::string file = ResolveFace(name, kind);
            if (file.empty() || FT_New_Face(library, file.c_str(), 0, &f.face) != 0)
                f.face = nullptr;
            faces.push_back(f);
            found = &faces.back();
        }
        if (!found->face) return nullptr;
        const int size = std::clamp(style.mSize, 1, 512);
        if (found->pixelSize != size) {
            FT_Face face = found->face;
            // Windows sizes a font by its cell: the OS/2 table's Windows ascent
            // plus descent make the asked height.
            double up = face->ascender, down = -face->descender;
            if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2))) {
                if (os2->usWinAscent + os2->usWinDescent > 0) {
                    up = os2->usWinAscent;
                    down = os2->usWinDescent;
                }
            }
            if (up + down <= 0) up = face->units_per_EM, down = 0;
            const double em = size * double(face->units_per_EM) / (up + down);
            if (FT_Set_Pixel_Sizes(face, 0, FT_UInt(std::max(1.0, std::round(em)))) != 0)
                return nullptr;
            found->ascent = int(std::lround(size * up / (up + down)));
            found->descent = size - found->ascent;
            found->pixelSize = size;
        }
        return found;
    }

    // Pen advance of one line in pixels.
    int LineWidth(Face& f, const std::string& line) {
        int width = 0;
        for (size_t i = 0; i < line.size();) {
            const Glyph& glyph = GlyphOf(f, NextChar(line, i));
            if (glyph.ok) width += glyph.advance;
        }
        return width;
    }
};

TextRaster::TextRaster() : mImpl(new Impl) {}
TextRaster::~TextRaster() = default;

std::string TextRaster::ResolveFace(const char* face, int style) {
    std::lock_guard<std::mutex> hold(FontconfigLock());
    if (!FontconfigReady()) return {};
    FcPattern* pattern = FcPatternCreate();
    if (!pattern) return {};
    FcPatternAddString(pattern, FC_FAMILY,
                       reinterpret_cast<const FcChar8*>(face && *face ? face : "Arial"));
    FcPatternAddInteger(pattern, FC_WEIGHT,
                        style == TextStyle::Bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT,
                        style == TextStyle::Italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    std::string path;
    FcChar8* file = nullptr;
    if (match && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file)
        path = reinterpret_cast<const char*>(file);
    if (match) FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    return path;
}

std::string TextRaster::FamilyOf(const std::string& file) {
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) return {};
    std::string family;
    FT_Face face = nullptr;
    if (FT_New_Face(library, file.c_str(), 0, &face) == 0) {
        if (face->family_name) family = face->family_name;
        FT_Done_Face(face);
    }
    FT_Done_FreeType(library);
    return family;
}

bool TextRaster::Measure(const TextStyle& style, const char* text, int& width, int& height) {
    width = height = 0;
    Impl::Face* f = mImpl->FaceFor(style);
    if (!f) return false;
    if (!text) return true;
    const std::vector<std::string> lines = SplitLines(text);
    for (const std::string& line : lines)
        width = std::max(width, mImpl->LineWidth(*f, line));
    height = int(lines.size()) * f->pixelSize;
    return true;
}

bool TextRaster::Draw(Bitmap& target, const Rect& clip, const TextStyle& style, const char* text,
                      const Rect& rect) {
    Impl::Face* f = mImpl->FaceFor(style);
    if (!f) return false;
    uint32_t* pixels = target.Pixels();
    if (!text || !pixels) return true;
    // Drawing is limited to the bitmap and, when given, to clip.
    int cl = 0, ct = 0, cr = target.Width(), cb = target.Height();
    if (!clip.IsEmpty()) {
        cl = std::max(cl, clip.L), ct = std::max(ct, clip.T);
        cr = std::min(cr, clip.R), cb = std::min(cb, clip.B);
    }
    if (cl >= cr || ct >= cb) return true;
    const int span = target.RowSpan();
    const int height = target.Height();
    const bool bottomUp = target.IsBottomUp();
    const uint32_t r = uint32_t(std::clamp(style.mColor.mR, 0, 255));
    const uint32_t g = uint32_t(std::clamp(style.mColor.mG, 0, 255));
    const uint32_t b = uint32_t(std::clamp(style.mColor.mB, 0, 255));

    int lineTop = rect.T;
    std::string line;
    for (const char* p = text;; ++p) {
        // The next line, without its carriage returns.
        line.clear();
        for (; *p && *p != '\n'; ++p)
            if (*p != '\r') line += *p;
        // A line whose rows miss the clip: no glyph of it can be drawn (a
        // glyph stays within a line's height above and below the line).
        if (lineTop + 2 * f->pixelSize <= ct || lineTop - f->pixelSize >= cb) {
            lineTop += f->pixelSize;
            if (!*p) break;
            continue;
        }
        int pen = rect.L;
        if (style.mAlign == TextStyle::AlignCenter)
            pen = (rect.L + rect.R - mImpl->LineWidth(*f, line)) / 2;
        else if (style.mAlign == TextStyle::AlignRight)
            pen = rect.R - mImpl->LineWidth(*f, line);
        const int baseline = lineTop + f->ascent;
        for (size_t i = 0; i < line.size();) {
            const Impl::Glyph& glyph = mImpl->GlyphOf(*f, NextChar(line, i));
            if (!glyph.ok) continue;
            const int x0 = pen + glyph.left;
            const int y0 = baseline - glyph.top;
            pen += glyph.advance;
            // Glyphs wholly outside the clip: nothing to look at.
            if (x0 >= cr || x0 + glyph.width <= cl || y0 >= cb || y0 + glyph.rows <= ct) continue;
            for (int row = 0; row < glyph.rows; ++row) {
                const int y = y0 + row;
                if (y < ct || y >= cb) continue;
                const uint8_t* src = glyph.cover.data() + size_t(row) * size_t(glyph.width);
                uint32_t* dst = pixels + size_t(bottomUp ? height - 1 - y : y) * span;
                for (int col = 0; col < glyph.width; ++col) {
                    const int x = x0 + col;
                    if (x < cl || x >= cr) continue;
                    const uint32_t cover = src[col];
                    if (!cover) continue;
                    const uint32_t old = dst[x];
                    const auto mix = [cover](uint32_t from, uint32_t to) {
                        return (from * (255 - cover) + to * cover + 127) / 255;
                    };
                    dst[x] = (old & 0xFF000000u) | mix(old >> 16 & 0xFF, r) << 16 |
                             mix(old >> 8 & 0xFF, g) << 8 | mix(old & 0xFF, b);
                }
            }
        }
        lineTop += f->pixelSize;
        if (!*p) break;
    }
    return true;
}
