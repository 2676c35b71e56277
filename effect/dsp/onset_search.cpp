#include "effect/dsp/onset_search.h"

#include <algorithm>
#include <cmath>

#include "base/round_double.h"
#include "effect/dsp/detector.h"
#include "effect/dsp/samples_of.h"
#include "effect/level_follower.h"

namespace {

// An envelope starts after the lowest onset level within the lookahead before
// its start is decided, but not before the band's magnitude level was last
// this share (18 dB under) of the highest it reached since the trigger, less
// the time a hit takes to rise to that share (kRiseSeconds).
const double kOnsetQuiet = 0.125;
const double kRiseSeconds = 0.0006;
// After that lowest, at the last low before the hit's rise: found going back
// from where the rise passed kRiseSeen (6 dB over) the lowest, while the onset
// level keeps falling (never rising kRipple, 0.25 dB, over its lowest on the
// way). A ring that was already there keeps the onset level near its lowest
// all through the lookahead, rippling with the ring's partials, and its very
// lowest may lie milliseconds before the hit: the start was pulled back onto
// the ring there (a tom struck into the ring of the tom above it). On the
// tuning kits a ripple of 0.1-0.4 dB starts 1.5-3 points more hits within
// 1 ms, 0.5 dB 0.9 points, 1 dB none (the walk passes the ripple); strictly
// falling, some kicks' starts go late (their change holds as it begins).
const double kRiseSeen = 2.0;
const double kRipple = 1.0292005271643282;
// In the audio, a hit's start is found on its rise: the level grows at least
// this factor (3 dB) within kSteepSeconds there, and is at least kFirstSound
// (26 dB under) of its peak since. A ring it sounds over grows far slower.
const double kSteepRise = 1.4125375446227544;
const double kSteepSeconds = 0.0005;
const double kFirstSound = 0.05;
// A hit that begins softly (a hat's first sound, a brush, a ramp into an
// electronic hit) climbs into its attack before the band shows it: from the
// start found so far, the start goes back along the audio's level while that
// climbs at least this factor (1 dB) within kSteepSeconds and is at least
// kClimbFloor (20 dB under) of its peak since. A ring before the hit falls
// into it, or swells far slower, and stops the climb at once.
const double kClimb = 1.1220184543019633;
const double kClimbFloor = 0.1;
// A hit whose first sound holds before its attack (a kick's body swelling for
// a few milliseconds before its beater's click) shows no steady climb there:
// from the start found so far, the start goes back along the audio's level
// while it stays at least kClimbFloor of its peak since and never rises more
// than kClimb over its lowest on the way (going back, a sound before the hit
// rises: its ring falls into the hit), to that lowest point, where the walk
// ends within the lookahead and that point lies kBodyRise (12 dB) or more under
// the start found so far. A steady sound before the hit ends no lower than it
// began and keeps the start where it was.
const double kBodyRise = 0.25;

// The highest of level(0..back).
template <typename Level>
double PeakSince(Level level, int back) {
    double peak = 0.0;
    for (int k = 0; k <= back; ++k)
        peak = level(k) > peak ? level(k) : peak;
    return peak;
}

} // namespace

bool OnsetSearch::Prepare(int lookahead, double rate, int frames, ClearedLines* cleared) {
    mLookahead = lookahead > 0 ? lookahead : 0;
    bool ok = mPastOnset.SetLength(mLookahead, cleared) &&
              mPastMagnitude.SetLength(mLookahead, cleared) &&
              mPastFull.SetLength(mLookahead, cleared);
    if (!ok) {
        mLookahead = 0;
        mPastOnset.SetLength(0);
        mPastMagnitude.SetLength(0);
        mPastFull.SetLength(0);
    }
    mRate = rate;
    mDecideLen = SamplesOf(kStartDecisionSeconds, rate);
    mSettleLen = SamplesOf(kSettleSeconds, rate);
    mRiseLen = SamplesOf(kRiseSeconds, rate);
    mSteepLen = SamplesOf(kSteepSeconds, rate);
    if (mSteepLen < 1) mSteepLen = 1;
    if (mDecideLen >= mLookahead) mDecideLen = mLookahead > 0 ? mLookahead - 1 : 0;
    SetBandDelay(mBandDelaySeconds);
    mLastBandMid = mOnsetLevel = 0.0;
    mMagnitude = mFull = nullptr;
    return frames > 0 && mOnset.Resize(frames * int32_t(sizeof(double)), false);
}

void OnsetSearch::SetBandDelay(double seconds) {
    mBandDelaySeconds = seconds > 0.0 && seconds < 1.0 ? seconds : 0.0;
    // Never more than half the lookahead: a band cut at a few hertz delays by
    // tens of milliseconds, where the audio's level would tell nothing.
    const double most = 0.5 * double(mLookahead);
    const double delay = mBandDelaySeconds * mRate;
    mBandDelay = int(std::lround(delay < most ? delay : most));
}

void OnsetSearch::Clear() {
    mPastOnset.Clear();
    mPastMagnitude.Clear();
    mPastFull.Clear();
    mLastBandMid = mOnsetLevel = 0.0;
}

void OnsetSearch::Follow(const double* bandL, const double* bandR, const double* magnitude,
                         const double* full, int frames, double attack, double release) {
    double* onset = reinterpret_cast<double*>(mOnset.Bytes());
    mMagnitude = magnitude;
    mFull = full;
    // It rises and falls as the detector's levels do.
    double last = mLastBandMid, level = mOnsetLevel;
    for (int i = 0; i < frames; ++i) {
        double mid = 0.5 * (bandL[i] + bandR[i]);
        // Doubles from step to step, as between blocks (x87 code would carry
        // them wider within a block: a level that depends on where it is cut).
        RoundToDouble(mid);
        level = FollowLevel(level, std::fabs(mid - last), attack, release);
        RoundToDouble(level);
        last = mid;
        onset[i] = level;
    }
    mLastBandMid = last;
    mOnsetLevel = level < kTinyLevel ? 0.0 : level;
}

void OnsetSearch::Keep(int frames) {
    mPastOnset.Push(Onsets(), frames);
    mPastMagnitude.Push(mMagnitude, frames);
    mPastFull.Push(mFull, frames);
}

PendingStart OnsetSearch::Schedule(int t) {
    PendingStart start;
    if (mDecideLen > 0)
        start.decide = mDecideLen;
    else
        start.wait = Wait(t, 0) + 1;
    return start;
}

bool OnsetSearch::CountDown(PendingStart& start, int g, int t) {
    const int passed = t - g;
    if (start.decide > 0) {
        start.decide -= passed;
        if (start.decide > 0) return false;
        start.wait = Wait(t - 1, mDecideLen - 1);
        return start.wait == 0;
    }
    start.wait -= passed;
    return start.wait == 0;
}

template <typename Level>
int OnsetSearch::Climb(Level level, int back, int most, double floor, double rise) const {
    const int reach = mLookahead - 1;
    const int end = back + most < reach ? back + most : reach;
    // The audio's peak since back...
    const double least = floor * PeakSince(level, back);
    // ...and back down its rise while it climbs fast enough and is not under
    // the least level.
    int k = back;
    while (k < end) {
        const double v = level(k + 1);
        if (!(v >= least)) break;
        const int j = k + 1 + mSteepLen < reach ? k + 1 + mSteepLen : reach;
        if (!(v >= rise * level(j))) break;
        ++k;
    }
    return k;
}

template <typename Level>
int OnsetSearch::BodyBefore(Level level, int back) const {
    const int reach = mLookahead - 1;
    const double least = kClimbFloor * PeakSince(level, back), top = level(back);
    double lowest = top;
    int low = back, k = back + 1;
    for (; k <= reach; ++k) {
        const double v = level(k);
        // Quiet before the body, or a sound before it: the walk ends.
        if (!(v >= least) || v > kClimb * lowest) break;
        if (v < lowest) {
            lowest = v;
            low = k;
        }
    }
    return k <= reach && lowest <= kBodyRise * top ? low : back;
}

template <typename Level>
int OnsetSearch::LastLowBefore(Level level, int back) {
    const double lowest = level(back);
    int rise = back;
    while (rise > 0 && !(level(rise) > kRiseSeen * lowest))
        --rise;
    if (rise == 0) return back;
    double least = level(rise);
    for (int k = rise + 1, at = rise; k <= back; ++k) {
        const double v = level(k);
        if (v > kRipple * least) return at;
        if (v < least) {
            least = v;
            at = k;
        }
    }
    return back;
}

int OnsetSearch::Wait(int u, int since) const {
    // Frame u is passed on already: a start reach frames back is the next one
    // out of the delay.
    const int reach = mLookahead - 1;
    if (reach <= 0) return 0;
    // Levels k frames before frame u: from the block, or from before it.
    const double* onset = reinterpret_cast<const double*>(mOnset.Bytes());
    const double* magnitude = mMagnitude;
    const auto pastOnset = [&](int k) { return k <= u ? onset[u - k] : mPastOnset.Past(k - u); };
    const auto pastMagnitude = [&](int k) {
        return k <= u ? magnitude[u - k] : mPastMagnitude.Past(k - u);
    };
    const double* full = mFull;
    const auto pastFull = [&](int k) { return k <= u ? full[u - k] : mPastFull.Past(k - u); };
    // The onset level falls (slowly) before the hit and climbs at it: the hit
    // begins after its lowest point within the lookahead (the latest, if it
    // stays there).
    int back = 0;
    double lowest = pastOnset(0);
    for (int k = 1; k <= reach; ++k) {
        const double v = pastOnset(k);
        if (v < lowest) {
            lowest = v;
            back = k;
        }
    }
    // ...that is, after the last low before its rise.
    back = LastLowBefore(pastOnset, back);
    // Where it fell all along (its lowest now), the lookahead holds no attack:
    // the hit began before it (a low tom that rose for 15 ms under the ring of
    // the drums before it until it triggered), and the earliest start the
    // lookahead still allows is the nearest.
    if (back == 0) back = reach;
    // But not before the band's magnitude level was last kOnsetQuiet of the
    // highest it reached since the trigger: the fine grain of a quiet sound
    // before a hit (a cymbal's bleed in a kick's microphone, a soft hat just
    // before a kick) moves the onset level too, and would pull the start ahead
    // of the hit.
    double loudest = 0.0;
    for (int k = 0; k <= since; ++k)
        loudest = std::max(loudest, pastMagnitude(k));
    const double quiet = kOnsetQuiet * loudest;
    for (int k = 0; k < back; ++k)
        if (pastMagnitude(k) <= quiet) {
            // The hit's rise through that level began at the magnitude
            // level's lowest point within kRiseSeconds before.
            const int end = k + mRiseLen < back ? k + mRiseLen : back;
            int low = k;
            double lowest = pastMagnitude(k);
            for (int j = k + 1; j <= end; ++j)
                if (pastMagnitude(j) < lowest) {
                    lowest = pastMagnitude(j);
                    low = j;
                }
            back = low;
            break;
        }
    // The hit begins on the frame after.
    back = back > 0 ? back - 1 : 0;
    if (!full) return reach - back;
    // The band shows a hit up to its own delay later than the audio does:
    // within that time before, the audio's steep rise tells where the hit
    // began...
    if (mBandDelay > 0) back = Climb(pastFull, back, mBandDelay, kFirstSound, kSteepRise);
    // ...and before that, a soft beginning climbing into it.
    back = Climb(pastFull, back, reach, kClimbFloor, kClimb);
    // ...or the body the attack rides on.
    back = BodyBefore(pastFull, back);
    return reach - back;
}
