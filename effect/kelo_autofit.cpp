// Autofit, the glue between the effect and the fit (effect/shape_fit.h): what
// the fit needs is copied out under the plug-in's lock a slice at a time, the
// fit runs with no lock of ours held, and its result is applied under the
// lock. A request from the audio thread ("autofit" switched on in the
// processing's parameter road) waits for a thread that may fit
// (EffectBase::ServeDeferredWork).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "effect/kelo.h"
#include "effect/shape_fit.h"

namespace {

// Positions of the event copied per hold of the lock (two arrays of doubles:
// 16 KB, about a microsecond; the audio thread may be waiting).
const int kFitSlice = 1024;
// A new event while the copy was being made starts it again, this many times.
const int kFitAttempts = 4;

} // namespace

bool KeloEffect::AutoFit() {
    // Under the lock the fit would hold it for milliseconds: asked for instead.
    if (mLock.HeldByThisThread()) {
        mFitAsked = true;
        AskForDeferredWork();
        return false;
    }
    bool fitted;
    {
        std::lock_guard<std::mutex> fitting(mFitLock);
        fitted = FitLocked();
    }
    // The fitted shape is saved state the host hears of: at the end of the
    // user's gesture, or now.
    if (fitted) StateChanged();
    return fitted;
}

void KeloEffect::DoDeferredWork() {
    // One thread fits; another that finds it fitting leaves the request to it,
    // which looks again after letting go.
    while (mFitAsked.load()) {
        bool fitted = false;
        {
            std::unique_lock<std::mutex> fitting(mFitLock, std::try_to_lock);
            if (!fitting.owns_lock()) return;
            while (mFitAsked.exchange(false))
                fitted = FitLocked() || fitted;
        }
        if (fitted) StateChanged();
    }
}

bool KeloEffect::CopyEventForFit(int& count, int& window) {
    for (int attempt = 0; attempt < kFitAttempts; ++attempt) {
        uint64_t event;
        {
            ScopedLock lock(mLock);
            mFitModel = mModel;
            window = mHit.Window();
            event = mEvent.Count();
            // The fit reads no further than the envelope's length.
            const int recorded = mEvent.Recorded();
            count = recorded < mModel.Length() ? recorded : mModel.Length();
        }
        mFitModel.SetSink(nullptr);
        if (count <= 0) return false;
        // Sized with no lock held (this thread is never the audio thread).
        mFitLevel.resize(size_t(count));
        mFitPeak.resize(size_t(count));
        // Positions below the recorded count are final until the event
        // changes: each slice is the event's as long as its counter stays.
        bool whole = true;
        for (int at = 0; at < count && whole; at += kFitSlice) {
            const int n = count - at < kFitSlice ? count - at : kFitSlice;
            ScopedLock lock(mLock);
            whole = mEvent.Count() == event;
            if (!whole) break;
            const size_t bytes = size_t(n) * sizeof(double);
            std::memcpy(mFitLevel.data() + at, mEvent.Levels() + at, bytes);
            std::memcpy(mFitPeak.data() + at, mEvent.Peaks() + at, bytes);
        }
        if (whole) return true;
    }
    return false;
}

bool KeloEffect::FitLocked() {
    int count = 0, window = 0;
    if (!CopyEventForFit(count, window)) return false;
    ShapeFit fit;
    const EventLevels event{mFitLevel.data(), mFitPeak.data(), count};
    if (!ComputeShapeFit(mFitModel, event, fit)) return false;
    // Put on a copy outside the lock; the copy takes the model's place when
    // the model is as it was copied. One the user changed meanwhile takes
    // the fitted times and levels on what else changed (its length, scale,
    // threshold).
    ShapeModel fitted = mFitModel;
    ApplyShapeFit(fitted, fit);
    // The shape is now for this hit: its level is the reference, the highest
    // divisor over the window as a hit's level is followed (the level, or the
    // louder sample where it is higher).
    double level = 0.0;
    for (int i = 0; i < count && i <= window; ++i)
        level = std::max(level, std::max(mFitLevel[size_t(i)], mFitPeak[size_t(i)]));
    {
        ScopedLock lock(mLock);
        if (level > 0.0 && std::isfinite(level)) mReference = level;
        if (mModel.SameShapeAs(mFitModel)) {
            fitted.SetSink(this);
            mModel = fitted;
        } else {
            ApplyShapeFit(mModel, fit);
        }
        mModel.HandShape();
    }
    MarkDirty(mAmpView);
    return true;
}
