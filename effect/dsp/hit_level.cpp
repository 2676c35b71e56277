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
    mRoom = mSize = 0;
    // The window before a piece's first frame, and the piece.
    const int size = mWindow + 1 + frames;
    const bool ok = frames > 0 && mRing.Resize(size * int32_t(sizeof(double)), false);
    if (ok) {
        mRoom = frames;
        mSize = size;
    }
    Clear();
    return ok || frames <= 0;
}

void HitLevel::Clear() {
    mLevel = 0.0;
    ForgetAhead();
}

void HitLevel::ForgetAhead() {
    mFrame = mPiece = 0;
    mWrite = 0;
}

void HitLevel::Look(const double* h, const double* l, const double* r, const double* m,
                    int frames) {
    if (!mRoom || !h || !l || !r || !m || frames <= 0) return;
    if (frames > mRoom) frames = mRoom;
    double* ring = reinterpret_cast<double*>(mRing.Bytes());
    mPiece = mFrame;
    for (int i = 0; i < frames; ++i) {
        ring[mWrite] = Divisor(h[i], l[i], r[i], m[i]);
        mWrite = mWrite + 1 == mSize ? 0 : mWrite + 1;
    }
    mFrame += frames;
}

double HitLevel::AheadAt(int i) const {
    const int64_t frame = mPiece + i;
    if (!mRoom || i < 0 || frame >= mFrame) return 0.0;
    const double* ring = reinterpret_cast<const double*>(mRing.Bytes());
    const int64_t first = frame - mWindow > 0 ? frame - mWindow : 0;
    double highest = 0.0;
    // The slot of the stream's frame f is mWrite - (mFrame - f), wrapped.
    int slot = int(int64_t(mWrite) - (mFrame - first) % mSize);
    if (slot < 0) slot += mSize;
    for (int64_t f = first; f <= frame; ++f) {
        if (ring[slot] > highest) highest = ring[slot];
        slot = slot + 1 == mSize ? 0 : slot + 1;
    }
    return highest;
}

void HitLevel::Follow(int envPos, const double* h, const double* l, const double* r,
                      const double* m, bool ahead, int from, int to) {
    for (int i = from; i < to; ++i) {
        const int n = envPos + (i - from);
        if (n > mWindow) break; // positions only grow: the level is held
        if (n == 0) mLevel = ahead ? AheadAt(i) : 0.0;
        const double v = Divisor(h[i], l[i], r[i], m[i]);
        if (v > mLevel) mLevel = v;
    }
}

void HitLevel::Scales(int envPos, const double* h, const double* l, const double* r,
                      const double* m, bool ahead, double reference, double* scale, int from,
                      int to) {
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
