// The detector's log: the plain class, and the effect filling it through its
// vendor-specific request while it processes hits at known frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "effect/detect_log.h"
#include "hosted_fixture.h"
#include "tests/common/test_seed.h"

namespace {

DetectLogRead NewRead(std::vector<double>& levels, std::vector<DetectLogEvent>& events,
                      bool closeOpen = false) {
    DetectLogRead read{};
    read.size = int32_t(sizeof(DetectLogRead));
    read.closeOpen = closeOpen ? 1 : 0;
    read.levels = levels.data();
    read.levelCapacity = int32_t(levels.size());
    read.events = events.data();
    read.eventCapacity = int32_t(events.size());
    return read;
}

intptr_t Request(HostedKelo& fx, int32_t tag, int32_t what, void* ptr) {
    return fx.Record()->dispatcher(fx.Record(), kVstOpVendorSpecific, tag, what, ptr, 0.0f);
}

bool StartLog(HostedKelo& fx, int32_t levels, int32_t events) {
    DetectLogSetup setup{int32_t(sizeof(DetectLogSetup)), levels, events};
    return Request(fx, kDetectLogTag, kDetectLogStart, &setup) == 1;
}

// What a render takes from the log: every level and every event.
struct Taken {
    std::vector<double> levels;
    std::vector<DetectLogEvent> events;
    int64_t firstPos = -1;
    int64_t dropped = 0;
    double threshold = 0.0;
    int64_t envLength = 0;

    bool Drain(HostedKelo& fx, bool last) {
        std::vector<double> buf(4096);
        std::vector<DetectLogEvent> ev(16);
        for (;;) {
            DetectLogRead read = NewRead(buf, ev, last);
            if (Request(fx, kDetectLogTag, kDetectLogRead, &read) != 1) return false;
            if (read.levelCount > 0) {
                if (firstPos < 0) firstPos = read.levelStart;
                if (read.levelStart != firstPos + int64_t(levels.size())) return false;
            }
            levels.insert(levels.end(), buf.begin(), buf.begin() + read.levelCount);
            events.insert(events.end(), ev.begin(), ev.begin() + read.eventCount);
            dropped = read.levelsDropped + read.eventsDropped;
            threshold = read.threshold;
            envLength = read.envLength;
            if (read.levelCount < read.levelCapacity && read.eventCount < read.eventCapacity)
                return true;
        }
    }
};

// 1 kHz bursts of 20 ms at 0.8 at the hit frames, silence elsewhere.
Stereo Hits(size_t frames, const std::vector<size_t>& hits) {
    Stereo s(frames);
    for (const size_t h : hits)
        for (size_t i = h; i < h + 960 && i < frames; ++i)
            s.l[i] = s.r[i] =
                0.8 * std::sin(2.0 * 3.14159265358979 * 1000.0 * double(i - h) / 48000.0);
    return s;
}

// Runs in in blocks of the given sizes (cycled), draining the log after each.
Taken RunLogged(HostedKelo& fx, const Stereo& in, const std::vector<int>& blocks, Stereo* out) {
    Taken taken;
    Stereo o(in.size());
    size_t k = 0;
    for (size_t at = 0; at < in.size(); ++k) {
        const int n = int(std::min(in.size() - at, size_t(blocks[k % blocks.size()])));
        fx.Block(&in.l[at], &in.r[at], &o.l[at], &o.r[at], n);
        at += size_t(n);
        EXPECT_TRUE(taken.Drain(fx, at >= in.size()));
    }
    if (out) *out = o;
    return taken;
}

} // namespace

TEST(DetectLogClass, KeepsContiguousLevelsAndEventsAndCountsWhatItLoses) {
    DetectLog log;
    std::vector<double> buf(4);
    std::vector<DetectLogEvent> ev(4);
    const double a[5] = {0.3, 0.9, 0.5, 0.2, 0.1};
    log.AddLevels(0, a, 5); // off: nothing kept, nothing breaks
    log.BeginEvent(0);
    EXPECT_FALSE(log.On());
    EXPECT_FALSE(log.Allocate(0, 4));
    ASSERT_TRUE(log.Allocate(7, 2));
    log.AddLevels(100, a, 5);
    log.AddLevels(105, a, 3); // two fit, one is lost
    log.BeginEvent(101);
    log.BeginEvent(102); // already running: ignored
    log.EventLevels(a + 1, 3);
    log.EndEvent(true);
    log.BeginEvent(110);
    log.EventLevels(a + 4, 1);
    DetectLogRead read = NewRead(buf, ev); // levels in two reads of four
    log.Read(read);
    EXPECT_EQ(read.levelStart, 100);
    EXPECT_EQ(std::vector<double>(buf.begin(), buf.begin() + read.levelCount),
              std::vector<double>(a, a + 4));
    EXPECT_EQ(read.levelsDropped, 1);
    ASSERT_EQ(read.eventCount, 1);
    EXPECT_EQ(ev[0].start, 101);
    EXPECT_EQ(ev[0].length, 3);
    EXPECT_EQ(ev[0].peak, 0.9);
    EXPECT_EQ(ev[0].full, 1);
    read = NewRead(buf, ev, true); // the last read ends the running event, cut short
    log.Read(read);
    EXPECT_EQ(read.levelStart, 104);
    EXPECT_EQ(std::vector<double>(buf.begin(), buf.begin() + read.levelCount),
              (std::vector<double>{a[4], a[0], a[1]}));
    ASSERT_EQ(read.eventCount, 1);
    EXPECT_EQ(ev[0].start, 110);
    EXPECT_EQ(ev[0].full, 0);
    // A run that does not continue the stored one replaces it; events beyond
    // the capacity are lost and counted.
    log.AddLevels(200, a, 2);
    log.AddLevels(300, a, 3);
    for (int i = 0; i < 3; ++i) {
        log.BeginEvent(i);
        log.EndEvent(true);
    }
    read = NewRead(buf, ev);
    log.Read(read);
    EXPECT_EQ(read.levelStart, 300);
    EXPECT_EQ(read.levelsDropped, 3);
    EXPECT_EQ(read.eventCount, 2);
    EXPECT_EQ(read.eventsDropped, 1);
}

TEST(DetectLogEffect, RequestsOutsideTheLogsAnswerNothing) {
    HostedKelo fx;
    std::vector<double> buf(16);
    std::vector<DetectLogEvent> ev(4);
    DetectLogRead read = NewRead(buf, ev);
    EXPECT_EQ(Request(fx, kDetectLogTag, kDetectLogRead, &read), 0); // not started
    EXPECT_EQ(Request(fx, kDetectLogTag + 1, kDetectLogStart, nullptr), 0);
    EXPECT_EQ(Request(fx, kDetectLogTag, kDetectLogStart, nullptr), 0);
    EXPECT_EQ(Request(fx, kDetectLogTag, 99, &read), 0);
    DetectLogSetup setup{int32_t(sizeof(DetectLogSetup)) - 4, 16, 4};
    EXPECT_EQ(Request(fx, kDetectLogTag, kDetectLogStart, &setup), 0); // wrong size
    EXPECT_FALSE(StartLog(fx, 0, 4));
    ASSERT_TRUE(StartLog(fx, 16, 4));
    read.size = 8;
    EXPECT_EQ(Request(fx, kDetectLogTag, kDetectLogRead, &read), 0);
    read.size = int32_t(sizeof(DetectLogRead));
    EXPECT_EQ(Request(fx, kDetectLogTag, kDetectLogRead, &read), 1);
    EXPECT_EQ(Request(fx, kDetectLogTag, kDetectLogStop, nullptr), 1);
    EXPECT_EQ(Request(fx, kDetectLogTag, kDetectLogRead, &read), 0);
}

TEST(DetectLogEffect, EventsStartAtTheHitsWhateverTheBlocksAndLeaveTheOutputAlone) {
    const std::vector<size_t> hits = {4800, 40000, 80000, 120007, 190000};
    const size_t frames = 195000; // the last envelope is cut by the end
    const Stereo in = Hits(frames, hits);
    std::mt19937 random(TestSeed(23u));
    std::uniform_int_distribution<int> size(1, 1024);
    std::vector<int> mixed(64);
    for (int& n : mixed)
        n = size(random);
    const std::vector<std::vector<int>> plans = {{512}, {1}, {37}, {1024}, mixed};

    Taken first;
    for (const std::vector<int>& plan : plans) {
        HostedKelo fx(48000.0, 1024);
        ASSERT_TRUE(StartLog(fx, 4096, 16));
        Stereo out;
        const Taken t = RunLogged(fx, in, plan, &out);
        ASSERT_EQ(t.levels.size(), frames) << plan[0];
        EXPECT_EQ(t.firstPos, 0);
        EXPECT_EQ(t.dropped, 0);
        EXPECT_EQ(t.envLength, fx.EnvLen());
        EXPECT_DOUBLE_EQ(t.threshold, fx.Threshold());
        ASSERT_EQ(t.events.size(), hits.size()) << plan[0];
        for (size_t i = 0; i < hits.size(); ++i) {
            const DetectLogEvent& e = t.events[i];
            // Within a millisecond of the hit; the level there is the first at
            // or above the threshold.
            EXPECT_GE(e.start, int64_t(hits[i]));
            EXPECT_LE(e.start, int64_t(hits[i]) + 48);
            EXPECT_GE(t.levels[size_t(e.start)], fx.Threshold());
            EXPECT_LT(t.levels[size_t(e.start) - 1], fx.Threshold());
            // The peak is the highest logged level over the envelope.
            const size_t end = std::min(size_t(e.start + e.length), frames);
            EXPECT_EQ(e.peak, *std::max_element(t.levels.begin() + e.start,
                                                t.levels.begin() + std::ptrdiff_t(end)));
            const bool last = i + 1 == hits.size();
            EXPECT_EQ(e.full, last ? 0 : 1) << i;
            EXPECT_EQ(e.length, last ? int64_t(frames) - e.start : int64_t(fx.EnvLen())) << i;
        }
        // The log only watches: the same render without it sounds the same.
        HostedKelo plain(48000.0, 1024);
        EXPECT_EQ(RunBlocks(plain, in, plan[0]).l, out.l);
        if (first.events.empty()) {
            first = t;
            continue;
        }
        for (size_t i = 0; i < hits.size(); ++i) {
            EXPECT_EQ(t.events[i].start, first.events[i].start);
            EXPECT_NEAR(t.events[i].peak, first.events[i].peak, 1e-12);
        }
    }
}

TEST(DetectLogEffect, AJumpOfTheTransportCutsTheRunningEvent) {
    HostedKelo fx(48000.0, 512);
    ASSERT_TRUE(StartLog(fx, 4096, 16));
    const Stereo in = Hits(48000, {1000});
    Stereo out(in.size());
    Taken t;
    fx.Block(&in.l[0], &in.r[0], &out.l[0], &out.r[0], 512);
    fx.Block(&in.l[512], &in.r[512], &out.l[512], &out.r[512], 512);
    ASSERT_TRUE(t.Drain(fx, false));
    EXPECT_TRUE(t.events.empty()); // still running
    fx.mPosition += 48000;
    fx.Block(&in.l[1024], &in.r[1024], &out.l[1024], &out.r[1024], 512);
    std::vector<double> buf(4096);
    std::vector<DetectLogEvent> ev(4);
    DetectLogRead read = NewRead(buf, ev);
    ASSERT_EQ(Request(fx, kDetectLogTag, kDetectLogRead, &read), 1);
    ASSERT_EQ(read.eventCount, 1);
    EXPECT_EQ(ev[0].full, 0);
    EXPECT_GE(ev[0].start, 1000);
    EXPECT_EQ(ev[0].start + ev[0].length, 1024);
    EXPECT_EQ(read.levelStart, 1024 + 48000);
    EXPECT_EQ(read.levelsDropped, 0);
}
