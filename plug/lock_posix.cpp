// The lock on top of a POSIX recursive mutex (Linux builds), with priority
// inheritance where the system offers it: an audio thread of real-time
// priority that waits for the lock lends its priority to the holder, so a
// holder that the scheduler had put aside finishes its few microseconds at
// once instead of when its turn comes again.
#include "plug/lock.h"

#include <new>

#include <pthread.h>

#ifdef KELO_LOCK_TIMING
#include "plug/lock_timing.h"
#endif

namespace {

pthread_mutex_t& Mutex(unsigned char* storage) {
    return *std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

// Pauses before a waiter sleeps: a few tens of microseconds, longer than any
// hold but the processing's. A sleeper is woken through the scheduler (on a
// virtual machine through its host too, which took hundreds of
// microseconds); a holder that is preempted meanwhile is lent the waiter's
// priority once it sleeps.
constexpr int kSpinTries = 1000;

void CpuPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace

static_assert(sizeof(pthread_mutex_t) <= 64, "lock storage too small");
static_assert(alignof(pthread_mutex_t) <= 16, "lock storage misaligned");

Lock::Lock() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_t* mutex = new (mStorage) pthread_mutex_t;
    // A system without priority inheritance (an emulator's, say) refuses the
    // protocol: the plain recursive mutex then.
    if (pthread_mutex_init(mutex, &attributes) != 0) {
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_NONE);
        pthread_mutex_init(mutex, &attributes);
    }
    pthread_mutexattr_destroy(&attributes);
}
Lock::~Lock() {
    pthread_mutex_destroy(&Mutex(mStorage));
}
void Lock::Enter() {
    if (EnteredAgain()) return;
#ifdef KELO_LOCK_TIMING
    const int64_t asked = LockTimingNow();
#endif
    pthread_mutex_t& mutex = Mutex(mStorage);
    bool taken = pthread_mutex_trylock(&mutex) == 0;
    // The wait reads the owner's tag and tries the mutex only once it reads
    // free: a try is an atomic write, and one per pause would take the
    // mutex's cache line from the holder's core at every pause.
    for (int i = 0; i < kSpinTries && !taken; ++i) {
        CpuPause();
        if (mOwner.load(std::memory_order_relaxed) == 0) taken = pthread_mutex_trylock(&mutex) == 0;
    }
    if (!taken) pthread_mutex_lock(&mutex);
    TakenOutermost();
#ifdef KELO_LOCK_TIMING
    LockTimingTaken(this, asked, __builtin_return_address(0));
#endif
}
bool Lock::TryEnter() {
    if (EnteredAgain()) return true;
    if (pthread_mutex_trylock(&Mutex(mStorage)) != 0) return false;
    TakenOutermost();
#ifdef KELO_LOCK_TIMING
    LockTimingTaken(this, LockTimingNow(), __builtin_return_address(0));
#endif
    return true;
}
void Lock::Leave() {
    if (!LeftOutermost()) return;
#ifdef KELO_LOCK_TIMING
    LockTimingReleased(this);
#endif
    pthread_mutex_unlock(&Mutex(mStorage));
}
uintptr_t Lock::ThisThreadTag() {
    // The address of a thread-local byte would need TLS; pthread_self is the
    // thread's own descriptor and never 0.
    return uintptr_t(pthread_self());
}
