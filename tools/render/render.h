// kelo-render: renders an audio file (or a built-in demo signal) through a VST
// 2.4 plug-in binary with the host harness, and writes the result. The render
// loop is here; the command line is in render_args.h, the parameter values in
// param_values.h, the autofit probe in autofit_probe.h, the files in
// render_files.h and the detector's report in detector_tap.h.
#pragma once

#include <ostream>

#include "tools/host/demo_signal.h"   // DemoSignal, the render's default input
#include "tools/render/render_args.h" // RenderOptions, ParseRenderArgs, RenderUsage

// Renders as the options say. The parameter list goes to out; messages go to
// err, and so does progress when showProgress is set. Returns the process exit
// code: 0 on success, 1 on any failure (with one message saying why).
int RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err,
              bool showProgress);
