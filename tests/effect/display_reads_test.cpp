// What the displays read of the audio path: the detection of the current event
// and the band-level history, past what the reader has and a slice at a time,
// and the marks that tell the displays to draw again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kelo_fixture.h"
#include "processing_fixture.h"

namespace {

struct CountingLink : DisplayLink {
    void MarkDirty() override { ++marks; }
    int marks = 0;
};

} // namespace

TEST(DisplayReads, DetectionIsReadPastWhatTheReaderHasAndATriggerStartsANewEvent) {
    TestKelo fx;
    fx.Set(kParamEnvTime, 0.05);
    Stereo in(3000), later(9000);
    AddBurst(in, kRate, 1000, 0.9, 100, 300);
    AddBurst(later, kRate, 1000, 0.9, 3000, 300);
    RunBlocks(fx, in, 256);
    std::vector<double> lv(4000, -1.0), ov(4000, -1.0);
    uint64_t event = 0;
    int start = -7;
    EXPECT_EQ(fx.ReadDetection(lv.data(), ov.data(), 4000, event, start), fx.EnvLen());
    EXPECT_EQ(start, 0);
    const uint64_t first = event;
    EXPECT_EQ(first, fx.EventCount());
    start = fx.EnvLen();
    EXPECT_EQ(fx.ReadDetection(lv.data(), ov.data(), 4000, event, start), 0);
    EXPECT_EQ(start, fx.EnvLen());
    // A second hit at the same positions is another event: read from 0 again.
    RunBlocks(fx, later, 256);
    EXPECT_EQ(fx.ReadDetection(lv.data(), ov.data(), 4000, event, start), fx.EnvLen());
    EXPECT_EQ(start, 0);
    EXPECT_GT(event, first);
}

// The lock is held for one slice a call: a long event comes out in slices
// that join into what the record holds, and so does the detector's history.
TEST(DisplayReads, LongEventsAndHistoriesAreHandedOutASliceAtATime) {
    TestKelo fx;
    fx.Set(kParamEnvTime, 0.5);
    Stereo in(30000);
    AddBurst(in, kRate, 300, 0.9, 100, 20000);
    RunBlocks(fx, in, 1024);
    const int recorded = fx.EventRecorded();
    ASSERT_GT(recorded, 2 * KeloEffect::kReadSlice);
    std::vector<double> levels(size_t(recorded), -1.0), outs(size_t(recorded), -1.0);
    uint64_t event = 0;
    int start = 0, calls = 0;
    for (;;) {
        const int n = fx.ReadDetection(levels.data(), outs.data(), recorded, event, start);
        ASSERT_LE(n, KeloEffect::kReadSlice);
        if (n == 0) break;
        start += n;
        ++calls;
    }
    EXPECT_EQ(start, recorded);
    EXPECT_EQ(calls, (recorded + KeloEffect::kReadSlice - 1) / KeloEffect::kReadSlice);
    // The slices joined are the record: what one reader of it all reads.
    TestKelo twin;
    twin.Set(kParamEnvTime, 0.5);
    RunBlocks(twin, in, 1024);
    const size_t size = size_t(recorded);
    std::vector<double> whole(size, 0.0), wholeOuts(size, 0.0);
    int at = 0;
    EXPECT_EQ(ReadEvent(twin, whole.data(), wholeOuts.data(), recorded, at), recorded);
    EXPECT_EQ(levels, whole);
    EXPECT_EQ(outs, wholeOuts);

    std::vector<double> history(30000);
    int64_t from = 0;
    bool marked = false;
    int total = 0;
    for (int n; (n = fx.ReadHistory(history.data(), 30000, from, marked)) > 0;) {
        ASSERT_LE(n, KeloEffect::kReadSlice);
        total += n;
    }
    EXPECT_EQ(total, 16384) << "a full history ring";
}

TEST(DisplayReads, DetectionDataBeyondTheDestinationsIsDropped) {
    Stereo in(3000);
    AddBurst(in, kRate, 1000, 0.9, 100, 300);
    TestKelo a, b;
    RunBlocks(a, in, 512);
    RunBlocks(b, in, 512);
    std::vector<double> full(20000), fullOut(20000), part(100), partOut(100);
    int startA, startB;
    const int k = ReadEvent(a, full.data(), fullOut.data(), 20000, startA);
    uint64_t event = 0;
    startB = 0;
    EXPECT_EQ(b.ReadDetection(part.data(), partOut.data(), 100, event, startB), k);
    EXPECT_EQ(startA, startB);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(part[size_t(i)], full[size_t(i)]);
        EXPECT_EQ(partOut[size_t(i)], fullOut[size_t(i)]);
    }
    startB = k;
    EXPECT_EQ(b.ReadDetection(part.data(), partOut.data(), 100, event, startB), 0);
    EXPECT_EQ(b.ReadDetection(nullptr, nullptr, 0, event, startB), 0);
    // A reader that is ahead of the record (or has nonsense) reads from 0.
    startB = k + 5;
    EXPECT_EQ(b.ReadDetection(nullptr, nullptr, 0, event, startB), k);
    EXPECT_EQ(startB, 0);
}

TEST(DisplayReads, HistoryMarksTheLevelsUpToTheEndOfTheLastEnvelope) {
    TestKelo fx;
    fx.Set(kParamEnvTime, 0.05);
    Stereo in(3072);
    AddBurst(in, kRate, 1000, 0.9, 600, 200);
    RunBlocks(fx, in, 1024);
    std::vector<double> levels(20000);
    int64_t start;
    bool marked;
    const int first = fx.ReadHistory(levels.data(), 20000, start, marked);
    EXPECT_TRUE(marked);
    EXPECT_EQ(start, 0);
    // The envelope started where the level first reached the threshold.
    size_t trigger = 0;
    while (levels[trigger] < fx.Threshold())
        ++trigger;
    EXPECT_EQ(first, int(trigger) + fx.EnvLen());
    const int rest = fx.ReadHistory(levels.data(), 20000, start, marked);
    EXPECT_FALSE(marked);
    EXPECT_EQ(start, first);
    EXPECT_EQ(first + rest, 3072);
    EXPECT_EQ(fx.ReadHistory(levels.data(), 20000, start, marked), 0);
    // A small destination takes what fits; the rest waits.
    RunBlocks(fx, in, 1024);
    EXPECT_EQ(fx.ReadHistory(levels.data(), 10, start, marked), 10);
    EXPECT_EQ(start, 3072);
    EXPECT_EQ(fx.ReadHistory(nullptr, 10, start, marked), 0);
}

TEST(DisplayReads, DisplaysAreMarkedDirtyByBlocksAndEnvelopes) {
    TestKelo fx;
    CountingLink env, amp;
    fx.AttachDisplays(&env, &amp);
    Stereo quiet(512), loud(512), out(512);
    AddBurst(loud, kRate, 1000, 0.9, 0, 512);
    fx.Block(quiet.l.data(), quiet.r.data(), out.l.data(), out.r.data(), 512);
    EXPECT_EQ(env.marks, 1);
    EXPECT_EQ(amp.marks, 0);
    fx.Block(loud.l.data(), loud.r.data(), out.l.data(), out.r.data(), 512);
    EXPECT_EQ(env.marks, 2);
    EXPECT_GT(amp.marks, 0);
    fx.AttachDisplays(nullptr, nullptr);
    fx.Block(loud.l.data(), loud.r.data(), out.l.data(), out.r.data(), 512);
    EXPECT_EQ(env.marks, 2);
}

TEST(DisplayReads, ABlockLongerThanTheRingsKeepsItsNewestLevels) {
    Stereo in(30000);
    AddBurst(in, kRate, 700, 0.9, 100, 29000);
    TestKelo big(kRate, 32768), small(kRate, 1000);
    big.Set(kParamEnvTime, 1.0); // an envelope longer than the rings
    small.Set(kParamEnvTime, 1.0);
    RunBlocks(big, in, 30000);
    std::vector<double> expected;
    Stereo out(1000);
    for (size_t at = 0; at < in.size(); at += 1000) {
        small.Block(&in.l[at], &in.r[at], out.l.data(), out.r.data(), 1000);
        std::vector<double> piece = History(small);
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    // The first slice tells where the ring starts; the rest follow it.
    std::vector<double> levels(20000);
    int64_t start;
    bool marked;
    big.ReadHistory(levels.data(), 20000, start, marked);
    const std::vector<double> rest = History(big);
    ASSERT_EQ(KeloEffect::kReadSlice + rest.size(), 16384u);
    std::copy(rest.begin(), rest.end(), levels.begin() + KeloEffect::kReadSlice);
    const int k = 16384;
    EXPECT_EQ(start, 30000 - 16384);
    for (int i = 0; i < k; ++i)
        ASSERT_EQ(levels[size_t(i)], expected[size_t(start) + size_t(i)]) << i;
    // The detection data likewise ends at the current envelope position, as it
    // does when written block by block.
    std::vector<double> lv(48000), ov(48000), slv(48000), sov(48000);
    int bigStart, smallStart;
    const int bigCount = ReadEvent(big, lv.data(), ov.data(), 48000, bigStart);
    // The event record holds the whole envelope so far, not just the rings' worth.
    ASSERT_GT(bigCount, 16384);
    ASSERT_EQ(ReadEvent(small, slv.data(), sov.data(), 48000, smallStart), bigCount);
    EXPECT_EQ(bigStart, smallStart);
    EXPECT_EQ(bigStart + bigCount, big.EnvPos());
    for (int i = bigStart; i < bigStart + bigCount; ++i) {
        ASSERT_EQ(lv[size_t(i)], slv[size_t(i)]) << i;
        ASSERT_EQ(ov[size_t(i)], sov[size_t(i)]) << i;
    }
}
