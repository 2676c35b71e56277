// The plug-in binary's entry: the LV2 descriptor and the state interface, each
// a thin call into Lv2Plugin. Nothing may unwind into the host.
#include <cstring>

#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/worker/worker.h>

#include "lv2/lv2_plugin.h"

namespace {

LV2_Handle Instantiate(const LV2_Descriptor*, double rate, const char*,
                       const LV2_Feature* const* features) {
    return Lv2Plugin::Create(rate, features);
}

void ConnectPort(LV2_Handle instance, uint32_t port, void* data) {
    static_cast<Lv2Plugin*>(instance)->ConnectPort(port, data);
}

void Activate(LV2_Handle instance) {
    static_cast<Lv2Plugin*>(instance)->Activate();
}

void Run(LV2_Handle instance, uint32_t frames) {
    static_cast<Lv2Plugin*>(instance)->Run(frames);
}

void Deactivate(LV2_Handle) {}

void Cleanup(LV2_Handle instance) {
    delete static_cast<Lv2Plugin*>(instance);
}

LV2_State_Status Save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle,
                      uint32_t, const LV2_Feature* const*) {
    try {
        return static_cast<Lv2Plugin*>(instance)->Save(store, handle);
    } catch (...) {
        return LV2_STATE_ERR_UNKNOWN;
    }
}

LV2_State_Status Restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle handle, uint32_t, const LV2_Feature* const*) {
    try {
        return static_cast<Lv2Plugin*>(instance)->Restore(retrieve, handle);
    } catch (...) {
        return LV2_STATE_ERR_UNKNOWN;
    }
}

const LV2_State_Interface kStateInterface = {&Save, &Restore};

LV2_Worker_Status Work(LV2_Handle instance, LV2_Worker_Respond_Function, LV2_Worker_Respond_Handle,
                       uint32_t, const void*) {
    try {
        return static_cast<Lv2Plugin*>(instance)->Work();
    } catch (...) {
        return LV2_WORKER_ERR_UNKNOWN;
    }
}

// The work applies its own result (under the effect's lock): nothing to answer.
LV2_Worker_Status WorkResponse(LV2_Handle, uint32_t, const void*) {
    return LV2_WORKER_SUCCESS;
}

const LV2_Worker_Interface kWorkerInterface = {&Work, &WorkResponse, nullptr};

const void* ExtensionData(const char* uri) {
    if (uri && !std::strcmp(uri, LV2_STATE__interface)) return &kStateInterface;
    if (uri && !std::strcmp(uri, LV2_WORKER__interface)) return &kWorkerInterface;
    return nullptr;
}

const LV2_Descriptor kDescriptor = {KELO_LV2_URI, &Instantiate, &ConnectPort, &Activate,
                                    &Run,         &Deactivate,  &Cleanup,     &ExtensionData};

} // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
