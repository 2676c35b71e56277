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

#include "tools/host/host.h"

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

// The displayed value of parameter index at normalized n, parsed as a number.
bool DisplayedAt(PluginInstance& plugin, int32_t index, float n, double& value) {
    plugin.SetParameter(index, n);
    return ParseNumber(plugin.ParamDisplay(index), value);
}

// Finds the normalized value that gives parameter index the real value text, as
// the plug-in displays it. Switches take on/off (or 1/0); numbers are mapped
// through the parameter's curve, which is found from what the plug-in displays
// at 0, 1/2 and 1: value = lo + n^curve (hi - lo).
bool NormalizedFor(PluginInstance& plugin, int32_t index, const std::string& text, float& n,
                   std::string& error) {
    const float before = plugin.GetParameter(index);
    plugin.SetParameter(index, 0.0f);
    const std::string offText = plugin.ParamDisplay(index);
    plugin.SetParameter(index, 1.0f);
    const std::string onText = plugin.ParamDisplay(index);
    if (offText == "off" && onText == "on") {
        plugin.SetParameter(index, before);
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
    double value, lo, mid, hi;
    const bool readable = DisplayedAt(plugin, index, 0.0f, lo) &&
                          DisplayedAt(plugin, index, 0.5f, mid) &&
                          DisplayedAt(plugin, index, 1.0f, hi);
    plugin.SetParameter(index, before);
    if (!ParseNumber(text, value)) {
        error = "value \"" + text + "\" is not a number";
        return false;
    }
    if (!readable || !(hi > lo)) {
        error = "the plug-in shows no numeric range for this parameter";
        return false;
    }
    // Display texts are rounded; a value within that rounding of an end is the end.
    const double slack = (hi - lo) * 1e-9;
    if (value < lo - slack || value > hi + slack) {
        char range[96];
        std::snprintf(range, sizeof range, "%g is outside %g .. %g", value, lo, hi);
        error = range;
        return false;
    }
    double curve = 1.0;
    const double midFraction = (mid - lo) / (hi - lo);
    if (midFraction > 0.0 && midFraction < 1.0) {
        curve = std::log(midFraction) / std::log(0.5);
        curve = std::round(curve * 1000.0) / 1000.0; // the texts' rounding, undone
    }
    double fraction = (value - lo) / (hi - lo);
    fraction = fraction < 0.0 ? 0.0 : fraction > 1.0 ? 1.0 : fraction;
    n = float(std::pow(fraction, 1.0 / curve));
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
           "                         value as displayed (numbers, or on/off for switches);\n"
           "                         may be repeated, applied after --load-state\n"
           "  --load-state FILE      loads a saved state chunk before rendering\n"
           "  --save-state FILE      saves the state chunk after rendering\n"
           "  --block FRAMES         host block size, 1..65536 (default 512)\n"
           "  --rate HZ              sample rate of the demo (default 48000); an input\n"
           "                         file is rendered at its own rate\n"
           "  --plugin PATH          the plug-in binary (default: the one built with this tool)\n"
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
            if (!ParseNumber(text, options.rate) || options.rate < 1000.0 ||
                options.rate > 768000.0) {
                error = "--rate takes a sample rate from 1000 to 768000 Hz, not \"" + text + "\"";
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

std::vector<float> DemoSignal(double rate) {
    const size_t frames = size_t(4.0 * rate);
    std::vector<float> stereo(frames * 2, 0.0f);
    uint32_t noise = 0x2545F491u;
    auto uniform = [&noise]() {
        noise = noise * 1664525u + 1013904223u;
        return double(noise >> 8) / 8388608.0 - 1.0;
    };
    const size_t hitEvery = size_t(0.5 * rate);
    const size_t lastHit = size_t(3.0 * rate);
    double phase = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        double left = 0.0, right = 0.0;
        // Hits: a falling low tone with a click (even) or a noise burst (odd).
        if (i <= lastHit + hitEvery) {
            const size_t hit = i / hitEvery;
            const double since = double(i % hitEvery) / rate;
            if (hit * hitEvery <= lastHit) {
                if (hit % 2 == 0) {
                    const double freq = 50.0 + 100.0 * std::exp(-since / 0.03);
                    phase += 2.0 * kPi * freq / rate;
                    const double body = 0.8 * std::sin(phase) * std::exp(-since / 0.12);
                    const double click = since < 0.004 ? 0.3 * uniform() : 0.0;
                    left += body + click;
                    right += body + click;
                } else {
                    const double decay = std::exp(-since / 0.06);
                    left += 0.5 * uniform() * decay + 0.3 * std::sin(2 * kPi * 190 * since) * decay;
                    right +=
                        0.5 * uniform() * decay + 0.3 * std::sin(2 * kPi * 190 * since) * decay;
                }
            }
        }
        // The sustained tone: fades in, holds, rings past the last hit.
        const double swell = std::min(1.0, t / 0.5) * std::min(1.0, (4.0 - t) / 0.2);
        const double chord = std::sin(2 * kPi * 220 * t) + 0.7 * std::sin(2 * kPi * 277.2 * t) +
                             0.5 * std::sin(2 * kPi * 329.6 * t);
        left += 0.08 * swell * chord;
        right += 0.08 * swell * (chord + 0.3 * std::sin(2 * kPi * 440.3 * t));
        stereo[i * 2] = float(left);
        stereo[i * 2 + 1] = float(right);
    }
    // Peaks at -1 dBFS, so the demo also survives a fixed-point output format.
    float peak = 0.0f;
    for (float v : stereo)
        peak = std::max(peak, std::fabs(v));
    if (peak > 0.0f)
        for (float& v : stereo)
            v *= 0.891f / peak;
    return stereo;
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
    if (!module.Load(options.plugin))
        return fail("cannot load the plug-in \"" + options.plugin + "\": " + module.Error());
    PluginInstance plugin;
    if (!plugin.Create(module))
        return fail("the plug-in \"" + options.plugin + "\" made no effect");
    if (plugin.Record()->numInputs != 2 || plugin.Record()->numOutputs != 2)
        return fail("the plug-in is not a stereo effect");
    plugin.Start(rate, options.blockSize);

    if (!options.loadState.empty()) {
        std::vector<uint8_t> chunk;
        if (!ReadFile(options.loadState, chunk))
            return fail("cannot read the state file \"" + options.loadState + "\"");
        if (chunk.empty()) return fail("the state file \"" + options.loadState + "\" is empty");
        if (plugin.SetChunk(chunk.data(), intptr_t(chunk.size())) == 0)
            return fail("the plug-in refused the state in \"" + options.loadState + "\"");
    }

    const std::vector<ParamInfo> params = ListParams(plugin);
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
        float n = 0.0f;
        if (!NormalizedFor(plugin, found->index, set.second, n, error))
            return fail("\"" + set.first + "\": " + error);
        plugin.SetParameter(found->index, n);
    }

    if (options.listParams) {
        for (const ParamInfo& p : params) {
            std::string label = plugin.ParamLabel(p.index);
            out << p.index << "  " << p.name << " = " << plugin.ParamDisplay(p.index)
                << (label.empty() ? "" : " " + label) << "\n";
        }
        if (options.output.empty()) return 0;
    }

    // Render in host blocks through the 64-bit entry, the transport playing.
    const size_t frames = input.size() / 2;
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
        if (progress) ShowProgress(err, at + size_t(n), frames, shown);
    }

    if (!WriteAudio(options.output, output, rate, error)) return fail(error);
    if (!options.saveState.empty()) {
        const std::vector<uint8_t> chunk = plugin.GetChunk();
        if (chunk.empty()) return fail("the plug-in gave no state to save");
        if (!WriteFile(options.saveState, chunk))
            return fail("cannot write the state file \"" + options.saveState + "\"");
    }
    plugin.Close();
    out << "kelo-render: " << frames << " frames (" << std::fixed << std::setprecision(2)
        << double(frames) / rate << " s at " << std::setprecision(0) << rate << " Hz) to \""
        << options.output << "\", peak in " << std::setprecision(1) << PeakDb(input)
        << " dBFS, peak out " << PeakDb(output) << " dBFS\n";
    return 0;
}
