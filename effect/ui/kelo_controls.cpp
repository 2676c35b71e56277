#include "effect/ui/kelo_controls.h"

#include <cmath>
#include <cstdio>

#include "editor/editor.h"
#include "plug/effect_base.h"

namespace {

const double kPi = 3.14159265358979323846;
// The pointer's length from the knob's centre, in pixels.
const double kPointerLength = 9.0;
const double kFullScaleHz = 22000.0;

} // namespace

GlowKnob::GlowKnob(EffectBase* effect, const Rect& rect, int32_t paramIdx, const BitmapRef& glow)
    : GlowKnob(effect, rect, paramIdx, glow, 10.0) {}

GlowKnob::GlowKnob(EffectBase* effect, const Rect& rect, int32_t paramIdx, const BitmapRef& glow,
                   double gearing)
    : KnobControl(effect, rect, paramIdx, BlendAlpha, 0, gearing), mBitmapRef(glow) {}

bool GlowKnob::DrawGlowOnChange(Editor* editor, const Rect& into, double value) {
    if (mLastDrawnValue == value) return true;
    const bool ok = editor->DrawBitmapFrame(mBitmapRef, into, 1, nullptr);
    mLastDrawnValue = value;
    mDrawAgain = true;
    return ok;
}

bool GlowKnob::DrawPointer(Editor* editor, const Rect& knob, double value) {
    // -135 degrees at 0, straight up at 0.5, +135 degrees at 1, clockwise.
    const double a = (value * 1.5 - 0.75) * kPi;
    const double cx = (knob.L + knob.R) / 2.0;
    const double cy = (knob.T + knob.B) / 2.0;
    const Blend copy(BlendCopy, 1.0f);
    return editor->DrawLine(Color(255, 0, 0, 0), float(cx), float(cy),
                            float(cx + kPointerLength * std::sin(a)),
                            float(cy - kPointerLength * std::cos(a)), &copy, true);
}

bool GlowKnob::Draw(Editor* editor) {
    if (!editor) return false;
    const double value = Value();
    bool ok = DrawGlowOnChange(editor, mRect, value);
    ok = DrawPointer(editor, mRect, value) && ok;
    return ok;
}

FreqKnob::FreqKnob(EffectBase* effect, const Rect& rect, int32_t paramIdx, const BitmapRef& glow)
    : GlowKnob(effect, rect, paramIdx, glow, 5.0), mKnobRect(rect.L, rect.T, rect.R, rect.B - 8),
      // One size smaller, a pixel lower and centred two pixels right of the
      // knob: "22000" then keeps clear of the knob's ring and of the "apply"
      // label left of the hi knob.
      mTextRect(rect.L + 4, rect.B - 11, rect.R, rect.B),
      mTextStyle(11, Color(255, 127, 127, 127), "Arial", TextStyle::Normal, TextStyle::AlignCenter,
                 0) {}

bool FreqKnob::Draw(Editor* editor) {
    if (!editor) return false;
    const double value = Value();
    if (mLastDrawnValue != value)
        std::snprintf(mReadout, sizeof mReadout, "%.0f", value * value * value * kFullScaleHz);
    bool ok = editor->DrawString(mTextStyle, mReadout, mTextRect);
    ok = DrawGlowOnChange(editor, mKnobRect, value) && ok;
    ok = DrawPointer(editor, mKnobRect, value) && ok;
    return ok;
}

ToggleButton::ToggleButton(EffectBase* effect, const Rect& rect, int32_t paramIdx,
                           const BitmapRef& off, const BitmapRef& on)
    : Control(effect, rect, paramIdx, BlendAlpha), mOffBitmap(off), mOnBitmap(on) {}

void ToggleButton::OnMouseDown(int, int, const MouseKeys&) {
    SetValue(Value() > 0.5 ? 0.0 : 1.0);
    SetDirty(true);
}

bool ToggleButton::Draw(Editor* editor) {
    if (!editor) return false;
    return editor->DrawBitmapFrame(Value() > 0.5 ? mOnBitmap : mOffBitmap, mRect, 1, nullptr);
}

MomentaryButton::MomentaryButton(EffectBase* effect, const Rect& rect, int32_t paramIdx,
                                 const BitmapRef& off, const BitmapRef& on)
    : ToggleButton(effect, rect, paramIdx, off, on) {}

void MomentaryButton::OnMouseDown(int, int, const MouseKeys&) {
    SetValue(1.0);
    SetDirty(true);
}

void MomentaryButton::OnMouseUp(int, int) {
    SetValue(0.0);
    SetDirty(true);
}

bool MomentaryButton::Draw(Editor* editor) {
    if (!editor) return false;
    editor->DrawBitmapFrame(Value() == 1.0 ? mOnBitmap : mOffBitmap, mRect, 1, nullptr);
    return true;
}

OptionSwitch::OptionSwitch(EffectBase* effect, const Rect& rect, const char* label, Getter get,
                           Setter set)
    : Control(effect, rect, -1, 0), mLabel(label), mGet(get), mSet(set),
      mTextStyle(11, Color(255, 127, 127, 127), "Arial", TextStyle::Normal, TextStyle::AlignLeft,
                 0) {}

void OptionSwitch::OnMouseDown(int, int, const MouseKeys&) {
    mSet(mEffect, !mGet(mEffect));
    // The host sees no parameter move: the saved state changed all the same.
    if (mEffect) mEffect->StateChanged();
    SetDirty(false);
}

bool OptionSwitch::IsDirty() const {
    return Control::IsDirty() || mDrawnOn.load() != int(mGet(mEffect));
}

bool OptionSwitch::Draw(Editor* editor) {
    const bool on = mGet(mEffect);
    mDrawnOn = int(on);
    // The lamp: a square as high as the control, a rim and the light.
    const int side = mRect.H();
    const Rect lamp(mRect.L, mRect.T, mRect.L + side, mRect.B);
    const Rect light(lamp.L + 2, lamp.T + 2, lamp.R - 2, lamp.B - 2);
    bool ok = editor->FillColorRect(Color(255, 20, 22, 24), lamp, nullptr);
    ok = editor->FillColorRect(on ? Color(255, 90, 230, 110) : Color(255, 52, 56, 60), light,
                               nullptr) &&
         ok;
    const Rect text(lamp.R + 5, mRect.T - 1, mRect.R, mRect.B + 1);
    return editor->DrawString(mTextStyle, mLabel, text) && ok;
}
