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
    if (EnteredAgain()) return;
    EnterCriticalSection(Section(mStorage));
    TakenOutermost();
}
bool Lock::TryEnter() {
    if (EnteredAgain()) return true;
    if (!(TryEnterCriticalSection(Section(mStorage)) != 0)) return false;
    TakenOutermost();
    return true;
}
void Lock::Leave() {
    if (LeftOutermost()) LeaveCriticalSection(Section(mStorage));
}
uintptr_t Lock::ThisThreadTag() {
    // Thread ids are never 0 on Windows.
    return uintptr_t(GetCurrentThreadId());
}
