// The envelope shape as the amplitude display edits it: seven points with their
// times and levels and their pixel positions in the display's plot. The display
// draws and drags them; this class keeps the points consistent (placement,
// derived control points, length, scale, sample rate) and hands every new shape
// to the effect.
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
    // Sets the envelope length in samples (at least 1). Points keep their pixel
    // positions, so their times scale with the length. The shape is handed on.
    void SetLength(int length);
    // Keeps the length in seconds across a rate change and sets the slider range
    // to 0.05 s .. 1 s. A rate below 1 Hz is ignored.
    void SetSampleRateAndTempo(int sampleRate, double tempo);
    // Sets the level at half the plot height, limited to -30 dB .. +3 dB; points
    // keep their pixel positions, so their levels scale. Non-finite or
    // non-positive scales are ignored.
    void SetScale(double scale);
    void SetStrength(double strength) { mStrength = strength; }

    // Moves free point 2, 3, 4 or 6 by (dx, dy) pixels within its limits, derives
    // P1 and P5 again and hands the shape on. Other indices do nothing.
    void DragPoint(int index, int dx, int dy);

    // Appends the scale and the pairs (time / length, level / scale) of P0, P2,
    // P3, P4 and P6 as doubles.
    void SaveViewState(ByteBlock& chunk) const;
    // Reads what SaveViewState wrote from position on, stopping quietly where
    // fewer than 8 bytes remain; non-finite values are skipped, times are kept
    // within the envelope and levels within twice the scale. Always true.
    bool LoadViewState(const ByteBlock& chunk, int& position);

    // Hands the current shape to the sink.
    void HandShape();

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

private:
    // Sets a point's time and level and places it.
    void PlaceAt(int i, double time, double level);
    // Recomputes every point's time and level from its pixel position.
    void FollowPixels();
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
};
