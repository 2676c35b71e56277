#include "tools/render/param_values.h"

#include <cmath>
#include <cstdio>

#include "effect/kelo_params.h"
#include "plug/param.h"
#include "tools/render/render_args.h"

namespace {

// The normalized value the host hands over for a value text: the parameter's
// own conversion (from the effect's parameter table), and of the floats next to
// it the one the parameter turns into the value most nearly, so a value arrives
// as exactly as the 32-bit host interface carries it. Switches take on/off (or
// 1/0, true/false).
bool NormalizedFor(const KeloParamDef& def, const std::string& text, float& n, std::string& error) {
    Param param;
    DefineKeloParam(param, def);
    if (def.isSwitch) {
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
    double value;
    if (!ParseNumber(text, value)) {
        error = "value \"" + text + "\" is not a number";
        return false;
    }
    if (value < param.Min() || value > param.Max()) {
        char range[96];
        std::snprintf(range, sizeof range, "%g is outside %g .. %g", value, param.Min(),
                      param.Max());
        error = range;
        return false;
    }
    const float first = float(param.NormalizedOf(value));
    n = first;
    double best = -1.0;
    for (float candidate : {std::nextafter(first, 0.0f), first, std::nextafter(first, 1.0f)}) {
        if (candidate < 0.0f || candidate > 1.0f) continue;
        param.SetFromNormalized(candidate);
        const double miss = std::fabs(param.Value() - value);
        if (best < 0.0 || miss < best) {
            best = miss;
            n = candidate;
        }
    }
    return true;
}

} // namespace

std::vector<ParamInfo> ListParams(PluginInstance& plugin) {
    std::vector<ParamInfo> params;
    const int32_t count = plugin.Record()->numParams;
    for (int32_t i = 0; i < count && i < 1000; ++i)
        params.push_back({i, plugin.ParamName(i)});
    return params;
}

bool ApplySettings(PluginInstance& plugin, const std::vector<ParamInfo>& params,
                   const std::vector<std::pair<std::string, std::string>>& sets, bool& fitFirst,
                   std::string& error) {
    auto fail = [&error](const std::string& message) {
        error = message;
        return false;
    };
    fitFirst = false;
    for (const auto& set : sets) {
        const ParamInfo* found = nullptr;
        for (const ParamInfo& p : params)
            if (p.name == set.first) found = &p;
        if (!found) {
            std::string names;
            for (const ParamInfo& p : params)
                names += (names.empty() ? "\"" : ", \"") + p.name + "\"";
            return fail("no parameter named \"" + set.first + "\" (the plug-in has " + names + ")");
        }
        const KeloParamDef* def = FindKeloParam(set.first.c_str());
        if (!def || def->index != found->index)
            return fail("\"" + set.first +
                        "\" is not a parameter of Kelo's; its values are unknown");
        float n = 0.0f;
        std::string why;
        if (!NormalizedFor(*def, set.second, n, why)) return fail("\"" + set.first + "\": " + why);
        // Switching autofit on fits the shape to the input, once the rest is set.
        if (def->index == kParamAutofit && n >= 0.5f)
            fitFirst = true;
        else
            plugin.SetParameter(found->index, n);
    }
    return true;
}
