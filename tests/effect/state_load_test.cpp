// A state load under the plug-in's lock: what it holds the lock for is bounded
// work, and the state it takes in sounds as the load taken whole under the
// lock did. The first is shown by a probe: every buffer the effect has is
// placed on pages of its own, and while the state is taken in they are
// guarded, so that any byte read or written in them is seen (a clear of the
// delay lines, a copy of the chunk, a scan of the event record).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "effect/kelo.h"
#include "kelo_fixture.h"
#include "plug/lock.h"
#include "plug/state_chunk.h"

#if defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__) &&                             \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define KELO_PAGE_PROBE 1
#include <malloc.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#else
#define KELO_PAGE_PROBE 0
#endif

namespace {

const double kRate = 48000.0;

// The effect with its options set, the parameters moved and some audio heard,
// saved: a state that switches everything a load can switch.
std::vector<uint8_t> StateWith(double rate, int maxBlock, bool options, uint32_t seed) {
    TestCore fx(rate, maxBlock);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    // Envelopes short enough for several hits to start one each.
    const Param* envTime = fx.ParamAt(kParamEnvTime);
    fx.Set(kParamEnvTime, envTime->Min() + (0.25 - envTime->Min()) * unit(random));
    const Param* strength = fx.ParamAt(kParamStrength);
    fx.Set(kParamStrength, strength->Min() + (strength->Max() - strength->Min()) * unit(random));
    fx.Set(kParamThreshold, -30.0 + 10.0 * unit(random));
    fx.SetLookahead(options);
    fx.SetFollowLevel(options);
    fx.SetDetectBothPolarities(options && seed % 2);
    ByteBlock chunk;
    fx.SaveStateChunk(chunk);
    return std::vector<uint8_t>(chunk.Bytes(), chunk.Bytes() + chunk.Size());
}

ByteBlock BlockOf(const std::vector<uint8_t>& bytes) {
    ByteBlock block;
    block.AppendBytes(bytes.data(), int32_t(bytes.size()));
    return block;
}

// Hits at random places over quiet noise, the same for every effect fed it.
Stereo Material(size_t frames, uint32_t seed) {
    Stereo s(frames);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-0.003, 0.003);
    for (size_t i = 0; i < frames; ++i)
        s.l[i] = s.r[i] = noise(random);
    for (size_t at = 700; at + 2000 < frames; at += 2500 + random() % 3000)
        AddBurst(s, kRate, 180.0 + double(random() % 900), 0.9, at, 1500);
    return s;
}

// The load as it was taken before it was prepared off the lock: read and
// applied, every parameter heard and the processing reset, all under the lock.
void LoadWholeUnderTheLock(TestCore& fx, ByteBlock& chunk) {
    ScopedLock hold(fx.FrameLock());
    LoadTaggedState(fx, chunk, kKeloStateTag, &fx);
    fx.NotifyAllParams();
}

#if KELO_PAGE_PROBE
// Every ByteBlock's memory on whole pages of its own, registered while it
// lives (free is replaced to see it go), so that the blocks can be guarded.
namespace probe {

const size_t kMaxBlocks = 4096;
struct Block {
    std::atomic<uint8_t*> start{nullptr};
    size_t bytes = 0;
};
Block gBlocks[kMaxBlocks];
std::atomic<bool> gGuarded{false};
std::atomic<long> gAllocations{0}, gTouchedPages{0};
size_t gLargestTouched = 0;

size_t Page() {
    return size_t(sysconf(_SC_PAGESIZE));
}
size_t Whole(size_t bytes) {
    return (bytes + Page() - 1) / Page() * Page();
}

void Register(uint8_t* p, size_t bytes) {
    for (Block& b : gBlocks) {
        uint8_t* empty = nullptr;
        if (b.start.compare_exchange_strong(empty, p)) {
            b.bytes = bytes;
            return;
        }
    }
}
Block* Find(const void* p) {
    for (Block& b : gBlocks)
        if (b.start.load() == p) return &b;
    return nullptr;
}

void* Malloc(size_t bytes) {
    if (gGuarded) ++gAllocations;
    const size_t whole = Whole(bytes ? bytes : 1);
    auto* p = static_cast<uint8_t*>(aligned_alloc(Page(), whole));
    if (p) Register(p, whole);
    return p;
}
void* Realloc(void* old, size_t bytes) {
    if (!old) return Malloc(bytes);
    if (gGuarded) ++gAllocations;
    void* p = Malloc(bytes);
    if (!p) return nullptr;
    const Block* b = Find(old);
    std::memcpy(p, old, std::min(b ? b->bytes : malloc_usable_size(old), bytes));
    free(old);
    return p;
}

// A guarded page touched: opened for the rest of the hold, and counted.
void OnFault(int, siginfo_t* info, void*) {
    auto* at = static_cast<uint8_t*>(info->si_addr);
    for (Block& b : gBlocks) {
        uint8_t* start = b.start.load();
        if (start && at >= start && at < start + b.bytes) {
            auto* page = reinterpret_cast<uint8_t*>(uintptr_t(at) / Page() * Page());
            mprotect(page, Page(), PROT_READ | PROT_WRITE);
            ++gTouchedPages;
            gLargestTouched = std::max(gLargestTouched, b.bytes);
            return;
        }
    }
    // Not ours: the fault happens again, and the program ends as it would.
    signal(SIGSEGV, SIG_DFL);
}

void Protect(int protection) {
    for (Block& b : gBlocks)
        if (uint8_t* start = b.start.load()) mprotect(start, b.bytes, protection);
}

// While it lives, every ByteBlock made is registered; between Guard and
// Open every registered block is guarded and the allocations counted.
class Probe {
public:
    Probe() : mPrevious(SetByteBlockAllocator({Realloc, Malloc})) {
        struct sigaction action = {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &action, &mPreviousAction);
    }
    ~Probe() {
        Open();
        sigaction(SIGSEGV, &mPreviousAction, nullptr);
        SetByteBlockAllocator(mPrevious);
    }
    void Guard() {
        gAllocations = gTouchedPages = 0;
        gLargestTouched = 0;
        gGuarded = true;
        Protect(PROT_NONE);
    }
    void Open() {
        Protect(PROT_READ | PROT_WRITE);
        gGuarded = false;
    }
    long Allocations() const { return gAllocations; }
    long TouchedPages() const { return gTouchedPages; }
    size_t LargestTouched() const { return gLargestTouched; }

private:
    ByteBlockAllocator mPrevious;
    struct sigaction mPreviousAction;
};

} // namespace probe
#endif

} // namespace

#if KELO_PAGE_PROBE
extern "C" void __libc_free(void*);
// A block freed leaves the register (opened first: the C library writes in it).
extern "C" void free(void* p) {
    if (p)
        if (probe::Block* b = probe::Find(p)) {
            mprotect(p, b->bytes, PROT_READ | PROT_WRITE);
            b->start = nullptr;
        }
    __libc_free(p);
}
#endif

// ---------------------------------------------------------------- the hold's work

struct HoldCase {
    double rate;
    int maxBlock;
    bool optionsBefore, optionsLoaded;
};

class StateLoadHold : public ::testing::TestWithParam<HoldCase> {};

TEST_P(StateLoadHold, TakesTheStateInWithoutTouchingAnyBufferOrAllocating) {
#if KELO_PAGE_PROBE
    const HoldCase c = GetParam();
    probe::Probe probe;
    TestCore fx(c.rate, c.maxBlock);
    fx.SetLookahead(c.optionsBefore);
    fx.SetFollowLevel(c.optionsBefore);
    // Audio heard first: the lines and the event record hold something.
    const Stereo in = Material(size_t(c.rate / 2), 3);
    RunBlocks(fx, in, c.maxBlock);
    ByteBlock chunk = BlockOf(StateWith(c.rate, c.maxBlock, c.optionsLoaded, 7));

    std::unique_ptr<PreparedState> state = fx.PrepareState(chunk);
    ASSERT_TRUE(state);
    probe.Guard();
    const bool taken = fx.TakeState(*state);
    probe.Open();
    EXPECT_TRUE(taken);
    EXPECT_EQ(probe.Allocations(), 0);
    EXPECT_EQ(probe.TouchedPages(), 0)
        << "pages of buffers up to " << probe.LargestTouched() << " bytes touched";
    state.reset();

    // Taken in whole: saved again, the same state.
    ByteBlock again;
    fx.SaveStateChunk(again);
    EXPECT_EQ(again.Size(), chunk.Size());
    EXPECT_EQ(
        0, std::memcmp(again.Bytes(), chunk.Bytes(), size_t(std::min(again.Size(), chunk.Size()))));
#else
    GTEST_SKIP() << "the page probe needs glibc on x86-64 without sanitizers";
#endif
}

INSTANTIATE_TEST_SUITE_P(RatesBlocksAndOptions, StateLoadHold,
                         ::testing::Values(HoldCase{48000.0, 64, false, false},
                                           HoldCase{48000.0, 256, false, true},
                                           HoldCase{96000.0, 4096, true, false},
                                           HoldCase{192000.0, 1024, true, true},
                                           HoldCase{44100.0, 8192, true, true}));

// ---------------------------------------------------------------- the sound after a load

struct MidStreamCase {
    const char* name;
    bool optionsBefore;
    // The states loaded in turn: with the options on or off.
    std::vector<bool> loaded;
    // Cut the chunk to this many bytes (0: whole), or give it another tag.
    int cut;
    bool otherTag;
};

class StateLoadedMidStream : public ::testing::TestWithParam<MidStreamCase> {};

TEST_P(StateLoadedMidStream, SoundsAsTheLoadTakenWholeUnderTheLock) {
    const MidStreamCase c = GetParam();
    const int maxBlock = 512;
    TestCore prepared(kRate, maxBlock), whole(kRate, maxBlock);
    for (TestCore* fx : {&prepared, &whole}) {
        fx->SetLookahead(c.optionsBefore);
        fx->SetFollowLevel(c.optionsBefore);
    }
    std::vector<std::vector<uint8_t>> states;
    for (size_t k = 0; k < c.loaded.size(); ++k) {
        std::vector<uint8_t> bytes = StateWith(kRate, maxBlock, c.loaded[k], uint32_t(11 + k));
        if (c.cut > 0 && size_t(c.cut) < bytes.size()) bytes.resize(size_t(c.cut));
        if (c.otherTag) bytes[0] ^= 0x5a;
        states.push_back(bytes);
    }

    // Random block sizes, a load every few blocks, the same for both.
    const Stereo in = Material(size_t(kRate * 3), 5);
    Stereo outPrepared(in.size()), outWhole(in.size());
    std::mt19937 random(9);
    size_t next = 0;
    int blocks = 0;
    int64_t starts = 0; // envelopes started, over every reset
    for (size_t i = 0; i < in.size();) {
        const int n = int(std::min<size_t>(1 + random() % maxBlock, in.size() - i));
        if (++blocks % 37 == 0 && next < states.size()) {
            ByteBlock a = BlockOf(states[next]), b = BlockOf(states[next]);
            EXPECT_EQ(prepared.EnvelopeStarts(), whole.EnvelopeStarts());
            starts += prepared.EnvelopeStarts();
            prepared.LoadStateChunk(a);
            LoadWholeUnderTheLock(whole, b);
            ++next;
        }
        prepared.Block(&in.l[i], &in.r[i], &outPrepared.l[i], &outPrepared.r[i], n);
        whole.Block(&in.l[i], &in.r[i], &outWhole.l[i], &outWhole.r[i], n);
        i += size_t(n);
    }
    ASSERT_EQ(next, states.size()) << "every state was loaded";
    EXPECT_EQ(prepared.EnvelopeStarts(), whole.EnvelopeStarts());
    starts += prepared.EnvelopeStarts();
    EXPECT_GT(starts, 4) << "the material starts envelopes";
    size_t differ = 0;
    for (size_t i = 0; i < in.size() && differ == 0; ++i)
        if (std::memcmp(&outPrepared.l[i], &outWhole.l[i], sizeof(double)) != 0 ||
            std::memcmp(&outPrepared.r[i], &outWhole.r[i], sizeof(double)) != 0)
            differ = i + 1;
    EXPECT_EQ(differ, 0u) << "first differing frame " << differ - 1;
}

INSTANTIATE_TEST_SUITE_P(
    OptionsAndDamage, StateLoadedMidStream,
    ::testing::Values(MidStreamCase{"plain", false, {false, false, false}, 0, false},
                      MidStreamCase{"lookaheadOn", false, {true, false, true, true}, 0, false},
                      MidStreamCase{"lookaheadOff", true, {false, true, false}, 0, false},
                      MidStreamCase{"endsInTheValues", true, {true, false}, 60, false},
                      MidStreamCase{"endsInTheShape", false, {true, true}, 150, false},
                      MidStreamCase{"otherTag", true, {true, false}, 0, true}),
    [](const ::testing::TestParamInfo<MidStreamCase>& info) { return info.param.name; });
