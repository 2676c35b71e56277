#include "effect/ui/amp_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/db.h"
#include "editor/editor.h"
#include "effect/kelo.h"
#include "effect/ui/bar_colors.h"
#include "effect/ui/palette.h"

namespace {

// The sample buffers never grow beyond this, whatever the rate (one second
// at rates up to 1 MHz); levels of later positions are dropped.
const int kMaxBufferSamples = 1 << 20;
const int kMaxLength = 1 << 24;

// Holds an optional lock (the plug-in's, absent in tests without a plug-in).
class MaybeLock {
public:
    explicit MaybeLock(Lock* lock) : mLock(lock) {
        if (mLock) mLock->Enter();
    }
    ~MaybeLock() {
        if (mLock) mLock->Leave();
    }
    MaybeLock(const MaybeLock&) = delete;
    MaybeLock& operator=(const MaybeLock&) = delete;

private:
    Lock* mLock;
};

// Pointer movements and wheel steps beyond any screen are cut to this, so that
// no pixel arithmetic overflows.
int Bounded(int v) {
    const int limit = 100000;
    return v < -limit ? -limit : v > limit ? limit : v;
}

// Truncates v toward zero and limits it to lo..hi; NaN gives lo.
int TruncClamp(double v, int lo, int hi) {
    if (!(v >= lo)) return lo;
    if (v > hi) return hi;
    return static_cast<int>(v);
}

} // namespace

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
    MaybeLock plugin(PluginLock());
    ScopedLock lock(mLock);
    SyncLocked();
    if (mKelo) mReadEvent = mKelo->EventCount();
}

Lock* AmpDisplay::PluginLock() const {
    return mEffect ? &mEffect->FrameLock() : nullptr;
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
    {
        MaybeLock plugin(PluginLock());
        if (mKelo) mKelo->AutoFit();
        ScopedLock lock(mLock);
        SyncLocked();
        FeedLocked();
    }
    MarkDirty();
}

void AmpDisplay::SetLength(int length, bool push) {
    int rate;
    {
        MaybeLock plugin(PluginLock());
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
        MaybeLock plugin(PluginLock());
        ScopedLock lock(mLock);
        SetScaleLocked(scale);
    }
    MarkDirty();
}

void AmpDisplay::SetSampleRateAndTempo(int sampleRate, double tempo) {
    if (sampleRate < 1) return;
    {
        MaybeLock plugin(PluginLock());
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
        MaybeLock plugin(PluginLock());
        ScopedLock lock(mLock);
        DragPointLocked(index, Bounded(dx), Bounded(dy));
    }
    MarkDirty();
}

void AmpDisplay::AddDetection(const double* levels, const double* outputs, int start, int count) {
    if (!levels || !outputs || count <= 0) return;
    {
        MaybeLock plugin(PluginLock());
        ScopedLock lock(mLock);
        SyncLocked();
        // The levels stand for the effect's current event.
        if (mKelo) mReadEvent = mKelo->EventCount();
        const int size = int(mLevelSamples.size());
        for (int i = 0; i < count; ++i) {
            const int64_t p = int64_t(start) + i;
            if (p < 0 || p >= size) continue;
            mLevelSamples[size_t(p)] = levels[i];
            mOutSamples[size_t(p)] = outputs[i];
        }
        BinLocked(start, count, start < mLastEnd);
    }
    MarkDirty();
}

// --- under the display's lock

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

void AmpDisplay::FeedLocked() {
    if (!mKelo) return;
    uint64_t event = mReadEvent;
    int start = mReadEnd;
    const int count = mKelo->ReadDetection(mLevelSamples.data(), mOutSamples.data(),
                                           int(mLevelSamples.size()), event, start);
    const bool newEvent = event != mReadEvent;
    mReadEvent = event;
    mReadEnd = start + count;
    BinLocked(start, count, newEvent);
}

int64_t AmpDisplay::ColumnStart(int k) const {
    return int64_t(k) * mModel.Length() / kColumns;
}

void AmpDisplay::BinLocked(int start, int count, bool newEvent) {
    if (count <= 0 && !newEvent) return;
    if (count < 0) count = 0;
    const int64_t end = int64_t(start) + count;
    const int64_t length = mModel.Length();
    // Only positions the buffers hold are binned.
    const int64_t from = start > 0 ? start : 0;
    const int64_t size = int64_t(mLevelSamples.size());
    const int64_t to = end < size ? end : size;
    int first = kColumns, last = -1;
    if (from < to) {
        // Column k covers positions trunc(k * length / W) .. trunc((k + 1) * length / W) - 1;
        // the column of p is the last whose first position is not after p.
        first = int(((from + 1) * kColumns - 1) / length);
        last = int((to * kColumns - 1) / length);
        if (last > kColumns - 1) last = kColumns - 1;
        for (int k = first; k <= last; ++k) {
            const int64_t colStart = ColumnStart(k);
            const int64_t a = colStart > from ? colStart : from;
            const int64_t colEnd = ColumnStart(k + 1);
            const int64_t b = colEnd < to ? colEnd : to;
            if (a >= b) continue;
            Column& c = mColumns[size_t(k)];
            if (newEvent || colStart >= from) {
                c.outMin = c.outMax = mOutSamples[size_t(a)];
            }
            // A column that continues keeps its extremes; either way its
            // detector level is the first of the new levels.
            c.level = mLevelSamples[size_t(a)];
            for (int64_t p = a; p < b; ++p) {
                const double v = mOutSamples[size_t(p)];
                if (v < c.outMin) c.outMin = v;
                if (v > c.outMax) c.outMax = v;
            }
            PlaceColumnLocked(k);
        }
    }
    // A new event leaves nothing of the previous one.
    if (newEvent)
        for (int k = 0; k < kColumns; ++k)
            if (k < first || k > last) ClearColumnLocked(k);
    mLastEnd = end > kMaxLength ? kMaxLength : int(end);
}

void AmpDisplay::ClearColumnLocked(int k) {
    mColumns[size_t(k)] = Column();
}

void AmpDisplay::PlaceColumnLocked(int k) {
    Column& c = mColumns[size_t(k)];
    c.yMin = mModel.LevelToY(c.outMin);
    c.yMax = mModel.LevelToY(c.outMax);
    c.yLevel = mModel.LevelToY(c.level);
    c.yMirror = 2 * kCentreY - c.yLevel;
}

void AmpDisplay::RebinLocked() {
    // The stored levels again, from position 0, at the current time scale.
    const int size = int(mLevelSamples.size());
    const int lastEnd = mLastEnd;
    for (int k = 0; k < kColumns; ++k)
        ClearColumnLocked(k);
    mLastEnd = 0;
    BinLocked(0, lastEnd < size ? lastEnd : size, false);
    mLastEnd = lastEnd;
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

int AmpDisplay::ColumnOfPointLocked(int i) const {
    // P6 sits at the plot's right edge, one past the last column.
    const int k = mModel.PointAt(i).x - kPlotLeft;
    return k < 0 ? 0 : k > kColumns - 1 ? kColumns - 1 : k;
}

double AmpDisplay::ColumnLevelLocked(int k) const {
    return mColumns[size_t(k)].level;
}

void AmpDisplay::ClearPointFlagsLocked() {
    for (int i = 0; i < M::kPoints; ++i)
        mHovered[i] = mDragged[i] = false;
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

// --- read-only copies

ShapeModel::Point AmpDisplay::PointAt(int i) {
    MaybeLock plugin(PluginLock());
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
    MaybeLock plugin(PluginLock());
    ScopedLock lock(mLock);
    SyncLocked();
    return k >= 0 && k < kColumns ? mColumns[size_t(k)] : Column();
}

// Fresh from the effect: the plug-in's lock first, the display's second.
#define KELO_AMP_GETTER(type, name, expr)                                                          \
    type AmpDisplay::name() {                                                                      \
        MaybeLock plugin(PluginLock());                                                            \
        ScopedLock lock(mLock);                                                                    \
        SyncLocked();                                                                              \
        return expr;                                                                               \
    }
KELO_AMP_GETTER(int, Length, mModel.Length())
KELO_AMP_GETTER(int, MinLength, mModel.MinLength())
KELO_AMP_GETTER(int, MaxLength, mModel.MaxLength())
KELO_AMP_GETTER(int, SampleRate, mModel.SampleRate())
KELO_AMP_GETTER(double, Tempo, mModel.Tempo())
KELO_AMP_GETTER(double, Scale, mModel.Scale())
KELO_AMP_GETTER(double, AmpPerPixel, mModel.AmpPerPixel())
KELO_AMP_GETTER(double, Strength, mModel.Strength())
KELO_AMP_GETTER(bool, ShowsInput, mShowInput)
KELO_AMP_GETTER(int, LastEnd, mLastEnd)
KELO_AMP_GETTER(int, HoverZone, mHoverZone)
KELO_AMP_GETTER(int, DragZone, mDragZone)
KELO_AMP_GETTER(int, BufferSamples, int(mLevelSamples.size()))
#undef KELO_AMP_GETTER

Color AmpDisplay::ShapeColor(double strength) {
    const int s = TruncClamp(strength * 256.0, 0, 256);
    return Color(255, kHalfAzure.mR + (kAzure.mR - kHalfAzure.mR) * s / 256,
                 kHalfAzure.mG + (kAzure.mG - kHalfAzure.mG) * s / 256,
                 kHalfAzure.mB + (kAzure.mB - kHalfAzure.mB) * s / 256);
}

int AmpDisplay::SliderLeft(int length, int minLength, int maxLength) {
    if (maxLength <= minLength) return kPlotLeft;
    const double f = double(length - minLength) / double(maxLength - minLength);
    return kPlotLeft + TruncClamp(f * (kColumns - 40), -kColumns, 2 * kColumns);
}

// --- mouse

void AmpDisplay::OnMouseOver(int x, int y, const MouseKeys&) {
    {
        ScopedLock lock(mLock);
        int best = -1;
        int64_t bestDistance = 0;
        if (x > kPlotLeft - 6 && x < kPlotRight + 6) {
            // P2 wins ties, then P3, P4, P6: a later point must be strictly nearer.
            for (int i : {2, 3, 4, 6}) {
                const M::Point& p = mModel.PointAt(i);
                const int64_t dx = int64_t(x) - p.x;
                const int64_t dy = int64_t(y) - p.y, dm = int64_t(y) - p.mirrorY;
                if (dx < -6 || dx > 6) continue;
                const bool hitsPoint = dy >= -6 && dy <= 6, hitsMirror = dm >= -6 && dm <= 6;
                if (!hitsPoint && !hitsMirror) continue;
                const int64_t d = dx * dx + (dy * dy < dm * dm ? dy * dy : dm * dm);
                if (best < 0 || d < bestDistance) {
                    best = i;
                    bestDistance = d;
                }
            }
        }
        for (int i = 0; i < M::kPoints; ++i)
            mHovered[i] = i == best;
        const bool upper = y < kCentreY;
        if (best >= 0)
            mHoverZone = upper ? kZonePointUpper : kZonePointLower;
        else if (x >= kPlotLeft && x < kPlotRight + 5 && y >= kPlotTop - 20 && y < kPlotTop + 5)
            mHoverZone = kZoneSlider;
        else if (x >= kPlotLeft - 30 && x < kPlotLeft && y >= kPlotTop && y < kPlotBottom)
            mHoverZone = upper ? kZoneScaleUpper : kZoneScaleLower;
        else
            mHoverZone = kZoneNone;
    }
    MarkDirty();
}

void AmpDisplay::OnMouseDown(int, int, const MouseKeys&) {
    {
        ScopedLock lock(mLock);
        mDragZone = mHoverZone;
        mHoverZone = kZoneNone;
        for (int i = 0; i < M::kPoints; ++i) {
            mDragged[i] = mHovered[i];
            mHovered[i] = false;
        }
    }
    MarkDirty();
}

void AmpDisplay::OnMouseUp(int, int) {
    OnMouseOut();
}

void AmpDisplay::OnMouseOut() {
    {
        ScopedLock lock(mLock);
        mHoverZone = mDragZone = kZoneNone;
        ClearPointFlagsLocked();
    }
    MarkDirty();
}

void AmpDisplay::OnMouseDrag(int x, int, int dX, int dY, const MouseKeys&) {
    dX = Bounded(dX);
    dY = Bounded(dY);
    int pushed = -1, rate = 0;
    bool shaped = false;
    {
        MaybeLock plugin(PluginLock());
        {
            ScopedLock lock(mLock);
            SyncLocked();
            rate = mModel.SampleRate();
            const int zone = mDragZone;
            if (zone == kZoneSlider) {
                const int lo = mModel.MinLength(), hi = mModel.MaxLength();
                const double f = (double(x) - kPlotLeft) / kColumns * double(hi - lo);
                const int length = TruncClamp(lo + std::trunc(f), lo, hi > lo ? hi : lo);
                SetLengthLocked(length);
                pushed = mModel.Length();
            } else if (zone == kZonePointUpper || zone == kZonePointLower) {
                for (int i = 0; i < M::kPoints; ++i)
                    if (mDragged[i]) {
                        DragPointLocked(i, dX, zone == kZonePointLower ? -dY : dY);
                        shaped = true;
                    }
            } else if (zone == kZoneScaleUpper || zone == kZoneScaleLower) {
                const int d = zone == kZoneScaleLower ? -dY : dY;
                SetScaleLocked(mModel.Scale() + d * mModel.AmpPerPixel());
                shaped = true;
            }
        }
    }
    // The host hears of it with no lock of ours held: the slider's length as
    // "env time", a shape or scale change as saved state (once per gesture).
    if (pushed >= 0) PushLength(pushed, rate);
    if (shaped && mEffect) mEffect->StateChanged();
    MarkDirty();
}

void AmpDisplay::OnMouseWheel(int, int, const MouseKeys&, int steps) {
    int pushed = -1, rate = 0;
    bool shaped = false;
    {
        MaybeLock plugin(PluginLock());
        {
            ScopedLock lock(mLock);
            SyncLocked();
            rate = mModel.SampleRate();
            const int zone = mHoverZone;
            const int d =
                Bounded(zone == kZoneScaleLower || zone == kZonePointLower ? -steps : steps);
            if (zone == kZoneSlider) {
                const int lo = mModel.MinLength(), hi = mModel.MaxLength();
                const int length = mModel.Length();
                const double step = std::trunc(2.0 * d * length / kColumns);
                SetLengthLocked(TruncClamp(length + step, lo, hi > lo ? hi : lo));
                pushed = mModel.Length();
            } else if (zone == kZonePointUpper || zone == kZonePointLower) {
                for (int i = 0; i < M::kPoints; ++i)
                    if (mHovered[i]) {
                        DragPointLocked(i, 0, -2 * d);
                        shaped = true;
                    }
            } else if (zone == kZoneScaleUpper || zone == kZoneScaleLower) {
                SetScaleLocked(mModel.Scale() + 2.0 * d * mModel.AmpPerPixel());
                shaped = true;
            }
        }
    }
    // The host hears of it with no lock of ours held: the slider's length as
    // "env time", a shape or scale change as saved state (once per gesture).
    if (pushed >= 0) PushLength(pushed, rate);
    if (shaped && mEffect) mEffect->StateChanged();
    MarkDirty();
}

void AmpDisplay::OnMouseDblClick(int, int, const MouseKeys&) {
    int pushed = -1, rate = 0;
    bool shaped = false;
    {
        MaybeLock plugin(PluginLock());
        {
            ScopedLock lock(mLock);
            SyncLocked();
            rate = mModel.SampleRate();
            const int zone = mHoverZone;
            if (zone == kZoneSlider) {
                SetLengthLocked(TruncClamp(0.2 * mModel.SampleRate(), 1, kMaxLength));
                pushed = mModel.Length();
            } else if (zone == kZoneScaleUpper || zone == kZoneScaleLower) {
                SetScaleLocked(1.0);
                shaped = true;
            } else if (zone == kZonePointUpper || zone == kZonePointLower) {
                for (int i = 0; i < M::kPoints; ++i) {
                    if (!mHovered[i]) continue;
                    const double level = ColumnLevelLocked(ColumnOfPointLocked(i));
                    if (level != 0.0 || i == 6) SetPointLevelLocked(i, level);
                }
                shaped = true;
            }
        }
    }
    // The host hears of it with no lock of ours held: the slider's length as
    // "env time", a shape or scale change as saved state (once per gesture).
    if (pushed >= 0) PushLength(pushed, rate);
    if (shaped && mEffect) mEffect->StateChanged();
    MarkDirty();
}

// --- drawing

void AmpDisplay::TakePicture() {
    // The buffers take the length of the current rate's slider; the memory is
    // had before either lock is taken.
    int want, have;
    {
        MaybeLock plugin(PluginLock());
        ScopedLock lock(mLock);
        SyncLocked();
        want = mModel.MaxLength();
        have = int(mLevelSamples.size());
    }
    if (want > kMaxBufferSamples) want = kMaxBufferSamples;
    if (want < 1) want = 1;
    if (want != have) {
        std::vector<double> levels(size_t(want), 0.0), outputs(size_t(want), 0.0);
        MaybeLock plugin(PluginLock());
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
        MaybeLock plugin(PluginLock());
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

bool AmpDisplay::Draw(Editor* editor) {
    if (!editor) return false;
    // The picture ChangedArea took is what this pass shows.
    if (!mPictureTaken || !editor->InPass()) TakePicture();
    Picture& pic = mPicture;

    if (pic.length != mAxisLength || pic.sampleRate != mAxisRate) {
        mTimeAxis.BuildTimeTicks(0.0, double(pic.length), double(pic.sampleRate), true);
        mAxisLength = pic.length;
        mAxisRate = pic.sampleRate;
    }
    if (pic.scale != mAxisScale) {
        mLevelAxis.BuildAmpTicks(0.0, pic.scale, false);
        mAxisScale = pic.scale;
    }
    const double beats = double(pic.length) / pic.sampleRate * pic.tempo / 60.0;
    std::snprintf(mBeatsText, sizeof mBeatsText, "%.2f beats", std::isfinite(beats) ? beats : 0.0);

    const Rect plot(kPlotLeft, kPlotTop, kPlotRight, kPlotBottom);
    bool ok = true;
    // 2. The plot's outline, left of the first column as in the detect panel,
    // so that no column covers it.
    ok = editor->DrawHorizontalLine(kBlack, kPlotTop, kPlotLeft - 1, kPlotRight) && ok;
    ok = editor->DrawHorizontalLine(kBlack, kPlotBottom, kPlotLeft - 1, kPlotRight) && ok;
    ok = editor->DrawVerticalLine(kBlack, kPlotLeft - 1, kPlotTop, kPlotBottom) && ok;
    ok = editor->DrawVerticalLine(kBlack, kPlotRight, kPlotTop, kPlotBottom) && ok;
    // 3. Time axis above, mirrored level axis on the left.
    ok = mTimeAxis.DrawTimeScale(editor, mTextStyle, plot, kGrid, true) && ok;
    ok = mLevelAxis.DrawCentredScale(editor, mTextStyle, plot, kGrid, true) && ok;
    // 4. The length in beats.
    TextStyle right = mTextStyle;
    right.mAlign = TextStyle::AlignRight;
    ok = editor->DrawString(right, mBeatsText,
                            Rect(kPlotRight - 29, kPlotTop + 3, kPlotRight - 2, kPlotTop + 8)) &&
         ok;
    // 5. - 10.
    ok = DrawSlider(editor, pic) && ok;
    ok = DrawColumns(editor, pic) && ok;
    if (pic.showInput) {
        const Blend copy(BlendCopy, 1.0f);
        // Only the lines that reach the columns the pass can change.
        const Rect area = editor->PassArea();
        const int from = area.L > kPlotLeft + 1 ? area.L - kPlotLeft - 1 : 0;
        const int to = area.R < kPlotRight ? area.R - kPlotLeft : kColumns;
        for (int k = from; k < to && k + 1 < kColumns; ++k) {
            const Column &a = pic.columns[size_t(k)], &b = pic.columns[size_t(k + 1)];
            const float x = float(kPlotLeft + k);
            ok =
                editor->DrawLine(kWhite, x, float(a.yLevel), x + 1, float(b.yLevel), &copy, true) &&
                ok;
            ok = editor->DrawLine(kWhite, x, float(a.yMirror), x + 1, float(b.yMirror), &copy,
                                  true) &&
                 ok;
        }
    }
    ok = DrawShape(editor, pic) && ok;
    ok = DrawMarkers(editor, pic) && ok;
    RecordShown(editor->PassArea());
    return ok;
}

bool AmpDisplay::DrawSlider(Editor* editor, const Picture& pic) {
    const int left = SliderLeft(pic.length, pic.minLength, pic.maxLength);
    const int right = left + 40;
    const bool lit = pic.hoverZone == kZoneSlider || pic.dragZone == kZoneSlider;
    const Color color = lit ? kAzure : kHalfAzure;
    const int y = kPlotTop - 1;
    bool ok =
        editor->DrawLine(color, float(left), float(y), float(right), float(y), nullptr, false);
    // An arrowhead 8 pixels wide and 5 high pointing away from the thumb (dir
    // -1 left, +1 right) from the base at x: rows filled toward the tip, the
    // middle line and the two slanted edges antialiased.
    auto arrow = [&](int x, int dir) {
        const int tip = x + 8 * dir;
        for (int dy = -2; dy <= 2; ++dy) {
            const int reach = 8 - 4 * (dy < 0 ? -dy : dy);
            ok = editor->DrawLine(color, float(x), float(y + dy), float(x + reach * dir),
                                  float(y + dy), nullptr, false) &&
                 ok;
        }
        ok =
            editor->DrawLine(color, float(x), float(y), float(tip), float(y), nullptr, false) && ok;
        ok = editor->DrawLine(color, float(tip), float(y), float(x), float(y - 2), nullptr, true) &&
             ok;
        ok = editor->DrawLine(color, float(tip), float(y), float(x), float(y + 2), nullptr, true) &&
             ok;
    };
    if (left < kPlotLeft + 4)
        ok = editor->DrawLine(color, float(left), float(kPlotTop - 3), float(left),
                              float(kPlotTop + 1), nullptr, false) &&
             ok;
    else
        arrow(left, -1);
    if (right > kPlotRight - 5)
        ok = editor->DrawLine(color, float(right), float(kPlotTop - 3), float(right),
                              float(kPlotTop + 1), nullptr, false) &&
             ok;
    else
        arrow(right, 1);
    return ok;
}

bool AmpDisplay::DrawColumns(Editor* editor, const Picture& pic) {
    bool ok = true;
    const std::vector<Column>& cols = pic.columns;
    // Only the columns the pass can change.
    const Rect area = editor->PassArea();
    const int from = area.L > kPlotLeft ? area.L - kPlotLeft : 0;
    const int to = area.R < kPlotRight ? area.R - kPlotLeft : kColumns;
    for (int k = from; k < to; ++k) {
        const Column& c = cols[size_t(k)];
        const int x = kPlotLeft + k;
        const int mid = (c.yMin + c.yMax) / 2;
        // Upper half from the middle up to the maximum's row, lower half from
        // the middle down to the minimum's row, each a gradient from its base.
        const int up = mid - c.yMax, down = c.yMin - mid;
        ok = editor->WriteColumn(x, mid - 1, -1, mGradient.Run(up), up) && ok;
        ok = editor->WriteColumn(x, mid + 1, 1, mGradient.Run(down), down) && ok;
        // Fading outlines toward a higher neighbour top, a lower neighbour bottom.
        int top = c.yMax, bottom = c.yMin;
        for (int n : {k - 1, k + 1}) {
            if (n < 0 || n >= kColumns) continue;
            if (cols[size_t(n)].yMax < top) top = cols[size_t(n)].yMax;
            if (cols[size_t(n)].yMin > bottom) bottom = cols[size_t(n)].yMin;
        }
        if (top < c.yMax) {
            const int m = c.yMax - top;
            ok = editor->WriteColumn(x, c.yMax, -1, mFade.Run(m + 1), m + 1) && ok;
        }
        if (bottom > c.yMin) {
            const int m = bottom - c.yMin;
            ok = editor->WriteColumn(x, c.yMin, 1, mFade.Run(m + 1), m + 1) && ok;
        }
    }
    return ok;
}

bool AmpDisplay::DrawShape(Editor* editor, const Picture& pic) {
    bool ok = true;
    const Color color = ShapeColor(pic.strength);
    const float mirror = 2.0f * kCentreY;
    for (int s = 0; s < 3; ++s) {
        const M::Point &q0 = pic.points[2 * s], &q1 = pic.points[2 * s + 1],
                       &q2 = pic.points[2 * s + 2];
        float px = float(q0.x), py = float(q0.y);
        for (int i = 1; i <= 20; ++i) {
            const float t = float(i) / 20.0f, u = 1.0f - t;
            const float x = u * u * q0.x + 2.0f * t * u * q1.x + t * t * q2.x;
            const float y = u * u * q0.y + 2.0f * t * u * q1.y + t * t * q2.y;
            ok = editor->DrawLine(color, px, py, x, y, nullptr, true) && ok;
            ok = editor->DrawLine(color, px, mirror - py, x, mirror - y, nullptr, true) && ok;
            px = x;
            py = y;
        }
    }
    // The control lines through P3.
    for (int i : {2, 4}) {
        const M::Point &a = pic.points[i], &b = pic.points[3];
        ok = editor->DrawLine(kLightGrey, float(a.x), float(a.y), float(b.x), float(b.y), nullptr,
                              true) &&
             ok;
        ok = editor->DrawLine(kLightGrey, float(a.x), float(a.mirrorY), float(b.x),
                              float(b.mirrorY), nullptr, true) &&
             ok;
    }
    return ok;
}

bool AmpDisplay::DrawMarkers(Editor* editor, const Picture& pic) {
    bool ok = true;
    const Blend copy(BlendCopy, 1.0f);
    for (int i : {2, 3, 4, 6}) {
        const M::Point& p = pic.points[i];
        const Color square = pic.hovered[i] || pic.dragged[i] ? kRed : kBlack;
        for (int y : {p.y, p.mirrorY}) {
            ok = editor->DrawCircle(kWhite, float(p.x), float(y), 2.0f, &copy, true) && ok;
            ok = editor->FillColorRect(square, Rect(p.x - 1, y - 1, p.x + 2, y + 2), &copy) && ok;
        }
    }
    return ok;
}
