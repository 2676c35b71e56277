// A fixed delay of a few samples for blocks of any length: the memory is
// sized once (outside the audio thread) and Process runs in place.
#pragma once

#include <vector>

#include "base/byte_block.h"

// Cleared memory for delay lines, made where the caller may allocate and
// wait (no lock held), so that lines can be reset where it may not: a line
// takes a block in place of clearing its own, and leaves its old memory in
// the block, freed with the pool.
class ClearedLines {
public:
    // count blocks of samples each, all zero; false (and none) when the
    // memory cannot be had.
    bool Make(int count, int samples);
    // The next block of (at least) samples, or null when none is left or
    // the blocks are shorter.
    ByteBlock* Take(int samples);

private:
    std::vector<ByteBlock> mBlocks;
    int mSamples = 0;
    size_t mTaken = 0;
};

class DelayLine {
public:
    // Sets the delay in samples (at least 0) and clears the memory; false, with
    // a delay of 0, when the memory cannot be had. Allocates: not on the
    // audio thread. With cleared blocks of its length, the line takes one
    // (and hands its old memory over to the pool) instead: neither allocating
    // nor clearing.
    bool SetLength(int samples, ClearedLines* cleared = nullptr);
    int Length() const { return mLength; }
    // Clears the memory (silence comes out first).
    void Clear();
    // Replaces x[0..n-1] by the same samples Length() frames later.
    void Process(double* x, int n);
    // The same from in to out, which do not overlap: out[0..n-1] is
    // in[0..n-1] Length() frames later.
    void Process(const double* in, double* out, int n);
    // Takes x[0..n-1] in without handing anything out (only the last Length()
    // of them stay).
    void Push(const double* x, int n);
    // Every sample in the memory becomes v (as if v had gone in all along).
    void Fill(double v);
    // The sample that went in k frames before the next one (1 <= k <= Length()).
    double Past(int k) const;

private:
    ByteBlock mMemory;
    int mLength = 0;
    int mPos = 0; // where the oldest sample is, and the next one goes
};
