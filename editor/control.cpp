#include "editor/control.h"

#include <cmath>
#include <cstring>

#include "editor/editor.h"
#include "plug/effect_base.h"

Control::Control(EffectBase* effect, const Rect& rect, int32_t paramIdx, int blendMode,
                 float blendWeight)
    : mEffect(effect), mRect(rect), mHitRect(rect), mParamIdx(paramIdx),
      mBlend(blendMode, blendWeight) {}

void Control::OnMouseDown(int, int, const MouseKeys& mod) {
    if (mod.R) OpenValuePrompt();
}

void Control::OnMouseUp(int, int) {}

void Control::OnMouseDrag(int, int, int, int, const MouseKeys&) {}

void Control::OnMouseDblClick(int, int, const MouseKeys&) {
    const double restore = mDefaultValue;
    if (!(restore >= 0.0)) return;
    mValue = restore;
    SetDirty(true);
}

void Control::OnMouseWheel(int, int, const MouseKeys& mod, int steps) {
    const double step = (mod.S || mod.C) ? 0.001 : 0.01;
    mValue = mValue + steps * step;
    SetDirty(true);
}

void Control::OnMouseOver(int, int, const MouseKeys&) {}

void Control::OnMouseOut() {}

void Control::Hide(bool hide) {
    mHide = hide;
    SetDirty(false);
}

void Control::SetGreyed(bool greyed) {
    mGreyed = greyed;
    mBlend.mWeight = greyed ? 0.25f : 1.0f;
    SetDirty(false);
}

bool Control::IsHit(int x, int y) const {
    return !mHitRect.IsEmpty() && mHitRect.Contains(x, y);
}

void Control::SetDirty(bool push) {
    const double lo = mLimitLo, hi = mLimitHi;
    double v = mValue;
    if (std::isnan(v)) v = lo;
    if (v < lo) v = lo;
    if (v > hi) v = hi;
    mValue = v;
    mDirty = true;
    if (push && mEffect && mParamIdx >= 0) mEffect->EditorParamChange(mParamIdx, v);
}

void Control::DrawPassDone() {
    const bool again = mDrawAgain.exchange(false);
    mDirty = again;
    // A host thread's ReceiveValue sets mDrawAgain before mDirty. If it set
    // mDrawAgain after the exchange, its mDirty may have been overwritten just
    // now: keep the control dirty so the new value is not lost.
    if (!again && mDrawAgain) mDirty = true;
}

bool Control::PlanScroll(Rect&, int&, std::vector<Rect>& redraw) {
    redraw.clear();
    return false;
}

bool Control::IsDirty() const {
    return mDirty;
}

void Control::ReceiveValue(double value) {
    if (std::isnan(value)) return;
    if (mDefaultValue < 0.0) {
        mValue = value;
        mDefaultValue = value;
    } else {
        if (value == mValue) return;
        mValue = value;
    }
    // mDrawAgain first: DrawPassDone on the editor thread relies on the order.
    mDrawAgain = true;
    SetDirty(false);
}

void Control::CommitUserValue(double value) {
    if (std::isnan(value) || value == mValue) return;
    mValue = value;
    mDrawAgain = true;
    SetDirty(true);
}

void Control::OpenValuePrompt() {
    if (mParamIdx < 0 || mNoPrompt) return;
    Param* param = mEffect ? mEffect->ParamAt(mParamIdx) : nullptr;
    if (Editor* editor = GetEditor()) editor->OpenValuePrompt(this, param);
    mDrawAgain = true;
}

Editor* Control::GetEditor() const {
    // Every editor the plug-in holds in this system is an Editor.
    return mEffect ? static_cast<Editor*>(mEffect->GetEditor()) : nullptr;
}

double Control::Value() const {
    return mValue;
}

void Control::SetValue(double value) {
    mValue = value;
}

double Control::DefaultValue() const {
    return mDefaultValue;
}

void Control::SetLimits(double lo, double hi) {
    mLimitLo = std::isnan(lo) ? 0.0 : lo;
    mLimitHi = std::isnan(hi) ? 1.0 : hi;
}

double Control::LimitLo() const {
    return mLimitLo;
}

double Control::LimitHi() const {
    return mLimitHi;
}

// --- LinkControl

namespace {

// Copies text into a 256-byte field; a longer text is refused and leaves the
// field empty, since a cut address would open the wrong document.
void CopyAddress(char (&field)[256], const char* text) {
    std::memset(field, 0, sizeof field);
    if (!text) return;
    const size_t length = strnlen(text, sizeof field);
    if (length >= sizeof field) return;
    std::memcpy(field, text, length);
}

} // namespace

LinkControl::LinkControl(EffectBase* effect, const Rect& rect, const char* url,
                         const char* backupUrl)
    : Control(effect, rect, -1, BlendAlpha, 1.0f) {
    CopyAddress(mUrl, url);
    CopyAddress(mBackupUrl, backupUrl);
}

bool LinkControl::Draw(Editor*) {
    return true;
}

void LinkControl::OnMouseDown(int, int, const MouseKeys&) {
    Editor* editor = GetEditor();
    if (!editor) return;
    if (mUrl[0] && editor->OpenDocument(mUrl)) return;
    if (mBackupUrl[0]) editor->OpenDocument(mBackupUrl);
}

// --- BitmapControl

namespace {

Rect FrameRect(int x, int y, const BitmapRef& bitmap) {
    const int frames = bitmap.mFrames > 1 ? bitmap.mFrames : 1;
    return Rect(x, y, x + bitmap.mW, y + bitmap.mH / frames);
}

} // namespace

BitmapControl::BitmapControl(EffectBase* effect, int x, int y, int32_t paramIdx,
                             const BitmapRef& bitmap, int blendMode)
    : Control(effect, FrameRect(x, y, bitmap), paramIdx, blendMode), mBitmapRef(bitmap) {}

int BitmapControl::FrameIndex() const {
    const int n = mBitmapRef.mFrames;
    if (n < 2) return 1;
    const double position = (n - 1) * double(mValue) + 0.5;
    if (!(position >= 0.0)) return 1; // negative or NaN
    if (position >= n) return n;
    const int i = int(position) + 1;
    return i > n ? n : i;
}

bool BitmapControl::Draw(Editor* editor) {
    if (editor) editor->DrawBitmapFrame(mBitmapRef, mRect, FrameIndex(), &mBlend);
    return true;
}

// --- KnobControl

KnobControl::KnobControl(EffectBase* effect, const Rect& rect, int32_t paramIdx, int blendMode,
                         int direction, double gearing)
    : Control(effect, rect, paramIdx, blendMode), mDirection(direction), mGearing(gearing) {}

void KnobControl::OnMouseDrag(int, int, int dX, int dY, const MouseKeys&) {
    // A drag over gearing heights (widths) of the control sweeps the range;
    // up and right raise the value.
    const double change = mDirection == 0 ? double(dY) / (mRect.T - mRect.B) / mGearing
                                          : double(dX) / (mRect.R - mRect.L) / mGearing;
    if (std::isfinite(change)) mValue = mValue + change;
    SetDirty(true);
}
