// The smallest plug-in the validator can load: it exports the entry point,
// answers text requests with empty texts and everything else with 0 (close
// deletes it), has no parameters, no state, no lock and no host call, and
// writes silence. Whatever goes wrong with it goes wrong in the host, the
// system or the emulator under them, never in a plug-in.
//
// Built twice: "null" processes in no time; "busy" (KELO_NULL_WORK_PER_FRAME)
// spends about as long per frame as a real effect under an emulator, touching
// nothing but a local, so that a host's threads overlap in time as they do
// with a real plug-in. The i686 Windows stage runs the validator's thread
// checks on it to tell a fault of the emulator from one of Kelo's.
#include <cstdint>
#include <cstring>

#include "plug/vst_abi.h"

namespace {

#ifndef KELO_NULL_WORK_PER_FRAME
#define KELO_NULL_WORK_PER_FRAME 0
#endif

struct NullPlugin {
    VstEffectRecord record;
};

template <typename T>
void Silence(T** outputs, int32_t frames) {
    if (!outputs || frames <= 0) return;
    for (int c = 0; c < 2; ++c)
        if (outputs[c]) std::memset(outputs[c], 0, sizeof(T) * size_t(frames));
    volatile uint32_t work = 0;
    for (int64_t i = 0; i < int64_t(frames) * KELO_NULL_WORK_PER_FRAME; ++i)
        work = work * 1664525u + 1013904223u;
}

intptr_t KELO_VSTCALL Dispatcher(VstEffectRecord* effect, int32_t opcode, int32_t, intptr_t,
                                 void* ptr, float) {
    switch (opcode) {
    case kVstOpClose:
        delete static_cast<NullPlugin*>(effect->object);
        return 0;
    case kVstOpGetProgramName:
    case kVstOpGetParamLabel:
    case kVstOpGetParamDisplay:
    case kVstOpGetParamName:
    case kVstOpGetProgramNameIndexed:
    case kVstOpGetEffectName:
    case kVstOpGetVendorString:
    case kVstOpGetProductString:
        if (ptr) *static_cast<char*>(ptr) = '\0';
        return 0;
    default:
        return 0;
    }
}

void KELO_VSTCALL ProcessAccumulating(VstEffectRecord*, float**, float**, int32_t) {}

void KELO_VSTCALL ProcessReplacing(VstEffectRecord*, float**, float** outputs, int32_t frames) {
    Silence(outputs, frames);
}

void KELO_VSTCALL ProcessDouble(VstEffectRecord*, double**, double** outputs, int32_t frames) {
    Silence(outputs, frames);
}

void KELO_VSTCALL SetParameter(VstEffectRecord*, int32_t, float) {}

float KELO_VSTCALL GetParameter(VstEffectRecord*, int32_t) {
    return 0.0f;
}

} // namespace

#ifdef _WIN32
#define KELO_NULL_EXPORT extern "C" __declspec(dllexport)
#else
#define KELO_NULL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

KELO_NULL_EXPORT VstEffectRecord* KELO_VSTCALL VSTPluginMain(VstHostCallback) {
    NullPlugin* plugin = new NullPlugin();
    VstEffectRecord& r = plugin->record;
    std::memset(&r, 0, sizeof r);
    r.magic = kVstMagic;
    r.dispatcher = &Dispatcher;
    r.process = &ProcessAccumulating;
    r.setParameter = &SetParameter;
    r.getParameter = &GetParameter;
    r.numInputs = 2;
    r.numOutputs = 2;
    r.flags = kVstFlagCanReplacing | kVstFlagCanDoubleReplacing;
    r.ioRatio = 1.0f;
    r.object = plugin;
    r.uniqueId = int32_t(0x4E756C6C); // 'Null'
    r.version = 1;
    r.processReplacing = &ProcessReplacing;
    r.processDoubleReplacing = &ProcessDouble;
    return &r;
}
