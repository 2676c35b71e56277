// Processing host blocks allocates nothing once the block size is set.
// Counts operator new everywhere, the buffers' C allocations through their
// allocator hook, and on glibc without sanitizers every malloc, calloc and realloc.
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "plug/effect_base.h"

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
#define KELO_COUNT_C_ALLOCATIONS 1
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

// An effect whose own processing allocates nothing: a gain from parameter 0.
class GainEffect : public EffectBase {
public:
    GainEffect()
        : EffectBase({nullptr, 0, 0}, 1, 2, 2, "gain", "", "vendor", 0x010000, 1, 2, 0, false,
                     false, true, false) {
        ParamAt(0)->DefineContinuous("gain", 1.0, 0.0, 2.0, 0.01, "");
        SetInputsConnected(0, 2, true);
        SetOutputsConnected(0, 2, true);
        SetMaxBlock(256);
    }
    void ParamChanged(int32_t index) override { mGain = ParamAt(index)->Value(); }
    void ProcessBlock(double** in, double** out, int32_t frames) override {
        for (int c = 0; c < 2; ++c)
            for (int32_t i = 0; i < frames; ++i)
                out[c][i] = in[c][i] * mGain;
    }
    int32_t TransportSample() override { return 0; }
    double TransportTempo() override { return 0.0; }
    void TransportMeter(int32_t&, int32_t&) override {}
    bool EmitMidi(const MidiMessage*) override { return false; }

private:
    double mGain = 1.0;
};

template <typename T>
struct Channels {
    explicit Channels(int frames) : a(size_t(frames), T(0.5)), b(size_t(frames), T(-0.5)) {}
    std::vector<T> a, b;
    T* ptrs[2] = {a.data(), b.data()};
};

} // namespace

TEST(AudioAllocation, TheCounterSeesAllocations) {
    const ByteBlockAllocator previous = SetByteBlockAllocator({HookRealloc, HookMalloc});
    gAllocations = 0;
    gCounting = true;
    int* p = new int(3);
    ByteBlock block;
    block.SetLength(10);
    gCounting = false;
    delete p;
    SetByteBlockAllocator(previous);
#ifdef KELO_COUNT_C_ALLOCATIONS
    EXPECT_EQ(gAllocations.load(), 4); // new + its malloc, the hook + its realloc
#else
    EXPECT_EQ(gAllocations.load(), 2);
#endif
}

TEST(AudioAllocation, ProcessingBlocksAllocatesNothingAfterTheBlockSizeIsSet) {
    const ByteBlockAllocator previous = SetByteBlockAllocator({HookRealloc, HookMalloc});
    GainEffect fx;
    Channels<float> in32(1000), out32(1000);
    Channels<double> in64(1000), out64(1000);
    float* nullIn32[2] = {nullptr, in32.a.data()};
    gAllocations = 0;
    gCounting = true;
    for (int round = 0; round < 10; ++round) {
        fx.ProcessFloatReplacing(in32.ptrs, out32.ptrs, 200);
        fx.ProcessFloatAccumulating(in32.ptrs, out32.ptrs, 200);
        fx.ProcessDoubleReplacing(in64.ptrs, out64.ptrs, 200);
        // Oversize blocks, null channels and parameter changes on the way.
        fx.ProcessFloatReplacing(in32.ptrs, out32.ptrs, 1000);
        fx.ProcessDoubleReplacing(in64.ptrs, out64.ptrs, 1000);
        fx.ProcessFloatReplacing(nullIn32, out32.ptrs, 300);
        fx.EditorParamChange(0, 0.25 * round / 10.0);
    }
    gCounting = false;
    SetByteBlockAllocator(previous);
    EXPECT_EQ(gAllocations.load(), 0);
    EXPECT_NE(out32.a[999], 0.0f);
    EXPECT_NE(out64.b[999], 0.0);
}
