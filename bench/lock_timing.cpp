// The timing of the lock benchmark's plug-in binary: what each thread waited
// for each lock and how long it held it, kept per thread (no thread writes
// another's figures) in histograms of 1/32 of an octave, so that a hold of
// 10 us is told apart from one of 10.3 us.
#include "bench/lock_timing.h"

#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstring>

#include "plug/lock_timing.h"

#define KELO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Counts of nanosecond values: exact below 32 ns, then 32 bins an octave.
class Histogram {
public:
    static constexpr int kSub = 32, kOctaves = 40, kBins = kSub + kOctaves * kSub;

    void Add(int64_t ns) {
        if (ns < 0) ns = 0;
        ++mBins[Bin(ns)];
        ++mCount;
        if (ns > mMax) mMax = ns;
    }
    int64_t Count() const { return mCount; }
    int64_t Max() const { return mMax; }
    // The smallest value at least the fraction q of all values are at or
    // below (the upper edge of its bin, at most the largest value).
    int64_t Quantile(double q) const {
        if (mCount == 0) return 0;
        const int64_t rank = int64_t(q * double(mCount) + 0.999999);
        int64_t seen = 0;
        for (int bin = 0; bin < kBins; ++bin) {
            seen += mBins[bin];
            if (seen >= rank) return Upper(bin) < mMax ? Upper(bin) : mMax;
        }
        return mMax;
    }
    void Clear() { *this = Histogram(); }

private:
    static int Bin(int64_t ns) {
        if (ns < kSub) return int(ns);
        const int octave = 63 - __builtin_clzll(uint64_t(ns)); // at least 5
        const int shift = octave - 5;
        const int sub = int((ns >> shift) & (kSub - 1));
        const int bin = kSub + shift * kSub + sub;
        return bin < kBins ? bin : kBins - 1;
    }
    static int64_t Upper(int bin) {
        if (bin < kSub) return bin;
        const int shift = (bin - kSub) / kSub, sub = (bin - kSub) % kSub;
        return ((int64_t(kSub + sub + 1)) << shift) - 1;
    }

    uint32_t mBins[kBins] = {};
    int64_t mCount = 0;
    int64_t mMax = 0;
};

struct Slot {
    const void* lock = nullptr;
    Histogram hold, wait;
    const void* longestSite = nullptr;
    int64_t longestCpu = 0, cpuMax = 0;
};

struct ThreadStats {
    char label[32] = "";
    int epoch = 0; // the figures are of this epoch (see KeloLockTimingReset)
    static constexpr int kLocks = 4, kDepth = 8;
    Slot slots[kLocks];
    int slotCount = 0;
    struct Held {
        const void* lock;
        int64_t since, cpuSince;
        const void* site;
    } held[kDepth];
    int depth = 0;

    Slot* SlotOf(const void* lock) {
        for (int i = 0; i < slotCount; ++i)
            if (slots[i].lock == lock) return &slots[i];
        if (slotCount == kLocks) return nullptr;
        slots[slotCount].lock = lock;
        return &slots[slotCount++];
    }
};

constexpr int kThreads = 32;
ThreadStats gThreads[kThreads];
std::atomic<int> gThreadCount{0};
// A reset starts a new epoch; each thread clears its own figures when it next
// takes or lets go of a lock (no thread writes another's).
std::atomic<int> gEpoch{0};
thread_local ThreadStats* tStats = nullptr;

// This thread's figures, made on its first hold (null when every slot is taken).
ThreadStats* Stats() {
    if (!tStats) {
        const int index = gThreadCount.fetch_add(1);
        if (index >= kThreads) return nullptr;
        tStats = &gThreads[index];
        pthread_getname_np(pthread_self(), tStats->label, sizeof tStats->label);
        tStats->epoch = gEpoch.load();
    }
    const int epoch = gEpoch.load(std::memory_order_relaxed);
    if (tStats->epoch != epoch) {
        for (Slot& slot : tStats->slots) {
            slot.hold.Clear();
            slot.wait.Clear();
            slot.longestSite = nullptr;
            slot.longestCpu = slot.cpuMax = 0;
        }
        tStats->epoch = epoch;
    }
    return tStats;
}

int64_t ThreadCpuNow() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

int64_t LockTimingNow() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void LockTimingTaken(const Lock* lock, int64_t asked, const void* site) {
    const int64_t now = LockTimingNow();
    ThreadStats* stats = Stats();
    if (!stats) return;
    if (stats->depth == ThreadStats::kDepth) return;
    // A lock taken inside another's hold is part of that hold and not timed
    // on its own: the thread's CPU clock is a system call (about a
    // microsecond on a virtual machine), and two per inner lock, an editor's
    // list lock per parameter under a state load, say, made the outer hold
    // look tens of microseconds longer than the product holds it.
    if (stats->depth > 0) {
        stats->held[stats->depth++] = {lock, now, -1, site};
        return;
    }
    if (Slot* slot = stats->SlotOf(lock)) slot->wait.Add(now - asked);
    stats->held[stats->depth++] = {lock, now, ThreadCpuNow(), site};
}

void LockTimingReleased(const Lock* lock) {
    ThreadStats* stats = Stats();
    if (!stats) return;
    // Usually the newest hold; a lock let go out of order is found below it.
    for (int i = stats->depth - 1; i >= 0; --i) {
        if (stats->held[i].lock != lock) continue;
        // Only an outermost hold was timed and reads the clocks again.
        Slot* slot = stats->held[i].cpuSince >= 0 ? stats->SlotOf(lock) : nullptr;
        if (slot) {
            const int64_t cpuNow = ThreadCpuNow();
            const int64_t now = LockTimingNow();
            const int64_t held = now - stats->held[i].since;
            const int64_t cpu = cpuNow - stats->held[i].cpuSince;
            if (held > slot->hold.Max()) {
                slot->longestSite = stats->held[i].site;
                slot->longestCpu = cpu;
            }
            if (cpu > slot->cpuMax) slot->cpuMax = cpu;
            slot->hold.Add(held);
        }
        for (int j = i; j + 1 < stats->depth; ++j)
            stats->held[j] = stats->held[j + 1];
        --stats->depth;
        return;
    }
}

KELO_EXPORT void KeloLockTimingLabel(const char* label) {
    ThreadStats* stats = Stats();
    if (!stats || !label) return;
    std::strncpy(stats->label, label, sizeof stats->label - 1);
    stats->label[sizeof stats->label - 1] = '\0';
}

KELO_EXPORT int KeloLockTimingRows(LockTimingRow* rows, int capacity) {
    int n = 0;
    const int threads = gThreadCount.load() < kThreads ? gThreadCount.load() : kThreads;
    for (int t = 0; t < threads; ++t) {
        const ThreadStats& stats = gThreads[t];
        if (stats.epoch != gEpoch.load()) continue; // nothing since the reset
        for (int s = 0; s < stats.slotCount && n < capacity; ++s) {
            const Slot& slot = stats.slots[s];
            LockTimingRow& row = rows[n++];
            row.lock = slot.lock;
            std::memcpy(row.thread, stats.label, sizeof row.thread);
            row.holds = slot.hold.Count();
            row.holdMedianNs = slot.hold.Quantile(0.5);
            row.holdP99Ns = slot.hold.Quantile(0.99);
            row.holdMaxNs = slot.hold.Max();
            row.waitP99Ns = slot.wait.Quantile(0.99);
            row.waitMaxNs = slot.wait.Max();
            row.longestSite = slot.longestSite;
            row.longestCpuNs = slot.longestCpu;
            row.holdCpuMaxNs = slot.cpuMax;
            Dl_info info;
            row.moduleBase = dladdr(slot.longestSite, &info) ? info.dli_fbase : nullptr;
        }
    }
    return n;
}

KELO_EXPORT void KeloLockTimingReset() {
    gEpoch.fetch_add(1);
}
