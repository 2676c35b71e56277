// The platform seam of the host harness: loading a plug-in binary by path and
// finding its entry point. One implementation per platform (module_posix.cpp,
// module_win.cpp); nothing else in the harness touches the loader.
#pragma once

#include <string>

// Loads the shared library at path. Returns an opaque handle, or null with a
// reason in error.
void* OpenModule(const std::string& path, std::string& error);
// Address of the exported symbol name, or null.
void* FindModuleSymbol(void* module, const char* name);
// Unloads a module returned by OpenModule; null is ignored.
void CloseModule(void* module);
