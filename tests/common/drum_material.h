// Drum material for tests and listening, built at run time from the samples of
// Debian's hydrogen-drumkits (nothing of the kits is kept in the repository): a
// four-bar groove, single kick and snare tracks with bleed, a sixteenth-note
// kick pattern, a tom fill and a room loop, each with the times and velocities
// of its hits. Every piece is the same for the same seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum DrumVoice { kKick, kSnare, kGhost, kHat, kTomHigh, kTomMid, kTomLow, kCrash };

// One hit as placed: frame of its onset (the first sample of the drum's sound
// within 26 dB of its peak), the velocity it was played at, the voice, and the
// peaks of the hit's own sound (before the other voices are mixed in): of
// either channel, and of the mid signal (L + R) / 2 the detector follows.
struct DrumHit {
    size_t frame;
    double velocity;
    DrumVoice voice;
    double peak;
    double midPeak;
};

struct DrumTrack {
    std::string name;
    double rate = 48000.0;
    std::vector<double> l, r;
    std::vector<DrumHit> hits; // in time order
    // Hits of the other voices bleeding in, where the track lists them (the
    // kit material does), in time order.
    std::vector<DrumHit> bleed;
    size_t size() const { return l.size(); }
    // The hits of one voice.
    std::vector<DrumHit> HitsOf(DrumVoice voice) const;
};

// A sample file as stereo doubles at one rate; a mono file plays on both
// sides. onset: its first frame within 26 dB of its peak (of either channel),
// which is where a hit rendered alone begins.
struct DrumSample {
    double rate = 0.0;
    std::vector<double> l, r;
    double peak = 0.0;
    double midPeak = 0.0;
    size_t onset = 0;
};
// sample with its peaks and onset measured anew (after its samples changed).
DrumSample Analysed(DrumSample sample);
// The sound file at path, analysed; an unreadable file gives an empty sample.
DrumSample ReadDrumSample(const std::string& path);

// A hit to place: when its sample starts (seconds), its velocity and voice.
struct Placement {
    double seconds;
    double velocity;
    DrumVoice voice;
};

// The groove's hits at 100 BPM (a sixteenth is 0.15 s), humanized by seed:
// four bars of kicks, backbeats, ghost notes at velocity 0.12-0.21 and
// sixteenth hats, a tom fill in the last bar and a kick with a crash on the
// next downbeat.
std::vector<Placement> GroovePlacements(uint32_t seed);

// True when the kits are installed; otherwise why names what is missing.
bool DrumKitsAvailable(std::string* why);

// ForzeeStereo at 48 kHz, 100 BPM, four bars: kicks, backbeats, ghost notes at
// velocity 0.12-0.21, sixteenth hats, a tom fill in the last bar and a crash on
// the next downbeat (the track ends with its ring).
DrumTrack DrumGroove(uint32_t seed);
// The groove's kick pattern alone, with the snare and hats bleeding in 24 dB down.
DrumTrack KickTrack(uint32_t seed);
// The groove's backbeats and ghost notes, with the kick and hats bleeding in.
DrumTrack SnareTrack(uint32_t seed);
// One bar of sixteenth-note kicks at 120 BPM, velocities 0.55-1.
DrumTrack SixteenthKicks(uint32_t seed);
// Six sixteenth-note toms at 100 BPM, high to low, velocities 0.7-1.
DrumTrack TomFill(uint32_t seed);
// ColomboAcousticDrumkit at 44.1 kHz: two bars of kick, snare and hats at
// 110 BPM through a small room (early reflections and a diffuse tail).
DrumTrack RoomLoop(uint32_t seed);
// dry through a small room (early reflections and a diffuse tail 0.45 s to
// -60 dB), with its hits as they were; the track grows by the tail.
DrumTrack WithRoom(const DrumTrack& dry);

// track at another rate (windowed-sinc interpolation, band-limited below the
// lower of the two Nyquist frequencies); hit frames move with it, rounded.
DrumTrack Resampled(const DrumTrack& track, double rate);

// All of the above, in the order listed.
std::vector<DrumTrack> AllDrumMaterial(uint32_t seed);

// Writes track as a 24-bit stereo WAV file; false on failure.
bool WriteDrumWav(const DrumTrack& track, const std::string& path);

// The fixed seed of the material, or KELO_TEST_SEED when set.
uint32_t DrumSeed();
