#include "tools/host/validate/validate_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {
constexpr double kPi = 3.14159265358979323846;
}

const char* EntryName(Entry entry) {
    switch (entry) {
    case Entry::Replacing:
        return "replacing";
    case Entry::Accumulating:
        return "accumulating";
    case Entry::Double:
        return "double";
    case Entry::InPlace:
        return "in-place";
    }
    return "?";
}

bool HasEntry(const VstEffectRecord& record, Entry entry) {
    switch (entry) {
    case Entry::Replacing:
    case Entry::InPlace:
        return record.processReplacing != nullptr;
    case Entry::Accumulating:
        return record.process != nullptr;
    case Entry::Double:
        return record.processDoubleReplacing != nullptr &&
               (record.flags & kVstFlagCanDoubleReplacing) != 0;
    }
    return false;
}

std::vector<Entry> EntriesOf(const VstEffectRecord& record) {
    std::vector<Entry> entries;
    for (Entry e : {Entry::Replacing, Entry::Accumulating, Entry::Double, Entry::InPlace})
        if (HasEntry(record, e)) entries.push_back(e);
    return entries;
}

double PeakOf(const Audio& audio, int from) {
    double peak = 0.0;
    for (const auto& channel : audio.channels)
        for (size_t i = size_t(std::max(from, 0)); i < channel.size(); ++i)
            peak = std::max(peak, std::fabs(channel[i]));
    return peak;
}

long FirstNonFinite(const Audio& audio) {
    for (size_t c = 0; c < audio.channels.size(); ++c)
        for (size_t i = 0; i < audio.channels[c].size(); ++i)
            if (!std::isfinite(audio.channels[c][i])) return long(c * size_t(audio.frames) + i);
    return -1;
}

double MaxDifference(const Audio& a, const Audio& b, int from) {
    double most = 0.0;
    const size_t channels = std::min(a.channels.size(), b.channels.size());
    for (size_t c = 0; c < channels; ++c) {
        const size_t n = std::min(a.channels[c].size(), b.channels[c].size());
        for (size_t i = size_t(std::max(from, 0)); i < n; ++i) {
            const double d = std::fabs(a.channels[c][i] - b.channels[c][i]);
            if (!(d <= most)) most = std::isnan(d) ? INFINITY : d;
        }
    }
    return most;
}

Audio TestSignal(Rng& rng, int channels, int frames, double rate, double amplitude) {
    Audio audio(channels, frames);
    for (int c = 0; c < channels; ++c) {
        double phase = 0.0;
        const double f0 = 40.0 + 60.0 * c, f1 = std::min(12000.0, 0.45 * rate);
        // An exponential sweep from f0 to f1 over the signal.
        const double sweep = std::pow(f1 / f0, 1.0 / std::max(frames, 1));
        double frequency = f0;
        int burstLeft = 0;
        double burstGain = 0.0;
        for (int i = 0; i < frames; ++i) {
            // A new burst about every 50 ms: loud, then it dies away.
            if (burstLeft <= 0 && rng.Uniform() < 20.0 / rate) {
                burstLeft = int(rate * rng.Range(0.005, 0.04));
                burstGain = rng.Range(0.5, 1.0);
            }
            phase += 2.0 * kPi * frequency / rate;
            frequency *= sweep;
            double v = 0.15 * std::sin(phase) + 0.02 * rng.Range(-1.0, 1.0);
            if (burstLeft > 0) {
                v += burstGain * rng.Range(-1.0, 1.0);
                burstGain *= 0.9995;
                --burstLeft;
            }
            audio.channels[size_t(c)][size_t(i)] = std::clamp(v, -1.0, 1.0) * amplitude;
        }
    }
    return audio;
}

std::unique_ptr<PluginInstance> OpenInstance(CheckContext& context, double rate, int32_t blockSize,
                                             const HostOptions& options) {
    auto plugin = std::make_unique<PluginInstance>(options);
    if (!plugin->Create(context.module)) {
        context.Fail("the entry point returned no effect");
        return nullptr;
    }
    plugin->Start(rate, blockSize);
    return plugin;
}

namespace {

// Buffers for one call of an entry, sized for the largest block.
template <typename T>
struct Buffers {
    std::vector<std::vector<T>> in, out;
    std::vector<T*> inPtrs, outPtrs;
    Buffers(int inputs, int outputs, int frames)
        : in(size_t(inputs), std::vector<T>(size_t(std::max(frames, 1)))),
          out(size_t(outputs), std::vector<T>(size_t(std::max(frames, 1)))) {
        for (auto& c : in)
            inPtrs.push_back(c.data());
        for (auto& c : out)
            outPtrs.push_back(c.data());
        if (inPtrs.empty()) inPtrs.push_back(nullptr);
        if (outPtrs.empty()) outPtrs.push_back(nullptr);
    }
};

// What the accumulating entry finds in its outputs before it adds.
double Prefill(int channel, long frame) {
    return 0.25 * std::sin(0.01 * double(frame) + channel);
}

} // namespace

Audio Render(PluginInstance& plugin, Entry entry, const Audio& input,
             const std::vector<int>& blocks) {
    const VstEffectRecord& record = *plugin.Record();
    const int inputs = record.numInputs, outputs = record.numOutputs;
    int largest = 512; // room for the fallback block after a list of zeros
    for (int b : blocks)
        largest = std::max(largest, b);
    Audio result(outputs, input.frames);
    Buffers<float> f(std::max(inputs, outputs), outputs, largest);
    Buffers<double> d(inputs, outputs, largest);
    size_t next = 0;
    int done = 0, zeroRun = 0;
    while (done < input.frames) {
        int frames = blocks.empty() ? 512 : blocks[next++ % blocks.size()];
        if (frames <= 0) {
            // An empty call; guard against a list of zeros only.
            if (++zeroRun > int(blocks.size()))
                frames = 512;
            else {
                if (entry == Entry::Double)
                    plugin.ProcessDouble(d.inPtrs.data(), d.outPtrs.data(), 0);
                else
                    plugin.ProcessReplacing(f.inPtrs.data(), f.outPtrs.data(), 0);
                continue;
            }
        }
        zeroRun = 0;
        frames = std::min(frames, input.frames - done);
        auto inSample = [&](int c, int i) {
            return c < int(input.channels.size()) ? input.channels[size_t(c)][size_t(done + i)]
                                                  : 0.0;
        };
        if (entry == Entry::Double) {
            for (int c = 0; c < inputs; ++c)
                for (int i = 0; i < frames; ++i)
                    d.in[size_t(c)][size_t(i)] = inSample(c, i);
            plugin.ProcessDouble(d.inPtrs.data(), d.outPtrs.data(), frames);
            for (int c = 0; c < outputs; ++c)
                for (int i = 0; i < frames; ++i)
                    result.channels[size_t(c)][size_t(done + i)] = d.out[size_t(c)][size_t(i)];
        } else {
            // In place: the input sits in the output buffers, which are passed as both.
            auto& src = f.in; // as many channels as the larger side
            for (int c = 0; c < int(src.size()); ++c)
                for (int i = 0; i < frames; ++i)
                    src[size_t(c)][size_t(i)] = float(inSample(c, i));
            if (entry == Entry::InPlace) {
                std::vector<float*> both(f.inPtrs.begin(), f.inPtrs.end());
                plugin.ProcessReplacing(both.data(), both.data(), frames);
                for (int c = 0; c < outputs; ++c)
                    for (int i = 0; i < frames; ++i)
                        result.channels[size_t(c)][size_t(done + i)] = f.in[size_t(c)][size_t(i)];
            } else if (entry == Entry::Accumulating) {
                for (int c = 0; c < outputs; ++c)
                    for (int i = 0; i < frames; ++i)
                        f.out[size_t(c)][size_t(i)] = float(Prefill(c, done + i));
                plugin.ProcessAccumulating(f.inPtrs.data(), f.outPtrs.data(), frames);
                for (int c = 0; c < outputs; ++c)
                    for (int i = 0; i < frames; ++i)
                        result.channels[size_t(c)][size_t(done + i)] =
                            double(f.out[size_t(c)][size_t(i)]) -
                            double(float(Prefill(c, done + i)));
            } else {
                plugin.ProcessReplacing(f.inPtrs.data(), f.outPtrs.data(), frames);
                for (int c = 0; c < outputs; ++c)
                    for (int i = 0; i < frames; ++i)
                        result.channels[size_t(c)][size_t(done + i)] = f.out[size_t(c)][size_t(i)];
            }
        }
        done += frames;
    }
    return result;
}

std::vector<float> RandomizeParameters(PluginInstance& plugin, Rng& rng) {
    std::vector<float> values;
    for (int32_t i = 0; i < plugin.Record()->numParams; ++i) {
        values.push_back(float(rng.Uniform()));
        plugin.SetParameter(i, values.back());
    }
    return values;
}

int32_t ParamIndex(PluginInstance& plugin, const std::string& name) {
    for (int32_t i = 0; i < plugin.Record()->numParams; ++i)
        if (plugin.ParamName(i) == name) return i;
    return -1;
}

KnownPlugin KnownPluginOf(const VstEffectRecord& record) {
    KnownPlugin known;
    if (record.uniqueId == int32_t(0x6B6C6F78)) { // 'klox'
        // Kelo replaces a transient's level by its drawn shape (whose highest
        // level is at most the envelope scale's limit, +3 dB) and scales the rest
        // by at most the same ratio: four times the larger of the input's peak
        // and that limit leaves room for the band filters' overshoot.
        known.name = "Kelo";
        known.boundFactor = 4.0;
        known.boundFloor = 1.4125375446227544; // +3 dB
        known.bypass = {{"shape env", 0.0f}, {"gate", 0.0f}, {"monitor detect", 0.0f}};
        // The lookahead switch changes the latency; autofit and the other
        // options change the state.
        known.editorSpots = {{"lookahead 10 ms", 20, 595},
                             {"hear both polarities", 20, 579},
                             {"follow the hit's level", 20, 611},
                             {"autofit", 128, 322}};
    }
    return known;
}

double OutputBound(const KnownPlugin& known, double inputPeak) {
    if (known.boundFactor <= 0.0) return -1.0;
    return known.boundFactor * std::max(inputPeak, known.boundFloor);
}

std::string FourCC(int32_t id) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((uint32_t(id) >> shift) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

std::string Printable(const char* bytes, size_t size) {
    std::string text;
    for (size_t i = 0; i < size && bytes[i]; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 32 && c < 127) {
            text += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}
