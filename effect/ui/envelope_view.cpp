#include "effect/ui/envelope_view.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/db.h"
#include "editor/editor.h"
#include "effect/kelo.h"
#include "effect/ui/bar_colors.h"
#include "effect/ui/palette.h"
#include "plug/lock.h"

namespace {

// Limits of the scale and the threshold the mouse can set, in dB.
const double kScaleLowestDb = -30.0, kScaleHighestDb = 3.0;
const double kThresholdLowestDb = -60.0, kThresholdHighestDb = 0.0;
// A fitted scale leaves the loudest column this far below the top.
const double kFitRatio = 0.9375;
// Thresholds the effect reports this close to the view's own (dB) are the
// view's own pushes coming back on the parameter's 0.1 dB steps: keeping the
// unrounded value lets a slow drag move by less than a step per pixel.
const double kSameThresholdDb = 0.05;

double Limited(double v, double lo, double hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

} // namespace

EnvelopeView::EnvelopeView(KeloEffect* effect, Editor* editor)
    : Control(effect, Rect(kLeft, kTop, kRight, kBottom), -1, BlendAlpha, 1.0f), mKelo(effect),
      mEditor(editor), mColumns(kColumns), mScratch(kScratchSamples, 0.0), mScale(DbToAmp(-3.0)),
      mThreshold(DbToAmp(-12.0)),
      mTextStyle(12, kGrey, "Arial", TextStyle::Normal, TextStyle::AlignCenter, 0),
      mShownBars(kColumns, kBarUnknown), mGradient(BarRuns::kGradient, kBarDarkGreen, kPlotHeight),
      mGreenFade(BarRuns::kFaded, kBarDarkGreen, kPlotHeight),
      mGreyFade(BarRuns::kFaded, kGrey, kPlotHeight) {
    mTimeAxis.mMinGap = 0.1;
    mLevelAxis.mMinGap = 0.08;
    mAmpPerPixel = mScale / kPlotHeight;
    if (mKelo) {
        ScopedLock lock(mKelo->FrameLock());
        const double saved = mKelo->EnvView().Scale();
        if (saved > 0.0 && std::isfinite(saved)) mScale = saved;
        mThreshold = mKelo->Threshold();
    }
    const int rate = mSampleRate;
    mSampleRate = 0; // so that the first setting is taken in full
    SetSampleRateAndTempo(rate, mTempo);
    SetScale(mScale);
    SetThreshold(mThreshold, false);
}

int EnvelopeView::LevelY(double level) const {
    const double pixels = level / mAmpPerPixel;
    // Not a number and levels at or below zero sit on the bottom; levels at or
    // above the scale (and any that overflow the division) on the top.
    if (!(pixels > 0.0)) return kPlotBottom;
    if (!(pixels < kPlotHeight)) return kPlotTop;
    const int y = kPlotBottom - int(pixels);
    return y < kPlotTop ? kPlotTop : y;
}

void EnvelopeView::SetSampleRateAndTempo(int sampleRate, double tempo) {
    if (sampleRate < 1) return;
    const double history = 2.0 * sampleRate;
    const double perColumn = history / kColumns;
    if (!(perColumn > 0.0)) return;
    mTempo = std::isfinite(tempo) && tempo > 0.0 ? tempo : 0.0;
    if (sampleRate != mSampleRate || history != mHistoryLength) {
        mSampleRate = sampleRate;
        mHistoryLength = history;
        mSamplesPerColumn = perColumn;
        mTimeAxis.BuildTimeTicks(-history, 0.0, double(sampleRate), true);
    }
    MakeBeatsText();
    MarkDirty();
}

void EnvelopeView::MakeBeatsText() {
    const double beats = mHistoryLength / mSampleRate * mTempo / 60.0;
    std::snprintf(mBeatsText, sizeof mBeatsText, "%.2f beats", beats);
}

void EnvelopeView::SetScale(double scale) {
    if (!(scale > 0.0) || !std::isfinite(scale)) return;
    mScale = scale;
    mAmpPerPixel = scale / kPlotHeight;
    mThresholdY = LevelY(mThreshold);
    for (Column& c : mColumns)
        c.topY = LevelY(c.peak);
    mLevelAxis.BuildAmpTicks(0.0, scale, false);
    MarkDirty();
}

void EnvelopeView::ChooseScale(double scale) {
    const double before = mScale;
    SetScale(scale);
    if (!mKelo) return;
    {
        ScopedLock lock(mKelo->FrameLock());
        mKelo->EnvView().StoreScale(mScale);
    }
    // The scale is saved with the project: the host hears of it (once per
    // gesture), with the lock released.
    if (mScale != before) mKelo->StateChanged();
}

void EnvelopeView::SetThreshold(double threshold, bool push) {
    if (!(threshold > 0.0) || !std::isfinite(threshold)) return;
    if (threshold > mScale) {
        if (push)
            ChooseScale(threshold);
        else
            SetScale(threshold);
    }
    mThreshold = threshold;
    mThresholdY = LevelY(threshold);
    MakeThresholdText();
    if (push) {
        Editor* editor = mEditor ? mEditor : GetEditor();
        const double normalized = Limited((AmpToDb(threshold) + 60.0) / 60.0, 0.0, 1.0);
        if (editor) editor->UserParamValue(kParamThreshold, normalized);
    }
    MarkDirty();
}

void EnvelopeView::MakeThresholdText() {
    FormatDb(AmpToDb(mThreshold), mThresholdText, int(sizeof mThresholdText), false);
    mLastDrawnThreshold = mThreshold;
}

void EnvelopeView::MarkEvents(int envLen) {
    const double runLength = envLen > 0 ? envLen / mSamplesPerColumn : 0.0;
    // Runs longer than the ring mark it all but its last slot anyway.
    const int k = runLength >= kColumns ? kColumns : int(runLength);
    for (int i = 0; i < kColumns;) {
        Column& c = mColumns[size_t(i)];
        if (!(c.peak > mThreshold)) {
            c.marked = false;
            ++i;
        } else if (k == 0) {
            ++i; // a run of no columns: the column keeps its mark
        } else {
            const int end = i + k < kColumns - 1 ? i + k : kColumns - 1;
            for (int j = i; j < end; ++j)
                mColumns[size_t(j)].marked = true;
            i += k;
        }
    }
    MarkDirty();
}

void EnvelopeView::AppendSamples(const double* samples, int count, bool marked) {
    if (!samples || count <= 0) return;
    const double perColumn = mSamplesPerColumn;
    int from = 0;
    for (int64_t k = 1; from < count; ++k) {
        double end = std::floor(double(k) * perColumn);
        // Every column takes at least one sample, the last one what is left.
        int to = end >= double(count) ? count : int(end);
        if (to <= from) to = from + 1;
        double peak = samples[from];
        for (int i = from + 1; i < to; ++i)
            if (samples[i] > peak) peak = samples[i];
        Column& c = mColumns[size_t(mWriteIndex)];
        c.peak = peak;
        c.marked = marked;
        c.topY = LevelY(peak);
        mWriteIndex = (mWriteIndex + 1) % kColumns;
        ++mAppended;
        from = to;
    }
    MarkDirty();
}

void EnvelopeView::ApplyNews() {
    if (!mKelo) return;
    EnvViewNews news;
    {
        ScopedLock lock(mKelo->FrameLock());
        news = mKelo->EnvView().TakeNews();
    }
    if (news.rate) SetSampleRateAndTempo(news.sampleRate, news.tempo);
    if (news.scale) SetScale(news.scaleValue);
    if (news.threshold && news.thresholdValue > 0.0 &&
        !(std::fabs(AmpToDb(news.thresholdValue) - AmpToDb(mThreshold)) < kSameThresholdDb))
        SetThreshold(news.thresholdValue, false);
    if (news.events) MarkEvents(news.envLen);
}

void EnvelopeView::MarkDirty() {
    mMarks.fetch_add(1);
    SetDirty(false);
}

void EnvelopeView::DrawPassDone() {
    mNewsTaken = false;
    mScrolledFrame = false;
    Control::DrawPassDone();
    // A mark that came after this pass's feed asks for another pass.
    if (mMarks.load() != mDrawnMarks.load()) mDirty = true;
}

void EnvelopeView::Feed() {
    if (!mKelo) return;
    // The history ring may hand its contents out in two pieces.
    for (int piece = 0; piece < 2; ++piece) {
        int64_t start = 0;
        bool marked = false;
        const int n = mKelo->ReadHistory(mScratch.data(), kScratchSamples, start, marked);
        if (n <= 0) break;
        AppendSamples(mScratch.data(), n, marked);
    }
}

void EnvelopeView::TakeNews() {
    // Marks from here on ask for another pass (DrawPassDone).
    mDrawnMarks = mMarks.load();
    ApplyNews();
    Feed();
    mNewsTaken = true;
}

EnvelopeView::Look EnvelopeView::CurrentLook() const {
    return {mThreshold,  mScale,      mTempo,     mHistoryLength,
            mThresholdY, mSampleRate, mHoverZone, mDragZone};
}

int EnvelopeView::BarKey(int j) const {
    const Column& c = mColumns[size_t((mWriteIndex + j) % kColumns)];
    return c.topY * 2 + (c.marked ? 1 : 0);
}

Rect EnvelopeView::ChangedArea() {
    TakeNews();
    if (!mShownLookValid || !(CurrentLook() == mShownLook)) return GetRect();
    // A bar's fading line follows its neighbours' tops.
    int lo = 0, hi = 0;
    const auto differs = [this](int j) { return BarKey(j) != mShownBars[size_t(j)]; };
    if (!ChangedColumns(kColumns, 1, differs, lo, hi)) {
        mShownBase = mAppended; // the window shows the bars as they stand
        return Rect();
    }
    return Rect(kPlotLeft + lo, kPlotTop, kPlotLeft + hi + 1, kPlotBottom);
}

bool EnvelopeView::PlanScroll(Rect& area, int& dx, std::vector<Rect>& redraw) {
    redraw.clear();
    const int64_t moved = mAppended - mShownBase;
    if (!mShownLookValid || !(CurrentLook() == mShownLook) || moved < 1 || moved > kMostScrolled)
        return false;
    const int n = int(moved);
    const Rect plot(kPlotLeft, kPlotTop, kPlotRight, kPlotBottom);
    // The plot columns to draw again after the move.
    bool again[kColumns] = {};
    const auto mark = [&again](int from, int to) {
        for (int j = from < 0 ? 0 : from; j < to && j < kColumns; ++j)
            again[j] = true;
    };
    mark(0, kLeftRim);
    mark(kColumns - n - kRightRim, kColumns);
    // A bar other than the one moving into its place (an event marked since),
    // with its neighbours' fading lines.
    for (int j = 0; j < kColumns - n; ++j)
        if (BarKey(j) != mShownBars[size_t(j + n)]) mark(j - 1, j + 2);
    // The grid lines stay: drawn again where one was moved to and where one is.
    for (int i = 0; i < mTimeAxis.TickCount(); ++i) {
        const int j = mTimeAxis.TimeTickX(i, plot) - kPlotLeft;
        mark(j, j + 1);
        mark(j - n, j - n + 1);
    }
    // Runs of them, joined across short gaps: each drawing pass costs
    // something of its own.
    bool drawn[kColumns] = {};
    for (int j = 0; j < kColumns;) {
        if (!again[j]) {
            ++j;
            continue;
        }
        int end = j + 1;
        for (int k = end; k < kColumns && k <= end + kJoinGap; ++k)
            if (again[k]) end = k + 1;
        redraw.emplace_back(kPlotLeft + j, kPlotTop, kPlotLeft + end, kPlotBottom);
        for (int k = j; k < end; ++k)
            drawn[k] = true;
        j = end;
    }
    // The beats text stays at the top right: its rows from where the move
    // took it to the right end, outside the runs.
    const int textLeft =
        kPlotRight - 2 - kBeatsCharWidth * int(std::strlen(mBeatsText)) - n - kPlotLeft;
    for (int j = textLeft < 0 ? 0 : textLeft; j < kColumns;) {
        if (drawn[j]) {
            ++j;
            continue;
        }
        int end = j + 1;
        while (end < kColumns && !drawn[end])
            ++end;
        redraw.emplace_back(kPlotLeft + j, kPlotTop, kPlotLeft + end, kPlotTop + kBeatsRows);
        j = end;
    }
    area = plot;
    dx = -n;
    return true;
}

void EnvelopeView::Scrolled() {
    // Once this frame's passes have drawn the plan, the window shows every
    // bar as it stands.
    for (int j = 0; j < kColumns; ++j)
        mShownBars[size_t(j)] = BarKey(j);
    mShownBase = mAppended;
    mScrolledFrame = true;
}

void EnvelopeView::RecordShown(const Rect& area) {
    // A frame that moved the plot draws what its plan named: the record
    // already says what the window will show.
    if (mScrolledFrame) return;
    const Rect whole = GetRect();
    if (area.Covers(whole)) {
        mShownLook = CurrentLook();
        mShownLookValid = true;
    } else if (mShownLookValid && !(CurrentLook() == mShownLook)) {
        mShownLookValid = false; // a part now shows another look
    }
    const bool fullHeight = area.T <= kPlotTop && area.B >= kPlotBottom;
    const int from = area.L > kPlotLeft ? area.L - kPlotLeft : 0;
    const int to = area.R < kPlotRight ? area.R - kPlotLeft : kColumns;
    for (int j = from; j < to; ++j)
        mShownBars[size_t(j)] = fullHeight ? BarKey(j) : kBarUnknown;
    if (fullHeight && from == 0 && to == kColumns) mShownBase = mAppended;
}

bool EnvelopeView::Draw(Editor* editor) {
    if (!editor) return false;
    // The news ChangedArea took are what this pass shows.
    if (!mNewsTaken || !editor->InPass()) TakeNews();
    const Rect plot(kPlotLeft, kPlotTop, kPlotRight, kPlotBottom);
    bool ok = true;
    // 2. The outline, just outside the plot so that no bar covers it.
    ok = editor->DrawHorizontalLine(kBlack, kPlotTop - 1, kPlotLeft - 1, kPlotRight) && ok;
    ok = editor->DrawHorizontalLine(kBlack, kPlotBottom, kPlotLeft - 1, kPlotRight) && ok;
    ok = editor->DrawVerticalLine(kBlack, kPlotLeft - 1, kPlotTop - 1, kPlotBottom) && ok;
    ok = editor->DrawVerticalLine(kBlack, kPlotRight, kPlotTop - 1, kPlotBottom) && ok;
    // 3. The axes with their grid lines.
    ok = mTimeAxis.DrawTimeScale(editor, mTextStyle, plot, kGrid, true) && ok;
    ok = mLevelAxis.DrawLevelScale(editor, mTextStyle, plot, kGrid, true) && ok;
    // 4. The bars.
    ok = DrawColumns(editor) && ok;
    // 5. The history's length in beats, over the newest bars.
    mTextStyle.mAlign = TextStyle::AlignRight;
    ok = editor->DrawString(mTextStyle, mBeatsText,
                            Rect(kPlotRight - 29, kPlotTop + 1, kPlotRight - 2, kPlotTop + 6)) &&
         ok;
    // 6. The threshold line.
    ok = editor->DrawHorizontalLine(kAzure, mThresholdY, kPlotLeft, kPlotRight - 1) && ok;
    // 7. Its handle, red while hovered or dragged.
    const Blend copy(BlendCopy, 1.0f);
    ok = editor->DrawCircle(kWhite, float(kPlotLeft), float(mThresholdY), 2.0f, &copy, true) && ok;
    const bool active = mHoverZone == kZoneThreshold || mDragZone == kZoneThreshold;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            editor->WritePixel(active ? kRed : kBlack, kPlotLeft + dx, mThresholdY + dy);
    // 8. The threshold's text, when the threshold moved since it was made.
    if (mLastDrawnThreshold != mThreshold) MakeThresholdText();
    // 9. The box with the text.
    ok = DrawThresholdBox(editor) && ok;
    RecordShown(editor->PassArea());
    return ok;
}

bool EnvelopeView::DrawColumns(Editor* editor) {
    // Display order: the oldest column (at the write index) at the plot's left,
    // the newest (just before the write index) at its right.
    // Only the columns the pass can change, and their neighbours' tops.
    const Rect area = editor->PassArea();
    const int from = area.L > kPlotLeft ? area.L - kPlotLeft : 0;
    const int to = area.R < kPlotRight ? area.R - kPlotLeft : kColumns;
    int tops[kColumns];
    for (int j = from > 0 ? from - 1 : 0; j <= to && j < kColumns; ++j)
        tops[j] = mColumns[size_t((mWriteIndex + j) % kColumns)].topY;
    for (int j = from; j < to; ++j) {
        const Column& c = mColumns[size_t((mWriteIndex + j) % kColumns)];
        const int x = kPlotLeft + j;
        const int top = tops[j];
        // Runs are written up from their base, one column each.
        if (c.marked) {
            const int n = kPlotBottom - top;
            editor->WriteColumn(x, kPlotBottom - 1, -1, mGradient.Run(n), n);
        } else if (top < kPlotBottom) {
            editor->DrawVerticalLine(kGrey, x, top, kPlotBottom - 1);
        }
        // A fading line up the side of a higher neighbour.
        int higher = top;
        if (j > 0 && tops[j - 1] < higher) higher = tops[j - 1];
        if (j + 1 < kColumns && tops[j + 1] < higher) higher = tops[j + 1];
        const int count = top - higher; // m + 1
        BarRuns& fade = c.marked ? mGreenFade : mGreyFade;
        editor->WriteColumn(x, top - 1, -1, fade.Run(count), count);
    }
    return true;
}

bool EnvelopeView::DrawThresholdBox(Editor* editor) {
    const int y = mThresholdY;
    // From the control's left edge: "-12.0" and "-60.0" fit inside it.
    const Rect box(kLeft, y - 7, kPlotLeft - 3, y + 7);
    const Blend copy(BlendCopy, 1.0f);
    bool ok = editor->FillColorRect(kBoxFill, box, &copy);
    const int l = box.L, t = box.T, r = box.R - 1, b = box.B - 1;
    // Sides stopping two pixels short of the corners.
    ok = editor->DrawHorizontalLine(kGrey, t, l + 2, r - 2) && ok;
    ok = editor->DrawHorizontalLine(kGrey, b, l + 2, r - 2) && ok;
    ok = editor->DrawVerticalLine(kGrey, l, t + 2, b - 2) && ok;
    ok = editor->DrawVerticalLine(kGrey, r, t + 2, b - 2) && ok;
    // Rounded corners: 3/4 grey beside each corner, 7/8 grey inside it.
    const Color side(255, kGrey.mR * 3 / 4, kGrey.mG * 3 / 4, kGrey.mB * 3 / 4);
    const Color inner(255, kGrey.mR * 7 / 8, kGrey.mG * 7 / 8, kGrey.mB * 7 / 8);
    const int cx[2] = {l, r}, cy[2] = {t, b}, in[2] = {1, -1};
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 2; ++k) {
            editor->WritePixel(side, cx[i] + in[i], cy[k]);
            editor->WritePixel(side, cx[i], cy[k] + in[k]);
            editor->WritePixel(inner, cx[i] + in[i], cy[k] + in[k]);
        }
    TextStyle style = mTextStyle;
    style.mColor = kWhite;
    style.mAlign = TextStyle::AlignRight;
    ok = editor->DrawString(style, mThresholdText, Rect(box.L, box.T + 2, box.R - 3, box.B)) && ok;
    return ok;
}

void EnvelopeView::OnMouseOver(int x, int y, const MouseKeys&) {
    ApplyNews();
    if (x > kPlotLeft - 30 && x < kPlotRight + 6 && y >= mThresholdY - 12 && y <= mThresholdY + 12)
        mHoverZone = kZoneThreshold;
    else if (x >= kPlotLeft - 30 && x < kPlotLeft && y >= kPlotTop && y < kPlotBottom)
        mHoverZone = kZoneScale;
    else
        mHoverZone = kZoneNone;
    MarkDirty();
}

void EnvelopeView::OnMouseDown(int, int, const MouseKeys&) {
    ApplyNews();
    mDragZone = mHoverZone;
    mHoverZone = kZoneNone;
    MarkDirty();
}

void EnvelopeView::OnMouseUp(int, int) {
    mDragZone = mHoverZone = kZoneNone;
    MarkDirty();
}

void EnvelopeView::OnMouseOut() {
    mDragZone = mHoverZone = kZoneNone;
    MarkDirty();
}

void EnvelopeView::OnMouseDrag(int, int, int, int dY, const MouseKeys&) {
    ApplyNews();
    if (mDragZone == kZoneScale)
        // Dragging down shows more headroom.
        ChooseScale(
            Limited(mScale + dY * mAmpPerPixel, DbToAmp(kScaleLowestDb), DbToAmp(kScaleHighestDb)));
    else if (mDragZone == kZoneThreshold)
        SetThreshold(Limited(mThreshold - dY * mAmpPerPixel, DbToAmp(kThresholdLowestDb),
                             DbToAmp(kThresholdHighestDb)),
                     true);
    MarkDirty();
}

void EnvelopeView::OnMouseWheel(int, int, const MouseKeys&, int steps) {
    ApplyNews();
    if (mHoverZone == kZoneScale)
        ChooseScale(Limited(mScale + steps * mAmpPerPixel, DbToAmp(kScaleLowestDb),
                            DbToAmp(kScaleHighestDb)));
    else if (mHoverZone == kZoneThreshold)
        SetThreshold(Limited(mThreshold + steps * mAmpPerPixel, DbToAmp(kThresholdLowestDb),
                             DbToAmp(kThresholdHighestDb)),
                     true);
    MarkDirty();
}

void EnvelopeView::OnMouseDblClick(int, int, const MouseKeys&) {
    ApplyNews();
    double loudest = 0.0;
    for (const Column& c : mColumns)
        if (c.peak > loudest) loudest = c.peak;
    if (loudest > 0.0)
        ChooseScale(
            Limited(loudest / kFitRatio, DbToAmp(kScaleLowestDb), DbToAmp(kScaleHighestDb)));
}
