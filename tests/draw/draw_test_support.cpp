#include "tests/draw/draw_test_support.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>

#include "draw/blit.h"

void FillPattern(TestBitmap& bmp, uint32_t seed) {
    uint32_t state = seed * 2654435761u + 12345u;
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            state = state * 1664525u + 1013904223u;
            bmp.At(x, y) = state ^ uint32_t(x << 8) ^ uint32_t(y << 20);
        }
}

namespace {

void AppendToVector(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void NoFlush(png_structp) {}

} // namespace

std::vector<uint8_t> EncodePng(const PngLayout& layout,
                               const std::vector<std::vector<uint8_t>>& rows) {
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> pointers;
    for (const auto& row : rows)
        pointers.push_back(const_cast<png_bytep>(row.data()));
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, AppendToVector, NoFlush);
    png_set_IHDR(png, info, png_uint_32(layout.width), png_uint_32(layout.height), layout.bitDepth,
                 layout.colorType, layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette;
    for (size_t i = 0; i + 2 < layout.palette.size(); i += 3)
        palette.push_back({layout.palette[i], layout.palette[i + 1], layout.palette[i + 2]});
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), int(palette.size()));
    png_color_16 trnsColor = {};
    if (!layout.transparency.empty()) {
        if (layout.colorType == PNG_COLOR_TYPE_PALETTE) {
            png_set_tRNS(png, info, layout.transparency.data(), int(layout.transparency.size()),
                         nullptr);
        } else {
            // Grey or RGB key: 16-bit big-endian sample values.
            const auto& t = layout.transparency;
            auto sample = [&](size_t i) { return png_uint_16(t[i] << 8 | t[i + 1]); };
            if (layout.colorType == PNG_COLOR_TYPE_GRAY) {
                trnsColor.gray = sample(0);
            } else {
                trnsColor.red = sample(0);
                trnsColor.green = sample(2);
                trnsColor.blue = sample(4);
            }
            png_set_tRNS(png, info, nullptr, 0, &trnsColor);
        }
    }
    png_write_info(png, info);
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}
