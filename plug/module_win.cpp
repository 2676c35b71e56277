// The module handle on Windows: the HMODULE of the DLL holding this code.
#include <windows.h>

#include "plug/module_handle.h"

void* CurrentModuleHandle() {
    HMODULE module = nullptr;
    const DWORD flags =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&CurrentModuleHandle), &module))
        return nullptr;
    return module;
}
