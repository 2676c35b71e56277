// The parameters as LV2 control ports, derived from the effect's parameter
// table: port number, symbol, name, range, default, steps, unit and toggles.
#pragma once

#include <string>
#include <vector>

struct Lv2PortInfo {
    unsigned port;      // port number (kPortFirstParam + parameter index)
    std::string symbol; // short, stable: hosts store it
    std::string name;   // the name the VST host sees
    double defaultValue, min, max;
    bool toggled;
    int steps;        // pprops:rangeSteps, 0 for none
    std::string unit; // a units: term ("units:db"), or empty
};

// One row per parameter, in parameter index order.
std::vector<Lv2PortInfo> KeloParamPorts();
// A Turtle decimal literal for value (always with a decimal point).
std::string TurtleDecimal(double value);
// True for a symbol LV2 accepts: [A-Za-z_][A-Za-z0-9_]*.
bool ValidSymbol(const std::string& symbol);
