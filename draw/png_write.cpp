#include "draw/png_write.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>

#include "draw/blit.h"

namespace {

void AppendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void NoFlush(png_structp) {}

// Rows of PNG samples from pixel words: R, G, B (and A) bytes per pixel.
std::vector<std::vector<uint8_t>> SampleRows(const uint32_t* pixels, int width, int height,
                                             int rowSpan, bool withAlpha) {
    const int channels = withAlpha ? 4 : 3;
    std::vector<std::vector<uint8_t>> rows(size_t(height),
                                           std::vector<uint8_t>(size_t(width) * channels));
    for (int y = 0; y < height; ++y) {
        const uint32_t* src = pixels + size_t(y) * size_t(rowSpan);
        uint8_t* dst = rows[size_t(y)].data();
        for (int x = 0; x < width; ++x, dst += channels) {
            const uint32_t p = src[x];
            dst[0] = uint8_t(p >> 16);
            dst[1] = uint8_t(p >> 8);
            dst[2] = uint8_t(p);
            if (withAlpha) dst[3] = uint8_t(p >> 24);
        }
    }
    return rows;
}

} // namespace

std::vector<uint8_t> EncodePixelsPng(const uint32_t* pixels, int width, int height, int rowSpan,
                                     bool withAlpha) {
    if (!pixels || width <= 0 || height <= 0 || width > 65535 || height > 65535 || rowSpan < width)
        return {};
    std::vector<std::vector<uint8_t>> rows = SampleRows(pixels, width, height, rowSpan, withAlpha);
    std::vector<png_bytep> pointers;
    for (auto& row : rows)
        pointers.push_back(row.data());

    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return {};
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return {};
    }
    png_set_write_fn(png, &out, AppendBytes, NoFlush);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8,
                 withAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return false;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

bool WriteRgbPng(const std::string& path, const Bitmap& bmp) {
    const int w = bmp.Width(), h = bmp.Height();
    if (w <= 0 || h <= 0 || !bmp.Pixels()) return false;
    // Through GetPixel, so bottom-up bitmaps come out the right way up.
    std::vector<uint32_t> words(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            words[size_t(y) * size_t(w) + size_t(x)] = GetPixel(&bmp, x, y);
    return WriteFileBytes(path, EncodePixelsPng(words.data(), w, h, w, false));
}
