// kelo-host: loads a VST 2.4 plug-in binary, prints what a host sees of it and
// runs a few blocks of a test tone through it; or opens its editor in a window
// of its own while the demo signal plays, drives it with the mouse and saves
// a picture of it.
//
//   kelo-host PLUGIN [--blocks N] [--block-size FRAMES] [--rate HZ]
//   kelo-host PLUGIN --editor [--play-demo SECONDS] [--mouse SEQUENCE]
//                    [--editor-png OUT.png] [--hold SECONDS]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/host/demo_signal.h"
#include "tools/host/editor_session.h"
#include "tools/host/host.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Options {
    std::string path;
    int32_t blocks = 8;
    int32_t blockSize = 512;
    double rate = 44100.0;
    // Editor mode.
    bool editor = false;
    double playDemo = 3.0; // seconds of the demo before the mouse and the picture
    std::string mouse;     // a mouse sequence (ParseMouseSequence)
    std::string png;       // picture of the editor
    bool stopped = false;  // transport stopped, silence in: nothing for the editor to show
    double hold =
        -1.0; // seconds to keep the window open after; -1: until closed, or 0 with a picture
};

constexpr const char* kUsage =
    "usage: kelo-host PLUGIN [--blocks N] [--block-size FRAMES] [--rate HZ]\n"
    "       kelo-host PLUGIN --editor [--play-demo SECONDS] [--mouse SEQUENCE]\n"
    "                        [--editor-png OUT.png] [--hold SECONDS] [--stopped]\n"
    "\n"
    "--editor opens the plug-in's editor in a window of its own and plays the demo\n"
    "signal through the plug-in (looped) while it is open; --editor-png implies it,\n"
    "saves what the editor shows after the demo and the mouse sequence, and closes.\n"
    "--stopped keeps the transport stopped and plays silence instead of the demo.\n"
    "A mouse sequence is steps at editor coordinates separated by ';', e.g.\n"
    "  \"press 120,80; drag 120,60 shift; release 120,60; wheel 40,40,-2;\n"
    "   dblclick 30,30; rclick 10,10; move 5,5; leave; wait 200\"\n"
    "(right button: rpress, rdrag, rrelease, rclick, rdblclick; modifiers shift,\n"
    "ctrl, alt).\n";

bool ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--blocks" && hasValue) {
            options.blocks = std::atoi(argv[++i]);
        } else if (arg == "--block-size" && hasValue) {
            options.blockSize = std::atoi(argv[++i]);
        } else if (arg == "--rate" && hasValue) {
            options.rate = std::atof(argv[++i]);
        } else if (arg == "--editor") {
            options.editor = true;
        } else if (arg == "--editor-png" && hasValue) {
            options.editor = true;
            options.png = argv[++i];
        } else if (arg == "--play-demo" && hasValue) {
            options.playDemo = std::atof(argv[++i]);
        } else if (arg == "--mouse" && hasValue) {
            options.mouse = argv[++i];
        } else if (arg == "--stopped") {
            options.stopped = true;
        } else if (arg == "--hold" && hasValue) {
            options.hold = std::atof(argv[++i]);
        } else if (options.path.empty() && arg.rfind("--", 0) != 0) {
            options.path = arg;
        } else {
            return false;
        }
    }
    return !options.path.empty() && options.blocks >= 0 && options.blockSize > 0 &&
           options.rate > 0 && options.playDemo >= 0.0 && options.playDemo <= 3600.0 &&
           options.hold <= 86400.0;
}

std::string FourCC(int32_t id) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((id >> shift) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

void PrintRecord(PluginInstance& plugin) {
    const VstEffectRecord& r = *plugin.Record();
    std::printf("effect      \"%s\"\n", plugin.EffectName().c_str());
    std::printf("vendor      \"%s\"\n", plugin.VendorString().c_str());
    std::printf("product     \"%s\"\n", plugin.ProductString().c_str());
    std::printf("unique id   '%s' (0x%08X)\n", FourCC(r.uniqueId).c_str(),
                static_cast<unsigned>(r.uniqueId));
    std::printf("version     %d\n", r.version);
    std::printf("flags       0x%X\n", static_cast<unsigned>(r.flags));
    std::printf("programs    %d\n", r.numPrograms);
    std::printf("parameters  %d\n", r.numParams);
    std::printf("channels    %d in, %d out\n", r.numInputs, r.numOutputs);
    std::printf("delay       %d samples\n", r.initialDelay);
    std::printf("vst version %ld\n", static_cast<long>(plugin.Dispatch(kVstOpGetVstVersion)));
}

void PrintParameters(PluginInstance& plugin) {
    for (int32_t i = 0; i < plugin.Record()->numParams; ++i) {
        std::printf("  %2d  %-30s %-12s %-6s  %.4f\n", i, plugin.ParamName(i).c_str(),
                    plugin.ParamDisplay(i).c_str(), plugin.ParamLabel(i).c_str(),
                    plugin.GetParameter(i));
    }
}

// Runs the blocks with a 440 Hz tone at -6 dB on every input; prints the peaks.
void RunBlocks(PluginInstance& plugin, const Options& options) {
    const VstEffectRecord& r = *plugin.Record();
    const int32_t frames = options.blockSize;
    std::vector<std::vector<float>> in(r.numInputs, std::vector<float>(frames));
    std::vector<std::vector<float>> out(r.numOutputs, std::vector<float>(frames));
    std::vector<float*> inPtrs, outPtrs;
    for (auto& channel : in)
        inPtrs.push_back(channel.data());
    for (auto& channel : out)
        outPtrs.push_back(channel.data());

    const double step = 2.0 * kPi * 440.0 / options.rate;
    double inPeak = 0.0, outPeak = 0.0;
    for (int32_t block = 0; block < options.blocks; ++block) {
        for (auto& channel : in)
            for (int32_t i = 0; i < frames; ++i)
                channel[i] = static_cast<float>(0.5 * std::sin(step * (block * frames + i)));
        plugin.ProcessReplacing(inPtrs.data(), outPtrs.data(), frames);
        for (auto& channel : in)
            for (float v : channel)
                inPeak = std::fmax(inPeak, std::fabs(v));
        for (auto& channel : out)
            for (float v : channel)
                outPeak = std::fmax(outPeak, std::fabs(v));
    }
    std::printf("ran %d blocks of %d frames at %.0f Hz: input peak %.4f, output peak %.4f\n",
                options.blocks, frames, options.rate, inPeak, outPeak);
}

// Opens the editor, plays the demo, runs the mouse sequence, saves the
// picture, holds the window open as asked. Returns the exit code.
int RunEditor(PluginInstance& plugin, const Options& options) {
    std::vector<MouseStep> steps;
    std::string error;
    if (!ParseMouseSequence(options.mouse, steps, error)) {
        std::fprintf(stderr, "kelo-host: --mouse: %s\n", error.c_str());
        return 2;
    }
    EditorSession session(plugin);
    if (!session.Open(error)) {
        std::fprintf(stderr, "kelo-host: %s\n", error.c_str());
        return 1;
    }
    std::printf("editor %d x %d open\n", session.Width(), session.Height());
    std::vector<float> signal = DemoSignal(options.rate);
    if (options.stopped) {
        plugin.Stop();
        std::fill(signal.begin(), signal.end(), 0.0f);
    }
    session.StartAudio(std::move(signal), options.rate, options.blockSize, true);
    session.Pump(int(options.playDemo * 1000.0));
    if (!session.Play(steps)) {
        std::fprintf(stderr, "kelo-host: the editor went away during the mouse sequence\n");
        return 1;
    }
    int code = 0;
    if (!options.png.empty()) {
        if (session.WritePng(options.png, error)) {
            std::printf("wrote %s\n", options.png.c_str());
        } else {
            std::fprintf(stderr, "kelo-host: %s\n", error.c_str());
            code = 1;
        }
    }
    // Without a picture the window stays until the user closes it.
    const double hold = options.hold >= 0.0 ? options.hold : options.png.empty() ? 86400.0 : 0.0;
    for (double left = hold * 1000.0; left > 0.0 && !session.UserClosed(); left -= 50.0)
        session.Pump(50);
    session.StopAudio();
    std::printf("played %.1f s of the demo signal\n",
                double(session.FramesPlayed()) / options.rate);
    session.Close();
    return code;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    PluginModule module;
    if (!module.Load(options.path)) {
        std::fprintf(stderr, "kelo-host: %s\n", module.Error().c_str());
        return 1;
    }
    PluginInstance plugin;
    if (!plugin.Create(module)) {
        std::fprintf(stderr, "kelo-host: the plug-in returned no effect\n");
        return 1;
    }
    plugin.Start(options.rate, options.blockSize);
    if (options.editor) {
        const int code = RunEditor(plugin, options);
        plugin.Close();
        return code;
    }
    PrintRecord(plugin);
    std::printf("parameters (name, display, label, normalized):\n");
    PrintParameters(plugin);
    RunBlocks(plugin, options);
    const auto automation = plugin.Automation();
    std::printf("automation notifications: %zu\n", automation.size());
    plugin.Close();
    return 0;
}
