#include "draw/primitives.h"

#include <algorithm>
#include <cmath>

#include "draw/pixel_ops.h"

namespace {

using namespace pixel_ops;

// Coordinates, radii and angles must be finite and inside the int range.
bool InIntRange(float v) {
    return v >= -2147483648.0f && v < 2147483648.0f; // false for NaN
}

// trunc(weight x part x 256) with the blitter's limits: the anti-aliased
// pixels of an arc share the weight between two pixels.
inline int PartWeight(float weight, double part) {
    const double w = double(weight) * part * 256.0;
    if (!(w == w)) return 0;
    if (w > kMaxWeight) return kMaxWeight;
    if (w < -kMaxWeight) return -kMaxWeight;
    return int(w);
}

// ---------------------------------------------------------------------------
// Lines

struct Point {
    long long x, y;
};

// Cohen-Sutherland region code: 1 left, 2 right, 4 above, 8 below the view.
int RegionCode(const View& v, const Point& p) {
    int code = 0;
    if (p.x < 0) {
        code |= 1;
    } else if (p.x > v.width - 1) {
        code |= 2;
    }
    if (p.y < 0) {
        code |= 4;
    } else if (p.y > v.height - 1) {
        code |= 8;
    }
    return code;
}

// Cuts the segment a-b to the view; false when nothing of it is left.
bool ClipSegment(const View& view, Point* a, Point* b) {
    int codeA = RegionCode(view, *a);
    int codeB = RegionCode(view, *b);
    const double width = view.width, height = view.height;
    // Every move puts one end on an edge, so a few rounds settle any segment;
    // one whose rounded ends keep leaving the view is dropped.
    for (int round = 0; round < 8; ++round) {
        if ((codeA | codeB) == 0) return true;
        if (codeA & codeB) return false;
        const bool moveA = codeA != 0;
        const int code = moveA ? codeA : codeB;
        const double x1 = double(a->x), y1 = double(a->y);
        const double x2 = double(b->x), y2 = double(b->y);
        double x, y;
        if (code & 8) {
            if (y2 == y1) return false;
            x = x1 + std::trunc((x2 - x1) * (height - y1) / (y2 - y1));
            y = height - 1;
        } else if (code & 4) {
            if (y2 == y1) return false;
            x = x1 - std::trunc((x2 - x1) * y1 / (y2 - y1));
            y = 0;
        } else if (code & 2) {
            if (x2 == x1) return false;
            x = width - 1;
            y = y1 + std::trunc((y2 - y1) * (width - x1) / (x2 - x1));
        } else {
            if (x2 == x1) return false;
            x = 0;
            y = y1 - std::trunc(x1 * (y2 - y1) / (x2 - x1));
        }
        const Point moved = {(long long)x, (long long)y};
        if (moveA) {
            *a = moved;
            codeA = RegionCode(view, moved);
        } else {
            *b = moved;
            codeB = RegionCode(view, moved);
        }
    }
    return false;
}

// The segments below get ends inside the view.

template <class Op>
void VerticalSegment(const View& view, int x, int y1, int y2, const Src& src, int weight) {
    const int dir = y2 >= y1 ? 1 : -1;
    for (int y = y1;; y += dir) {
        if (view.InClip(x, y)) Op::Apply(view.Row(y)[x], src, weight);
        if (y == y2) break;
    }
}

template <class Op>
void HorizontalSegment(const View& view, int y, int x1, int x2, const Src& src, int weight) {
    uint32_t* row = view.Row(y);
    const int dir = x2 >= x1 ? 1 : -1;
    for (int x = x1;; x += dir) {
        if (view.InClip(x, y)) Op::Apply(row[x], src, weight);
        if (x == x2) break;
    }
}

// A sloped segment walked along its longer axis. The position never passes
// the far end along the shorter axis, however the float steps add up.
template <class Op>
void GeneralSegment(const View& view, const Point& a, const Point& b, const Src& src, float weight,
                    bool antiAlias) {
    const int dx = int(b.x > a.x ? b.x - a.x : a.x - b.x);
    const int dy = int(b.y > a.y ? b.y - a.y : a.y - b.y);
    const int stepX = b.x > a.x ? 1 : -1;
    const int stepY = b.y > a.y ? 1 : -1;
    const bool xMajor = dx >= dy;
    const int major = xMajor ? dx : dy;
    const int minor = xMajor ? dy : dx;
    const int majorX = xMajor ? stepX : 0, majorY = xMajor ? 0 : stepY;
    const int minorX = xMajor ? 0 : stepX, minorY = xMajor ? stepY : 0;
    const float slope = float(minor) / float(major);
    int x = int(a.x), y = int(a.y), minorDone = 0;

    if (!antiAlias) {
        const int w = WeightToInt(weight);
        float acc = 0.0f;
        for (int i = 0; i <= major; ++i) {
            if (view.InClip(x, y)) Op::Apply(view.Row(y)[x], src, w);
            acc += slope;
            if (acc > 0.5f) {
                if (minorDone < minor) {
                    x += minorX;
                    y += minorY;
                    ++minorDone;
                }
                acc -= 1.0f;
            }
            x += majorX;
            y += majorY;
        }
        return;
    }
    // Pixel pairs across the ideal line: the current pixel and its neighbour
    // toward the far end share the weight by the fraction f.
    float f = 0.0f;
    for (int i = 0; i < major; ++i) {
        if (view.InClip(x, y)) Op::Apply(view.Row(y)[x], src, WeightToInt(weight * (1.0f - f)));
        if (minorDone < minor && view.InClip(x + minorX, y + minorY))
            Op::Apply(view.Row(y + minorY)[x + minorX], src, WeightToInt(weight * f));
        f += slope;
        if (f > 1.0f) {
            f -= 1.0f;
            if (minorDone < minor) {
                x += minorX;
                y += minorY;
                ++minorDone;
            }
        }
        x += majorX;
        y += majorY;
    }
}

// ---------------------------------------------------------------------------
// Arcs

// Angles come into 0..kTurn by whole turns; each quadrant spans kQuarter.
constexpr double kTurn = double(6.2831855f);
constexpr double kQuarter = double(1.5707964f);
constexpr double kQuartersPerRadian = double(0.63661975f);

// A quadrant's local point (u, v) = (r sin phi, r cos phi) lands on the screen
// at (m0 u + m1 v + cx, m2 u + m3 v + cy). Angle 0 points up, angles grow
// clockwise: quadrant 0 runs from 12 to 3 o'clock, 1 to 6, 2 to 9, 3 to 12.
struct Matrix {
    int m0, m1, m2, m3;
};
constexpr Matrix kQuadrantMatrix[4] = {{1, 0, 0, -1}, {0, 1, 1, 0}, {-1, 0, 0, 1}, {0, -1, -1, 0}};

struct ArcFrame {
    const View* view;
    Matrix m;
    double cx, cy;
    Src src;
};

template <class Op, bool Bounded>
inline void PlotLocal(const ArcFrame& fr, double u, double v, int weight) {
    const long long x = (long long)(fr.m.m0 * u + fr.m.m1 * v + fr.cx);
    const long long y = (long long)(fr.m.m2 * u + fr.m.m3 * v + fr.cy);
    if (Bounded && (x < 0 || y < 0 || x >= fr.view->width || y >= fr.view->height)) return;
    if (!fr.view->InClip(x, y)) return;
    Op::Apply(fr.view->Row(y)[x], fr.src, weight);
}

// The ends of a quarter arc in local coordinates: u grows and v falls from
// start to end.
struct QuarterArc {
    double r;
    double startU, startV, endU, endV;
};

// One half: the walked coordinate t steps by 1 from `from` while it does not
// exceed `last`; the other, sqrt(r^2 - t^2), is followed by a running pixel
// that starts at `run`. plot(t, other, weight) places a pixel.
template <bool AntiAlias, class Plot>
void WalkHalf(const QuarterArc& arc, double from, double last, double run, long long cap,
              float weight, Plot plot) {
    const int full = WeightToInt(weight);
    double previous = 0;
    long long n = 0;
    for (double t = from; t <= last && n < cap; t += 1, ++n) {
        const double other = std::sqrt(std::max(0.0, arc.r * arc.r - t * t));
        const double f = std::ceil(other) - other;
        if (f < previous) run -= 1;
        previous = f;
        if (AntiAlias) {
            plot(t, run, PartWeight(weight, 1 - f));
            plot(t, run - 1, PartWeight(weight, f));
        } else {
            plot(t, run, full);
        }
    }
}

// Walks a quarter arc in two halves: along u while the arc is flatter than
// 45 degrees, then along v. A running row (column) follows the arc down by
// whole pixels; with anti-aliasing each step draws the pixel pair across the
// ideal arc. The steps are capped at the view's larger extent, which no walk
// within the bounds can exceed.
template <class Op, bool Bounded, bool AntiAlias>
void ArcHalves(const ArcFrame& fr, const QuarterArc& arc, float weight) {
    const double diagonal = arc.r / std::sqrt(2.0);
    const long long cap = (long long)std::max(fr.view->width, fr.view->height) + 2;
    // Along u from the start, the running row in v.
    WalkHalf<AntiAlias>(arc, arc.startU, std::min(diagonal, arc.endU - 1), arc.startV, cap, weight,
                        [&](double u, double v, int w) { PlotLocal<Op, Bounded>(fr, u, v, w); });
    // Along v from the end, the running column in u.
    WalkHalf<AntiAlias>(arc, arc.endV, std::min(diagonal, arc.startV - 1), arc.endU, cap, weight,
                        [&](double v, double u, int w) { PlotLocal<Op, Bounded>(fr, u, v, w); });
}

// The local range lo..hi that the view's pixels cover along one local axis:
// ax and ay are the matrix entries taking screen x and y to that axis.
void LocalRange(const View& view, int ax, int ay, double cx, double cy, double* lo, double* hi) {
    double a, b;
    if (ax != 0) {
        a = ax * (0 - cx);
        b = ax * (view.width - 1 - cx);
    } else {
        a = ay * (0 - cy);
        b = ay * (view.height - 1 - cy);
    }
    *lo = std::min(a, b);
    *hi = std::max(a, b);
}

// One quadrant q from local angle phiStart to phiEnd (0..kQuarter).
template <class Op>
void ArcQuadrant(const View& view, int q, double cx, double cy, double r, double phiStart,
                 double phiEnd, const Src& src, float weight, bool antiAlias) {
    QuarterArc arc = {r, 0, r, r, 0};
    if (phiStart != 0) {
        arc.startU = r * std::sin(phiStart);
        arc.startV = r * std::cos(phiStart);
    }
    if (phiEnd != kQuarter) {
        arc.endU = r * std::sin(phiEnd);
        arc.endV = r * std::cos(phiEnd);
    }
    const ArcFrame fr = {&view, kQuadrantMatrix[q], cx, cy, src};
    // The matrices are their own transposes' inverses: local u comes from
    // screen x through m0 and from y through m2, v through m1 and m3.
    double uMin, uMax, vMin, vMax;
    LocalRange(view, fr.m.m0, fr.m.m2, cx, cy, &uMin, &uMax);
    LocalRange(view, fr.m.m1, fr.m.m3, cx, cy, &vMin, &vMax);
    if (arc.startU > uMax || arc.endU < uMin || arc.endV > vMax || arc.startV < vMin) return;

    // The walks reach up to two pixels below the start's u and the end's v
    // (the running row and its anti-aliased neighbour), so an arc that close
    // to the low bounds takes the plotters that test.
    const double reach = 3;
    if (arc.startU > uMin + reach && arc.endU < uMax && arc.endV > vMin + reach &&
        arc.startV < vMax) {
        if (antiAlias) {
            ArcHalves<Op, false, true>(fr, arc, weight);
        } else {
            ArcHalves<Op, false, false>(fr, arc, weight);
        }
        return;
    }
    const double r2 = r * r;
    if (arc.startU < uMin) {
        arc.startU = uMin;
        arc.startV = std::sqrt(std::max(0.0, r2 - uMin * uMin));
    }
    if (arc.endU > uMax) {
        arc.endU = uMax;
        arc.endV = std::sqrt(std::max(0.0, r2 - uMax * uMax));
    }
    if (arc.endV < vMin) {
        arc.endV = vMin;
        arc.endU = std::sqrt(std::max(0.0, r2 - vMin * vMin));
    }
    if (arc.startV > vMax) {
        arc.startV = vMax;
        arc.startU = std::sqrt(std::max(0.0, r2 - vMax * vMax));
    }
    if (arc.endU < arc.startU || arc.startV < arc.endV) return;
    if (antiAlias) {
        ArcHalves<Op, true, true>(fr, arc, weight);
    } else {
        ArcHalves<Op, true, false>(fr, arc, weight);
    }
}

// An angle in 0..kTurn, whole turns taken off or added.
double NormalizeAngle(double a) {
    if (a >= 0 && a <= kTurn) return a;
    a = std::fmod(a, kTurn);
    return a < 0 ? a + kTurn : a;
}

double ClampQuarter(double phi) {
    return phi < 0 ? 0 : phi > kQuarter ? kQuarter : phi;
}

// The clip in the view's rows (picture rows, or memory rows when memoryRows
// and the bitmap is bottom-up).
void SetClip(View& view, const Bitmap* dst, bool memoryRows, const PixelClip* clip) {
    if (!clip) return;
    view.clipL = clip->l;
    view.clipR = clip->r;
    if (memoryRows && dst->IsBottomUp()) {
        view.clipT = view.height - clip->b;
        view.clipB = view.height - clip->t;
    } else {
        view.clipT = clip->t;
        view.clipB = clip->b;
    }
}

} // namespace

// ---------------------------------------------------------------------------

void Line(Bitmap* dst, float x1, float y1, float x2, float y2, uint32_t color, float weight,
          BlitFlags flags, bool antiAlias, const PixelClip* clip) {
    if (!InIntRange(x1) || !InIntRange(y1) || !InIntRange(x2) || !InIntRange(y2)) return;
    // Memory rows: a bottom-up bitmap's picture rows are turned around first.
    View view;
    if (!MakeView(dst, &view, true)) return;
    SetClip(view, dst, true, clip);
    Point a = {(long long)x1, (long long)y1};
    Point b = {(long long)x2, (long long)y2};
    if (dst->IsBottomUp()) {
        a.y = view.height - 1 - a.y;
        b.y = view.height - 1 - b.y;
    }
    if (!ClipSegment(view, &a, &b)) return;
    const Src src = Unpack(color);
    Dispatch(flags, weight, [&](auto pixelOp) {
        using Op = decltype(pixelOp);
        if (a.x == b.x) {
            VerticalSegment<Op>(view, int(a.x), int(a.y), int(b.y), src, WeightToInt(weight));
        } else if (a.y == b.y) {
            HorizontalSegment<Op>(view, int(a.y), int(a.x), int(b.x), src, WeightToInt(weight));
        } else {
            GeneralSegment<Op>(view, a, b, src, weight, antiAlias);
        }
    });
}

void Arc(Bitmap* dst, float cx, float cy, float r, float startAngle, float endAngle, uint32_t color,
         float weight, BlitFlags flags, bool antiAlias, const PixelClip* clip) {
    if (!InIntRange(cx) || !InIntRange(cy) || !InIntRange(r) || !InIntRange(startAngle) ||
        !InIntRange(endAngle) || r <= 0)
        return;
    View view;
    if (!MakeView(dst, &view)) return;
    SetClip(view, dst, false, clip);
    const double start = NormalizeAngle(startAngle);
    const double end = NormalizeAngle(endAngle);

    // End quadrant: an end at 0 is the end of the turn (quadrant 3 whole), so
    // an arc from 0 to 0 is the whole circle.
    int e = int(std::ceil(end * kQuartersPerRadian)) - 1;
    double endPhi = kQuarter;
    if (e >= 0) {
        e = std::min(e, 3);
        endPhi = ClampQuarter(end - e * kQuarter);
    } else {
        e = 3;
    }
    const int s = std::min(int(start * kQuartersPerRadian), 3);
    const double startPhi = ClampQuarter(start - s * kQuarter);

    const Src src = Unpack(color);
    Dispatch(flags, weight, [&](auto pixelOp) {
        using Op = decltype(pixelOp);
        const double x = cx, y = cy, radius = r;
        if (s == e && startPhi <= endPhi) {
            ArcQuadrant<Op>(view, s, x, y, radius, startPhi, endPhi, src, weight, antiAlias);
            return;
        }
        ArcQuadrant<Op>(view, s, x, y, radius, startPhi, kQuarter, src, weight, antiAlias);
        for (int q = (s + 1) % 4; q != e; q = (q + 1) % 4)
            ArcQuadrant<Op>(view, q, x, y, radius, 0, kQuarter, src, weight, antiAlias);
        ArcQuadrant<Op>(view, e, x, y, radius, 0, endPhi, src, weight, antiAlias);
    });
}

void Circle(Bitmap* dst, float cx, float cy, float r, uint32_t color, float weight, BlitFlags flags,
            bool antiAlias, const PixelClip* clip) {
    Arc(dst, cx, cy, r, 0.0f, 6.2831855f, color, weight, flags, antiAlias, clip);
}
