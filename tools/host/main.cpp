// kelo-host: loads a VST 2.4 plug-in binary, prints what a host sees of it and
// runs a few blocks of a test tone through it; or opens its editor in a window
// of its own while the demo signal plays, drives it with the mouse and saves
// a picture of it.
//
//   kelo-host PLUGIN [--blocks N] [--block-size FRAMES] [--rate HZ]
//   kelo-host PLUGIN --editor [--play-demo SECONDS] [--mouse SEQUENCE]
//                    [--editor-png OUT.png] [--hold SECONDS] [--stopped] [--touch]
//                    [--waiting-host] [--editor-closed]
//   kelo-host PLUGIN --validate [--level 1..10] [--seed N] [--only CHECK]
//                    [--report FILE] [--in-process] [--timeout SECONDS]
//                    [editor options: the editor after the checks]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/demo_signal.h"
#include "tools/host/editor_session.h"
#include "tools/host/host.h"
#include "tools/host/touch.h"
#include "tools/host/validate/validate.h"

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
    bool touch = false;        // print and check the Touch-mode record
    bool waitingHost = false;  // answer edit callbacks by waiting for an audio block
    bool editorClosed = false; // the same window, audio and idle loop, no editor in it
    // Validation mode.
    bool validate = false;
    ValidateOptions validation;
    bool help = false;
};

constexpr const char* kUsage =
    "usage: kelo-host PLUGIN [--blocks N] [--block-size FRAMES] [--rate HZ]\n"
    "       kelo-host PLUGIN --editor [--play-demo SECONDS] [--mouse SEQUENCE]\n"
    "                        [--editor-png OUT.png] [--hold SECONDS] [--stopped]\n"
    "                        [--touch] [--waiting-host] [--editor-closed]\n"
    "\n"
    "--editor opens the plug-in's editor in a window of its own and plays the demo\n"
    "signal through the plug-in (looped) while it is open; --editor-png implies it,\n"
    "saves what the editor shows after the demo and the mouse sequence, and closes.\n"
    "--stopped keeps the transport stopped and plays silence instead of the demo.\n"
    "--editor-closed makes the window, plays and idles the same but never opens\n"
    "the plug-in's editor: what the host costs by itself, beside an open editor.\n"
    "A mouse sequence is steps at editor coordinates separated by ';', e.g.\n"
    "  \"press 120,80; drag 120,60 shift; release 120,60; wheel 40,40,-2;\n"
    "   dblclick 30,30; rclick 10,10; move 5,5; leave; wait 200\"\n"
    "(right button: rpress, rdrag, rrelease, rclick, rdblclick; modifiers shift,\n"
    "ctrl, alt).\n"
    "--touch prints what a host in Touch mode heard (begin edit, values, end edit,\n"
    "state changed) and fails when a value comes outside a begin/end pair.\n"
    "--waiting-host answers each of those calls by processing 16 frames on a\n"
    "thread of its own and waiting for it (the demo does not play then); it fails\n"
    "when a block could not run while the plug-in was calling.\n"
    "\n"
    "       kelo-host PLUGIN --validate [--level 1..10] [--seed N] [--only CHECK]\n"
    "                        [--report FILE] [--in-process] [--timeout SECONDS]\n"
    "\n"
    "--validate checks the binary from outside as a host's plug-in validator does:\n"
    "audio at every rate, block size and entry, parameters, state, lifecycle misuse,\n"
    "threads and the editor. It prints one line per check (PASS, FAIL or SKIP, the\n"
    "time it took and what it checks), the reasons under a failure followed by the\n"
    "command that repeats just that check, and last \"N passed, N failed\" (skipped\n"
    "checks count as neither). The exit status is 1 when a check failed, 2 for bad\n"
    "arguments.\n"
    "  --level     1..10, default 5 (what CI runs): higher runs longer and more at random\n"
    "  --seed      base of every check's random choices, default 1 (or KELO_TEST_SEED)\n"
    "  --only      one check, or a family (audio, params, state, lifecycle, threads,\n"
    "              editor)\n"
    "  --report    also write the lines to FILE\n"
    "  --in-process  run the checks in this process (by default each runs in a child\n"
    "              process, so a crash or a hang of the plug-in is reported as a failure;\n"
    "              Windows builds always run in process)\n"
    "  --timeout   seconds a check may take before it counts as hung (default 120 + 30\n"
    "              per level)\n"
    "With --editor or --editor-png as well, the editor is opened and pictured after\n"
    "the checks, in the same process; the exit status is the worse of the two.\n"
    "The output bound and the bypass settings are known for Kelo (unique ID 'klox'):\n"
    "|output| <= 4 x the larger of the input's peak and +3 dB (the highest level its\n"
    "drawn shape can reach);"
    " \"shape env\", \"gate\" and \"monitor detect\" off give the input back exactly.\n"
    "For other plug-ins the output must be finite and the bypass check is skipped.\n"
    "The editor check needs a display (skipped without one, failed when\n"
    "KELO_REQUIRE_DISPLAY is set). The checks:\n";

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
        } else if (arg == "--touch") {
            options.touch = true;
        } else if (arg == "--waiting-host") {
            options.waitingHost = true;
        } else if (arg == "--editor-closed") {
            options.editor = true;
            options.editorClosed = true;
        } else if (arg == "--stopped") {
            options.stopped = true;
        } else if (arg == "--hold" && hasValue) {
            options.hold = std::atof(argv[++i]);
        } else if (arg == "--validate") {
            options.validate = true;
        } else if (arg == "--level" && hasValue) {
            options.validation.level = std::atoi(argv[++i]);
        } else if (arg == "--seed" && hasValue) {
            options.validation.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--only" && hasValue) {
            options.validation.only = argv[++i];
        } else if (arg == "--report" && hasValue) {
            options.validation.report = argv[++i];
        } else if (arg == "--in-process") {
            options.validation.isolate = false;
        } else if (arg == "--timeout" && hasValue) {
            options.validation.timeoutSeconds = std::atof(argv[++i]);
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
            return true;
        } else if (options.path.empty() && arg.rfind("--", 0) != 0) {
            options.path = arg;
        } else {
            return false;
        }
    }
    return !options.path.empty() && options.validation.level >= 1 &&
           options.validation.level <= 10 && options.blocks >= 0 && options.blockSize > 0 &&
           options.rate > 0 && options.playDemo >= 0.0 && options.playDemo <= 3600.0 &&
           options.hold <= 86400.0 &&
           !(options.editorClosed && (!options.png.empty() || !options.mouse.empty()));
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

// Prints the Touch-mode record and its gestures; false when it is malformed.
bool ReportTouch(PluginInstance& plugin) {
    const std::vector<TouchEvent> record = plugin.TouchRecord();
    std::printf("touch record (%zu notes):\n%s", record.size(), FormatTouchRecord(record).c_str());
    std::vector<TouchGesture> gestures;
    int stateChanges = 0;
    std::string error;
    if (!SplitTouchGestures(record, gestures, stateChanges, error)) {
        std::fprintf(stderr, "kelo-host: touch record: %s\n", error.c_str());
        return false;
    }
    for (const TouchGesture& g : gestures)
        std::printf("gesture on %d \"%s\": %zu values\n", int(g.index),
                    plugin.ParamName(g.index).c_str(), g.values.size());
    std::printf("state changed %d times\n", stateChanges);
    return true;
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
    if (!session.Open(error, !options.editorClosed)) {
        std::fprintf(stderr, "kelo-host: %s\n", error.c_str());
        return 1;
    }
    std::printf("editor %d x %d %s\n", session.Width(), session.Height(),
                options.editorClosed ? "not opened" : "open");
    std::unique_ptr<WaitingHost> waiting;
    if (options.waitingHost) {
        waiting = std::make_unique<WaitingHost>(plugin);
    } else {
        std::vector<float> signal = DemoSignal(options.rate);
        if (options.stopped) {
            plugin.Stop();
            std::fill(signal.begin(), signal.end(), 0.0f);
        }
        session.StartAudio(std::move(signal), options.rate, options.blockSize, true);
    }
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
    // In long rounds, so the idle calls keep their beat.
    for (double left = hold * 1000.0; left > 0.0 && !session.UserClosed(); left -= 1000.0)
        session.Pump(int(std::min(left, 1000.0)));
    session.StopAudio();
    std::printf("played %.1f s of the demo signal\n",
                double(session.FramesPlayed()) / options.rate);
    session.Close();
    if (waiting) {
        std::printf("waiting host: %d calls, %d blocks, %d stalled\n", waiting->Calls(),
                    int(waiting->Blocks()), waiting->Stalls());
        if (waiting->Stalls() > 0) code = 1;
        waiting.reset();
    }
    if (options.touch && !ReportTouch(plugin)) code = 1;
    return code;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (const char* seed = std::getenv("KELO_TEST_SEED"))
        options.validation.seed = std::strtoull(seed, nullptr, 10);
    if (!ParseArguments(argc, argv, options) || options.help) {
        std::fputs(kUsage, options.help ? stdout : stderr);
        if (options.help) std::fputs(CheckListText().c_str(), stdout);
        return options.help ? 0 : 2;
    }
    int code = 0;
    if (options.validate) {
        options.validation.path = options.path;
        options.validation.self = argv[0];
        code = RunValidation(options.validation);
        // With editor options too, the editor follows in this process: one
        // start where starting costs much (an emulated Wine).
        if (!options.editor || code == 2) return code;
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
        code = std::max(code, RunEditor(plugin, options));
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
