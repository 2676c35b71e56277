// One re-entrant lock: the thread that holds it may take it again.
// The platform object lives in opaque storage so that this header stays portable.
#pragma once

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

private:
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
