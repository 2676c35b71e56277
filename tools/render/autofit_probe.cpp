#include "tools/render/autofit_probe.h"

#include <algorithm>
#include <cmath>

#include "effect/kelo_params.h"
#include "plug/vst_abi.h"

namespace {

// The one place the tool asks the plug-in for a fit: "autofit" switched on
// and off again, which fits the shape to the levels of the last event the
// editor's display collected.
void AskForFit(PluginInstance& plugin) {
    plugin.SetParameter(kParamAutofit, 1.0f);
    plugin.SetParameter(kParamAutofit, 0.0f);
    // Asked for on the thread that processes, the fit waits for a request of
    // a host's user-interface side: the idle call lets it run now.
    plugin.Dispatch(kVstOpIdle);
}

} // namespace

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
    play(0, bestEnd, [&plugin](size_t, int32_t) { AskForFit(plugin); });
    restart();
    return true;
}
