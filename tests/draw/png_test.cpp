// Decoding PNG data and the module's PNG resources.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>

#include "draw/blit.h"
#include "draw/png_resource.h"
#include "tests/common/test_seed.h"
#include "tests/draw/draw_test_support.h"

namespace {

using Rows = std::vector<std::vector<uint8_t>>;

std::unique_ptr<Bitmap> Decode(const std::vector<uint8_t>& png, Bitmap* target = nullptr) {
    Bitmap* result = DecodePng(png.data(), png.size(), target);
    if (result == target) return nullptr; // not ours to delete
    return std::unique_ptr<Bitmap>(result);
}

// A small RGBA picture with every channel varying independently.
Rows RgbaRows(int w, int h) {
    Rows rows(size_t(h), std::vector<uint8_t>(size_t(w) * 4));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &rows[y][4 * x];
            p[0] = uint8_t(x * 37 + y);
            p[1] = uint8_t(y * 53 + 7);
            p[2] = uint8_t(x * y + 3);
            p[3] = uint8_t(x * 29 + y * 11);
        }
    return rows;
}

uint32_t Word(uint8_t a, uint8_t r, uint8_t g, uint8_t b) {
    return uint32_t(a) << 24 | uint32_t(r) << 16 | uint32_t(g) << 8 | b;
}

// Offset just past the last IDAT chunk: cutting the stream before it loses
// image data.
size_t EndOfImageData(const std::vector<uint8_t>& png) {
    size_t pos = 8, end = 0;
    while (pos + 8 <= png.size()) {
        const size_t length = size_t(png[pos]) << 24 | size_t(png[pos + 1]) << 16 |
                              size_t(png[pos + 2]) << 8 | png[pos + 3];
        const size_t next = pos + 12 + length;
        if (std::equal(png.begin() + pos + 4, png.begin() + pos + 8, "IDAT")) end = next;
        pos = next;
    }
    return end;
}

} // namespace

TEST(PngColourTypes, RgbaDecodesToAlphaRedGreenBlueWords) {
    PngLayout layout;
    layout.width = 7;
    layout.height = 5;
    const Rows rows = RgbaRows(7, 5);
    auto bmp = Decode(EncodePng(layout, rows));
    ASSERT_TRUE(bmp);
    ASSERT_EQ(bmp->Width(), 7);
    ASSERT_EQ(bmp->Height(), 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            const uint8_t* p = &rows[y][4 * x];
            EXPECT_EQ(GetPixel(bmp.get(), x, y), Word(p[3], p[0], p[1], p[2]));
        }
}

TEST(PngColourTypes, RgbDecodesOpaqueAndATransparencyKeyBecomesAlphaZero) {
    Rows rows(2, std::vector<uint8_t>(9));
    const uint8_t samples[2][9] = {{10, 20, 30, 40, 50, 60, 1, 2, 3},
                                   {40, 50, 60, 7, 8, 9, 0, 0, 0}};
    for (int y = 0; y < 2; ++y)
        rows[y].assign(samples[y], samples[y] + 9);
    PngLayout layout;
    layout.width = 3;
    layout.height = 2;
    layout.colorType = 2;
    auto opaque = Decode(EncodePng(layout, rows));
    ASSERT_TRUE(opaque);
    EXPECT_EQ(GetPixel(opaque.get(), 0, 0), 0xFF0A141Eu);
    EXPECT_EQ(GetPixel(opaque.get(), 2, 1), 0xFF000000u);
    layout.transparency = {0, 40, 0, 50, 0, 60}; // the colour (40, 50, 60)
    auto keyed = Decode(EncodePng(layout, rows));
    ASSERT_TRUE(keyed);
    EXPECT_EQ(GetPixel(keyed.get(), 1, 0), 0x0028323Cu);
    EXPECT_EQ(GetPixel(keyed.get(), 0, 1), 0x0028323Cu);
    EXPECT_EQ(GetPixel(keyed.get(), 2, 0), 0xFF010203u);
}

TEST(PngColourTypes, GreyOfEveryDepthExpandsToOpaqueGreyWords) {
    for (int depth : {1, 2, 4, 8, 16}) {
        const int levels = depth == 16 ? 65536 : 1 << depth;
        const int w = 8;
        Rows rows(1, std::vector<uint8_t>(size_t((w * depth + 7) / 8)));
        std::vector<int> values;
        for (int x = 0; x < w; ++x) {
            const int v = (x * (levels - 1)) / (w - 1);
            values.push_back(v);
            if (depth == 16) {
                rows[0][2 * x] = uint8_t(v >> 8);
                rows[0][2 * x + 1] = uint8_t(v);
            } else {
                const int bit = x * depth;
                rows[0][bit / 8] |= uint8_t(v << (8 - depth - bit % 8));
            }
        }
        PngLayout layout;
        layout.width = w;
        layout.colorType = 0;
        layout.bitDepth = depth;
        auto bmp = Decode(EncodePng(layout, rows));
        ASSERT_TRUE(bmp) << depth;
        for (int x = 0; x < w; ++x) {
            // Low depths scale to 0..255; 16 bits keep their high byte.
            const int grey = depth == 16 ? values[x] >> 8 : values[x] * 255 / (levels - 1);
            EXPECT_EQ(GetPixel(bmp.get(), x, 0), 0xFF000000u | uint32_t(grey) * 0x010101u)
                << "depth " << depth << " x " << x;
        }
    }
}

TEST(PngColourTypes, GreyWithAlphaKeepsItsAlpha) {
    Rows rows(1, {0x10, 0x80, 0xF0, 0x00, 0x55, 0xFF});
    PngLayout layout;
    layout.width = 3;
    layout.colorType = 4;
    auto bmp = Decode(EncodePng(layout, rows));
    ASSERT_TRUE(bmp);
    EXPECT_EQ(GetPixel(bmp.get(), 0, 0), 0x80101010u);
    EXPECT_EQ(GetPixel(bmp.get(), 1, 0), 0x00F0F0F0u);
    EXPECT_EQ(GetPixel(bmp.get(), 2, 0), 0xFF555555u);
}

TEST(PngColourTypes, PaletteEntriesExpandWithTheirTransparency) {
    PngLayout layout;
    layout.width = 4;
    layout.colorType = 3;
    layout.bitDepth = 2;
    layout.palette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 8, 7};
    auto opaque = Decode(EncodePng(layout, Rows(1, {0x1B}))); // indices 0 1 2 3
    ASSERT_TRUE(opaque);
    EXPECT_EQ(GetPixel(opaque.get(), 0, 0), 0xFFFF0000u);
    EXPECT_EQ(GetPixel(opaque.get(), 1, 0), 0xFF00FF00u);
    EXPECT_EQ(GetPixel(opaque.get(), 3, 0), 0xFF090807u);
    layout.transparency = {0x40, 0x00}; // entries 2 and 3 stay opaque
    auto alpha = Decode(EncodePng(layout, Rows(1, {0x1B})));
    ASSERT_TRUE(alpha);
    EXPECT_EQ(GetPixel(alpha.get(), 0, 0), 0x40FF0000u);
    EXPECT_EQ(GetPixel(alpha.get(), 1, 0), 0x0000FF00u);
    EXPECT_EQ(GetPixel(alpha.get(), 2, 0), 0xFF0000FFu);
}

TEST(PngColourTypes, SixteenBitAndInterlacedPicturesDecodeLikeTheirEightBitForms) {
    const Rows rows8 = RgbaRows(9, 9);
    Rows rows16(9, std::vector<uint8_t>(9 * 8));
    for (int y = 0; y < 9; ++y)
        for (int i = 0; i < 9 * 4; ++i) {
            rows16[y][2 * i] = rows8[y][i];
            rows16[y][2 * i + 1] = uint8_t(0xFF - i); // low bytes are dropped
        }
    PngLayout layout;
    layout.width = layout.height = 9;
    auto plain = Decode(EncodePng(layout, rows8));
    layout.interlaced = true;
    auto interlaced = Decode(EncodePng(layout, rows8));
    layout.interlaced = false;
    layout.bitDepth = 16;
    auto deep = Decode(EncodePng(layout, rows16));
    ASSERT_TRUE(plain && interlaced && deep);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 9; ++x) {
            EXPECT_EQ(GetPixel(interlaced.get(), x, y), GetPixel(plain.get(), x, y));
            EXPECT_EQ(GetPixel(deep.get(), x, y), GetPixel(plain.get(), x, y));
        }
}

TEST(PngTargets, DecodingIntoAGivenBitmapResizesAndReturnsIt) {
    PngLayout layout;
    layout.width = 6;
    layout.height = 2;
    const auto png = EncodePng(layout, RgbaRows(6, 2));
    HeapBitmap target(1, 1);
    EXPECT_EQ(DecodePng(png.data(), png.size(), &target), &target);
    EXPECT_EQ(target.Width(), 6);
    auto reference = Decode(png);
    ASSERT_TRUE(reference);
    EXPECT_EQ(GetPixel(&target, 5, 1), GetPixel(reference.get(), 5, 1));
}

TEST(PngTargets, ABottomUpTargetHoldsThePictureUpright) {
    PngLayout layout;
    layout.width = 4;
    layout.height = 3;
    const auto png = EncodePng(layout, RgbaRows(4, 3));
    TestBitmap target(4, 3, true, 6);
    ASSERT_EQ(DecodePng(png.data(), png.size(), &target), &target);
    auto reference = Decode(png);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(target.At(x, y), GetPixel(reference.get(), x, y));
    EXPECT_TRUE(target.GuardsIntact());
}

TEST(PngTargets, ATargetThatCannotTakeTheSizeYieldsNull) {
    PngLayout layout;
    layout.width = 4;
    layout.height = 3;
    const auto png = EncodePng(layout, RgbaRows(4, 3));
    TestBitmap fixed(3, 3, false); // refuses every resize
    EXPECT_EQ(DecodePng(png.data(), png.size(), &fixed), nullptr);
    EXPECT_EQ(fixed.At(0, 0), 0u);
    // A target that takes the size but has no memory is refused too.
    struct NoMemory : HeapBitmap {
        uint32_t* Pixels() const override { return nullptr; }
    } noMemory;
    EXPECT_EQ(DecodePng(png.data(), png.size(), &noMemory), nullptr);
}

TEST(PngDamage, AWrongSignatureOrTooFewBytesYieldNull) {
    PngLayout layout;
    auto png = EncodePng(layout, RgbaRows(1, 1));
    EXPECT_EQ(DecodePng(nullptr, png.size(), nullptr), nullptr);
    EXPECT_EQ(DecodePng(png.data(), 7, nullptr), nullptr);
    png[1] = 'Q';
    EXPECT_EQ(DecodePng(png.data(), png.size(), nullptr), nullptr);
}

TEST(PngDamage, CuttingTheStreamAnywhereBeforeTheImageEndsYieldsNull) {
    PngLayout layout;
    layout.width = 12;
    layout.height = 10;
    const auto png = EncodePng(layout, RgbaRows(12, 10));
    const size_t imageEnd = EndOfImageData(png);
    ASSERT_GT(imageEnd, 8u);
    auto whole = Decode(png);
    ASSERT_TRUE(whole);
    for (size_t length = 8; length < png.size(); ++length) {
        // A copy of exactly this length, so reading past it is caught.
        const std::vector<uint8_t> cut(png.begin(), png.begin() + long(length));
        auto bmp = Decode(cut);
        if (length < imageEnd) {
            EXPECT_FALSE(bmp) << length;
        } else {
            // Only the closing chunk is missing: the picture is complete.
            ASSERT_TRUE(bmp) << length;
            EXPECT_EQ(GetPixel(bmp.get(), 11, 9), GetPixel(whole.get(), 11, 9));
        }
    }
}

TEST(PngDamage, CorruptedBytesYieldNullOrAWholePictureNeverACrash) {
    PngLayout layout;
    layout.width = 16;
    layout.height = 16;
    const auto png = EncodePng(layout, RgbaRows(16, 16));
    const unsigned seed = TestSeed(20261211u);
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        auto damaged = png;
        const int flips = 1 + int(rng() % 4);
        for (int i = 0; i < flips; ++i)
            damaged[8 + rng() % (damaged.size() - 8)] ^= uint8_t(1 + rng() % 255);
        auto bmp = Decode(damaged);
        if (!bmp) {
            ++refused;
            continue;
        }
        EXPECT_GT(bmp->Width(), 0) << "seed " << seed;
        EXPECT_NE(bmp->Pixels(), nullptr) << "seed " << seed;
    }
    // Checksums catch most damage.
    EXPECT_GT(refused, 150) << "seed " << seed;
}

TEST(PngDamage, OversizedPicturesAreRefusedBeforeAllocating) {
    PngLayout layout;
    layout.width = 20000;
    layout.height = 1;
    layout.colorType = 0;
    layout.bitDepth = 1;
    const auto png = EncodePng(layout, Rows(1, std::vector<uint8_t>(2500)));
    EXPECT_EQ(DecodePng(png.data(), png.size(), nullptr), nullptr);
}

TEST(PngResources, TheFiveEditorPicturesLoadWithTheirSizes) {
    const struct {
        int id, w, h;
    } expected[] = {{100, 675, 619}, {101, 29, 29}, {102, 29, 29}, {103, 29, 29}, {104, 38, 38}};
    for (const auto& e : expected) {
        std::unique_ptr<Bitmap> bmp(LoadPngResource(CurrentModule(), e.id, nullptr));
        ASSERT_TRUE(bmp) << e.id;
        EXPECT_EQ(bmp->Width(), e.w) << e.id;
        EXPECT_EQ(bmp->Height(), e.h) << e.id;
    }
}

TEST(PngResources, TheBackgroundIsOpaqueEverywhere) {
    std::unique_ptr<Bitmap> bg(LoadPngResource(CurrentModule(), 100, nullptr));
    ASSERT_TRUE(bg);
    for (int y = 0; y < bg->Height(); ++y)
        for (int x = 0; x < bg->Width(); ++x)
            ASSERT_EQ(GetPixel(bg.get(), x, y) >> 24, 0xFFu) << x << "," << y;
}

TEST(PngResources, ButtonsAndGlowHaveRealAlpha) {
    for (int id : {101, 102, 103, 104}) {
        std::unique_ptr<Bitmap> bmp(LoadPngResource(CurrentModule(), id, nullptr));
        ASSERT_TRUE(bmp) << id;
        const int w = bmp->Width(), h = bmp->Height();
        EXPECT_EQ(GetPixel(bmp.get(), 0, 0) >> 24, 0u) << id; // transparent corner
        bool seen[256] = {};
        int distinct = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint32_t a = GetPixel(bmp.get(), x, y) >> 24;
                distinct += !seen[a];
                seen[a] = true;
            }
        EXPECT_GT(distinct, 8) << id; // soft edges, not a cut-out
        if (id != 104) {
            EXPECT_EQ(GetPixel(bmp.get(), w / 2, h / 2) >> 24, 0xFFu) << id; // opaque lamp
        }
    }
}

TEST(PngResources, MissingOrInvalidIdsYieldNull) {
    for (int id : {0, -1, 99, 105, 0x10000 + 100, 70000})
        EXPECT_EQ(LoadPngResource(CurrentModule(), id, nullptr), nullptr) << id;
}

#ifndef _WIN32
TEST(EmbeddedResources, ShortOrForeignDataIsRefused) {
    static const unsigned char kShort[] = {0x89, 'P', 'N', 'G', 0};
    static const unsigned char kText[] = "this is not a picture at all";
    static const EmbeddedResource kTable[] = {
        {900, kShort, sizeof kShort}, {901, kText, sizeof kText}, {902, nullptr, 64}};
    ASSERT_TRUE(RegisterEmbeddedResources(kTable, 3));
    EXPECT_FALSE(RegisterEmbeddedResources(nullptr, 3));
    EXPECT_FALSE(RegisterEmbeddedResources(kTable, 0));
    for (int id : {900, 901, 902})
        EXPECT_EQ(LoadPngResource(nullptr, id, nullptr), nullptr) << id;
    // The editor's pictures registered at start-up stay found.
    std::unique_ptr<Bitmap> bg(LoadPngResource(nullptr, 100, nullptr));
    EXPECT_TRUE(bg);
}
#endif
