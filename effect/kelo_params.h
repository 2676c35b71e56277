// The eleven parameters of Kelo, described once: the effect defines its
// parameters from this table, and tools that set them by name convert values
// with the same definitions.
#pragma once

#include <cstdint>

class EffectBase;
class Param;

// Parameter indices as the host and the saved state see them.
enum KeloParam : int32_t {
    kParamThreshold = 0,
    kParamHiFreq = 1,
    kParamLoFreq = 2,
    kParamMonitor = 3,
    kParamShowEnv = 4,
    kParamShapeEnv = 5,
    kParamAutofit = 6,
    kParamGate = 7,
    kParamEnvTime = 8,
    kParamStrength = 9,
    kParamProcessOnly = 10,
    kParamCount = 11,
};

// Version tag at the start of the saved state.
constexpr int32_t kKeloStateTag = 1011;

// One parameter: a switch (off/on, no range of its own) or a continuous value.
struct KeloParamDef {
    KeloParam index;
    const char* name;
    bool isSwitch;
    double defaultValue; // switches: 0 or 1
    double min, max, step;
    const char* label;
    double curve; // exponent of the normalization curve
};

// The parameters in the order they are created.
extern const KeloParamDef kKeloParams[kParamCount];

// Defines param as def says (the curve included).
void DefineKeloParam(Param& param, const KeloParamDef& def);
// Defines every parameter of effect in creation order; the curves are set after
// all parameters exist.
void DefineKeloParams(EffectBase& effect);
// The row with that host name, or null.
const KeloParamDef* FindKeloParam(const char* name);
