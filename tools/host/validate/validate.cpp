// The validator's runner: picks the checks, runs each (in a child process of its
// own where the platform can fork), prints a verdict line per check with the
// command that reproduces a failure, and the count of passes and failures.
#include "tools/host/validate/validate.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tools/host/validate/validate_support.h"

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#define KELO_CHECK_LEAKS 1
#endif

#ifndef _WIN32
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::string Format(const char* format, va_list args) {
    char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    return buffer;
}

uint64_t SeedOf(uint64_t base, const char* name) {
    uint64_t hash = 1469598103934665603ull; // FNV-1a
    for (const char* p = name; *p; ++p)
        hash = (hash ^ uint8_t(*p)) * 1099511628211ull;
    return base ^ hash;
}

bool Selected(const std::string& only, const std::string& name) {
    if (only.empty() || only == name) return true;
    return name.compare(0, only.size() + 1, only + ".") == 0;
}

// What the output file and the terminal both receive.
class Output {
public:
    explicit Output(const std::string& report) {
        if (!report.empty()) mFile = std::fopen(report.c_str(), "w");
    }
    ~Output() {
        if (mFile) std::fclose(mFile);
    }
    bool Good() const { return mFile != nullptr; }
    void Line(const std::string& text) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        if (mFile) {
            std::fprintf(mFile, "%s\n", text.c_str());
            std::fflush(mFile);
        }
    }

private:
    std::FILE* mFile = nullptr;
};

enum class Verdict { Pass, Fail, Skip };

struct Outcome {
    Verdict verdict = Verdict::Pass;
    std::vector<std::string> lines;
    std::string adapted; // the description of the form the check took, when adapted
};

// Line tags in the child's stream: F failure, N note, S skip, A the adapted
// description (not a line of its own).
void RunInProcess(const Check& check, const PluginModule& module, const ValidateOptions& options,
                  Outcome& outcome) {
    CheckContext context(module, options, SeedOf(options.seed, check.name));
    check.run(context);
    outcome.lines = context.Lines();
    outcome.adapted = context.Adapted();
    outcome.verdict = context.Failed()    ? Verdict::Fail
                      : context.Skipped() ? Verdict::Skip
                                          : Verdict::Pass;
}

#ifndef _WIN32
void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += size_t(n);
    }
}

// The exit statuses of a check's process; any other (a sanitizer's report, an
// exit inside the plug-in) is a failure too.
constexpr int kExitPass = 0, kExitFail = 10, kExitSkip = 11, kExitLeak = 12;

// The child loads the module itself, runs the check and streams its lines
// ("F text", "N text", "S text") to the parent; the exit status carries the
// verdict. A signal or a time-out is a failure the parent reports. Under
// AddressSanitizer the child looks for leaks before it ends.
void RunIsolated(const Check& check, const ValidateOptions& options, double timeout,
                 Outcome& outcome) {
    int fds[2];
    if (pipe(fds) != 0) {
        outcome.verdict = Verdict::Fail;
        outcome.lines.push_back("  cannot make a pipe for the check's process");
        return;
    }
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        PluginModule module;
        if (!module.Load(options.path)) {
            WriteAll(fds[1], "F  cannot load: " + module.Error() + "\n");
            _exit(kExitFail);
        }
        CheckContext context(module, options, SeedOf(options.seed, check.name));
        context.sink = [](const std::string& line, void* user) {
            WriteAll(*static_cast<int*>(user), line + "\n");
        };
        context.sinkUser = &fds[1];
        check.run(context);
        std::fflush(stdout);
#ifdef KELO_CHECK_LEAKS
        if (__lsan_do_recoverable_leak_check() != 0) _exit(kExitLeak);
#endif
        // The module is not unloaded: the plug-in's static teardown is not a check's business.
        _exit(context.Failed() ? kExitFail : context.Skipped() ? kExitSkip : kExitPass);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        outcome.verdict = Verdict::Fail;
        outcome.lines.push_back("  cannot start the check's process");
        return;
    }
    std::string pending;
    const auto start = std::chrono::steady_clock::now();
    bool timedOut = false, open = true;
    int status = 0;
    for (;;) {
        if (open) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buffer[4096];
                const ssize_t n = read(fds[0], buffer, sizeof buffer);
                if (n > 0)
                    pending.append(buffer, size_t(n));
                else
                    open = false;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > timeout) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            timedOut = true;
            break;
        }
    }
    // Whatever is still in the pipe.
    char buffer[4096];
    ssize_t n;
    while (open && (n = read(fds[0], buffer, sizeof buffer)) > 0)
        pending.append(buffer, size_t(n));
    close(fds[0]);

    size_t at = 0;
    while (at < pending.size()) {
        size_t end = pending.find('\n', at);
        if (end == std::string::npos) end = pending.size();
        const std::string line = pending.substr(at, end - at);
        if (line.compare(0, 2, "A ") == 0)
            outcome.adapted = line.substr(2);
        else if (line.size() > 1)
            outcome.lines.push_back("  " + line.substr(2));
        at = end + 1;
    }
    if (timedOut) {
        outcome.verdict = Verdict::Fail;
        outcome.lines.push_back(
            "  no answer within " + std::to_string(int(timeout)) +
            " s: the check's process hung (a deadlock in the plug-in?) and was stopped");
    } else if (WIFSIGNALED(status)) {
        outcome.verdict = Verdict::Fail;
        outcome.lines.push_back("  the plug-in crashed: signal " +
                                std::to_string(WTERMSIG(status)) + " (" +
                                strsignal(WTERMSIG(status)) + ")");
    } else {
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.verdict = code == kExitPass   ? Verdict::Pass
                          : code == kExitSkip ? Verdict::Skip
                                              : Verdict::Fail;
        if (code == kExitLeak)
            outcome.lines.push_back("  memory leaked (the leak report is on standard error)");
        else if (code != kExitPass && code != kExitFail && code != kExitSkip)
            outcome.lines.push_back("  the check's process ended with status " +
                                    std::to_string(code) +
                                    " (a sanitizer's report on standard error, or an exit "
                                    "inside the plug-in)");
    }
}
#endif

std::string Reproduce(const ValidateOptions& options, const char* name) {
    return "  reproduce: " + options.self + " " + options.path + " --validate --level " +
           std::to_string(options.level) + " --seed " + std::to_string(options.seed) + " --only " +
           name;
}

} // namespace

int CheckContext::Scaled(int base) const {
    const int n = base * options.level / 5;
    return n < 1 ? 1 : n;
}

void CheckContext::Add(const std::string& line) {
    mLines.push_back("  " + line.substr(2));
    if (sink) sink(line, sinkUser);
}

void CheckContext::Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    // A check that finds the same fault over and over reports the first few.
    if (++mFailures <= 12)
        Add("F " + text);
    else if (mFailures == 13)
        Add("F (further failures of this check not shown)");
}

void CheckContext::Adapt(const char* format, ...) {
    va_list args;
    va_start(args, format);
    mAdapted = Format(format, args);
    va_end(args);
    if (sink) sink("A " + mAdapted, sinkUser);
}

void CheckContext::Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Add("N " + Format(format, args));
    va_end(args);
}

void CheckContext::Skip(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Add("S skipped: " + Format(format, args));
    va_end(args);
    mSkipped = true;
}

const char* ThreadsUnreliable() {
    const char* emulator = std::getenv("KELO_EMULATOR");
    if (emulator && std::strncmp(emulator, "qemu-i386", 9) == 0)
        return "under qemu-i386 the threads of 32-bit Wine share their TLS descriptors";
    return nullptr;
}

std::vector<Check> AllChecks() {
    std::vector<Check> checks;
    AddAudioChecks(checks);
    AddParamChecks(checks);
    AddStateChecks(checks);
    AddLifecycleChecks(checks);
    AddThreadChecks(checks);
    AddEditorChecks(checks);
    return checks;
}

std::string CheckListText() {
    std::string text;
    for (const Check& check : AllChecks()) {
        char line[256];
        std::snprintf(line, sizeof line, "  %-26s %s\n", check.name, check.what);
        text += line;
    }
    return text;
}

int RunValidation(const ValidateOptions& options) {
    Output out(options.report);
    if (!options.report.empty() && !out.Good()) {
        std::fprintf(stderr, "kelo-host: cannot write %s\n", options.report.c_str());
        return 2;
    }
    const std::vector<Check> checks = AllChecks();
    bool any = false;
    for (const Check& check : checks)
        any = any || Selected(options.only, check.name);
    if (!any) {
        std::fprintf(stderr, "kelo-host: no check named \"%s\"; the checks are:\n%s",
                     options.only.c_str(), CheckListText().c_str());
        return 2;
    }

    // The module is loaded here once to describe it (and, without child
    // processes, to run every check on).
    PluginModule module;
    if (!module.Load(options.path)) {
        out.Line("FAIL  load: " + module.Error());
        out.Line("0 passed, 1 failed");
        return 1;
    }
    {
        PluginInstance probe;
        if (!probe.Create(module)) {
            out.Line("FAIL  create: the entry point returned no effect");
            out.Line("0 passed, 1 failed");
            return 1;
        }
        const VstEffectRecord& r = *probe.Record();
        char head[512];
        std::snprintf(head, sizeof head,
                      "validating %s: '%s' \"%s\", %d in, %d out, %d parameters, %d programs, "
                      "flags 0x%X; level %d, seed %s",
                      options.path.c_str(), FourCC(r.uniqueId).c_str(), probe.EffectName().c_str(),
                      r.numInputs, r.numOutputs, r.numParams, r.numPrograms, unsigned(r.flags),
                      options.level, std::to_string(options.seed).c_str());
        out.Line(head);
        probe.Dispatch(kVstOpOpen);
        probe.Close();
    }

    const double timeout =
        options.timeoutSeconds > 0 ? options.timeoutSeconds : 120.0 + 30.0 * options.level;
    int passed = 0, failed = 0;
    for (const Check& check : checks) {
        if (!Selected(options.only, check.name)) continue;
        Outcome outcome;
        const auto start = std::chrono::steady_clock::now();
#ifndef _WIN32
        if (options.isolate)
            RunIsolated(check, options, timeout, outcome);
        else
            RunInProcess(check, module, options, outcome);
#else
        (void)timeout;
        RunInProcess(check, module, options, outcome);
#endif
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char verdict[256];
        const char* word = outcome.verdict == Verdict::Pass   ? "PASS"
                           : outcome.verdict == Verdict::Fail ? "FAIL"
                                                              : "SKIP";
        std::snprintf(verdict, sizeof verdict, "%s  %-26s %6.2f s  %s", word, check.name, seconds,
                      outcome.adapted.empty() ? check.what : outcome.adapted.c_str());
        out.Line(verdict);
        for (const std::string& line : outcome.lines)
            out.Line(line);
        if (outcome.verdict == Verdict::Fail) {
            out.Line(Reproduce(options, check.name));
            ++failed;
        } else if (outcome.verdict == Verdict::Pass) {
            ++passed;
        }
    }
    out.Line(std::to_string(passed) + " passed, " + std::to_string(failed) + " failed");
    return failed > 0 ? 1 : 0;
}
