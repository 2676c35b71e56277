// Random automation while a drum loop plays: whatever the parameters do from
// block to block, at every rate and block size, no output sample exceeds four
// times the larger of the input's peak and the shape's highest level. Values
// arrive as a host sends them (normalized, some outside 0..1, NaN, infinite)
// and as the editor does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "effect/biquad.h"
#include "kelo_fixture.h"
#include "tests/common/test_seed.h"
#include "tools/host/demo_signal.h"

namespace {

// Seconds of audio per rate and routing; KELO_AUTOMATION_SECONDS changes it
// (longer runs by hand, shorter ones under an emulator).
double SecondsPerRun() {
    const char* text = std::getenv("KELO_AUTOMATION_SECONDS");
    const double seconds = text ? std::strtod(text, nullptr) : 0.5;
    return seconds > 0.0 ? seconds : 0.5;
}

// The harness's drum loop from offset seconds on, for the given length.
Stereo DrumLoop(double rate, double offset, double seconds) {
    const std::vector<float> demo = DemoSignal(rate);
    const size_t frames = demo.size() / 2;
    const size_t first = std::min(frames, size_t(offset * rate));
    const size_t n = std::min(frames - first, size_t(seconds * rate));
    Stereo s(n);
    for (size_t i = 0; i < n; ++i) {
        s.l[i] = demo[2 * (first + i)];
        s.r[i] = demo[2 * (first + i) + 1];
    }
    return s;
}

// A normalized value as hosts and editors send them: mostly inside 0..1,
// sometimes exactly an end, sometimes outside or not a number at all.
double RandomNormalized(std::mt19937& random) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double inf = std::numeric_limits<double>::infinity();
    const double odd[] = {-1.0, 2.0, std::numeric_limits<double>::quiet_NaN(), inf, -inf};
    const double roll = unit(random);
    if (roll < 0.1) return odd[random() % 5];
    if (roll < 0.25) return double(random() % 2);
    return unit(random);
}

// Block sizes from 1 to 4096, small ones as often as large ones.
int RandomBlock(std::mt19937& random) {
    std::uniform_real_distribution<double> octaves(0.0, 12.0);
    return std::min(4096, int(std::exp2(octaves(random))));
}

struct RunResult {
    double worstRatio = 0.0; // largest output sample over its bound
    size_t at = 0;           // the frame where it happened
    std::string settings;
};

// Plays in through fx in random blocks, setting each parameter with
// probability 0.3 before each block, and returns the worst ratio of an output
// sample to the bound of the input and shape seen so far (output depends only
// on what came before, so the running bound is the strict one). Monitor and
// "process only" stay as given unless automateRouting.
RunResult RunAutomated(TestKelo& fx, const Stereo& in, std::mt19937& random, bool automateRouting) {
    RunResult result;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Stereo out(4096);
    double shapePeak = ShapePeak(fx.ShapeInUse());
    double inPeak = 0.0;
    for (size_t i = 0; i < in.size();) {
        for (int32_t p = 0; p < kParamCount; ++p) {
            if (unit(random) >= 0.3) continue;
            if (!automateRouting && (p == kParamMonitor || p == kParamProcessOnly)) continue;
            const double value = RandomNormalized(random);
            if (random() % 2)
                fx.HostParamChange(p, value);
            else
                fx.EditorParamChange(p, value);
        }
        shapePeak = std::max(shapePeak, ShapePeak(fx.ShapeInUse()));
        const int n = int(std::min(in.size() - i, size_t(RandomBlock(random))));
        fx.Block(&in.l[i], &in.r[i], out.l.data(), out.r.data(), n);
        for (int k = 0; k < n; ++k) {
            inPeak = std::max({inPeak, std::fabs(in.l[i + k]), std::fabs(in.r[i + k])});
            const double bound = 4.0 * std::max(inPeak, shapePeak);
            const double o = std::max(std::fabs(out.l[k]), std::fabs(out.r[k]));
            // NaN is worse than any bound.
            const double ratio = std::isnan(o) ? std::numeric_limits<double>::infinity()
                                 : bound > 0.0 ? o / bound
                                               : (o > 0.0 ? o : 0.0);
            if (ratio > result.worstRatio) {
                result.worstRatio = ratio;
                result.at = i + size_t(k);
                result.settings.clear();
                for (int32_t p = 0; p < kParamCount; ++p) {
                    char text[64];
                    fx.ParamAt(p)->FormatValue(text, sizeof text);
                    result.settings += std::string(fx.ParamAt(p)->Name()) + "=" + text + " ";
                }
                result.settings += "block " + std::to_string(n) + " phase " +
                                   std::to_string(fx.Phase()) + " in " + std::to_string(inPeak) +
                                   " shape " + std::to_string(shapePeak);
            }
        }
        i += size_t(n);
    }
    return result;
}

} // namespace

TEST(Automation, NoOutputSampleExceedsFourTimesTheBoundWhateverMovesAtEveryRate) {
    const double seconds = SecondsPerRun();
    const uint32_t seed = TestSeed(20261209u);
    std::mt19937 random(seed);
    struct Routing {
        bool monitor, processOnly, automated;
        const char* what;
    };
    const Routing routings[] = {{false, false, false, "the output"},
                                {true, false, false, "the monitored band"},
                                {false, true, false, "process only detected signal"},
                                {false, false, true, "the routing automated too"}};
    double worst = 0.0;
    for (double rate : {8000.0, 44100.0, 96000.0, 192000.0, 384000.0}) {
        // Past the first hit, so the loop's tone is under every run.
        const Stereo in = DrumLoop(rate, 0.3, seconds);
        for (const Routing& routing : routings) {
            TestKelo fx(rate, 4096);
            fx.Set(kParamMonitor, routing.monitor ? 1.0 : 0.0);
            fx.Set(kParamProcessOnly, routing.processOnly ? 1.0 : 0.0);
            const RunResult r = RunAutomated(fx, in, random, routing.automated);
            worst = std::max(worst, r.worstRatio);
            EXPECT_LE(r.worstRatio, 1.0)
                << routing.what << " at " << rate << " Hz: " << r.worstRatio
                << " times the bound at frame " << r.at << " (seed " << seed << ") " << r.settings;
        }
    }
    std::printf("worst output sample: %.3f of the bound (seed %u)\n", worst, unsigned(seed));
}

TEST(Automation, TheMonitoredBandFollowsMovingCutoffsAsSectionsTickedAloneDo) {
    // The detector steps its gliding sections frame by frame inside its block
    // loop; ticked one sample at a time they give the same band, wherever the
    // blocks end. One block holds a NaN, which the detector hears as silence.
    for (double rate : {8000.0, 48000.0, 192000.0}) {
        const Stereo in = DrumLoop(rate, 0.0, 0.6);
        TestKelo fx(rate, 4096);
        fx.Set(kParamMonitor, 1.0);
        HighPass hl, hr;
        LowPass ll, lr;
        for (Biquad* section : std::initializer_list<Biquad*>{&hl, &hr, &ll, &lr})
            section->SetSampleRate(rate);
        const auto setBoth = [](Biquad& a, Biquad& b, double hz) {
            a.SetFreq(hz);
            b.SetFreq(hz);
        };
        setBoth(hl, hr, 0.0);
        setBoth(ll, lr, 22000.0);
        std::mt19937 random(TestSeed(20261209u));
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        Stereo out(in.size()), block(4096);
        const size_t poisoned = in.size() / 2;
        double worst = 0.0;
        for (size_t i = 0; i < in.size();) {
            if (unit(random) < 0.3) {
                const double hz = 22000.0 * std::pow(unit(random), 3.0);
                fx.Set(kParamLoFreq, hz);
                setBoth(hl, hr, hz);
            }
            if (unit(random) < 0.3) {
                const double hz = 22000.0 * std::pow(unit(random), 3.0);
                fx.Set(kParamHiFreq, hz);
                setBoth(ll, lr, hz);
            }
            const int n = int(std::min(in.size() - i, size_t(RandomBlock(random))));
            for (int k = 0; k < n; ++k) {
                const bool nan = i + size_t(k) == poisoned;
                block.l[size_t(k)] = nan ? std::numeric_limits<double>::quiet_NaN() : in.l[i + k];
                block.r[size_t(k)] = in.r[i + size_t(k)];
            }
            fx.Block(block.l.data(), block.r.data(), &out.l[i], &out.r[i], n);
            for (int k = 0; k < n; ++k) {
                const size_t at = i + size_t(k);
                const double left = ll.Tick(hl.Tick(at == poisoned ? 0.0 : in.l[at]));
                const double right = lr.Tick(hr.Tick(in.r[at]));
                worst =
                    std::max({worst, std::fabs(out.l[at] - left), std::fabs(out.r[at] - right)});
            }
            i += size_t(n);
        }
        // Equal but for the tiny filter values that are flushed to zero.
        EXPECT_LT(worst, 1e-15) << rate << " Hz";
        EXPECT_TRUE(std::isfinite(Peak(out))) << rate << " Hz";
    }
}

TEST(Automation, ValuesOutsideTheRangeOrNotNumbersLeaveEveryParameterInItsRange) {
    const double inf = std::numeric_limits<double>::infinity();
    const double odd[] = {-1.0, 2.0, std::numeric_limits<double>::quiet_NaN(), inf, -inf};
    Stereo in(256), out(256);
    for (size_t i = 0; i < in.size(); ++i)
        in.l[i] = in.r[i] = (i % 50 < 10) ? 0.9 : -0.01;
    for (bool fromEditor : {false, true}) {
        TestKelo fx(44100.0, 256);
        for (int32_t p = 0; p < kParamCount; ++p) {
            for (double value : odd) {
                if (fromEditor)
                    fx.EditorParamChange(p, value);
                else
                    fx.HostParamChange(p, value);
                const Param* param = fx.ParamAt(p);
                EXPECT_TRUE(param->Value() >= param->Min() && param->Value() <= param->Max())
                    << param->Name() << " = " << value << (fromEditor ? " from the editor" : "");
                for (const Biquad* s : {&fx.HighPassL(), &fx.LowPassL()})
                    EXPECT_TRUE(s->Cutoff() >= 1.0 && s->Cutoff() <= 22000.0)
                        << param->Name() << " = " << value;
                fx.Block(in.l.data(), in.r.data(), out.l.data(), out.r.data(), 256);
                EXPECT_LE(Peak(out), 4.0 * std::max(Peak(in), ShapePeak(fx.ShapeInUse())))
                    << param->Name() << " = " << value;
            }
        }
    }
}
