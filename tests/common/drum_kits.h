// The kits of Debian's hydrogen-drumkits as the drum material uses them: each
// kit's drumkit.xml read for its instruments and velocity layers, one
// instrument picked per voice by its name, and each sample file loaded at the
// rate the material is built at (resampled when the file's rate differs).
//
// Kits name their instruments freely ("Kick", "BassDrum", "c3 - bass drum 1",
// "Pearl Tom Floor", "Closed HH 1"); a voice takes the instrument whose name
// says what it is, preferring the plainest (a snare over a rimshot, a closed
// hat over a pedal one). A voice the kit has no instrument for stays empty.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tests/common/drum_material.h"

// One velocity layer of an instrument: the file, and the velocities it plays
// (min <= velocity <= max), with its gain.
struct KitLayer {
    std::string path;
    double min = 0.0, max = 1.0, gain = 1.0;
};

struct KitInstrument {
    std::string name;
    std::vector<KitLayer> layers;
    bool Empty() const { return layers.empty(); }
};

struct DrumKit {
    std::string name;
    // Indexed by DrumVoice; kGhost plays the snare's instrument.
    KitInstrument voices[kCrash + 1];
    const KitInstrument& Voice(DrumVoice voice) const { return voices[voice]; }
    bool Has(DrumVoice voice) const { return !voices[voice].Empty(); }
    // Toms the kit has, high to low (two toms give high and low).
    std::vector<DrumVoice> Toms() const;
};

// The directory the kits are installed in.
const char* DrumKitRoot();
// Whether the kit's drumkit.xml can be read.
bool DrumKitInstalled(const std::string& kit);
// Reads the kit's drumkit.xml (once per process); a kit that cannot be read
// has no voices.
const DrumKit& LoadDrumKit(const std::string& kit);
// The layer of instrument for velocity (0..1): the first whose range holds it,
// else the nearest; null for an empty instrument.
const KitLayer* LayerFor(const KitInstrument& instrument, double velocity);
// The sample file at rate (cached per process); empty if it cannot be read.
const DrumSample& LoadDrumSample(const std::string& path, double rate);
