// The module handle on Linux: the load address of the shared object holding this code.
#include <dlfcn.h>

#include "plug/module_handle.h"

void* CurrentModuleHandle() {
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&CurrentModuleHandle), &info) == 0) return nullptr;
    return info.dli_fbase;
}
