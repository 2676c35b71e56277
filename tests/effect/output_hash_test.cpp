// The output, bit for bit: the drum material, the demo and the saved states
// rendered through the effect under every option combination and the switches
// that take their own code paths, in block sizes of every kind, each hashed
// over the raw bits of the output doubles and compared with the hashes the
// build before recorded. A refactor of the audio path changes none of them; a
// change of sound changes some, and the table is then recorded again
// (KELO_RECORD_OUTPUT_HASHES=1 prints it) and the change is named in the
// commit.
//
// The hashes hold where the arithmetic is the recording's: x86-64 Linux with
// SSE2 doubles, on a processor with AVX2 and FMA (the C library picks its own
// versions of exp, tan and sin by processor, and the effect's shaping loops
// have an AVX2 clone; the hashes were checked equal with the clone switched
// off). Elsewhere (x87 in the i686 build, Windows' C library, unoptimized
// builds that would take minutes) the test says why it skips; the saved-state
// and render tests compare those builds within rounding.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "kelo_fixture.h"
#include "saved_states.inc"
#include "tools/host/demo_signal.h"
#if KELO_HASH_DRUMS
#include "tests/common/drum_material.h"
#else
// Stands in where the material cannot be built; the test then skips.
inline bool DrumKitsAvailable(std::string*) {
    return false;
}
#endif

namespace {

// FNV-1a over 64 bits, fed the bytes of each double.
struct Fnv {
    uint64_t h = 0xcbf29ce484222325ULL;
    void Add(const void* bytes, size_t n) {
        const unsigned char* p = static_cast<const unsigned char*>(bytes);
        for (size_t i = 0; i < n; ++i) {
            h ^= p[i];
            h *= 0x100000001b3ULL;
        }
    }
    void Add(const Stereo& s) {
        Add(s.l.data(), s.l.size() * sizeof(double));
        Add(s.r.data(), s.r.size() * sizeof(double));
    }
};

struct Input {
    std::string name;
    double rate;
    Stereo audio;
};

// The switches and parameters of one row; the four option combinations are
// crossed with every row.
struct Row {
    const char* name;
    double thresholdDb, loFreq, hiFreq, envTime, strength;
    bool gate, monitor, processOnly, shapeOn;
    // A cutoff moved this far into the input (0: never), so that the
    // detector's gliding sections run too.
    double moveAt;
};

const Row kRows[] = {
    {"default", -12.0, 0.0, 22000.0, 0.2, 0.5, false, false, false, true, 0.0},
    {"band", -24.0, 80.0, 6000.0, 0.08, 1.0, false, false, false, true, 0.37},
    {"gate", -18.0, 0.0, 22000.0, 0.05, 0.8, true, false, false, true, 0.0},
    {"process only", -20.0, 200.0, 3000.0, 0.12, 1.0, false, false, true, true, 0.21},
    {"process only monitor", -20.0, 200.0, 3000.0, 0.12, 1.0, false, true, true, true, 0.0},
    {"monitor", -12.0, 100.0, 8000.0, 0.2, 0.5, false, true, false, true, 0.0},
    {"shape off", -18.0, 0.0, 22000.0, 0.1, 1.0, true, false, false, false, 0.0},
    {"strength 0", -18.0, 0.0, 12000.0, 0.1, 0.0, false, false, true, true, 0.0},
};

// Blocks of a fixed size cycling through this list by row, or (0) of sizes
// from a fixed sequence between 1 and 700 (the fixture's largest block is 512:
// longer ones are done in pieces).
const int kBlockPatterns[] = {64, 37, 0, 512, 1, 1000, 0, 129};

std::vector<int> BlockSizes(int pattern, size_t frames) {
    std::vector<int> sizes;
    uint32_t state = 0x9e3779b9u;
    for (size_t done = 0; done < frames;) {
        int n = pattern;
        if (pattern == 0) {
            state = state * 1664525u + 1013904223u;
            n = 1 + int((state >> 8) % 700u);
        }
        if (size_t(n) > frames - done) n = int(frames - done);
        sizes.push_back(n);
        done += size_t(n);
    }
    return sizes;
}

void Play(TestCore& fx, const Stereo& in, const std::vector<int>& sizes, Fnv& hash,
          const std::function<void(size_t)>& before = nullptr) {
    Stereo out(in.size());
    size_t at = 0;
    for (int n : sizes) {
        if (before) before(at);
        fx.Block(&in.l[at], &in.r[at], &out.l[at], &out.r[at], n);
        at += size_t(n);
    }
    hash.Add(out);
}

// Built once per run.
const std::vector<Input>& Inputs() {
    static std::vector<Input> inputs;
    if (!inputs.empty()) return inputs;
    const std::vector<float> demo = DemoSignal(48000.0);
    Input d{"demo", 48000.0, Stereo(demo.size() / 2)};
    for (size_t i = 0; i < d.audio.size(); ++i) {
        d.audio.l[i] = demo[2 * i];
        d.audio.r[i] = demo[2 * i + 1];
    }
    inputs.push_back(d);
#if KELO_HASH_DRUMS
    std::string why;
    if (DrumKitsAvailable(&why)) {
        std::vector<DrumTrack> tracks = AllDrumMaterial(DrumSeed());
        // The groove's first bar also at the other rates the lookahead tests use.
        const size_t bar = size_t(2.4 * tracks[0].rate);
        DrumTrack first = tracks[0];
        first.l.resize(bar);
        first.r.resize(bar);
        first.hits.clear();
        tracks.push_back(Resampled(first, 44100.0));
        tracks.push_back(Resampled(first, 96000.0));
        for (const DrumTrack& t : tracks) {
            Input in{t.name + "@" + std::to_string(int(t.rate)), t.rate, Stereo(t.size())};
            in.audio.l = t.l;
            in.audio.r = t.r;
            inputs.push_back(in);
        }
    }
#endif
    return inputs;
}

// Why the hashes cannot hold here, or null.
const char* Unhashable() {
#if !defined(__x86_64__) || !defined(__linux__)
    return "the hashes are of x86-64 Linux arithmetic (SSE2 doubles, glibc)";
#elif !defined(__OPTIMIZE__)
    // (The sanitizers' stage builds unoptimized: the table would take it ten
    // minutes. The optimized native build checks every hash.)
    return "an unoptimized build: the optimized native build checks the hashes";
#else
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma"))
        return "the hashes were recorded where glibc runs its AVX2/FMA versions of exp, tan, sin";
    if (!KELO_HASH_DRUMS) return "built without the drum material (no libsndfile)";
    std::string why;
    if (!DrumKitsAvailable(&why)) return "the drum kits are not installed";
    return nullptr;
#endif
}

// name -> hash, as recorded from the build before (see the file's head).
const std::map<std::string, uint64_t> kExpected = {
#include "output_hashes.inc"
};

void Check(const std::map<std::string, uint64_t>& got) {
    if (std::getenv("KELO_RECORD_OUTPUT_HASHES")) {
        for (const auto& [name, hash] : got)
            std::printf("    {\"%s\", 0x%016llxULL},\n", name.c_str(), (unsigned long long)hash);
        return;
    }
    for (const auto& [name, hash] : got) {
        const auto want = kExpected.find(name);
        ASSERT_NE(want, kExpected.end()) << name << " has no recorded hash";
        EXPECT_EQ(hash, want->second) << name << ": the output changed";
    }
}

} // namespace

TEST(OutputHashes, TheMaterialSoundsBitForBitAsRecordedUnderEveryOptionAndSwitch) {
    if (const char* why = Unhashable()) GTEST_SKIP() << why;
    const std::vector<Input>& inputs = Inputs();
    std::map<std::string, uint64_t> got;
    int pattern = 0;
    for (const Row& row : kRows) {
        for (int options = 0; options < 4; ++options) {
            const bool both = options & 1, lookahead = options & 2;
            const int blocks = kBlockPatterns[pattern++ % std::size(kBlockPatterns)];
            Fnv hash;
            for (const Input& in : inputs) {
                TestCore fx(in.rate, 512);
                fx.Set(kParamThreshold, row.thresholdDb);
                fx.Set(kParamLoFreq, row.loFreq);
                fx.Set(kParamHiFreq, row.hiFreq);
                fx.Set(kParamEnvTime, row.envTime);
                fx.Set(kParamStrength, row.strength);
                fx.Set(kParamGate, row.gate);
                fx.Set(kParamMonitor, row.monitor);
                fx.Set(kParamProcessOnly, row.processOnly);
                fx.Set(kParamShapeEnv, row.shapeOn);
                fx.SetDetectBothPolarities(both);
                fx.SetLookahead(lookahead);
                fx.ResetProcessing();
                const size_t moveAt = size_t(row.moveAt * in.rate);
                bool moved = false;
                Play(fx, in.audio, BlockSizes(blocks, in.audio.size()), hash, [&](size_t at) {
                    if (moveAt > 0 && !moved && at >= moveAt) {
                        moved = true;
                        fx.Set(kParamLoFreq, 2.0 * row.loFreq + 150.0);
                        fx.Set(kParamHiFreq, 0.5 * row.hiFreq);
                    }
                });
            }
            got[std::string(row.name) + (both ? " both" : "") + (lookahead ? " lookahead" : "")] =
                hash.h;
        }
    }
    Check(got);
}

TEST(OutputHashes, TheSavedStatesSoundBitForBitAsRecordedUnderEveryOption) {
    if (const char* why = Unhashable()) GTEST_SKIP() << why;
    const std::vector<Input>& inputs = Inputs();
    std::map<std::string, uint64_t> got;
    int pattern = 3;
    for (const SavedState& saved : kSavedStates) {
        for (int options = 0; options < 4; ++options) {
            const bool both = options & 1, lookahead = options & 2;
            const int blocks = kBlockPatterns[pattern++ % std::size(kBlockPatterns)];
            Fnv hash;
            // The demo and the groove: enough to hear every state's shape.
            for (size_t k = 0; k < inputs.size() && k < 2; ++k) {
                const Input& in = inputs[k];
                TestCore fx(in.rate, 512);
                ByteBlock block;
                block.AppendBytes(saved.bytes.data(), int32_t(saved.bytes.size()));
                ASSERT_TRUE(fx.LoadState(&block));
                fx.NotifyAllParams();
                fx.SetDetectBothPolarities(both);
                fx.SetLookahead(lookahead);
                fx.ResetProcessing();
                Play(fx, in.audio, BlockSizes(blocks, in.audio.size()), hash);
            }
            got[std::string("state ") + saved.name + (both ? " both" : "") +
                (lookahead ? " lookahead" : "")] = hash.h;
        }
    }
    Check(got);
}
