// The handle of the module (shared object or DLL) this code is linked into; one
// platform file defines it (module_posix.cpp, module_win.cpp).
#pragma once

void* CurrentModuleHandle();
