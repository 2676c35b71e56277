// Processing allocates nothing once the effect is reset: the effect's own
// ProcessBlock through both host paths. Counts operator new everywhere, the
// buffers' C allocations through their allocator hook, and on glibc without
// sanitizers every malloc, calloc and realloc.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "kelo_fixture.h"

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};

void Count() {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1);
}

void* CountedNew(size_t bytes) {
    Count();
    if (void* p = std::malloc(bytes ? bytes : 1)) return p;
    throw std::bad_alloc();
}

} // namespace

void* operator new(size_t bytes) {
    return CountedNew(bytes);
}
void* operator new[](size_t bytes) {
    return CountedNew(bytes);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* malloc(size_t bytes) {
    Count();
    return __libc_malloc(bytes);
}
void* calloc(size_t count, size_t bytes) {
    Count();
    return __libc_calloc(count, bytes);
}
void* realloc(void* block, size_t bytes) {
    Count();
    return __libc_realloc(block, bytes);
}
}
#endif

namespace {

void* HookRealloc(void* block, size_t bytes) {
    Count();
    return std::realloc(block, bytes);
}
void* HookMalloc(size_t bytes) {
    Count();
    return std::malloc(bytes);
}

template <typename T>
struct Channels {
    explicit Channels(size_t frames) : l(frames), r(frames) {}
    std::vector<T> l, r;
    T* ptrs[2] = {l.data(), r.data()};
};

} // namespace

TEST(EffectAllocation, TheCounterSeesAllocations) {
    const ByteBlockAllocator previous = SetByteBlockAllocator({HookRealloc, HookMalloc});
    gAllocations = 0;
    gCounting = true;
    int* p = new int(3);
    ByteBlock block;
    block.SetLength(10);
    gCounting = false;
    delete p;
    SetByteBlockAllocator(previous);
    EXPECT_GE(gAllocations.load(), 2);
}

TEST(EffectAllocation, ShapingAllocatesNothingOnEitherHostPath) {
    const ByteBlockAllocator previous = SetByteBlockAllocator({HookRealloc, HookMalloc});
    TestKelo fx(48000, 512);
    Stereo signal(48000);
    for (size_t at = 500; at < signal.size(); at += 9000)
        AddBurst(signal, 48000, 900, 0.9, at, 800);
    signal.l[7000] = std::nan(""); // the repair path too
    Channels<double> in64(1000), out64(1000);
    Channels<float> in32(1000), out32(1000);
    gAllocations = 0;
    gCounting = true;
    long shaped = 0;
    double peak = 0.0;
    for (size_t at = 0; at + 1000 <= signal.size(); at += 1000) {
        for (size_t i = 0; i < 1000; ++i) {
            in64.l[i] = signal.l[at + i];
            in64.r[i] = signal.r[at + i];
            in32.l[i] = float(signal.l[at + i]);
            in32.r[i] = float(signal.r[at + i]);
        }
        // Blocks longer than the block size, both host paths, settings changing.
        fx.ProcessDoubleReplacing(in64.ptrs, out64.ptrs, 1000);
        fx.mPosition += 1000;
        fx.ProcessFloatReplacing(in32.ptrs, out32.ptrs, 333);
        fx.mPosition += 333;
        fx.EditorParamChange(kParamGate, (at / 1000) % 2 ? 1.0 : 0.0);
        fx.EditorParamChange(kParamProcessOnly, (at / 3000) % 2 ? 1.0 : 0.0);
        if (fx.Phase() >= kPhaseOnset) ++shaped;
        for (double v : out64.l)
            peak = std::max(peak, std::fabs(v));
    }
    gCounting = false;
    SetByteBlockAllocator(previous);
    EXPECT_EQ(gAllocations.load(), 0);
    EXPECT_GT(shaped, 0); // envelopes ran
    EXPECT_GT(peak, 0.1); // audio came through
}
