// One re-entrant lock: the thread that holds it may take it again.
// The platform object lives in opaque storage so that this header stays portable.
#pragma once

#include <atomic>
#include <cstdint>

class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void Enter();
    // Takes the lock only if that needs no wait; true when taken (then Leave).
    bool TryEnter();
    void Leave();
    // True when the calling thread holds the lock (any depth). Other threads'
    // holds read as false; no thread-local storage, so the audio thread pays
    // one store per entry and per exit.
    bool HeldByThisThread() const {
        return mOwner.load(std::memory_order_relaxed) == ThisThreadTag();
    }
    // The platform's tag of the calling thread (never 0).
    static uintptr_t ThisThreadTag();

private:
    // The bookkeeping both platforms share. A nested entry only counts (the
    // holder never touches the platform object again while another thread
    // may wait on it): true, one deeper, when this thread held the lock.
    bool EnteredAgain() {
        if (!HeldByThisThread()) return false;
        ++mDepth;
        return true;
    }
    // An outermost entry, once the platform object is held.
    void TakenOutermost() {
        mDepth = 1;
        mOwner.store(ThisThreadTag(), std::memory_order_relaxed);
    }
    // One leave: true when it was the outermost, the owner then cleared and
    // the platform object to be released.
    bool LeftOutermost() {
        if (--mDepth > 0) return false;
        mOwner.store(0, std::memory_order_relaxed);
        return true;
    }

    // The holder's tag (0: free), written only when the outermost hold starts
    // and ends. A waiter reads it while it waits, so it has a cache line of its
    // own: the holder's nested entries (the depth, on the next line) and the
    // platform object are not pulled away from the holder's core meanwhile.
    alignas(64) std::atomic<uintptr_t> mOwner{0};
    // The holder's depth: only the outermost entry and exit reach the platform
    // object. Written only by the holder.
    alignas(64) int mDepth = 0;
    // Large and aligned enough for a CRITICAL_SECTION or a std::recursive_mutex;
    // each platform file checks this at compile time.
    alignas(16) unsigned char mStorage[64];
};

// Holds a Lock for the lifetime of the object.
class ScopedLock {
public:
    explicit ScopedLock(Lock& lock) : mLock(lock) { mLock.Enter(); }
    ~ScopedLock() { mLock.Leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Lock& mLock;
};
