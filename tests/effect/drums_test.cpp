// Kelo on real drums: the material of tests/common/drum_material.h (built from
// Debian's hydrogen-drumkits at run time) through the effect, checked for what
// a producer hears: every hit triggers once, the envelope starts at the hit with
// lookahead, a tail shaped down never swells, a low band is never turned over
// or lifted above the shape, and a hit inside a running envelope gets its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/db.h"
#include "hosted_fixture.h"
#include "tests/common/drum_material.h"

namespace {

#define SKIP_WITHOUT_KITS()                                                                        \
    do {                                                                                           \
        std::string why;                                                                           \
        if (!DrumKitsAvailable(&why)) GTEST_SKIP() << "drum kits not installed: " << why;          \
    } while (0)

// Each piece of material is built once per run.
const DrumTrack& Material(const std::string& name) {
    static std::map<std::string, DrumTrack> built;
    auto found = built.find(name);
    if (found != built.end()) return found->second;
    const uint32_t seed = DrumSeed();
    DrumTrack track = name == "groove"   ? DrumGroove(seed)
                      : name == "kick"   ? KickTrack(seed)
                      : name == "snare"  ? SnareTrack(seed)
                      : name == "kick16" ? SixteenthKicks(seed)
                      : name == "toms"   ? TomFill(seed)
                                         : RoomLoop(seed);
    return built[name] = std::move(track);
}

Stereo ToStereo(const DrumTrack& track, double sign = 1.0) {
    Stereo s(track.size());
    for (size_t i = 0; i < track.size(); ++i) {
        s.l[i] = sign * track.l[i];
        s.r[i] = sign * track.r[i];
    }
    return s;
}

struct Settings {
    double thresholdDb = -12.0;
    double hiFreq = 22000.0;
    double strength = 1.0;
    double envTime = 0.2;
    bool processOnly = false;
    bool bothPolarities = false;
    bool lookahead = false;
};

void Apply(TestKelo& fx, const Settings& s) {
    fx.Set(kParamThreshold, s.thresholdDb);
    fx.Set(kParamHiFreq, s.hiFreq);
    fx.Set(kParamStrength, s.strength);
    fx.Set(kParamEnvTime, s.envTime);
    fx.Set(kParamProcessOnly, s.processOnly ? 1.0 : 0.0);
    fx.SetDetectBothPolarities(s.bothPolarities);
    fx.SetLookahead(s.lookahead);
    fx.ResetProcessing();
}

// The output and the frames where envelopes started (output timeline).
struct Played {
    Stereo out;
    std::vector<int64_t> starts;
};

Played Play(TestKelo& fx, const Stereo& in, int block = 32) {
    Played played;
    played.out = Stereo(in.size());
    for (size_t i = 0; i < in.size(); i += size_t(block)) {
        const int n = int(std::min(in.size() - i, size_t(block)));
        const int64_t before = fx.EnvelopeStarts();
        fx.Block(&in.l[i], &in.r[i], &played.out.l[i], &played.out.r[i], n);
        // Two starts in one block would be two hits within a block's length:
        // the earlier is marked as -1 so counts stay right.
        for (int64_t k = before + 1; k < fx.EnvelopeStarts(); ++k)
            played.starts.push_back(-1);
        if (fx.EnvelopeStarts() > before) played.starts.push_back(fx.LastEnvelopeStart());
    }
    return played;
}

// A loud event: hits starting within 15 ms of each other (a flam, a hat with
// a kick whose sound starts late) count as one, loud when one of them has a mid
// peak of at least minPeak; it starts at the first such hit. until: where the
// next event (of any loudness) starts.
struct Event {
    int64_t onset, until;
    double midPeak;
};

std::vector<Event> LoudEvents(const DrumTrack& track, double minPeak) {
    const int64_t together = int64_t(0.015 * track.rate);
    struct Group {
        int64_t first, loud;
        double midPeak;
    };
    std::vector<Group> groups;
    for (const DrumHit& hit : track.hits) {
        const int64_t at = int64_t(hit.frame);
        const bool isLoud = hit.midPeak >= minPeak;
        if (groups.empty() || at - groups.back().first > together) groups.push_back({at, -1, 0.0});
        Group& g = groups.back();
        if (isLoud && g.loud < 0) g.loud = at;
        g.midPeak = std::max(g.midPeak, hit.midPeak);
    }
    // Loud in the mix too: its mid peak over the next 20 ms reaches minPeak and
    // stands 6 dB over the 20 ms before (a hit masked by, or cancelling with,
    // a ringing drum is no hit the detector can hear).
    const int64_t span = int64_t(0.02 * track.rate);
    const auto midPeak = [&](int64_t from, int64_t to) {
        double peak = 0.0;
        for (int64_t i = std::max<int64_t>(from, 0); i < to && i < int64_t(track.size()); ++i)
            peak = std::max(peak, std::fabs(0.5 * (track.l[size_t(i)] + track.r[size_t(i)])));
        return peak;
    };
    std::vector<Event> loud;
    for (size_t k = 0; k < groups.size(); ++k) {
        if (groups[k].loud < 0) continue;
        const double after = midPeak(groups[k].loud, groups[k].loud + span);
        if (after < minPeak || after < 2.0 * midPeak(groups[k].loud - span, groups[k].loud))
            continue;
        loud.push_back({groups[k].loud,
                        k + 1 < groups.size() ? groups[k + 1].first : int64_t(track.size()),
                        groups[k].midPeak});
    }
    return loud;
}

int StartsWithin(const std::vector<int64_t>& starts, int64_t from, int64_t to) {
    int n = 0;
    for (int64_t s : starts)
        n += s >= from && s < to;
    return n;
}

// RMS of frames [from, from + n) of both channels.
double Rms(const Stereo& s, size_t from, size_t n) {
    double sum = 0.0;
    for (size_t i = from; i < from + n && i < s.size(); ++i)
        sum += s.l[i] * s.l[i] + s.r[i] * s.r[i];
    return std::sqrt(sum / double(2 * n));
}

// The rates the lookahead is checked at. Under an emulator (the i686 build
// runs under qemu-i386, about a hundred times slower) one rate is enough for
// what that build checks, the x87 arithmetic; native builds check all three.
std::vector<double> LookaheadRates() {
    if (std::getenv("KELO_TEST_EMULATED")) return {48000.0};
    return {44100.0, 48000.0, 96000.0};
}

double Db(double amp) {
    return 20.0 * std::log10(std::max(amp, 1e-12));
}

} // namespace

TEST(DrumMaterial, IsTheSameForTheSameSeedAndHoldsTheHitsItLists) {
    SKIP_WITHOUT_KITS();
    const DrumTrack& groove = Material("groove");
    const DrumTrack again = DrumGroove(DrumSeed());
    ASSERT_EQ(again.l, groove.l);
    EXPECT_NE(DrumGroove(DrumSeed() + 1).l, groove.l);
    EXPECT_EQ(groove.rate, 48000.0);
    EXPECT_EQ(Material("room").rate, 44100.0);
    EXPECT_GE(groove.hits.size(), 85u);
    EXPECT_LE(groove.hits.size(), 100u);
    EXPECT_EQ(groove.HitsOf(kHat).size(), 56u);
    EXPECT_EQ(groove.HitsOf(kCrash).size(), 1u);
    EXPECT_EQ(groove.HitsOf(kTomHigh).size() + groove.HitsOf(kTomMid).size() +
                  groove.HitsOf(kTomLow).size(),
              6u);
    ASSERT_GE(groove.HitsOf(kGhost).size(), 6u);
    for (const DrumHit& ghost : groove.HitsOf(kGhost)) {
        EXPECT_GE(ghost.velocity, 0.12);
        EXPECT_LE(ghost.velocity, 0.21);
    }
    // Each listed onset is where its sound begins: quiet just before, loud after.
    const Stereo s = ToStereo(Material("kick"));
    for (const DrumHit& hit : Material("kick").hits) {
        EXPECT_LT(Rms(s, hit.frame - 96, 48), 0.1 * hit.peak) << hit.frame;
        EXPECT_GT(Rms(s, hit.frame, 480), 0.1 * hit.peak) << hit.frame;
    }
}

// --- detection

TEST(DrumDetection, WithBothPolaritiesEveryLoudHitTriggersOnceInEitherPolarity) {
    SKIP_WITHOUT_KITS();
    struct Case {
        const char* material;
        double thresholdDb;
        double hiFreq;
    } cases[] = {{"groove", -12.0, 22000.0},
                 {"kick", -18.0, 22000.0},
                 {"kick", -24.0, 150.0},
                 {"snare", -12.0, 22000.0},
                 {"toms", -12.0, 22000.0}};
    for (const Case& c : cases) {
        const DrumTrack& track = Material(c.material);
        // Loud: the hit's own mid peak 3 dB over the threshold (the band's
        // filter passes a kick's peak nearly whole below 150 Hz).
        const std::vector<Event> loud = LoudEvents(track, DbToAmp(c.thresholdDb + 3.0));
        ASSERT_FALSE(loud.empty()) << c.material;
        for (double sign : {1.0, -1.0}) {
            for (bool both : {false, true}) {
                HostedKelo fx(track.rate);
                Settings s;
                s.thresholdDb = c.thresholdDb;
                s.hiFreq = c.hiFreq;
                s.bothPolarities = both;
                Apply(fx, s);
                const Played played = Play(fx, ToStereo(track, sign));
                int once = 0;
                for (const Event& e : loud) {
                    const int64_t early = int64_t(0.001 * track.rate);
                    const int n = StartsWithin(played.starts, e.onset - early, e.until);
                    once += n == 1;
                    if (both) {
                        std::string at;
                        for (int64_t st : played.starts)
                            if (st >= e.onset - 4800 && st < e.until + 4800)
                                at += " " + std::to_string(double(st - e.onset) / track.rate);
                        EXPECT_EQ(n, 1) << "starts after the hit (s):" << at << "; " << c.material
                                        << " " << c.thresholdDb << " dB, sign " << sign
                                        << ", hit at " << double(e.onset) / track.rate;
                    }
                }
                std::printf("%-6s %5.1f dB %5.0f Hz polarity %+2.0f %s: %d of %zu loud hits "
                            "trigger once\n",
                            c.material, c.thresholdDb, c.hiFreq, sign, both ? "both " : "signed",
                            once, loud.size());
            }
        }
    }
}

TEST(DrumLookahead, EnvelopesStartWithinAMillisecondOfTheirHits) {
    SKIP_WITHOUT_KITS();
    // The hits that can trigger (their own mid peak at the threshold, and
    // standing out of the mix) and do: where both polarities are heard, their
    // envelopes start within a millisecond of them, also where the drum before
    // still rings, where a soft hat comes just before a kick, and where a tom's
    // level reaches the threshold several milliseconds into it; at every rate
    // and either polarity; and every loud hit (3 dB over) triggers. The signed
    // detector hears a hit that starts downward late, sometimes later than the
    // lookahead reaches (that is what the polarity option is for): its figures
    // are printed.
    struct Case {
        const char* material;
        double thresholdDb;
    } cases[] = {{"groove", -12.0}, {"kick", -18.0}, {"snare", -12.0}, {"toms", -12.0}};
    for (const Case& c : cases) {
        for (double rate : LookaheadRates()) {
            const DrumTrack track = Resampled(Material(c.material), rate);
            const std::vector<Event> heard = LoudEvents(track, DbToAmp(c.thresholdDb));
            const std::vector<Event> loud = LoudEvents(track, DbToAmp(c.thresholdDb + 3.0));
            ASSERT_FALSE(loud.empty()) << c.material;
            for (bool both : {true, false}) {
                for (double sign : {1.0, -1.0}) {
                    HostedKelo fx(rate);
                    Settings s;
                    s.thresholdDb = c.thresholdDb;
                    s.bothPolarities = both;
                    s.lookahead = true;
                    Apply(fx, s);
                    const int delay = fx.LookaheadSamples();
                    // A fixed time: the samples follow the rate (whole samples, cut).
                    ASSERT_EQ(delay, int(KeloEffect::kLookaheadSeconds * rate));
                    EXPECT_EQ(fx.Record()->initialDelay, delay);
                    const Stereo in = ToStereo(track, sign);
                    const Played played = Play(fx, in);
                    // Before the first envelope the output is the input, delayed.
                    ASSERT_FALSE(played.starts.empty());
                    for (int64_t i = delay; i < played.starts[0]; ++i)
                        ASSERT_EQ(played.out.l[size_t(i)], in.l[size_t(i - delay)]) << i;
                    const int64_t ms = int64_t(0.001 * rate);
                    const std::string what = std::string(c.material) + " at " +
                                             std::to_string(int(rate)) + " Hz" +
                                             (sign > 0 ? ", as recorded" : ", inverted");
                    int triggered = 0, near = 0;
                    double worst = 0.0;
                    for (const Event& e : heard) {
                        // The first envelope from 10 ms before the hit to the next.
                        const int64_t at = e.onset + delay;
                        int64_t first = -1;
                        for (int64_t st : played.starts)
                            if (st >= at - 10 * ms && st < e.until + delay) {
                                first = st;
                                break;
                            }
                        if (first < 0) continue;
                        ++triggered;
                        const double offMs = 1000.0 * double(first - at) / rate;
                        worst = std::max(worst, std::fabs(offMs));
                        near += std::fabs(offMs) <= 1.0;
                        if (both) {
                            EXPECT_LE(std::fabs(offMs), 1.0)
                                << what << ": hit at " << double(e.onset) / rate << " s, start "
                                << offMs << " ms from it";
                        }
                    }
                    int loudTriggered = 0;
                    for (const Event& e : loud)
                        loudTriggered += StartsWithin(played.starts, e.onset + delay - 3 * ms,
                                                      e.until + delay) > 0;
                    if (both) {
                        EXPECT_EQ(loudTriggered, int(loud.size())) << what;
                    }
                    std::printf("%-6s %6.0f Hz %s %s: %zu hits, %d triggered, %d within 1 ms, "
                                "worst %.2f ms\n",
                                c.material, rate, both ? "both  " : "signed",
                                sign > 0 ? "as recorded" : "inverted   ", heard.size(), triggered,
                                near, worst);
                }
            }
        }
    }
}

TEST(DrumLookahead, EveryBlockSplitGivesTheSameOutputAndStarts) {
    SKIP_WITHOUT_KITS();
    // The onset search reaches back over the pieces before: any split of the
    // blocks (random lengths, some longer than the effect's scratch) gives
    // the same samples and the same envelope starts.
    for (const char* name : {"toms", "kick16"}) {
        const DrumTrack& track = Material(name);
        const Stereo in = ToStereo(track);
        Settings s;
        s.bothPolarities = true;
        s.lookahead = true;
        s.thresholdDb = -18.0;
        TestKelo whole(track.rate, 256);
        Apply(whole, s);
        const Stereo expected = RunBlocks(whole, in, 64);
        const int64_t expectedStarts = whole.EnvelopeStarts();
        ASSERT_GE(expectedStarts, 6) << name;
        std::mt19937 rng(DrumSeed());
        for (int run = 0; run < 3; ++run) {
            HostedKelo fx(track.rate, 256);
            Apply(fx, s);
            Stereo out(in.size());
            for (size_t i = 0; i < in.size();) {
                const int n = int(std::min<size_t>(in.size() - i, 1 + rng() % 700));
                fx.Block(&in.l[i], &in.r[i], &out.l[i], &out.r[i], n);
                i += size_t(n);
            }
            ASSERT_EQ(out.l, expected.l) << name << " run " << run;
            ASSERT_EQ(out.r, expected.r) << name << " run " << run;
            EXPECT_EQ(fx.EnvelopeStarts(), expectedStarts) << name;
        }
    }
}

TEST(DrumLookahead, AHitInsideAnEnvelopeLeavesTheOneBeforeShapingUntilItStarts) {
    SKIP_WITHOUT_KITS();
    // Sixteenth kicks, each heard while the envelope of the one before runs,
    // with a shape that silences the tail: the audio just before each new
    // start is still that tail, shaped, not the ring let through while the
    // new hit's start is waited for.
    const DrumTrack& track = Material("kick16");
    const Stereo in = ToStereo(track);
    const double rate = track.rate;
    HostedKelo fx(rate);
    Settings s;
    s.thresholdDb = -18.0;
    s.bothPolarities = true;
    s.lookahead = true;
    Apply(fx, s);
    const int length = fx.EnvLen();
    const ShapePoint points[7] = {
        {0, 0.5},           {0.002 * rate, 0.6}, {0.005 * rate, 0.6},  {0.03 * rate, 0.1},
        {0.06 * rate, 0.0}, {0.1 * rate, 0.0},   {double(length), 0.0}};
    fx.SetShape(points, length);
    const Played played = Play(fx, in);
    const int delay = fx.LookaheadSamples();
    const size_t window = size_t(0.008 * rate);
    int restarts = 0;
    double loudest = -1e9;
    for (size_t k = 1; k < played.starts.size(); ++k) {
        const int64_t start = played.starts[k], before = played.starts[k - 1];
        if (start < 0 || before < 0 || start - before >= length) continue;
        ++restarts;
        const size_t from = size_t(start) - window;
        double inSum = 0.0, outSum = 0.0;
        for (size_t i = from; i < size_t(start); ++i) {
            inSum += in.l[i - size_t(delay)] * in.l[i - size_t(delay)];
            outSum += played.out.l[i] * played.out.l[i];
        }
        loudest = std::max(loudest, Db(std::sqrt(outSum)) - Db(std::sqrt(inSum)));
    }
    std::printf("kick16 lookahead: %d starts inside an envelope, the 8 ms before them at most "
                "%.1f dB of the input\n",
                restarts, loudest);
    EXPECT_GE(restarts, 12);
    EXPECT_LE(loudest, -20.0);
}

// --- the shape's level below zero

TEST(DrumShaping, ATailShapedToTheBottomNeverSwellsNorExceedsTheInput) {
    SKIP_WITHOUT_KITS();
    const DrumTrack& track = Material("kick");
    const Stereo in = ToStereo(track);
    const double rate = track.rate;
    for (double strength : {1.0, 0.6}) {
        HostedKelo fx(rate);
        Settings s;
        s.thresholdDb = -18.0;
        s.strength = strength;
        s.bothPolarities = true; // every kick gets an envelope
        Apply(fx, s);
        // "Tighter": P4 and P6 on the bottom line; the derived P5 goes on
        // down, so the last curve dips under zero between them (and the middle
        // one, with P3 under zero, too).
        const int length = fx.EnvLen();
        const double p4 = 0.06 * rate;
        const ShapePoint points[7] = {
            {0, DbToAmp(-18.0)}, {0.002 * rate, 0.4},  {0.005 * rate, 0.6},  {0.03 * rate, -0.3},
            {p4, 0.0},           {0.13 * rate, -0.25}, {double(length), 0.0}};
        fx.SetShape(points, length);
        const Played played = Play(fx, in);
        ASSERT_GE(played.starts.size(), track.hits.size());
        const size_t window = size_t(0.005 * rate);
        double worstRise = -1e9, worstOver = -1e9;
        for (int64_t start : played.starts) {
            if (start < 0) continue;
            double lowest = 1e9;
            for (size_t w = size_t(start) + size_t(p4);
                 w + window <= size_t(start) + size_t(fx.BodyEnd()); w += window) {
                const double inLevel = Rms(in, w, window), outLevel = Rms(played.out, w, window);
                if (inLevel < 1e-7) continue;
                // Silence (120 dB under the input) counts as that, not as
                // the rounding noise it is made of.
                const double gainDb = std::max(Db(outLevel) - Db(inLevel), -120.0);
                lowest = std::min(lowest, gainDb);
                worstRise = std::max(worstRise, gainDb - lowest);
                worstOver = std::max(worstOver, gainDb);
            }
        }
        std::printf("tighter at strength %.1f: tail gain rises at most %.2f dB, peaks at %.2f dB\n",
                    strength, worstRise, worstOver);
        EXPECT_LE(worstRise, 0.5) << strength;
        EXPECT_LE(worstOver, 0.01) << strength;
    }
}

// --- a low band, processed alone

TEST(DrumShaping, ALowBandIsNeverTurnedOverNorLiftedAboveTheShape) {
    SKIP_WITHOUT_KITS();
    for (const char* name : {"kick", "groove"}) {
        const DrumTrack& track = Material(name);
        const Stereo in = ToStereo(track);
        for (bool both : {false, true}) {
            Settings s;
            s.thresholdDb = -24.0;
            s.hiFreq = 150.0;
            s.strength = 0.6;
            s.processOnly = true;
            s.bothPolarities = both;
            HostedKelo fx(track.rate), band(track.rate);
            Apply(fx, s);
            Apply(band, s);
            band.Set(kParamMonitor, 1.0);
            const Played played = Play(fx, in);
            const Stereo h = RunBlocks(band, in, 32);
            ASSERT_FALSE(played.starts.empty());
            double most = 0.0;
            for (int n = 0; n <= fx.EnvLen(); ++n)
                most = std::max(most, fx.ShapeInUse().At(n));
            double lift = -1e9, mostGain = 0.0;
            for (size_t i = 0; i < in.size(); ++i) {
                // out = gain * band + (input - band), channel by channel.
                const double shapedL = played.out.l[i] - (in.l[i] - h.l[i]);
                const double shapedR = played.out.r[i] - (in.r[i] - h.r[i]);
                const double slack = 1e-12 * (1.0 + std::fabs(in.l[i]) + std::fabs(in.r[i]));
                ASSERT_GE(shapedL * std::copysign(1.0, h.l[i]), -slack) << name << " " << i;
                ASSERT_GE(shapedR * std::copysign(1.0, h.r[i]), -slack) << name << " " << i;
                ASSERT_LE(std::fabs(shapedL), std::max(std::fabs(h.l[i]), most) + slack) << i;
                ASSERT_LE(std::fabs(shapedR), std::max(std::fabs(h.r[i]), most) + slack) << i;
                if (std::fabs(h.l[i]) > 1e-4) mostGain = std::max(mostGain, shapedL / h.l[i]);
            }
            const size_t window = size_t(0.01 * track.rate);
            for (size_t w = 0; w + window <= in.size(); w += window)
                if (Rms(in, w, window) > DbToAmp(-60.0))
                    lift = std::max(lift, Db(Rms(played.out, w, window)) - Db(Rms(in, w, window)));
            std::printf("%-6s low band%s: band gain at most %.1f dB, most lift over 10 ms %.1f "
                        "dB (shape up to %.1f dBFS)\n",
                        name, both ? ", both polarities" : "", Db(mostGain), lift, Db(most));
        }
    }
}

// --- hits inside a running envelope

TEST(DrumShaping, EveryHitOfAFastPatternGetsItsOwnEnvelopeWithoutASpike) {
    SKIP_WITHOUT_KITS();
    struct Case {
        const char* material;
        double thresholdDb;
    } cases[] = {{"kick16", -18.0}, {"toms", -12.0}, {"groove", -12.0}};
    for (const Case& c : cases) {
        const DrumTrack& track = Material(c.material);
        const Stereo in = ToStereo(track);
        const std::vector<Event> loud = LoudEvents(track, DbToAmp(c.thresholdDb + 3.0));
        for (bool both : {false, true}) {
            HostedKelo fx(track.rate);
            Settings s;
            s.thresholdDb = c.thresholdDb;
            s.bothPolarities = both;
            Apply(fx, s);
            const Played played = Play(fx, in);
            double most = 0.0;
            for (int n = 0; n <= fx.EnvLen(); ++n)
                most = std::max(most, fx.ShapeInUse().At(n));
            // No sample leaves louder than it came or than the shape.
            for (size_t i = 0; i < in.size(); ++i) {
                const double bound =
                    std::max(std::max(std::fabs(in.l[i]), std::fabs(in.r[i])), most);
                ASSERT_LE(std::fabs(played.out.l[i]), bound * (1.0 + 1e-12))
                    << c.material << " " << i;
                ASSERT_LE(std::fabs(played.out.r[i]), bound * (1.0 + 1e-12))
                    << c.material << " " << i;
            }
            const int64_t ms = int64_t(0.001 * track.rate);
            double latest = 0.0, spike = -1e9;
            for (const Event& e : loud) {
                // Its own envelope, soon after it begins, and only one. (The
                // signed level hears a hit that starts downward late, if at
                // all; that is what the polarity option is for.)
                if (both) {
                    EXPECT_EQ(StartsWithin(played.starts, e.onset - ms, e.onset + 10 * ms), 1)
                        << c.material << " hit at " << double(e.onset) / track.rate;
                    EXPECT_EQ(StartsWithin(played.starts, e.onset - ms, e.until), 1)
                        << c.material << " hit at " << double(e.onset) / track.rate;
                }
                for (int64_t st : played.starts) {
                    if (st < e.onset - ms || st >= e.until) continue;
                    latest = std::max(latest, double(st - e.onset));
                    // The first 1.5 ms of the envelope against the input's.
                    const size_t from = size_t(st), n = size_t(1.5 * double(ms));
                    double inPeak = 0.0, outPeak = 0.0;
                    for (size_t i = from; i < from + n && i < in.size(); ++i) {
                        inPeak = std::max(inPeak, std::fabs(in.l[i]));
                        outPeak = std::max(outPeak, std::fabs(played.out.l[i]));
                    }
                    spike = std::max(spike, Db(outPeak) - Db(inPeak));
                }
            }
            std::printf("%-6s %s: %zu hits, latest envelope start %.2f ms after its hit, first "
                        "1.5 ms at most %+.1f dB\n",
                        c.material, both ? "both  " : "signed", loud.size(),
                        1000.0 * latest / track.rate, spike);
        }
    }
}

// The manual's recipes are measured on every kit (drum_kits_test.cpp,
// kelo-drum-figures --only recipes).
