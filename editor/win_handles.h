// What the files of the Win32 face share: the face keeps its handles as void*
// (so that its header needs no windows.h), and these turn them back.
#pragma once

// windows.h first: the other system headers build on it.
#include <windows.h>

#include "draw/resource.h"

inline HWND AsWnd(void* wnd) {
    return static_cast<HWND>(wnd);
}

// The instance of the module this code is in (the plug-in's DLL).
inline HINSTANCE ModuleInstance() {
    return static_cast<HINSTANCE>(CurrentModule());
}
