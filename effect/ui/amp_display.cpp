// The display's front onto the effect: the copy of the effect's point model
// kept fresh under the display's lock, every change sent through the effect,
// the redraw marks, and the read-only copies the tests and the editor read.
#include "effect/ui/amp_display.h"

#include "editor/editor.h"
#include "effect/kelo.h"

AmpDisplay::AmpDisplay(KeloEffect* kelo)
    : Control(kelo, Rect(kLeft, kTop, kRight, kBottom), -1, BlendAlpha, 1.0f), mKelo(kelo),
      mColumns(kColumns), mLevelSamples(48000, 0.0), mOutSamples(48000, 0.0),
      mTextStyle(12, kGrey, "Arial", TextStyle::Normal, TextStyle::AlignCenter, 0),
      mGradient(BarRuns::kGradient, kBarDarkGreen, kPlotHeight),
      mFade(BarRuns::kFaded, kBarDarkGreen, kPlotHeight) {
    mTimeAxis.mMinGap = 0.08;
    mLevelAxis.mMinGap = 0.08;
    mPicture.columns = mColumns;
    mShown.columns = mColumns;
    mShownColumn.assign(size_t(kColumns), 0);
    ScopedLock lock(mLock);
    SyncLocked();
    if (mKelo) mReadEvent = mKelo->EventCount();
}

void AmpDisplay::MarkDirty() {
    mMarks.fetch_add(1);
    SetDirty(false);
}

void AmpDisplay::DrawPassDone() {
    mPictureTaken = false;
    Control::DrawPassDone();
    // A mark that came after this pass's feed asks for another pass.
    if (mMarks.load() != mDrawnMarks.load()) mDirty = true;
}

// --- changes through the effect

void AmpDisplay::AutoFit() {
    // With no lock of ours held: the effect copies the event, fits outside its
    // lock and applies the result.
    if (mKelo) mKelo->AutoFit();
    {
        ScopedLock lock(mLock);
        SyncLocked();
        FeedLocked();
    }
    MarkDirty();
}

void AmpDisplay::SetLength(int length, bool push) {
    int rate;
    {
        ScopedLock lock(mLock);
        SetLengthLocked(length);
        length = mModel.Length();
        rate = mModel.SampleRate();
    }
    // Pushed with both locks released: the host hears the value at once, or,
    // if the caller holds the plug-in's lock, once it is released.
    if (push) PushLength(length, rate);
    MarkDirty();
}

void AmpDisplay::SetScale(double scale) {
    {
        ScopedLock lock(mLock);
        SetScaleLocked(scale);
    }
    MarkDirty();
}

void AmpDisplay::SetSampleRateAndTempo(int sampleRate, double tempo) {
    if (sampleRate < 1) return;
    {
        ScopedLock lock(mLock);
        if (mKelo)
            mKelo->SetShapeRateAndTempo(sampleRate, tempo);
        else
            mModel.SetSampleRateAndTempo(sampleRate, tempo);
        // The buffers follow on the editor thread; until then the levels are
        // binned from what they hold.
        SyncLocked();
        RebinLocked();
    }
    MarkDirty();
}

void AmpDisplay::DragPoint(int index, int dx, int dy) {
    {
        ScopedLock lock(mLock);
        DragPointLocked(index, Bounded(dx), Bounded(dy));
    }
    MarkDirty();
}

// --- under the display's lock; each call into the effect takes the plug-in's
// lock inside

void AmpDisplay::SyncLocked() {
    if (!mKelo) return;
    const int length = mModel.Length();
    const double scale = mModel.Scale();
    mKelo->CopyShapeModel(mModel);
    mShowInput = mKelo->ShowsEnv();
    if (mModel.Length() != length)
        RebinLocked();
    else if (mModel.Scale() != scale)
        for (int k = 0; k < kColumns; ++k)
            PlaceColumnLocked(k);
}

void AmpDisplay::SetLengthLocked(int length) {
    if (length < 1) length = 1;
    if (length > kMaxLength) length = kMaxLength;
    if (!mKelo) {
        mModel.SetLength(length);
        RebinLocked();
        return;
    }
    mKelo->SetShapeLength(length);
    SyncLocked();
}

void AmpDisplay::SetScaleLocked(double scale) {
    if (!mKelo) {
        mModel.SetScale(scale);
        for (int k = 0; k < kColumns; ++k)
            PlaceColumnLocked(k);
        return;
    }
    mKelo->SetShapeScale(scale);
    SyncLocked();
}

void AmpDisplay::DragPointLocked(int index, int dx, int dy) {
    if (!mKelo) {
        mModel.DragPoint(index, dx, dy);
        return;
    }
    mKelo->DragShapePoint(index, dx, dy);
    SyncLocked();
}

void AmpDisplay::SetPointLevelLocked(int index, double level) {
    if (!mKelo) {
        mModel.SetPointLevel(index, level);
        return;
    }
    mKelo->SetShapePointLevel(index, level);
    SyncLocked();
}

void AmpDisplay::PushLength(int length, int rate) {
    if (rate < 1) return;
    double n = (double(length) / rate - 0.05) / 0.95;
    n = n < 0.0 ? 0.0 : n > 1.0 ? 1.0 : n;
    if (Editor* editor = GetEditor())
        editor->UserParamValue(kEnvTimeParam, n);
    else if (mEffect)
        mEffect->EditorParamChange(kEnvTimeParam, n);
}

// --- read-only copies, fresh from the effect (the display's lock, then the
// plug-in's inside each call to the effect)

template <typename Read>
auto AmpDisplay::Fresh(Read read) {
    ScopedLock lock(mLock);
    SyncLocked();
    return read();
}

ShapeModel::Point AmpDisplay::PointAt(int i) {
    ScopedLock lock(mLock);
    SyncLocked();
    ShapeModel::Point p = mModel.PointAt(i < 0 ? 0 : i >= M::kPoints ? M::kPoints - 1 : i);
    if (i >= 0 && i < M::kPoints) {
        p.hovered = mHovered[i];
        p.dragged = mDragged[i];
    }
    return p;
}

AmpDisplay::Column AmpDisplay::ColumnAt(int k) {
    ScopedLock lock(mLock);
    SyncLocked();
    return k >= 0 && k < kColumns ? mColumns[size_t(k)] : Column();
}

int AmpDisplay::Length() {
    return Fresh([this] { return mModel.Length(); });
}
int AmpDisplay::MinLength() {
    return Fresh([this] { return mModel.MinLength(); });
}
int AmpDisplay::MaxLength() {
    return Fresh([this] { return mModel.MaxLength(); });
}
int AmpDisplay::SampleRate() {
    return Fresh([this] { return mModel.SampleRate(); });
}
double AmpDisplay::Tempo() {
    return Fresh([this] { return mModel.Tempo(); });
}
double AmpDisplay::Scale() {
    return Fresh([this] { return mModel.Scale(); });
}
double AmpDisplay::AmpPerPixel() {
    return Fresh([this] { return mModel.AmpPerPixel(); });
}
double AmpDisplay::Strength() {
    return Fresh([this] { return mModel.Strength(); });
}
bool AmpDisplay::ShowsInput() {
    return Fresh([this] { return mShowInput; });
}
int AmpDisplay::LastEnd() {
    return Fresh([this] { return mLastEnd; });
}
int AmpDisplay::HoverZone() {
    return Fresh([this] { return mHoverZone; });
}
int AmpDisplay::DragZone() {
    return Fresh([this] { return mDragZone; });
}
int AmpDisplay::BufferSamples() {
    return Fresh([this] { return int(mLevelSamples.size()); });
}
