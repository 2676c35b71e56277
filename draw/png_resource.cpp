#include "draw/png_resource.h"

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Pictures larger than this on either side are refused.
constexpr png_uint_32 kMaxSide = 16384;

// Read cursor over the PNG bytes: the next unread byte and a signed count of
// bytes left.
struct PngMemSource {
    const unsigned char* next;
    long long left;
};

// Fills the request with what is left and zeros past the end: a truncated
// stream then fails in libpng's own checks instead of reading beyond it.
void ReadFromMemory(png_structp png, png_bytep out, png_size_t wanted) {
    auto* source = static_cast<PngMemSource*>(png_get_io_ptr(png));
    std::memset(out, 0, wanted);
    size_t take = 0;
    if (source->left > 0)
        take = (unsigned long long)source->left < wanted ? size_t(source->left) : wanted;
    if (take > 0) std::memcpy(out, source->next, take);
    source->next += take;
    source->left -= (long long)take;
}

// Failures are reported by the result alone, never on the host's console.
void QuietError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void QuietWarning(png_structp, png_const_charp) {}

// Everything a decode acquires. It lives in the caller's frame so that it is
// intact, and can be released, after libpng's error return.
struct DecodeJob {
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngMemSource source = {nullptr, 0};
    Bitmap* target = nullptr;
    Bitmap* created = nullptr;
    png_bytep* rows = nullptr;
    Bitmap* result = nullptr;
};

// Asks libpng for four bytes a pixel in the order alpha, red, green, blue,
// whatever the colour type and depth of the picture.
void RequestArgb(png_structp png, png_infop info, int depth, int colorType) {
    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (transparency) png_set_tRNS_to_alpha(png);
    if (depth == 16) png_set_strip_16(png);
    if (depth < 8) png_set_packing(png);
    if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(png);
    if ((colorType & PNG_COLOR_MASK_ALPHA) || transparency) {
        png_set_swap_alpha(png);
    } else {
        png_set_filler(png, 0xFF, PNG_FILLER_BEFORE);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
}

// The decode proper. libpng errors come back through setjmp and make it
// return false; whatever it acquired is recorded in job.
bool RunDecode(DecodeJob* job) {
    if (setjmp(png_jmpbuf(job->png))) return false;
    png_structp png = job->png;
    png_infop info = job->info;
    png_set_read_fn(png, &job->source, ReadFromMemory);
    // A damaged header must not make us allocate gigabytes.
    png_set_user_limits(png, kMaxSide, kMaxSide);
    png_read_info(png, info);

    png_uint_32 width = 0, height = 0;
    int depth = 0, colorType = 0, interlace = 0, compression = 0, filter = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &colorType, &interlace, &compression, &filter);
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return false;
    RequestArgb(png, info, depth, colorType);
    // Each row must come out as exactly width words, or it would not fit.
    if (png_get_rowbytes(png, info) != size_t(width) * 4) return false;

    const int w = int(width), h = int(height);
    Bitmap* bitmap = job->target;
    if (bitmap) {
        bitmap->Resize(w, h);
        if (bitmap->Width() != w || bitmap->Height() != h) return false;
    } else {
        job->created = new (std::nothrow) HeapBitmap(w, h);
        bitmap = job->created;
        if (!bitmap) return false;
    }
    uint32_t* pixels = bitmap->Pixels();
    const int span = bitmap->RowSpan();
    if (!pixels || span < w) return false;

    job->rows = static_cast<png_bytep*>(std::malloc(size_t(h) * sizeof(png_bytep)));
    if (!job->rows) return false;
    const bool bottomUp = bitmap->IsBottomUp();
    for (int y = 0; y < h; ++y) {
        const ptrdiff_t memoryRow = bottomUp ? h - 1 - y : y;
        job->rows[y] = reinterpret_cast<png_bytep>(pixels + memoryRow * span);
    }
    png_read_image(png, job->rows);

    // Bytes alpha, red, green, blue become the word 0xAARRGGBB.
    for (int y = 0; y < h; ++y) {
        png_bytep bytes = job->rows[y];
        uint32_t* words = reinterpret_cast<uint32_t*>(bytes);
        for (int x = 0; x < w; ++x, bytes += 4)
            words[x] = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 |
                       uint32_t(bytes[2]) << 8 | uint32_t(bytes[3]);
    }
    job->result = bitmap;
    return true;
}

} // namespace

Bitmap* DecodePng(const unsigned char* data, size_t size, Bitmap* target) {
    if (!data || size < 8 || png_sig_cmp(data, 0, 8) != 0) return nullptr;

    DecodeJob job;
    job.source = {data, size > size_t(INT64_MAX) ? INT64_MAX : (long long)size};
    job.target = target;
    job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, QuietError, QuietWarning);
    if (!job.png) return nullptr;
    job.info = png_create_info_struct(job.png);
    if (!job.info) {
        png_destroy_read_struct(&job.png, nullptr, nullptr);
        return nullptr;
    }
    const bool decoded = RunDecode(&job);
    png_destroy_read_struct(&job.png, &job.info, nullptr);
    std::free(job.rows);
    if (decoded) return job.result;
    delete job.created;
    return nullptr;
}

Bitmap* LoadPngResource(ModuleHandle module, int resourceId, Bitmap* target) {
    if (resourceId < 1 || resourceId > 0xFFFF) return nullptr;
    const void* found = ResFind(module, resourceId);
    if (!found) return nullptr;
    const size_t size = ResSize(module, found);
    if (size < 8) return nullptr;
    const void* loaded = ResLoad(module, found);
    const unsigned char* data = ResLock(loaded);
    if (!data) return nullptr;
    return DecodePng(data, size, target);
}
