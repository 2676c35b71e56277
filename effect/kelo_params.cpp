#include "effect/kelo_params.h"

#include <cstring>

#include "plug/effect_base.h"
#include "plug/param.h"

const KeloParamSpec kKeloParams[kParamCount] = {
    // index, host name, switch, default, min, max, step, label, curve
    {kParamThreshold, "threshold", false, -12.0, -60.0, 0.0, 0.1, "dB", 1.0},
    {kParamLoFreq, "lo freq", false, 0.0, 0.0, 22000.0, 1.0, "Hz", 3.0},
    {kParamHiFreq, "hi freq", false, 22000.0, 0.0, 22000.0, 1.0, "Hz", 3.0},
    {kParamMonitor, "monitor detect", true, 0.0, 0.0, 1.0, 1.0, "", 1.0},
    {kParamAutofit, "autofit", true, 0.0, 0.0, 1.0, 1.0, "", 1.0},
    {kParamGate, "gate", true, 0.0, 0.0, 1.0, 1.0, "", 1.0},
    {kParamShowEnv, "show env", true, 0.0, 0.0, 1.0, 1.0, "", 1.0},
    {kParamShapeEnv, "shape env", true, 1.0, 0.0, 1.0, 1.0, "", 1.0},
    {kParamStrength, "strength", false, 0.5, 0.0, 1.0, 0.01, "", 1.0},
    {kParamEnvTime, "env time", false, 0.2, 0.05, 1.0, 0.01, "", 1.0},
    {kParamProcessOnly, "process only detected signal", true, 0.0, 0.0, 1.0, 1.0, "", 1.0},
};

namespace {
void DefineWithoutCurve(Param& param, const KeloParamSpec& spec) {
    if (spec.isSwitch)
        param.DefineSwitch(spec.name, spec.defaultValue >= 0.5, spec.label);
    else
        param.DefineContinuous(spec.name, spec.defaultValue, spec.min, spec.max, spec.step,
                               spec.label);
}
} // namespace

void DefineKeloParam(Param& param, const KeloParamSpec& spec) {
    DefineWithoutCurve(param, spec);
    param.SetCurve(spec.curve);
}

void DefineKeloParams(EffectBase& effect) {
    for (const KeloParamSpec& spec : kKeloParams)
        if (Param* param = effect.ParamAt(spec.index)) DefineWithoutCurve(*param, spec);
    // Frequencies get most of a control's travel at the low end.
    for (const KeloParamSpec& spec : kKeloParams)
        if (Param* param = effect.ParamAt(spec.index))
            if (spec.curve != 1.0) param->SetCurve(spec.curve);
}

const KeloParamSpec* FindKeloParam(const char* name) {
    if (!name) return nullptr;
    for (const KeloParamSpec& spec : kKeloParams)
        if (std::strcmp(spec.name, name) == 0) return &spec;
    return nullptr;
}
