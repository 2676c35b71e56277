#include "effect/ui/shape_model.h"

#include <cmath>

#include "effect/byte_block.h"
#include "plug/db.h"

namespace {
// Truncates v toward zero and limits it to lo..hi; NaN gives lo. Converting a
// double outside the int range is undefined, so the limits come first.
int TruncClamp(double v, int lo, int hi) {
    if (!(v >= lo)) return lo;
    if (v > hi) return hi;
    return static_cast<int>(v);
}

// Pixel distance of the derived control points beyond P2 and P4, as a level.
const double kDerivedPixels = 16.0;
// The order of the points in the saved pairs.
const int kSavedPoints[] = {0, 2, 3, 4, 6};
const int kMaxLengthLimit = 1 << 24;
} // namespace

ShapeModel::ShapeModel(ShapeSink* sink) : mSink(sink) {
    mAmpPerPixel = 2.0 * mScale / kPlotHeight;
    for (Point& p : mPoints)
        p = Point{0.0, 0.0, kPlotLeft, kCentreY, kCentreY, false, false};
    const double threshold = DbToAmp(-12.0);
    // Initial pairs (time / length, level / scale).
    const double initial[][3] = {
        {0, 0.0, threshold},          {2, 0.05, 0.5}, {3, 0.1, 1.2}, {4, 0.25, 0.5},
        {6, 1.0, 0.9375 * threshold},
    };
    for (const auto& p : initial)
        PlaceAt(static_cast<int>(p[0]), p[1] * mLength, p[2] * mScale);
    DeriveP1();
    DeriveP5();
    HandShape();
}

int ShapeModel::LevelToY(double level) const {
    // y0 - trunc(level / amp per pixel), limited to the plot.
    double offset = level / mAmpPerPixel;
    if (!(offset == offset)) return kCentreY;
    // A level read back from a row is a whole number of pixels up to rounding;
    // snap it, so that such a level lands on its own row again.
    const double row = std::round(offset);
    if (std::fabs(offset - row) < 1e-7) offset = row;
    return TruncClamp(kCentreY - std::trunc(offset), kPlotTop, kPlotBottom);
}

void ShapeModel::PlaceAt(int i, double time, double level) {
    Point& p = mPoints[i];
    p.time = time;
    p.level = level;
    // time * W / length rather than time / (length / W): exact for time = length.
    double column = std::trunc(time * kColumns / mLength);
    // A time read back from a pixel is truncated, so it can fall just short of
    // that pixel's column; step to the last column whose own time is not later,
    // so that placing a point where its pixel put it keeps the pixel (saved
    // shapes must not creep left with every load).
    if (column >= 0.0 && column < kColumns &&
        std::trunc((column + 1.0) * mLength / kColumns) <= time + 1e-6)
        column += 1.0;
    p.x = TruncClamp(kPlotLeft + column, kPlotLeft, kPlotRight);
    p.y = LevelToY(level);
    p.mirrorY = 2 * kCentreY - p.y;
}

void ShapeModel::FollowPixels() {
    for (Point& p : mPoints) {
        p.time = std::trunc(static_cast<double>(p.x - kPlotLeft) * mLength / kColumns);
        p.level = (kCentreY - p.y) * mAmpPerPixel;
    }
}

void ShapeModel::DeriveP1() {
    const Point &p0 = mPoints[0], &p2 = mPoints[2], &p3 = mPoints[3];
    const double a = p3.level, b = p2.level;
    const double slope = (a - b) / (p3.time - p2.time);
    // Equal levels, or equal times (possible when the envelope is shorter than
    // the plot is wide), leave no line to follow: P1 sits flat at P2's level.
    if (a == b || !std::isfinite(slope) || slope == 0.0) {
        PlaceAt(1, 1.0, b);
        return;
    }
    double c;
    if (a > b) {
        c = b - kDerivedPixels * mAmpPerPixel;
        if (c > p0.level) c = p0.level;
    } else {
        c = b + kDerivedPixels * mAmpPerPixel;
        if (c < p0.level) c = p0.level;
    }
    double t = (c - b) / slope + p2.time;
    if (t < 0.0) t = 0.0;
    PlaceAt(1, t, b + slope * (t - p2.time));
}

void ShapeModel::DeriveP5() {
    const Point &p3 = mPoints[3], &p4 = mPoints[4], &p6 = mPoints[6];
    const double a = p4.level, b = p3.level;
    const double slope = (a - b) / (p4.time - p3.time);
    if (a == b || !std::isfinite(slope) || slope == 0.0) {
        PlaceAt(5, mLength - 1.0, a);
        return;
    }
    double c;
    if (a >= b) {
        c = a + kDerivedPixels * mAmpPerPixel;
        if (c < p6.level) c = p6.level;
    } else {
        c = a - kDerivedPixels * mAmpPerPixel;
        if (c > p6.level) c = p6.level;
    }
    double t = (c - a) / slope + p4.time;
    if (t > mLength) t = mLength;
    PlaceAt(5, t, a + slope * (t - p4.time));
}

void ShapeModel::HandShape() {
    if (!mSink) return;
    ShapePoint points[kPoints];
    for (int i = 0; i < kPoints; ++i)
        points[i] = ShapePoint{mPoints[i].time, mPoints[i].level};
    mSink->SetShape(points, mLength);
}

void ShapeModel::SetThreshold(double threshold) {
    PlaceAt(0, mPoints[0].time, threshold);
    DeriveP1();
    HandShape();
}

void ShapeModel::SetLength(int length) {
    if (length < 1) length = 1;
    if (length > kMaxLengthLimit) length = kMaxLengthLimit;
    mLength = length;
    FollowPixels();
    HandShape();
}

void ShapeModel::SetSampleRateAndTempo(int sampleRate, double tempo) {
    if (sampleRate < 1) return;
    // Multiplied before dividing: a length that is a whole number of samples at
    // the new rate comes out exact (15 / 44100 * 44100 would give 14).
    const double length = static_cast<double>(sampleRate) * mLength / mSampleRate;
    mSampleRate = sampleRate;
    mTempo = tempo;
    mMinLength = static_cast<int>(0.05 * sampleRate);
    mMaxLength = sampleRate;
    SetLength(TruncClamp(std::trunc(length), 1, kMaxLengthLimit));
}

void ShapeModel::SetScale(double scale) {
    if (!(scale > 0.0) || !std::isfinite(scale)) return;
    const double lo = DbToAmp(-30.0), hi = DbToAmp(3.0);
    if (scale < lo) scale = lo;
    if (scale > hi) scale = hi;
    mScale = scale;
    mAmpPerPixel = 2.0 * mScale / kPlotHeight;
    FollowPixels();
}

void ShapeModel::DragPoint(int index, int dx, int dy) {
    if (index != 2 && index != 3 && index != 4 && index != 6) return;
    Point& p = mPoints[index];
    int x = p.x + dx, y = p.y + dy;
    // P2, P3 and P4 stay between their neighbours; P6 moves only vertically.
    int xLo = p.x, xHi = p.x;
    if (index != 6) {
        const int before = index == 2 ? 0 : index - 1;
        const int after = index == 4 ? 6 : index + 1;
        xLo = mPoints[before].x + 1;
        xHi = mPoints[after].x - 1;
    }
    int yLo = kPlotTop, yHi = kCentreY;
    if (index == 3) {
        yLo = kControlTop + 6;
        yHi = kControlBottom - 5;
    }
    if (x > xHi) x = xHi;
    if (x < xLo) x = xLo;
    if (y > yHi) y = yHi;
    if (y < yLo) y = yLo;
    p.x = x;
    p.y = y;
    p.mirrorY = 2 * kCentreY - y;
    p.time = std::trunc(static_cast<double>(x - kPlotLeft) * mLength / kColumns);
    p.level = (kCentreY - y) * mAmpPerPixel;
    DeriveP1();
    DeriveP5();
    HandShape();
}

void ShapeModel::SaveViewState(ByteBlock& chunk) const {
    chunk.AppendDouble(mScale);
    for (int i : kSavedPoints) {
        chunk.AppendDouble(mPoints[i].time / mLength);
        chunk.AppendDouble(mPoints[i].level / mScale);
    }
}

bool ShapeModel::LoadViewState(const ByteBlock& chunk, int& position) {
    double scale;
    if (!chunk.ReadDouble(position, scale)) return true;
    SetScale(scale);
    bool moved = false;
    for (int i : kSavedPoints) {
        double time, level;
        if (!chunk.ReadDouble(position, time)) break;
        if (!chunk.ReadDouble(position, level)) break;
        if (!std::isfinite(time) || !std::isfinite(level)) continue;
        // Saved times lie within the envelope and levels within the reach of a
        // drag (P3 may leave the plot by a little); anything beyond is damage.
        time = time < 0.0 ? 0.0 : time > 1.0 ? 1.0 : time;
        level = level < -2.0 ? -2.0 : level > 2.0 ? 2.0 : level;
        PlaceAt(i, time * mLength, level * mScale);
        moved = true;
    }
    if (moved) {
        DeriveP1();
        DeriveP5();
    }
    return true;
}
