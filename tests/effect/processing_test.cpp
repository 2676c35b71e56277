// The audio path on hand-made signals: triggering and re-arming, shaping, the
// output's bound, one state one sound, gate and routing. The stream's transport,
// blocks and bad input are in processing_stream_test.cpp, the display reads in
// display_reads_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "effect/biquad.h"
#include "effect/level_follower.h"
#include "kelo_fixture.h"
#include "processing_fixture.h"
#include "tests/common/test_seed.h"

namespace {

// Runs the signal one frame per block and returns the frames at which an
// envelope started.
std::vector<size_t> Triggers(TestKelo& fx, const Stereo& in, Stereo* out = nullptr) {
    std::vector<size_t> starts;
    Stereo o(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        fx.Block(&in.l[i], &in.r[i], &o.l[i], &o.r[i], 1);
        if (fx.Phase() == kPhaseOnset && fx.EnvPos() == 1) starts.push_back(i);
        // Without an onset ramp the first enveloped frame is already in the body.
        if (fx.RampLen() == 0 && fx.Phase() == kPhaseBody && fx.EnvPos() == 1) starts.push_back(i);
    }
    if (out) *out = o;
    return starts;
}

} // namespace

TEST(Triggering, ABurstTriggersOnceAndALongBurstDoesNotRetrigger) {
    TestKelo fx;
    Stereo in(60000);
    AddBurst(in, kRate, 2000, 0.8, 1000, 20000); // longer than the 9600-sample envelope
    AddBurst(in, kRate, 2000, 0.8, 40000, 1000);
    std::vector<size_t> t = Triggers(fx, in);
    ASSERT_EQ(t.size(), 2u);
    // The level reaches the threshold within the first cycle of the burst.
    EXPECT_NEAR(double(t[0]), 1000.0, 12.0);
    EXPECT_NEAR(double(t[1]), 40000.0, 12.0);
}

TEST(Triggering, TheLevelMustFallToTheRearmLevelBeforeAnotherTrigger) {
    // Loud, then a dip to dipAmp, loud again, silence, and a last burst.
    for (double dipAmp : {0.266, 0.2}) {
        TestKelo fx;
        Stereo in(60000);
        AddBurst(in, kRate, 2000, 0.8, 1000, 15000);
        AddBurst(in, kRate, 2000, dipAmp, 16000, 14000);
        AddBurst(in, kRate, 2000, 0.8, 30000, 4000);
        AddBurst(in, kRate, 2000, 0.8, 50000, 1000);
        std::vector<size_t> t = Triggers(fx, in);
        // The dip's settled level, from the recorded history.
        fx.ResetProcessing();
        std::vector<double> level;
        Stereo out(1024);
        for (size_t i = 0; i < in.size(); i += 1024) {
            const int n = int(std::min<size_t>(1024, in.size() - i));
            fx.Block(&in.l[i], &in.r[i], out.l.data(), out.r.data(), n);
            std::vector<double> piece = History(fx);
            level.insert(level.end(), piece.begin(), piece.end());
        }
        ASSERT_EQ(level.size(), in.size());
        double lo = 1e9, hi = -1e9;
        for (size_t i = 21000; i < 30000; ++i) {
            lo = std::min(lo, level[i]);
            hi = std::max(hi, level[i]);
        }
        if (dipAmp > 0.24) {
            // Between the re-arm level and the threshold: no new trigger at 30000.
            ASSERT_GT(lo, fx.ThresholdLow());
            ASSERT_LT(hi, fx.Threshold());
            ASSERT_EQ(t.size(), 2u);
            EXPECT_NEAR(double(t[1]), 50000.0, 12.0);
        } else {
            ASSERT_LT(lo, fx.ThresholdLow());
            ASSERT_EQ(t.size(), 3u);
            EXPECT_NEAR(double(t[1]), 30000.0, 12.0);
        }
    }
}

TEST(Shaping, WithShapeEnvOffTheOutputIsTheInputWhateverTheRouting) {
    Stereo in(30000);
    AddBurst(in, kRate, 300, 0.9, 500, 3000);
    AddBurst(in, kRate, 5000, 0.7, 15000, 8000);
    for (int i = 0; i < 30000; ++i)
        in.r[size_t(i)] += 0.2 * std::sin(i * 0.001);
    for (bool processOnly : {false, true}) {
        TestKelo fx;
        fx.Set(kParamShapeEnv, 0);
        fx.Set(kParamProcessOnly, processOnly ? 1 : 0);
        fx.Set(kParamLoFreq, 400);
        fx.Set(kParamHiFreq, 9000);
        std::vector<size_t> t = Triggers(fx, in);
        ASSERT_GE(t.size(), 2u); // envelopes ran
        Stereo again(in.size());
        TestKelo twin;
        twin.Set(kParamShapeEnv, 0);
        twin.Set(kParamProcessOnly, processOnly ? 1 : 0);
        twin.Set(kParamLoFreq, 400);
        twin.Set(kParamHiFreq, 9000);
        Stereo out = RunBlocks(twin, in, 333);
        for (size_t i = 0; i < in.size(); ++i) {
            if (processOnly) {
                // band + (input - band): equal up to rounding
                ASSERT_NEAR(out.l[i], in.l[i], 1e-15) << i;
                ASSERT_NEAR(out.r[i], in.r[i], 1e-15) << i;
            } else {
                ASSERT_EQ(out.l[i], in.l[i]) << i;
                ASSERT_EQ(out.r[i], in.r[i]) << i;
            }
        }
    }
}

TEST(Shaping, TheGainReplacesTheLevelByTheShapeInProportionToTheStrength) {
    TestKelo fx;
    fx.Set(kParamStrength, 0.7);
    fx.Set(kParamEnvTime, 0.1);
    Stereo in(8000);
    AddBurst(in, kRate, 700, 0.9, 200, 6000);
    for (size_t i = 0; i < in.size(); ++i)
        in.r[i] *= 0.5;
    Stereo out = RunBlocks(fx, in, 512);
    std::vector<double> r(10000), level(10000);
    int start;
    const int k = ReadEvent(fx, r.data(), level.data(), 10000, start);
    ASSERT_EQ(start, 0);
    ASSERT_EQ(k, fx.EnvLen()); // the whole envelope fits in the signal
    // Envelope positions count from the trigger frame.
    TestKelo twin;
    twin.Set(kParamStrength, 0.7);
    twin.Set(kParamEnvTime, 0.1);
    const size_t trigger = Triggers(twin, in).at(0);
    const double s = 0.7, ramp = fx.RampLen(), bodyEnd = fx.BodyEnd(), fade = fx.FadeLen();
    // The magnitude level of the mid signal, followed as the detector does.
    std::vector<double> magnitude(in.size());
    double m = 0.0;
    for (size_t i = 0; i < in.size(); ++i)
        magnitude[i] = m =
            FollowLevel(m, std::fabs(0.5 * (in.l[i] + in.r[i])), fx.AttackCoef(), fx.ReleaseCoef());
    for (int n = 0; n < k; ++n) {
        const size_t i = trigger + size_t(n);
        // The divisor is the level, but at least the louder sample's magnitude
        // and a quarter of the magnitude level.
        const double louder = std::max(std::fabs(in.l[i]), std::fabs(in.r[i]));
        const double divisor = std::max(r[size_t(n)], std::max(louder, 0.25 * magnitude[i]));
        const double ratio = fx.ShapeInUse().At(n) / divisor;
        double q = 1.0;
        if (n < ramp) q = n / ramp;
        if (n >= bodyEnd) q = 1.0 - (n - bodyEnd) / fade;
        const double w = 1.0 + (ratio - 1.0) * s * q;
        ASSERT_NEAR(out.l[i], w * in.l[i], 1e-12 * std::fabs(w)) << n;
        ASSERT_NEAR(out.r[i], w * in.r[i], 1e-12 * std::fabs(w)) << n;
        ASSERT_EQ(level[size_t(n)], (out.l[i] + out.r[i]) * 0.5) << n;
    }
    // Outside the envelope the input passes unchanged.
    for (size_t i = 0; i < trigger; ++i)
        ASSERT_EQ(out.l[i], in.l[i]);
    for (size_t i = trigger + size_t(k); i < in.size(); ++i)
        ASSERT_EQ(out.l[i], in.l[i]);
}

// --- the output level stays bounded

namespace {

// 1 kHz hits of the given peak every period seconds from 0.05 s on, each
// 40 ms long with a 10 ms decay.
void AddHits(Stereo& s, double rate, double peak, double period) {
    for (double at = 0.05; at * rate < double(s.size()); at += period) {
        const size_t start = size_t(at * rate);
        for (size_t i = start; i < start + size_t(0.04 * rate) && i < s.size(); ++i) {
            const double t = double(i - start) / rate;
            const double v =
                peak * std::exp(-t / 0.01) * std::sin(2 * 3.141592653589793 * 1000 * t);
            s.l[i] += v;
            s.r[i] += v;
        }
    }
}

enum BoundSignal { kRumbleHits, kOffsetHits, kSlowSines, kHitsInSilence, kRandom };

struct BoundCase {
    BoundSignal signal;
    const char* what;
};

// The signal of a case at rate; env time and threshold may be set for it.
Stereo BoundInput(BoundSignal signal, double rate, std::mt19937& random, TestKelo& fx) {
    const double pi = 3.141592653589793;
    Stereo s(size_t(1.2 * rate));
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    switch (signal) {
    case kRumbleHits:
        for (size_t i = 0; i < s.size(); ++i)
            s.l[i] = s.r[i] = 0.1 * std::sin(2 * pi * 15 * double(i) / rate);
        AddHits(s, rate, 0.8, 0.25);
        break;
    case kOffsetHits:
        for (size_t i = 0; i < s.size(); ++i)
            s.l[i] = s.r[i] = -0.2;
        AddHits(s, rate, 0.7, 0.25);
        break;
    case kSlowSines: {
        // A sine from 1 to 40 Hz on each side, at different frequencies.
        const double fl = 1 + 39 * unit(random), fr = 1 + 39 * unit(random);
        for (size_t i = 0; i < s.size(); ++i) {
            s.l[i] = 0.6 * std::sin(2 * pi * fl * double(i) / rate);
            s.r[i] = 0.6 * std::sin(2 * pi * fr * double(i) / rate + 1.0);
        }
        break;
    }
    case kHitsInSilence:
        // Two hits 0.3 s apart inside one envelope, digital silence between.
        fx.Set(kParamEnvTime, 1.0);
        AddHits(s, rate, 0.5, 0.3);
        for (size_t i = size_t(0.7 * rate); i < s.size(); ++i)
            s.l[i] = s.r[i] = 0.0;
        break;
    case kRandom: {
        fx.Set(kParamEnvTime, 0.05 + 0.95 * unit(random));
        fx.Set(kParamThreshold, -40.0 * unit(random));
        const double offset = 0.3 * (unit(random) - 0.5), low = 0.3 * unit(random);
        const double lowFreq = 1 + 30 * unit(random);
        double burst = 0.0;
        for (size_t i = 0; i < s.size(); ++i) {
            if (unit(random) < 40.0 / rate) burst = unit(random);
            burst *= 0.9995;
            // Sometimes long stretches of silence.
            const bool silent = std::fmod(double(i) / rate, 0.4) > 0.3;
            const double base = offset + low * std::sin(2 * pi * lowFreq * double(i) / rate);
            s.l[i] = silent ? 0.0 : base + burst * (2 * unit(random) - 1);
            s.r[i] = silent ? 0.0 : base + burst * (2 * unit(random) - 1);
        }
        break;
    }
    }
    return s;
}

} // namespace

TEST(OutputLevel, NoSampleExceedsFourTimesTheLargerOfInputPeakAndShapeLevel) {
    const BoundCase cases[] = {
        {kRumbleHits, "15 Hz rumble under hits"},
        {kOffsetHits, "offset under hits"},
        {kSlowSines, "slow sines"},
        {kHitsInSilence, "hits apart in silence"},
        {kRandom, "random signal and settings"},
    };
    std::mt19937 random(TestSeed(20261209u));
    for (const BoundCase& c : cases) {
        for (double rate : {44100.0, 48000.0, 96000.0, 192000.0, 384000.0}) {
            for (double strength : {0.5, 1.0}) {
                for (bool bandOnly : {false, true}) {
                    TestKelo fx(rate, 512);
                    fx.Set(kParamStrength, strength);
                    fx.Set(kParamProcessOnly, bandOnly ? 1.0 : 0.0);
                    const Stereo in = BoundInput(c.signal, rate, random, fx);
                    const Stereo out = RunBlocks(fx, in, 512);
                    const double bound = 4.0 * std::max(Peak(in), ShapePeak(fx.ShapeInUse()));
                    ASSERT_LE(Peak(out), bound) << c.what << " at " << rate << " Hz, strength "
                                                << strength << (bandOnly ? ", band only" : "")
                                                << " (seed " << TestSeed(20261209u) << ")";
                }
            }
        }
    }
}

TEST(OutputLevel, ALowShapeKeepsANewHitInsideARunningEnvelopeNearItsOwnLevel) {
    // A shape no higher than 0.1: a hit of 0.5 may come out at most 0.5 + 2 * 0.1,
    // however far the follower has fallen in the silence before it.
    const ShapePoint low[7] = {{0, 0.1},    {10, 0.1},   {480, 0.1}, {960, 0.05},
                               {2400, 0.1}, {9000, 0.1}, {9600, 0.1}};
    for (double rate : {48000.0, 384000.0}) {
        TestKelo fx(rate, 512);
        fx.Set(kParamStrength, 1.0);
        std::mt19937 unused(1);
        const Stereo in = BoundInput(kHitsInSilence, rate, unused, fx);
        fx.SetShape(low, fx.EnvLen());
        const Stereo out = RunBlocks(fx, in, 512);
        EXPECT_LE(Peak(out), 0.5 + 2 * 0.1 + 1e-12) << rate;
    }
}

// --- one state, one sound

TEST(OneSound, SettingAParameterToItsCurrentValueChangesNothing) {
    Stereo in(30000);
    AddHits(in, kRate, 0.8, 0.15);
    TestKelo plain;
    plain.Set(kParamEnvTime, 0.119);
    const Stereo expected = RunBlocks(plain, in, 512);
    for (int index = 0; index < kParamCount; ++index) {
        TestKelo fx;
        fx.Set(kParamEnvTime, 0.119);
        // Through the value, the host's float road and the editor's road.
        fx.Set(index, fx.ParamAt(index)->Value());
        fx.HostParamChange(index, float(fx.ParamNormalized(index)));
        fx.EditorParamChange(index, fx.ParamNormalized(index));
        const Stereo out = RunBlocks(fx, in, 512);
        ASSERT_EQ(out.l, expected.l) << fx.ParamAt(index)->Name();
        ASSERT_EQ(out.r, expected.r) << fx.ParamAt(index)->Name();
    }
}

TEST(OneSound, AnEnvelopeFarIntoTheTimelineSoundsLikeOneAtItsStart) {
    Stereo in(20000);
    AddHits(in, kRate, 0.8, 0.2);
    Stereo expected;
    for (int64_t start : {int64_t(0), int64_t(3000000000), int64_t(1) << 40}) {
        TestKelo fx;
        fx.mPosition = start;
        const Stereo out = RunBlocks(fx, in, 512);
        // The envelope lasts its whole length, not up to the end of its block.
        if (start == 0) {
            expected = out;
            continue;
        }
        ASSERT_EQ(out.l, expected.l) << start;
        ASSERT_EQ(out.r, expected.r) << start;
    }
}

TEST(Gate, SilencesOutsideTheEnvelopeAndFadesLinearlyAtBothEnds) {
    TestKelo fx;
    fx.Set(kParamGate, 1);
    fx.Set(kParamShapeEnv, 0); // unity gain: only the gate's ramps remain
    fx.Set(kParamEnvTime, 0.05);
    Stereo in(6000);
    AddBurst(in, kRate, 1500, 0.9, 300, 400);
    for (size_t i = 0; i < in.size(); ++i)
        in.r[i] += 0.01 * std::cos(double(i)); // quiet, never triggers
    Stereo out;
    std::vector<size_t> t = Triggers(fx, in, &out);
    ASSERT_EQ(t.size(), 1u);
    const size_t t0 = t[0];
    const int ramp = fx.RampLen(), bodyEnd = fx.BodyEnd(), len = fx.EnvLen();
    for (size_t i = 0; i < in.size(); ++i) {
        const long n = long(i) - long(t0);
        double g = 0.0;
        if (n >= 0 && n < ramp)
            g = double(n) / ramp;
        else if (n >= ramp && n < bodyEnd)
            g = 1.0;
        else if (n >= bodyEnd && n < len)
            g = 1.0 - double(n - bodyEnd) / fx.FadeLen();
        ASSERT_EQ(out.l[i], in.l[i] * g) << i;
        ASSERT_EQ(out.r[i], in.r[i] * g) << i;
    }
}

TEST(Routing, MonitorPlaysTheDetectorBandInEveryPhase) {
    TestKelo fx;
    fx.Set(kParamMonitor, 1);
    fx.Set(kParamLoFreq, 200);
    fx.Set(kParamHiFreq, 2000);
    fx.Set(kParamGate, 1);
    Stereo in(20000);
    AddBurst(in, kRate, 800, 0.9, 1000, 2000);
    AddBurst(in, kRate, 90, 0.5, 5000, 9000);
    for (size_t i = 0; i < in.size(); ++i)
        in.r[i] += 0.3 * std::sin(i * 0.9);
    Stereo out = RunBlocks(fx, in, 500);
    HighPass hl, hr;
    LowPass ll, lr;
    for (Biquad* b : std::initializer_list<Biquad*>{&hl, &hr, &ll, &lr})
        b->SetSampleRate(kRate);
    hl.SetFreq(200);
    hr.SetFreq(200);
    ll.SetFreq(2000);
    lr.SetFreq(2000);
    for (size_t i = 0; i < in.size(); ++i) {
        // Equal but for the tiny filter values that are flushed to zero.
        ASSERT_NEAR(out.l[i], ll.Tick(hl.Tick(in.l[i])), 1e-15) << i;
        ASSERT_NEAR(out.r[i], lr.Tick(hr.Tick(in.r[i])), 1e-15) << i;
    }
}

TEST(Routing, BandOnlyShapesTheBandAndAddsTheRestUnlessMonitoring) {
    // The output level recorded for the display shows what was summed.
    for (bool monitor : {false, true}) {
        TestKelo fx;
        fx.Set(kParamProcessOnly, 1);
        fx.Set(kParamStrength, 0);
        fx.Set(kParamMonitor, monitor ? 1 : 0);
        fx.Set(kParamLoFreq, 300);
        fx.Set(kParamHiFreq, 3000);
        Stereo in(6000);
        AddBurst(in, kRate, 1000, 0.9, 100, 3000);
        for (size_t i = 0; i < in.size(); ++i)
            in.l[i] += 0.4 * std::sin(i * 0.002); // below the band
        std::vector<size_t> t = Triggers(fx, in);
        ASSERT_EQ(t.size(), 1u);
        std::vector<double> r(20000), level(20000);
        int start;
        int k = ReadEvent(fx, r.data(), level.data(), 20000, start);
        ASSERT_EQ(k, fx.EnvPos());
        HighPass hl, hr;
        LowPass ll, lr;
        for (Biquad* b : std::initializer_list<Biquad*>{&hl, &hr, &ll, &lr})
            b->SetSampleRate(kRate);
        hl.SetFreq(300);
        hr.SetFreq(300);
        ll.SetFreq(3000);
        lr.SetFreq(3000);
        for (size_t i = 0; i < in.size(); ++i) {
            const double bl = ll.Tick(hl.Tick(in.l[i])), br = lr.Tick(hr.Tick(in.r[i]));
            const long n = long(i) - long(t[0]);
            if (n < 0 || n >= k) continue;
            const double expected = monitor ? (bl + br) * 0.5 : (in.l[i] + in.r[i]) * 0.5;
            ASSERT_NEAR(level[size_t(n)], expected, 1e-12) << i;
        }
    }
}
