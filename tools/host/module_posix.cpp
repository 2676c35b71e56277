// Loading plug-in binaries with the POSIX dynamic loader.
#include "tools/host/module.h"

#include <dlfcn.h>

void* OpenModule(const std::string& path, std::string& error) {
    // RTLD_LOCAL keeps each plug-in's symbols to itself, as hosts load them.
    int flags = RTLD_NOW | RTLD_LOCAL;
#ifdef KELO_KEEP_MODULES_MAPPED
    // Under LeakSanitizer: a module (and the system libraries only it pulled
    // in) stays mapped after closing, so leak reports can name its frames
    // and the system-library suppressions match.
    flags |= RTLD_NODELETE;
#endif
    void* module = dlopen(path.c_str(), flags);
    if (!module) {
        const char* reason = dlerror();
        error = reason ? reason : "dlopen failed";
    }
    return module;
}

void* FindModuleSymbol(void* module, const char* name) {
    return module ? dlsym(module, name) : nullptr;
}

void CloseModule(void* module) {
    if (module) dlclose(module);
}
