// Parameters as kelo-render's user names them: by the name the host sees,
// with a value in the parameter's own unit, handed to the plug-in as the
// normalized value the host interface carries.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/host/host.h"

// Numbered host-side view of one parameter.
struct ParamInfo {
    int32_t index;
    std::string name;
};

// The plug-in's parameters with their names.
std::vector<ParamInfo> ListParams(PluginInstance& plugin);

// Sets each (name, value text) of sets on the plug-in, in order. "autofit" set
// on is not sent: fitFirst becomes true instead (the fit is the caller's, once
// everything else is set). False with a one-line reason in error for a name
// the plug-in does not have, a parameter that is not Kelo's or a value out of
// its range; what was set before stays set.
bool ApplySettings(PluginInstance& plugin, const std::vector<ParamInfo>& params,
                   const std::vector<std::pair<std::string, std::string>>& sets, bool& fitFirst,
                   std::string& error);
