// Saving and loading the state while the host plays: automation and audio on
// one thread, get-chunk and set-chunk in a loop on another (also run under
// ThreadSanitizer). Every saved chunk must be one moment's state.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "base/db.h"
#include "hosted_fixture.h"
#include "tests/common/test_seed.h"

namespace {

const int kSaves = 200;

double DoubleAt(const std::vector<uint8_t>& chunk, size_t at) {
    double v;
    std::memcpy(&v, &chunk[at], 8);
    return v;
}

std::vector<uint8_t> Save(HostedKelo& fx) {
    void* data = nullptr;
    const intptr_t size = fx.Record()->dispatcher(fx.Record(), kVstOpGetChunk, 0, 0, &data, 0.0f);
    if (size <= 0 || !data) return {};
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

intptr_t Load(HostedKelo& fx, const std::vector<uint8_t>& chunk) {
    return fx.Record()->dispatcher(fx.Record(), kVstOpSetChunk, 0, intptr_t(chunk.size()),
                                   const_cast<uint8_t*>(chunk.data()), 0.0f);
}

// What ties a chunk's fields together: the shape's first point sits at the
// threshold (saved as threshold / shape scale), and the envelope view's scale
// is never below the threshold. A save that read the threshold before an
// automation step and the shape after it breaks both.
::testing::AssertionResult OneMoment(const std::vector<uint8_t>& chunk) {
    if (chunk.size() != 188) return ::testing::AssertionFailure() << "size " << chunk.size();
    double threshold = std::exp(DoubleAt(chunk, 4) * kDbToLn);
    threshold = threshold < DbToAmp(-60.0) ? DbToAmp(-60.0) : threshold > 1.0 ? 1.0 : threshold;
    const double viewScale = DoubleAt(chunk, 92), shapeScale = DoubleAt(chunk, 100);
    const double p0 = DoubleAt(chunk, 116);
    if (p0 != threshold / shapeScale)
        return ::testing::AssertionFailure()
               << "P0 " << p0 * shapeScale << " for a threshold of " << threshold;
    if (viewScale < threshold)
        return ::testing::AssertionFailure()
               << "view scale " << viewScale << " below the threshold " << threshold;
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(StateWhilePlaying, EverySavedChunkIsOneMomentAndLoadsBackWhole) {
    HostedKelo fx(48000.0, 256);
    std::atomic<bool> done{false};
    std::thread audio([&] {
        // Audio blocks with threshold, env time and strength automated between them.
        std::mt19937 random(TestSeed(5u));
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        Stereo in(256), out(256);
        AddBurst(in, 48000.0, 900, 0.8, 0, 200);
        double* ins[2] = {in.l.data(), in.r.data()};
        double* outs[2] = {out.l.data(), out.r.data()};
        while (!done.load()) {
            for (int index : {kParamThreshold, kParamEnvTime, kParamStrength})
                fx.Record()->setParameter(fx.Record(), index, unit(random));
            fx.Record()->processDoubleReplacing(fx.Record(), ins, outs, 256);
        }
    });

    std::vector<std::vector<uint8_t>> saved;
    HostedKelo checker(48000.0, 256);
    for (int i = 0; i < kSaves; ++i) {
        saved.push_back(Save(fx));
        EXPECT_TRUE(OneMoment(saved.back())) << "save " << i;
        // Loads of earlier states meet the automation too.
        if (i % 4 == 3) {
            EXPECT_EQ(Load(fx, saved[size_t(i / 2)]), 1);
        }
    }
    done = true;
    audio.join();

    // Each saved chunk is a whole state: loaded into another instance, it is
    // saved again byte for byte.
    for (size_t i = 0; i < saved.size(); ++i) {
        ASSERT_EQ(Load(checker, saved[i]), 1);
        ASSERT_EQ(Save(checker), saved[i]) << "save " << i;
    }
}

// A load is read and made ready on the host's thread while the audio thread
// plays (the delay lines it brings are made there), then taken in under the
// lock: states that switch the lookahead and the level following on and off,
// each taken in whole.
TEST(StateWhilePlaying, StatesPreparedWhileTheAudioPlaysAreTakenInWhole) {
    HostedKelo fx(48000.0, 256);
    std::vector<std::vector<uint8_t>> states;
    for (int k = 0; k < 4; ++k) {
        HostedKelo source(48000.0, 256);
        source.Set(kParamThreshold, -24.0 - k);
        source.SetLookahead(k % 2 == 0);
        source.SetFollowLevel(k / 2 == 0);
        states.push_back(Save(source));
    }
    std::atomic<bool> done{false}, finite{true};
    std::thread audio([&] {
        Stereo in(256), out(256);
        AddBurst(in, 48000.0, 700, 0.8, 0, 220);
        double* ins[2] = {in.l.data(), in.r.data()};
        double* outs[2] = {out.l.data(), out.r.data()};
        while (!done.load()) {
            fx.Record()->processDoubleReplacing(fx.Record(), ins, outs, 256);
            for (int i = 0; i < 256; ++i)
                if (!std::isfinite(out.l[size_t(i)]) || !std::isfinite(out.r[size_t(i)]))
                    finite = false;
        }
    });
    for (int i = 0; i < kSaves; ++i) {
        const std::vector<uint8_t>& state = states[size_t(i) % states.size()];
        ASSERT_EQ(Load(fx, state), 1) << "load " << i;
        // Nothing but the audio runs: the state saved is the one loaded.
        ASSERT_EQ(Save(fx), state) << "load " << i;
    }
    done = true;
    audio.join();
    EXPECT_TRUE(finite.load());
}
