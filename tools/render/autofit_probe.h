// kelo-render --set autofit=on: the envelope shape fitted to the loudest event
// of the whole input before the render.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/host/host.h"

// Fits the plug-in's shape to the loudest event of input (interleaved stereo),
// played in blocks of block frames; the plug-in's other settings and its
// transport are as before afterwards. False with a one-line reason when the
// input has no event or the plug-in's state cannot be restored.
bool FitToLoudestEvent(PluginInstance& plugin, const std::vector<float>& input, int32_t block,
                       std::string& error);
