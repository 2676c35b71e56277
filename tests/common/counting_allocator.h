// Counts heap allocations so a test can show that a stretch of code allocates
// nothing. Counted: every operator new, the ByteBlock C allocations through its
// allocator hook, and on glibc without sanitizers every malloc, calloc and
// realloc.
//
// The header replaces the global allocation functions, so a test program
// includes it from exactly one source file.
//
// Use:
//     AllocationCounter counter; // installs the counting ByteBlock allocator
//     counter.Start();
//     ... code under test ...
//     EXPECT_EQ(counter.Stop(), 0);
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

#include "base/byte_block.h"

namespace counting_allocator {

inline std::atomic<bool> gCounting{false};
inline std::atomic<long> gAllocations{0};

inline void Count() {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1);
}

inline void* CountedNew(size_t bytes) {
    Count();
    if (void* p = std::malloc(bytes ? bytes : 1)) return p;
    throw std::bad_alloc();
}

inline void* HookRealloc(void* block, size_t bytes) {
    Count();
    return std::realloc(block, bytes);
}

inline void* HookMalloc(size_t bytes) {
    Count();
    return std::malloc(bytes);
}

} // namespace counting_allocator

void* operator new(size_t bytes) {
    return counting_allocator::CountedNew(bytes);
}
void* operator new[](size_t bytes) {
    return counting_allocator::CountedNew(bytes);
}
// The forms that answer null instead of throwing come to the same place, so
// whatever they hand out the deletes below may free.
void* operator new(size_t bytes, const std::nothrow_t&) noexcept {
    counting_allocator::Count();
    return std::malloc(bytes ? bytes : 1);
}
void* operator new[](size_t bytes, const std::nothrow_t&) noexcept {
    counting_allocator::Count();
    return std::malloc(bytes ? bytes : 1);
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
// The C library's own allocation functions are counted too.
inline constexpr bool kCountsCAllocations = true;
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* malloc(size_t bytes) {
    counting_allocator::Count();
    return __libc_malloc(bytes);
}
void* calloc(size_t count, size_t bytes) {
    counting_allocator::Count();
    return __libc_calloc(count, bytes);
}
void* realloc(void* block, size_t bytes) {
    counting_allocator::Count();
    return __libc_realloc(block, bytes);
}
}
#else
inline constexpr bool kCountsCAllocations = false;
#endif

// Installs the counting ByteBlock allocator for its lifetime and counts the
// allocations between Start and Stop.
class AllocationCounter {
public:
    AllocationCounter()
        : mPrevious(SetByteBlockAllocator(
              {counting_allocator::HookRealloc, counting_allocator::HookMalloc})) {}
    ~AllocationCounter() {
        counting_allocator::gCounting = false;
        SetByteBlockAllocator(mPrevious);
    }
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    // Zeroes the count and starts counting.
    void Start() {
        counting_allocator::gAllocations = 0;
        counting_allocator::gCounting = true;
    }
    // Stops counting; returns the allocations counted since Start.
    long Stop() {
        counting_allocator::gCounting = false;
        return counting_allocator::gAllocations.load();
    }

private:
    ByteBlockAllocator mPrevious;
};
