#include "tools/render/render.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <sndfile.h>

#include "draw/png_write.h"
#include "effect/detect_log.h"
#include "effect/kelo_params.h"
#include "plug/param.h"
#include "tools/host/host.h"
#include "tools/render/plot.h"

namespace {

const double kPi = 3.14159265358979323846;
const double kDemoRate = 48000.0;
const int32_t kMaxBlock = 65536;

// Parses a whole string as a finite number.
bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end && *end == '\0' && std::isfinite(value);
}

bool ParseInt(const std::string& text, int32_t lo, int32_t hi, int32_t& value) {
    double v;
    if (!ParseNumber(text, v) || v != std::floor(v) || v < lo || v > hi) return false;
    value = int32_t(v);
    return true;
}

// Numbered host-side view of one parameter.
struct ParamInfo {
    int32_t index;
    std::string name;
};

std::vector<ParamInfo> ListParams(PluginInstance& plugin) {
    std::vector<ParamInfo> params;
    const int32_t count = plugin.Record()->numParams;
    for (int32_t i = 0; i < count && i < 1000; ++i)
        params.push_back({i, plugin.ParamName(i)});
    return params;
}

// The normalized value the host hands over for a value text: the parameter's
// own conversion (from the effect's parameter table), and of the floats next to
// it the one the parameter turns into the value most nearly, so a value arrives
// as exactly as the 32-bit host interface carries it. Switches take on/off (or
// 1/0, true/false).
bool NormalizedFor(const KeloParamDef& def, const std::string& text, float& n, std::string& error) {
    Param param;
    DefineKeloParam(param, def);
    if (def.isSwitch) {
        if (text == "on" || text == "1" || text == "true")
            n = 1.0f;
        else if (text == "off" || text == "0" || text == "false")
            n = 0.0f;
        else {
            error = "value \"" + text + "\" for a switch: use on or off";
            return false;
        }
        return true;
    }
    double value;
    if (!ParseNumber(text, value)) {
        error = "value \"" + text + "\" is not a number";
        return false;
    }
    if (value < param.Min() || value > param.Max()) {
        char range[96];
        std::snprintf(range, sizeof range, "%g is outside %g .. %g", value, param.Min(),
                      param.Max());
        error = range;
        return false;
    }
    const float first = float(param.NormalizedOf(value));
    n = first;
    double best = -1.0;
    for (float candidate : {std::nextafter(first, 0.0f), first, std::nextafter(first, 1.0f)}) {
        if (candidate < 0.0f || candidate > 1.0f) continue;
        param.SetFromNormalized(candidate);
        const double miss = std::fabs(param.Value() - value);
        if (best < 0.0 || miss < best) {
            best = miss;
            n = candidate;
        }
    }
    return true;
}

// The path to hand to the loader: a bare file name means the file in the
// current folder (the loader would search the library path for it).
std::string PluginPath(const std::string& path) {
    return path.find('/') == std::string::npos ? "./" + path : path;
}

// Why bytes are not a Kelo state ("" when they are one): at least the tag and
// the eleven values, and the tag of Kelo's states.
std::string NotAKeloState(const std::vector<uint8_t>& bytes) {
    const size_t least = 4 + size_t(kParamCount) * 8;
    if (bytes.size() < least)
        return "too short (" + std::to_string(bytes.size()) + " bytes, a Kelo state has at least " +
               std::to_string(least) + ")";
    int32_t tag = 0;
    for (int i = 3; i >= 0; --i)
        tag = int32_t(uint32_t(tag) << 8 | bytes[size_t(i)]);
    if (tag != kKeloStateTag)
        return "its tag is " + std::to_string(tag) + ", not " + std::to_string(kKeloStateTag);
    return "";
}

// --set autofit=on for a whole file: fits the shape to the loudest event of the
// input before rendering. The plug-in finds its events itself: a probe pass
// with "gate" on and "shape env" off lets the input through only inside
// envelopes, so the envelopes are the stretches of output that are not silent.
// The loudest of them (by input peak) is then played again up to its end, with
// "autofit" switched on and off after every block so that the editor's display
// collects the whole event; the last fit has all of it. The state is restored
// around the probe and the transport starts again from the beginning.
bool FitToLoudestEvent(PluginInstance& plugin, const std::vector<float>& input, int32_t block,
                       std::string& error) {
    const size_t frames = input.size() / 2;
    const size_t size = size_t(block);
    std::vector<double> inL(size, 0.0), inR(size, 0.0), outL(size, 0.0), outR(size, 0.0);
    // Plays input frames from..to-1; after each block calls then(block end).
    auto play = [&](size_t from, size_t to, auto then) {
        for (size_t at = from; at < to; at += size_t(block)) {
            const int32_t n = int32_t(std::min(to - at, size_t(block)));
            for (int32_t i = 0; i < n; ++i) {
                inL[size_t(i)] = input[(at + size_t(i)) * 2];
                inR[size_t(i)] = input[(at + size_t(i)) * 2 + 1];
            }
            double* in[2] = {inL.data(), inR.data()};
            double* out[2] = {outL.data(), outR.data()};
            plugin.ProcessDouble(in, out, n);
            then(at, n);
        }
    };
    auto restart = [&plugin]() {
        plugin.SetMainsOn(false);
        plugin.MoveTo(0.0);
        plugin.SetMainsOn(true);
    };
    const std::vector<uint8_t> state = plugin.GetChunk();
    plugin.SetParameter(kParamGate, 1.0f);
    plugin.SetParameter(kParamShapeEnv, 0.0f);
    plugin.SetParameter(kParamMonitor, 0.0f);
    restart();
    // inside[i]: frame i lies in an envelope (a silent input frame continues one).
    std::vector<uint8_t> inside(frames, 0);
    play(0, frames, [&](size_t at, int32_t n) {
        for (int32_t i = 0; i < n; ++i) {
            const size_t f = at + size_t(i);
            const bool silentIn = input[f * 2] == 0.0f && input[f * 2 + 1] == 0.0f;
            inside[f] = outL[size_t(i)] != 0.0 || outR[size_t(i)] != 0.0 ||
                        (silentIn && f > 0 && inside[f - 1]);
        }
    });
    size_t bestEnd = 0;
    double bestPeak = -1.0;
    for (size_t f = 0; f < frames;) {
        if (!inside[f]) {
            ++f;
            continue;
        }
        double peak = 0.0;
        for (; f < frames && inside[f]; ++f)
            peak = std::max(peak, std::fabs(0.5 * (double(input[f * 2]) + input[f * 2 + 1])));
        if (peak > bestPeak) {
            bestPeak = peak;
            bestEnd = f;
        }
    }
    if (state.empty() || plugin.SetChunk(state.data(), intptr_t(state.size())) == 0) {
        error = "autofit: the plug-in's state could not be restored after the probe";
        return false;
    }
    if (bestPeak < 0.0) {
        error = "autofit: no event in the input reaches the threshold, nothing to fit to";
        return false;
    }
    restart();
    play(0, bestEnd, [&plugin](size_t, int32_t) {
        plugin.SetParameter(kParamAutofit, 1.0f);
        plugin.SetParameter(kParamAutofit, 0.0f);
        // Asked for on the thread that processes, the fit waits for a request
        // of a host's user-interface side: the idle call lets it run now.
        plugin.Dispatch(kVstOpIdle);
    });
    restart();
    return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary);
    if (!file) return false;
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(file);
}

// Reads an audio file as interleaved stereo (mono is doubled).
bool ReadAudio(const std::string& path, std::vector<float>& stereo, double& rate,
               std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        error = "cannot read \"" + path + "\": " + sf_strerror(nullptr);
        return false;
    }
    bool ok = true;
    if (info.channels != 1 && info.channels != 2) {
        error = "\"" + path + "\" has " + std::to_string(info.channels) +
                " channels; mono or stereo only";
        ok = false;
    } else if (info.frames > int64_t(1) << 31) {
        error = "\"" + path + "\" is too long";
        ok = false;
    } else {
        std::vector<float> samples(size_t(info.frames) * size_t(info.channels));
        const sf_count_t got = sf_readf_float(file, samples.data(), info.frames);
        stereo.assign(size_t(got) * 2, 0.0f);
        for (sf_count_t i = 0; i < got; ++i) {
            const size_t at = size_t(i) * size_t(info.channels);
            stereo[size_t(i) * 2] = samples[at];
            stereo[size_t(i) * 2 + 1] = samples[at + size_t(info.channels) - 1];
        }
        rate = info.samplerate;
    }
    sf_close(file);
    return ok;
}

bool WriteAudio(const std::string& path, const std::vector<float>& stereo, double rate,
                std::string& error) {
    SF_INFO info{};
    info.samplerate = int(rate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        error = "cannot write \"" + path + "\": " + sf_strerror(nullptr);
        return false;
    }
    const sf_count_t frames = sf_count_t(stereo.size() / 2);
    const bool ok = sf_writef_float(file, stereo.data(), frames) == frames;
    if (!ok) error = "cannot write \"" + path + "\": " + sf_strerror(file);
    sf_close(file);
    return ok;
}

void ShowProgress(std::ostream& err, size_t done, size_t total, int& shown) {
    const int percent = total ? int(done * 100 / total) : 100;
    if (percent == shown) return;
    shown = percent;
    const int width = 40, filled = percent * width / 100;
    err << "\r[" << std::string(size_t(filled), '#') << std::string(size_t(width - filled), '.')
        << "] " << percent << "%" << (percent == 100 ? "\n" : "") << std::flush;
}

// The detector's levels and events, asked of the plug-in through Kelo's
// vendor-specific request (effect/detect_log.h) after every block: the tool
// sees what the plug-in's own detector did, whatever its options, and never
// detects anything itself.
class DetectorTap {
public:
    // Starts the plug-in's log for blocks of up to block frames; false when the
    // plug-in does not keep one.
    bool Start(PluginInstance& plugin, int32_t block) {
        DetectLogSetup setup{int32_t(sizeof(DetectLogSetup)), block, kEventsPerRead};
        mOn = plugin.Dispatch(kVstOpVendorSpecific, kDetectLogTag, kDetectLogStart, &setup) == 1;
        mLevels.assign(size_t(block), 0.0);
        mEvents.resize(size_t(kEventsPerRead));
        return mOn;
    }
    // Takes what the log holds; last: the render's end, where an event still
    // running is handed out as cut short. False, with a reason, when levels
    // went missing.
    bool Drain(PluginInstance& plugin, bool last, std::string& error) {
        if (!mOn) return true;
        for (;;) {
            DetectLogRead read{};
            read.size = int32_t(sizeof(DetectLogRead));
            read.closeOpen = last ? 1 : 0;
            read.levels = mLevels.data();
            read.levelCapacity = int32_t(mLevels.size());
            read.events = mEvents.data();
            read.eventCapacity = int32_t(mEvents.size());
            if (plugin.Dispatch(kVstOpVendorSpecific, kDetectLogTag, kDetectLogRead, &read) != 1) {
                error = "the plug-in stopped answering for its detector";
                return false;
            }
            if (read.levelCount > 0 && read.levelStart != int64_t(band.size())) {
                error = "the plug-in's detector levels start at frame " +
                        std::to_string(read.levelStart) + ", not " + std::to_string(band.size());
                return false;
            }
            if (read.levelsDropped > 0 || read.eventsDropped > 0) {
                error = "the plug-in's detector log overflowed";
                return false;
            }
            band.insert(band.end(), mLevels.begin(), mLevels.begin() + read.levelCount);
            for (int32_t i = 0; i < read.eventCount; ++i) {
                const DetectLogEvent& e = mEvents[size_t(i)];
                events.push_back(PlotEvent{e.start, e.length, e.peak, e.full != 0});
            }
            threshold = read.threshold;
            if (read.levelCount < read.levelCapacity && read.eventCount < read.eventCapacity)
                return true;
        }
    }
    // Frees the plug-in's log; what was taken stays.
    void Stop(PluginInstance& plugin) {
        if (mOn) plugin.Dispatch(kVstOpVendorSpecific, kDetectLogTag, kDetectLogStop, nullptr);
    }
    // Whether the plug-in keeps the log (and the events are known).
    bool On() const { return mOn; }

    std::vector<float> band; // the band's level, one per frame rendered
    std::vector<PlotEvent> events;
    double threshold = 0.0;

private:
    static constexpr int32_t kEventsPerRead = 1024;
    bool mOn = false;
    std::vector<double> mLevels;
    std::vector<DetectLogEvent> mEvents;
};

// The events as CSV: start (seconds and frame), peak band level (dBFS and as
// a level) and whether the envelope ran its whole length.
std::string EventsCsv(const std::vector<PlotEvent>& events, double rate) {
    std::string csv = "start_s,start_frame,peak_db,peak,full_length\n";
    char line[160];
    for (const PlotEvent& e : events) {
        std::snprintf(line, sizeof line, "%.6f,%lld,%.2f,%.9g,%s\n", double(e.start) / rate,
                      static_cast<long long>(e.start), 20.0 * std::log10(e.peak), e.peak,
                      e.full ? "yes" : "no");
        csv += line;
    }
    return csv;
}

// Peak level of interleaved samples in dBFS; -inf for silence.
double PeakDb(const std::vector<float>& samples) {
    float peak = 0.0f;
    for (float v : samples)
        peak = std::max(peak, std::fabs(v));
    return 20.0 * std::log10(double(peak));
}

} // namespace

std::string RenderUsage() {
    return "usage: kelo-render [INPUT] --output FILE [options]\n"
           "Renders INPUT (any file libsndfile reads; without it, a built-in demo of\n"
           "drum hits over a sustained tone) through the plug-in into a stereo WAV file.\n"
           "\n"
           "  -o, --output FILE      the file to write (32-bit float WAV)\n"
           "  -i, --input FILE       the file to read (same as INPUT)\n"
           "  --set NAME=VALUE       sets a parameter by the name the host sees, to a\n"
           "                         value in its own unit (numbers, or on/off for\n"
           "                         switches); may be repeated, applied after --load-state;\n"
           "                         autofit=on fits the envelope shape to the loudest\n"
           "                         event of the input before rendering\n"
           "  --load-state FILE      loads a saved Kelo state before rendering\n"
           "  --save-state FILE      saves the state chunk after rendering\n"
           "  --block FRAMES         host block size, 1..65536 (default 512)\n"
           "  --rate HZ              sample rate of the demo, a whole number (default\n"
           "                         48000); an input file is rendered at its own rate\n"
           "  --plugin PATH          the plug-in binary (default: the one built with this\n"
           "                         tool); a bare file name is a file in this folder\n"
           "  --plot FILE            also draws the whole render into a PNG picture: the\n"
           "                         input, the detector band's level with the threshold\n"
           "                         and the detected events, and the output\n"
           "  --plot-size WxH        the picture's size in pixels (default 1600x600)\n"
           "  --tempo BPM            marks bars of four beats at this tempo in the picture\n"
           "                         (and tells the plug-in the tempo)\n"
           "  --events FILE          writes the detected events as CSV: start, peak band\n"
           "                         level, whether the envelope ran its whole length\n"
           "  --list                 prints the parameters (after --load-state and --set)\n"
           "  -h, --help             this text\n";
}

bool ParseRenderArgs(int argc, const char* const* argv, const std::string& defaultPlugin,
                     RenderOptions& options, std::string& error) {
    options = RenderOptions();
    options.plugin = defaultPlugin;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] ? argv[i] : "";
        // Options with a value take it from the next argument.
        auto value = [&](std::string& out) {
            if (i + 1 >= argc || !argv[i + 1]) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--list") {
            options.listParams = true;
        } else if (arg == "-o" || arg == "--output") {
            if (!value(options.output)) return false;
        } else if (arg == "-i" || arg == "--input") {
            if (!value(options.input)) return false;
        } else if (arg == "--plugin") {
            if (!value(options.plugin)) return false;
        } else if (arg == "--load-state") {
            if (!value(options.loadState)) return false;
        } else if (arg == "--save-state") {
            if (!value(options.saveState)) return false;
        } else if (arg == "--set") {
            if (!value(text)) return false;
            const size_t eq = text.find('=');
            if (eq == std::string::npos || eq == 0) {
                error = "--set takes NAME=VALUE, not \"" + text + "\"";
                return false;
            }
            options.sets.emplace_back(text.substr(0, eq), text.substr(eq + 1));
        } else if (arg == "--block") {
            if (!value(text)) return false;
            if (!ParseInt(text, 1, kMaxBlock, options.blockSize)) {
                error =
                    "--block takes a whole number of frames from 1 to 65536, not \"" + text + "\"";
                return false;
            }
        } else if (arg == "--rate") {
            if (!value(text)) return false;
            // A WAV file's header holds the rate as a whole number.
            if (!ParseNumber(text, options.rate) || options.rate < 1000.0 ||
                options.rate > 768000.0 || options.rate != std::floor(options.rate)) {
                error =
                    "--rate takes a whole number of Hz from 1000 to 768000, not \"" + text + "\"";
                return false;
            }
        } else if (arg == "--plot") {
            if (!value(options.plot)) return false;
        } else if (arg == "--events") {
            if (!value(options.events)) return false;
        } else if (arg == "--plot-size") {
            if (!value(text)) return false;
            const size_t x = text.find('x');
            int32_t w = 0, h = 0;
            if (x == std::string::npos ||
                !ParseInt(text.substr(0, x), PlotLayout::kMinWidth, PlotLayout::kMaxWidth, w) ||
                !ParseInt(text.substr(x + 1), PlotLayout::kMinHeight, PlotLayout::kMaxHeight, h)) {
                error = "--plot-size takes WIDTHxHEIGHT from " +
                        std::to_string(PlotLayout::kMinWidth) + "x" +
                        std::to_string(PlotLayout::kMinHeight) + " to " +
                        std::to_string(PlotLayout::kMaxWidth) + "x" +
                        std::to_string(PlotLayout::kMaxHeight) + ", not \"" + text + "\"";
                return false;
            }
            options.plotWidth = w;
            options.plotHeight = h;
        } else if (arg == "--tempo") {
            if (!value(text)) return false;
            if (!ParseNumber(text, options.tempo) || options.tempo < 10.0 ||
                options.tempo > 999.0) {
                error = "--tempo takes beats per minute from 10 to 999, not \"" + text + "\"";
                return false;
            }
        } else if (!arg.empty() && arg[0] != '-' && options.input.empty()) {
            options.input = arg;
        } else {
            error = "unknown argument \"" + arg + "\"";
            return false;
        }
    }
    if (options.help) return true;
    if (options.output.empty() && !options.listParams) {
        error = "no output file (--output FILE)";
        return false;
    }
    if (options.plugin.empty()) {
        error = "no plug-in binary (--plugin PATH)";
        return false;
    }
    return true;
}

int RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err,
              bool showProgress) {
    auto fail = [&err](const std::string& message) {
        err << "kelo-render: " << message << "\n";
        return 1;
    };
    std::string error;

    // The audio first: a missing input should not wait for the plug-in.
    std::vector<float> input;
    double rate = options.rate > 0.0 ? options.rate : kDemoRate;
    if (!options.input.empty()) {
        double fileRate = 0.0;
        if (!ReadAudio(options.input, input, fileRate, error)) return fail(error);
        if (options.rate > 0.0 && options.rate != fileRate)
            return fail("\"" + options.input + "\" is at " + std::to_string(int(fileRate)) +
                        " Hz; --rate cannot change it (no resampling)");
        rate = fileRate;
    } else if (!options.listParams) {
        input = DemoSignal(rate);
    }

    PluginModule module;
    if (!module.Load(PluginPath(options.plugin)))
        return fail("cannot load the plug-in \"" + options.plugin + "\": " + module.Error());
    PluginInstance plugin;
    if (!plugin.Create(module))
        return fail("the plug-in \"" + options.plugin + "\" made no effect");
    if (plugin.Record()->numInputs != 2 || plugin.Record()->numOutputs != 2)
        return fail("the plug-in is not a stereo effect");
    if (options.tempo > 0.0) plugin.Transport().tempo = options.tempo;
    plugin.Start(rate, options.blockSize);

    if (!options.loadState.empty()) {
        std::vector<uint8_t> chunk;
        if (!ReadFile(options.loadState, chunk))
            return fail("cannot read the state file \"" + options.loadState + "\"");
        const std::string why = NotAKeloState(chunk);
        if (!why.empty()) return fail("\"" + options.loadState + "\" is not a Kelo state: " + why);
        if (plugin.SetChunk(chunk.data(), intptr_t(chunk.size())) == 0)
            return fail("the plug-in refused the state in \"" + options.loadState + "\"");
    }

    const std::vector<ParamInfo> params = ListParams(plugin);
    bool fitFirst = false;
    for (const auto& set : options.sets) {
        const ParamInfo* found = nullptr;
        for (const ParamInfo& p : params)
            if (p.name == set.first) found = &p;
        if (!found) {
            std::string names;
            for (const ParamInfo& p : params)
                names += (names.empty() ? "\"" : ", \"") + p.name + "\"";
            return fail("no parameter named \"" + set.first + "\" (the plug-in has " + names + ")");
        }
        const KeloParamDef* def = FindKeloParam(set.first.c_str());
        if (!def || def->index != found->index)
            return fail("\"" + set.first +
                        "\" is not a parameter of Kelo's; its values are unknown");
        float n = 0.0f;
        if (!NormalizedFor(*def, set.second, n, error))
            return fail("\"" + set.first + "\": " + error);
        // Switching autofit on fits the shape to the input, once the rest is set.
        if (def->index == kParamAutofit && n >= 0.5f)
            fitFirst = true;
        else
            plugin.SetParameter(found->index, n);
    }
    if (fitFirst && !input.empty() && !FitToLoudestEvent(plugin, input, options.blockSize, error))
        return fail(error);

    if (options.listParams) {
        for (const ParamInfo& p : params) {
            std::string label = plugin.ParamLabel(p.index);
            out << p.index << "  " << p.name << " = " << plugin.ParamDisplay(p.index)
                << (label.empty() ? "" : " " + label) << "\n";
        }
        if (options.output.empty()) return 0;
    }

    // Render in host blocks through the 64-bit entry, the transport playing,
    // taking the detector's levels and events after every block.
    const size_t frames = input.size() / 2;
    DetectorTap tap;
    if (!tap.Start(plugin, options.blockSize) && (!options.plot.empty() || !options.events.empty()))
        return fail("the plug-in does not report its detector, so there is no --plot or --events");
    if (tap.On()) tap.band.reserve(frames);
    std::vector<float> output(frames * 2, 0.0f);
    std::vector<double> inL(size_t(options.blockSize)), inR(size_t(options.blockSize));
    std::vector<double> outL(size_t(options.blockSize)), outR(size_t(options.blockSize));
    const bool progress = showProgress && double(frames) > 5.0 * rate;
    int shown = -1;
    for (size_t at = 0; at < frames; at += size_t(options.blockSize)) {
        const int32_t n = int32_t(std::min(frames - at, size_t(options.blockSize)));
        for (int32_t i = 0; i < n; ++i) {
            inL[size_t(i)] = input[(at + size_t(i)) * 2];
            inR[size_t(i)] = input[(at + size_t(i)) * 2 + 1];
        }
        double* in[2] = {inL.data(), inR.data()};
        double* outs[2] = {outL.data(), outR.data()};
        plugin.ProcessDouble(in, outs, n);
        for (int32_t i = 0; i < n; ++i) {
            output[(at + size_t(i)) * 2] = float(outL[size_t(i)]);
            output[(at + size_t(i)) * 2 + 1] = float(outR[size_t(i)]);
        }
        if (!tap.Drain(plugin, at + size_t(n) >= frames, error)) return fail(error);
        if (progress) ShowProgress(err, at + size_t(n), frames, shown);
    }
    if (frames == 0 && !tap.Drain(plugin, true, error)) return fail(error);
    tap.Stop(plugin);

    if (!WriteAudio(options.output, output, rate, error)) return fail(error);
    if (!options.saveState.empty()) {
        const std::vector<uint8_t> chunk = plugin.GetChunk();
        if (chunk.empty()) return fail("the plug-in gave no state to save");
        if (!WriteFile(options.saveState, chunk))
            return fail("cannot write the state file \"" + options.saveState + "\"");
    }
    if (!options.events.empty()) {
        const std::string csv = EventsCsv(tap.events, rate);
        if (!WriteFile(options.events, std::vector<uint8_t>(csv.begin(), csv.end())))
            return fail("cannot write the events file \"" + options.events + "\"");
    }
    if (!options.plot.empty()) {
        RenderTrace trace;
        trace.input = input.data();
        trace.output = output.data();
        trace.band = tap.band.size() == frames ? tap.band.data() : nullptr;
        trace.frames = frames;
        trace.rate = rate;
        trace.threshold = tap.threshold;
        trace.tempo = options.tempo;
        trace.events = tap.events;
        char caption[64];
        std::snprintf(caption, sizeof caption, "threshold %.1f dB, %zu events",
                      20.0 * std::log10(tap.threshold), tap.events.size());
        trace.caption = (options.input.empty() ? std::string("demo") : options.input) + " -> " +
                        options.output + ", " + caption;
        std::vector<uint32_t> pixels;
        const PlotLayout layout =
            DrawRenderPlot(trace, options.plotWidth, options.plotHeight, pixels);
        const std::vector<uint8_t> png = EncodePlotPng(pixels, layout);
        if (png.empty() || !WriteFileBytes(options.plot, png))
            return fail("cannot write the picture \"" + options.plot + "\"");
    }
    plugin.Close();
    out << "kelo-render: " << frames << " frames (" << std::fixed << std::setprecision(2)
        << double(frames) / rate << " s at " << std::setprecision(0) << rate << " Hz) to \""
        << options.output << "\", peak in " << std::setprecision(1) << PeakDb(input)
        << " dBFS, peak out " << PeakDb(output) << " dBFS";
    if (tap.On())
        out << ", " << tap.events.size() << (tap.events.size() == 1 ? " event" : " events");
    out << "\n";
    return 0;
}
