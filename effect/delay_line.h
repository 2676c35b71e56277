// A fixed delay of a few samples for blocks of any length: the memory is
// sized once (outside the audio thread) and Process runs in place.
#pragma once

#include "base/byte_block.h"

class DelayLine {
public:
    // Sets the delay in samples (at least 0) and clears the memory; false, with
    // a delay of 0, when the memory cannot be had. Allocates: not on the
    // audio thread.
    bool SetLength(int samples);
    int Length() const { return mLength; }
    // Clears the memory (silence comes out first).
    void Clear();
    // Replaces x[0..n-1] by the same samples Length() frames later.
    void Process(double* x, int n);
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
