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
