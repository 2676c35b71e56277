// Growable heap byte buffer: saved state, value-text tables, scratch blocks.
#pragma once

#include <cstddef>
#include <cstdint>

class ByteBlock {
public:
    // granul: growth step in bytes; minAlloc: the block never shrinks below it.
    explicit ByteBlock(int32_t granul = 4096, int32_t minAlloc = 0);
    ~ByteBlock();
    ByteBlock(const ByteBlock&) = delete;
    ByteBlock& operator=(const ByteBlock&) = delete;
    ByteBlock(ByteBlock&& other) noexcept;
    ByteBlock& operator=(ByteBlock&& other) noexcept;

    // Sets the size to newSize bytes, growing or (with allowShrink) shrinking the
    // allocation by the growth rules. Returns the data, or null when the block is
    // freed or the allocation failed; on failure block, capacity and size stay.
    // A negative size fails. Bytes the allocation gains are zero and already
    // written (in memory, so a first write on the audio thread takes no page
    // fault).
    uint8_t* Resize(int32_t newSize, bool allowShrink);
    // Frees the block.
    void Release() { Resize(0, true); }
    // Copies text with a terminating zero (cut to maxLen characters when maxLen is
    // positive). Returns the data, or null when nothing could be stored.
    uint8_t* SetString(const char* text, int32_t maxLen = 0);
    // Reads 8 bytes at position into out and advances position by 8; false and
    // nothing changed when they are not all inside the used size.
    bool ReadDouble(int& position, double& out) const;
    // Reads a little-endian int32 like ReadDouble.
    bool ReadInt32(int& position, int32_t& out) const;

    int32_t Size() const { return mSize; }
    int32_t Capacity() const { return mAlloc; }
    uint8_t* Bytes() { return mData; }
    const uint8_t* Bytes() const { return mData; }

    // Empties the buffer: frees the block, or with an allocation floor keeps it
    // (allocating exactly the floor when there is none yet).
    void Clear();
    // Resize(n, false); new bytes are zero. False when the allocation failed.
    bool SetLength(int32_t n);
    // Appends n bytes from src. False (nothing appended) on allocation failure or
    // a null src with n > 0.
    bool AppendBytes(const void* src, int32_t n);
    bool AppendDouble(double v) { return AppendBytes(&v, sizeof v); }
    bool AppendInt32(int32_t v) { return AppendBytes(&v, sizeof v); }

private:
    // Moves the block to target bytes holding newSize (realloc, else allocate and
    // copy). Null and nothing changed when both allocations fail.
    uint8_t* Reallocate(int32_t target, int32_t newSize);

    int32_t mGranul;
    uint8_t* mData;
    int32_t mAlloc;
    int32_t mSize;
    int32_t mMinAlloc;
};

// The C allocation functions every ByteBlock uses. Tests replace them to make
// reallocation or allocation fail; SetByteBlockAllocator returns the previous
// pair. A null member restores the C library's function.
struct ByteBlockAllocator {
    void* (*mRealloc)(void* block, size_t bytes);
    void* (*mMalloc)(size_t bytes);
};
ByteBlockAllocator SetByteBlockAllocator(ByteBlockAllocator allocator);

// Multi-byte values are stored in the machine's order, which must be little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "state blocks are little-endian");
