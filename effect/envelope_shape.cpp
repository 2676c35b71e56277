#include "effect/envelope_shape.h"

EnvelopeShape::EnvelopeShape() {
    // A flat shape at full level until the editor's shape arrives.
    for (int i = 0; i < kPoints; ++i) {
        mX[i] = i;
        mY[i] = 1.0;
    }
}

void EnvelopeShape::Set(const ShapePoint* points) {
    for (int i = 0; i < kPoints; ++i) {
        mX[i] = points[i].time;
        mY[i] = points[i].level;
    }
}

double EnvelopeShape::Peak() const {
    double peak = 0.0;
    for (int s = 0; s < 3; ++s) {
        const double y0 = mY[2 * s], y1 = mY[2 * s + 1], y2 = mY[2 * s + 2];
        // y(t) = u^2 y0 + 2 t u y1 + t^2 y2 is highest at t = 0, t = 1 or
        // where its slope is zero.
        double top = y0 > y2 ? y0 : y2;
        const double bend = y0 - 2.0 * y1 + y2;
        if (bend < 0.0) {
            const double t = (y0 - y1) / bend;
            const double u = 1.0 - t;
            const double y = u * u * y0 + 2.0 * t * u * y1 + t * t * y2;
            if (t > 0.0 && t < 1.0 && y > top) top = y;
        }
        if (top > peak) peak = top;
    }
    return peak;
}
