// Processing allocates nothing once the effect is reset, and on Linux takes
// no page fault either: the effect's own ProcessBlock through both host paths,
// with the detector's log running and read as the render tool reads it.
#include "tests/common/counting_allocator.h"

#include <algorithm>
#include <cmath>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#endif

#include <gtest/gtest.h>

#include "hosted_fixture.h"

namespace {

template <typename T>
struct Channels {
    explicit Channels(size_t frames) : l(frames), r(frames) {}
    std::vector<T> l, r;
    T* ptrs[2] = {l.data(), r.data()};
};

// The calling thread's page faults so far (minor ones: memory the system
// gives at its first touch); -1 where they cannot be counted: off Linux, under
// an emulator (the i686 build's, which faults as it translates) and with a
// sanitizer (whose shadow memory is first touched as the program's is).
long ThreadPageFaults() {
#if defined(__linux__) && defined(RUSAGE_THREAD) && defined(__x86_64__) &&                         \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    rusage usage{};
    if (getrusage(RUSAGE_THREAD, &usage) == 0) return usage.ru_minflt;
#endif
    return -1;
}

} // namespace

TEST(EffectAllocation, ShapingAllocatesNothingAndTouchesNoNewPageOnEitherHostPath) {
    AllocationCounter counter;
    HostedKelo fx(48000, 512);
    // Hits through the first 20,000 frames, then one that nothing follows.
    Stereo signal(96000);
    for (size_t at : {500, 9500, 18500, 20500})
        AddBurst(signal, 48000, 900, 0.9, at, 800);
    signal.l[7000] = std::nan(""); // the repair path too
    Channels<double> in64(1000), out64(1000);
    Channels<float> in32(1000), out32(1000);
    DetectLogSetup setup{int32_t(sizeof(DetectLogSetup)), 4096, 64};
    const auto request = [&fx](int32_t what, void* ptr) {
        return fx.Record()->dispatcher(fx.Record(), kVstOpVendorSpecific, kDetectLogTag, what, ptr,
                                       0.0f);
    };
    ASSERT_EQ(request(kDetectLogStart, &setup), 1);
    std::vector<double> levels(4096);
    std::vector<DetectLogEvent> events(64);
    long logged = 0, loggedEvents = 0;
    long shaped = 0;
    double peak = 0.0;
    const auto play = [&](size_t from, size_t to) {
        for (size_t at = from; at + 1000 <= to; at += 1000) {
            for (size_t i = 0; i < 1000; ++i) {
                in64.l[i] = signal.l[at + i];
                in64.r[i] = signal.r[at + i];
                in32.l[i] = float(signal.l[at + i]);
                in32.r[i] = float(signal.r[at + i]);
            }
            // Blocks longer than the block size, both host paths, settings changing.
            fx.ProcessDoubleReplacing(in64.ptrs, out64.ptrs, 1000);
            fx.mPosition += 1000;
            fx.ProcessFloatReplacing(in32.ptrs, out32.ptrs, 333);
            fx.mPosition += 333;
            fx.EditorParamChange(kParamGate, (at / 1000) % 2 ? 1.0 : 0.0);
            fx.EditorParamChange(kParamProcessOnly, (at / 3000) % 2 ? 1.0 : 0.0);
            if (fx.Phase() >= kPhaseOnset) ++shaped;
            DetectLogRead read{};
            read.size = int32_t(sizeof(DetectLogRead));
            read.levels = levels.data();
            read.levelCapacity = 4096;
            read.events = events.data();
            read.eventCapacity = 64;
            EXPECT_EQ(request(kDetectLogRead, &read), 1);
            logged += read.levelCount;
            loggedEvents += read.eventCount;
            for (double v : out64.l)
                peak = std::max(peak, std::fabs(v));
        }
    };
    // Every road played once with short envelopes; then the longest, whose
    // record reaches memory no envelope wrote before: it was written when it
    // was had, so no page of it is first touched here.
    fx.EditorParamChange(kParamEnvTime, 0.0);
    play(0, 20000);
    fx.EditorParamChange(kParamEnvTime, 1.0);
    const long faults = ThreadPageFaults();
    counter.Start();
    play(20000, signal.size());
    EXPECT_EQ(counter.Stop(), 0);
    if (faults >= 0) {
        EXPECT_EQ(ThreadPageFaults() - faults, 0);
    }
    EXPECT_GT(shaped, 0); // envelopes ran
    EXPECT_GT(peak, 0.1); // audio came through
    EXPECT_EQ(logged, 1333 * long(signal.size() / 1000));
    EXPECT_GT(loggedEvents, 0);
}
