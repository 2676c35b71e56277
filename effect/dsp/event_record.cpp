#include "effect/dsp/event_record.h"

#include <cmath>
#include <initializer_list>

#include "effect/dsp/shaper.h"

bool EventRecord::Prepare(int capacity) {
    if (capacity < 0) capacity = 0;
    for (ByteBlock* block : {&mLevel, &mOut, &mPeak})
        if (capacity > 0 && !block->Resize(capacity * int32_t(sizeof(double)), true)) capacity = 0;
    mCapacity = capacity;
    mRecorded = 0;
    return capacity > 0;
}

void EventRecord::Start() {
    ++mCount;
    mRecorded = 0;
}

void EventRecord::RecordPeaks(const double* h, const double* l, int at, int count) {
    double* peaks = Data(mPeak);
    const int end = at + count < mCapacity ? at + count : mCapacity;
    for (int p = at < 0 ? 0 : at; p < end; ++p) {
        const double left = std::fabs(h[p - at]), right = std::fabs(l[p - at]);
        peaks[p] = left > right ? left : right;
    }
}

void EventRecord::Record(const double* r, const double* m, const double* out, int at, int count) {
    double* levels = Data(mLevel);
    double* outs = Data(mOut);
    const int end = at + count < mCapacity ? at + count : mCapacity;
    for (int p = at < 0 ? 0 : at; p < end; ++p) {
        const double share = kMagnitudeShare * m[p - at];
        levels[p] = r[p - at] > share ? r[p - at] : share;
        outs[p] = out[p - at];
    }
    if (end > mRecorded) mRecorded = end;
}
