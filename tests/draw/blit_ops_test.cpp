// The per-pixel operations, checked through single pixels and fills with
// expected words worked out by hand from the channel rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

#include "draw/blit.h"
#include "tests/common/test_seed.h"
#include "tests/draw/draw_test_support.h"

namespace {

// The word a one-pixel destination holding `dst` ends with after PutPixel.
uint32_t Put(uint32_t dst, uint32_t color, float weight, BlitFlags flags) {
    TestBitmap bmp(1, 1, false);
    bmp.At(0, 0) = dst;
    PutPixel(&bmp, 0, 0, color, weight, flags);
    return bmp.At(0, 0);
}

uint32_t Fill(uint32_t dst, uint32_t color, float weight, BlitFlags flags) {
    TestBitmap bmp(1, 1, false);
    bmp.At(0, 0) = dst;
    FillRect(&bmp, 0, 0, 1, 1, color, weight, flags);
    return bmp.At(0, 0);
}

} // namespace

TEST(MixOperation, BlendsEveryChannelIncludingAlphaByTheWeight) {
    // Half weight (W = 128) over zero: each channel s x 128 / 256.
    EXPECT_EQ(Put(0x00000000, 0xFF804020, 0.5f, OpMix), 0x7F402010u);
    // Full weight replaces, a weight just above zero keeps the destination.
    EXPECT_EQ(Put(0x12345678, 0x9ABCDEF0, 1.0f, OpMix), 0x9ABCDEF0u);
    EXPECT_EQ(Put(0x12345678, 0x9ABCDEF0, 0.001f, OpMix), 0x12345678u);
}

TEST(MixOperation, RunsOnlyForAPositiveWeight) {
    EXPECT_EQ(Put(0x12345678, 0xFFFFFFFF, 0.0f, OpMix), 0x12345678u);
    EXPECT_EQ(Put(0x12345678, 0xFFFFFFFF, -1.0f, OpMix), 0x12345678u);
    EXPECT_EQ(Put(0x12345678, 0xFFFFFFFF, -1.0f, OpMix | UseSourceAlpha), 0x12345678u);
}

TEST(MixOperation, WithSourceAlphaWeighsByAlphaAndStores254ForOpaqueWhite) {
    EXPECT_EQ(Put(0x00000000, 0xFFFFFFFF, 1.0f, OpMix | UseSourceAlpha), 0xFEFEFEFEu);
    EXPECT_EQ(Put(0x12345678, 0x00FFFFFF, 1.0f, OpMix | UseSourceAlpha), 0x12345678u);
    // W' = 128; red (255 x 128) / 256 = 127, blue (255 x 127) / 256 = 126,
    // alpha (128 x 128 + 255 x 127) / 256 = 190.
    EXPECT_EQ(Put(0xFF0000FF, 0x80FF0000, 1.0f, OpMix | UseSourceAlpha), 0xBE7F007Eu);
}

TEST(AddOperation, AddsWeightedChannelsAndSaturatesAt255) {
    EXPECT_EQ(Put(0x10F08000, 0x20200100, 1.0f, OpAdd), 0x30FF8100u);
}

TEST(AddOperation, ANegativeWeightDarkensDownToZeroAndZeroDrawsNothing) {
    EXPECT_EQ(Put(0x10101010, 0xFFFFFFFF, 0.0f, OpAdd), 0x10101010u);
    EXPECT_EQ(Put(0x80808080, 0x10204000, -1.0f, OpAdd), 0x70604080u);
    EXPECT_EQ(Put(0x10101010, 0xFFFFFFFF, -1.0f, OpAdd), 0x00000000u);
}

TEST(AddOperation, WithSourceAlphaAddsInProportionToAlpha) {
    // W' = 128: colour + 64 x 128 / 256 = +32, alpha + 128 x 128 / 256 = +64.
    EXPECT_EQ(Put(0x10101010, 0x80404040, 1.0f, OpAdd | UseSourceAlpha), 0x50303030u);
    EXPECT_EQ(Put(0x10101010, 0x00404040, 1.0f, OpAdd | UseSourceAlpha), 0x10101010u);
}

TEST(DodgeOperation, BrightensByTheInverseOfTheScaledSource) {
    // alpha: s' 0 -> 100 x 256 / 255 = 100; red: s' 255 keeps 0 at 0;
    // green: 64 x 256 / 127 = 129; blue: s' 254 -> 1 x 256 saturates.
    EXPECT_EQ(Put(0x64004001, 0x00FF80FE, 1.0f, OpDodge), 0x640081FFu);
}

TEST(DodgeOperation, ASourceNear255TurnsEveryNonZeroChannelFull) {
    EXPECT_EQ(Put(0x01020300, 0xFEFEFEFE, 1.0f, OpDodge), 0xFFFFFF00u);
    EXPECT_EQ(Put(0x01020300, 0xFFFFFFFF, 1.0f, OpDodge), 0xFFFFFF00u);
}

TEST(DodgeOperation, WithSourceAlphaScalesTheSourceByAlpha) {
    // W' = 128: red s' 127 doubles 0x30; alpha s' 64: 64 x 256 / 191 = 85.
    EXPECT_EQ(Put(0x40303030, 0x80FF0000, 1.0f, OpDodge | UseSourceAlpha), 0x55603030u);
    // Alpha 0 is no early exit, but a zero effective weight changes nothing.
    EXPECT_EQ(Put(0x40303030, 0x00FFFFFF, 1.0f, OpDodge | UseSourceAlpha), 0x40303030u);
}

TEST(UnknownOperations, DrawNothing) {
    for (BlitFlags op : {3u, 17u, 0xEFu})
        EXPECT_EQ(Put(0x12345678, 0xFFFFFFFF, 1.0f, op), 0x12345678u) << op;
}

TEST(FillOperation, UsesTheWeightAsTheSourceAlpha) {
    // W = 128: alpha (255 x 128 + 128 x 128) / 256 = 191, red and blue 127.
    EXPECT_EQ(Fill(0xFF0000FF, 0x00FF0000, 0.5f, OpMix), 0xBF7F007Fu);
    // With source alpha 1.0 x 128 / 255 x 256 truncates to the same W.
    EXPECT_EQ(Fill(0xFF0000FF, 0x80FF0000, 1.0f, OpMix | UseSourceAlpha), 0xBF7F007Fu);
}

TEST(FillOperation, AZeroWeightMixLeavesPixelsAndAddDodgeApply) {
    EXPECT_EQ(Fill(0x12345678, 0xFFFFFFFF, 0.0f, OpMix), 0x12345678u);
    // Add with W = 256 also adds W to alpha.
    EXPECT_EQ(Fill(0x00101010, 0x00102030, 1.0f, OpAdd), 0xFF203040u);
    EXPECT_EQ(Fill(0x00808080, 0x00FFFFFF, 1.0f, OpDodge), 0x00FFFFFFu);
}

TEST(OutOfRangeWeights, ActAsTheirLimitAndNaNDrawsNothing) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(Put(0x01010101, 0x02020202, 1e30f, OpAdd), 0xFFFFFFFFu);
    EXPECT_EQ(Put(0xFFFFFFFF, 0x02020202, -inf, OpAdd), 0x00000000u);
    EXPECT_EQ(Put(0x12345678, 0xFFFFFFFF, nan, OpAdd), 0x12345678u);
    EXPECT_EQ(Put(0x12345678, 0xFFFFFFFF, nan, OpMix), 0x12345678u);
    EXPECT_EQ(Fill(0x12345678, 0xFFFFFFFF, nan, OpDodge), 0x12345678u);
    // A huge fill weight saturates without overflowing the alpha product.
    EXPECT_EQ(Fill(0x00000000, 0x00FFFFFF, inf, OpMix), 0xFFFFFFFFu);
}

TEST(UnscaledBlit, AppliesTheSameOperationsAsSinglePixels) {
    const unsigned seed = TestSeed(20261211u);
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    const float weights[] = {1.0f, 0.5f, 0.25f, -0.75f, 2.0f, 0.0f};
    for (int round = 0; round < 200; ++round) {
        TestBitmap src(5, 3, round % 2 == 0), dst(5, 3, round % 3 == 0);
        FillPattern(src, rng());
        FillPattern(dst, rng());
        TestBitmap before(5, 3, false);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                before.At(x, y) = dst.At(x, y);
        const BlitFlags flags = (rng() % 3) | (rng() % 2 ? UseSourceAlpha : 0u);
        const float weight = weights[rng() % 6];
        Blit(&dst, &src, 0, 0, nullptr, weight, flags);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                ASSERT_EQ(dst.At(x, y), Put(before.At(x, y), src.At(x, y), weight, flags))
                    << "seed " << seed << " flags " << flags << " weight " << weight;
    }
}
