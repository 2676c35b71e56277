#include "effect/kelo_params.h"

#include <cstring>

#include "plug/effect_base.h"
#include "plug/param.h"

const KeloParamDef kKeloParams[kParamCount] = {
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
void DefineWithoutCurve(Param& param, const KeloParamDef& def) {
    if (def.isSwitch)
        param.DefineSwitch(def.name, def.defaultValue >= 0.5, def.label);
    else
        param.DefineContinuous(def.name, def.defaultValue, def.min, def.max, def.step, def.label);
}
} // namespace

void DefineKeloParam(Param& param, const KeloParamDef& def) {
    DefineWithoutCurve(param, def);
    param.SetCurve(def.curve);
}

void DefineKeloParams(EffectBase& effect) {
    for (const KeloParamDef& def : kKeloParams)
        if (Param* param = effect.ParamAt(def.index)) DefineWithoutCurve(*param, def);
    // Frequencies get most of a control's travel at the low end.
    for (const KeloParamDef& def : kKeloParams)
        if (Param* param = effect.ParamAt(def.index))
            if (def.curve != 1.0) param->SetCurve(def.curve);
}

const KeloParamDef* FindKeloParam(const char* name) {
    if (!name) return nullptr;
    for (const KeloParamDef& def : kKeloParams)
        if (std::strcmp(def.name, name) == 0) return &def;
    return nullptr;
}
