#include "effect/shape_model.h"

#include <cmath>
#include <utility>

#include "base/byte_block.h"
#include "base/db.h"

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

ShapeModel::ShapeModel(ShapeSink* sink) : mSink(sink), mThreshold(DbToAmp(-12.0)) {
    mAmpPerPixel = 2.0 * mScale / kPlotHeight;
    for (Point& p : mPoints)
        p = Point{0.0, 0.0, kPlotLeft, kCentreY, kCentreY, false, false};
    // Initial pairs (time / length, level / scale); P0's level is the threshold.
    const double initial[][3] = {
        {0, 0.0, mThreshold},          {2, 0.05, 0.5}, {3, 0.1, 1.2}, {4, 0.25, 0.5},
        {6, 1.0, 0.9375 * mThreshold},
    };
    for (const auto& p : initial) {
        mTimeFraction[static_cast<int>(p[0])] = p[1];
        mLevelFraction[static_cast<int>(p[0])] = p[2];
    }
    FollowFractions();
    HandShape();
}

int ShapeModel::LevelToY(double level) const {
    return RowOf(level, kPlotTop, kPlotBottom);
}

int ShapeModel::RowOf(double level, int top, int bottom) const {
    // y0 - trunc(level / amp per pixel), limited to top..bottom.
    double offset = level / mAmpPerPixel;
    if (!(offset == offset)) return kCentreY;
    // A level read back from a row is a whole number of pixels up to rounding;
    // snap it, so that such a level lands on its own row again.
    const double row = std::round(offset);
    if (std::fabs(offset - row) < 1e-7) offset = row;
    return TruncClamp(kCentreY - std::trunc(offset), top, bottom);
}

void ShapeModel::PlaceAt(int i, double time, double level) {
    Point& p = mPoints[i];
    p.time = time;
    p.level = level;
    // time * W / length rather than time / (length / W): exact for time = length.
    // A point placed from its column's fraction lands on that column even when
    // the product falls a rounding short of it.
    const double column = std::floor(time * kColumns / mLength + 1e-9);
    p.x = TruncClamp(kPlotLeft + column, kPlotLeft, kPlotRight);
    // P3 may leave the plot as far as it can be dragged.
    p.y = i == 3 ? RowOf(level, kP3Top, kP3Bottom) : LevelToY(level);
    p.mirrorY = 2 * kCentreY - p.y;
}

void ShapeModel::FollowFractions() {
    for (int i : kSavedPoints) {
        const double level = i == 0 ? mThreshold : mLevelFraction[i] * mScale;
        PlaceAt(i, mTimeFraction[i] * mLength, level);
    }
    DeriveP1();
    DeriveP5();
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
    mThreshold = threshold;
    FollowFractions();
    HandShape();
}

void ShapeModel::SetLength(int length) {
    if (length < 1) length = 1;
    if (length > kMaxLengthLimit) length = kMaxLengthLimit;
    mLength = length;
    FollowFractions();
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
    FollowFractions();
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
        yLo = kP3Top;
        yHi = kP3Bottom;
    }
    if (x > xHi) x = xHi;
    if (x < xLo) x = xLo;
    if (y > yHi) y = yHi;
    if (y < yLo) y = yLo;
    // The point's state becomes that of its pixel: its column's fraction of the
    // width and its row's fraction of half the plot height.
    if (index != 6) mTimeFraction[index] = static_cast<double>(x - kPlotLeft) / kColumns;
    mLevelFraction[index] = (kCentreY - y) * 2.0 / kPlotHeight;
    FollowFractions();
    HandShape();
}

void ShapeModel::SaveViewState(ByteBlock& chunk) const {
    chunk.AppendDouble(mScale);
    for (int i : kSavedPoints) {
        chunk.AppendDouble(mTimeFraction[i]);
        chunk.AppendDouble(i == 0 ? mThreshold / mScale : mLevelFraction[i]);
    }
}

bool ShapeModel::LoadViewState(const ByteBlock& chunk, int& position) {
    SavedView view;
    ReadViewState(chunk, position, view);
    TakeViewState(view);
    return true;
}

void ShapeModel::ReadViewState(const ByteBlock& chunk, int& position, SavedView& view) {
    view = SavedView();
    view.scaleRead = chunk.ReadDouble(position, view.scale);
    if (!view.scaleRead) return;
    static_assert(sizeof kSavedPoints / sizeof kSavedPoints[0] == 5, "five saved points");
    // A time without its level still counts as read (the position moves on).
    for (int k = 0; k < 5; ++k) {
        if (!chunk.ReadDouble(position, view.time[k])) break;
        if (!chunk.ReadDouble(position, view.level[k])) break;
        view.pairs = k + 1;
    }
}

void ShapeModel::TakeViewState(const SavedView& view) {
    if (!view.scaleRead) return;
    SetScale(view.scale);
    bool moved = false;
    for (int k = 0; k < view.pairs && k < 5; ++k) {
        double time = view.time[k], level = view.level[k];
        if (!std::isfinite(time) || !std::isfinite(level)) continue;
        // Saved times lie within the envelope and levels within the reach of a
        // drag (P3 may leave the plot by a little); anything beyond is damage.
        time = time < 0.0 ? 0.0 : time > 1.0 ? 1.0 : time;
        level = level < -2.0 ? -2.0 : level > 2.0 ? 2.0 : level;
        mTimeFraction[kSavedPoints[k]] = time;
        mLevelFraction[kSavedPoints[k]] = level;
        moved = true;
    }
    if (moved) {
        OrderLoadedPoints();
        FollowFractions();
    }
}

void ShapeModel::OrderLoadedPoints() {
    // P0 starts the envelope and P6 ends it; P2, P3 and P4 lie between, each in
    // a column of its own, as dragging keeps them. A damaged chunk that breaks
    // this would give the shape's evaluation falling times (a negative square
    // root), so its pairs are sorted by time and spread one column apart.
    mTimeFraction[0] = 0.0;
    mTimeFraction[6] = 1.0;
    const int inner[] = {2, 3, 4};
    auto column = [](double fraction) { return std::floor(fraction * kColumns + 1e-9); };
    bool ordered = true;
    double previous = 0.0;
    for (int i : inner) {
        const double c = column(mTimeFraction[i]);
        if (!(c > previous)) ordered = false;
        previous = c;
    }
    if (ordered && previous < kColumns) return;
    double time[3], level[3];
    for (int k = 0; k < 3; ++k) {
        time[k] = mTimeFraction[inner[k]];
        level[k] = mLevelFraction[inner[k]];
    }
    for (int a = 1; a < 3; ++a)
        for (int b = a; b > 0 && time[b] < time[b - 1]; --b) {
            std::swap(time[b], time[b - 1]);
            std::swap(level[b], level[b - 1]);
        }
    double c[3];
    for (int k = 0; k < 3; ++k) {
        c[k] = column(time[k]);
        const double lo = k == 0 ? 1.0 : c[k - 1] + 1.0;
        if (c[k] < lo) c[k] = lo;
    }
    for (int k = 2; k >= 0; --k) {
        const double hi = k == 2 ? kColumns - 1.0 : c[k + 1] - 1.0;
        if (c[k] > hi) c[k] = hi;
    }
    for (int k = 0; k < 3; ++k) {
        mTimeFraction[inner[k]] = c[k] / kColumns;
        mLevelFraction[inner[k]] = level[k];
    }
}

void ShapeModel::SetPointLevel(int index, double level) {
    if (index != 2 && index != 3 && index != 4 && index != 6) return;
    double fraction = level / mScale;
    if (!std::isfinite(fraction)) return;
    fraction = fraction < -2.0 ? -2.0 : fraction > 2.0 ? 2.0 : fraction;
    mLevelFraction[index] = fraction;
    FollowFractions();
}

int ShapeModel::ColumnOf(int i) const {
    return int(std::floor(mTimeFraction[i] * kColumns + 1e-9));
}

void ShapeModel::SetInnerTimes(const double* fractions) {
    // Columns are whole multiples of 1 / kColumns; a fraction this far short of
    // a column's end still lies in that column.
    const double columnEnd = 1.0 - 1e-6;
    auto column = [](double fraction) { return std::floor(fraction * kColumns + 1e-9); };
    double t[3];
    for (int k = 0; k < 3; ++k) {
        t[k] = std::isfinite(fractions[k]) ? fractions[k] : mTimeFraction[2 + k];
        // Each point first within its own range: P2 from column 1, P3 from 2,
        // P4 from 3, and each short of the end by a column for every point
        // after it (P4 at most in the last but one).
        const double lo = k + 1.0, hi = kColumns - 3.0 + k + columnEnd;
        if (!(t[k] * kColumns >= lo)) t[k] = lo / kColumns;
        if (t[k] * kColumns > hi) t[k] = hi / kColumns;
    }
    // Then each at least in the column after the one before; within the
    // ranges above this never pushes a point past its end.
    for (int k = 1; k < 3; ++k) {
        const double lo = column(t[k - 1]) + 1.0;
        if (column(t[k]) < lo) t[k] = lo / kColumns;
    }
    for (int k = 0; k < 3; ++k)
        mTimeFraction[2 + k] = t[k];
    FollowFractions();
}

bool ShapeModel::SameShapeAs(const ShapeModel& other) const {
    for (int i = 0; i < kPoints; ++i)
        if (mTimeFraction[i] != other.mTimeFraction[i] ||
            mLevelFraction[i] != other.mLevelFraction[i])
            return false;
    return mThreshold == other.mThreshold && mLength == other.mLength && mScale == other.mScale &&
           mSampleRate == other.mSampleRate && mMinLength == other.mMinLength &&
           mMaxLength == other.mMaxLength && mStrength == other.mStrength && mTempo == other.mTempo;
}
