// The envelope shape's point model: placement, derived points, length, scale,
// sample rate, dragging and its saved section.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "base/byte_block.h"
#include "base/db.h"
#include "effect/env_view_state.h"
#include "effect/shape_model.h"
#include "tests/common/test_seed.h"

namespace {

using M = ShapeModel;

// Records every shape handed over.
struct RecordingSink : ShapeSink {
    void SetShape(const ShapePoint* points, int length) override {
        last.assign(points, points + M::kPoints);
        lastLength = length;
        ++calls;
    }
    std::vector<ShapePoint> last;
    int lastLength = 0;
    int calls = 0;
};

// P1 and P2, P3 lie on one line (P1 derived), likewise P5 on the line P3 P4.
void ExpectOnLine(const M::Point& a, const M::Point& b, const M::Point& on) {
    double slope = (b.level - a.level) / (b.time - a.time);
    EXPECT_NEAR(on.level, a.level + slope * (on.time - a.time), 1e-9);
}

} // namespace

TEST(ShapePointModel, StartsFromTheInitialPairsAndHandsTheShapeOver) {
    RecordingSink sink;
    M m(&sink);
    const double threshold = DbToAmp(-12.0);
    EXPECT_EQ(m.Length(), 9600);
    EXPECT_EQ(m.Scale(), 1.0);
    EXPECT_EQ(m.PointAt(0).time, 0.0);
    EXPECT_EQ(m.PointAt(0).level, threshold);
    EXPECT_EQ(m.PointAt(2).time, 480.0);
    EXPECT_EQ(m.PointAt(3).level, 1.2);
    EXPECT_EQ(m.PointAt(4).time, 2400.0);
    EXPECT_EQ(m.PointAt(6).time, 9600.0);
    EXPECT_EQ(m.PointAt(6).level, 0.9375 * threshold);
    // Pixels: x = left + trunc(time / samples per column), y = centre - trunc(level / app).
    EXPECT_EQ(m.PointAt(0).x, M::kPlotLeft);
    EXPECT_EQ(m.PointAt(2).x, M::kPlotLeft + static_cast<int>(480.0 * 441 / 9600));
    EXPECT_EQ(m.PointAt(6).x, M::kPlotRight);
    EXPECT_EQ(m.PointAt(2).y, M::kCentreY - static_cast<int>(0.5 / (2.0 / 365)));
    EXPECT_EQ(m.PointAt(2).mirrorY, 2 * M::kCentreY - m.PointAt(2).y);
    // P3 at 1.2 lies above the rows it can be dragged to: its y stops at the top one.
    EXPECT_EQ(m.PointAt(3).y, M::kP3Top);
    ASSERT_EQ(sink.calls, 1);
    EXPECT_EQ(sink.lastLength, 9600);
    for (int i = 0; i < M::kPoints; ++i) {
        EXPECT_EQ(sink.last[i].time, m.PointAt(i).time) << i;
        EXPECT_EQ(sink.last[i].level, m.PointAt(i).level) << i;
    }
}

TEST(ShapePointModel, DerivedPointsContinueTheInnerSegmentsWithoutACorner) {
    M m;
    // P3 above P2: P1 lies on the line P3-P2, 16 pixels of level below P2 but no
    // higher than P0, and not before time 0.
    ExpectOnLine(m.PointAt(2), m.PointAt(3), m.PointAt(1));
    EXPECT_LE(m.PointAt(1).level, m.PointAt(0).level + 1e-12);
    EXPECT_GE(m.PointAt(1).time, 0.0);
    EXPECT_LT(m.PointAt(1).time, m.PointAt(2).time);
    // P4 below P3: P5 on the line P3-P4, beyond P4 and no lower than P6.
    ExpectOnLine(m.PointAt(3), m.PointAt(4), m.PointAt(5));
    EXPECT_GE(m.PointAt(5).level, m.PointAt(6).level - 1e-12);
    EXPECT_GT(m.PointAt(5).time, m.PointAt(4).time);
    EXPECT_LE(m.PointAt(5).time, m.Length());
}

TEST(ShapePointModel, EqualLevelsPutP5OneSampleBeforeTheEnd) {
    M m;
    // Bring P4 to P3's row: the model recomputes levels from rows, so equal rows
    // mean equal levels.
    m.DragPoint(3, 0, 150);
    m.DragPoint(4, 0, m.PointAt(3).y - m.PointAt(4).y);
    ASSERT_EQ(m.PointAt(3).level, m.PointAt(4).level);
    EXPECT_EQ(m.PointAt(5).time, m.Length() - 1.0);
    EXPECT_EQ(m.PointAt(5).level, m.PointAt(4).level);
}

TEST(ShapePointModel, ANewThresholdMovesP0AndP1AndHandsTheShapeOn) {
    RecordingSink sink;
    M m(&sink);
    m.SetThreshold(0.1);
    EXPECT_EQ(m.PointAt(0).level, 0.1);
    EXPECT_EQ(m.PointAt(0).y, m.LevelToY(0.1));
    EXPECT_LE(m.PointAt(1).level, 0.1 + 1e-12);
    ExpectOnLine(m.PointAt(2), m.PointAt(3), m.PointAt(1));
    EXPECT_EQ(sink.calls, 2);
    EXPECT_EQ(sink.last[0].level, 0.1);
}

TEST(ShapePointModel, ANewLengthKeepsThePixelsAndScalesTheTimes) {
    RecordingSink sink;
    M m(&sink);
    int xs[M::kPoints];
    for (int i = 0; i < M::kPoints; ++i)
        xs[i] = m.PointAt(i).x;
    m.SetLength(24000);
    EXPECT_EQ(sink.lastLength, 24000);
    for (int i = 0; i < M::kPoints; ++i) {
        EXPECT_EQ(m.PointAt(i).x, xs[i]) << i;
        if (i != 1 && i != 5) {
            EXPECT_EQ(m.PointAt(i).time, m.TimeFraction(i) * 24000.0) << i;
        }
    }
    EXPECT_EQ(m.PointAt(6).time, 24000.0);
    m.SetLength(0);
    EXPECT_EQ(m.Length(), 1);
}

TEST(ShapePointModel, ARateChangeKeepsTheLengthInSeconds) {
    RecordingSink sink;
    M m(&sink);
    m.SetSampleRateAndTempo(44100, 90.0);
    EXPECT_EQ(m.Length(), 8820);
    EXPECT_EQ(m.MinLength(), 2205);
    EXPECT_EQ(m.MaxLength(), 44100);
    EXPECT_EQ(m.Tempo(), 90.0);
    EXPECT_EQ(sink.lastLength, 8820);
    m.SetSampleRateAndTempo(96000, 0.0);
    EXPECT_EQ(m.Length(), 19200);
    m.SetSampleRateAndTempo(0, 120.0);
    EXPECT_EQ(m.SampleRate(), 96000);
    EXPECT_EQ(m.Length(), 19200);
    // Lengths that are whole samples at the new rate come out exact; a reset at
    // the same rate changes no length.
    for (int length = 1; length <= 3000; ++length) {
        m.SetSampleRateAndTempo(44100, 120.0);
        m.SetLength(length);
        m.SetSampleRateAndTempo(88200, 120.0);
        ASSERT_EQ(m.Length(), 2 * length);
        m.SetSampleRateAndTempo(88200, 120.0);
        ASSERT_EQ(m.Length(), 2 * length);
    }
}

TEST(ShapePointModel, TheScaleIsLimitedAndPointsKeepTheirRows) {
    M m;
    int y2 = m.PointAt(2).y;
    m.SetScale(0.5);
    EXPECT_EQ(m.Scale(), 0.5);
    EXPECT_EQ(m.PointAt(2).y, y2);
    EXPECT_EQ(m.PointAt(2).level, 0.5 * 0.5);
    // P0 stays at the threshold, whatever the scale.
    EXPECT_EQ(m.PointAt(0).level, DbToAmp(-12.0));
    m.SetScale(100.0);
    EXPECT_DOUBLE_EQ(m.Scale(), DbToAmp(3.0));
    m.SetScale(1e-6);
    EXPECT_DOUBLE_EQ(m.Scale(), DbToAmp(-30.0));
    m.SetScale(std::numeric_limits<double>::quiet_NaN());
    m.SetScale(-1.0);
    EXPECT_DOUBLE_EQ(m.Scale(), DbToAmp(-30.0));
}

TEST(ShapePointModel, DraggingRespectsTheNeighboursAndTheCentreLine) {
    M m;
    // P2 to the right stops one pixel before P3.
    m.DragPoint(2, 1000, 0);
    EXPECT_EQ(m.PointAt(2).x, m.PointAt(3).x - 1);
    // P2 and P4 may not pass the centre line; P3 may, down to the control's edge.
    m.DragPoint(2, 0, 1000);
    EXPECT_EQ(m.PointAt(2).y, M::kCentreY);
    m.DragPoint(4, 0, 1000);
    EXPECT_EQ(m.PointAt(4).y, M::kCentreY);
    m.DragPoint(3, 0, 1000);
    EXPECT_EQ(m.PointAt(3).y, M::kControlBottom - 5);
    EXPECT_LT(m.PointAt(3).level, 0.0);
    m.DragPoint(3, 0, -2000);
    EXPECT_EQ(m.PointAt(3).y, M::kControlTop + 6);
    // P4 to the left stops one pixel after P3; P6 never moves sideways.
    m.DragPoint(4, -1000, 0);
    EXPECT_EQ(m.PointAt(4).x, m.PointAt(3).x + 1);
    m.DragPoint(6, -50, -10);
    EXPECT_EQ(m.PointAt(6).x, M::kPlotRight);
    EXPECT_EQ(m.PointAt(6).time, m.Length());
    // P0, P1 and P5 are not draggable.
    M::Point p0 = m.PointAt(0);
    m.DragPoint(0, 5, 5);
    m.DragPoint(7, 5, 5);
    m.DragPoint(-1, 5, 5);
    EXPECT_EQ(m.PointAt(0).y, p0.y);
}

TEST(ShapePointModel, TheSavedSectionRoundTripsTheShape) {
    M a;
    a.SetScale(0.8);
    a.DragPoint(2, 3, -20);
    a.DragPoint(3, -5, 40);
    a.DragPoint(6, 0, -30);
    ByteBlock chunk;
    a.SaveViewState(chunk);
    ASSERT_EQ(chunk.Size(), 88);
    double scale;
    int pos = 0;
    ASSERT_TRUE(chunk.ReadDouble(pos, scale));
    EXPECT_EQ(scale, 0.8);

    RecordingSink sink;
    M b(&sink);
    pos = 0;
    EXPECT_TRUE(b.LoadViewState(chunk, pos));
    EXPECT_EQ(pos, 88);
    EXPECT_EQ(b.Scale(), 0.8);
    for (int i = 0; i < M::kPoints; ++i) {
        EXPECT_DOUBLE_EQ(b.PointAt(i).time, a.PointAt(i).time) << i;
        EXPECT_DOUBLE_EQ(b.PointAt(i).level, a.PointAt(i).level) << i;
        EXPECT_EQ(b.PointAt(i).x, a.PointAt(i).x) << i;
    }
}

namespace {

// The shape as its section saves it.
std::vector<uint8_t> Saved(const M& m) {
    ByteBlock chunk;
    m.SaveViewState(chunk);
    return std::vector<uint8_t>(chunk.Bytes(), chunk.Bytes() + chunk.Size());
}

// A model in the state of the saved bytes, with the length and threshold given.
void LoadInto(M& m, const std::vector<uint8_t>& bytes, int length, double threshold) {
    ByteBlock chunk;
    chunk.AppendBytes(bytes.data(), int32_t(bytes.size()));
    int pos = 0;
    m.LoadViewState(chunk, pos);
    m.SetThreshold(threshold);
    m.SetLength(length);
}

} // namespace

TEST(ShapeState, TheShapeIsAFunctionOfItsStateWhateverTheRoadToIt) {
    // Random shapes (drags, scales, lengths, thresholds): a fresh model loaded
    // with the saved bytes has the same points, hands on the same shape and
    // saves the same bytes; setting length, scale or threshold to the values
    // they have changes nothing.
    std::mt19937 random(TestSeed(11u));
    std::uniform_int_distribution<int> drag(-60, 60), point(0, 3), length(2400, 48000);
    std::uniform_real_distribution<double> db(-30.0, 3.0), thresholdDb(-60.0, 0.0);
    const int draggable[] = {2, 3, 4, 6};
    for (int round = 0; round < 300; ++round) {
        RecordingSink sinkA, sinkB;
        M a(&sinkA);
        for (int k = 0; k < 6; ++k) {
            a.DragPoint(draggable[point(random)], drag(random), drag(random));
            if (k % 2) a.SetScale(DbToAmp(db(random)));
            if (k % 3 == 0) a.SetLength(length(random));
        }
        const double threshold = DbToAmp(thresholdDb(random));
        a.SetThreshold(threshold);
        const std::vector<uint8_t> bytes = Saved(a);
        M b(&sinkB);
        LoadInto(b, bytes, a.Length(), threshold);
        ASSERT_EQ(Saved(b), bytes) << round;
        for (int i = 0; i < M::kPoints; ++i) {
            ASSERT_EQ(b.PointAt(i).time, a.PointAt(i).time) << round << " P" << i;
            ASSERT_EQ(b.PointAt(i).level, a.PointAt(i).level) << round << " P" << i;
            ASSERT_EQ(b.PointAt(i).x, a.PointAt(i).x) << round << " P" << i;
            ASSERT_EQ(b.PointAt(i).y, a.PointAt(i).y) << round << " P" << i;
            ASSERT_EQ(sinkB.last[size_t(i)].time, sinkA.last[size_t(i)].time) << round;
            ASSERT_EQ(sinkB.last[size_t(i)].level, sinkA.last[size_t(i)].level) << round;
        }
        a.SetLength(a.Length());
        a.SetScale(a.Scale());
        a.SetThreshold(a.Threshold());
        ASSERT_EQ(Saved(a), bytes) << round;
    }
}

TEST(ShapeState, AutofitsTimesKeepThePointsInOrderInColumnsOfTheirOwn) {
    // Any three fractions (out of range, crossing, equal, not numbers): P2, P3
    // and P4 land in rising columns from 1 to the last but one, a time given
    // within that order stays as given, and the shape saves and loads as it is
    // (a load would spread points that share a column).
    std::mt19937 random(TestSeed(11u));
    std::uniform_real_distribution<double> fraction(-0.2, 1.2);
    std::uniform_int_distribution<int> kind(0, 5), length(1, 48000);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int round = 0; round < 500; ++round) {
        M m;
        m.SetLength(length(random));
        const M before = m;
        double t[3];
        for (double& v : t) {
            const int k = kind(random);
            v = k == 0 ? nan : k == 1 ? 0.0 : fraction(random);
        }
        if (kind(random) == 0) t[1] = t[0];
        m.SetInnerTimes(t);
        int previous = 0;
        for (int k = 0; k < 3; ++k) {
            const int column = m.ColumnOf(2 + k);
            ASSERT_GT(column, previous) << round << " P" << 2 + k;
            ASSERT_LT(column, M::kColumns) << round << " P" << 2 + k;
            previous = column;
            ASSERT_LT(m.PointAt(1 + k).time, m.PointAt(2 + k).time) << round;
            if (std::isnan(t[k])) continue;
            // A time after the column of the point before and short of the end
            // by a column for each point after it is kept as given.
            const double c = t[k] * M::kColumns;
            const double lowest = k == 0 ? 1.0 : m.ColumnOf(1 + k) + 1.0;
            if (c >= lowest && std::floor(c) <= M::kColumns - 3 + k) {
                EXPECT_EQ(m.TimeFraction(2 + k), t[k]) << round << " P" << 2 + k;
            }
        }
        // Times that are not numbers keep the points' own.
        if (std::isnan(t[0]) && std::isnan(t[1]) && std::isnan(t[2])) {
            for (int i = 2; i <= 4; ++i)
                EXPECT_EQ(m.TimeFraction(i), before.TimeFraction(i)) << round;
        }
        const std::vector<uint8_t> bytes = Saved(m);
        M loaded;
        LoadInto(loaded, bytes, m.Length(), m.Threshold());
        ASSERT_EQ(Saved(loaded), bytes) << round;
    }
}

TEST(ShapePointModel, ASectionEndingAfterTheScaleRestoresOnlyTheScale) {
    M a;
    a.SetScale(0.5);
    a.DragPoint(3, 10, 10);
    ByteBlock chunk;
    a.SaveViewState(chunk);
    ByteBlock cut;
    cut.AppendBytes(chunk.Bytes(), 8 + 4);
    M b;
    M::Point p3 = b.PointAt(3);
    int pos = 0;
    EXPECT_TRUE(b.LoadViewState(cut, pos));
    EXPECT_EQ(pos, 8);
    EXPECT_EQ(b.Scale(), 0.5);
    EXPECT_EQ(b.PointAt(3).x, p3.x);
    EXPECT_EQ(b.PointAt(3).y, p3.y);
    ByteBlock empty;
    pos = 0;
    EXPECT_TRUE(b.LoadViewState(empty, pos));
    EXPECT_EQ(pos, 0);
}

TEST(ShapePointModel, NonFiniteSavedValuesAreSkipped) {
    M a;
    ByteBlock chunk;
    a.SaveViewState(chunk);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::memcpy(chunk.Bytes(), &nan, 8);      // scale
    std::memcpy(chunk.Bytes() + 24, &inf, 8); // P2 time
    std::memcpy(chunk.Bytes() + 48, &nan, 8); // P3 level
    M b;
    M::Point p2 = b.PointAt(2), p3 = b.PointAt(3);
    int pos = 0;
    EXPECT_TRUE(b.LoadViewState(chunk, pos));
    EXPECT_EQ(b.Scale(), 1.0);
    EXPECT_EQ(b.PointAt(2).time, p2.time);
    EXPECT_EQ(b.PointAt(3).level, p3.level);
    for (int i = 0; i < M::kPoints; ++i) {
        EXPECT_TRUE(std::isfinite(b.PointAt(i).time)) << i;
        EXPECT_TRUE(std::isfinite(b.PointAt(i).level)) << i;
    }
}

TEST(EnvelopeViewSection, SavesOneDoubleAndLoadsItUnlessItCannotBeShown) {
    EnvViewState view;
    EXPECT_DOUBLE_EQ(view.Scale(), DbToAmp(-3.0));
    view.SetScale(3.0); // outside the view's drag range, still kept
    ByteBlock chunk;
    view.SaveViewState(chunk);
    ASSERT_EQ(chunk.Size(), 8);
    EnvViewState other;
    int pos = 0;
    EXPECT_TRUE(other.LoadViewState(chunk, pos));
    EXPECT_EQ(pos, 8);
    EXPECT_EQ(other.Scale(), 3.0);
    // Short, zero or NaN: nothing changes, still success.
    pos = 4;
    EXPECT_TRUE(other.LoadViewState(chunk, pos));
    EXPECT_EQ(other.Scale(), 3.0);
    ByteBlock zero;
    zero.AppendDouble(0.0);
    pos = 0;
    EXPECT_TRUE(other.LoadViewState(zero, pos));
    EXPECT_EQ(other.Scale(), 3.0);
}

TEST(EnvelopeViewSection, AThresholdAboveTheScaleRaisesTheScale) {
    EnvViewState view;
    view.SetThreshold(DbToAmp(-12.0));
    EXPECT_DOUBLE_EQ(view.Scale(), DbToAmp(-3.0));
    view.SetThreshold(1.0);
    EXPECT_EQ(view.Scale(), 1.0);
    view.SetThreshold(0.5); // lowering the threshold leaves the scale
    EXPECT_EQ(view.Scale(), 1.0);
}
