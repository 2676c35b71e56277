// kelo-render's command line: the options, their parsing and the usage text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct RenderOptions {
    std::string plugin;                                    // plug-in binary
    std::string input;                                     // empty: the demo signal
    std::string output;                                    // required
    std::vector<std::pair<std::string, std::string>> sets; // parameter name, value text
    std::string loadState;                                 // state chunk to load first
    std::string saveState;                                 // state chunk to save after
    int32_t blockSize = 512;
    double rate = 0.0; // 0: the input's rate, 48000 Hz for the demo
    std::string plot;  // picture of the whole render (PNG), when given
    int32_t plotWidth = 1600, plotHeight = 600;
    std::string events;      // the detected events as CSV, when given
    double tempo = 0.0;      // beats per minute for the picture's bars; 0: none
    bool listParams = false; // print the parameters and exit
    bool help = false;
};

// Parses the command line (argv[0] is the program). On failure returns false
// with a one-line reason in error.
bool ParseRenderArgs(int argc, const char* const* argv, const std::string& defaultPlugin,
                     RenderOptions& options, std::string& error);

// The usage text.
std::string RenderUsage();

// Parses a whole text as a finite number (as a number given on the command line).
bool ParseNumber(const std::string& text, double& value);
