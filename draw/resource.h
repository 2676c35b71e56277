// The four module-resource calls the PNG loader needs. On Windows they are
// FindResourceA, SizeofResource, LoadResource and LockResource on the
// module's resource section; elsewhere they look up tables of embedded files
// that programs register at start-up.
#pragma once

#include <cstddef>

// Instance handle of a module (HMODULE on Windows; unused elsewhere).
using ModuleHandle = void*;

// The module that holds this code: the DLL or program it is linked into.
ModuleHandle CurrentModule();

// The resource of type "PNG" with integer id `id`, or null.
const void* ResFind(ModuleHandle module, int id);
// Its size in bytes (0 for null).
size_t ResSize(ModuleHandle module, const void* found);
// A handle to its loaded data, or null.
const void* ResLoad(ModuleHandle module, const void* found);
// The first byte of the loaded data, or null. Resources stay mapped for the
// module's lifetime.
const unsigned char* ResLock(const void* loaded);

// An embedded file standing in for a resource of type "PNG".
struct EmbeddedResource {
    int id;
    const unsigned char* data;
    size_t size;
};

// Makes count entries of table findable (non-Windows builds; tables must live
// for the program's lifetime). Earlier tables win on equal ids. False when
// the registry is full or the arguments are unusable.
bool RegisterEmbeddedResources(const EmbeddedResource* table, int count);
