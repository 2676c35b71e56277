// The edit panel: the output level recorded during the latest event as a green
// band per pixel column, optionally the detector level of that event as a white
// mirrored line pair, and over it the envelope shape the effect imposes on
// every event, drawn mirrored about the centre line. The user drags the shape's
// four free points, the envelope length (the slider strip above the plot) and
// the level scale (the zone left of the plot); every change goes to the effect
// at once, and the length also to "env time".
//
// Threads. The display's lock guards the point model, the columns, the sample
// buffers, the length and every value below. The effect's hooks run on host
// threads under the plug-in's lock and take the display's lock briefly; they
// never allocate (the sample buffers are resized, and the axes rebuilt, on the
// editor thread). The editor thread takes the plug-in's lock first and the
// display's lock second, and draws from a copy taken under both, holding
// neither. The audio thread only marks the display dirty.
#pragma once

#include <cstdint>
#include <vector>

#include "editor/control.h"
#include "effect/ui/axis_scale.h"
#include "effect/ui/display_link.h"
#include "effect/ui/shape_model.h"
#include "plug/lock.h"

class ByteBlock;
class Editor;

// Where the display pulls the levels of the current event from (the effect).
class DetectionSource {
public:
    virtual ~DetectionSource() = default;
    // Drains the detector and output levels recorded since the last call into
    // levelDst and outDst, indexed by envelope position (start .. start+count-1,
    // positions outside 0..capacity-1 dropped); returns count.
    virtual int ReadDetection(double* levelDst, double* outDst, int capacity, int& start) = 0;
};

class AmpDisplay : public Control, public DisplayLink {
public:
    using M = ShapeModel;
    // The control's rectangle; the plot is ShapeModel's.
    static constexpr int kLeft = 170, kTop = 192, kRight = 650, kBottom = 619;
    static constexpr int kPlotLeft = M::kPlotLeft, kPlotTop = M::kPlotTop;
    static constexpr int kPlotRight = M::kPlotRight, kPlotBottom = M::kPlotBottom;
    static constexpr int kColumns = M::kColumns;
    static constexpr int kPlotHeight = M::kPlotHeight;
    static constexpr int kCentreY = M::kCentreY;
    // The index of "env time", which the length slider sets.
    static constexpr int kEnvTimeParam = 8;

    // Pointer zones: none, the length slider, the upper / lower half of the
    // scale zone, a point in the upper / lower half.
    enum Zone {
        kZoneNone = 0,
        kZoneSlider = 1,
        kZoneScaleUpper = 2,
        kZoneScaleLower = 3,
        kZonePointUpper = 4,
        kZonePointLower = 5,
    };

    struct Column {
        double outMin = 0.0, outMax = 0.0, level = 0.0;
        int yMin = kCentreY, yMax = kCentreY, yMirror = kCentreY, yLevel = kCentreY;
    };

    // effect: the plug-in whose lock, editor and "env time" the display uses
    // (may be null in tests); sink takes every new shape; source delivers the
    // event levels (null: nothing to draw).
    AmpDisplay(EffectBase* effect, ShapeSink* sink, DetectionSource* source);

    // --- the effect's hooks (any thread; host threads hold the plug-in's lock)
    // P0 follows the threshold.
    void SetThreshold(double threshold);
    // "show env": whether the detector lines are drawn.
    void ShowInput(bool show);
    // "strength": colours the shape.
    void SetStrength(double strength);
    // "autofit": P2, P3 and P4 take the detector level of the column under
    // them unless it is zero, P6 takes its column's level even then. The latest
    // levels are pulled from the source first.
    void AutoFit();
    // The envelope length in samples, limited to 1 sample .. 2^24. Points keep
    // their pixels, the stored levels are binned again. With push, "env time"
    // takes the length (only the editor thread pushes).
    void SetLength(int length, bool push);
    // The level at half the plot height, limited to -30 dB .. +3 dB.
    void SetScale(double scale);
    // Keeps the length in seconds; the slider runs from 0.05 s to 1 s at the
    // new rate. A rate below 1 changes nothing.
    void SetSampleRateAndTempo(int sampleRate, double tempo);
    // The saved section: the scale and the pairs of P0, P2, P3, P4 and P6.
    void SaveViewState(ByteBlock& chunk);
    // Stops quietly where the data ends; true in every case.
    bool LoadViewState(const ByteBlock& chunk, int& position);
    // Any thread, the audio thread included: asks for a redraw.
    void MarkDirty() override;

    // Moves free point 2, 3, 4 or 6 by (dx, dy) pixels as a drag of its upper
    // image does, and hands the shape on.
    void DragPoint(int index, int dx, int dy);

    // --- levels
    // Stores count levels at envelope positions start.. and bins them, as the
    // drawing pass does with what the source delivers.
    void AddDetection(const double* levels, const double* outputs, int start, int count);

    // --- Control (editor thread)
    bool Draw(Editor* editor) override;
    void OnMouseDown(int x, int y, const MouseKeys& mod) override;
    void OnMouseUp(int x, int y) override;
    void OnMouseDrag(int x, int y, int dX, int dY, const MouseKeys& mod) override;
    void OnMouseDblClick(int x, int y, const MouseKeys& mod) override;
    void OnMouseWheel(int x, int y, const MouseKeys& mod, int steps) override;
    void OnMouseOver(int x, int y, const MouseKeys& mod) override;
    void OnMouseOut() override;

    // --- read-only copies, taken under the display's lock
    M::Point PointAt(int i);
    Column ColumnAt(int k);
    int Length();
    int MinLength();
    int MaxLength();
    int SampleRate();
    double Tempo();
    double Scale();
    double AmpPerPixel();
    double Strength();
    bool ShowsInput();
    int LastEnd();
    int HoverZone();
    int DragZone();
    // Samples the sample buffers hold now (the maximum length once the editor
    // thread has resized them).
    int BufferSamples();
    // The beats text of the last drawing pass.
    const char* BeatsText() const { return mBeatsText; }
    const AxisScale& TimeAxis() const { return mTimeAxis; }
    const AxisScale& LevelAxis() const { return mLevelAxis; }
    // The shape's colour at a strength.
    static Color ShapeColor(double strength);
    // The x of the slider's thumb (its left end) for a length.
    static int SliderLeft(int length, int minLength, int maxLength);

private:
    // What one drawing pass needs, copied under the locks.
    struct Picture {
        std::vector<Column> columns;
        M::Point points[M::kPoints];
        bool hovered[M::kPoints], dragged[M::kPoints];
        int length, minLength, maxLength, sampleRate;
        double tempo, scale, strength;
        bool showInput;
        int hoverZone, dragZone;
    };

    Lock* PluginLock() const;
    // The following run under the display's lock.
    void FeedLocked();
    void BinLocked(int start, int count);
    void ClearColumnLocked(int k);
    void PlaceColumnLocked(int k);
    void SetLengthLocked(int length);
    void SetScaleLocked(double scale);
    int ColumnOfPointLocked(int i) const;
    double ColumnLevelLocked(int k) const;
    void ClearPointFlagsLocked();
    // Pushes the normalised "env time" of a length at a rate to the controls
    // bound to it (and so to the effect and the host). Editor thread, with
    // neither lock held by the display.
    void PushLength(int length, int rate);
    // The first sample position of column k at the current length.
    int64_t ColumnStart(int k) const;

    bool DrawColumns(Editor* editor, const Picture& pic);
    bool DrawSlider(Editor* editor, const Picture& pic);
    bool DrawShape(Editor* editor, const Picture& pic);
    bool DrawMarkers(Editor* editor, const Picture& pic);

    DetectionSource* mSource;
    Lock mLock;
    // Guarded by mLock.
    ShapeModel mModel;
    bool mHovered[M::kPoints] = {};
    bool mDragged[M::kPoints] = {};
    std::vector<Column> mColumns;
    std::vector<double> mLevelSamples, mOutSamples;
    int mLastEnd = 0;
    bool mShowInput = true;
    int mHoverZone = kZoneNone;
    int mDragZone = kZoneNone;

    // Editor thread only.
    Picture mPicture;
    AxisScale mTimeAxis;
    AxisScale mLevelAxis;
    int mAxisLength = -1, mAxisRate = -1;
    double mAxisScale = -1.0;
    char mBeatsText[32] = "";
    TextStyle mTextStyle;
};
