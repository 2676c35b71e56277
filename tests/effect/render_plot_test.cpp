// The picture of a whole render (tools/render/plot.*), read back pixel by
// pixel against the trace it was drawn from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "tests/common/test_seed.h"
#include "tools/render/plot.h"

namespace {

const uint32_t kAzureWord = 0xFF006EFFu;
const uint32_t kShadeWord = 0xFF122E20u;
const uint32_t kGridWord = 0xFF282828u;

uint32_t At(const std::vector<uint32_t>& px, const PlotLayout& l, int x, int y) {
    return px[size_t(y) * size_t(l.width) + size_t(x)];
}
int Green(uint32_t w) {
    return int(w >> 8 & 0xFF);
}
// The waveforms and bars are drawn in colours of at least this much green
// (grey 127 and the bar greens); the plot's fill, the grid and the shade are darker.
bool Drawn(uint32_t w) {
    return Green(w) >= 100;
}

// A known signal: a quiet tone with hits of a loud one at known frames, the
// band level a decaying envelope of the hits.
struct KnownTrace {
    std::vector<float> in, out, band;
    RenderTrace trace;

    KnownTrace(size_t frames, const std::vector<int64_t>& hits, int64_t hitLength) {
        in.assign(frames * 2, 0.0f);
        out.assign(frames * 2, 0.0f);
        band.assign(frames, 0.0f);
        std::mt19937 random(TestSeed(19u));
        std::uniform_real_distribution<float> noise(-0.02f, 0.02f);
        for (size_t i = 0; i < frames; ++i) {
            in[2 * i] = noise(random);
            in[2 * i + 1] = 0.1f * std::sin(0.05f * float(i));
            out[2 * i] = 0.5f * in[2 * i];
            out[2 * i + 1] = 0.5f * in[2 * i + 1];
            band[i] = 0.05f;
        }
        for (const int64_t h : hits)
            for (int64_t i = h; i < h + hitLength && size_t(i) < frames; ++i) {
                const float decay = std::exp(-3.0f * float(i - h) / float(hitLength));
                in[size_t(2 * i)] = 0.9f * decay * (i % 2 ? 1.0f : -1.0f);
                out[size_t(2 * i)] = 0.7f * decay * (i % 2 ? -1.0f : 1.0f);
                band[size_t(i)] = 0.8f * decay;
            }
        trace.input = in.data();
        trace.output = out.data();
        trace.band = band.data();
        trace.frames = frames;
        trace.rate = 48000.0;
        trace.threshold = 0.25;
        for (const int64_t h : hits)
            trace.events.push_back(PlotEvent{h, hitLength, 0.8, true});
    }
};

} // namespace

TEST(PlotBinning, EachColumnHoldsTheLowestAndHighestOfItsFrames) {
    std::mt19937 random(TestSeed(19u));
    std::uniform_real_distribution<float> value(-2.0f, 2.0f);
    // More frames than columns, fewer, equal; mono and stereo; with NaN.
    const struct {
        size_t frames;
        int channels, columns;
    } cases[] = {{10007, 2, 313}, {50, 2, 400}, {400, 1, 400}, {1, 2, 16}, {99991, 1, 1600}};
    for (const auto& c : cases) {
        std::vector<float> s(c.frames * size_t(c.channels));
        for (float& v : s)
            v = value(random);
        s[s.size() / 2] = NAN;
        const std::vector<ColumnSpan> spans = BinColumns(s.data(), c.frames, c.channels, c.columns);
        ASSERT_EQ(spans.size(), size_t(c.columns));
        // Brute force: every frame's column from floor(frame * columns / frames).
        std::vector<float> lo(size_t(c.columns), 1e30f), hi(size_t(c.columns), -1e30f);
        std::vector<bool> hasFrames(size_t(c.columns), false);
        for (size_t f = 0; f < c.frames; ++f) {
            const size_t col = f * size_t(c.columns) / c.frames;
            hasFrames[col] = true;
            EXPECT_EQ(ColumnOf(f, c.frames, c.columns), int(col));
            for (int k = 0; k < c.channels; ++k) {
                const float v = s[f * size_t(c.channels) + size_t(k)];
                if (v != v) continue;
                lo[col] = std::min(lo[col], v);
                hi[col] = std::max(hi[col], v);
            }
        }
        for (int col = 0; col < c.columns; ++col) {
            if (!hasFrames[size_t(col)]) { // a column without frames repeats
                if (col > 0) {
                    EXPECT_EQ(spans[size_t(col)].lo, spans[size_t(col) - 1].lo);
                    EXPECT_EQ(spans[size_t(col)].hi, spans[size_t(col) - 1].hi);
                }
                continue;
            }
            if (lo[size_t(col)] > hi[size_t(col)]) lo[size_t(col)] = hi[size_t(col)] = 0.0f;
            EXPECT_EQ(spans[size_t(col)].lo, lo[size_t(col)]) << c.frames << " col " << col;
            EXPECT_EQ(spans[size_t(col)].hi, hi[size_t(col)]) << c.frames << " col " << col;
        }
    }
    EXPECT_TRUE(BinColumns(nullptr, 10, 2, 4)[3].hi == 0.0f);
}

TEST(RenderPlot, EventsThresholdAndWaveformsLieWhereTheTraceSays) {
    const size_t frames = 480000; // 10 s at 48 kHz
    const std::vector<int64_t> hits = {24000, 100000, 250000, 251000 + 9600, 470000};
    KnownTrace known(frames, hits, 9600);
    for (const auto& size : {std::pair<int, int>{1600, 600}, {777, 333}, {400, 240}}) {
        std::vector<uint32_t> px;
        const PlotLayout l = DrawRenderPlot(known.trace, size.first, size.second, px);
        ASSERT_EQ(px.size(), size_t(size.first) * size_t(size.second));
        const int columns = l.Columns();
        ASSERT_EQ(l.input.W(), columns);
        ASSERT_EQ(l.output.W(), columns);

        // Events: the columns from each hit's first to its last frame are shaded
        // in the band panel's top row (which no bar reaches); the grid's few
        // vertical lines cross it.
        std::vector<bool> expected(size_t(columns), false);
        for (const int64_t h : hits)
            for (int64_t f = h; f < h + 9600 && size_t(f) < frames; ++f)
                expected[size_t(f) * size_t(columns) / frames] = true;
        int gridColumns = 0;
        for (int c = 0; c < columns; ++c) {
            const uint32_t top = At(px, l, l.band.L + c, l.band.T);
            if (top == kGridWord) {
                ++gridColumns;
                continue;
            }
            EXPECT_EQ(top == kShadeWord, expected[size_t(c)]) << "column " << c;
            // Shaded in the waveform panels too, at their top row.
            EXPECT_EQ(At(px, l, l.input.L + c, l.input.T) == kShadeWord, expected[size_t(c)]);
        }
        EXPECT_LT(gridColumns, 24);

        // The threshold's row: the level's share of the scale, the scale being
        // the loudest of levels and threshold over 0.9375.
        const double scale = double(0.8f) / 0.9375;
        EXPECT_DOUBLE_EQ(l.bandScale, scale);
        const int row = l.band.B - int(0.25 / (scale / l.band.H()));
        EXPECT_EQ(l.BandRow(0.25), row);
        for (int x = l.band.L; x < l.band.R; ++x)
            ASSERT_EQ(At(px, l, x, row), kAzureWord) << x;
        EXPECT_NE(At(px, l, l.band.L + 5, row - 1), kAzureWord);

        // Waveforms: each column spans from its highest to its lowest sample,
        // computed here from the samples, and nothing is drawn past them.
        const double waveScale = double(0.9f) / 0.9375;
        EXPECT_DOUBLE_EQ(l.waveScale, waveScale);
        for (const bool output : {false, true}) {
            const std::vector<float>& s = output ? known.out : known.in;
            const Rect& p = output ? l.output : l.input;
            std::vector<float> lo(size_t(columns), 1e30f), hi(size_t(columns), -1e30f);
            for (size_t f = 0; f < frames; ++f) {
                const size_t col = f * size_t(columns) / frames;
                for (int k = 0; k < 2; ++k) {
                    lo[col] = std::min(lo[col], s[2 * f + size_t(k)]);
                    hi[col] = std::max(hi[col], s[2 * f + size_t(k)]);
                }
            }
            const double centre = 0.5 * (p.T + p.B - 1), half = 0.5 * (p.H() - 1);
            for (int c = 0; c < columns; ++c) {
                const int top = int(std::round(centre - hi[size_t(c)] / waveScale * half));
                const int bottom = int(std::round(centre - lo[size_t(c)] / waveScale * half));
                const int x = p.L + c;
                ASSERT_TRUE(Drawn(At(px, l, x, top))) << output << " column " << c;
                ASSERT_TRUE(Drawn(At(px, l, x, bottom))) << output << " column " << c;
                ASSERT_FALSE(Drawn(At(px, l, x, top - 1))) << output << " column " << c;
                ASSERT_FALSE(Drawn(At(px, l, x, bottom + 1))) << output << " column " << c;
            }
        }

        // The band's bars: green in events, grey outside, up to the column's
        // highest level.
        for (int c = 0; c < columns; c += 7) {
            float peak = 0.0f;
            for (size_t f = FirstFrameOf(c, frames, columns);
                 f < FirstFrameOf(c + 1, frames, columns); ++f)
                peak = std::max(peak, known.band[f]);
            const int top = l.band.B - int(peak / (scale / l.band.H()));
            const int x = l.band.L + c;
            if (top == row || top - 1 == row) continue; // under the threshold line
            const uint32_t bar = At(px, l, x, top);
            EXPECT_TRUE(Drawn(bar)) << c;
            EXPECT_EQ(bar == 0xFF7F7F7Fu, !expected[size_t(c)]) << c;
            EXPECT_FALSE(Drawn(At(px, l, x, top - 1))) << c;
        }
    }
}

TEST(RenderPlot, EmptyAndHostileTracesDrawWithoutFault) {
    RenderTrace empty;
    std::vector<uint32_t> px;
    PlotLayout l = DrawRenderPlot(empty, 10, 10, px); // limited to the smallest size
    EXPECT_EQ(l.width, PlotLayout::kMinWidth);
    EXPECT_EQ(px.size(), size_t(l.width) * size_t(l.height));
    // NaN and huge samples, events beyond the end, a threshold that is not a number.
    KnownTrace known(1000, {10, 900}, 500);
    known.in[7] = NAN;
    known.out[9] = 1e38f;
    known.band[3] = INFINITY;
    known.trace.events.push_back(PlotEvent{5000, 10, 1.0, false});
    known.trace.events.push_back(PlotEvent{-5, 10, 1.0, false});
    known.trace.threshold = NAN;
    known.trace.tempo = 1e-300;
    l = DrawRenderPlot(known.trace, 500, 300, px);
    EXPECT_EQ(px.size(), size_t(500 * 300));
    EXPECT_FALSE(EncodePlotPng(px, l).empty());
}
