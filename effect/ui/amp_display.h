// The edit panel: the output level recorded during the latest event as a green
// band per pixel column, optionally the detector level of that event as a white
// mirrored line pair, and over it the envelope shape the effect imposes on
// every event, drawn mirrored about the centre line. The user drags the shape's
// four free points, the envelope length (the slider strip above the plot) and
// the level scale (the zone left of the plot); every change goes to the effect
// at once, and the length also to "env time".
//
// The shape's point model is the effect's: the display draws a copy, taken
// under the plug-in's lock, and sends every change through the effect (one
// road, under the plug-in's lock), then takes a fresh copy. The levels of the
// current event are the effect's record, read past what the display has.
//
// Threads. The display's lock guards the model's copy, the columns, the sample
// buffers and every value below. The display takes its own lock first; each
// call into the effect takes the plug-in's lock inside, for a short copy or
// change (the effect never calls the display under it), so the binning and
// the drawing never keep the audio thread waiting. A drawing pass draws from a
// copy, holding neither lock. The audio thread and the effect's hooks only
// mark the display dirty; a mark is counted, so one that lands during a
// drawing pass makes another pass.
//
// A frame redraws only what will look different (ChangedArea): the columns
// whose levels moved as an event comes in, or the whole panel when anything
// else it shows changed.
//
// Its work, a file each: the front onto the effect (amp_display.cpp), the
// binning of the event's levels into columns (amp_display_levels.cpp), the
// mouse zones and their edits (amp_display_input.cpp), the pass's picture and
// what changed since the last (amp_display_picture.cpp), and the drawing
// (amp_display_view.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "editor/control.h"
#include "effect/display_link.h"
#include "effect/shape_model.h"
#include "effect/ui/axis_scale.h"
#include "effect/ui/bar_colors.h"
#include "plug/lock.h"

class Editor;
class KeloEffect;

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

    // kelo: the effect whose point model, event levels, lock and "env time"
    // the display shows and changes (null: a display of its own defaults that
    // changes nothing).
    explicit AmpDisplay(KeloEffect* kelo);

    // --- changes through the effect (editor thread, or a test)
    // "autofit": the effect fits the shape to its current event.
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
    // Any thread, the audio thread included: asks for a redraw. Never lost: a
    // mark after the feed of a drawing pass keeps the display dirty.
    void MarkDirty() override;
    void DrawPassDone() override;
    // Takes the effect's model and new levels into the picture the pass's
    // Draw then shows; the columns that will differ from what was last drawn
    // there, the whole rectangle when the rest of the picture changed, else
    // nothing.
    Rect ChangedArea() override;

    // Moves free point 2, 3, 4 or 6 by (dx, dy) pixels as a drag of its upper
    // image does, and hands the shape on.
    void DragPoint(int index, int dx, int dy);

    // --- levels
    // Stores count levels at envelope positions start.. of the effect's
    // current event and bins them, as the drawing pass does with what the
    // effect delivers.
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

    // --- read-only copies, fresh from the effect
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
    // The sample buffers never grow beyond this, whatever the rate (one
    // second at rates up to 1 MHz); levels of later positions are dropped.
    static constexpr int kMaxBufferSamples = 1 << 20;
    static constexpr int kMaxLength = 1 << 24;
    // Pointer movements and wheel steps beyond any screen are cut to this, so
    // that no pixel arithmetic overflows.
    static int Bounded(int v) {
        const int limit = 100000;
        return v < -limit ? -limit : v > limit ? limit : v;
    }
    // Truncates v toward zero and limits it to lo..hi; NaN gives lo.
    static int TruncClamp(double v, int lo, int hi) {
        if (!(v >= lo)) return lo;
        if (v > hi) return hi;
        return static_cast<int>(v);
    }

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

    // The picture of this pass: buffers sized, levels fed, copied out.
    void TakePicture();
    // The picture besides its columns is the same as the one last drawn whole.
    bool SameLook(const Picture& a, const Picture& b) const;
    // What a drawing over area leaves in the window, for ChangedArea.
    void RecordShown(const Rect& area);

    // The following run under the display's lock; those that read the effect
    // take the plug-in's lock inside each call to it.
    // Takes a fresh copy of the effect's model (and "show env"); the columns
    // follow a new length or scale.
    void SyncLocked();
    void FeedLocked();
    // Bins count levels from position start; newEvent clears what the columns
    // held of the previous event.
    void BinLocked(int start, int count, bool newEvent);
    void RebinLocked();
    void ClearColumnLocked(int k);
    void PlaceColumnLocked(int k);
    // Changes through the effect, each followed by a fresh copy.
    void SetLengthLocked(int length);
    void SetScaleLocked(double scale);
    void DragPointLocked(int index, int dx, int dy);
    void SetPointLevelLocked(int index, double level);

    int ColumnOfPointLocked(int i) const;
    double ColumnLevelLocked(int k) const;
    void ClearPointFlagsLocked();
    // read() under the display's lock after a fresh copy of the effect's model.
    template <typename Read>
    auto Fresh(Read read);
    // A gesture's edit in its zone, and what the host hears of it
    // (amp_display_input.cpp).
    template <typename Slider, typename Points, typename ScaleTo>
    void EditInZone(int AmpDisplay::*zoneOf, Slider slider, Points points, ScaleTo scale);
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

    KeloEffect* mKelo;
    Lock mLock;
    // Guarded by mLock.
    // The effect's model as last copied.
    ShapeModel mModel;
    // The event the buffers hold and the position read up to.
    uint64_t mReadEvent = 0;
    int mReadEnd = 0;
    bool mHovered[M::kPoints] = {};
    bool mDragged[M::kPoints] = {};
    std::vector<Column> mColumns;
    std::vector<double> mLevelSamples, mOutSamples;
    int mLastEnd = 0;
    bool mShowInput = true;
    int mHoverZone = kZoneNone;
    int mDragZone = kZoneNone;

    // Marks counted (any thread), and the count the last drawing pass fed at.
    std::atomic<uint32_t> mMarks{0};
    std::atomic<uint32_t> mDrawnMarks{0};

    // Editor thread only.
    Picture mPicture;
    // What the window shows: the picture of the last whole drawing (its
    // columns only where mShownColumn is set: drawn in full since), and
    // whether its look still holds everywhere.
    Picture mShown;
    std::vector<char> mShownColumn;
    bool mShownLookValid = false;
    bool mPictureTaken = false; // this pass's picture is in
    AxisScale mTimeAxis;
    AxisScale mLevelAxis;
    int mAxisLength = -1, mAxisRate = -1;
    double mAxisScale = -1.0;
    char mBeatsText[32] = "";
    TextStyle mTextStyle;
    // The words of the bars' gradients and of their outlines.
    BarRuns mGradient, mFade;
};
