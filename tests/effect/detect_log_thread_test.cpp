// The detector's log between threads (also run under ThreadSanitizer): the
// audio thread plays hits through the VST entry while a host thread reads the
// log, and now and then starts it afresh. Every read continues the last one.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "effect/detect_log.h"
#include "hosted_fixture.h"

namespace {

intptr_t Request(HostedKelo& fx, int32_t what, void* ptr) {
    return fx.Record()->dispatcher(fx.Record(), kVstOpVendorSpecific, kDetectLogTag, what, ptr,
                                   0.0f);
}

bool Start(HostedKelo& fx) {
    DetectLogSetup setup{int32_t(sizeof(DetectLogSetup)), 1 << 20, 4096};
    return Request(fx, kDetectLogStart, &setup) == 1;
}

} // namespace

TEST(DetectLogThreads, ReadsWhileThePluginPlaysContinueEachOther) {
    const int kBlocks = 1500, kBlock = 256;
    HostedKelo fx(48000.0, kBlock);
    ASSERT_TRUE(Start(fx));
    std::atomic<bool> done{false};
    std::thread audio([&] {
        Stereo in(kBlock), out(kBlock);
        double* ins[2] = {in.l.data(), in.r.data()};
        double* outs[2] = {out.l.data(), out.r.data()};
        for (int b = 0; b < kBlocks; ++b) {
            // A burst every 64 blocks (0.34 s), silence between.
            for (int i = 0; i < kBlock; ++i)
                in.l[size_t(i)] = in.r[size_t(i)] =
                    b % 64 < 4 ? 0.8 * std::sin(0.13 * double(b * kBlock + i)) : 0.0;
            fx.Record()->processDoubleReplacing(fx.Record(), ins, outs, kBlock);
            fx.mPosition += kBlock;
        }
        done = true;
    });

    std::vector<double> levels(1 << 20);
    std::vector<DetectLogEvent> events(4096);
    int64_t next = -1, total = 0, eventCount = 0;
    for (int reads = 1;; ++reads) {
        const bool last = done.load();
        DetectLogRead read{};
        read.size = int32_t(sizeof(DetectLogRead));
        read.levels = levels.data();
        read.levelCapacity = int32_t(levels.size());
        read.events = events.data();
        read.eventCapacity = int32_t(events.size());
        ASSERT_EQ(Request(fx, kDetectLogRead, &read), 1);
        EXPECT_EQ(read.levelsDropped, 0);
        if (read.levelCount > 0) {
            if (next >= 0) {
                EXPECT_EQ(read.levelStart, next) << "read " << reads;
            }
            next = read.levelStart + read.levelCount;
            total += read.levelCount;
        }
        eventCount += read.eventCount;
        for (int32_t i = 0; i < read.eventCount; ++i)
            EXPECT_GE(events[size_t(i)].peak, fx.Threshold() * 0.999);
        if (last) break;
        // A fresh log: the next read starts wherever the audio thread is.
        if (reads % 200 == 0) {
            ASSERT_TRUE(Start(fx));
            next = -1;
        }
        std::this_thread::yield();
    }
    audio.join();
    EXPECT_GT(total, 0);
    EXPECT_LE(total, int64_t(kBlocks) * kBlock);
    EXPECT_GT(eventCount, 0);
    EXPECT_EQ(Request(fx, kDetectLogStop, nullptr), 1);
}
