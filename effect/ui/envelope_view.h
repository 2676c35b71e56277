// The detect panel: the last two seconds of the detector's band level as a
// scrolling bar graph (newest at the right), green gradient bars for levels
// that belong to a detected event and grey ones otherwise, under a draggable
// threshold line, with a time axis above, a level axis on the left and the
// history's length in beats in the top right corner.
//
// Everything here lives on the editor thread. The effect's hooks on host
// threads leave their news in the effect's EnvViewState (under the plug-in's
// lock) and mark the view dirty; the view takes the news at the start of each
// drawing pass and mouse event (ApplyNews), holding the plug-in's lock only to
// copy it. The scale the view chooses is written back there for the saved state.
//
// A frame redraws only what will look different (ChangedArea): the columns
// whose bars moved, or the whole panel when anything else it shows changed.
// While only new levels came in, the frame moves the plot's pixels left by
// the new columns (PlanScroll) and draws just what does not move with the
// bars: the new columns, the plot's edges (the background's rim, the
// threshold's handle), the time grid lines, the beats text, and any older bar
// whose event marking changed.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "editor/control.h"
#include "effect/display_link.h"
#include "effect/ui/axis_scale.h"
#include "effect/ui/bar_colors.h"

class Editor;
class KeloEffect;

class EnvelopeView : public Control, public DisplayLink {
public:
    // The control's rectangle and the plot: one column per pixel.
    static constexpr int kLeft = 170, kTop = 20, kRight = 645, kBottom = 191;
    static constexpr int kPlotLeft = 204, kPlotTop = 43, kPlotRight = 643, kPlotBottom = 183;
    static constexpr int kColumns = kPlotRight - kPlotLeft;    // 439
    static constexpr int kPlotHeight = kPlotBottom - kPlotTop; // 140
    // Samples one ReadHistory call can deliver (0x20000 bytes of doubles).
    static constexpr int kScratchSamples = 0x20000 / 8;

    // Hover and drag zones.
    enum Zone { kZoneNone = 0, kZoneScale = 1, kZoneThreshold = 2 };

    struct Column {
        double peak = 0.0;
        int topY = kPlotBottom;
        bool marked = false;
    };

    // Takes the effect's current scale; the editor is where a dragged threshold
    // is committed (the effect's editor when null).
    EnvelopeView(KeloEffect* effect, Editor* editor);

    // --- editor thread
    // Stores the rate and the tempo (beats per minute, 0 when unknown), sizes
    // the history to two seconds, rebuilds the time axis and the beats text. A
    // rate below 1 changes nothing.
    void SetSampleRateAndTempo(int sampleRate, double tempo);
    // A threshold above the scale raises the scale first. With push, the
    // "threshold" controls take the value and hand it to the effect.
    void SetThreshold(double threshold, bool push);
    // The level at the top of the plot; every column's bar follows. Scales that
    // are not finite or not positive are ignored; any other one is applied as
    // it is (pixel conversions stay inside the plot for any scale).
    void SetScale(double scale);
    // Marks the columns that belong to events of envLen samples: in ring order,
    // a column above the threshold starts a run of envLen / samples-per-column
    // columns (never the ring's last slot).
    void MarkEvents(int envLen);
    // Cuts count samples into columns of samples-per-column each, from the first
    // sample on, and appends their peaks to the ring (oldest overwritten).
    void AppendSamples(const double* samples, int count, bool marked);
    // Takes what the effect's hooks left for the view, then applies it.
    void ApplyNews();

    // --- any thread
    // Never lost: a mark after the feed of a drawing pass keeps the view dirty.
    void MarkDirty() override;
    void DrawPassDone() override;
    // Takes the news and the new levels (which the pass's Draw then shows);
    // the columns whose bars will differ from what was last drawn there, the
    // whole rectangle when the rest of the picture changed, else nothing.
    Rect ChangedArea() override;
    // The plot moved left by the columns that came in since the window's
    // columns were last drawn, when only that changed and it is a few.
    bool PlanScroll(Rect& area, int& dx, std::vector<Rect>& redraw) override;
    void Scrolled() override;
    // Columns a scroll draws again at the plot's left and right edges, and
    // the most columns a frame scrolls rather than draws.
    static constexpr int kLeftRim = 5, kRightRim = 3, kMostScrolled = kColumns / 2;
    // Columns between two runs to draw that are drawn too rather than
    // starting another pass; the beats text's width per character and its
    // rows from the plot's top, at most.
    static constexpr int kJoinGap = 12, kBeatsCharWidth = 9, kBeatsRows = 18;

    // --- Control
    bool Draw(Editor* editor) override;
    void OnMouseDown(int x, int y, const MouseKeys& mod) override;
    void OnMouseUp(int x, int y) override;
    void OnMouseDrag(int x, int y, int dX, int dY, const MouseKeys& mod) override;
    void OnMouseDblClick(int x, int y, const MouseKeys& mod) override;
    void OnMouseWheel(int x, int y, const MouseKeys& mod, int steps) override;
    void OnMouseOver(int x, int y, const MouseKeys& mod) override;
    void OnMouseOut() override;

    // --- read-only, for the editor and the tests
    // Ring slot i (0..kColumns-1); the write index is where the next one goes.
    const Column& ColumnAt(int i) const { return mColumns[size_t(i)]; }
    // Columns appended since the view was made.
    int64_t Appended() const { return mAppended; }
    int WriteIndex() const { return mWriteIndex; }
    int SampleRate() const { return mSampleRate; }
    double HistoryLength() const { return mHistoryLength; }
    double SamplesPerColumn() const { return mSamplesPerColumn; }
    double Tempo() const { return mTempo; }
    double Scale() const { return mScale; }
    double AmpPerPixel() const { return mAmpPerPixel; }
    double Threshold() const { return mThreshold; }
    int ThresholdY() const { return mThresholdY; }
    const char* ThresholdText() const { return mThresholdText; }
    const char* BeatsText() const { return mBeatsText; }
    int HoverZone() const { return mHoverZone; }
    int DragZone() const { return mDragZone; }
    const AxisScale& TimeAxis() const { return mTimeAxis; }
    const AxisScale& LevelAxis() const { return mLevelAxis; }
    // The y of a level: P.B less the level in pixels, never outside P.T..P.B.
    int LevelY(double level) const;

private:
    // Everything the panel shows besides the bars.
    struct Look {
        double threshold, scale, tempo, history;
        int thresholdY, sampleRate, hoverZone, dragZone;
        bool operator==(const Look& o) const {
            return threshold == o.threshold && scale == o.scale && tempo == o.tempo &&
                   history == o.history && thresholdY == o.thresholdY &&
                   sampleRate == o.sampleRate && hoverZone == o.hoverZone && dragZone == o.dragZone;
        }
    };
    static constexpr int kBarUnknown = -1;

    Look CurrentLook() const;
    // What decides the pixels of plot column j (its top and whether it is
    // marked); the neighbours' tops decide its fading line.
    int BarKey(int j) const;
    // What a drawing over area leaves in the window, for ChangedArea.
    void RecordShown(const Rect& area);
    // The hooks' news and the effect's new levels, once per drawing pass.
    void TakeNews();
    void MakeBeatsText();
    void MakeThresholdText();
    // The scale chosen here, also stored in the effect's saved state.
    void ChooseScale(double scale);
    void Feed();
    bool DrawColumns(Editor* editor);
    bool DrawThresholdBox(Editor* editor);

    KeloEffect* mKelo;
    Editor* mEditor;
    std::vector<Column> mColumns;
    int mWriteIndex = 0;
    std::vector<double> mScratch;
    int mSampleRate = 48000;
    double mHistoryLength = 96000.0;
    double mSamplesPerColumn = 96000.0 / kColumns;
    double mTempo = 120.0;
    double mScale;
    double mAmpPerPixel;
    double mThreshold;
    int mThresholdY = kPlotBottom;
    char mThresholdText[32] = "";
    double mLastDrawnThreshold = -1.0;
    char mBeatsText[32] = "";
    int mHoverZone = kZoneNone;
    int mDragZone = kZoneNone;
    AxisScale mTimeAxis;
    AxisScale mLevelAxis;
    TextStyle mTextStyle;
    // Marks counted (any thread), and the count the last drawing pass fed at.
    std::atomic<uint32_t> mMarks{0};
    std::atomic<uint32_t> mDrawnMarks{0};
    // What the window shows: each plot column's bar key as last drawn
    // (kBarUnknown when never, or only in part), and the look of the last
    // whole drawing (mShownLookValid false when none, or a part was drawn
    // with another look since).
    std::vector<int> mShownBars;
    Look mShownLook{};
    bool mShownLookValid = false;
    bool mNewsTaken = false; // this pass's news are in
    // Columns appended in all, and their count when the window's columns
    // were last drawn or moved: the difference is how far the bars moved since.
    int64_t mAppended = 0;
    int64_t mShownBase = 0;
    // This frame moved the plot (Scrolled): its passes draw what the plan named
    // and the record of the window is already up to date.
    bool mScrolledFrame = false;
    // The words of the bars' gradients and of the green and grey outlines.
    BarRuns mGradient, mGreenFade, mGreyFade;
};
