// Processing allocates nothing once the effect is reset: the effect's own
// ProcessBlock through both host paths, with the detector's log running and
// read as the render tool reads it.
#include "tests/common/counting_allocator.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "hosted_fixture.h"

namespace {

template <typename T>
struct Channels {
    explicit Channels(size_t frames) : l(frames), r(frames) {}
    std::vector<T> l, r;
    T* ptrs[2] = {l.data(), r.data()};
};

} // namespace

TEST(EffectAllocation, ShapingAllocatesNothingOnEitherHostPath) {
    AllocationCounter counter;
    HostedKelo fx(48000, 512);
    Stereo signal(48000);
    for (size_t at = 500; at < signal.size(); at += 9000)
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
    counter.Start();
    long shaped = 0;
    double peak = 0.0;
    for (size_t at = 0; at + 1000 <= signal.size(); at += 1000) {
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
    EXPECT_EQ(counter.Stop(), 0);
    EXPECT_GT(shaped, 0); // envelopes ran
    EXPECT_GT(peak, 0.1); // audio came through
    EXPECT_EQ(logged, 1333 * long(signal.size() / 1000));
    EXPECT_GT(loggedEvents, 0);
}
