// The lock on top of the C++ library's recursive mutex (Linux builds).
#include "plug/lock.h"

#include <mutex>
#include <new>

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
}
bool Lock::TryEnter() {
    return Mutex(mStorage).try_lock();
}
void Lock::Leave() {
    Mutex(mStorage).unlock();
}
