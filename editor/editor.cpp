#include "editor/editor.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <utility>

#include "editor/control.h"
#include "plug/effect_base.h"
#include "plug/param.h"

namespace {

// Moves between two mouse positions as ints, whatever positions a window sends.
int Delta(int to, int from) {
    const int64_t d = int64_t(to) - int64_t(from);
    return int(std::clamp<int64_t>(d, INT32_MIN, INT32_MAX));
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

Editor::Editor(EffectBase* effect, int32_t width, int32_t height, int32_t fps)
    : mEffect(effect), mViewWidth(std::max(width, 0)), mViewHeight(std::max(height, 0)),
      mFps(fps > 0 ? fps : 24) {}

Editor::~Editor() {
    std::vector<std::unique_ptr<Control>> doomed;
    {
        ScopedLock hold(mListLock);
        doomed.swap(mControls);
    }
    // In drawing order, outside the lock.
    for (auto& control : doomed)
        control.reset();
}

int32_t Editor::AddControl(Control* control) {
    if (!control) return -1;
    std::unique_ptr<Control> owned(control); // deleted if the list cannot grow
    ScopedLock hold(mListLock);
    mControls.push_back(std::move(owned));
    return int32_t(mControls.size()) - 1;
}

void Editor::SetBackground(int resourceId, const char* fileName) {
    const BitmapRef bitmap = LoadEditorBitmap(resourceId, fileName, 1);
    std::unique_ptr<Control> background(new BitmapControl(mEffect, 0, 0, -1, bitmap, BlendCopy));
    {
        ScopedLock hold(mListLock);
        mControls.insert(mControls.begin(), std::move(background));
    }
    // The indices held for the mouse follow their controls up by one.
    if (mCapture >= 0) ++mCapture;
    if (mHover >= 0) ++mHover;
}

Control* Editor::ControlAtIndex(int32_t i) const {
    if (i < 0 || size_t(i) >= mControls.size()) return nullptr;
    return mControls[size_t(i)].get();
}

void Editor::ShowParamValue(int32_t index, double value, bool normalized) {
    const Param* param = mEffect ? mEffect->ParamAt(index) : nullptr;
    if (!param) return;
    if (!normalized) value = param->NormalizedOf(value);
    ScopedLock hold(mListLock);
    for (auto& control : mControls)
        if (control->ParamIdx() == index) control->ReceiveValue(value);
}

void Editor::UserParamValue(int32_t index, double normalized) {
    if (index < 0) return;
    // The editor thread is the only one that changes the list, and the
    // controls push to the plug-in here, so no editor lock is held.
    for (int32_t i = 0; i < ControlCount(); ++i) {
        Control* control = ControlAtIndex(i);
        if (control && control->ParamIdx() == index) control->CommitUserValue(normalized);
    }
}

void Editor::SetParamClamp(int32_t index, double low, double high, bool normalized) {
    const Param* param = mEffect ? mEffect->ParamAt(index) : nullptr;
    if (!param) return;
    if (!normalized) {
        low = param->NormalizedOf(low);
        high = param->NormalizedOf(high);
    }
    ScopedLock hold(mListLock);
    for (auto& control : mControls)
        if (control->ParamIdx() == index) control->SetLimits(low, high);
}

bool Editor::IsDirty(Rect& rect) {
    EndQuietWheel();
    bool dirty = false;
    for (auto& control : mControls) {
        if (!control->IsDirty()) continue;
        rect = rect.Union(control->GetRect());
        dirty = true;
    }
    return dirty;
}

bool Editor::DirtyRects(std::vector<Rect>& rects) {
    EndQuietWheel();
    rects.clear();
    bool scrolled = false;
    for (size_t i = 0; i < mControls.size(); ++i) {
        Control* control = mControls[i].get();
        if (!control->IsDirty()) continue;
        if (control->GetRect().IsEmpty()) continue;
        const Rect r = control->ChangedArea();
        if (r.IsEmpty()) {
            control->DrawPassDone();
            continue;
        }
        Rect moved;
        int dx = 0;
        if (control->PlanScroll(moved, dx, mScrollRedraw) && !CoveredAfter(i, moved) &&
            ScrollBack(moved, dx)) {
            control->Scrolled();
            scrolled = true;
            for (const Rect& area : mScrollRedraw)
                if (!area.IsEmpty()) AddDirtyRect(rects, area);
        } else {
            AddDirtyRect(rects, r);
        }
    }
    return scrolled || !rects.empty();
}

void Editor::AddDirtyRect(std::vector<Rect>& rects, Rect r) {
    // Whatever it meets joins it, until it meets nothing more.
    for (size_t i = 0; i < rects.size();) {
        const Rect& o = rects[i];
        if (r.L < o.R && o.L < r.R && r.T < o.B && o.T < r.B) {
            r = r.Union(o);
            rects.erase(rects.begin() + ptrdiff_t(i));
            i = 0;
        } else {
            ++i;
        }
    }
    rects.push_back(r);
}

bool Editor::CoveredAfter(size_t index, const Rect& area) const {
    // A control drawn over the area would move with it.
    for (size_t j = index + 1; j < mControls.size(); ++j) {
        const Control* c = mControls[j].get();
        if (!c->IsHidden() && !c->GetRect().IsEmpty() && c->GetRect().Intersects(area)) return true;
    }
    return false;
}

bool Editor::ScrollBack(const Rect&, int) {
    return false;
}

void Editor::DrawArea(const Rect& rect) {
    mDrawRect = rect;
    if (rect.IsEmpty()) return;
    // Indices rather than iterators: a control may change the editor while it draws.
    for (int32_t i = 0; i < ControlCount(); ++i) {
        Control* control = ControlAtIndex(i);
        if (control->IsHidden()) continue;
        const Rect& r = control->GetRect();
        if (r.IsEmpty()) continue;
        if (rect.R >= r.L && rect.L < r.R && rect.B >= r.T && rect.T < r.B) control->Draw(this);
    }
}

bool Editor::Draw(const Rect& rect) {
    mInPass = true;
    DrawArea(rect);
    mInPass = false;
    for (int32_t i = 0; i < ControlCount(); ++i)
        ControlAtIndex(i)->DrawPassDone();
    return PaintRect(rect);
}

bool Editor::DrawRects(const std::vector<Rect>& rects) {
    mInPass = true;
    for (const Rect& rect : rects)
        DrawArea(rect);
    mInPass = false;
    for (int32_t i = 0; i < ControlCount(); ++i)
        ControlAtIndex(i)->DrawPassDone();
    return PaintRects(rects);
}

bool Editor::PaintRects(const std::vector<Rect>& rects) {
    bool painted = true;
    for (const Rect& rect : rects)
        painted = PaintRect(rect) && painted;
    return painted;
}

int32_t Editor::ControlAt(int x, int y) const {
    if (mCapture >= 0) return mCapture < ControlCount() ? mCapture : -1;
    for (int32_t i = ControlCount() - 1; i >= 0; --i) {
        const Control* control = mControls[size_t(i)].get();
        if (!control->IsHidden() && !control->IsGreyed() && control->IsHit(x, y)) return i;
    }
    return -1;
}

void Editor::OnMouseDown(int x, int y, const MouseKeys& mod) {
    mCapture = -1;
    mLastX = mLastY = -1;
    // A press ends a wheel burst (and a press whose release never came).
    mWheelControl = -1;
    if (mEffect) mEffect->EndGesture();
    const int32_t i = ControlAt(x, y);
    if (i < 0) return;
    mCapture = i;
    mLastX = x;
    mLastY = y;
    if (mEffect) mEffect->BeginGesture();
    ControlAtIndex(i)->OnMouseDown(x, y, mod);
}

void Editor::OnMouseUp(int x, int y) {
    const int32_t i = ControlAt(x, y);
    mCapture = -1;
    mLastX = mLastY = -1;
    if (Control* control = ControlAtIndex(i)) control->OnMouseUp(x, y);
    if (mWheelControl < 0 && mEffect) mEffect->EndGesture();
}

void Editor::OnMouseDrag(int x, int y, const MouseKeys& mod) {
    if (x == mLastX && y == mLastY) return;
    Control* control = ControlAtIndex(ControlAt(x, y));
    if (!control) return;
    const int dX = Delta(x, mLastX), dY = Delta(y, mLastY);
    mLastX = x;
    mLastY = y;
    control->OnMouseDrag(x, y, dX, dY, mod);
}

void Editor::OnMouseDblClick(int x, int y, const MouseKeys& mod) {
    mCapture = -1;
    mLastX = mLastY = -1;
    mWheelControl = -1;
    if (mEffect) mEffect->EndGesture();
    Control* control = ControlAtIndex(ControlAt(x, y));
    if (!control) return;
    if (mEffect) mEffect->BeginGesture();
    control->OnMouseDblClick(x, y, mod);
    if (mEffect) mEffect->EndGesture();
}

void Editor::OnMouseWheel(int x, int y, const MouseKeys& mod, int steps) {
    const int32_t i = ControlAt(x, y);
    Control* control = ControlAtIndex(i);
    if (!control) return;
    if (mEffect) {
        // Steps while a button is held belong to the press's gesture.
        if (mWheelControl != i && mWheelControl >= 0) mEffect->EndGesture();
        if (mCapture < 0 && !mEffect->GestureOpen()) {
            mEffect->BeginGesture();
            mWheelControl = i;
        }
        if (mWheelControl == i) mWheelLastMs = NowMs();
    }
    control->OnMouseWheel(x, y, mod, steps);
}

void Editor::EndQuietWheel() {
    if (mWheelControl < 0 || NowMs() - mWheelLastMs < kWheelQuietMs) return;
    mWheelControl = -1;
    if (mEffect) mEffect->EndGesture();
}

bool Editor::OnMouseOver(int x, int y, const MouseKeys& mod) {
    if (!mTrackHover) return false;
    const int32_t i = ControlAt(x, y);
    if (i < 0) return true;
    mLastX = x;
    mLastY = y;
    const int32_t previous = mHover;
    mHover = i;
    ControlAtIndex(i)->OnMouseOver(x, y, mod);
    if (previous >= 0 && previous != i) {
        if (Control* left = ControlAtIndex(previous)) left->OnMouseOut();
    }
    return true;
}

void Editor::OnMouseOut() {
    const int32_t previous = mHover;
    mHover = -1;
    if (Control* left = ControlAtIndex(previous)) left->OnMouseOut();
    if (mWheelControl >= 0) {
        mWheelControl = -1;
        if (mEffect) mEffect->EndGesture();
    }
}

void Editor::SetSize(int32_t width, int32_t height) {
    mViewWidth = std::max(width, 0);
    mViewHeight = std::max(height, 0);
    mCapture = -1;
    mHover = -1;
    mLastX = mLastY = -1;
    mWheelControl = -1; // the next press ends its gesture
    std::vector<std::unique_ptr<Control>> doomed;
    {
        ScopedLock hold(mListLock);
        doomed.swap(mControls);
    }
}

bool Editor::IsWindowOpen() {
    return WindowHandle() != nullptr;
}

bool Editor::DrawBitmapFrame(const BitmapRef& bitmap, const Rect& dest, int frameIndex,
                             const Blend* blend) {
    const int n = bitmap.mFrames;
    if (!bitmap.mBitmap || n < 1) return false;
    int srcY = 0;
    if (n >= 2 && frameIndex >= 2) {
        const int i = std::min(frameIndex, n);
        srcY = int(std::trunc(double(bitmap.mH) * (i - 1) / n + 0.5));
    }
    return DrawBitmap(bitmap, dest, 0, srcY, blend);
}

bool Editor::WriteColumn(int x, int y, int dir, const uint32_t* words, int count) {
    if (count <= 0) return true;
    if (!words || (dir != 1 && dir != -1)) return false;
    bool ok = true;
    for (int i = 0; i < count; ++i) {
        const long long row = (long long)y + (long long)i * dir;
        if (row < INT_MIN || row > INT_MAX) {
            ok = false;
            continue;
        }
        ok = WritePixel(Color::FromWord(words[i]), x, int(row)) && ok;
    }
    return ok;
}
