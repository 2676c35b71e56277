// What the validator's checks share: opening instances, planar audio, test
// signals, rendering through one of the processing entries in given block
// sizes, comparing results, and what the validator knows of particular
// plug-ins (by unique ID) beyond what the interface declares.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/host.h"
#include "tools/host/validate/validate.h"

// Requests of the interface the rest of the harness has no use for.
constexpr int32_t kVstOpGetTailSize = 52;

// The processing entries, and the replacing one with the output buffers being
// the input buffers.
enum class Entry { Replacing, Accumulating, Double, InPlace };
const char* EntryName(Entry entry);
bool HasEntry(const VstEffectRecord& record, Entry entry);
std::vector<Entry> EntriesOf(const VstEffectRecord& record);

// Planar audio kept in double precision for comparisons.
struct Audio {
    std::vector<std::vector<double>> channels;
    int frames = 0;
    Audio() = default;
    Audio(int channelCount, int frameCount)
        : channels(size_t(channelCount), std::vector<double>(size_t(frameCount))),
          frames(frameCount) {}
};

double PeakOf(const Audio& audio, int from = 0);
// Index of the first sample that is not finite (channel * frames + frame), or -1.
long FirstNonFinite(const Audio& audio);
// Largest difference from frame `from` on (both must have the same shape).
double MaxDifference(const Audio& a, const Audio& b, int from = 0);

// A test signal: noise, a sweep and bursts separated by near-silence, peak at
// most amplitude; different on each channel.
Audio TestSignal(Rng& rng, int channels, int frames, double rate, double amplitude = 0.5);

// Creates an instance of the module and starts it (open, rate, block size,
// mains on). Null after a Fail when the plug-in gives no effect.
std::unique_ptr<PluginInstance> OpenInstance(CheckContext& context, double rate, int32_t blockSize,
                                             const HostOptions& options = HostOptions());

// Renders input through the instance with the entry, taking block sizes from
// blocks in turn (a 0 is sent as an empty call and takes no frames). The
// accumulating entry is handed outputs that already hold a signal, which is
// taken off again afterwards.
Audio Render(PluginInstance& plugin, Entry entry, const Audio& input,
             const std::vector<int>& blocks);

// Random normalized values for every parameter, set on the instance; returns them.
std::vector<float> RandomizeParameters(PluginInstance& plugin, Rng& rng);
// Parameter index by its name, or -1.
int32_t ParamIndex(PluginInstance& plugin, const std::string& name);

// What the validator knows of a plug-in beyond the interface, by unique ID.
struct KnownPlugin {
    std::string name; // empty: unknown
    // Output bound factor and floor: |out| <= boundFactor * max(input peak,
    // boundFloor). factor 0: no bound known (only finiteness is checked).
    double boundFactor = 0.0;
    double boundFloor = 0.0;
    // Parameter settings (by name, normalized) under which the output equals the
    // input exactly, delayed by the declared initial delay. Empty: none known.
    std::vector<std::pair<std::string, float>> bypass;
    // Places in the editor whose click makes the plug-in tell its host
    // something from the editor's side (a latency, the state), which random
    // gestures seldom hit: editor coordinates, with a name for the report.
    struct Spot {
        std::string name;
        int x, y;
    };
    std::vector<Spot> editorSpots;
};
KnownPlugin KnownPluginOf(const VstEffectRecord& record);
// The bound for an input peak, or a negative number when none is known.
double OutputBound(const KnownPlugin& known, double inputPeak);

std::string FourCC(int32_t id);
// Text of a buffer for a failure line: printable, non-printables as \xNN, at most max bytes.
std::string Printable(const char* bytes, size_t size);
