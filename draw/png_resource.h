// Decoding PNG images, from memory or from the module's "PNG" resources, into
// bitmaps of 0xAARRGGBB words.
#pragma once

#include <cstddef>

#include "draw/bitmap.h"
#include "draw/resource.h"

// Decodes the PNG in size bytes at data into target (resized to the picture's
// size), or into a new HeapBitmap the caller owns when target is null. Every
// colour type comes out as 0xAARRGGBB with 8-bit channels; pictures without
// alpha get 0xFF. Returns the bitmap, or null on any failure: a wrong
// signature, a damaged or truncated stream, a side over 16384 pixels, or a target that cannot take
// the size. A failed decode never returns a partial picture; a given target may then hold undefined
// pixels.
Bitmap* DecodePng(const unsigned char* data, size_t size, Bitmap* target);

// Decodes the resource of type "PNG" with integer id resourceId (1..65535) of
// module. Same result and ownership as DecodePng; null also when there is no
// such resource.
Bitmap* LoadPngResource(ModuleHandle module, int resourceId, Bitmap* target);
