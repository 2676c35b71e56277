// What the lock benchmark's own plug-in binary (KeloLockTimed: the product
// with its locks built for timing, KELO_LOCK_TIMING) reports of its locks:
// for each lock and each thread that took it, how long the thread waited for
// it and how long it held it (outermost holds). The binary exports the two
// functions below beside the VST entry point.
#pragma once

#include <cstdint>

struct LockTimingRow {
    const void* lock;
    char thread[32]; // the thread's label, or its system name
    int64_t holds;
    int64_t holdMedianNs, holdP99Ns, holdMaxNs;
    int64_t waitP99Ns, waitMaxNs;
    // Where the longest hold was taken: the module's base and the code
    // address (addr2line -e BINARY -f ADDRESS-BASE names the function).
    const void* longestSite;
    const void* moduleBase;
    // The thread's own CPU time during its longest hold, and the most CPU
    // time any of its holds took: a hold far longer than its CPU time had its
    // thread put aside meanwhile (by the scheduler, or the machine's host).
    int64_t longestCpuNs, holdCpuMaxNs;
};

extern "C" {
// Names the calling thread in the rows (up to 31 characters).
typedef void (*LockTimingLabelFn)(const char* label);
// Fills up to capacity rows, one per lock and thread; returns how many.
typedef int (*LockTimingRowsFn)(LockTimingRow* rows, int capacity);
// Forgets what was timed so far (each thread at its next hold).
typedef void (*LockTimingResetFn)();
}

#define KELO_LOCK_TIMING_LABEL "KeloLockTimingLabel"
#define KELO_LOCK_TIMING_ROWS "KeloLockTimingRows"
#define KELO_LOCK_TIMING_RESET "KeloLockTimingReset"
