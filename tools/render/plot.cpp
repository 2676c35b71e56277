#include "tools/render/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/db.h"
#include "draw/png_write.h"
#include "editor/offscreen_editor.h"
#include "editor/text_raster.h"
#include "effect/ui/axis_scale.h"
#include "effect/ui/bar_colors.h"
#include "effect/ui/palette.h"

namespace {

// The editor's artwork (img/draw_images.py); the displays' colours are the
// palette's.
const Color kPanelTop(255, 34, 37, 43);
const Color kPanelBottom(255, 22, 24, 28);
const Color kWellFill(255, 17, 19, 23);
const Color kWellEdge(255, 64, 70, 80);
const Color kPlotFill(255, 8, 9, 11);
const Color kAccent(255, 92, 214, 128);
const Color kTextDim(255, 128, 134, 144);
// The background of the columns an event covers, in every panel.
const Color kEventShade(255, 18, 46, 32);

// Spacing, in pixels.
const int kMargin = 8;      // around the picture
const int kGutter = 44;     // left of the plots, for the level labels
const int kCaption = 18;    // the panel's caption above its well
const int kPad = 6;         // between a well's edge and its plot
const int kTimeLabels = 16; // below the output plot
const int kBarLabels = 14;  // above the input plot, with a tempo
const int kGap = 4;         // between two wells
// A fitted scale leaves the loudest value this far below the top, as the
// detect panel's fit does.
const double kFitRatio = 0.9375;

// An editor without a window whose text is drawn (FreeType) into the picture,
// and whose drawing calls reach the whole picture.
class PlotCanvas : public OffscreenEditor {
public:
    PlotCanvas(int width, int height) : OffscreenEditor(nullptr, width, height, 0) {
        PrepareSurface();
        mDrawRect = Rect(0, 0, width, height);
    }
    bool DrawString(const TextStyle& style, const char* text, const Rect& rect) override {
        if (!text) return true;
        Bitmap* back = BackBuffer();
        return back && mText.Draw(*back, mDrawRect, style, text, rect);
    }
    // The text's width in pixels (an estimate when no font loads).
    int TextWidth(const TextStyle& style, const char* text) {
        int w = 0, h = 0;
        if (!mText.Measure(style, text, w, h)) w = style.mSize * int(std::strlen(text)) / 2;
        return w;
    }

private:
    TextRaster mText;
};

// The highest magnitude in the columns, leaving out the infinite samples
// (held at the float's largest value by the binning).
double PeakOf(const std::vector<ColumnSpan>& spans) {
    float peak = 0.0f;
    for (const ColumnSpan& c : spans)
        for (const float v : {std::fabs(c.lo), std::fabs(c.hi)})
            if (v < 3.4e38f) peak = std::max(peak, v);
    return peak;
}

double FittedScale(double peak) {
    return peak > 0.0 && std::isfinite(peak) ? peak / kFitRatio : 1.0;
}

// A well: the editor's rounded dark rectangle with its lighter edge.
void DrawWell(Editor& g, const Rect& r) {
    const Blend copy(BlendCopy, 1.0f);
    g.FillColorRect(kWellFill, Rect(r.L + 1, r.T + 1, r.R - 1, r.B - 1), &copy);
    g.DrawHorizontalLine(kWellEdge, r.T, r.L + 2, r.R - 3);
    g.DrawHorizontalLine(kWellEdge, r.B - 1, r.L + 2, r.R - 3);
    g.DrawVerticalLine(kWellEdge, r.L, r.T + 2, r.B - 3);
    g.DrawVerticalLine(kWellEdge, r.R - 1, r.T + 2, r.B - 3);
    for (const int x : {r.L + 1, r.R - 2})
        for (const int y : {r.T + 1, r.B - 2})
            g.WritePixel(kWellEdge, x, y);
}

// The caption above a well: the editor's green section label and its line.
void DrawCaption(PlotCanvas& g, const Rect& well, const char* text) {
    const TextStyle style(14, kAccent, "Arial", TextStyle::Bold, TextStyle::AlignLeft, 0);
    const int y = well.T - kCaption + 1;
    g.DrawString(style, text, Rect(well.L + 6, y, well.L + 200, y + 14));
    const int w = g.TextWidth(style, text);
    g.DrawHorizontalLine(kAccent, y + 8, well.L + 12 + w, well.L + 12 + w + 100);
}

// The threshold's value in a box at the left end of its line, as the detect
// panel shows it.
void DrawThresholdBox(Editor& g, const TextStyle& text, int x, int y, double threshold) {
    const Rect box(x - 30, y - 7, x - 3, y + 7);
    const Blend copy(BlendCopy, 1.0f);
    g.FillColorRect(kBoxFill, box, &copy);
    const int l = box.L, t = box.T, r = box.R - 1, b = box.B - 1;
    g.DrawHorizontalLine(kGrey, t, l + 2, r - 2);
    g.DrawHorizontalLine(kGrey, b, l + 2, r - 2);
    g.DrawVerticalLine(kGrey, l, t + 2, b - 2);
    g.DrawVerticalLine(kGrey, r, t + 2, b - 2);
    const Color side(255, kGrey.mR * 3 / 4, kGrey.mG * 3 / 4, kGrey.mB * 3 / 4);
    for (const int cx : {l + 1, r - 1})
        for (const int cy : {t + 1, b - 1})
            g.WritePixel(side, cx, cy);
    char label[32];
    FormatDb(AmpToDb(threshold), label, int(sizeof label), false);
    TextStyle style = text;
    style.mColor = kWhite;
    style.mAlign = TextStyle::AlignRight;
    g.DrawString(style, label, Rect(box.L, box.T + 2, box.R - 3, box.B));
}

// Fills the columns of every event in each panel with the event shade.
std::vector<uint8_t> EventColumns(const RenderTrace& trace, int columns) {
    std::vector<uint8_t> marked(size_t(columns > 0 ? columns : 0), 0);
    if (trace.frames == 0 || columns <= 0) return marked;
    for (const PlotEvent& e : trace.events) {
        if (e.start < 0 || size_t(e.start) >= trace.frames) continue;
        const int64_t last =
            std::min<int64_t>(e.start + std::max<int64_t>(e.length, 1), int64_t(trace.frames)) - 1;
        const int from = ColumnOf(size_t(e.start), trace.frames, columns);
        const int to = ColumnOf(size_t(last), trace.frames, columns);
        for (int c = from; c <= to; ++c)
            marked[size_t(c)] = 1;
    }
    return marked;
}

// The x of an axis position (0 at the left edge of r, 1 at its right), as the
// axis scales place their ticks.
int TickX(const Rect& r, double position) {
    return int(r.L + position * (r.R - r.L));
}

// The bars at the trace's tempo: a dotted line and a number every so many bars,
// so that the numbers stay apart.
void DrawBars(Editor& g, const PlotLayout& layout, const RenderTrace& trace,
              const TextStyle& text) {
    if (!(trace.tempo > 0.0) || !std::isfinite(trace.tempo) || trace.frames == 0) return;
    const double barFrames = trace.rate * 60.0 / trace.tempo * std::max(trace.beatsPerBar, 1);
    const Rect& in = layout.input;
    const double pixelsPerBar = barFrames / double(trace.frames) * in.W();
    if (!(pixelsPerBar > 0.0) || !std::isfinite(pixelsPerBar)) return;
    int step = 1;
    while (step * pixelsPerBar < 32.0 && step < (1 << 24))
        step *= 2;
    TextStyle style = text;
    style.mAlign = TextStyle::AlignLeft;
    style.mColor = kTextDim;
    g.DrawString(style, "bar", Rect(in.L - 30, in.T - kBarLabels, in.L, in.T - 2));
    style.mAlign = TextStyle::AlignCenter;
    for (int64_t bar = 0;; bar += step) {
        const double at = double(bar) * barFrames;
        if (at >= double(trace.frames)) break;
        const int x = in.L + int(at / double(trace.frames) * in.W());
        char label[24];
        std::snprintf(label, sizeof label, "%lld", static_cast<long long>(bar + 1));
        g.DrawString(style, label, Rect(x - 20, in.T - kBarLabels, x + 20, in.T - 2));
        for (const Rect* r : {&layout.input, &layout.band, &layout.output})
            for (int y = r->T; y < r->B; y += 2)
                g.WritePixel(kHalfAzure, x, y);
    }
}

// A waveform panel: per column a line from the highest to the lowest sample,
// in colour(distance from the centre row, half the panel's height).
template <typename Colour>
void DrawWave(Editor& g, const PlotLayout& layout, const Rect& r,
              const std::vector<ColumnSpan>& spans, Colour colour) {
    const int centre = layout.WaveRow(r, 0.0);
    const int half = std::max(centre - r.T, 1);
    for (int c = 0; c < int(spans.size()) && c < r.W(); ++c) {
        const int top = layout.WaveRow(r, spans[size_t(c)].hi);
        const int bottom = layout.WaveRow(r, spans[size_t(c)].lo);
        for (int y = top; y <= bottom; ++y)
            g.WritePixel(colour(std::abs(y - centre), half), r.L + c, y);
    }
}

} // namespace

int ColumnOf(size_t frame, size_t frames, int columns) {
    if (frames == 0 || columns <= 0) return 0;
    if (frame >= frames) return columns - 1;
    return int(uint64_t(frame) * uint64_t(columns) / uint64_t(frames));
}

size_t FirstFrameOf(int column, size_t frames, int columns) {
    if (columns <= 0 || column <= 0) return 0;
    if (column >= columns) return frames;
    const uint64_t n = uint64_t(column) * uint64_t(frames);
    return size_t((n + uint64_t(columns) - 1) / uint64_t(columns));
}

std::vector<ColumnSpan> BinColumns(const float* samples, size_t frames, int channels, int columns) {
    std::vector<ColumnSpan> spans(size_t(columns > 0 ? columns : 0));
    if (!samples || frames == 0 || channels <= 0 || columns <= 0) return spans;
    const size_t ch = size_t(channels);
    for (int c = 0; c < columns; ++c) {
        const size_t from = FirstFrameOf(c, frames, columns);
        const size_t to = FirstFrameOf(c + 1, frames, columns);
        if (from >= to) {
            if (c > 0) spans[size_t(c)] = spans[size_t(c) - 1];
            continue;
        }
        // The channels are binned together: one flat run of samples. NaN
        // fails both comparisons and is skipped; the loop has no branch and
        // runs on the vector units.
        float lo = 3.4e38f, hi = -3.4e38f;
        const float* run = samples + from * ch;
        const size_t count = (to - from) * ch;
        for (size_t i = 0; i < count; ++i) {
            const float v = run[i];
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
        if (lo > hi) lo = hi = 0.0f; // nothing but NaN
        spans[size_t(c)] = ColumnSpan{std::max(lo, -3.4e38f), std::min(hi, 3.4e38f)};
    }
    return spans;
}

PlotLayout::PlotLayout(int w, int h, const RenderTrace& trace) {
    width = std::clamp(w, kMinWidth, kMaxWidth);
    height = std::clamp(h, kMinHeight, kMaxHeight);
    const bool bars = trace.tempo > 0.0 && std::isfinite(trace.tempo);
    const int barRow = bars ? kBarLabels : 0;
    const int fixed = 2 * kMargin + 3 * (kCaption + 2 * kPad) + 2 * kGap + kTimeLabels + barRow;
    const int free = height - fixed;
    const int waveH = free * 3 / 10, bandH = free - 2 * waveH;
    const int left = kMargin + kGutter, right = width - kMargin - kPad;
    int y = kMargin + kCaption + kPad + barRow;
    input = Rect(left, y, right, y + waveH);
    y = input.B + kPad + kGap + kCaption + kPad;
    band = Rect(left, y, right, y + bandH);
    y = band.B + kPad + kGap + kCaption + kPad;
    output = Rect(left, y, right, y + waveH);

    const int columns = band.W();
    inputColumns = BinColumns(trace.input, trace.frames, 2, columns);
    outputColumns = BinColumns(trace.output, trace.frames, 2, columns);
    bandColumns = BinColumns(trace.band, trace.frames, 1, columns);
    waveScale = FittedScale(std::max(PeakOf(inputColumns), PeakOf(outputColumns)));
    double bandPeak = PeakOf(bandColumns);
    if (trace.threshold > 0.0 && std::isfinite(trace.threshold))
        bandPeak = std::max(bandPeak, trace.threshold);
    bandScale = FittedScale(bandPeak);
}

int PlotLayout::BandRow(double level) const {
    const double pixels = level / (bandScale / band.H());
    if (!(pixels > 0.0)) return band.B;
    if (!(pixels < band.H())) return band.T;
    const int y = band.B - int(pixels);
    return y < band.T ? band.T : y;
}

int PlotLayout::WaveRow(const Rect& panel, double amplitude) const {
    const double centre = 0.5 * (panel.T + panel.B - 1);
    const double half = 0.5 * (panel.H() - 1);
    const double v = amplitude == amplitude ? amplitude : 0.0;
    const double y = std::round(centre - v / waveScale * half);
    if (!(y > panel.T)) return panel.T;
    if (!(y < panel.B - 1)) return panel.B - 1;
    return int(y);
}

PlotLayout DrawRenderPlot(const RenderTrace& trace, int width, int height,
                          std::vector<uint32_t>& pixels) {
    const PlotLayout layout(width, height, trace);
    PlotCanvas canvas(layout.width, layout.height);
    Editor& g = canvas;
    const Blend copy(BlendCopy, 1.0f);
    const int columns = layout.Columns();
    const TextStyle text(12, kGrey, "Arial", TextStyle::Normal, TextStyle::AlignCenter, 0);

    // 1. The background, wells, plots and captions.
    for (int y = 0; y < layout.height; ++y)
        g.FillColorRect(MixColor(kPanelTop, kPanelBottom, y, layout.height),
                        Rect(0, y, layout.width, y + 1), &copy);
    const bool bars = trace.tempo > 0.0 && std::isfinite(trace.tempo);
    const Rect* plots[3] = {&layout.input, &layout.band, &layout.output};
    const char* captions[3] = {"input", "detector band", "output"};
    for (int i = 0; i < 3; ++i) {
        const Rect& p = *plots[i];
        const int above = kPad + (i == 0 && bars ? kBarLabels : 0);
        const int below = kPad + (i == 2 ? kTimeLabels : 0);
        const Rect well(kMargin, p.T - above, layout.width - kMargin, p.B + below);
        DrawWell(g, well);
        DrawCaption(canvas, well, captions[i]);
        g.FillColorRect(kPlotFill, p, &copy);
    }
    if (!trace.caption.empty()) {
        TextStyle style = text;
        style.mColor = kTextDim;
        style.mAlign = TextStyle::AlignRight;
        g.DrawString(style, trace.caption.c_str(),
                     Rect(layout.width / 2, kMargin, layout.width - kMargin - 4, kMargin + 12));
    }

    // 2. The events' columns, shaded in every panel.
    const std::vector<uint8_t> marked = EventColumns(trace, columns);
    for (int c = 0; c < columns;) {
        if (!marked[size_t(c)]) {
            ++c;
            continue;
        }
        int end = c;
        while (end < columns && marked[size_t(end)])
            ++end;
        for (const Rect* p : plots)
            g.FillColorRect(kEventShade, Rect(p->L + c, p->T, p->L + end, p->B), &copy);
        c = end;
    }

    // 3. Scales and grid: seconds (labels under the output), levels per panel,
    // then the bars.
    AxisScale time;
    time.mMinGap = 0.02;
    time.BuildTimeTicks(0.0, double(trace.frames), trace.rate, false);
    time.DrawTimeScale(&g, text, layout.output, kGrid, false);
    for (const Rect* p : {&layout.input, &layout.band})
        for (int i = 0; i < time.TickCount(); ++i) {
            const int x = TickX(*p, time.TickPosition(i));
            g.DrawVerticalLine(kGrid, x, p->T, p->B - 1);
        }
    AxisScale wave, level;
    wave.mMinGap = level.mMinGap = 0.08;
    wave.BuildAmpTicks(-layout.waveScale, layout.waveScale, false);
    level.BuildAmpTicks(0.0, layout.bandScale, false);
    wave.DrawLevelScale(&g, text, layout.input, kGrid, true);
    wave.DrawLevelScale(&g, text, layout.output, kGrid, true);
    level.DrawLevelScale(&g, text, layout.band, kGrid, true);
    DrawBars(g, layout, trace, text);

    // 4. The waveforms: the input grey, the output green, darker away from the centre.
    if (trace.frames > 0) {
        DrawWave(g, layout, layout.input, layout.inputColumns, [](int, int) { return kGrey; });
        DrawWave(g, layout, layout.output, layout.outputColumns,
                 [](int i, int n) { return MixColor(kBarGreen, kBarDarkGreen, i, n); });
    }

    // 5. The band's level: green bars in events, grey outside, as in the detect
    // panel; then the threshold line and its value.
    if (trace.frames > 0 && trace.band) {
        const std::vector<ColumnSpan>& levels = layout.bandColumns;
        const Rect& b = layout.band;
        for (int c = 0; c < columns; ++c) {
            const int top = layout.BandRow(levels[size_t(c)].hi);
            const int n = b.B - top;
            for (int i = 0; i < n; ++i)
                g.WritePixel(marked[size_t(c)] ? BarGradient(i, n) : kGrey, b.L + c, b.B - 1 - i);
        }
    }
    if (trace.threshold > 0.0 && std::isfinite(trace.threshold)) {
        const int y = layout.BandRow(trace.threshold);
        g.DrawHorizontalLine(kAzure, y, layout.band.L, layout.band.R - 1);
        DrawThresholdBox(g, text, layout.band.L, y, trace.threshold);
    }

    const Bitmap* back = canvas.BackBuffer();
    pixels.assign(size_t(layout.width) * size_t(layout.height), 0xFF000000u);
    if (back && back->Pixels())
        for (int y = 0; y < layout.height; ++y)
            std::memcpy(&pixels[size_t(y) * size_t(layout.width)],
                        back->Pixels() + size_t(y) * size_t(back->RowSpan()),
                        size_t(layout.width) * sizeof(uint32_t));
    return layout;
}

std::vector<uint8_t> EncodePlotPng(const std::vector<uint32_t>& pixels, const PlotLayout& layout) {
    if (pixels.size() != size_t(layout.width) * size_t(layout.height)) return {};
    return EncodePixelsPng(pixels.data(), layout.width, layout.height, layout.width, false);
}
