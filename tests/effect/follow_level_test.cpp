// "Follow the hit's level": the drawn shape scaled per hit by the hit's level
// against the level autofit fitted it to. At strength 1 the shape replaces
// the signal's level, so a hit k dB softer than the fitted one comes out k dB
// softer than the shape makes it with the option off - whatever the rate, the
// block size and the lookahead.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "base/byte_block.h"
#include "kelo_fixture.h"

namespace {

const double kPi = 3.14159265358979323846;

// 0.3 s of frames, rounded once for every caller (a product truncated may land
// on either side of a whole number on an x87 unit).
size_t PlayFrames(double rate) {
    return size_t(std::lround(0.3 * rate));
}

// A drum-like hit at frame at: a 180 Hz tone and a 2.3 kHz one, at their
// loudest from the first sample, decaying over about 60 ms; amp scales it.
Stereo Hit(double rate, double amp, size_t at, size_t frames) {
    Stereo s(frames);
    for (size_t i = at; i < frames; ++i) {
        const double t = double(i - at) / rate;
        const double v = std::exp(-t / 0.06) * (0.8 * std::sin(2.0 * kPi * 180.0 * t) +
                                                0.2 * std::sin(2.0 * kPi * 2300.0 * t));
        s.l[i] = amp * v;
        s.r[i] = amp * 0.9 * v;
    }
    return s;
}

struct Setting {
    double rate;
    int block;
    bool lookahead;
};

void Configure(TestCore& fx, bool lookahead) {
    fx.Set(kParamThreshold, -50.0);
    fx.Set(kParamStrength, 1.0);
    fx.Set(kParamEnvTime, 0.2);
    fx.SetLookahead(lookahead);
    fx.ResetProcessing();
}

// The state of an effect whose shape autofit fitted to the hit of amplitude
// amp (the level it fitted for recorded with it).
std::vector<uint8_t> FittedState(const Setting& s, double amp) {
    TestCore fx(s.rate, 512);
    Configure(fx, s.lookahead);
    const size_t frames = PlayFrames(s.rate);
    RunBlocks(fx, Hit(s.rate, amp, 100, frames), s.block);
    EXPECT_TRUE(fx.AutoFit());
    ByteBlock chunk;
    EXPECT_TRUE(fx.SaveState(&chunk));
    return std::vector<uint8_t>(chunk.Bytes(), chunk.Bytes() + chunk.Size());
}

struct Played {
    Stereo out;
    int64_t start = -1;
    int ramp = 0, bodyEnd = 0, window = 0;
};

// The hit of amplitude amp through an effect loaded with state, the option
// on or off.
Played Play(const Setting& s, const std::vector<uint8_t>& state, double amp, bool follow) {
    TestCore fx(s.rate, 512);
    ByteBlock chunk;
    chunk.SetLength(int32_t(state.size()));
    std::memcpy(chunk.Bytes(), state.data(), state.size());
    EXPECT_TRUE(fx.LoadState(&chunk));
    fx.NotifyAllParams();
    Configure(fx, s.lookahead);
    fx.SetFollowLevel(follow);
    Played p;
    p.out = RunBlocks(fx, Hit(s.rate, amp, 100, PlayFrames(s.rate)), s.block);
    if (fx.EnvelopeStarts() == 1) p.start = fx.LastEnvelopeStart();
    p.ramp = fx.RampLen();
    p.bodyEnd = fx.BodyEnd();
    p.window = fx.LookaheadSamples();
    return p;
}

double Db(double x) {
    return 20.0 * std::log10(x);
}

// The RMS of both channels over frames from..to-1.
double Rms(const Stereo& s, int64_t from, int64_t to) {
    double sum = 0.0;
    for (int64_t i = from; i < to; ++i)
        sum += s.l[size_t(i)] * s.l[size_t(i)] + s.r[size_t(i)] * s.r[size_t(i)];
    return std::sqrt(sum / double(2 * (to - from)));
}

const Setting kSettings[] = {
    {44100.0, 1, false},   {44100.0, 64, true}, {48000.0, 17, false}, {48000.0, 512, true},
    {96000.0, 256, false}, {96000.0, 7, true},  {48000.0, 1, true},   {44100.0, 333, false},
};

} // namespace

TEST(FollowLevel, AHitKDbSofterThanTheFittedOneComesOutKDbSofterThanTheShape) {
    const double reference = 0.5;
    for (const Setting& s : kSettings) {
        const std::vector<uint8_t> state = FittedState(s, reference);
        for (double k : {0.0, 3.0, 9.0, 20.0, -4.0}) {
            const double amp = reference * std::pow(10.0, -k / 20.0);
            const Played off = Play(s, state, amp, false);
            const Played on = Play(s, state, amp, true);
            ASSERT_GE(off.start, 0);
            ASSERT_EQ(on.start, off.start);
            // Over the body: past the onset ramp, and without the lookahead
            // past the window in which the hit's level is still being heard.
            const int from = std::max(on.ramp, s.lookahead ? 0 : on.window + 1);
            const int64_t a = on.start + from, b = on.start + on.bodyEnd;
            ASSERT_LT(b, int64_t(on.out.size()));
            EXPECT_NEAR(Db(Rms(on.out, a, b)) - Db(Rms(off.out, a, b)), -k, 0.05)
                << s.rate << " Hz, blocks of " << s.block << (s.lookahead ? ", lookahead" : "")
                << ", " << k << " dB";
            // Frame by frame too: the option scales the shape, nothing else.
            double worst = 0.0;
            for (int64_t i = a; i < b; i += 7)
                if (std::fabs(off.out.l[size_t(i)]) > 1e-6)
                    worst = std::max(worst,
                                     std::fabs(Db(on.out.l[size_t(i)] / off.out.l[size_t(i)]) + k));
            EXPECT_LT(worst, 0.05) << s.rate << " Hz, blocks of " << s.block << ", " << k;
        }
    }
}

TEST(FollowLevel, WithTheLookaheadTheAttackIsScaledFromItsFirstFrame) {
    // Without the lookahead the attack's first milliseconds take the level
    // risen so far; with it the level is known when the envelope starts.
    const Setting s{48000.0, 64, true};
    const std::vector<uint8_t> state = FittedState(s, 0.5);
    const double amp = 0.5 * std::pow(10.0, -12.0 / 20.0);
    const Played off = Play(s, state, amp, false);
    const Played on = Play(s, state, amp, true);
    ASSERT_GE(on.start, 0);
    const int64_t a = on.start + on.ramp, b = on.start + on.window;
    EXPECT_NEAR(Db(Rms(on.out, a, b)) - Db(Rms(off.out, a, b)), -12.0, 0.05);
}

TEST(FollowLevel, OffTheOutputIsTheSameBitForBitAsNeverSwitched) {
    // Switched on and off again before the hit: not one sample differs.
    const Setting s{48000.0, 64, true};
    const std::vector<uint8_t> state = FittedState(s, 0.5);
    const Played never = Play(s, state, 0.2, false);
    TestCore fx(s.rate, 512);
    ByteBlock chunk;
    chunk.SetLength(int32_t(state.size()));
    std::memcpy(chunk.Bytes(), state.data(), state.size());
    ASSERT_TRUE(fx.LoadState(&chunk));
    fx.NotifyAllParams();
    Configure(fx, s.lookahead);
    fx.SetFollowLevel(true);
    fx.SetFollowLevel(false);
    const Stereo out = RunBlocks(fx, Hit(s.rate, 0.2, 100, PlayFrames(s.rate)), s.block);
    ASSERT_EQ(out.size(), never.out.size());
    EXPECT_EQ(std::memcmp(out.l.data(), never.out.l.data(), out.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(out.r.data(), never.out.r.data(), out.size() * sizeof(double)), 0);
}

TEST(FollowLevel, ADrawnShapeIsForAHitAsLoudAsItsPeak) {
    // Before any fit the reference is the shape's own peak, which a state's
    // shape brings with it.
    TestCore fx(48000.0, 512);
    EXPECT_EQ(fx.ShapeReference(), fx.ShapeInUse().Peak());
    EXPECT_GT(fx.ShapeReference(), 0.0);
}
