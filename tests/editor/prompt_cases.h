// One table of value prompt cases, run against both faces (the X11 face
// natively, the Win32 face under Wine) on a -10..10 dB parameter: the user
// types text (or nothing) and presses Enter; the parameter then holds the
// expected value, or exactly the value it had.
#pragma once

#include <string>
#include <vector>

struct PromptCase {
    const char* typed; // null: Enter on the text as shown
    bool keeps;        // the value stays exactly as it was
    double value;      // otherwise the value taken
};

// The value the parameter holds before each case: its text rounds it, so
// committing the shown text would move it.
constexpr double kPromptStartValue = 8.73519;

inline const std::vector<PromptCase>& PromptCases() {
    static const std::vector<PromptCase> cases = {
        {nullptr, true, 0.0}, // unchanged: nothing commits
        {"2.25", false, 2.25}, {"-2,5", false, -2.5}, {"  4 dB", false, 4.0}, {"+4", false, 4.0},
        {"1e1", false, 10.0},  {"99", false, 10.0},   {"+-5", true, 0.0},     {"", true, 0.0},
        {"abc", true, 0.0},    {"nan", true, 0.0},    {"inf", true, 0.0},     {"1e999", true, 0.0},
        {"-", true, 0.0},      {".", true, 0.0},
    };
    return cases;
}

inline std::string PromptCaseName(const PromptCase& c) {
    return c.typed ? "\"" + std::string(c.typed) + "\"" : "(unchanged)";
}
