// The envelope shape: seven points joined by three quadratic Bezier segments
// (P0 P1 P2), (P2 P3 P4), (P4 P5 P6); P1, P3 and P5 are control points. x is a
// position in samples from the envelope start, y a linear amplitude. The shape
// is a level, so where a curve runs below zero (a control point under the zero
// line) the level is zero: silence, never the curve's magnitude.
#pragma once

#include <cmath>

// One point as the shape editor hands it over: time in samples, level as a
// linear amplitude.
struct ShapePoint {
    double time;
    double level;
};

class EnvelopeShape {
public:
    static constexpr int kPoints = 7;

    EnvelopeShape();

    // Takes the time and level of points[0..6].
    void Set(const ShapePoint* points);
    // Level of the shape at sample position n, never below zero. Positions
    // before P0 extrapolate the first segment; positions at or past P6 give
    // P6's level. Points whose x
    // values do not rise through a segment can give NaN; callers guard the gain.
    double At(double n) const { return AtSegment(SegmentOf(n), n); }

    // The two halves of At, for loops that run many positions of one segment:
    // SegmentOf returns 0, 1 or 2 for the segment ending at P2, P4 or P6 that
    // holds n (the first whose end lies beyond n), 3 past P6; AtSegment
    // evaluates that segment at n.
    int SegmentOf(double n) const {
        for (int s = 0; s < 3; ++s)
            if (n < mX[2 * s + 2]) return s;
        return 3;
    }
    double AtSegment(int segment, double n) const {
        if (segment >= 3) return Level(mY[kPoints - 1]);
        const int i = 2 * segment;
        const double x0 = mX[i], x1 = mX[i + 1], x2 = mX[i + 2];
        const double y0 = mY[i], y1 = mY[i + 1], y2 = mY[i + 2];
        // Solve x(t) = n for the segment's parameter t, then evaluate y(t).
        const double a = x0 - 2.0 * x1 + x2;
        const double b = 2.0 * (x1 - x0);
        const double c = x0 - n;
        const double t = a != 0.0 ? (std::sqrt(b * b - 4.0 * a * c) - b) / (2.0 * a) : -c / b;
        const double u = 1.0 - t;
        return Level(u * u * y0 + 2.0 * t * u * y1 + t * t * y2);
    }
    // A curve's value as a level: below zero is zero (NaN stays NaN).
    static double Level(double y) { return y < 0.0 ? 0.0 : y; }

    // The highest level the three curves reach (each at an end or at the top
    // of its parabola), never below zero; NaN levels are passed over.
    double Peak() const;

    double X(int i) const { return mX[i]; }
    double Y(int i) const { return mY[i]; }

private:
    double mX[kPoints];
    double mY[kPoints];
};
