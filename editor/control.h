// Controls: every visible or clickable element of the editor. A control may be
// bound to one plug-in parameter; it then holds that parameter's normalized
// value (0..1), shows it, changes it on user input and pushes the change to
// the plug-in. Also the stock controls: LinkControl (opens a document),
// BitmapControl (one frame of a multi-frame bitmap chosen by the value) and
// KnobControl (the drag behaviour of knobs).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "draw/paint.h"
#include "editor/types.h"

class Editor;
class EffectBase;

class Control {
public:
    Control(EffectBase* effect, const Rect& rect, int32_t paramIdx, int blendMode,
            float blendWeight = 1.0f);
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Mouse, in editor pixels. Defaults: a right press opens the value prompt,
    // a double click restores the default value, the wheel steps the value
    // (0.001 a step with shift or control held, else 0.01).
    virtual void OnMouseDown(int x, int y, const MouseKeys& mod);
    virtual void OnMouseUp(int x, int y);
    virtual void OnMouseDrag(int x, int y, int dX, int dY, const MouseKeys& mod);
    virtual void OnMouseDblClick(int x, int y, const MouseKeys& mod);
    virtual void OnMouseWheel(int x, int y, const MouseKeys& mod, int steps);
    virtual void OnMouseOver(int x, int y, const MouseKeys& mod);
    virtual void OnMouseOut();

    // Draws the control through the editor's drawing interface.
    virtual bool Draw(Editor* editor) = 0;
    // Editor thread (greying changes the blend the drawing reads).
    virtual void Hide(bool hide);
    virtual void SetGreyed(bool greyed);
    virtual bool IsHit(int x, int y) const;
    // Clamps the value to the limits, marks the control dirty and, with push,
    // hands the value to the plug-in (EditorParamChange).
    virtual void SetDirty(bool push);
    // After each drawing pass: dirty again only if a redraw was asked for.
    virtual void DrawPassDone();
    virtual bool IsDirty() const;
    // At the start of a frame, for a dirty control: takes in what it is to
    // show and returns the part of its rectangle that will look different,
    // empty when nothing will (the frame then draws none of it). The whole
    // rectangle by default; a display that only scrolls or grows names the
    // columns that moved.
    virtual Rect ChangedArea() { return mRect; }
    // A display that scrolls may move its pixels rather than draw them again:
    // asked after a non-empty ChangedArea. True when the frame may move the
    // pixels inside area by dx columns (negative: to the left; what leaves
    // area is dropped) and then draw only the rectangles put into redraw
    // (cleared first) instead of ChangedArea's. False, the default: no move.
    virtual bool PlanScroll(Rect& area, int& dx, std::vector<Rect>& redraw);
    // The frame moved the pixels as PlanScroll planned; the control's record
    // of what the window shows moves with them.
    virtual void Scrolled() {}

    // A value from the plug-in side (no push), any thread. The first one also
    // becomes the default value; NaN is ignored.
    void ReceiveValue(double value);
    // A value from the user through the editor (pushed to the plug-in).
    void CommitUserValue(double value);
    // Opens the window's value prompt for the bound parameter.
    void OpenValuePrompt();

    // The plug-in the control belongs to (may be null).
    EffectBase* Effect() const { return mEffect; }
    // The editor that owns this control, found through the plug-in; null if none.
    Editor* GetEditor() const;

    const Rect& GetRect() const { return mRect; }
    const Rect& HitRect() const { return mHitRect; }
    void SetHitRect(const Rect& rect) { mHitRect = rect; }
    int32_t ParamIdx() const { return mParamIdx; }
    double Value() const;
    void SetValue(double value);
    double DefaultValue() const;
    void SetLimits(double lo, double hi);
    double LimitLo() const;
    double LimitHi() const;
    bool IsHidden() const { return mHide; }
    bool IsGreyed() const { return mGreyed; }
    const Blend& GetBlend() const { return mBlend; }

protected:
    EffectBase* mEffect;
    Rect mRect;
    Rect mHitRect;
    int32_t mParamIdx;
    // Host threads set values, limits and dirty flags while the editor thread
    // draws and routes the mouse, so these are atomics (read them like plain
    // values; write mValue = mValue + d, there is no += for doubles).
    std::atomic<double> mValue{0.0};
    std::atomic<double> mDefaultValue{-1.0};
    std::atomic<double> mLimitLo{0.0}, mLimitHi{1.0};
    std::atomic<bool> mDirty{true};
    std::atomic<bool> mHide{false};
    std::atomic<bool> mGreyed{false};
    std::atomic<bool> mDrawAgain{false};
    bool mNoPrompt = false;
    // Changed by SetGreyed, which belongs to the editor thread like drawing.
    Blend mBlend;
};

// An invisible area that opens a document or address; the background image
// draws it. Addresses of 256 characters or more are refused (left empty).
class LinkControl : public Control {
public:
    LinkControl(EffectBase* effect, const Rect& rect, const char* url, const char* backupUrl);
    bool Draw(Editor* editor) override;
    void OnMouseDown(int x, int y, const MouseKeys& mod) override;
    const char* Url() const { return mUrl; }
    const char* BackupUrl() const { return mBackupUrl; }

protected:
    char mUrl[256];
    char mBackupUrl[256];
};

// Shows one frame of a bitmap with frames stacked vertically, chosen by the
// value (0: the top frame, 1: the bottom one).
class BitmapControl : public Control {
public:
    BitmapControl(EffectBase* effect, int x, int y, int32_t paramIdx, const BitmapRef& bitmap,
                  int blendMode);
    bool Draw(Editor* editor) override;
    // The 1-based frame the current value shows.
    int FrameIndex() const;

protected:
    BitmapRef mBitmapRef;
};

// The drag behaviour of knobs: a vertical (direction 0) or horizontal drag over
// gearing control heights (widths) sweeps the whole range. No drawing.
class KnobControl : public Control {
public:
    KnobControl(EffectBase* effect, const Rect& rect, int32_t paramIdx, int blendMode,
                int direction = 0, double gearing = 4.0);
    void OnMouseDrag(int x, int y, int dX, int dY, const MouseKeys& mod) override;

protected:
    int mDirection;
    double mGearing;
};
