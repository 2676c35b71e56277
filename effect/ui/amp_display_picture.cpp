// What a drawing pass shows: the picture copied out under the locks, and what
// the window already shows of it, so that a frame redraws only what will look
// different.
#include "effect/ui/amp_display.h"

#include <algorithm>

void AmpDisplay::TakePicture() {
    // The buffers take the length of the current rate's slider; the memory is
    // had before either lock is taken.
    int want, have;
    {
        ScopedLock lock(mLock);
        SyncLocked();
        want = mModel.MaxLength();
        have = int(mLevelSamples.size());
    }
    if (want > kMaxBufferSamples) want = kMaxBufferSamples;
    if (want < 1) want = 1;
    if (want != have) {
        std::vector<double> levels(size_t(want), 0.0), outputs(size_t(want), 0.0);
        ScopedLock lock(mLock);
        const size_t keep = size_t(want < int(mLevelSamples.size()) ? want : mLevelSamples.size());
        for (size_t i = 0; i < keep; ++i) {
            levels[i] = mLevelSamples[i];
            outputs[i] = mOutSamples[i];
        }
        mLevelSamples.swap(levels);
        mOutSamples.swap(outputs);
        // Read the current event again: the effect holds all of it.
        mReadEnd = 0;
    }

    // Feed and copy out, then draw holding no lock.
    Picture& pic = mPicture;
    {
        ScopedLock lock(mLock);
        // Marks from here on ask for another pass (DrawPassDone).
        mDrawnMarks = mMarks.load();
        SyncLocked();
        FeedLocked();
        pic.columns = mColumns;
        for (int i = 0; i < M::kPoints; ++i) {
            pic.points[i] = mModel.PointAt(i);
            pic.hovered[i] = mHovered[i];
            pic.dragged[i] = mDragged[i];
        }
        pic.length = mModel.Length();
        pic.minLength = mModel.MinLength();
        pic.maxLength = mModel.MaxLength();
        pic.sampleRate = mModel.SampleRate();
        pic.tempo = mModel.Tempo();
        pic.scale = mModel.Scale();
        pic.strength = mModel.Strength();
        pic.showInput = mShowInput;
        pic.hoverZone = mHoverZone;
        pic.dragZone = mDragZone;
    }
    mPictureTaken = true;
}

bool AmpDisplay::SameLook(const Picture& a, const Picture& b) const {
    for (int i = 0; i < M::kPoints; ++i) {
        const M::Point &p = a.points[i], &q = b.points[i];
        if (p.time != q.time || p.level != q.level || p.x != q.x || p.y != q.y ||
            p.mirrorY != q.mirrorY || p.hovered != q.hovered || p.dragged != q.dragged ||
            a.hovered[i] != b.hovered[i] || a.dragged[i] != b.dragged[i])
            return false;
    }
    return a.length == b.length && a.minLength == b.minLength && a.maxLength == b.maxLength &&
           a.sampleRate == b.sampleRate && a.tempo == b.tempo && a.scale == b.scale &&
           a.strength == b.strength && a.showInput == b.showInput && a.hoverZone == b.hoverZone &&
           a.dragZone == b.dragZone;
}

namespace {

// Rows a column's pixels can reach: its bar, outlines and input line (one
// row beyond the plot for the line's anti-aliased pair).
constexpr int kColumnTop = AmpDisplay::kPlotTop - 3;
constexpr int kColumnBottom = AmpDisplay::kPlotBottom + 3;

bool SameRows(const AmpDisplay::Column& a, const AmpDisplay::Column& b) {
    return a.yMin == b.yMin && a.yMax == b.yMax && a.yLevel == b.yLevel && a.yMirror == b.yMirror;
}

} // namespace

Rect AmpDisplay::ChangedArea() {
    TakePicture();
    if (!mShownLookValid || !SameLook(mPicture, mShown)) return GetRect();
    // A column's outlines follow its neighbours, the input line joins it to the next.
    int lo = 0, hi = 0;
    const auto differs = [this](int k) {
        return !mShownColumn[size_t(k)] ||
               !SameRows(mPicture.columns[size_t(k)], mShown.columns[size_t(k)]);
    };
    if (!ChangedColumns(kColumns, 2, differs, lo, hi)) return Rect();
    return Rect(kPlotLeft + lo, kColumnTop, kPlotLeft + hi + 1, kColumnBottom);
}

void AmpDisplay::RecordShown(const Rect& area) {
    const Rect whole = GetRect();
    if (area.Covers(whole)) {
        mShown = mPicture;
        mShownLookValid = true;
        std::fill(mShownColumn.begin(), mShownColumn.end(), 1);
        return;
    }
    if (mShownLookValid && !SameLook(mPicture, mShown)) mShownLookValid = false;
    const bool fullHeight = area.T <= kColumnTop && area.B >= kColumnBottom;
    const int from = area.L > kPlotLeft ? area.L - kPlotLeft : 0;
    const int to = area.R < kPlotRight ? area.R - kPlotLeft : kColumns;
    for (int k = from; k < to; ++k) {
        if (fullHeight) mShown.columns[size_t(k)] = mPicture.columns[size_t(k)];
        mShownColumn[size_t(k)] = fullHeight ? 1 : 0;
    }
}
