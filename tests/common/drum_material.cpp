#include "tests/common/drum_material.h"
#include "tests/common/test_seed.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <sndfile.h>
#include <sys/stat.h>

namespace {

const char* const kKitRoot = "/usr/share/hydrogen/data/drumkits/";
const char* const kForzee = "ForzeeStereo";
const char* const kColombo = "ColomboAcousticDrumkit";

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Loads each file once per process; an unreadable file gives an empty sample.
const DrumSample& LoadSample(const std::string& path) {
    static std::map<std::string, DrumSample> cache;
    auto found = cache.find(path);
    if (found != cache.end()) return found->second;
    return cache[path] = ReadDrumSample(path);
}

// ForzeeStereo names its five velocity layers <Name>-0 .. <Name>-4, each for a
// fifth of the velocity range (drumkit.xml).
std::string ForzeeFile(DrumVoice voice, double velocity) {
    const char* name = "Kick";
    switch (voice) {
    case kKick:
        name = "Kick";
        break;
    case kSnare:
    case kGhost:
        name = "Snare";
        break;
    case kHat:
        name = "HiHatClosed";
        break;
    case kTomHigh:
        name = "TomHigh";
        break;
    case kTomMid:
        name = "TomMid";
        break;
    case kTomLow:
        name = "TomLow";
        break;
    case kCrash:
        name = "Crash18";
        break;
    }
    int layer = int(velocity * 5.0);
    layer = layer < 0 ? 0 : layer > 4 ? 4 : layer;
    if (voice == kCrash && layer > 3) layer = 3; // four layers
    return std::string(kKitRoot) + kForzee + "/" + name + "-" + std::to_string(layer) + ".wav";
}

std::string ColomboFile(DrumVoice voice) {
    const char* name = voice == kKick    ? "bassdrum-4mics-br-stereo-normal3.flac"
                       : voice == kSnare ? "snare-opaque-normal-mic-normal_shot2.flac"
                                         : "hihat-closed-1.flac";
    return std::string(kKitRoot) + kColombo + "/" + name;
}

// Uniform in [lo, hi) from the generator's raw output (the same on every
// standard library, unlike the distributions).
double Uniform(std::mt19937& rng, double lo, double hi) {
    return lo + (hi - lo) * (double(rng()) / 4294967296.0);
}

// Mixes sample into track from frame start at gain; returns the hit's onset.
size_t Mix(DrumTrack& track, const DrumSample& sample, size_t start, double gain) {
    const size_t need = start + sample.l.size();
    if (track.l.size() < need) {
        track.l.resize(need, 0.0);
        track.r.resize(need, 0.0);
    }
    for (size_t i = 0; i < sample.l.size(); ++i) {
        track.l[start + i] += gain * sample.l[i];
        track.r[start + i] += gain * sample.r[i];
    }
    return start + sample.onset;
}

// Ends track seconds after its last placed sound starts (the crash rings for
// twelve), fading the last 0.2 s out.
void EndAfter(DrumTrack& track, double seconds) {
    size_t last = 0;
    for (const DrumHit& hit : track.hits)
        last = std::max(last, hit.frame);
    const size_t end = last + size_t(seconds * track.rate);
    if (track.size() <= end) return;
    track.l.resize(end);
    track.r.resize(end);
    const size_t fade = size_t(0.2 * track.rate);
    for (size_t i = 0; i < fade; ++i) {
        const double g = double(i) / double(fade);
        track.l[end - 1 - i] *= g;
        track.r[end - 1 - i] *= g;
    }
}

} // namespace

std::vector<Placement> GroovePlacements(uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Placement> hits;
    const double step = 0.15, lead = 0.1;
    const auto add = [&](int s, DrumVoice voice, double lo, double hi, double jitter) {
        const double at = lead + s * step + Uniform(rng, -jitter, jitter);
        hits.push_back({at, Uniform(rng, lo, hi), voice});
    };
    const int kicks[4][4] = {{0, 6, 8, 11}, {0, 8, 10, -1}, {0, 6, 8, 11}, {0, 7, -1, -1}};
    const int ghosts[4][2] = {{7, 14}, {3, 15}, {7, 9}, {3, -1}};
    for (int bar = 0; bar < 4; ++bar) {
        const int b = bar * 16;
        for (int k : kicks[bar])
            if (k >= 0) add(b + k, kKick, k == 0 ? 0.85 : 0.55, k == 0 ? 1.0 : 0.85, 0.002);
        add(b + 4, kSnare, 0.8, 1.0, 0.002);
        if (bar < 3) add(b + 12, kSnare, 0.8, 1.0, 0.002);
        for (int g : ghosts[bar])
            if (g >= 0) add(b + g, kGhost, 0.12, 0.21, 0.003);
        const int hatSteps = bar < 3 ? 16 : 8;
        for (int s = 0; s < hatSteps; ++s)
            add(b + s, kHat, s % 2 ? 0.35 : 0.6, s % 2 ? 0.5 : 0.8, 0.004);
    }
    // The fill: high, high, mid, mid, low, low on the last six sixteenths.
    const DrumVoice toms[6] = {kTomHigh, kTomHigh, kTomMid, kTomMid, kTomLow, kTomLow};
    for (int i = 0; i < 6; ++i)
        add(48 + 10 + i, toms[i], 0.7, 1.0, 0.002);
    add(64, kKick, 0.9, 1.0, 0.0);
    add(64, kCrash, 0.8, 0.95, 0.0);
    return hits;
}

namespace {

// Builds a track from placements; gainOf gives each voice's mix gain (0 leaves
// it out), primary whether its hits are listed. Bleed arrives 1.5 ms late.
template <typename GainOf, typename Primary>
DrumTrack Build(const std::string& name, const std::vector<Placement>& placements, GainOf gainOf,
                Primary primary) {
    DrumTrack track;
    track.name = name;
    track.rate = 48000.0;
    for (const Placement& p : placements) {
        const double gain = gainOf(p.voice);
        if (gain <= 0.0) continue;
        const DrumSample& sample = LoadSample(ForzeeFile(p.voice, p.velocity));
        if (sample.l.empty()) continue;
        const bool listed = primary(p.voice);
        const double late = listed ? 0.0 : 0.0015;
        const size_t start = size_t(std::lround((p.seconds + late) * track.rate));
        const size_t onset = Mix(track, sample, start, gain * p.velocity);
        const double g = gain * p.velocity;
        if (listed)
            track.hits.push_back({onset, p.velocity, p.voice, g * sample.peak, g * sample.midPeak});
    }
    std::sort(track.hits.begin(), track.hits.end(),
              [](const DrumHit& a, const DrumHit& b) { return a.frame < b.frame; });
    EndAfter(track, 2.0);
    return track;
}

} // namespace

std::vector<DrumHit> DrumTrack::HitsOf(DrumVoice voice) const {
    std::vector<DrumHit> of;
    for (const DrumHit& hit : hits)
        if (hit.voice == voice) of.push_back(hit);
    return of;
}

bool DrumKitsAvailable(std::string* why) {
    for (const std::string& path :
         {std::string(kKitRoot) + kForzee + "/Kick-4.wav", ColomboFile(kKick)}) {
        if (!Exists(path)) {
            if (why) *why = path + " is missing (Debian package hydrogen-drumkits)";
            return false;
        }
    }
    return true;
}

DrumTrack DrumGroove(uint32_t seed) {
    return Build(
        "groove", GroovePlacements(seed), [](DrumVoice) { return 1.0; },
        [](DrumVoice) { return true; });
}

DrumTrack KickTrack(uint32_t seed) {
    return Build(
        "kick", GroovePlacements(seed), [](DrumVoice v) { return v == kKick ? 1.0 : 0.063; },
        [](DrumVoice v) { return v == kKick; });
}

DrumTrack SnareTrack(uint32_t seed) {
    return Build(
        "snare", GroovePlacements(seed),
        [](DrumVoice v) {
            return v == kSnare || v == kGhost ? 1.0 : v == kHat ? 0.2 : v == kKick ? 0.1 : 0.063;
        },
        [](DrumVoice v) { return v == kSnare || v == kGhost; });
}

DrumTrack SixteenthKicks(uint32_t seed) {
    std::mt19937 rng(seed ^ 0x16u);
    std::vector<Placement> hits;
    for (int s = 0; s < 16; ++s)
        hits.push_back({0.05 + s * 0.125 + Uniform(rng, -0.002, 0.002),
                        Uniform(rng, s % 4 ? 0.55 : 0.85, 1.0), kKick});
    DrumTrack track = Build(
        "kick16", hits, [](DrumVoice) { return 1.0; }, [](DrumVoice) { return true; });
    track.l.resize(track.l.size() + 4800, 0.0);
    track.r.resize(track.r.size() + 4800, 0.0);
    return track;
}

DrumTrack TomFill(uint32_t seed) {
    std::mt19937 rng(seed ^ 0x70u);
    const DrumVoice toms[6] = {kTomHigh, kTomHigh, kTomMid, kTomMid, kTomLow, kTomLow};
    std::vector<Placement> hits;
    for (int i = 0; i < 6; ++i)
        hits.push_back(
            {0.05 + i * 0.15 + Uniform(rng, -0.002, 0.002), Uniform(rng, 0.7, 1.0), toms[i]});
    return Build(
        "toms", hits, [](DrumVoice) { return 1.0; }, [](DrumVoice) { return true; });
}

DrumTrack RoomLoop(uint32_t seed) {
    std::mt19937 rng(seed ^ 0x400u);
    DrumTrack dry;
    dry.name = "room";
    dry.rate = 44100.0;
    const double step = 60.0 / 110.0 / 4.0;
    for (int s = 0; s < 32; ++s) {
        std::vector<DrumVoice> voices = {kHat};
        if (s % 8 == 0 || s % 16 == 10) voices.push_back(kKick);
        if (s % 8 == 4) voices.push_back(kSnare);
        for (DrumVoice v : voices) {
            const double velocity = v == kHat ? Uniform(rng, 0.3, 0.6) : Uniform(rng, 0.75, 1.0);
            const DrumSample& sample = LoadSample(ColomboFile(v));
            if (sample.l.empty()) continue;
            const double at = 0.05 + s * step + Uniform(rng, -0.002, 0.002);
            const size_t onset = Mix(dry, sample, size_t(std::lround(at * dry.rate)), velocity);
            dry.hits.push_back(
                {onset, velocity, v, velocity * sample.peak, velocity * sample.midPeak});
        }
    }
    std::sort(dry.hits.begin(), dry.hits.end(),
              [](const DrumHit& a, const DrumHit& b) { return a.frame < b.frame; });
    return WithRoom(dry);
}

DrumTrack WithRoom(const DrumTrack& dry) {
    // Early reflections, alternating sides, and four damped combs.
    DrumTrack room = dry;
    const size_t tail = size_t(0.6 * dry.rate);
    room.l.resize(dry.size() + tail, 0.0);
    room.r.resize(dry.size() + tail, 0.0);
    const double taps[4][2] = {{0.007, 0.35}, {0.013, 0.28}, {0.019, 0.22}, {0.029, 0.18}};
    for (int k = 0; k < 4; ++k) {
        const size_t d = size_t(taps[k][0] * dry.rate);
        std::vector<double>& side = k % 2 ? room.r : room.l;
        const std::vector<double>& from = k % 2 ? dry.l : dry.r;
        for (size_t i = 0; i < dry.size(); ++i)
            side[i + d] += taps[k][1] * from[i];
    }
    const double combs[4] = {0.0297, 0.0371, 0.0411, 0.0437};
    for (int k = 0; k < 4; ++k) {
        const size_t d = size_t(combs[k] * dry.rate);
        const double feedback = std::pow(0.001, combs[k] / 0.45); // 0.45 s to -60 dB
        std::vector<double> y(room.size(), 0.0);
        double damped = 0.0;
        for (size_t i = 0; i < y.size(); ++i) {
            const double x = i < dry.size() ? 0.5 * (dry.l[i] + dry.r[i]) : 0.0;
            const double back = i >= d ? y[i - d] : 0.0;
            damped = 0.6 * back + 0.4 * damped;
            y[i] = x + feedback * damped;
        }
        std::vector<double>& side = k % 2 ? room.r : room.l;
        for (size_t i = 0; i < y.size(); ++i)
            side[i] += 0.12 * (y[i] - (i < dry.size() ? 0.5 * (dry.l[i] + dry.r[i]) : 0.0));
    }
    return room;
}

DrumTrack Resampled(const DrumTrack& track, double rate) {
    if (rate == track.rate || !(rate > 0.0)) return track;
    DrumTrack out;
    out.name = track.name;
    out.rate = rate;
    const double step = track.rate / rate; // input frames per output frame
    const size_t n = size_t(double(track.size()) / step);
    out.l.resize(n, 0.0);
    out.r.resize(n, 0.0);
    // A sinc cut off at 0.45 of the lower rate, under a Blackman window of
    // kReach input frames on either side (scaled when going down).
    const double kPi = 3.14159265358979323846;
    const double cutoff = 0.45 * std::min(rate, track.rate) / track.rate; // cycles per input frame
    const int kReach = int(std::ceil(16.0 / (2.0 * cutoff)));
    for (size_t i = 0; i < n; ++i) {
        const double at = double(i) * step;
        const long centre = long(std::floor(at));
        double l = 0.0, r = 0.0;
        for (long k = centre - kReach + 1; k <= centre + kReach; ++k) {
            if (k < 0 || k >= long(track.size())) continue;
            const double x = at - double(k);
            const double w =
                0.42 + 0.5 * std::cos(kPi * x / kReach) + 0.08 * std::cos(2.0 * kPi * x / kReach);
            const double a = 2.0 * kPi * cutoff * x;
            const double sinc = x == 0.0 ? 2.0 * cutoff : 2.0 * cutoff * std::sin(a) / a;
            l += w * sinc * track.l[size_t(k)];
            r += w * sinc * track.r[size_t(k)];
        }
        out.l[i] = l;
        out.r[i] = r;
    }
    out.hits = track.hits;
    for (DrumHit& hit : out.hits)
        hit.frame = size_t(std::lround(double(hit.frame) / step));
    return out;
}

std::vector<DrumTrack> AllDrumMaterial(uint32_t seed) {
    return {DrumGroove(seed),     KickTrack(seed), SnareTrack(seed),
            SixteenthKicks(seed), TomFill(seed),   RoomLoop(seed)};
}

bool WriteDrumWav(const DrumTrack& track, const std::string& path) {
    SF_INFO info = {};
    info.samplerate = int(track.rate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    std::vector<double> frames(track.size() * 2);
    for (size_t i = 0; i < track.size(); ++i) {
        frames[2 * i] = track.l[i];
        frames[2 * i + 1] = track.r[i];
    }
    const sf_count_t written = sf_writef_double(file, frames.data(), sf_count_t(track.size()));
    sf_close(file);
    return written == sf_count_t(track.size());
}

uint32_t DrumSeed() {
    return TestSeed(20261209u);
}

DrumSample Analysed(DrumSample sample) {
    sample.peak = sample.midPeak = 0.0;
    for (size_t i = 0; i < sample.l.size(); ++i) {
        sample.peak =
            std::max(sample.peak, std::max(std::fabs(sample.l[i]), std::fabs(sample.r[i])));
        sample.midPeak = std::max(sample.midPeak, std::fabs(0.5 * (sample.l[i] + sample.r[i])));
    }
    sample.onset = 0;
    for (size_t i = 0; i < sample.l.size(); ++i)
        if (std::max(std::fabs(sample.l[i]), std::fabs(sample.r[i])) >= 0.05 * sample.peak) {
            sample.onset = i;
            break;
        }
    return sample;
}

DrumSample ReadDrumSample(const std::string& path) {
    DrumSample sample;
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return sample;
    std::vector<double> frames(size_t(info.frames) * size_t(info.channels));
    const sf_count_t got = sf_readf_double(file, frames.data(), info.frames);
    sf_close(file);
    sample.rate = info.samplerate;
    for (sf_count_t i = 0; i < got; ++i) {
        const double* f = &frames[size_t(i) * size_t(info.channels)];
        sample.l.push_back(f[0]);
        sample.r.push_back(info.channels > 1 ? f[1] : f[0]);
    }
    return Analysed(sample);
}
