// Kelo on real drums: the material of tests/common/drum_material.h (built from
// Debian's hydrogen-drumkits at run time) through the effect, checked for what
// a producer hears: every hit triggers once, the envelope starts at the hit with
// lookahead, a tail shaped down never swells, a low band is never turned over
// or lifted above the shape, and a hit inside a running envelope gets its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/db.h"
#include "kelo_fixture.h"
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

// A loud event: hits starting within 15 ms of each other (a flam, a sample's
// slow start) count as one, loud when
// the loudest one's mid peak is at least minPeak. until: where the next event
// (of any loudness) starts.
struct Event {
    int64_t onset, until;
    double midPeak;
};

std::vector<Event> LoudEvents(const DrumTrack& track, double minPeak) {
    const int64_t together = int64_t(0.015 * track.rate);
    std::vector<Event> all;
    for (const DrumHit& hit : track.hits) {
        if (!all.empty() && int64_t(hit.frame) - all.back().onset <= together) {
            all.back().midPeak = std::max(all.back().midPeak, hit.midPeak);
            continue;
        }
        all.push_back({int64_t(hit.frame), int64_t(track.size()), hit.midPeak});
    }
    for (size_t k = 0; k + 1 < all.size(); ++k)
        all[k].until = all[k + 1].onset;
    std::vector<Event> loud;
    for (const Event& e : all)
        if (e.midPeak >= minPeak) loud.push_back(e);
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
                TestKelo fx(track.rate);
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
                        EXPECT_EQ(n, 1) << "starts after the hit (s):" << at << "; " << c.material << " " << c.thresholdDb << " dB, sign "
                                        << sign << ", hit at " << double(e.onset) / track.rate;
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
