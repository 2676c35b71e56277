// The lock on top of the C++ library's recursive mutex (Linux builds).
#include "plug/lock.h"

#include <mutex>
#include <new>

#include <pthread.h>

namespace {

std::recursive_mutex& Mutex(unsigned char* storage) {
    return *std::launder(reinterpret_cast<std::recursive_mutex*>(storage));
}

} // namespace

static_assert(sizeof(std::recursive_mutex) <= 64, "lock storage too small");
static_assert(alignof(std::recursive_mutex) <= 16, "lock storage misaligned");

Lock::Lock() {
    new (mStorage) std::recursive_mutex();
}
Lock::~Lock() {
    Mutex(mStorage).~recursive_mutex();
}
void Lock::Enter() {
    Mutex(mStorage).lock();
    if (mDepth++ == 0) mOwner.store(ThisThreadTag(), std::memory_order_relaxed);
}
bool Lock::TryEnter() {
    if (!(Mutex(mStorage).try_lock())) return false;
    if (mDepth++ == 0) mOwner.store(ThisThreadTag(), std::memory_order_relaxed);
    return true;
}
void Lock::Leave() {
    if (--mDepth == 0) mOwner.store(0, std::memory_order_relaxed);
    Mutex(mStorage).unlock();
}
bool Lock::HeldByThisThread() const {
    return mOwner.load(std::memory_order_relaxed) == ThisThreadTag();
}
uintptr_t Lock::ThisThreadTag() {
    // The address of a thread-local byte would need TLS; pthread_self is the
    // thread's own descriptor and never 0.
    return uintptr_t(pthread_self());
}
