// Cost of a plug-in binary through its VST 2.4 entry points, measured the way
// the floor benchmark (floor_bench.c, the minimal arithmetic of this kind of
// effect) measures itself, so the two can be compared figure for figure:
//
//   - the floor's test signal: a stereo drum loop at 48 kHz, a decaying noise
//     burst every 250 ms (40 ms decay, every fourth accented) over a noise floor
//     at about -50 dBFS, fixed-seed LCG streams;
//   - blocks copied into the host's buffers outside the timed region, each
//     entry call timed on its own, a 2 s warm-up, the median of the repetitions;
//   - the 64-bit entry (process double replacing) against the floor's double
//     I/O, the 32-bit replacing entry against its float I/O.
//
// The host is as thin as a host can be: its callback answers the time request
// from a record it advances by each block, as hosts do, and nothing else.
//
// Usage: host_bench [--plugin PATH] [--floor FLOOR_BENCH] [--seconds S]
//                   [--block N] [--reps R] [--rounds K] [--options BITS]
// --options switches Kelo's options through its state, as a saved state
// brings them: 1 both polarities, 2 lookahead, 3 both.
// Built with the floor's source (bench/CMakeLists.txt finds it beside the
// repository), the floor's arithmetic runs block by block beside the plug-in,
// in alternating order, on the same input: both see the same machine, which on
// a shared one is the only fair comparison. The ratio of each repetition's
// sums is printed, and the median over all repetitions of all rounds.
// Otherwise --floor runs the floor benchmark's program before each round.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "plug/vst_abi.h"
#include "tools/host/host.h"

#ifdef KELO_FLOOR_LINKED
extern "C" {
void* FloorCreate(double rate);
void FloorProcessDouble(void* floor, double** in, double** out, int n);
void FloorProcessFloat(void* floor, float** in, float** out, int n);
void FloorDestroy(void* floor);
}
#endif

namespace {

const double kRate = 48000.0;

uint64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The floor's drum loop, sample for sample.
void MakeSignal(std::vector<double>& left, std::vector<double>& right, size_t frames) {
    left.assign(frames, 0.0);
    right.assign(frames, 0.0);
    uint32_t sl = 0x1234567u, sr = 0x89abcdeu;
    auto uniform = [](uint32_t& s) {
        s = s * 1664525u + 1013904223u;
        return double(s >> 8) * (2.0 / 16777216.0) - 1.0;
    };
    const size_t period = size_t(0.25 * kRate + 0.5);
    const double decay = std::exp(-1.0 / (0.040 * kRate));
    double env = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        if (i % period == 0)
            env = (i / period) % 4 == 0 ? 0.9 : 0.5;
        else
            env *= decay;
        left[i] = 0.003 * uniform(sl) + env * uniform(sl);
        right[i] = 0.003 * uniform(sr) + env * uniform(sr);
    }
}

// The host side: one time record, advanced by the frames of every block.
VstTimeInfo sTime;

intptr_t KELO_VSTCALL HostCallback(VstEffectRecord*, int32_t opcode, int32_t, intptr_t, void*,
                                   float) {
    switch (opcode) {
    case 1: // host version
        return kVstVersion;
    case 7: // time info
        return reinterpret_cast<intptr_t>(&sTime);
    default:
        return 0;
    }
}

struct Options {
    std::string plugin = KELO_PRODUCT_PLUGIN;
    std::string floor;
    double seconds = 10.0;
    int block = 512;
    int reps = 5;
    int rounds = 3;
    int options = 0;
};

void PrintResult(const char* label, const std::vector<double>& ns, double sink) {
    const double median = Median(ns);
    std::printf("RESULT path=%s ns_per_frame=%.2f min=%.2f max=%.2f xrealtime=%.1f "
                "out_energy=%.6g\n",
                label, median, *std::min_element(ns.begin(), ns.end()),
                *std::max_element(ns.begin(), ns.end()), (1e9 / kRate) / median, sink);
}

// Times one I/O path of the plug-in, and with floor (not null) the floor's
// arithmetic on the same blocks in alternating order. Returns the median ns
// per stereo frame of the plug-in; the ratios of each repetition are added to
// ratios.
template <typename T>
double TimePath(VstEffectRecord* fx, void* floor, const std::vector<double>& left,
                const std::vector<double>& right, const Options& o, const char* label,
                std::vector<double>& ratios) {
    std::vector<T> inL(size_t(o.block)), inR(size_t(o.block)), outL(size_t(o.block)),
        outR(size_t(o.block)), floorL(size_t(o.block)), floorR(size_t(o.block));
    T* in[2] = {inL.data(), inR.data()};
    T* out[2] = {outL.data(), outR.data()};
    [[maybe_unused]] T* floorOut[2] = {floorL.data(), floorR.data()};
    std::vector<double> ns, floorNs;
    double sink = 0.0, floorSink = 0.0;
    for (int r = -1; r < o.reps; ++r) {
        size_t total = left.size();
        // The first pass warms up on two seconds.
        if (r < 0) total = std::min(total, size_t(2.0 * kRate));
        uint64_t spent = 0, floorSpent = 0;
        sTime.samplePos = 0.0;
        for (size_t at = 0, block = 0; at < total; at += size_t(o.block), ++block) {
            const int n = int(std::min(total - at, size_t(o.block)));
            for (int i = 0; i < n; ++i) {
                inL[size_t(i)] = T(left[at + size_t(i)]);
                inR[size_t(i)] = T(right[at + size_t(i)]);
            }
            const auto runFloor = [&] {
#ifdef KELO_FLOOR_LINKED
                if (!floor) return;
                const uint64_t t0 = NowNs();
                if constexpr (sizeof(T) == sizeof(double))
                    FloorProcessDouble(floor, in, floorOut, n);
                else
                    FloorProcessFloat(floor, in, floorOut, n);
                floorSpent += NowNs() - t0;
#endif
            };
            const auto runEffect = [&] {
                const uint64_t t0 = NowNs();
                if constexpr (sizeof(T) == sizeof(double))
                    fx->processDoubleReplacing(fx, in, out, n);
                else
                    fx->processReplacing(fx, in, out, n);
                spent += NowNs() - t0;
            };
            // Alternating order, so neither always finds the caches the other left.
            if (block % 2) {
                runFloor();
                runEffect();
            } else {
                runEffect();
                runFloor();
            }
            sTime.samplePos += n;
            for (int i = 0; i < n; ++i) {
                sink += double(outL[size_t(i)]) * double(outL[size_t(i)]);
                floorSink += double(floorL[size_t(i)]) * double(floorL[size_t(i)]);
            }
        }
        if (r < 0) continue;
        ns.push_back(double(spent) / double(total));
        if (floor) {
            floorNs.push_back(double(floorSpent) / double(total));
            ratios.push_back(double(spent) / double(floorSpent));
        }
    }
    if (floor)
        PrintResult(sizeof(T) == sizeof(double) ? "floor-double" : "floor-float", floorNs,
                    floorSink);
    PrintResult(label, ns, sink);
    return Median(ns);
}

// Runs the floor benchmark and reads its double and float figures; false if it
// could not be run or read.
bool RunFloor(const Options& o, double& doubleNs, double& floatNs) {
    char command[1024];
    std::snprintf(command, sizeof command, "'%s' %g %d %d 2>/dev/null", o.floor.c_str(), o.seconds,
                  o.block, o.reps);
    FILE* pipe = popen(command, "r");
    if (!pipe) return false;
    char line[512];
    bool gotDouble = false, gotFloat = false;
    while (std::fgets(line, sizeof line, pipe)) {
        std::fputs(line, stdout);
        double v;
        if (std::sscanf(line, "RESULT path=double-io ns_per_frame=%lf", &v) == 1) {
            doubleNs = v;
            gotDouble = true;
        } else if (std::sscanf(line, "RESULT path=float-io ns_per_frame=%lf", &v) == 1) {
            floatNs = v;
            gotFloat = true;
        }
    }
    return pclose(pipe) == 0 && gotDouble && gotFloat;
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--plugin")
            o.plugin = value;
        else if (arg == "--floor")
            o.floor = value;
        else if (arg == "--seconds")
            o.seconds = std::atof(value);
        else if (arg == "--block")
            o.block = std::atoi(value);
        else if (arg == "--reps")
            o.reps = std::atoi(value);
        else if (arg == "--rounds")
            o.rounds = std::atoi(value);
        else if (arg == "--options")
            o.options = std::atoi(value);
        else
            return false;
    }
    return o.seconds > 0.0 && o.block > 0 && o.block <= 65536 && o.reps > 0 && o.rounds > 0 &&
           o.options >= 0 && o.options <= 3;
}

// Switches the options by loading the plug-in's own state with the options'
// section ("Kopt", then the bits) appended, as a state saved with them holds it.
bool SetOptions(VstEffectRecord* fx, int options) {
    if (options == 0) return true;
    void* data = nullptr;
    const intptr_t size = fx->dispatcher(fx, kVstOpGetChunk, 0, 0, &data, 0.0f);
    if (size <= 0 || !data) return false;
    std::vector<unsigned char> state(static_cast<unsigned char*>(data),
                                     static_cast<unsigned char*>(data) + size);
    const int32_t section[2] = {0x4B6F7074, int32_t(options)};
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(section);
    state.insert(state.end(), bytes, bytes + sizeof section);
    return fx->dispatcher(fx, kVstOpSetChunk, 0, intptr_t(state.size()), state.data(), 0.0f) != 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, o)) {
        std::fprintf(stderr, "usage: host_bench [--plugin PATH] [--floor FLOOR_BENCH] "
                             "[--seconds S] [--block N] [--reps R] [--rounds K] "
                             "[--options 0-3]\n");
        return 2;
    }
    PluginModule module;
    if (!module.Load(o.plugin)) {
        std::fprintf(stderr, "host_bench: %s\n", module.Error().c_str());
        return 1;
    }
    std::vector<double> left, right;
    MakeSignal(left, right, size_t(o.seconds * kRate + 0.5));
    std::printf("host_bench: %s through its entry points, %.1f s at 48000 Hz, block %d, %d reps, "
                "options %d\n",
                o.plugin.c_str(), o.seconds, o.block, o.reps, o.options);
    std::vector<double> doubleRatios, floatRatios;
    std::vector<double> blockDoubleRatios, blockFloatRatios;
    for (int round = 0; round < o.rounds; ++round) {
        double floorDouble = 0.0, floorFloat = 0.0;
        const bool haveFloor = !o.floor.empty() && RunFloor(o, floorDouble, floorFloat);
        if (!o.floor.empty() && !haveFloor)
            std::fprintf(stderr, "host_bench: the floor benchmark gave no figures\n");
        // The floor's arithmetic beside the plug-in, when it is linked in.
        void* floorD = nullptr;
        void* floorF = nullptr;
#ifdef KELO_FLOOR_LINKED
        floorD = FloorCreate(kRate);
        floorF = FloorCreate(kRate);
#endif

        // A fresh instance per round, started as a host starts it.
        std::memset(&sTime, 0, sizeof sTime);
        sTime.sampleRate = kRate;
        sTime.tempo = 120.0;
        sTime.timeSigNumerator = sTime.timeSigDenominator = 4;
        sTime.flags = kVstTimePlaying | kVstTimeTempoValid | kVstTimeSignatureValid;
        VstEffectRecord* fx = module.Entry()(&HostCallback);
        if (!fx) {
            std::fprintf(stderr, "host_bench: the plug-in made no effect\n");
            return 1;
        }
        fx->dispatcher(fx, kVstOpOpen, 0, 0, nullptr, 0.0f);
        fx->dispatcher(fx, kVstOpSetSampleRate, 0, 0, nullptr, float(kRate));
        fx->dispatcher(fx, kVstOpSetBlockSize, 0, o.block, nullptr, 0.0f);
        if (!SetOptions(fx, o.options)) {
            std::fprintf(stderr, "host_bench: the options could not be set\n");
            return 1;
        }
        fx->dispatcher(fx, kVstOpMainsChanged, 0, 1, nullptr, 0.0f);
        const double effectDouble =
            TimePath<double>(fx, floorD, left, right, o, "entry-double", blockDoubleRatios);
        const double effectFloat =
            TimePath<float>(fx, floorF, left, right, o, "entry-float", blockFloatRatios);
#ifdef KELO_FLOOR_LINKED
        FloorDestroy(floorD);
        FloorDestroy(floorF);
#endif
        fx->dispatcher(fx, kVstOpMainsChanged, 0, 0, nullptr, 0.0f);
        fx->dispatcher(fx, kVstOpClose, 0, 0, nullptr, 0.0f);
        if (haveFloor) {
            doubleRatios.push_back(effectDouble / floorDouble);
            floatRatios.push_back(effectFloat / floorFloat);
            std::printf("RATIO round=%d double=%.3f float=%.3f\n", round + 1, doubleRatios.back(),
                        floatRatios.back());
        }
    }
    if (!doubleRatios.empty())
        std::printf("RATIO median over %d rounds: double=%.3f float=%.3f\n",
                    int(doubleRatios.size()), Median(doubleRatios), Median(floatRatios));
    if (!blockDoubleRatios.empty())
        std::printf("RATIO interleaved with the floor, median over %d repetitions: double=%.3f "
                    "(%.3f .. %.3f) float=%.3f (%.3f .. %.3f)\n",
                    int(blockDoubleRatios.size()), Median(blockDoubleRatios),
                    *std::min_element(blockDoubleRatios.begin(), blockDoubleRatios.end()),
                    *std::max_element(blockDoubleRatios.begin(), blockDoubleRatios.end()),
                    Median(blockFloatRatios),
                    *std::min_element(blockFloatRatios.begin(), blockFloatRatios.end()),
                    *std::max_element(blockFloatRatios.begin(), blockFloatRatios.end()));
    return 0;
}
