// The lock on top of a Win32 critical section, which is re-entrant.
#include "plug/lock.h"

#include <windows.h>

namespace {

CRITICAL_SECTION* Section(unsigned char* storage) {
    return reinterpret_cast<CRITICAL_SECTION*>(storage);
}

} // namespace

static_assert(sizeof(CRITICAL_SECTION) <= 64, "lock storage too small");
static_assert(alignof(CRITICAL_SECTION) <= 16, "lock storage misaligned");

Lock::Lock() {
    // A waiter spins a while before it sleeps: a holder on the other core is
    // done within microseconds, sooner than a sleep and a wake-up.
    InitializeCriticalSectionAndSpinCount(Section(mStorage), 4000);
}
Lock::~Lock() {
    DeleteCriticalSection(Section(mStorage));
}
void Lock::Enter() {
    // A nested entry only counts (see lock_posix.cpp).
    if (HeldByThisThread()) {
        ++mDepth;
        return;
    }
    EnterCriticalSection(Section(mStorage));
    TakenOutermost();
}
bool Lock::TryEnter() {
    if (HeldByThisThread()) {
        ++mDepth;
        return true;
    }
    if (!(TryEnterCriticalSection(Section(mStorage)) != 0)) return false;
    TakenOutermost();
    return true;
}
void Lock::Leave() {
    if (--mDepth > 0) return;
    mOwner.store(0, std::memory_order_relaxed);
    LeaveCriticalSection(Section(mStorage));
}
void Lock::TakenOutermost() {
    mDepth = 1;
    mOwner.store(ThisThreadTag(), std::memory_order_relaxed);
}
bool Lock::HeldByThisThread() const {
    return mOwner.load(std::memory_order_relaxed) == ThisThreadTag();
}
uintptr_t Lock::ThisThreadTag() {
    // Thread ids are never 0 on Windows.
    return uintptr_t(GetCurrentThreadId());
}
