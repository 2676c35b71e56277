#include "effect/delay_line.h"

#include <algorithm>
#include <cstring>
#include <utility>

bool ClearedLines::Make(int count, int samples) {
    mBlocks.clear();
    mTaken = 0;
    mSamples = samples > 0 ? samples : 0;
    if (count <= 0 || mSamples == 0) return true;
    // Without the memory the lines clear their own where they are reset.
    try {
        mBlocks.resize(size_t(count));
    } catch (...) {
        mBlocks.clear();
        return false;
    }
    for (ByteBlock& block : mBlocks)
        if (!block.SetLength(mSamples * int32_t(sizeof(double)))) {
            mBlocks.clear();
            return false;
        }
    return true;
}

ByteBlock* ClearedLines::Take(int samples) {
    if (samples > mSamples || mTaken >= mBlocks.size()) return nullptr;
    return &mBlocks[mTaken++];
}

bool DelayLine::SetLength(int samples, ClearedLines* cleared) {
    mLength = 0;
    mPos = 0;
    if (samples <= 0) return true;
    if (ByteBlock* block = cleared ? cleared->Take(samples) : nullptr) {
        std::swap(mMemory, *block);
        mLength = samples;
        return true;
    }
    if (!mMemory.Resize(samples * int32_t(sizeof(double)), false)) return false;
    mLength = samples;
    Clear();
    return true;
}

void DelayLine::Clear() {
    if (mLength > 0) std::memset(mMemory.Bytes(), 0, size_t(mLength) * sizeof(double));
    mPos = 0;
}

void DelayLine::Process(double* x, int n) {
    if (mLength <= 0 || n <= 0) return;
    double* memory = reinterpret_cast<double*>(mMemory.Bytes());
    // Each sample takes the memory's place and hands out what was there, in
    // stretches up to the memory's end (a block longer than the delay wraps
    // round and hands out its own first samples). A stretch is swapped by
    // three block copies through a buffer on the stack, which move 32 bytes
    // an instruction where a swap moved one sample.
    constexpr int kChunk = 256;
    double held[kChunk];
    int pos = mPos;
    for (int i = 0; i < n;) {
        int stretch = n - i < mLength - pos ? n - i : mLength - pos;
        if (stretch > kChunk) stretch = kChunk;
        const size_t bytes = size_t(stretch) * sizeof(double);
        std::memcpy(held, memory + pos, bytes);
        std::memcpy(memory + pos, x + i, bytes);
        std::memcpy(x + i, held, bytes);
        i += stretch;
        pos += stretch;
        if (pos == mLength) pos = 0;
    }
    mPos = pos;
}

void DelayLine::Process(const double* in, double* out, int n) {
    if (n <= 0) return;
    if (mLength <= 0) {
        std::memcpy(out, in, size_t(n) * sizeof(double));
        return;
    }
    double* memory = reinterpret_cast<double*>(mMemory.Bytes());
    // Out what the memory holds, in what comes, stretch by stretch as above.
    int pos = mPos;
    for (int i = 0; i < n;) {
        const int stretch = n - i < mLength - pos ? n - i : mLength - pos;
        const size_t bytes = size_t(stretch) * sizeof(double);
        std::memcpy(out + i, memory + pos, bytes);
        std::memcpy(memory + pos, in + i, bytes);
        i += stretch;
        pos += stretch;
        if (pos == mLength) pos = 0;
    }
    mPos = pos;
}

void DelayLine::Push(const double* x, int n) {
    if (mLength <= 0 || n <= 0) return;
    if (n > mLength) {
        x += n - mLength;
        n = mLength;
    }
    // Two block copies: up to the memory's end, then from its start.
    double* memory = reinterpret_cast<double*>(mMemory.Bytes());
    const int first = n < mLength - mPos ? n : mLength - mPos;
    std::memcpy(memory + mPos, x, size_t(first) * sizeof(double));
    std::memcpy(memory, x + first, size_t(n - first) * sizeof(double));
    mPos += n;
    if (mPos >= mLength) mPos -= mLength;
}

void DelayLine::Fill(double v) {
    double* memory = reinterpret_cast<double*>(mMemory.Bytes());
    for (int i = 0; i < mLength; ++i)
        memory[i] = v;
}

double DelayLine::Past(int k) const {
    if (mLength <= 0 || k < 1 || k > mLength) return 0.0;
    const double* memory = reinterpret_cast<const double*>(mMemory.Bytes());
    const int at = mPos - k;
    return memory[at < 0 ? at + mLength : at];
}
