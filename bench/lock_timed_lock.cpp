// The plug-in's lock, built for timing: the benchmark's binary links this in
// place of the product's lock (the same source, with the timing hooks on).
#define KELO_LOCK_TIMING 1
#include "plug/lock_posix.cpp"
