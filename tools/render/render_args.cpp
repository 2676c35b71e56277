#include "tools/render/render_args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "tools/render/plot.h"

namespace {

const int32_t kMaxBlock = 65536;

bool ParseInt(const std::string& text, int32_t lo, int32_t hi, int32_t& value) {
    double v;
    if (!ParseNumber(text, v) || v != std::floor(v) || v < lo || v > hi) return false;
    value = int32_t(v);
    return true;
}

} // namespace

// Parses a whole string as a finite number.
bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end && *end == '\0' && std::isfinite(value);
}

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
#ifndef KELO_RENDER_PLOT
    if (!options.plot.empty()) {
        error = "--plot is not available in this build (the picture's text needs FreeType, which "
                "the Linux build has)";
        return false;
    }
#endif
    return true;
}
