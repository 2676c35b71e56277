#include "effect/dsp/hit_level.h"

#include "effect/dsp/shaper.h"

namespace {

// The divisor the shaping takes: the level r, at least the louder shaped
// sample's magnitude and the magnitude level's share (as the event record
// keeps them: its level and its peak).
inline double Divisor(double h, double l, double r, double m) {
    const double share = kMagnitudeShare * m;
    const double left = h < 0.0 ? -h : h, right = l < 0.0 ? -l : l;
    const double louder = left > right ? left : right;
    const double floor = r > share ? r : share;
    return floor > louder ? floor : louder;
}

} // namespace

bool HitLevel::Prepare(int window, int frames) {
    mWindow = window > 0 ? window : 0;
    mRoom = 0;
    // One more slot than the window's frames: the frame itself and the window
    // before it are candidates at once.
    const int slots = mWindow + 2;
    const bool ok = frames > 0 && mFrames.Resize(slots * int32_t(sizeof(int64_t)), false) &&
                    mLevels.Resize(slots * int32_t(sizeof(double)), false) &&
                    mAhead.Resize(frames * int32_t(sizeof(double)), false);
    if (ok) mRoom = frames;
    Clear();
    return ok || frames <= 0;
}

void HitLevel::Clear() {
    mLevel = 0.0;
    ForgetAhead();
}

void HitLevel::ForgetAhead() {
    mHead = mCount = 0;
    mFrame = 0;
}

void HitLevel::Look(const double* h, const double* l, const double* r, const double* m,
                    int frames) {
    if (!mRoom || !h || !l || !r || !m || frames <= 0) return;
    if (frames > mRoom) frames = mRoom;
    int64_t* at = reinterpret_cast<int64_t*>(mFrames.Bytes());
    double* level = Data(mLevels);
    double* ahead = Data(mAhead);
    const int slots = mWindow + 2;
    for (int i = 0; i < frames; ++i, ++mFrame) {
        const double v = Divisor(h[i], l[i], r[i], m[i]);
        // Candidates no louder than the newest can never be the highest again.
        while (mCount > 0 && level[(mHead + mCount - 1) % slots] <= v)
            --mCount;
        const int slot = (mHead + mCount) % slots;
        at[slot] = mFrame;
        level[slot] = v;
        ++mCount;
        // The oldest leaves once it is older than the window.
        while (at[mHead] < mFrame - mWindow) {
            mHead = (mHead + 1) % slots;
            --mCount;
        }
        ahead[i] = level[mHead];
    }
}

void HitLevel::Follow(int envPos, const double* h, const double* l, const double* r,
                      const double* m, const double* ahead, int from, int to) {
    for (int i = from; i < to; ++i) {
        const int n = envPos + (i - from);
        if (n > mWindow) break; // positions only grow: the level is held
        if (n == 0) mLevel = ahead ? ahead[i] : 0.0;
        const double v = Divisor(h[i], l[i], r[i], m[i]);
        if (v > mLevel) mLevel = v;
    }
}

void HitLevel::Scales(int envPos, const double* h, const double* l, const double* r,
                      const double* m, const double* ahead, double reference, double* scale,
                      int from, int to) {
    // Within the window the level may still grow frame by frame; past it, it
    // is held and the scale is one value.
    int i = from;
    for (; i < to && envPos + (i - from) <= mWindow; ++i) {
        Follow(envPos + (i - from), h, l, r, m, ahead, i, i + 1);
        scale[i] = mLevel / reference;
    }
    const double held = mLevel / reference;
    for (; i < to; ++i)
        scale[i] = held;
}
