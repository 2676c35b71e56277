// The effect alone (linked without the editor): it runs, saves and loads, and
// autofits with no display anywhere; autofit keeps the hit it was fitted to;
// the event record holds the longest envelope at any rate and tells events
// apart by their counter.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/byte_block.h"
#include "base/db.h"
#include "kelo_fixture.h"

#ifdef KELO_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace {

const double kPi = 3.14159265358979323846;

// A drum-like hit: a sine whose pitch falls from 2 * freq to freq over the
// first 30 ms, decaying by e every decay seconds, with a short click on top.
void AddHit(Stereo& s, double rate, size_t at, double amp, double freq, double decay) {
    double phase = 0.0;
    for (size_t i = 0; at + i < s.size() && i < size_t(1.5 * rate); ++i) {
        const double t = double(i) / rate;
        const double f = freq * (1.0 + std::exp(-t / 0.03));
        phase += 2.0 * kPi * f / rate;
        const double click = t < 0.002 ? 0.3 * std::sin(2.0 * kPi * 3000.0 * t) : 0.0;
        const double v = amp * std::exp(-t / decay) * (std::sin(phase) + click);
        s.l[at + i] += v;
        s.r[at + i] += 0.9 * v;
    }
}

// The first frame from `from` on where the output leaves the input (the
// envelope's second position: its first leaves the sample as it is).
size_t TriggerOf(const Stereo& in, const Stereo& out, size_t from) {
    for (size_t i = from; i < in.size(); ++i)
        if (out.l[i] != in.l[i]) return i - 1;
    return in.size();
}

// The largest difference, in dB, between the output's and the input's level
// over windows of `window` frames from `from` to `to` (windows whose input is
// more than 50 dB below the loudest window are left out: silence).
double WorstWindowDb(const Stereo& in, const Stereo& out, size_t from, size_t to, size_t window) {
    std::vector<std::pair<double, double>> levels;
    double loudest = 0.0;
    for (size_t at = from; at + window <= to; at += window) {
        double a = 0.0, b = 0.0;
        for (size_t i = at; i < at + window; ++i) {
            a += in.l[i] * in.l[i] + in.r[i] * in.r[i];
            b += out.l[i] * out.l[i] + out.r[i] * out.r[i];
        }
        levels.emplace_back(a, b);
        loudest = std::fmax(loudest, a);
    }
    double worst = 0.0;
    for (const auto& l : levels) {
        if (l.first < loudest * 1e-5) continue;
        worst = std::fmax(worst, std::fabs(10.0 * std::log10(l.second / l.first)));
    }
    return worst;
}

struct FitCase {
    const char* name;
    double rate, amp, freq, decay, envTime, hiFreq, threshold;
    bool processOnly;
};

// Plays `first` (recording its event), autofits, then plays the same hit
// again; returns the fitted effect's output for the second hit and where it
// triggered.
struct FitRun {
    Stereo in, out;
    size_t trigger = 0;
    size_t envLen = 0;
    double levels[7] = {};
    double scale = 0.0;
    EnvelopeShape shape;
    double rate = 0.0;
};

FitRun RunFit(const FitCase& c, const Stereo& hit) {
    TestCore fx(c.rate, 512);
    fx.Set(kParamStrength, 1.0);
    fx.Set(kParamEnvTime, c.envTime);
    fx.Set(kParamHiFreq, c.hiFreq);
    fx.Set(kParamThreshold, c.threshold);
    fx.Set(kParamProcessOnly, c.processOnly ? 1.0 : 0.0);
    RunBlocks(fx, hit, 512);
    fx.Set(kParamAutofit, 1.0);
    fx.Set(kParamAutofit, 0.0);
    FitRun run;
    run.in = hit;
    run.out = RunBlocks(fx, hit, 512);
    run.trigger = TriggerOf(run.in, run.out, 0);
    run.envLen = size_t(fx.EnvLen());
    ShapeModel model;
    fx.CopyShapeModel(model);
    for (int i = 0; i < 7; ++i)
        run.levels[i] = model.PointAt(i).level;
    run.scale = model.Scale();
    run.shape = fx.ShapeInUse();
    run.rate = c.rate;
    return run;
}

} // namespace

TEST(EffectAlone, RunsSavesLoadsAndAutofitsWithNoEditor) {
    const double rate = 48000.0;
    Stereo hit(size_t(0.6 * rate));
    AddHit(hit, rate, 100, 0.5, 60.0, 0.06);
    TestCore a(rate, 512);
    ASSERT_EQ(a.GetEditor(), nullptr);
    a.Set(kParamStrength, 1.0);
    RunBlocks(a, hit, 512);
    ASSERT_GT(a.EventRecorded(), 0);
    ShapeModel before;
    a.CopyShapeModel(before);
    ASSERT_TRUE(a.AutoFit());
    ShapeModel after;
    a.CopyShapeModel(after);
    EXPECT_NE(after.PointAt(2).level, before.PointAt(2).level);
    EXPECT_EQ(a.ShapeInUse().Y(2), after.PointAt(2).level);

    ByteBlock chunk;
    ASSERT_TRUE(a.SaveState(&chunk));
    ASSERT_EQ(chunk.Size(), 188);
    TestCore b(rate, 512);
    ASSERT_TRUE(b.LoadState(&chunk));
    b.NotifyAllParams();
    a.NotifyAllParams(); // both from a reset
    const Stereo outA = RunBlocks(a, hit, 512), outB = RunBlocks(b, hit, 512);
    EXPECT_EQ(outA.l, outB.l);
    EXPECT_EQ(outA.r, outB.r);
    ByteBlock again;
    ASSERT_TRUE(b.SaveState(&again));
    EXPECT_EQ(std::vector<uint8_t>(again.Bytes(), again.Bytes() + again.Size()),
              std::vector<uint8_t>(chunk.Bytes(), chunk.Bytes() + chunk.Size()));
}

TEST(EffectAlone, AutofitWithoutAnEventChangesNothing) {
    TestCore fx;
    ShapeModel before, after;
    fx.CopyShapeModel(before);
    EXPECT_FALSE(fx.AutoFit());
    fx.Set(kParamAutofit, 1.0);
    fx.CopyShapeModel(after);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(after.PointAt(i).level, before.PointAt(i).level) << i;
}

// After autofit at strength 1, the hit it was fitted to comes out as it went
// in, within 1 dB over the envelope (windows of about two of its periods).
TEST(Autofit, TheFittedHitComesOutAsItWentIn) {
    const FitCase cases[] = {
        {"kick, low band", 48000, 0.5, 55, 0.08, 0.2, 150, -24, false},
        {"kick, full band", 48000, 0.5, 55, 0.08, 0.2, 22000, -24, false},
        {"short tom", 48000, 0.8, 110, 0.04, 0.15, 22000, -18, false},
        {"long kick", 48000, 0.4, 45, 0.2, 0.6, 150, -30, false},
        {"snare-like, 44.1k", 44100, 0.7, 200, 0.05, 0.25, 22000, -20, false},
        {"kick, only the band", 48000, 0.5, 55, 0.08, 0.2, 150, -24, true},
    };
    for (const FitCase& c : cases) {
        SCOPED_TRACE(c.name);
        Stereo hit(size_t((c.envTime + 0.5) * c.rate));
        AddHit(hit, c.rate, 100, c.amp, c.freq, c.decay);
        const FitRun run = RunFit(c, hit);
        ASSERT_LT(run.trigger, size_t(0.05 * c.rate));
        const size_t window = size_t(2.0 * c.rate / c.freq);
        const size_t from = run.trigger + size_t(0.005 * c.rate);
        const double worst = WorstWindowDb(run.in, run.out, from, run.trigger + run.envLen, window);
        std::printf("  %-22s worst window %.2f dB\n", c.name, worst);
        EXPECT_LT(worst, 1.0);
    }
}

// The record holds the longest envelope at any rate: the same material fits
// the same shape at 48, 96 and 192 kHz, with the editor nowhere (the render
// tool's case, or a host with the editor closed). The curves agree within
// 1.5 dB from 2 ms on wherever the hit is within 40 dB of its peak: the fit's
// valley is that flat (the samples, and so the stretches' contents, differ a
// little from rate to rate). Over the first 2 ms, where the curve climbs from
// the threshold, only the attack's peak is asked of it.
TEST(Autofit, FitsTheSameShapeAtEveryRate) {
    const double rates[] = {48000.0, 96000.0, 192000.0};
    for (double envTime : {0.2, 0.6, 1.0}) {
        FitRun runs[3];
        for (int r = 0; r < 3; ++r) {
            const FitCase c = {"kick", rates[r], 0.5, 55, 0.15, envTime, 22000, -24, false};
            Stereo hit(size_t((envTime + 0.2) * c.rate));
            AddHit(hit, c.rate, 100, c.amp, c.freq, c.decay);
            runs[r] = RunFit(c, hit);
            ASSERT_EQ(runs[r].envLen, size_t(std::lround(envTime * c.rate)));
        }
        const double loud = 0.5 * 0.01; // 40 dB under the hit's peak
        for (int r = 1; r < 3; ++r)
            for (double ms = 2.0; ms < 1000.0 * envTime; ms += 0.5) {
                const double a = runs[0].shape.At(ms * 0.001 * runs[0].rate);
                const double b = runs[r].shape.At(ms * 0.001 * runs[r].rate);
                if (std::exp(-ms * 0.001 / 0.15) * 0.5 < loud) break;
                EXPECT_NEAR(AmpToDb(b), AmpToDb(a), 1.5)
                    << rates[r] << " Hz, " << envTime << " s, at " << ms << " ms";
            }
    }
}

// Events are told apart by a counter: after a loud event A and a quiet event B
// of the same length, a host's autofit fits B alone, whatever A left behind.
TEST(Autofit, FitsTheLatestEventAlone) {
    const double rate = 48000.0;
    Stereo music(size_t(3.0 * rate));
    AddHit(music, rate, 100, 0.9, 60.0, 0.3);                 // A: loud and long
    AddHit(music, rate, size_t(1.5 * rate), 0.2, 60.0, 0.03); // B: quiet and short
    for (int block : {64, 512, 4096}) {
        TestCore fx(rate, 4096);
        fx.Set(kParamThreshold, -30.0);
        fx.Set(kParamEnvTime, 0.5);
        uint64_t before = 0;
        for (size_t at = 0; at < music.size(); at += size_t(block)) {
            const int n = int(std::min(size_t(block), music.size() - at));
            Stereo out{size_t(n)};
            fx.Block(&music.l[at], &music.r[at], out.l.data(), out.r.data(), n);
            if (at < size_t(1.4 * rate)) before = fx.EventCount();
        }
        EXPECT_GT(fx.EventCount(), before) << block;
        ASSERT_TRUE(fx.AutoFit());
        ShapeModel model;
        fx.CopyShapeModel(model);
        // B decays by e every 30 ms from 0.2: nothing of the fitted curve may
        // reach A's levels (0.9, and 0.17 still at the envelope's end).
        double highest = 0.0;
        for (int p = 0; p < fx.EnvLen(); p += 16)
            highest = std::fmax(highest, std::fabs(fx.ShapeInUse().At(p)));
        EXPECT_LT(highest, 0.25) << block;
        EXPECT_GT(highest, 0.1) << block;
        EXPECT_LT(model.PointAt(6).level, 0.01) << block;
    }
}

// One real kick (ForzeeStereo from Debian's hydrogen-drumkits, 48 kHz): after
// autofit at strength 1 (hi freq 150, threshold -24) it comes out as it went in.
TEST(Autofit, ARealKickComesOutAsItWentIn) {
#ifndef KELO_HAVE_SNDFILE
    GTEST_SKIP() << "built without libsndfile";
#else
    const char* path = "/usr/share/hydrogen/data/drumkits/ForzeeStereo/Kick-4.wav";
    SF_INFO info = {};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (!file) GTEST_SKIP() << path << " is missing (Debian's hydrogen-drumkits)";
    std::vector<double> frames(size_t(info.frames) * size_t(info.channels));
    sf_readf_double(file, frames.data(), info.frames);
    sf_close(file);
    ASSERT_EQ(info.samplerate, 48000);
    const double envTime = 0.2;
    Stereo hit(size_t(info.frames) + size_t(0.5 * info.samplerate));
    for (size_t i = 0; i < size_t(info.frames); ++i) {
        hit.l[i + 100] = frames[i * size_t(info.channels)];
        hit.r[i + 100] = frames[i * size_t(info.channels) + size_t(info.channels > 1 ? 1 : 0)];
    }
    const FitCase c = {"real kick", 48000.0, 0, 0, 0, envTime, 150, -24, false};
    const FitRun run = RunFit(c, hit);
    ASSERT_LT(run.trigger, size_t(0.05 * c.rate));
    // Windows of 20 ms (about one period of the kick's fundamental) from 5 ms
    // into the envelope on.
    double loud = 0.0, tail = 0.0, loudest = 0.0;
    std::vector<std::pair<double, double>> windows;
    for (size_t at = run.trigger + 240; at + 960 <= run.trigger + run.envLen; at += 960) {
        double a = 0.0, b = 0.0;
        for (size_t i = at; i < at + 960; ++i) {
            a += run.in.l[i] * run.in.l[i] + run.in.r[i] * run.in.r[i];
            b += run.out.l[i] * run.out.l[i] + run.out.r[i] * run.out.r[i];
        }
        windows.emplace_back(a, b);
        loudest = std::fmax(loudest, a);
    }
    for (const auto& w : windows) {
        const double db = std::fabs(10.0 * std::log10(w.second / w.first));
        (w.first >= 0.01 * loudest ? loud : tail) =
            std::fmax(w.first >= 0.01 * loudest ? loud : tail, db);
    }
    // Over the whole envelope, and over its first 5 ms (the attack, where the
    // curve climbs from P0 at the threshold to P2), by energy.
    const auto spanDb = [&](size_t from, size_t to) {
        double a = 0.0, b = 0.0;
        for (size_t i = from; i < to; ++i) {
            a += run.in.l[i] * run.in.l[i] + run.in.r[i] * run.in.r[i];
            b += run.out.l[i] * run.out.l[i] + run.out.r[i] * run.out.r[i];
        }
        return 10.0 * std::log10(b / a);
    };
    const double whole = spanDb(run.trigger, run.trigger + run.envLen);
    const double attack = spanDb(run.trigger, run.trigger + 240);
    std::printf("  real kick: whole envelope %+.2f dB, first 5 ms %+.2f dB, worst 20 ms window "
                "%.2f dB within 20 dB of the loudest, %.2f dB below\n",
                whole, attack, loud, tail);
    // The 20 ms windows swing with the body of the kick (it swells once around
    // 50 ms, which three smooth curves follow only in part) and, further down,
    // beat from window to window. Before the mend the fitted hit lost 8-9 dB,
    // and before P2's time was fitted too its attack came out 8 dB low and the
    // whole envelope 1.6 dB low.
    EXPECT_NEAR(whole, 0.0, 1.0);
    EXPECT_NEAR(attack, 0.0, 2.0);
    EXPECT_LT(loud, 1.5);
    EXPECT_LT(tail, 4.5);
#endif
}
