// The product binary driven through the host harness for the autofit tests:
// audio played in host blocks, and autofit pressed as the editor's button
// presses it, from the host's user-interface thread.
#pragma once

#include <thread>

#include "effect/kelo_params.h"
#include "kelo_fixture.h"
#include "tools/host/host.h"

// Runs in through the plug-in, frames from..to, in host blocks of block frames.
inline void RunHost(PluginInstance& plugin, const Stereo& in, Stereo& out, size_t from, size_t to,
                    int block) {
    for (size_t i = from; i < to; i += size_t(block)) {
        const int n = int(to - i < size_t(block) ? to - i : size_t(block));
        double* ins[2] = {const_cast<double*>(&in.l[i]), const_cast<double*>(&in.r[i])};
        double* outs[2] = {&out.l[i], &out.r[i]};
        plugin.ProcessDouble(ins, outs, n);
    }
}

// The host's user-interface thread switches autofit on and off, as the
// momentary button does: the fit is done before the press returns (the
// audio thread, which processed so far, would only ask for it).
inline void PressAutofit(PluginInstance& plugin) {
    std::thread ui([&plugin] {
        plugin.SetParameter(kParamAutofit, 1.0f);
        plugin.SetParameter(kParamAutofit, 0.0f);
    });
    ui.join();
}
