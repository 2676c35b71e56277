#include "lv2/ttl_ports.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "effect/kelo_params.h"
#include "lv2/lv2_link.h"

namespace {

// Symbols and units the table does not say. Symbols never change once
// published; a parameter missing here gets its name with '_' for spaces.
struct PortExtra {
    const char* name;
    const char* symbol;
    const char* unit;
};
const PortExtra kExtras[] = {
    {"monitor detect", "monitor", ""},
    {"process only detected signal", "process_only", ""},
    {"env time", "env_time", "units:s"},
};

std::string SymbolFrom(const char* name) {
    std::string symbol;
    for (const char* c = name; *c; ++c) {
        const char ch = *c;
        const bool keep = (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_';
        if (ch >= 'A' && ch <= 'Z')
            symbol += char(ch - 'A' + 'a');
        else
            symbol += keep ? ch : '_';
    }
    return symbol;
}

std::string UnitOf(const char* label) {
    if (!std::strcmp(label, "dB")) return "units:db";
    if (!std::strcmp(label, "Hz")) return "units:hz";
    if (!std::strcmp(label, "s")) return "units:s";
    return "";
}

} // namespace

std::vector<Lv2PortInfo> KeloParamPorts() {
    std::vector<Lv2PortInfo> ports;
    for (int index = 0; index < kParamCount; ++index) {
        const KeloParamDef* def = nullptr;
        for (const KeloParamDef& row : kKeloParams)
            if (row.index == index) def = &row;
        if (!def) continue;
        Lv2PortInfo port;
        port.port = kPortFirstParam + unsigned(index);
        port.name = def->name;
        port.symbol = SymbolFrom(def->name);
        port.unit = UnitOf(def->label);
        for (const PortExtra& extra : kExtras) {
            if (std::strcmp(extra.name, def->name) != 0) continue;
            port.symbol = extra.symbol;
            if (extra.unit[0]) port.unit = extra.unit;
        }
        port.toggled = def->isSwitch;
        port.defaultValue = def->defaultValue;
        port.min = def->isSwitch ? 0.0 : def->min;
        port.max = def->isSwitch ? 1.0 : def->max;
        port.steps = 0;
        if (!def->isSwitch && def->step > 0.0)
            port.steps = int(std::lround((port.max - port.min) / def->step)) + 1;
        ports.push_back(port);
    }
    return ports;
}

std::string TurtleDecimal(double value) {
    char text[64];
    // Up to 9 significant digits: every float port value survives the trip.
    std::snprintf(text, sizeof text, "%.9g", value);
    if (std::strchr(text, 'e')) std::snprintf(text, sizeof text, "%.12f", value);
    std::string out = text;
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

bool ValidSymbol(const std::string& symbol) {
    if (symbol.empty()) return false;
    for (size_t i = 0; i < symbol.size(); ++i) {
        const char c = symbol[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        const bool digit = c >= '0' && c <= '9';
        if (!(letter || (digit && i > 0))) return false;
    }
    return true;
}
