// States saved by earlier builds (tests/data/states, see the README there) load
// into this one, save again to the same bytes, and sound as they did: a fixed
// input rendered through each is compared with what the build that saved it
// rendered (the block peaks in the .peaks files beside them).
//
// KELO_RECORD_STATE_PEAKS=DIR writes the peaks of this build into DIR instead
// of comparing (how the reference files were made).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "kelo_fixture.h"
#include "saved_states.inc"

namespace {

const double kRate = 48000.0;
const int kBlock = 512;
const int kPeakFrames = 256;
const double kPi = 3.14159265358979323846;

// Two seconds: a low tone under decaying hits of varied pitch and level, half
// a second apart (longer than any envelope the states hold), and one hit that
// only the lower thresholds hear.
Stereo FixedInput() {
    Stereo s(size_t(2.0 * kRate));
    const double amps[] = {0.9, 0.35, 0.6, 0.08};
    const double freqs[] = {120.0, 900.0, 230.0, 3000.0};
    for (size_t i = 0; i < s.size(); ++i) {
        const double t = double(i) / kRate;
        const double tone = 0.02 * std::sin(2.0 * kPi * 55.0 * t);
        s.l[i] = tone;
        s.r[i] = 0.5 * tone;
    }
    for (int h = 0; h < 4; ++h) {
        const size_t at = size_t((0.05 + 0.5 * h) * kRate);
        for (size_t i = 0; at + i < s.size() && i < size_t(0.4 * kRate); ++i) {
            const double t = double(i) / kRate;
            const double v = amps[h] * std::exp(-t / 0.05) * std::sin(2.0 * kPi * freqs[h] * t);
            s.l[at + i] += v;
            s.r[at + i] += 0.8 * v;
        }
    }
    return s;
}

ByteBlock BlockOf(const std::vector<unsigned char>& bytes) {
    ByteBlock block;
    block.AppendBytes(bytes.data(), int32_t(bytes.size()));
    return block;
}

// Loads a state as a host does (the load, then every parameter heard and a reset).
void LoadAsHost(TestKelo& fx, const std::vector<unsigned char>& bytes) {
    ByteBlock block = BlockOf(bytes);
    ASSERT_TRUE(fx.LoadState(&block));
    fx.NotifyAllParams();
}

// The peak of each channel over each kPeakFrames frames, one line per stretch.
std::string PeaksOf(const Stereo& out) {
    std::string text;
    char line[96];
    for (size_t at = 0; at < out.size(); at += kPeakFrames) {
        double l = 0.0, r = 0.0;
        for (size_t i = at; i < at + kPeakFrames && i < out.size(); ++i) {
            l = std::fmax(l, std::fabs(out.l[i]));
            r = std::fmax(r, std::fabs(out.r[i]));
        }
        std::snprintf(line, sizeof line, "%.17g %.17g\n", l, r);
        text += line;
    }
    return text;
}

std::vector<double> Numbers(const std::string& text) {
    std::vector<double> v;
    std::istringstream in(text);
    double x;
    while (in >> x)
        v.push_back(x);
    return v;
}

} // namespace

TEST(SavedStates, LoadSaveAgainToTheSameBytesAndSoundAsWhenSaved) {
    const char* record = std::getenv("KELO_RECORD_STATE_PEAKS");
    const Stereo input = FixedInput();
    for (const SavedState& saved : kSavedStates) {
        SCOPED_TRACE(saved.name);
        ASSERT_EQ(saved.bytes.size(), 188u);
        TestKelo fx(kRate, kBlock);
        LoadAsHost(fx, saved.bytes);
        ByteBlock again;
        ASSERT_TRUE(fx.SaveState(&again));
        EXPECT_EQ(std::vector<unsigned char>(again.Bytes(), again.Bytes() + again.Size()),
                  saved.bytes);

        const std::string peaks = PeaksOf(RunBlocks(fx, input, kBlock));
        if (record) {
            const std::string path = std::string(record) + "/" + saved.name + ".peaks";
            FILE* f = std::fopen(path.c_str(), "w");
            ASSERT_TRUE(f) << path;
            std::fputs(peaks.c_str(), f);
            std::fclose(f);
            continue;
        }
        const std::vector<double> got = Numbers(peaks), want = Numbers(saved.peaks);
        ASSERT_EQ(got.size(), want.size());
        // A millionth of each peak: room for another unit's rounding (x87),
        // none for a shape or a value that did not load.
        int differing = 0;
        for (size_t i = 0; i < got.size(); ++i)
            if (std::fabs(got[i] - want[i]) > 1e-6 * std::fmax(1e-6, want[i])) ++differing;
        EXPECT_EQ(differing, 0) << "stretches of " << kPeakFrames << " frames sound otherwise";
    }
}

// The states differ from each other where they should: each sounds otherwise
// than the default, so the comparison above can tell a state that was not
// loaded from one that was.
TEST(SavedStates, EachNonDefaultStateSoundsOtherwiseThanTheDefault) {
    std::vector<double> reference;
    for (const SavedState& saved : kSavedStates)
        if (std::string(saved.name) == "default") reference = Numbers(saved.peaks);
    ASSERT_FALSE(reference.empty());
    for (const SavedState& saved : kSavedStates) {
        if (std::string(saved.name) == "default") continue;
        SCOPED_TRACE(saved.name);
        const std::vector<double> peaks = Numbers(saved.peaks);
        ASSERT_EQ(peaks.size(), reference.size());
        double most = 0.0;
        for (size_t i = 0; i < peaks.size(); ++i)
            most = std::fmax(most, std::fabs(peaks[i] - reference[i]));
        EXPECT_GT(most, 1e-3);
    }
}
