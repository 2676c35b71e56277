// The envelope shape's point model: seven points with their times and levels
// and their pixel positions in the edit panel's plot. The effect owns the one
// instance that counts (the panel draws a copy and drags through the effect);
// this class keeps the points consistent (placement, derived control points,
// length, scale, sample rate) and hands every new shape to its sink.
//
// What defines the shape is its state alone: for P0, P2, P3, P4 and P6 the time
// as a fraction of the length and the level as a fraction of the scale (the
// pairs that are saved), with P0's level the threshold. Times, levels, pixels
// and the derived points P1 and P5 are computed from that state, never from
// each other, so a change of length, scale or threshold, or a save and load,
// cannot move a point by the rounding of its pixel.
#pragma once

#include "effect/envelope_shape.h"

class ByteBlock;

// Receives every new shape: the seven points and the envelope length in samples.
class ShapeSink {
public:
    virtual ~ShapeSink() = default;
    virtual void SetShape(const ShapePoint* points, int length) = 0;
};

class ShapeModel {
public:
    // Plot rectangle in editor pixels, its size and its centre line.
    static constexpr int kPlotLeft = 203, kPlotTop = 222, kPlotRight = 644, kPlotBottom = 587;
    static constexpr int kColumns = kPlotRight - kPlotLeft;    // 441
    static constexpr int kPlotHeight = kPlotBottom - kPlotTop; // 365
    static constexpr int kCentreY = (kPlotTop + kPlotBottom) / 2;
    // Top and bottom of the display's control rectangle (P3 may leave the plot).
    static constexpr int kControlTop = 192, kControlBottom = 619;
    // Rows P3 can take (the others stay within the plot).
    static constexpr int kP3Top = kControlTop + 6, kP3Bottom = kControlBottom - 5;
    static constexpr int kPoints = EnvelopeShape::kPoints;

    struct Point {
        double time;  // samples from the envelope start
        double level; // linear amplitude
        int x, y;     // pixel position; y of the upper (unmirrored) curve
        int mirrorY;  // 2 * centre - y
        bool hovered, dragged;
    };

    // Places the initial points for a threshold of -12 dB at 48000 Hz, derives
    // P1 and P5 and hands the shape to sink (which may be null).
    explicit ShapeModel(ShapeSink* sink = nullptr);

    // P0's level becomes threshold; P1 follows; the shape is handed on.
    void SetThreshold(double threshold);
    // Sets the envelope length in samples (at least 1). Points keep their
    // fractions of the length (so their pixel columns), and their times scale
    // with the length. The shape is handed on.
    void SetLength(int length);
    // Keeps the length in seconds across a rate change and sets the slider range
    // to 0.05 s .. 1 s. A rate below 1 Hz is ignored.
    void SetSampleRateAndTempo(int sampleRate, double tempo);
    // Sets the level at half the plot height, limited to -30 dB .. +3 dB; points
    // keep their fractions of the scale (so their rows), and their levels scale;
    // P0 stays at the threshold. Non-finite or non-positive scales are ignored.
    void SetScale(double scale);
    void SetStrength(double strength) { mStrength = strength; }

    // Moves free point 2, 3, 4 or 6 by (dx, dy) pixels within its limits: its
    // fractions become those of its new pixel. Derives P1 and P5 again and hands
    // the shape on. Other indices do nothing.
    void DragPoint(int index, int dx, int dy);
    // Point 2, 3, 4 or 6 takes a level (autofit): its level fraction becomes
    // level / scale, kept within twice the scale like a loaded one. Derives P1
    // and P5 again; the shape is not handed on. Non-finite levels do nothing.
    void SetPointLevel(int index, double level);
    // P2, P3 and P4 take the times given as fractions of the length (autofit),
    // each in a column of its own, in order, from column 1 to the last but
    // one, as dragging keeps them: a time is first kept within its own range
    // (P2 from column 1, P3 from 2, P4 from 3, each short of the end by a
    // column for every point after it), then moved on to the column after the
    // point before if it lies in or before that one. A time that is not a
    // number keeps the point's own. Within its column a time need not fall on
    // the column's start. Derives P1 and P5 again; the shape is not handed on.
    void SetInnerTimes(const double* fractions);
    // The plot column of point i's time fraction.
    int ColumnOf(int i) const;

    // Appends the scale and the pairs (time / length, level / scale) of P0, P2,
    // P3, P4 and P6 as doubles.
    void SaveViewState(ByteBlock& chunk) const;
    // Reads what SaveViewState wrote from position on, stopping quietly where
    // fewer than 8 bytes remain; non-finite values are skipped, times are kept
    // within the envelope and levels within twice the scale. The fractions read
    // are kept as they are, so saving again writes the same bytes (P0's level is
    // the threshold's, written as threshold / scale). Always true.
    bool LoadViewState(const ByteBlock& chunk, int& position);
    // The same in two steps: the section read with no lock held
    // (ReadViewState), then taken in (TakeViewState, a few points' work).
    struct SavedView {
        bool scaleRead = false;
        double scale = 0.0;
        int pairs = 0; // (time, level) pairs read, for P0, P2, P3, P4, P6 in turn
        double time[5] = {}, level[5] = {};
    };
    static void ReadViewState(const ByteBlock& chunk, int& position, SavedView& view);
    void TakeViewState(const SavedView& view);

    // Hands the current shape to the sink.
    void HandShape();
    // Whether other defines the same shape (the state above: the fractions,
    // the threshold, the length, the scale, the rate; hover flags and the
    // sink aside).
    bool SameShapeAs(const ShapeModel& other) const;
    // A copy that draws takes null: it hands nothing on.
    void SetSink(ShapeSink* sink) { mSink = sink; }

    const Point& PointAt(int i) const { return mPoints[i]; }
    int Length() const { return mLength; }
    int MinLength() const { return mMinLength; }
    int MaxLength() const { return mMaxLength; }
    int SampleRate() const { return mSampleRate; }
    double Tempo() const { return mTempo; }
    double Scale() const { return mScale; }
    double Strength() const { return mStrength; }
    // Level per pixel: 2 * scale / plot height.
    double AmpPerPixel() const { return mAmpPerPixel; }

    // Pixel row of a level, limited to the plot.
    int LevelToY(double level) const;

    // The state of point i (0, 2, 3, 4 or 6): time / length and level / scale.
    double TimeFraction(int i) const { return mTimeFraction[i]; }
    double LevelFraction(int i) const { return mLevelFraction[i]; }
    // P0's level.
    double Threshold() const { return mThreshold; }

private:
    // Row of a level limited to top..bottom.
    int RowOf(double level, int top, int bottom) const;
    // Sets a point's time and level and places it.
    void PlaceAt(int i, double time, double level);
    // Computes the times, levels and pixels of all points from the fractions,
    // the length, the scale and the threshold, and derives P1 and P5.
    void FollowFractions();
    // Puts loaded points back in time order, a column apart (damaged chunks).
    void OrderLoadedPoints();
    void DeriveP1();
    void DeriveP5();

    ShapeSink* mSink;
    Point mPoints[kPoints];
    int mSampleRate = 48000;
    double mTempo = 120.0;
    int mMinLength = 2400;
    int mMaxLength = 48000;
    int mLength = 9600;
    double mScale = 1.0;
    double mAmpPerPixel;
    double mStrength = 0.5;
    double mThreshold;
    // Indexed by point; only P0, P2, P3, P4 and P6 are used (P0's level
    // fraction only as loaded, its level is mThreshold).
    double mTimeFraction[kPoints] = {};
    double mLevelFraction[kPoints] = {};
};
