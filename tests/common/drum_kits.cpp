#include "tests/common/drum_kits.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Says(const std::string& name, const char* word) {
    return name.find(word) != std::string::npos;
}

// The text of the first <tag>...</tag> in xml[from, to), with the five XML
// entities replaced; empty when there is none.
std::string TagText(const std::string& xml, const std::string& tag, size_t from, size_t to) {
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    const size_t begin = xml.find(open, from);
    if (begin == std::string::npos || begin >= to) return "";
    const size_t start = begin + open.size();
    const size_t end = xml.find(close, start);
    if (end == std::string::npos || end > to) return "";
    std::string text = xml.substr(start, end - start);
    const char* const entities[5][2] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (const auto& entity : entities)
        for (size_t at = text.find(entity[0]); at != std::string::npos;
             at = text.find(entity[0], at + 1))
            text.replace(at, std::string(entity[0]).size(), entity[1]);
    return text;
}

double Number(const std::string& text, double otherwise) {
    if (text.empty()) return otherwise;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    return end != text.c_str() && std::isfinite(v) ? v : otherwise;
}

// Every <tag>...</tag> block of xml[from, to) as [begin, end) ranges.
std::vector<std::pair<size_t, size_t>> Blocks(const std::string& xml, const std::string& tag,
                                              size_t from, size_t to) {
    std::vector<std::pair<size_t, size_t>> blocks;
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    for (size_t at = xml.find(open, from); at != std::string::npos && at < to;
         at = xml.find(open, at + 1)) {
        const size_t end = xml.find(close, at);
        if (end == std::string::npos || end > to) break;
        blocks.push_back({at, end + close.size()});
    }
    return blocks;
}

// How well an instrument's name (lower case) fits a voice: 0 not at all, more
// is better. Plain names win over variants (rimshots, rolls, pedal hats).
int Fit(const std::string& name, DrumVoice voice) {
    switch (voice) {
    case kKick:
        if (Says(name, "kick") || Says(name, "bass drum") || Says(name, "bassdrum"))
            return Says(name, "click") ? 0 : 2;
        return 0;
    case kSnare:
    case kGhost:
        if (!Says(name, "snare") || Says(name, "rim") || Says(name, "roll") || Says(name, "stick"))
            return 0;
        return Says(name, "jazz") || Says(name, "2") ? 1 : 2;
    case kHat:
        if (!(Says(name, "hat") || Says(name, "hh")) || Says(name, "open") || Says(name, "op") ||
            Says(name, "pedal") || Says(name, "foot") || Says(name, "pd"))
            return 0;
        return Says(name, "closed") || Says(name, " cl") ? 2 : 1;
    case kCrash:
        return Says(name, "crash") && !Says(name, "ride") && !Says(name, "choke") ? 1 : 0;
    default:
        return 0; // toms are placed by PlaceToms
    }
}

// Toms by name: high (1), mid (2) or low (3); 0 for a name with no height.
int TomHeight(const std::string& name) {
    if (Says(name, "floor") || Says(name, "low")) return 3;
    if (Says(name, "mid") || Says(name, "middle") || Says(name, " 2")) return 2;
    if (Says(name, "hi") || Says(name, " 1")) return 1;
    return 0;
}

void PlaceToms(const std::vector<KitInstrument>& all, DrumKit& kit) {
    std::vector<std::pair<int, const KitInstrument*>> toms;
    for (const KitInstrument& instrument : all) {
        const std::string name = Lower(instrument.name);
        // "tom" as a word's start ("Tom Hi", "tomhi2"), not inside one
        // ("Custom", "Kick Stomp").
        const size_t at = name.find("tom");
        if (at == std::string::npos || (at > 0 && std::isalpha((unsigned char)name[at - 1])) ||
            instrument.Empty())
            continue;
        // Unnamed heights go between the named ones; one tom per height, the
        // kit's first (copies such as "tomhi2" add nothing).
        const int height = TomHeight(name) ? TomHeight(name) : 2;
        bool taken = false;
        for (const auto& tom : toms)
            taken = taken || tom.first == height;
        if (!taken) toms.push_back({height, &instrument});
    }
    std::stable_sort(toms.begin(), toms.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (toms.empty()) return;
    kit.voices[kTomHigh] = *toms.front().second;
    kit.voices[kTomLow] = *toms.back().second;
    kit.voices[kTomMid] = *toms[toms.size() / 2].second;
    if (toms.size() == 2) kit.voices[kTomMid] = KitInstrument(); // two toms: high and low
}

DrumKit ReadKit(const std::string& name) {
    DrumKit kit;
    kit.name = name;
    const std::string dir = std::string(DrumKitRoot()) + name + "/";
    std::ifstream file(dir + "drumkit.xml");
    if (!file) return kit;
    std::stringstream text;
    text << file.rdbuf();
    const std::string xml = text.str();
    std::vector<KitInstrument> all;
    for (const auto& block : Blocks(xml, "instrument", 0, xml.size())) {
        KitInstrument instrument;
        instrument.name = TagText(xml, "name", block.first, block.second);
        for (const auto& layer : Blocks(xml, "layer", block.first, block.second)) {
            KitLayer l;
            const std::string file = TagText(xml, "filename", layer.first, layer.second);
            if (file.empty() || Says(file, "emptySample")) continue;
            l.path = dir + file;
            l.min = Number(TagText(xml, "min", layer.first, layer.second), 0.0);
            l.max = Number(TagText(xml, "max", layer.first, layer.second), 1.0);
            l.gain = Number(TagText(xml, "gain", layer.first, layer.second), 1.0);
            instrument.layers.push_back(l);
        }
        // Older kits give an instrument one file and no layers.
        if (instrument.layers.empty()) {
            const std::string file = TagText(xml, "filename", block.first, block.second);
            if (!file.empty() && !Says(file, "emptySample"))
                instrument.layers.push_back({dir + file, 0.0, 1.0, 1.0});
        }
        all.push_back(instrument);
    }
    for (DrumVoice voice : {kKick, kSnare, kHat, kCrash}) {
        int best = 0;
        for (const KitInstrument& instrument : all) {
            int fit = instrument.Empty() ? 0 : Fit(Lower(instrument.name), voice);
            // A snare whose files are rimshots is a variant too.
            if (voice == kSnare && fit > 1 && Says(Lower(instrument.layers[0].path), "rim"))
                fit = 1;
            if (fit > best) {
                best = fit;
                kit.voices[voice] = instrument;
            }
        }
    }
    kit.voices[kGhost] = kit.voices[kSnare];
    PlaceToms(all, kit);
    return kit;
}

} // namespace

std::vector<DrumVoice> DrumKit::Toms() const {
    std::vector<DrumVoice> toms;
    for (DrumVoice voice : {kTomHigh, kTomMid, kTomLow})
        if (Has(voice)) toms.push_back(voice);
    return toms;
}

const char* DrumKitRoot() {
    return "/usr/share/hydrogen/data/drumkits/";
}

bool DrumKitInstalled(const std::string& kit) {
    std::ifstream file(std::string(DrumKitRoot()) + kit + "/drumkit.xml");
    return bool(file);
}

const DrumKit& LoadDrumKit(const std::string& kit) {
    static std::map<std::string, DrumKit> cache;
    auto found = cache.find(kit);
    if (found != cache.end()) return found->second;
    return cache[kit] = ReadKit(kit);
}

const KitLayer* LayerFor(const KitInstrument& instrument, double velocity) {
    const KitLayer* nearest = nullptr;
    double distance = 1e9;
    for (const KitLayer& layer : instrument.layers) {
        if (velocity >= layer.min && velocity <= layer.max) return &layer;
        const double d = std::min(std::fabs(velocity - layer.min), std::fabs(velocity - layer.max));
        if (d < distance) {
            distance = d;
            nearest = &layer;
        }
    }
    return nearest;
}

const DrumSample& LoadDrumSample(const std::string& path, double rate) {
    static std::map<std::pair<std::string, double>, DrumSample> cache;
    const auto key = std::make_pair(path, rate);
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    DrumSample& sample = cache[key];
    const DrumSample file = ReadDrumSample(path);
    if (file.l.empty() || file.rate == rate) {
        sample = file;
        return sample;
    }
    // Resampled as the material is: the sample as a track of its own.
    DrumTrack track;
    track.rate = file.rate;
    track.l = file.l;
    track.r = file.r;
    const DrumTrack moved = Resampled(track, rate);
    DrumSample at;
    at.rate = rate;
    at.l = moved.l;
    at.r = moved.r;
    sample = Analysed(at);
    return sample;
}
