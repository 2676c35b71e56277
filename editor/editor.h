// The platform-neutral editor core as far as the plug-in frame uses it: size,
// frame rate, the drawing-surface preparation and the parameter display calls.
// Controls and the drawing interface come on top of this.
#pragma once

#include <cstdint>

#include "plug/effect_base.h"
#include "plug/param.h"

class Editor {
public:
    // fps <= 0 means 24 frames per second.
    Editor(EffectBase* effect, int32_t width, int32_t height, int32_t fps)
        : mEffect(effect), mViewWidth(width), mViewHeight(height), mFps(fps > 0 ? fps : 24) {}
    virtual ~Editor() = default;
    Editor(const Editor&) = delete;
    Editor& operator=(const Editor&) = delete;

    // Prepares the drawing surface; the plug-in calls it when the editor is attached.
    virtual void PrepareDrawing() {}

    // Shows a parameter's value in the controls bound to it. A real value
    // (normalized false) is converted with the parameter's NormalizedOf; an unknown
    // parameter then shows nothing.
    void ShowParamValue(int32_t index, double value, bool normalized) {
        if (!normalized && !ToNormalized(index, value)) return;
        ParamValueShown(index, value);
    }
    // The user's value for a parameter, committed through the bound controls.
    void UserParamValue(int32_t index, double normalized) { UserValueCommitted(index, normalized); }
    // Limits the controls bound to a parameter to low..high.
    void SetParamClamp(int32_t index, double low, double high, bool normalized) {
        if (!normalized && !(ToNormalized(index, low) && ToNormalized(index, high))) return;
        ParamClampSet(index, low, high);
    }

    EffectBase* Effect() const { return mEffect; }
    int32_t ViewWidth() const { return mViewWidth; }
    int32_t ViewHeight() const { return mViewHeight; }
    int32_t Fps() const { return mFps; }

protected:
    // Delivery to the bound controls, with normalized values. The core has no
    // controls yet, so these are empty; subclasses observe or extend them.
    virtual void ParamValueShown(int32_t /*index*/, double /*normalized*/) {}
    virtual void UserValueCommitted(int32_t /*index*/, double /*normalized*/) {}
    virtual void ParamClampSet(int32_t /*index*/, double /*low*/, double /*high*/) {}

    EffectBase* mEffect;
    int32_t mViewWidth;
    int32_t mViewHeight;
    int32_t mFps;

private:
    bool ToNormalized(int32_t index, double& value) const {
        const Param* param = mEffect ? mEffect->ParamAt(index) : nullptr;
        if (!param) return false;
        value = param->NormalizedOf(value);
        return true;
    }
};
