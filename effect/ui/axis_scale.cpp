#include "effect/ui/axis_scale.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "base/db.h"
#include "base/round_double.h"
#include "editor/editor.h"

namespace {

// Guards against ranges so far from zero that a step no longer moves the
// position, or a minimum gap too small to ever stop the level ticks.
constexpr int kMaxTimeTicks = 64;
constexpr double kLowestTickDb = -144.0;

// 10 to the power n by repeated multiplication; n < 0 takes the reciprocal.
double PowerOfTen(int n) {
    double p = 1.0;
    for (int i = 0; i < (n < 0 ? -n : n); ++i)
        p *= 10.0;
    return n < 0 ? 1.0 / p : p;
}

// Pixel conversions truncate; positions far off the screen are held to a
// range every drawing call takes.
int ToPixel(double v) {
    if (!(v == v)) return 0;
    if (v > 1e9) return 1000000000;
    if (v < -1e9) return -1000000000;
    return int(v);
}

TextStyle Aligned(const TextStyle& style, int align) {
    TextStyle aligned = style;
    aligned.mAlign = align;
    return aligned;
}

// One tick of a scale: its label in box (when it has one), then its grid line
// from (x1, y1) to (x2, y2). True when both drawing calls succeeded.
bool DrawTick(Editor* g, const TextStyle& style, const char* label, const Rect& box,
              const Color& lineColor, int x1, int y1, int x2, int y2) {
    bool ok = true;
    if (label[0]) ok = g->DrawString(style, label, box) && ok;
    return g->DrawLine(lineColor, float(x1), float(y1), float(x2), float(y2), nullptr, false) && ok;
}

// The box of a level label in the column left..right, centred on row y.
Rect LabelRow(int left, int right, int y) {
    return Rect(left, y - 5, right, y + 5);
}

// A level tick at row y: its label in the column left..right, its grid line
// across rect.
bool DrawLevelTick(Editor* g, const TextStyle& style, const char* label, int left, int right, int y,
                   const Rect& rect, const Color& lineColor) {
    return DrawTick(g, style, label, LabelRow(left, right, y), lineColor, rect.L, y, rect.R, y);
}

} // namespace

int AxisScale::AddTick(double position, const char* label) {
    const int32_t at = mTicks.Size();
    uint8_t* bytes = mTicks.Resize(at + kTickBytes, true);
    if (!bytes) return TickCount();
    const float pos = float(position);
    std::memcpy(bytes + at, &pos, 4);
    char* text = reinterpret_cast<char*>(bytes + at + 4);
    std::memset(text, 0, kLabelSize);
    if (label) std::strncpy(text, label, kLabelSize - 1);
    return TickCount();
}

float AxisScale::TickPosition(int index) const {
    if (index < 0 || index >= TickCount()) return 0.0f;
    float pos;
    std::memcpy(&pos, mTicks.Bytes() + index * kTickBytes, 4);
    return pos;
}

const char* AxisScale::TickLabel(int index) const {
    if (index < 0 || index >= TickCount()) return "";
    return reinterpret_cast<const char*>(mTicks.Bytes() + index * kTickBytes + 4);
}

void AxisScale::FormatTime(double x, bool withHundredths, char* out, bool secondsOnly) {
    if (!out) return;
    const bool negative = x < 0;
    double a = std::fabs(x);
    if (!(a <= 1e8)) a = a > 1e8 ? 1e8 : 0.0; // NaN reads as zero
    const double h = std::floor(a * 100 + 0.5);
    const double s = std::floor(h / 100);
    const double m = std::floor(s / 60);
    const int sec = int(s - 60 * m);
    const int cs = int(h - 100 * s);
    const int minutes = int(m);
    // The sign goes in front of the text, so that a time under a minute (or
    // under a second) keeps it; a time that shows as zero shows no sign.
    bool showsZero;
    if (withHundredths)
        showsZero = cs == 0 && sec == 0 && (secondsOnly || minutes == 0);
    else
        showsZero = sec == 0 && (secondsOnly || minutes == 0);
    const char* sign = negative && !showsZero ? "-" : "";
    if (withHundredths && secondsOnly)
        std::snprintf(out, kLabelSize, "%s%d.%02d", sign, sec, cs);
    else if (withHundredths)
        std::snprintf(out, kLabelSize, "%s%d:%02d.%02d", sign, minutes, sec, cs);
    else if (secondsOnly)
        std::snprintf(out, kLabelSize, "%s%d", sign, sec);
    else
        std::snprintf(out, kLabelSize, "%s%d:%02d", sign, minutes, sec);
}

void AxisScale::FormatDb(double db, bool withUnit, char* out) {
    ::FormatDb(db, out, kLabelSize, withUnit);
}

void AxisScale::BuildTimeTicks(double start, double end, double rate, bool secondsOnly) {
    mTicks.SetLength(0);
    mFirstLabel[0] = mLastLabel[0] = 0;
    if (!std::isfinite(rate) || rate == 0.0) return;
    const double a = start / rate, b = end / rate;
    if (!std::isfinite(a) || !std::isfinite(b)) return;
    const double span = b - a;
    const bool withHundredths = span < 10;
    FormatTime(a, withHundredths, mFirstLabel, secondsOnly);
    FormatTime(b, withHundredths, mLastLabel, secondsOnly);
    if (!(span > 0) || !std::isfinite(span)) return;

    double step = PowerOfTen(int(std::log10(span)));
    if (std::trunc(span / step) < 1) step *= 0.1;
    if (span / step < 4) step *= 0.5;
    if (!(step > 0)) return;

    double v = (std::floor(a / step) + 1) * step;
    char label[kLabelSize];
    for (int n = 0; v < b && n < kMaxTimeTicks; ++n) {
        const double w = (v - a) / span;
        if (mMinGap < w && w < 1 - mMinGap) {
            label[0] = 0;
            if (0.1 < w && w < 0.9) FormatTime(v, withHundredths, label, secondsOnly);
            AddTick(w, label);
        }
        double next = v + step;
        RoundToDouble(next); // compared as the double it becomes, also on x87
        if (next == v) break;
        v = next;
    }
}

void AxisScale::BuildAmpTicks(double lo, double hi, bool withUnit) {
    mTicks.SetLength(0);
    const double dLo = 20 * std::log10(std::fabs(lo));
    const double dHi = 20 * std::log10(std::fabs(hi));
    FormatDb(dLo, false, mFirstLabel);
    FormatDb(dHi, false, mLastLabel);
    const double span = hi - lo;
    if (!std::isfinite(lo) || !std::isfinite(hi) || !(span > 0) || !std::isfinite(span)) return;
    const double zero = -lo / span;
    const double m = mMinGap;
    char label[kLabelSize];

    if (lo < 0) {
        if (hi > 0) {
            FormatDb(-HUGE_VAL, withUnit, label);
            AddTick(zero, label);
        }
        double c = std::floor((dLo - 0.5) / 3) * 3;
        double pos = zero - std::pow(10.0, c / 20) / span;
        if (2 * m < pos && pos < 1 - 2 * m) {
            FormatDb(c, withUnit, label);
            AddTick(pos, label);
        }
        for (;;) {
            c -= 3;
            const double previous = pos;
            pos = zero - std::pow(10.0, c / 20) / span;
            if (pos - previous <= m || pos >= 1 - 2 * m || c < kLowestTickDb) break;
            FormatDb(c, withUnit, label);
            AddTick(pos, label);
        }
    }
    if (hi > 0) {
        double c = std::floor((dHi - 0.5) / 3) * 3;
        double pos = zero + std::pow(10.0, c / 20) / span;
        if (2 * m < pos && pos < 1 - 2 * m) {
            FormatDb(c, withUnit, label);
            AddTick(pos, label);
        }
        for (;;) {
            c -= 3;
            const double previous = pos;
            pos = zero + std::pow(10.0, c / 20) / span;
            if (previous - pos <= m || pos <= 2 * m || c < kLowestTickDb) break;
            FormatDb(c, withUnit, label);
            AddTick(pos, label);
        }
    }
}

int AxisScale::TimeTickX(int index, const Rect& rect) const {
    return ToPixel(rect.L + double(TickPosition(index)) * (rect.R - rect.L));
}

bool AxisScale::DrawTimeScale(Editor* g, const TextStyle& style, const Rect& rect,
                              const Color& lineColor, bool above) const {
    if (!g) return false;
    const int d = above ? rect.T - 5 : rect.B + 15;
    bool ok = true;
    ok = g->DrawString(Aligned(style, TextStyle::AlignLeft), mFirstLabel,
                       Rect(rect.L, d - 10, rect.L + 20, d)) &&
         ok;
    char last[kLabelSize + 8];
    std::snprintf(last, sizeof last, "%s sec", mLastLabel);
    ok = g->DrawString(Aligned(style, TextStyle::AlignRight), last,
                       Rect(rect.R - 20, d - 10, rect.R, d)) &&
         ok;
    const TextStyle centred = Aligned(style, TextStyle::AlignCenter);
    for (int i = 0; i < TickCount(); ++i) {
        const int x = TimeTickX(i, rect);
        ok = DrawTick(g, centred, TickLabel(i), Rect(x - 10, d - 10, x + 10, d), lineColor, x,
                      rect.T, x, rect.B) &&
             ok;
    }
    return ok;
}

bool AxisScale::DrawLevelScale(Editor* g, const TextStyle& style, const Rect& rect,
                               const Color& lineColor, bool left) const {
    if (!g) return false;
    const int e = left ? rect.L - 5 : rect.R + 25;
    const TextStyle right = Aligned(style, TextStyle::AlignRight);
    bool ok = true;
    ok = g->DrawString(right, mFirstLabel, LabelRow(e - 20, e, rect.B)) && ok;
    ok = g->DrawString(right, mLastLabel, LabelRow(e - 20, e, rect.T)) && ok;
    for (int i = 0; i < TickCount(); ++i) {
        const int y = ToPixel(rect.B - double(TickPosition(i)) * (rect.B - rect.T));
        ok = DrawLevelTick(g, right, TickLabel(i), e - 20, e, y, rect, lineColor) && ok;
    }
    return ok;
}

bool AxisScale::DrawCentredScale(Editor* g, const TextStyle& style, const Rect& rect,
                                 const Color& lineColor, bool left) const {
    if (!g) return false;
    const int c = ToPixel((double(rect.T) + rect.B) * 0.5);
    const int colL = left ? rect.L - 25 : rect.R + 5;
    const int colR = left ? rect.L - 5 : rect.R + 25;
    const TextStyle right = Aligned(style, TextStyle::AlignRight);
    bool ok = true;
    ok = g->DrawString(right, mFirstLabel, LabelRow(colL, colR, c)) && ok;
    ok = g->DrawString(right, mLastLabel, Rect(colL, rect.T, colR, rect.T + 10)) && ok;
    ok = g->DrawString(right, mLastLabel, Rect(colL, rect.B - 10, colR, rect.B)) && ok;
    for (int i = 0; i < TickCount(); ++i) {
        const int v = ToPixel(double(TickPosition(i)) * 0.5 * (rect.B - rect.T));
        for (const int y : {c - v, c + v})
            ok = DrawLevelTick(g, right, TickLabel(i), colL, colR, y, rect, lineColor) && ok;
    }
    return ok;
}
