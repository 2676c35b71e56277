#include "tools/render/render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>

#include "draw/png_write.h"
#include "tools/render/autofit_probe.h"
#include "tools/render/detector_tap.h"
#include "tools/render/param_values.h"
#include "tools/render/render_files.h"

namespace {

const double kDemoRate = 48000.0;

// The path to hand to the loader: a bare file name means the file in the
// current folder (the loader would search the library path for it).
std::string PluginPath(const std::string& path) {
#ifdef _WIN32
    const char* separators = "/\\:";
#else
    const char* separators = "/";
#endif
    return path.find_first_of(separators) == std::string::npos ? "./" + path : path;
}

// A progress bar on err, redrawn when the whole percentage changes.
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
    if (!ApplySettings(plugin, params, options.sets, fitFirst, error)) return fail(error);
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
#ifdef KELO_RENDER_PLOT
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
#endif
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
