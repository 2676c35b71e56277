// Resource look-up for builds without a resource section: files embedded at
// build time register their tables here before main runs.
#include "draw/resource.h"

namespace {

struct Table {
    const EmbeddedResource* entries;
    int count;
};

constexpr int kMaxTables = 16;
// Plain zero-initialised storage: ready before any static constructor runs.
Table gTables[kMaxTables];
int gTableCount = 0;

} // namespace

bool RegisterEmbeddedResources(const EmbeddedResource* table, int count) {
    if (!table || count <= 0 || gTableCount >= kMaxTables) return false;
    gTables[gTableCount++] = {table, count};
    return true;
}

ModuleHandle CurrentModule() {
    return nullptr;
}

const void* ResFind(ModuleHandle, int id) {
    for (int t = 0; t < gTableCount; ++t)
        for (int i = 0; i < gTables[t].count; ++i)
            if (gTables[t].entries[i].id == id) return &gTables[t].entries[i];
    return nullptr;
}

size_t ResSize(ModuleHandle, const void* found) {
    return found ? static_cast<const EmbeddedResource*>(found)->size : 0;
}

const void* ResLoad(ModuleHandle, const void* found) {
    return found;
}

const unsigned char* ResLock(const void* loaded) {
    return loaded ? static_cast<const EmbeddedResource*>(loaded)->data : nullptr;
}
