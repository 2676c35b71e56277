// Loading plug-in binaries with LoadLibraryA. Under Wine a test may hand over a
// Unix path (the build tree's): such a path is translated to its DOS name through
// Wine's own kernel32 export, or failing that mapped onto drive Z:, which Wine
// points at the Unix root.
#include "tools/host/module.h"

#include <windows.h>

#include <algorithm>

namespace {

using DosNameProc = WCHAR*(CDECL*)(const char*);

HMODULE LoadUnixPath(const std::string& path) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC proc = kernel ? GetProcAddress(kernel, "wine_get_dos_file_name") : nullptr;
    if (proc) {
        // The export is looked up by name, so its type is only known to us.
        DosNameProc toDos = reinterpret_cast<DosNameProc>(reinterpret_cast<void*>(proc));
        if (WCHAR* dos = toDos(path.c_str())) {
            HMODULE module = LoadLibraryW(dos);
            HeapFree(GetProcessHeap(), 0, dos);
            if (module) return module;
        }
    }
    std::string onZ = "Z:" + path;
    std::replace(onZ.begin(), onZ.end(), '/', '\\');
    return LoadLibraryA(onZ.c_str());
}

} // namespace

void* OpenModule(const std::string& path, std::string& error) {
    std::string native = path;
    std::replace(native.begin(), native.end(), '/', '\\');
    HMODULE module = LoadLibraryA(native.c_str());
    if (!module && !path.empty() && path[0] == '/') module = LoadUnixPath(path);
    if (!module) error = "LoadLibraryA failed with error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(module);
}

void* FindModuleSymbol(void* module, const char* name) {
    if (!module) return nullptr;
    FARPROC proc = GetProcAddress(static_cast<HMODULE>(module), name);
    return reinterpret_cast<void*>(proc);
}

void CloseModule(void* module) {
    if (module) FreeLibrary(static_cast<HMODULE>(module));
}
