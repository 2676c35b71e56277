// The levels of the effect's current event binned into the plot's columns:
// read from the effect a slice at a time, stored in the sample buffers, and
// each column's extremes and detector level placed at the current scale.
#include "effect/ui/amp_display.h"

#include "effect/kelo.h"

void AmpDisplay::AddDetection(const double* levels, const double* outputs, int start, int count) {
    if (!levels || !outputs || count <= 0) return;
    {
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

void AmpDisplay::FeedLocked() {
    if (!mKelo) return;
    // The effect hands the event out a slice per call (a short hold of its
    // lock each); an event of a second at 1 MHz takes a few hundred.
    const int mostSlices = kMaxBufferSamples / KeloEffect::kReadSlice + 2;
    for (int slice = 0; slice < mostSlices; ++slice) {
        uint64_t event = mReadEvent;
        int start = mReadEnd;
        const int count = mKelo->ReadDetection(mLevelSamples.data(), mOutSamples.data(),
                                               int(mLevelSamples.size()), event, start);
        const bool newEvent = event != mReadEvent;
        mReadEvent = event;
        mReadEnd = start + count;
        BinLocked(start, count, newEvent);
        if (count < KeloEffect::kReadSlice) break;
    }
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

int AmpDisplay::ColumnOfPointLocked(int i) const {
    // P6 sits at the plot's right edge, one past the last column.
    const int k = mModel.PointAt(i).x - kPlotLeft;
    return k < 0 ? 0 : k > kColumns - 1 ? kColumns - 1 : k;
}

double AmpDisplay::ColumnLevelLocked(int k) const {
    return mColumns[size_t(k)].level;
}
