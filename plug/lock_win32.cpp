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
    InitializeCriticalSection(Section(mStorage));
}
Lock::~Lock() {
    DeleteCriticalSection(Section(mStorage));
}
void Lock::Enter() {
    EnterCriticalSection(Section(mStorage));
}
bool Lock::TryEnter() {
    return TryEnterCriticalSection(Section(mStorage)) != 0;
}
void Lock::Leave() {
    LeaveCriticalSection(Section(mStorage));
}
