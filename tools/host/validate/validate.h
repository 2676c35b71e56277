// kelo-host --validate: checks a VST 2.4 plug-in binary from outside, the way a
// host's plug-in validator does. Each check is a function in one family file
// (validate_audio.cpp, validate_params.cpp, validate_state.cpp,
// validate_lifecycle.cpp, validate_threads.cpp, validate_editor.cpp); the runner
// (validate.cpp) runs each in a child process where the platform has fork, so a
// crashing or hanging plug-in becomes a failure line instead of the end of the run.
//
// A check receives a CheckContext: the loaded module, its level (1..10: higher
// runs longer and more random), a random generator seeded from --seed and the
// check's name (so --only NAME reproduces the same run), and Fail/Note/Skip to
// report. Helpers for instances, buffers and signals are in validate_support.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/host/host.h"

struct ValidateOptions {
    std::string path;          // the plug-in binary
    int level = 5;             // 1..10
    uint64_t seed = 1;         // base seed; each check derives its own
    std::string only;          // a check name or a family ("audio"); empty: all
    std::string report;        // file that receives a copy of the lines
    bool isolate = true;       // one child process per check (POSIX)
    double timeoutSeconds = 0; // per check; 0: chosen from the level
    std::string self;          // this program's path, for the reproduce lines
};

// A small deterministic generator (SplitMix64), the same on every platform.
class Rng {
public:
    explicit Rng(uint64_t seed) : mState(seed) {}
    uint64_t Next() {
        uint64_t z = (mState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double Uniform() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); } // [0, 1)
    double Range(double low, double high) { return low + (high - low) * Uniform(); }
    int Int(int low, int high) { // [low, high]
        return low + int(Next() % uint64_t(high - low + 1));
    }

private:
    uint64_t mState;
};

class CheckContext {
public:
    CheckContext(const PluginModule& module, const ValidateOptions& options, uint64_t seed)
        : module(module), options(options), rng(seed) {}

    const PluginModule& module;
    const ValidateOptions& options;
    Rng rng;

    int Level() const { return options.level; }
    // Scales a count with the level: base at level 5, proportionally above and below
    // (at least 1).
    int Scaled(int base) const;

    // A failure with its reason (printf-style); the check goes on unless it returns.
    void Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A line of information printed under the check's verdict.
    void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The check does not apply to this plug-in (a reason is printed).
    void Skip(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The check runs in another form than its description says (where the
    // system under the host cannot run the usual one); the verdict line shows
    // this text, which says what was checked instead and why, in its place.
    void Adapt(const char* format, ...) __attribute__((format(printf, 2, 3)));

    bool Failed() const { return mFailures > 0; }
    bool Skipped() const { return mSkipped; }
    const std::string& Adapted() const { return mAdapted; }
    const std::vector<std::string>& Lines() const { return mLines; }
    // Lines are also handed to this function as they come (the child process
    // streams them to the runner); may be null.
    void (*sink)(const std::string& line, void* user) = nullptr;
    void* sinkUser = nullptr;

private:
    void Add(const std::string& line);
    int mFailures = 0;
    bool mSkipped = false;
    std::string mAdapted;
    std::vector<std::string> mLines;
};

struct Check {
    const char* name; // "family.check"
    const char* what; // one line for --help and the report
    void (*run)(CheckContext& context);
};

// Why several threads cannot be run side by side in this process, or null
// when they can. The runner of 32-bit Wine under qemu-i386 sets KELO_EMULATOR
// to "qemu-i386" where its probe (tools/wine32-tls-probe.c) finds that all
// threads share one TLS descriptor per slot: a thread started while two
// others run then takes their thread data from them (the emulator's fault,
// not the plug-in's; tools/wine32.sh has the details).
const char* ThreadsUnreliable();

// Each family file appends its checks.
void AddAudioChecks(std::vector<Check>& checks);
void AddParamChecks(std::vector<Check>& checks);
void AddStateChecks(std::vector<Check>& checks);
void AddLifecycleChecks(std::vector<Check>& checks);
void AddThreadChecks(std::vector<Check>& checks);
void AddEditorChecks(std::vector<Check>& checks);

std::vector<Check> AllChecks();
// Runs the checks; prints one line per check, the reproduce command under each
// failure and "N passed, N failed" last. Returns the exit status (0: no failure).
int RunValidation(const ValidateOptions& options);
// The checks' names and descriptions, for --help.
std::string CheckListText();
