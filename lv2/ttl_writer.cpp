// kelo-lv2-ttl BUNDLE_DIR: writes the bundle's manifest.ttl and kelo.ttl from
// the effect's parameter table, so names, ranges, defaults and steps are
// written once. Run by the build.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "effect/kelo_params.h"
#include "lv2/lv2_link.h"
#include "lv2/ttl_ports.h"
#include "plug/param.h"

namespace {

const char* const kPrefixes = "@prefix atom:  <http://lv2plug.in/ns/ext/atom#> .\n"
                              "@prefix doap:  <http://usefulinc.com/ns/doap#> .\n"
                              "@prefix foaf:  <http://xmlns.com/foaf/0.1/> .\n"
                              "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
                              "@prefix log:   <http://lv2plug.in/ns/ext/log#> .\n"
                              "@prefix opts:  <http://lv2plug.in/ns/ext/options#> .\n"
                              "@prefix pprops: <http://lv2plug.in/ns/ext/port-props#> .\n"
                              "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
                              "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
                              "@prefix time:  <http://lv2plug.in/ns/ext/time#> .\n"
                              "@prefix ui:    <http://lv2plug.in/ns/extensions/ui#> .\n"
                              "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
                              "@prefix urid:  <http://lv2plug.in/ns/ext/urid#> .\n\n";

bool WriteFile(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

std::string Quoted(const char* text) {
    std::string out = "\"";
    for (const char* c = text; *c; ++c) {
        if (*c == '"' || *c == '\\') out += '\\';
        out += *c;
    }
    return out + "\"";
}

std::string ParamPort(const Lv2PortInfo& port) {
    std::string t = "    a lv2:InputPort , lv2:ControlPort ;\n";
    t += "    lv2:index " + std::to_string(port.port) + " ;\n";
    t += "    lv2:symbol \"" + port.symbol + "\" ;\n";
    t += "    lv2:name " + Quoted(port.name.c_str()) + " ;\n";
    t += "    lv2:default " + TurtleDecimal(port.defaultValue) + " ;\n";
    t += "    lv2:minimum " + TurtleDecimal(port.min) + " ;\n";
    t += "    lv2:maximum " + TurtleDecimal(port.max);
    if (port.toggled) {
        t += " ;\n    lv2:portProperty lv2:toggled";
    } else if (port.steps > 0) {
        t += " ;\n    pprops:rangeSteps " + std::to_string(port.steps);
    }
    if (!port.unit.empty()) t += " ;\n    units:unit " + port.unit;
    return t + "\n  ] , [\n";
}

std::string PluginTtl() {
    std::string t = kPrefixes;
    t += "<" KELO_LV2_URI ">\n";
    t += "  a lv2:Plugin , lv2:DynamicsPlugin , doap:Project ;\n";
    t += "  doap:name \"Kelo\" ;\n";
    t += "  rdfs:comment \"A stereo transient shaper: a band-limited detector starts an envelope "
         "of drawn shape whenever the band's level reaches the threshold.\" ;\n";
    t += "  doap:maintainer [ foaf:name \"mirel\" ] ;\n";
    t += "  lv2:optionalFeature urid:map , lv2:hardRTCapable , log:log , opts:options ;\n";
    t += "  lv2:extensionData state:interface ;\n";
    t += "  ui:ui <" KELO_LV2_UI_URI "> ;\n";
    t += "  lv2:port [\n";
    const char* audio[4][3] = {{"in_l", "in left", "Input"},
                               {"in_r", "in right", "Input"},
                               {"out_l", "out left", "Output"},
                               {"out_r", "out right", "Output"}};
    for (int i = 0; i < 4; ++i) {
        t += std::string("    a lv2:AudioPort , lv2:") + audio[i][2] + "Port ;\n";
        t += "    lv2:index " + std::to_string(i) + " ;\n";
        t += std::string("    lv2:symbol \"") + audio[i][0] + "\" ;\n";
        t += std::string("    lv2:name \"") + audio[i][1] + "\"\n  ] , [\n";
    }
    t += "    a lv2:InputPort , atom:AtomPort ;\n";
    t += "    lv2:index " + std::to_string(kPortTime) + " ;\n";
    t += "    lv2:symbol \"time\" ;\n";
    t += "    lv2:name \"time position\" ;\n";
    t += "    atom:bufferType atom:Sequence ;\n";
    t += "    atom:supports time:Position ;\n";
    t += "    lv2:portProperty lv2:connectionOptional\n  ] , [\n";
    t += "    a lv2:OutputPort , lv2:ControlPort ;\n";
    t += "    lv2:index " + std::to_string(kPortLatency) + " ;\n";
    t += "    lv2:symbol \"latency\" ;\n";
    t += "    lv2:name \"latency\" ;\n";
    t += "    lv2:default 0 ;\n    lv2:minimum 0 ;\n    lv2:maximum 192000 ;\n";
    t += "    units:unit units:frame ;\n";
    t += "    lv2:portProperty lv2:reportsLatency , lv2:integer\n  ] , [\n";
    for (const Lv2PortInfo& port : KeloParamPorts())
        t += ParamPort(port);
    t += "    a lv2:OutputPort , atom:AtomPort ;\n";
    t += "    lv2:index " + std::to_string(kPortNotify) + " ;\n";
    t += "    lv2:symbol \"notify\" ;\n";
    t += "    lv2:name \"notify\" ;\n";
    t += "    atom:bufferType atom:Sequence ;\n";
    t += "    atom:supports state:StateChanged ;\n";
    t += "    lv2:portProperty lv2:connectionOptional\n  ] .\n";
    t += "\n<" KELO_LV2_UI_URI ">\n";
    t += "  a ui:X11UI ;\n";
    t += "  lv2:requiredFeature ui:idleInterface , ui:parent ,\n";
    t += "    <http://lv2plug.in/ns/ext/instance-access> ;\n";
    t += "  lv2:optionalFeature ui:resize , ui:touch ;\n";
    t += "  lv2:extensionData ui:idleInterface .\n";
    return t;
}

std::string ManifestTtl() {
    std::string t = kPrefixes;
    t += "<" KELO_LV2_URI ">\n  a lv2:Plugin ;\n  lv2:binary <kelo.so> ;\n";
    t += "  rdfs:seeAlso <kelo.ttl> .\n\n";
    t += "<" KELO_LV2_UI_URI ">\n  a ui:X11UI ;\n  ui:binary <kelo_ui.so> ;\n";
    t += "  rdfs:seeAlso <kelo.ttl> .\n";
    return t;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kelo-lv2-ttl BUNDLE_DIR\n");
        return 2;
    }
    // Symbols are what hosts store: each must be a valid, unique C identifier.
    std::set<std::string> symbols;
    for (const Lv2PortInfo& port : KeloParamPorts()) {
        if (!ValidSymbol(port.symbol) || !symbols.insert(port.symbol).second) {
            std::fprintf(stderr, "kelo-lv2-ttl: bad or repeated symbol \"%s\"\n",
                         port.symbol.c_str());
            return 1;
        }
    }
    // The ports added later follow the parameters, each at the number it first had.
    if (kPortFirstParam + KeloParamPorts().size() != kPortNotify) {
        std::fprintf(stderr, "kelo-lv2-ttl: the parameters no longer end at the notify port\n");
        return 1;
    }
    const std::string dir = argv[1];
    if (!WriteFile(dir + "/manifest.ttl", ManifestTtl()) ||
        !WriteFile(dir + "/kelo.ttl", PluginTtl())) {
        std::fprintf(stderr, "kelo-lv2-ttl: cannot write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
