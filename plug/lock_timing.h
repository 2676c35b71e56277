// What a lock built for timing (KELO_LOCK_TIMING, the lock benchmark's own
// plug-in binary) tells about each outermost hold; the product's locks are
// built without it and call nothing. The benchmark defines these.
#pragma once

#include <cstdint>

class Lock;

// A monotonic clock in nanoseconds.
int64_t LockTimingNow();
// The calling thread took lock (outermost), having asked for it at asked, in
// the function whose code address site is.
void LockTimingTaken(const Lock* lock, int64_t asked, const void* site);
// The calling thread let go of its outermost hold of lock.
void LockTimingReleased(const Lock* lock);
