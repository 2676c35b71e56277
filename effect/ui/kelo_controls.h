// The effect's own controls: knobs that flash a glow when their value changes,
// a frequency knob with a readout under it, two kinds of lamp switches, and a
// small switch for a setting that is no parameter.
#pragma once

#include <atomic>

#include "draw/paint.h"
#include "editor/control.h"
#include "editor/types.h"

// A knob drawn over a body painted in the background: the control adds a
// 9-pixel black pointer and, in the one drawing pass after each change of
// value, the glow image. Vertical drag over ten knob heights sweeps the range.
class GlowKnob : public KnobControl {
public:
    GlowKnob(EffectBase* effect, const Rect& rect, int32_t paramIdx, const BitmapRef& glow);
    bool Draw(Editor* editor) override;

    double LastDrawnValue() const { return mLastDrawnValue; }

protected:
    GlowKnob(EffectBase* effect, const Rect& rect, int32_t paramIdx, const BitmapRef& glow,
             double gearing);
    // The glow, if the value changed since the last pass (then asks for one
    // more pass, which repaints the knob without it); true when drawn or not due.
    bool DrawGlowOnChange(Editor* editor, const Rect& into, double value);
    // The pointer from the centre of knob at the angle of value.
    static bool DrawPointer(Editor* editor, const Rect& knob, double value);

    BitmapRef mBitmapRef;
    double mLastDrawnValue = -1.0;
};

// A GlowKnob for a frequency shown on the parameters' cubic curve over
// 0..22000 Hz: the knob sits in the rectangle less its bottom 8 pixels and the
// frequency in hertz is written in the bottom 12. Drag over five heights.
class FreqKnob : public GlowKnob {
public:
    FreqKnob(EffectBase* effect, const Rect& rect, int32_t paramIdx, const BitmapRef& glow);
    bool Draw(Editor* editor) override;

    const char* Readout() const { return mReadout; }
    const Rect& KnobRect() const { return mKnobRect; }
    const Rect& TextRect() const { return mTextRect; }

protected:
    Rect mKnobRect;
    Rect mTextRect;
    TextStyle mTextStyle;
    char mReadout[32] = "";
};

// A switch: any press flips it (and pushes the value); the on image shows
// above 0.5.
class ToggleButton : public Control {
public:
    ToggleButton(EffectBase* effect, const Rect& rect, int32_t paramIdx, const BitmapRef& off,
                 const BitmapRef& on);
    void OnMouseDown(int x, int y, const MouseKeys& mod) override;
    bool Draw(Editor* editor) override;

protected:
    BitmapRef mOffBitmap;
    BitmapRef mOnBitmap;
};

// A push button: 1 while held, 0 after the release (both pushed); the on image
// shows only at exactly 1.
class MomentaryButton : public ToggleButton {
public:
    MomentaryButton(EffectBase* effect, const Rect& rect, int32_t paramIdx, const BitmapRef& off,
                    const BitmapRef& on);
    void OnMouseDown(int x, int y, const MouseKeys& mod) override;
    void OnMouseUp(int x, int y) override;
    bool Draw(Editor* editor) override;
};

// A small switch for a setting of the effect that is no parameter (the host
// does not see it): a lamp with its label to the right. A press flips the
// setting through set and tells the host that the saved state changed; the
// lamp shows what get answers, also after a change from elsewhere (a loaded
// state). get and set are called on the editor's thread with no lock of the
// editor held.
class OptionSwitch : public Control {
public:
    typedef bool (*Getter)(EffectBase* effect);
    typedef void (*Setter)(EffectBase* effect, bool on);
    OptionSwitch(EffectBase* effect, const Rect& rect, const char* label, Getter get, Setter set);
    void OnMouseDown(int x, int y, const MouseKeys& mod) override;
    bool Draw(Editor* editor) override;
    bool IsDirty() const override;

    bool IsOn() const { return mGet(mEffect); }
    const char* Label() const { return mLabel; }

protected:
    const char* mLabel;
    Getter mGet;
    Setter mSet;
    TextStyle mTextStyle;
    // What the lamp showed when last drawn (-1 before the first pass).
    std::atomic<int> mDrawnOn{-1};
};
