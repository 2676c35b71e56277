#include "base/byte_block.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

ByteBlockAllocator gAllocator = {std::realloc, std::malloc};

} // namespace

ByteBlockAllocator SetByteBlockAllocator(ByteBlockAllocator allocator) {
    ByteBlockAllocator previous = gAllocator;
    gAllocator.mRealloc = allocator.mRealloc ? allocator.mRealloc : std::realloc;
    gAllocator.mMalloc = allocator.mMalloc ? allocator.mMalloc : std::malloc;
    return previous;
}

ByteBlock::ByteBlock(int32_t granul, int32_t minAlloc)
    : mGranul(granul > 0 ? granul : 0), mData(nullptr), mAlloc(0), mSize(0),
      mMinAlloc(minAlloc > 0 ? minAlloc : 0) {}

ByteBlock::~ByteBlock() {
    std::free(mData);
}

ByteBlock::ByteBlock(ByteBlock&& other) noexcept
    : mGranul(other.mGranul), mData(std::exchange(other.mData, nullptr)),
      mAlloc(std::exchange(other.mAlloc, 0)), mSize(std::exchange(other.mSize, 0)),
      mMinAlloc(other.mMinAlloc) {}

ByteBlock& ByteBlock::operator=(ByteBlock&& other) noexcept {
    if (this != &other) {
        std::free(mData);
        mGranul = other.mGranul;
        mData = std::exchange(other.mData, nullptr);
        mAlloc = std::exchange(other.mAlloc, 0);
        mSize = std::exchange(other.mSize, 0);
        mMinAlloc = other.mMinAlloc;
    }
    return *this;
}

uint8_t* ByteBlock::Resize(int32_t newSize, bool allowShrink) {
    if (newSize < 0) return nullptr;
    // Below the allocation floor the block is kept as it is.
    if (newSize < mMinAlloc && newSize < mAlloc) {
        mSize = newSize;
        return mData;
    }
    if (newSize == 0 && mMinAlloc == 0) {
        if (allowShrink) {
            std::free(mData);
            mData = nullptr;
            mAlloc = 0;
        }
        mSize = 0;
        return mData;
    }
    // Grow one step beyond the request; shrink only on request and by more than
    // four steps, so that a buffer does not bounce between sizes.
    int64_t target;
    if (newSize > mAlloc) {
        target = int64_t(newSize) + mGranul;
        if (target > INT32_MAX) target = newSize;
    } else if (!allowShrink || int64_t(newSize) >= int64_t(mAlloc) - 4 * int64_t(mGranul)) {
        mSize = newSize;
        return mData;
    } else {
        target = newSize;
    }
    if (target < mMinAlloc) target = mMinAlloc;
    if (target == mAlloc && mData) {
        mSize = newSize;
        return mData;
    }
    return Reallocate(int32_t(target), newSize);
}

uint8_t* ByteBlock::Reallocate(int32_t target, int32_t newSize) {
    void* block = gAllocator.mRealloc(mData, size_t(target));
    int32_t kept = mAlloc < target ? mAlloc : target;
    if (!block) {
        // The old block is still valid: copy into a fresh one instead.
        block = gAllocator.mMalloc(size_t(target));
        if (!block) return nullptr; // keep the old block, capacity and size
        kept = mSize < newSize ? mSize : newSize;
        if (mData) {
            std::memcpy(block, mData, size_t(kept));
            std::free(mData);
        }
    }
    // The new bytes are written once here, where the block is had: the
    // system gives a large block's pages only at their first write, and that
    // write would otherwise come on the audio thread, a page (a few
    // microseconds, tens on a virtual machine) at a time as an envelope or a
    // history reaches it.
    if (target > kept) std::memset(static_cast<uint8_t*>(block) + kept, 0, size_t(target - kept));
    mData = static_cast<uint8_t*>(block);
    mAlloc = target;
    mSize = newSize;
    return mData;
}

uint8_t* ByteBlock::SetString(const char* text, int32_t maxLen) {
    if (!text) text = "";
    size_t length = std::strlen(text);
    if (maxLen > 0 && length > size_t(maxLen)) length = size_t(maxLen);
    if (length >= size_t(INT32_MAX)) return nullptr;
    uint8_t* data = Resize(int32_t(length) + 1, true);
    if (data) {
        std::memcpy(data, text, length);
        data[length] = 0;
    }
    return data;
}

bool ByteBlock::ReadDouble(int& position, double& out) const {
    if (position < 0 || int64_t(position) + 8 > mSize) return false;
    std::memcpy(&out, mData + position, 8);
    position += 8;
    return true;
}

bool ByteBlock::ReadInt32(int& position, int32_t& out) const {
    if (position < 0 || int64_t(position) + 4 > mSize) return false;
    std::memcpy(&out, mData + position, 4);
    position += 4;
    return true;
}

void ByteBlock::Clear() {
    if (mMinAlloc == 0) {
        Resize(0, true);
        return;
    }
    // A floored buffer keeps a block of exactly the floor, without a growth step.
    if (!mData) Reallocate(mMinAlloc, 0);
    mSize = 0;
}

bool ByteBlock::SetLength(int32_t n) {
    if (n < 0) return false;
    int32_t old = mSize;
    if (!Resize(n, false)) return n == 0;
    if (n > old) std::memset(mData + old, 0, size_t(n - old));
    return true;
}

bool ByteBlock::AppendBytes(const void* src, int32_t n) {
    if (n < 0 || (n > 0 && !src) || int64_t(mSize) + n > INT32_MAX) return false;
    if (n == 0) return true;
    int32_t old = mSize;
    if (!Resize(old + n, false)) return false;
    std::memcpy(mData + old, src, size_t(n));
    return true;
}
