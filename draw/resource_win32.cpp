// Resource look-up through the module's resource section.
#include "draw/resource.h"

#include <windows.h>

ModuleHandle CurrentModule() {
    HMODULE module = nullptr;
    // The address of this function lies in the module that linked this code.
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&CurrentModule), &module);
    return module;
}

const void* ResFind(ModuleHandle module, int id) {
    return FindResourceA(static_cast<HMODULE>(module), MAKEINTRESOURCEA(id), "PNG");
}

size_t ResSize(ModuleHandle module, const void* found) {
    if (!found) return 0;
    return SizeofResource(static_cast<HMODULE>(module),
                          static_cast<HRSRC>(const_cast<void*>(found)));
}

const void* ResLoad(ModuleHandle module, const void* found) {
    if (!found) return nullptr;
    return LoadResource(static_cast<HMODULE>(module), static_cast<HRSRC>(const_cast<void*>(found)));
}

const unsigned char* ResLock(const void* loaded) {
    if (!loaded) return nullptr;
    return static_cast<const unsigned char*>(
        LockResource(static_cast<HGLOBAL>(const_cast<void*>(loaded))));
}

// Windows programs carry their files in the resource section instead.
bool RegisterEmbeddedResources(const EmbeddedResource*, int) {
    return false;
}
