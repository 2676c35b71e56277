// Drum material from any kit of hydrogen-drumkits (see drum_kits.h), built at
// the rate asked for from the kit's own samples: a groove, a sixteenth-note
// tom and snare fill, a stem per instrument with the others bleeding in, and a
// room mix. Each hit's onset is that of its sample rendered alone at the rate
// (its first frame within 26 dB of its peak), so the ground truth needs no
// detector of its own. Every piece is the same for the same kit, rate and seed.
//
// The kits are split in two: the kits the detector's constants may be tuned
// on, and the kits it is judged on, which no constant may be fitted to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/drum_material.h"

enum KitPiece {
    // The groove of DrumGroove (four bars at 100 BPM with a tom fill and a
    // crash) played on the kit, every voice listed.
    kPieceGroove,
    // One bar of sixteenths at 100 BPM, snare and toms from high to low (the
    // snare where the kit has no toms), and a kick with a crash after it.
    kPieceFill,
    // The groove's kicks, with the rest of the kit bleeding in 24 dB down.
    kPieceKick,
    // The groove's backbeats and ghost notes, hats bleeding in 14 dB down,
    // kick 20 dB, the rest 24 dB.
    kPieceSnare,
    // The fill's toms, with its snare and kick bleeding in 20 dB down.
    kPieceToms,
    // The groove's hats, snare bleeding in 14 dB down, kick 20 dB.
    kPieceHats,
    // The groove through a small room (WithRoom), every voice listed.
    kPieceRoom,
    kPieceCount
};

const char* KitPieceName(KitPiece piece);

// Whether kit can play piece (the tom stem needs toms, every piece a kick and
// a snare).
bool KitPlays(const std::string& kit, KitPiece piece);

// The piece on kit at rate; empty (no frames) when the kit cannot play it.
// Hits list the primary voices only (bleed is not listed), in time order.
DrumTrack KitTrack(const std::string& kit, KitPiece piece, double rate, uint32_t seed);

// The kits the onset search and the recipes may be tuned on: the two the
// older tests were built on (ForzeeStereo and ColomboAcousticDrumkit, both
// acoustic, multi-layered) and one electronic kit (HardElectro1, no toms).
std::vector<std::string> TuningKits();
// The kits they are judged on, never tuned on: acoustic multi-layered
// (BJA_Pacific, The Black Pearl 1.0, Millo_MultiLayered2,
// Millo_MultiLayered3), acoustic one-shot (Millo-Drums_v.1, rumpf_kit_z01_h2),
// a sampled breaks kit (VariBreaks), and two electronic or synthetic ones
// (ElectricEmpireKit, Audiophob). Left out: Gimme A Hand 1.0 and circAfrique
// v4, hand percussion and djembes with no kick, snare or hats.
std::vector<std::string> JudgedKits();
