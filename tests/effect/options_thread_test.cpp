// The options switched from the editor's thread while the audio thread plays
// and a host thread saves and loads the state (also under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "hosted_fixture.h"

TEST(OptionsThreads, SwitchingWhilePlayingAndSavingStaysWhole) {
    HostedKelo fx(48000.0, 256);
    fx.Set(kParamStrength, 0.8);
    fx.Set(kParamThreshold, -30.0);
    std::atomic<bool> done(false);
    std::atomic<bool> finite(true);
    std::thread audio([&] {
        Stereo in(256), out(256);
        AddBurst(in, 48000.0, 90.0, 0.7, 0, 256);
        double* ins[2] = {in.l.data(), in.r.data()};
        double* outs[2] = {out.l.data(), out.r.data()};
        for (int k = 0; k < 400; ++k) {
            // The host's road, which holds the plug-in's lock for the block.
            fx.Record()->processDoubleReplacing(fx.Record(), ins, outs, 256);
            for (size_t i = 0; i < out.size(); ++i)
                if (!std::isfinite(out.l[i]) || std::fabs(out.l[i]) > 4.0) finite = false;
        }
        done = true;
    });
    std::thread editor([&] {
        for (int k = 0; !done; ++k) {
            fx.SetLookahead(k % 2 == 0);
            fx.SetDetectBothPolarities(k % 3 == 0);
            fx.SetFollowLevel(k % 5 < 2);
            // Autofit records its reference level under the same lock.
            if (k % 7 == 0) fx.AutoFit();
        }
    });
    int loads = 0;
    // At least a few saves and loads, however fast the audio thread is done.
    while (!done || loads < 20) {
        ByteBlock chunk;
        ASSERT_TRUE(fx.SaveState(&chunk));
        // A state holds 188 bytes, 196 with the options' section, 204 with a
        // reference level in it.
        ASSERT_TRUE(chunk.Size() == 188 || chunk.Size() == 196 || chunk.Size() == 204)
            << chunk.Size();
        ASSERT_TRUE(fx.LoadState(&chunk));
        ++loads;
    }
    audio.join();
    editor.join();
    EXPECT_TRUE(finite);
    EXPECT_GE(loads, 20);
}
