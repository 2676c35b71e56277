// Lines, arcs and circles: exact pixels on small bitmaps, the operations they
// apply, and their staying inside the bitmap whatever they are given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "draw/primitives.h"
#include "tests/common/test_seed.h"
#include "tests/draw/draw_test_support.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr float kPi = 3.14159265f;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
using PixelSet = std::set<std::pair<int, int>>;

// A bitmap inside a larger block with guard rows above and below and guard
// words past each row, so that a write near the bitmap but outside it shows.
class GuardedBitmap : public TestBitmap {
public:
    static constexpr int kMargin = 4;
    GuardedBitmap(int w, int h, bool bottomUp = false, int span = 0)
        : TestBitmap(w, h + 2 * kMargin, bottomUp, span), mHeight(h) {
        for (int y = 0; y < 2 * kMargin + h; ++y)
            for (int x = 0; x < w; ++x)
                At(x, y) = Margin(y) ? kGuard : 0;
    }
    uint32_t* Pixels() const override { return TestBitmap::Pixels() + kMargin * RowSpan(); }
    int Height() const override { return mHeight; }
    uint32_t& Pixel(int x, int y) { return At(x, y + kMargin); }
    bool Margin(int y) const { return y < kMargin || y >= kMargin + mHeight; }
    bool Intact() {
        for (int y = 0; y < 2 * kMargin + mHeight; ++y)
            for (int x = 0; x < Width(); ++x)
                if (Margin(y) && At(x, y) != kGuard) return false;
        return GuardsIntact();
    }
    std::vector<uint32_t> Picture() {
        std::vector<uint32_t> out;
        for (int y = 0; y < mHeight; ++y)
            for (int x = 0; x < Width(); ++x)
                out.push_back(Pixel(x, y));
        return out;
    }
    PixelSet Drawn() {
        PixelSet out;
        for (int y = 0; y < mHeight; ++y)
            for (int x = 0; x < Width(); ++x)
                if (Pixel(x, y)) out.insert({x, y});
        return out;
    }

private:
    int mHeight;
};

PixelSet Row(int y, int x0, int x1) {
    PixelSet p;
    for (int x = x0; x <= x1; ++x)
        p.insert({x, y});
    return p;
}

} // namespace

TEST(LineShape, ClipsTruncatesAndStepsAtHalfAPixel) {
    struct Case {
        float x1, y1, x2, y2;
        PixelSet expected;
    } cases[] = {
        {-10, 5, 10, 5, Row(5, 0, 7)},
        {-2e9f, 3, 2e9f, 3, Row(3, 0, 7)}, // far ends clip without overflow
        {0, -5, 7, -1, {}},                // wholly above, left, right, below
        {-9, 0, -1, 7, {}},
        {8, 2, 30, 6, {}},
        {-3, 8, 12, 20, {}},
        {-20, 3, 3, -20, {}}, // passes the corner outside
        {-4, -4, 4, 4, {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}}},
        {0, 0, 3, 1, {{0, 0}, {1, 0}, {2, 1}, {3, 1}}},
        {3, 1, 0, 0, {{0, 0}, {1, 0}, {2, 1}, {3, 1}}},
        {1, 0, 2, 4, {{1, 0}, {1, 1}, {1, 2}, {2, 3}, {2, 4}}}, // steep
        {2.9f, 1.5f, 2.2f, 3.99f, {{2, 1}, {2, 2}, {2, 3}}},    // truncated
        {-0.9f, 0, 1.9f, 0, {{0, 0}, {1, 0}}},
        {4, 4, 4, 4, {{4, 4}}},
        {kNaN, 1, 5, 5, {}}, // non-finite or beyond the int range
        {1, 1, 5, 3e9f, {}},
    };
    // A bottom-up bitmap with rows wider than the picture shows the same.
    for (const Case& c : cases)
        for (bool antiAlias : {false, true}) {
            GuardedBitmap down(8, 8), up(8, 8, true, 11);
            Line(&down, c.x1, c.y1, c.x2, c.y2, kWhite, 0.75f, OpAdd, antiAlias);
            Line(&up, c.x1, c.y1, c.x2, c.y2, kWhite, 0.75f, OpAdd, antiAlias);
            if (!antiAlias) {
                EXPECT_EQ(down.Drawn(), c.expected) << c.x1 << "," << c.y1;
            }
            EXPECT_EQ(up.Picture(), down.Picture()) << c.x1 << "," << c.y1;
            EXPECT_TRUE(down.Intact() && up.Intact());
        }
}

TEST(LineShape, AntiAliasingSharesTheWeightAcrossThePixelPair) {
    // Slope 1/4: f = 0, 1/4, 1/2, 3/4; W = 256 (1 - f) and 256 f give
    // 255 W / 256 over black. The far end is not drawn.
    GuardedBitmap bmp(6, 2);
    Line(&bmp, 0, 0, 4, 1, kWhite, 1.0f, OpMix, true);
    const uint32_t expected[2][6] = {{0xFFFFFFFF, 0xBFBFBFBF, 0x7F7F7F7F, 0x3F3F3F3F, 0, 0},
                                     {0, 0x3F3F3F3F, 0x7F7F7F7F, 0xBFBFBFBF, 0, 0}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(bmp.Pixel(x, y), expected[y][x]) << x << "," << y;
}

TEST(PrimitiveOperations, EachPixelGetsWhatPutPixelWouldApply) {
    // The pixels a line covers come from a plain copy on a blank bitmap;
    // under each operation exactly those pixels of a pattern must change as
    // PutPixel changes them, under the dispatch rule for the weight's sign.
    // The first line is a single pixel.
    const float lines[][4] = {{3, 3, 3, 3}, {1, 0, 1, 6}, {0, 4, 7, 4}, {0, 1, 7, 5}, {6, 0, 2, 7}};
    // An opaque colour at full weight leaves every pixel the same word.
    for (const uint32_t color : {0x9A40C070u, 0xFF40C070u})
        for (const auto& l : lines) {
            TestBitmap mask(8, 8, false);
            Line(&mask, l[0], l[1], l[2], l[3], kWhite, 1.0f, OpMix, false);
            for (BlitFlags op : {OpMix, OpAdd, OpDodge, BlitFlags(5)})
                for (BlitFlags alpha : {0u, UseSourceAlpha})
                    for (float weight : {0.6f, 1.0f, 1.5f, -1.0f, 0.0f, kNaN}) {
                        TestBitmap drawn(8, 8, false), expected(8, 8, false);
                        FillPattern(drawn, 11);
                        FillPattern(expected, 11);
                        Line(&drawn, l[0], l[1], l[2], l[3], color, weight, op | alpha, false);
                        for (int y = 0; y < 8; ++y)
                            for (int x = 0; x < 8; ++x) {
                                if (mask.At(x, y))
                                    PutPixel(&expected, x, y, color, weight, op | alpha);
                                ASSERT_EQ(drawn.At(x, y), expected.At(x, y))
                                    << (op | alpha) << " " << weight << " at " << x << "," << y;
                            }
                    }
        }
}

// ---------------------------------------------------------------------------

TEST(ArcShape, ACircleOfRadiusThreeDrawsTheRingOfTwentyPixels) {
    // The square's edges at distance 3 without its corners; where an edge cuts
    // the circle, only pixels inside are drawn, near that ring (the walk
    // restarts on the edge from the ideal curve, so one may sit a step in).
    const float centres[][2] = {{5, 5}, {1, 1}, {6, 0}, {9, 4}, {4, 9}, {-2, 4}};
    for (bool bottomUp : {false, true})
        for (const auto& c : centres) {
            GuardedBitmap bmp(11, 9, bottomUp, 13);
            Circle(&bmp, c[0], c[1], 3, kWhite, 1.0f, OpMix, false);
            EXPECT_TRUE(bmp.Intact());
            const PixelSet drawn = bmp.Drawn();
            if (c[0] == 5) {
                EXPECT_EQ(drawn.size(), 20u);
            }
            EXPECT_GE(drawn.size(), 3u);
            for (const auto& p : drawn) {
                const int dx = std::abs(p.first - int(c[0])), dy = std::abs(p.second - int(c[1]));
                const int far = std::max(dx, dy), lo = c[0] == 5 ? 3 : 2;
                EXPECT_TRUE(far >= lo && far <= 3 && dx + dy < 6) << p.first << "," << p.second;
            }
        }
}

TEST(ArcShape, QuadrantsRunClockwiseFromTwelveAndWrapThroughIt) {
    // (start, end, sides of the centre every pixel keeps to: +1 right/below,
    // -1 left/above, 0 either)
    const struct {
        float start, end;
        int sx, sy;
    } cases[] = {{0.0f, kPi / 2, 1, -1},
                 {kPi / 2, kPi, 1, 1},
                 {kPi, 3 * kPi / 2, -1, 1},
                 {3 * kPi / 2, 2 * kPi, -1, -1},
                 {2 * kPi - 0.7f, 0.7f, 0, -1}};
    for (const auto& c : cases) {
        GuardedBitmap bmp(21, 21);
        Arc(&bmp, 10, 10, 7, c.start, c.end, kWhite, 1.0f, OpMix, false);
        EXPECT_GE(bmp.Drawn().size(), 6u) << c.start;
        for (const auto& p : bmp.Drawn()) {
            EXPECT_GE((p.first - 10) * c.sx, 0) << c.start << ": " << p.first << "," << p.second;
            EXPECT_GE((p.second - 10) * c.sy, 0) << c.start << ": " << p.first << "," << p.second;
        }
    }
}

TEST(ArcShape, AnEndAtZeroOrAWholeTurnEndsAtTwelveOClock) {
    GuardedBitmap circle(15, 15);
    Circle(&circle, 7, 7, 5, kWhite, 1.0f, OpMix, true);
    EXPECT_TRUE(circle.Drawn().count({7, 12})); // the bottom
    for (float end : {0.0f, -0.0f, 6.2831855f, -6.2831855f, 4 * 6.2831855f}) {
        GuardedBitmap bmp(15, 15);
        Arc(&bmp, 7, 7, 5, 0.0f, end, kWhite, 1.0f, OpMix, true);
        EXPECT_EQ(bmp.Drawn(), circle.Drawn()) << end;
    }
}

TEST(PrimitiveInput, AwkwardAnglesAndValuesFinishInsideTheBitmap) {
    // Tiny negatives sit just below a whole turn, large values go round many
    // times; non-finite or out-of-range values and radii <= 0 draw nothing.
    const float angles[] = {-1e-8f, -1e-30f, 6.2831850f, 6.2831860f, 1e9f, -2e9f, 12345.6f};
    for (float a : angles)
        for (float b : angles) {
            GuardedBitmap bmp(12, 12);
            Arc(&bmp, 6, 6, 4, a, b, kWhite, 1.0f, OpAdd, true);
            ASSERT_TRUE(bmp.Intact()) << a << " " << b;
        }
    for (float v : {kNaN, std::numeric_limits<float>::infinity(), 3e9f, -3e9f}) {
        GuardedBitmap bmp(8, 8);
        Arc(&bmp, v, 4, 3, 0, 1, kWhite, 1.0f, OpMix, false);
        Arc(&bmp, 4, 4, 3, v, 1, kWhite, 1.0f, OpMix, false);
        Arc(&bmp, 4, 4, 3, 0, v, kWhite, 1.0f, OpMix, false);
        Circle(&bmp, 4, 4, v, kWhite, 1.0f, OpMix, true);
        Circle(&bmp, 4, 4, -v, kWhite, 1.0f, OpMix, true);
        EXPECT_TRUE(bmp.Drawn().empty()) << v;
    }
    GuardedBitmap bmp(8, 8);
    Circle(&bmp, 4, 4, 0, kWhite, 1.0f, OpMix, true);
    Circle(&bmp, 4, 4, -3, kWhite, 1.0f, OpMix, false);
    Circle(nullptr, 0, 0, 5, kWhite, 1.0f, OpMix, true);
    Line(nullptr, 0, 0, 5, 5, kWhite, 1.0f, OpMix, true);
    EXPECT_TRUE(bmp.Drawn().empty());
}

TEST(PrimitiveInput, RandomShapesNeverTouchMemoryOutsideTheBitmap) {
    std::mt19937 rng(20261209);
    std::uniform_real_distribution<float> near(-12.0f, 28.0f), far(-2.1e9f, 2.1e9f);
    std::uniform_real_distribution<float> angle(-20.0f, 20.0f), radius(0.0f, 40.0f);
    for (int i = 0; i < 3000; ++i) {
        const int w = int(rng() % 17) + 1;
        GuardedBitmap bmp(w, int(rng() % 13) + 1, i & 1, w + int(rng() % 4));
        auto coord = [&] { return rng() % 8 == 0 ? far(rng) : near(rng); };
        const BlitFlags flags = (rng() % 3) | (rng() % 2 ? UseSourceAlpha : 0);
        const float weight = rng() % 5 == 0 ? 200.0f : 0.9f;
        const bool antiAlias = (i & 2) != 0;
        Line(&bmp, coord(), coord(), coord(), coord(), 0xC0FFFFFF, weight, flags, antiAlias);
        const float r = rng() % 10 == 0 ? std::fabs(far(rng)) : radius(rng);
        Arc(&bmp, coord(), coord(), r, angle(rng), angle(rng), 0xC0FFFFFF, weight, flags,
            antiAlias);
        ASSERT_TRUE(bmp.Intact()) << "case " << i;
    }
}

// A clip limits what changes, never where or how: every pixel inside it is
// what the unclipped drawing makes there, every pixel outside is untouched.
TEST(PrimitiveClip, ClippedShapesAreTheUnclippedOnesCutToTheClip) {
    const uint32_t seed = TestSeed(20261209u);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> coord(-10.0f, 50.0f), angle(-7.0f, 7.0f);
    std::uniform_real_distribution<float> radius(0.5f, 30.0f);
    for (int i = 0; i < 2000; ++i) {
        const int w = int(rng() % 40) + 1, h = int(rng() % 40) + 1;
        const bool bottomUp = i & 1;
        TestBitmap whole(w, h, bottomUp), cut(w, h, bottomUp);
        FillPattern(whole, uint32_t(i));
        FillPattern(cut, uint32_t(i));
        const std::vector<uint32_t> before(whole.Pixels(), whole.Pixels() + size_t(w) * h);
        const int l = int(rng() % (w + 4)) - 2, t = int(rng() % (h + 4)) - 2;
        const PixelClip clip = {l, t, l + int(rng() % (w + 2)), t + int(rng() % (h + 2))};
        const BlitFlags flags = (rng() % 3) | (rng() % 2 ? UseSourceAlpha : 0);
        const float weight = float(rng() % 5) * 0.3f;
        const bool antiAlias = rng() % 2;
        const uint32_t color = 0xC000FF80u ^ uint32_t(rng() & 0x00FFFFFF);
        switch (rng() % 3) {
        case 0: {
            const float x1 = coord(rng), y1 = coord(rng), x2 = coord(rng), y2 = coord(rng);
            Line(&whole, x1, y1, x2, y2, color, weight, flags, antiAlias);
            Line(&cut, x1, y1, x2, y2, color, weight, flags, antiAlias, &clip);
            break;
        }
        case 1: {
            const float cx = coord(rng), cy = coord(rng), r = radius(rng);
            const float a = angle(rng), b = angle(rng);
            Arc(&whole, cx, cy, r, a, b, color, weight, flags, antiAlias);
            Arc(&cut, cx, cy, r, a, b, color, weight, flags, antiAlias, &clip);
            break;
        }
        default: {
            const float cx = coord(rng), cy = coord(rng), r = radius(rng);
            Circle(&whole, cx, cy, r, color, weight, flags, antiAlias);
            Circle(&cut, cx, cy, r, color, weight, flags, antiAlias, &clip);
            break;
        }
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                // Picture row y is memory row h - 1 - y in a bottom-up bitmap.
                const size_t at = size_t(bottomUp ? h - 1 - y : y) * size_t(w) + size_t(x);
                const bool inside = x >= clip.l && x < clip.r && y >= clip.t && y < clip.b;
                ASSERT_EQ(cut.Pixels()[at], inside ? whole.Pixels()[at] : before[at])
                    << "case " << i << " at " << x << "," << y << ", seed " << seed;
            }
    }
}
