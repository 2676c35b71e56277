// The module's entry point. Hosts look it up as "VSTPluginMain" or, in older
// hosts, as "main"; the second name is an alias made at link time (a .def entry
// on Windows, a linker symbol definition on Linux), since C++ reserves main.
#include <memory>
#include <utility>

#include "plug/vst_adapter.h"

// Windows exports through the .def file; Linux hides everything else.
#ifdef _WIN32
#define KELO_ENTRY_VISIBLE
#else
#define KELO_ENTRY_VISIBLE __attribute__((visibility("default")))
#endif

extern "C" KELO_ENTRY_VISIBLE VstEffectRecord* KELO_VSTCALL VSTPluginMain(VstHostCallback host) {
    SetModuleHostCallback(host);
    const InstanceInfo instance = {CurrentModuleHandle(), 0, 0};
    // A failed allocation, or any failure of the effect's constructor, gives the
    // host no effect rather than an exception through its stack.
    try {
        std::unique_ptr<EffectBase> effect(CreateEffectInstance(instance));
        if (!effect) return nullptr;
        // The adapter owns the effect from here; the host's close deletes both.
        return (new VstAdapter(std::move(effect)))->Record();
    } catch (...) {
        return nullptr;
    }
}
