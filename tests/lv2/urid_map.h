// The host's URID map for the LV2 tests: one number per URI, from 1, in the
// order they are first asked for. It takes no lock.
#pragma once

#include <lv2/urid/urid.h>

#include <string>
#include <vector>

struct UridMap {
    std::vector<std::string> uris;
    LV2_URID_Map feature{this, &UridMap::Map};
    static LV2_URID Map(LV2_URID_Map_Handle handle, const char* uri) {
        auto* self = static_cast<UridMap*>(handle);
        for (size_t i = 0; i < self->uris.size(); ++i)
            if (self->uris[i] == uri) return LV2_URID(i + 1);
        self->uris.push_back(uri);
        return LV2_URID(self->uris.size());
    }
};
