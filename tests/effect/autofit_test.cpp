// Autofit end to end: the product binary, loaded through the host harness,
// hears a hit, is told "autofit" by the host, and shapes the same hit again
// the way the fitted shape says.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "harness_autofit.h"
#include "kelo_fixture.h"

namespace {

const char* const kPluginPath = KELO_PRODUCT_PLUGIN;
const double kRate = 48000.0;
const int kBlock = 512;
const double kPi = 3.14159265358979323846;

// A 150 Hz hit whose level falls by e every 40 ms, identical in both halves.
Stereo TwoHits(size_t half, size_t at) {
    Stereo s(2 * half);
    for (size_t h = 0; h < 2; ++h)
        for (size_t i = 0; i < 12000; ++i) {
            const double t = double(i) / kRate;
            const double v = 0.8 * std::exp(-t / 0.04) * std::sin(2.0 * kPi * 150.0 * t);
            s.l[h * half + at + i] = v;
            s.r[h * half + at + i] = v;
        }
    return s;
}

// The sample at which the envelope started: at its first position the onset
// ramp leaves the input untouched, from the second on the gain acts.
size_t TriggerOf(const Stereo& in, const Stereo& out, size_t from) {
    for (size_t i = from; i < in.size(); ++i)
        if (out.l[i] != in.l[i]) return i - 1;
    return in.size();
}

} // namespace

TEST(ProductAutofit, FittedShapeMakesTheSameHitComeOutAsItWentIn) {
    const PluginModule& module = SharedModule(kPluginPath);
    ASSERT_TRUE(module.Loaded()) << kPluginPath << ": " << module.Error();
    PluginInstance plugin;
    ASSERT_TRUE(plugin.Create(module));
    plugin.Start(kRate, kBlock);
    // Full strength: the output's level is the shape's level.
    plugin.SetParameter(kParamStrength, 1.0f);

    const size_t half = 96000, at = 1000;
    const Stereo in = TwoHits(half, at);
    Stereo out(in.size());
    RunHost(plugin, in, out, 0, half, kBlock);
    // The host switches autofit on and off, as the momentary button does.
    PressAutofit(plugin);
    RunHost(plugin, in, out, half, 2 * half, kBlock);

    const size_t first = TriggerOf(in, out, 0), second = TriggerOf(in, out, half);
    ASSERT_LT(first, half);
    ASSERT_EQ(second - half, first);
    // After the fit the hit comes out as it went in: within 1 dB in windows of
    // two of its periods over the envelope (from 5 ms on, past the rise from
    // the threshold at P0). Before it, the drawn shape moved it far more.
    auto worstDb = [&](size_t trigger) {
        double worst = 0.0;
        for (size_t at = trigger + 240; at + 640 <= trigger + 9600; at += 640) {
            double a = 0.0, b = 0.0;
            for (size_t i = at; i < at + 640; ++i) {
                a += in.l[i] * in.l[i];
                b += out.l[i] * out.l[i];
            }
            worst = std::fmax(worst, std::fabs(10.0 * std::log10(b / a)));
        }
        return worst;
    };
    EXPECT_LT(worstDb(second), 1.0);
    EXPECT_GT(worstDb(first), 3.0);
    // The state the host saves carries the fitted shape: P4 lies on the curve,
    // which follows the hit, so P4's level is the hit's level at P4's time
    // (within 2 dB), far below the drawn 0.5 at the scale of 0 dB.
    // (With the options' section: autofit records the level of the hit it
    // fitted, the level "follow the hit's level" scales against.)
    const std::vector<uint8_t> chunk = plugin.GetChunk();
    ASSERT_EQ(chunk.size(), 204u);
    double p4Time, p4Level;
    const size_t p4 = 4 + 11 * 8 + 8 + 8 + 16 * 3;
    std::memcpy(&p4Time, &chunk[p4], sizeof p4Time);
    std::memcpy(&p4Level, &chunk[p4 + 8], sizeof p4Level);
    const double seconds = p4Time * 0.2 + double(first - at) / kRate;
    EXPECT_NEAR(20.0 * std::log10(p4Level / (0.8 * std::exp(-seconds / 0.04))), 0.0, 2.0)
        << "P4 at " << seconds * 1000.0 << " ms";
    plugin.Close();
}
