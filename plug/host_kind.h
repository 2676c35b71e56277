// Identification of the host program from its vendor and product strings.
#pragma once

#include <cstdint>

enum HostKind : int32_t {
    HostUnasked = -1, // not asked yet, or no usable answer
    HostOther = 0,
    HostReaper = 1,
    HostCubase = 3,
    HostNuendo = 4,
    HostCakewalk = 5,
    HostFruity = 7,
    HostSamplitude = 8,
    HostLive = 9,
    HostMelodyne = 12,
    HostVstManLib = 13,
    HostAuLab = 14,
    // Ardour's Linux VST host: its editor-idle thread must not hear edit
    // notes (see EffectBase::SetNotesWaitForAudio).
    HostArdour = 15,
};

// Classifies the two texts (case-insensitive substring rules; null reads as empty).
int32_t ClassifyHost(const char* vendor, const char* product);
// Decimal version major*10000 + minor*100 + patch -> major<<16 | minor<<8 | patch.
// A negative version packs as 0; majors above 32767 as 32767.
int32_t PackHostVersion(int32_t decimal);
