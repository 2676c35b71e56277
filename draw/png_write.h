// Encoding 32-bit pixels as PNG files: for tools that save what an editor
// shows and for tests that keep pictures of their failures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "draw/bitmap.h"

// Encodes width x height words 0xAARRGGBB, rowSpan words apart, top row
// first, as an 8-bit PNG: RGBA with straight alpha when withAlpha is set, RGB
// otherwise. Empty on failure (no pixels, a size of 0 or over 65535, a span
// shorter than the width).
std::vector<uint8_t> EncodePixelsPng(const uint32_t* pixels, int width, int height, int rowSpan,
                                     bool withAlpha);

// Writes the encoded bytes to path; true when the whole file was written.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// The colour channels of bmp as an RGB PNG file at path; true on success.
bool WriteRgbPng(const std::string& path, const Bitmap& bmp);
