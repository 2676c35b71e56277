// The growable byte buffer and the sample ring.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "base/byte_block.h"
#include "base/sample_ring.h"
#include "tests/common/test_seed.h"

namespace {

bool gFailRealloc = false;
bool gFailMalloc = false;
int gCalls = 0;
void* TestRealloc(void* block, size_t bytes) {
    ++gCalls;
    return gFailRealloc ? nullptr : std::realloc(block, bytes);
}
void* TestMalloc(size_t bytes) {
    ++gCalls;
    return gFailMalloc ? nullptr : std::malloc(bytes);
}

// Routes ByteBlock allocations through the switches above while it lives.
class AllocationSwitch {
public:
    AllocationSwitch() : mPrevious(SetByteBlockAllocator({TestRealloc, TestMalloc})) {
        gFailRealloc = gFailMalloc = false;
        gCalls = 0;
    }
    ~AllocationSwitch() { SetByteBlockAllocator(mPrevious); }

private:
    ByteBlockAllocator mPrevious;
};

std::vector<uint8_t> Bytes(const ByteBlock& b) {
    return std::vector<uint8_t>(b.Bytes(), b.Bytes() + b.Size());
}

std::vector<uint8_t> Sequence(int from, int count) {
    std::vector<uint8_t> v;
    for (int i = 0; i < count; ++i)
        v.push_back(uint8_t(from + i));
    return v;
}

} // namespace

TEST(ByteBlockGrowth, AFirstResizeAllocatesOneStepMoreAndSmallerSizesKeepTheBlock) {
    ByteBlock b;
    ASSERT_NE(b.Resize(100, true), nullptr);
    EXPECT_EQ(b.Capacity(), 4196);
    EXPECT_EQ(b.Size(), 100);
    const uint8_t* data = b.Bytes();
    EXPECT_EQ(b.Resize(50, true), data);
    EXPECT_EQ(b.Capacity(), 4196);
    EXPECT_EQ(b.Size(), 50);
    EXPECT_EQ(b.Resize(0, true), nullptr);
    EXPECT_EQ(b.Bytes(), nullptr);
    EXPECT_EQ(b.Capacity(), 0);
    EXPECT_EQ(b.Size(), 0);
}

TEST(ByteBlockGrowth, OnlyShrinkingByMoreThanFourStepsOnRequestReallocates) {
    ByteBlock b;
    b.Resize(40000 - 4096, false);
    ASSERT_EQ(b.Capacity(), 40000);
    b.Resize(20000, false);
    EXPECT_EQ(b.Capacity(), 40000);
    b.Resize(30000, true);
    EXPECT_EQ(b.Capacity(), 40000);
    EXPECT_EQ(b.Size(), 30000);
    b.Resize(20000, true);
    EXPECT_EQ(b.Capacity(), 20000);
    EXPECT_EQ(b.Size(), 20000);
    b.Resize(0, false);
    EXPECT_EQ(b.Capacity(), 20000);
    EXPECT_EQ(b.Size(), 0);
}

// Allocators that leave garbage in every byte they give: a block had by
// realloc keeps its old bytes only.
void* GarbageMalloc(size_t bytes) {
    void* block = std::malloc(bytes);
    if (block) std::memset(block, 0xA5, bytes);
    return block;
}
void* GarbageRealloc(void* old, size_t bytes) {
    static std::vector<std::pair<void*, size_t>> sizes;
    size_t oldBytes = 0;
    for (auto& entry : sizes)
        if (entry.first == old) oldBytes = entry.second;
    void* block = GarbageMalloc(bytes);
    if (!block) return nullptr;
    if (old) std::memcpy(block, old, std::min(oldBytes, bytes));
    std::free(old);
    sizes.emplace_back(block, bytes);
    return block;
}

TEST(ByteBlockGrowth, GrowthKeepsTheBytesHeldAndZeroesEveryByteGained) {
    // Zeroed where the block is had, not first written on the audio thread.
    for (bool reallocFails : {false, true}) {
        const ByteBlockAllocator previous =
            SetByteBlockAllocator({reallocFails ? TestRealloc : GarbageRealloc, GarbageMalloc});
        gFailRealloc = reallocFails;
        ByteBlock b;
        ASSERT_TRUE(b.AppendBytes("kept", 4));
        for (int32_t size : {5000, 70000, 300000}) {
            // Bytes used, then the block grown past them.
            std::memset(b.Bytes() + 4, 0x5A, size_t(b.Capacity() - 4));
            const int32_t held = reallocFails ? 4 : b.Capacity();
            ASSERT_NE(b.Resize(size, false), nullptr);
            ASSERT_EQ(std::memcmp(b.Bytes(), "kept", 4), 0);
            EXPECT_EQ(std::count(b.Bytes() + held, b.Bytes() + b.Capacity(), uint8_t(0)),
                      b.Capacity() - held)
                << "size " << size << (reallocFails ? ", realloc failing" : "");
            b.Resize(4, false);
        }
        SetByteBlockAllocator(previous);
        gFailRealloc = false;
    }
}

TEST(ByteBlockGrowth, AppendsKeepTheirBytesAcrossGrowth) {
    ByteBlock b;
    std::vector<uint8_t> expected;
    for (int i = 0; i < 3000; ++i) {
        const std::vector<uint8_t> piece = Sequence(i, 7);
        ASSERT_TRUE(b.AppendBytes(piece.data(), 7));
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(Bytes(b), expected);
    EXPECT_GE(b.Capacity(), b.Size());
    EXPECT_TRUE(b.AppendBytes(nullptr, 0));
    EXPECT_FALSE(b.AppendBytes(nullptr, 4));
    EXPECT_FALSE(b.AppendBytes("x", -1));
    EXPECT_EQ(b.Size(), 21000);
}

TEST(ByteBlockGrowth, TheAllocationFloorKeepsTheBlock) {
    ByteBlock b(4096, 1000);
    b.Clear();
    const uint8_t* data = b.Bytes();
    ASSERT_NE(data, nullptr);
    const int32_t capacity = b.Capacity();
    EXPECT_EQ(capacity, 1000); // the floor itself, no growth step
    EXPECT_EQ(b.Size(), 0);
    // Sizes below the floor, zero included, only change the size.
    b.SetLength(900);
    b.Resize(10, true);
    EXPECT_EQ(b.Size(), 10);
    b.Resize(0, true);
    b.Clear();
    EXPECT_EQ(b.Bytes(), data);
    EXPECT_EQ(b.Capacity(), capacity);
    EXPECT_EQ(b.Size(), 0);
}

TEST(ByteBlockOperations, SetLengthZeroesTheNewBytesAndClearFrees) {
    ByteBlock b;
    b.AppendBytes("abc", 3);
    ASSERT_TRUE(b.SetLength(6));
    EXPECT_EQ(Bytes(b), (std::vector<uint8_t>{'a', 'b', 'c', 0, 0, 0}));
    ASSERT_TRUE(b.SetLength(2));
    ASSERT_TRUE(b.SetLength(4));
    EXPECT_EQ(Bytes(b), (std::vector<uint8_t>{'a', 'b', 0, 0}));
    EXPECT_FALSE(b.SetLength(-3));
    b.Clear();
    EXPECT_EQ(b.Bytes(), nullptr);
    EXPECT_EQ(b.Size(), 0);
    EXPECT_TRUE(b.SetLength(0));
}

TEST(ByteBlockOperations, StringsAreCutToTheirLimitAndTerminated) {
    ByteBlock b;
    ASSERT_NE(b.SetString("transient", 5), nullptr);
    EXPECT_EQ(b.Size(), 6);
    EXPECT_STREQ(reinterpret_cast<const char*>(b.Bytes()), "trans");
    ASSERT_NE(b.SetString("abc"), nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(b.Bytes()), "abc");
    ASSERT_NE(b.SetString(nullptr), nullptr);
    EXPECT_EQ(b.Size(), 1);
}

TEST(ByteBlockOperations, ReadsStayInsideTheUsedSize) {
    ByteBlock b;
    b.AppendDouble(1.25);
    b.AppendInt32(-7);
    b.AppendBytes("\1\2\3", 3);
    int position = 0;
    double d = 0;
    int32_t n = 0;
    EXPECT_TRUE(b.ReadDouble(position, d));
    EXPECT_EQ(d, 1.25);
    EXPECT_TRUE(b.ReadInt32(position, n));
    EXPECT_EQ(n, -7);
    EXPECT_EQ(position, 12);
    d = 9;
    EXPECT_FALSE(b.ReadDouble(position, d));
    EXPECT_FALSE(b.ReadInt32(position, n));
    EXPECT_EQ(position, 12);
    EXPECT_EQ(d, 9);
    position = -4;
    EXPECT_FALSE(b.ReadInt32(position, n));
    position = INT32_MAX - 2;
    EXPECT_FALSE(b.ReadDouble(position, d));
    // Capacity beyond the size is not readable.
    b.Resize(2, false);
    position = 0;
    EXPECT_FALSE(b.ReadInt32(position, n));
}

TEST(ByteBlockOperations, MovingHandsTheBlockOver) {
    ByteBlock a;
    a.AppendBytes("xyz", 3);
    ByteBlock b(std::move(a));
    EXPECT_EQ(a.Size(), 0);
    EXPECT_EQ(a.Bytes(), nullptr);
    EXPECT_EQ(Bytes(b), (std::vector<uint8_t>{'x', 'y', 'z'}));
    ByteBlock c;
    c.AppendBytes("q", 1);
    c = std::move(b);
    EXPECT_EQ(Bytes(c), (std::vector<uint8_t>{'x', 'y', 'z'}));
}

TEST(ByteBlockFailure, AFailedReallocationFallsBackToCopyingIntoAFreshBlock) {
    AllocationSwitch allocation;
    ByteBlock b;
    b.AppendBytes("stateful", 8);
    gFailRealloc = true;
    ASSERT_NE(b.Resize(10000, false), nullptr);
    EXPECT_EQ(b.Capacity(), 14096);
    EXPECT_EQ(std::memcmp(b.Bytes(), "stateful", 8), 0);
}

TEST(ByteBlockFailure, WhenBothAllocationsFailTheOldBlockSizeAndCapacityStay) {
    AllocationSwitch allocation;
    ByteBlock b;
    b.AppendBytes("keep me", 7);
    const uint8_t* data = b.Bytes();
    gFailRealloc = gFailMalloc = true;
    EXPECT_EQ(b.Resize(50000, false), nullptr);
    EXPECT_EQ(b.Bytes(), data);
    EXPECT_EQ(b.Capacity(), 4103);
    EXPECT_EQ(b.Size(), 7);
    EXPECT_FALSE(b.AppendBytes(std::vector<uint8_t>(9000).data(), 9000));
    EXPECT_FALSE(b.SetLength(8000));
    EXPECT_EQ(b.SetString(std::string(6000, 's').c_str()), nullptr);
    EXPECT_EQ(b.Size(), 7);
    EXPECT_EQ(std::memcmp(b.Bytes(), "keep me", 7), 0);
    // A failed shrink keeps everything as well.
    ByteBlock big;
    gFailRealloc = gFailMalloc = false;
    big.SetLength(100000);
    gFailRealloc = gFailMalloc = true;
    EXPECT_EQ(big.Resize(10, true), nullptr);
    EXPECT_EQ(big.Size(), 100000);
    EXPECT_EQ(big.Capacity(), 104096);
}

TEST(ByteBlockFailure, NegativeAndOverflowingSizesAreRefused) {
    ByteBlock b;
    b.AppendBytes("ab", 2);
    EXPECT_EQ(b.Resize(-1, true), nullptr);
    EXPECT_EQ(b.Size(), 2);
    // The growth step would push the capacity past the 32-bit range.
    AllocationSwitch allocation;
    gFailRealloc = gFailMalloc = true;
    EXPECT_EQ(b.Resize(INT32_MAX - 10, false), nullptr);
    EXPECT_EQ(b.Size(), 2);
    EXPECT_FALSE(b.AppendBytes("x", INT32_MAX));
    EXPECT_EQ(b.Size(), 2);
}

TEST(SampleRingWrites, AFullRingOverwritesTheOldestBytesInPlace) {
    SampleRing ring(16);
    const std::vector<uint8_t> first = Sequence(1, 12);
    const std::vector<uint8_t> second = Sequence(101, 8);
    EXPECT_EQ(ring.Write(first.data(), 12), 12);
    EXPECT_EQ(ring.Write(second.data(), 8), 8);
    EXPECT_EQ(ring.NbInBuf(), 16);
    std::vector<uint8_t> out(16);
    EXPECT_EQ(ring.Read(out.data(), 16), 16);
    // The read position did not move: bytes 105..108 replaced 1..4.
    EXPECT_EQ(out, (std::vector<uint8_t>{105, 106, 107, 108, 5, 6, 7, 8, 9, 10, 11, 12, 101, 102,
                                         103, 104}));
    EXPECT_EQ(ring.NbInBuf(), 0);
}

TEST(SampleRingWrites, AWriteUpToTheEndWrapsTheWritePosition) {
    SampleRing ring(8);
    const std::vector<uint8_t> a = Sequence(1, 8);
    std::vector<uint8_t> out(8);
    EXPECT_EQ(ring.Write(a.data(), 8), 8);
    EXPECT_EQ(ring.Read(out.data(), 8), 8);
    EXPECT_EQ(out, a);
    const std::vector<uint8_t> b = Sequence(50, 3);
    EXPECT_EQ(ring.Write(b.data(), 3), 3);
    out.assign(3, 0);
    EXPECT_EQ(ring.Read(out.data(), 3), 3);
    EXPECT_EQ(out, b);
}

TEST(SampleRingWrites, OnlyTheFirstCapacityBytesOfAnOversizeWriteAreTaken) {
    SampleRing ring(8);
    const std::vector<uint8_t> big = Sequence(1, 20);
    EXPECT_EQ(ring.Write(big.data(), 20), 8);
    std::vector<uint8_t> out(20);
    EXPECT_EQ(ring.Read(out.data(), 20), 8);
    out.resize(8);
    EXPECT_EQ(out, Sequence(1, 8));
}

TEST(SampleRingReads, ReadsReturnOnlyWhatIsStored) {
    SampleRing ring(32);
    std::vector<uint8_t> out(32, 0xEE);
    EXPECT_EQ(ring.Read(out.data(), 4), 0);
    const std::vector<uint8_t> a = Sequence(1, 5);
    ring.Write(a.data(), 5);
    EXPECT_EQ(ring.Read(out.data(), 32), 5);
    EXPECT_EQ(out[5], 0xEE);
    EXPECT_EQ(ring.NbInBuf(), 0);
    ring.Write(a.data(), 5);
    ring.Reset();
    EXPECT_EQ(ring.NbInBuf(), 0);
    EXPECT_EQ(ring.Read(out.data(), 5), 0);
}

TEST(SampleRingReads, ASkipDropsTheOldestBytesAcrossTheWrapAsAReadWould) {
    // Every split of a skip and a read over a wrapped ring reads what a read of
    // the skipped bytes would have left.
    for (int32_t skip = 0; skip <= 9; ++skip) {
        SampleRing skipped(8), read(8);
        const std::vector<uint8_t> a = Sequence(1, 6), b = Sequence(20, 5);
        std::vector<uint8_t> got(8), want(8), sink(16);
        for (SampleRing* ring : {&skipped, &read}) {
            ring->Write(a.data(), 6);
            ring->Read(sink.data(), 5);
            ring->Write(b.data(), 5); // stored: 6, then 20..24 wrapped
        }
        EXPECT_EQ(skipped.Skip(skip), std::min(skip, 6));
        read.Read(sink.data(), skip);
        EXPECT_EQ(skipped.NbInBuf(), read.NbInBuf());
        EXPECT_EQ(skipped.Read(got.data(), 8), read.Read(want.data(), 8));
        EXPECT_EQ(got, want) << "skip " << skip;
    }
}

TEST(SampleRingReads, BadArgumentsAndAnEmptyRingMoveNothing) {
    SampleRing empty;
    uint8_t byte = 7;
    EXPECT_EQ(empty.Write(&byte, 1), 0);
    EXPECT_EQ(empty.Read(&byte, 1), 0);
    SampleRing zero(0);
    EXPECT_EQ(zero.Capacity(), 0);
    EXPECT_EQ(zero.Write(&byte, 1), 0);
    SampleRing ring(-5);
    EXPECT_EQ(ring.Capacity(), 0);
    SampleRing ok(4);
    EXPECT_EQ(ok.Write(nullptr, 3), 0);
    EXPECT_EQ(ok.Write(&byte, -3), 0);
    EXPECT_EQ(ok.Write(&byte, 1), 1);
    EXPECT_EQ(ok.Read(nullptr, 1), 0);
    EXPECT_EQ(ok.Read(&byte, -1), 0);
    EXPECT_EQ(ok.NbInBuf(), 1);
}

TEST(SampleRingReads, AFailedAllocationLeavesAnInertRing) {
    AllocationSwitch allocation;
    gFailRealloc = gFailMalloc = true;
    SampleRing ring;
    EXPECT_FALSE(ring.Create(0x20000));
    EXPECT_EQ(ring.Capacity(), 0);
    uint8_t byte = 1;
    EXPECT_EQ(ring.Write(&byte, 1), 0);
    gFailRealloc = gFailMalloc = false;
    EXPECT_TRUE(ring.Create(0x20000));
    EXPECT_EQ(ring.Capacity(), 0x20000);
}

TEST(SampleRingReads, WithoutOverflowTheRingBehavesAsAQueue) {
    const unsigned seed = TestSeed(20261211u);
    std::printf("sample ring queue seed %u\n", seed);
    std::mt19937 random(seed);
    SampleRing ring(64 * 8);
    std::deque<double> model;
    double next = 0;
    for (int step = 0; step < 5000; ++step) {
        const int free = 64 - int(model.size());
        if (random() % 2 && free > 0) {
            std::vector<double> chunk(1 + random() % unsigned(free));
            for (double& v : chunk)
                model.push_back(v = next++);
            ASSERT_EQ(ring.Write(chunk.data(), int32_t(chunk.size() * 8)),
                      int32_t(chunk.size() * 8));
        } else {
            std::vector<double> got(1 + random() % 64);
            const int32_t bytes = ring.Read(got.data(), int32_t(got.size() * 8));
            ASSERT_EQ(bytes, int32_t(std::min(got.size(), model.size()) * 8)) << "seed " << seed;
            for (int32_t i = 0; i < bytes / 8; ++i) {
                ASSERT_EQ(got[size_t(i)], model.front()) << "seed " << seed;
                model.pop_front();
            }
        }
        ASSERT_EQ(ring.NbInBuf(), int32_t(model.size() * 8));
    }
}
