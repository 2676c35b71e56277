// The parameter store's two roads of a change: the host's (set-parameter,
// automation) and the editor's (a user's edit, told back to the host as a
// note), and the store's lookups.
#include "plug/effect_base.h"

#include "plug/editor_face.h"

// ---------------------------------------------------------------- host road

void EffectBase::HostParamChange(int32_t index, double normalized) {
    Param* param = ParamAt(index);
    if (!param) return;
    // The control shows the value the parameter will take, before the effect hears of it.
    if (!(normalized > 0.0)) normalized = 0.0;
    if (normalized > 1.0) normalized = 1.0;
    {
        ScopedLock hold(mLock);
        if (mEditor) mEditor->ShowParamValue(index, normalized, true);
        // The host carries normalized values as 32-bit floats. The image of the
        // current value is the current value: a host that restores the values
        // it read back must not move a parameter by the float's rounding.
        if (float(normalized) != float(param->Normalized())) param->SetFromNormalized(normalized);
        ParamChanged(index);
    }
    if (!OnAudioThread()) ServeDeferredWork();
}

double EffectBase::ParamNormalized(int32_t index) const {
    const Param* param = ParamAt(index);
    return param ? param->Normalized() : 0.0;
}

// ---------------------------------------------------------------- editor road

void EffectBase::EditorParamChange(int32_t index, double normalized) {
    Param* param = ParamAt(index);
    if (!param) return;
    double taken;
    {
        ScopedLock hold(mLock);
        // The current normalized value stands for the current value (converting
        // it back could differ in the last bit).
        if (normalized != param->Normalized()) param->SetFromNormalized(normalized);
        ParamChanged(index);
        // The host records the value the parameter took (clamped, quantised),
        // read under the lock: a host thread may be setting it meanwhile.
        taken = param->Normalized();
    }
    {
        std::lock_guard<std::mutex> hold(mGestureLock);
        if (!mGestureOpen) {
            PostHostNote(HostNoteKind::BeginEdit, index, 0.0);
            PostHostNote(HostNoteKind::Automate, index, taken);
            PostHostNote(HostNoteKind::EndEdit, index, 0.0);
        } else {
            if (!mGestureTaken[size_t(index)]) {
                mGestureTaken[size_t(index)] = 1;
                mGestureOrder.push_back(index); // capacity reserved: no allocation
                PostHostNote(HostNoteKind::BeginEdit, index, 0.0);
            }
            PostHostNote(HostNoteKind::Automate, index, taken);
        }
    }
    DeliverHostNotes();
    ServeDeferredWork();
}

// ---------------------------------------------------------------- the store

Param* EffectBase::ParamAt(int32_t index) {
    return index >= 0 && index < ParamCount() ? mParams[size_t(index)].get() : nullptr;
}

const Param* EffectBase::ParamAt(int32_t index) const {
    return index >= 0 && index < ParamCount() ? mParams[size_t(index)].get() : nullptr;
}

void EffectBase::NotifyAllParams() {
    ScopedLock hold(mLock);
    for (int32_t i = 0; i < ParamCount(); ++i)
        ParamChanged(i);
    ResetProcessing();
}
