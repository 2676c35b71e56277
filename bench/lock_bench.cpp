// What waits for the plug-in's lock, and for how long: the plug-in (its
// locks built for timing: KeloLockTimed, otherwise the product) plays 48 kHz
// audio in 64-frame blocks on an audio thread paced in real time, while other
// threads do what a host and its user do at once: the host idles the editor
// at 50 Hz in a window of its own, presses autofit every 100 ms (and now and
// then on the audio thread, as automation), saves the
// state every 50 ms and loads one every 200 ms, and automates every
// parameter. Prints, per thread that held the lock, how many holds and the
// median, 99th percentile and longest hold; how long the audio thread waited
// for the lock (99th percentile, longest); and the processing time per block
// (median, 99th percentile, longest) in wall time and in the audio thread's
// own CPU time, beside the goals: no wait over 50 us, no block over five
// times the median. Phases with autofit pressed take turns with phases
// without, and with phases where only the audio and the editor run, and all
// three are printed side by side: what the machine's other work costs shows
// in all, what the host's other threads cost in the first two, what autofit
// costs only in the first. Beside each
// holder's longest hold, the CPU time its thread had during it, and the most
// CPU time any of its holds took: a hold much longer than its CPU time is a
// thread the machine put aside while it held the lock.
//
//   lock_bench [--seconds S] [--phases N] [--no-editor] [--no-realtime]
//
// The audio thread asks for real-time priority (SCHED_FIFO), as hosts give
// theirs: the lock then lends it to a holder the scheduler had put aside.
// Without the permission it runs at normal priority and says so. Last, the
// same timing of a fixed piece of arithmetic as long as the median block, on
// a thread of the same priority: what the machine itself does to such work
// (a shared virtual machine's outliers are no plug-in's). The editor
// needs an X server: DISPLAY, or a private Xvfb it starts. On a machine busy
// with other work the figures vary from run to run: run it several times.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/lock_timing.h"
#include "effect/kelo_params.h"
#include "tools/host/host.h"
#include "tools/host/parent_window.h"

extern char** environ;

namespace {

const double kRate = 48000.0;
const int kBlock = 64;

int64_t Now(clockid_t clock = CLOCK_MONOTONIC) {
    timespec t;
    clock_gettime(clock, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void SleepUntil(int64_t ns) {
    timespec t;
    t.tv_sec = time_t(ns / 1000000000);
    t.tv_nsec = long(ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

// The timing binary's report functions (null for a binary without them).
struct Timing {
    LockTimingLabelFn label = nullptr;
    LockTimingRowsFn rows = nullptr;
    LockTimingResetFn reset = nullptr;
    void Label(const char* name) const {
        if (label) label(name);
    }
};

Timing FindTiming(const std::string& path) {
    Timing t;
    // The module is loaded already (by the harness): this finds it again.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return t;
    t.label = reinterpret_cast<LockTimingLabelFn>(dlsym(handle, KELO_LOCK_TIMING_LABEL));
    t.rows = reinterpret_cast<LockTimingRowsFn>(dlsym(handle, KELO_LOCK_TIMING_ROWS));
    t.reset = reinterpret_cast<LockTimingResetFn>(dlsym(handle, KELO_LOCK_TIMING_RESET));
    dlclose(handle);
    return t;
}

// A private Xvfb on the first free display from :160; its process id.
pid_t StartXvfb(std::string& display) {
    for (int n = 160; n < 200; ++n) {
        const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
        struct stat st;
        if (stat(lock.c_str(), &st) == 0 || stat(socket.c_str(), &st) == 0) continue;
        display = ":" + std::to_string(n);
        const char* argv[] = {"Xvfb",      display.c_str(), "-screen",  "0",    "1280x1024x24",
                              "-nolisten", "tcp",           "-noreset", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int failed =
            posix_spawnp(&pid, "Xvfb", &actions, nullptr, const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed) return -1;
        for (int i = 0; i < 50; ++i) {
            if (stat(socket.c_str(), &st) == 0) return pid;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    return -1;
}

// A drum-like input: hits of changing pitch and loudness, four a second.
void Input(int64_t frame, float* l, float* r) {
    for (int i = 0; i < kBlock; ++i) {
        const int64_t t = frame + i;
        const int64_t hit = t / 12000, at = t % 12000;
        const double gain = 0.3 + 0.6 * double((hit * 7) % 10) / 10.0;
        const double freq = 60.0 + double((hit * 13) % 7) * 30.0;
        const double s = double(at) / kRate;
        const double v = gain * std::exp(-s / 0.05) * std::sin(2.0 * 3.14159265358979 * freq * s);
        l[i] = float(v);
        r[i] = float(0.9 * v);
    }
}

double Us(int64_t ns) {
    return double(ns) / 1000.0;
}

// What the machine does to a fixed piece of work as long as a block's
// processing, timed the same way on a thread of the same priority: its
// outliers are the machine's, not the plug-in's.
struct Reference {
    int64_t median = 0, p99 = 0, max = 0, over = 0, count = 0;
};

Reference TimeFixedWork(double seconds, bool realtime, int64_t targetNs) {
    Reference r;
    std::thread worker([&] {
        if (realtime) {
            sched_param p = {};
            p.sched_priority = 70;
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
        }
        volatile double x = 1.0;
        auto work = [&](int steps) {
            for (int i = 0; i < steps; ++i)
                x = x * 1.0000001 + 1e-7;
        };
        // Steps for the target length, from the median of a few trials.
        std::vector<int64_t> trial;
        for (int i = 0; i < 200; ++i) {
            const int64_t t0 = Now();
            work(1000);
            trial.push_back(Now() - t0);
        }
        std::sort(trial.begin(), trial.end());
        const int steps =
            int(std::max<int64_t>(1, 1000 * targetNs / std::max<int64_t>(1, trial[100])));
        std::vector<int64_t> times;
        const int64_t period = int64_t(1e9 * kBlock / kRate);
        const int64_t end = Now() + int64_t(seconds * 1e9);
        for (int64_t next = Now(); Now() < end;) {
            const int64_t t0 = Now();
            work(steps);
            times.push_back(Now() - t0);
            next += period;
            SleepUntil(next);
        }
        std::sort(times.begin(), times.end());
        r.count = int64_t(times.size());
        r.median = times[times.size() / 2];
        r.p99 = times[times.size() * 99 / 100];
        r.max = times.back();
        r.over =
            std::count_if(times.begin(), times.end(), [&](int64_t t) { return t > 5 * r.median; });
    });
    worker.join();
    return r;
}

int64_t Quantile(std::vector<int64_t> values, double q) {
    if (values.empty()) return 0;
    const size_t k = std::min(values.size() - 1, size_t(q * double(values.size())));
    std::nth_element(values.begin(), values.begin() + long(k), values.end());
    return values[k];
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 20.0;
    int phases = 6;
    bool editor = true, realtime = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (arg == "--phases" && i + 1 < argc)
            phases = std::max(3, std::atoi(argv[++i]) / 3 * 3);
        else if (arg == "--no-editor")
            editor = false;
        else if (arg == "--no-realtime")
            realtime = false;
        else {
            std::fprintf(stderr, "usage: lock_bench [--seconds S] [--phases N] [--no-editor] "
                                 "[--no-realtime]\n");
            return 2;
        }
    }
    const std::string path = KELO_LOCK_TIMED_PLUGIN;
    PluginModule module;
    if (!module.Load(path)) {
        std::fprintf(stderr, "lock_bench: %s\n", module.Error().c_str());
        return 1;
    }
    const Timing timing = FindTiming(path);
    if (!timing.rows)
        std::printf("(no lock timing in %s: waits and holds not shown)\n", path.c_str());
    pid_t xvfb = -1;
    if (editor && !(std::getenv("DISPLAY") && *std::getenv("DISPLAY"))) {
        std::string display;
        xvfb = StartXvfb(display);
        if (xvfb > 0)
            setenv("DISPLAY", display.c_str(), 1);
        else
            editor = false;
    }

    PluginInstance plugin;
    if (!plugin.Create(module)) {
        std::fprintf(stderr, "lock_bench: the plug-in gave no effect\n");
        return 1;
    }
    plugin.Start(kRate, kBlock);
    plugin.SetParameter(kParamThreshold, 0.55f); // about -27 dB: every hit triggers
    plugin.SetParameter(kParamStrength, 0.8f);
    const std::vector<uint8_t> preset = plugin.GetChunk();

    // The phase now: 0 warming up, then 1 (autofit pressed), 2 (not), 3 (only
    // the audio and the editor: the machine's own noise), 1, 2, 3...
    std::atomic<bool> stop{false};
    std::atomic<int> phase{0};
    std::atomic<int> realtimeGot{-1};
    const int64_t blocks = int64_t(seconds * kRate / kBlock) + 1024;
    // Per block: wall and CPU time (ns), the page faults the audio thread took
    // in it (minor and major), the phase.
    struct BlockTime {
        int64_t wall, cpu;
        long faults;
        int phase;
    };
    std::vector<BlockTime> times;
    times.reserve(size_t(blocks));

    // The audio thread: one block every 1.33 ms, timed.
    std::thread audio([&] {
        timing.Label("audio");
        if (realtime) {
            sched_param p = {};
            p.sched_priority = 70;
            realtimeGot = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0 ? 1 : 0;
        } else {
            realtimeGot = 0;
        }
        std::vector<float> l(kBlock), r(kBlock), ol(kBlock), orr(kBlock);
        float* in[2] = {l.data(), r.data()};
        float* out[2] = {ol.data(), orr.data()};
        const int64_t period = int64_t(1e9 * kBlock / kRate);
        int64_t next = Now(), frame = 0;
        for (int64_t block = 0; !stop.load(); ++block) {
            Input(frame, l.data(), r.data());
            frame += kBlock;
            const int now = phase.load();
            // Now and then the host's automation presses autofit on this
            // thread: only asked for here, fitted on the editor's idle.
            if (now == 1 && block % 400 == 200) {
                plugin.SetParameter(kParamAutofit, 1.0f);
                plugin.SetParameter(kParamAutofit, 0.0f);
            }
            // The faults are counted outside the timed call.
            rusage u0 = {}, u1 = {};
            getrusage(RUSAGE_THREAD, &u0);
            const int64_t w0 = Now(), c0 = Now(CLOCK_THREAD_CPUTIME_ID);
            plugin.ProcessReplacing(in, out, kBlock);
            const int64_t c1 = Now(CLOCK_THREAD_CPUTIME_ID), w1 = Now();
            getrusage(RUSAGE_THREAD, &u1);
            const long faults = (u1.ru_minflt - u0.ru_minflt) + (u1.ru_majflt - u0.ru_majflt);
            if (now > 0 && times.size() < times.capacity())
                times.push_back({w1 - w0, c1 - c0, faults, now});
            next += period;
            if (next < Now()) next = Now(); // fell behind: no burst to catch up
            SleepUntil(next);
        }
    });
    // The host's automation of every parameter but autofit, with reads back.
    std::thread automation([&] {
        timing.Label("automation");
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> u(0.0f, 1.0f);
        while (!stop.load()) {
            const int32_t index = int32_t(rng() % kParamCount);
            if (phase.load() == 3) {
                // Resting while the audio and the editor run alone.
            } else if (index != kParamAutofit) {
                // Threshold and bands kept where the hits trigger; the
                // processing itself on.
                float v = u(rng);
                if (index == kParamThreshold) v = 0.45f + 0.2f * v;
                if (index == kParamHiFreq) v = 0.6f + 0.4f * v;
                if (index == kParamLoFreq) v = 0.3f * v;
                if (index == kParamShapeEnv || index == kParamMonitor || index == kParamGate)
                    v = index == kParamShapeEnv ? 1.0f : 0.0f;
                plugin.SetParameter(index, v);
            }
            if (phase.load() != 3) plugin.GetParameter(int32_t(rng() % kParamCount));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::thread autofit([&] {
        timing.Label("autofit");
        while (!stop.load()) {
            if (phase.load() == 1) {
                plugin.SetParameter(kParamAutofit, 1.0f);
                plugin.SetParameter(kParamAutofit, 0.0f);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::thread save([&] {
        timing.Label("state save");
        while (!stop.load()) {
            if (phase.load() != 3) plugin.GetChunk();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    std::thread load([&] {
        timing.Label("state load");
        while (!stop.load()) {
            if (phase.load() != 3) plugin.SetChunk(preset.data(), intptr_t(preset.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    // The host's user-interface thread: the editor in a window, idled at 50 Hz.
    std::atomic<bool> editorOpen{false};
    std::thread ui([&] {
        timing.Label("editor (idle)");
        if (!editor) return;
        auto window = NewParentWindow();
        if (!window->Create(675, 619, "lock_bench")) return;
        if (plugin.Dispatch(kVstOpEditorOpen, 0, 0, window->NativeHandle()) != 1) return;
        editorOpen = true;
        while (!stop.load())
            window->Pump(100, [&] { plugin.Dispatch(kVstOpEditorIdle); });
        plugin.Dispatch(kVstOpEditorClose);
        window->Destroy();
    });

    // A second of warming up, then the phases; the lock's figures are taken
    // at the end of each phase and kept per condition (the worst phase's).
    std::this_thread::sleep_for(std::chrono::seconds(1));
    struct Holder {
        std::string thread;
        int64_t holds = 0, median = 0, p99 = 0, max = 0, waitP99 = 0, waitMax = 0;
        int64_t maxCpu = 0, cpuMax = 0; // the longest hold's CPU time, the most CPU
        uintptr_t site = 0;
    };
    std::vector<Holder> holders[4];
    for (int k = 0; k < phases; ++k) {
        const int now = 1 + k % 3;
        if (timing.reset) timing.reset();
        phase = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(int64_t(seconds * 1000.0 / phases)));
        if (!timing.rows) continue;
        std::vector<LockTimingRow> rows(64);
        rows.resize(size_t(timing.rows(rows.data(), int(rows.size()))));
        // The plug-in's lock is the one the audio thread took for every block
        // (it takes the editor's control list too, when it sets a parameter).
        const void* frameLock = nullptr;
        int64_t most = 0;
        for (const auto& row : rows)
            if (std::strcmp(row.thread, "audio") == 0 && row.holds > most) {
                frameLock = row.lock;
                most = row.holds;
            }
        for (const auto& row : rows) {
            if (row.lock != frameLock || row.holds == 0) continue;
            auto found = std::find_if(holders[now].begin(), holders[now].end(),
                                      [&](const Holder& h) { return h.thread == row.thread; });
            if (found == holders[now].end()) {
                holders[now].push_back(Holder{row.thread});
                found = holders[now].end() - 1;
            }
            found->holds += row.holds;
            found->median = std::max(found->median, row.holdMedianNs);
            found->p99 = std::max(found->p99, row.holdP99Ns);
            if (row.holdMaxNs > found->max) {
                found->site = reinterpret_cast<uintptr_t>(row.longestSite) -
                              reinterpret_cast<uintptr_t>(row.moduleBase);
                found->maxCpu = row.longestCpuNs;
            }
            found->cpuMax = std::max(found->cpuMax, row.holdCpuMaxNs);
            found->max = std::max(found->max, row.holdMaxNs);
            found->waitP99 = std::max(found->waitP99, row.waitP99Ns);
            found->waitMax = std::max(found->waitMax, row.waitMaxNs);
        }
    }
    phase = 0;
    stop = true;
    for (std::thread* t : {&audio, &automation, &autofit, &save, &load, &ui})
        t->join();

    std::printf("lock_bench: %.0f s of 48 kHz in blocks of %d, %d phases; audio thread %s; "
                "editor %s\n",
                seconds, kBlock, phases,
                realtimeGot.load() == 1 ? "SCHED_FIFO 70" : "at normal priority",
                editorOpen.load() ? "open, idled at 50 Hz" : "closed");
    const char* names[4] = {"", "autofit pressed", "autofit not pressed",
                            "only the audio and the editor (the machine's noise)"};
    bool met = true;
    for (int c : {1, 2, 3}) {
        std::printf("\n--- %s (worst phase's figures)\n", names[c]);
        if (!holders[c].empty()) {
            std::printf("the plug-in's lock, per holder:\n");
            std::printf("  %-16s %8s %10s %10s %10s %12s %12s  %s\n", "thread", "holds",
                        "median us", "p99 us", "max us", "its cpu us", "max cpu us",
                        "longest taken at (offset)");
            for (const Holder& h : holders[c])
                std::printf("  %-16s %8lld %10.1f %10.1f %10.1f %12.1f %12.1f  0x%lx\n",
                            h.thread.c_str(), (long long)h.holds, Us(h.median), Us(h.p99),
                            Us(h.max), Us(h.maxCpu), Us(h.cpuMax), (unsigned long)h.site);
            for (const Holder& h : holders[c])
                if (h.thread == "audio") {
                    const bool ok = h.waitMax <= 50000;
                    if (c == 1) met = met && ok;
                    std::printf("the audio thread's wait for it: p99 %.1f us, max %.1f us "
                                "(goal: at most 50 us) %s\n",
                                Us(h.waitP99), Us(h.waitMax), ok ? "met" : "MISSED");
                }
        }
        std::vector<int64_t> wall, cpu;
        long faults = 0, faulted = 0;
        for (const BlockTime& t : times)
            if (t.phase == c) {
                wall.push_back(t.wall);
                cpu.push_back(t.cpu);
                faults += t.faults;
                faulted += t.faults > 0;
            }
        const int64_t wMed = Quantile(wall, 0.5), wP99 = Quantile(wall, 0.99),
                      wMax = wall.empty() ? 0 : *std::max_element(wall.begin(), wall.end());
        const int64_t cMed = Quantile(cpu, 0.5), cP99 = Quantile(cpu, 0.99),
                      cMax = cpu.empty() ? 0 : *std::max_element(cpu.begin(), cpu.end());
        const auto over =
            std::count_if(wall.begin(), wall.end(), [&](int64_t w) { return w > 5 * wMed; });
        const bool ok = wMax <= 5 * wMed;
        if (c == 1) met = met && ok;
        std::printf("processing per block (%zu blocks):\n", wall.size());
        std::printf("  wall: median %.1f us, p99 %.1f us, max %.1f us (%.1f x the median, %ld "
                    "blocks over 5 x; goal: none) %s\n",
                    Us(wMed), Us(wP99), Us(wMax), wMed ? double(wMax) / double(wMed) : 0.0,
                    long(over), ok ? "met" : "MISSED");
        std::printf("  cpu:  median %.1f us, p99 %.1f us, max %.1f us (%.1f x the median)\n",
                    Us(cMed), Us(cP99), Us(cMax), cMed ? double(cMax) / double(cMed) : 0.0);
        std::printf("  page faults: %ld in %ld blocks (goal: none)\n", faults, faulted);
    }
    // The machine's own noise, the same way, after the host's threads ended.
    int64_t medianPressed = 0;
    {
        std::vector<int64_t> wall;
        for (const BlockTime& t : times)
            if (t.phase == 1) wall.push_back(t.wall);
        medianPressed = Quantile(wall, 0.5);
    }
    const Reference ref = TimeFixedWork(std::max(5.0, seconds / 6), realtime, medianPressed);
    std::printf("\n--- the machine: fixed work as long as a block's median, timed the same way\n");
    std::printf("  wall: median %.1f us, p99 %.1f us, max %.1f us (%.1f x the median, %lld of %lld "
                "runs over 5 x)\n",
                Us(ref.median), Us(ref.p99), Us(ref.max),
                ref.median ? double(ref.max) / double(ref.median) : 0.0, (long long)ref.over,
                (long long)ref.count);
    double load1 = 0.0;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load1) != 1) load1 = 0.0;
        std::fclose(f);
    }
    std::printf("\nload average (1 min) %.2f on %u cores; goals with autofit pressed: %s\n", load1,
                std::thread::hardware_concurrency(), met ? "met" : "MISSED");
    plugin.Close();
    if (xvfb > 0) {
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
    }
    return 0;
}
