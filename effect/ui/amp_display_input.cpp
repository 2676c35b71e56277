// The mouse on the display: the pointer's zone (a point's image, the length
// slider, the level scale), and each gesture in a zone mapped to an edit
// through the effect, after which the host hears what changed.
#include "effect/ui/amp_display.h"

#include <cmath>

#include "plug/effect_base.h"

void AmpDisplay::ClearPointFlagsLocked() {
    for (int i = 0; i < M::kPoints; ++i)
        mHovered[i] = mDragged[i] = false;
}

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

// The one skeleton of every edit a gesture makes. Under the display's lock: a
// fresh copy of the effect's model, then the edit of the zone the gesture is
// in (zoneOf: the dragged or the hovered one), through the effect. The slider
// takes the length slider() gives; points(sign) moves the points and says
// whether it moved any; the scale takes scale(sign). sign is -1 in the lower
// half, where every image is mirrored, else +1. Then, with no lock of ours
// held, the host hears of it: the slider's length as "env time", a shape or
// scale change as saved state (once per gesture).
template <typename Slider, typename Points, typename ScaleTo>
void AmpDisplay::EditInZone(int AmpDisplay::*zoneOf, Slider slider, Points points, ScaleTo scale) {
    int pushed = -1, rate = 0;
    bool shaped = false;
    {
        ScopedLock lock(mLock);
        SyncLocked();
        rate = mModel.SampleRate();
        const int zone = this->*zoneOf;
        if (zone == kZoneSlider) {
            SetLengthLocked(slider());
            pushed = mModel.Length();
        } else if (zone == kZonePointUpper || zone == kZonePointLower) {
            shaped = points(zone == kZonePointLower ? -1 : 1);
        } else if (zone == kZoneScaleUpper || zone == kZoneScaleLower) {
            SetScaleLocked(scale(zone == kZoneScaleLower ? -1 : 1));
            shaped = true;
        }
    }
    if (pushed >= 0) PushLength(pushed, rate);
    if (shaped && mEffect) mEffect->StateChanged();
    MarkDirty();
}

void AmpDisplay::OnMouseDrag(int x, int, int dX, int dY, const MouseKeys&) {
    dX = Bounded(dX);
    dY = Bounded(dY);
    EditInZone(
        &AmpDisplay::mDragZone,
        [&] {
            // The length at the pointer's place along the slider.
            const int lo = mModel.MinLength(), hi = mModel.MaxLength();
            const double f = (double(x) - kPlotLeft) / kColumns * double(hi - lo);
            return TruncClamp(lo + std::trunc(f), lo, hi > lo ? hi : lo);
        },
        [&](int sign) {
            bool moved = false;
            for (int i = 0; i < M::kPoints; ++i)
                if (mDragged[i]) {
                    DragPointLocked(i, dX, sign * dY);
                    moved = true;
                }
            return moved;
        },
        [&](int sign) { return mModel.Scale() + sign * dY * mModel.AmpPerPixel(); });
}

void AmpDisplay::OnMouseWheel(int, int, const MouseKeys&, int steps) {
    // A step moves two pixels, up in the upper half.
    steps = Bounded(steps);
    EditInZone(
        &AmpDisplay::mHoverZone,
        [&] {
            const int lo = mModel.MinLength(), hi = mModel.MaxLength();
            const int length = mModel.Length();
            const double step = std::trunc(2.0 * steps * length / kColumns);
            return TruncClamp(length + step, lo, hi > lo ? hi : lo);
        },
        [&](int sign) {
            bool moved = false;
            for (int i = 0; i < M::kPoints; ++i)
                if (mHovered[i]) {
                    DragPointLocked(i, 0, -2 * sign * steps);
                    moved = true;
                }
            return moved;
        },
        [&](int sign) { return mModel.Scale() + 2.0 * sign * steps * mModel.AmpPerPixel(); });
}

void AmpDisplay::OnMouseDblClick(int, int, const MouseKeys&) {
    // Each zone's default: 0.2 s, the hovered point at the detector level
    // under it, 0 dB.
    EditInZone(
        &AmpDisplay::mHoverZone,
        [&] { return TruncClamp(0.2 * mModel.SampleRate(), 1, kMaxLength); },
        [&](int) {
            for (int i = 0; i < M::kPoints; ++i) {
                if (!mHovered[i]) continue;
                const double level = ColumnLevelLocked(ColumnOfPointLocked(i));
                if (level != 0.0 || i == 6) SetPointLevelLocked(i, level);
            }
            return true;
        },
        [](int) { return 1.0; });
}
