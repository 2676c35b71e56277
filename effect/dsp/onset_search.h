// The lookahead's onset search: with the audio delayed, an envelope that
// triggers is not started at once; its start is decided a little later
// (kStartDecisionSeconds after the trigger, once the hit that reached the
// threshold has been heard rising further) and placed, within the lookahead
// before that, where the hit begins. This class follows the onset level,
// keeps the levels of the lookahead before the block, finds where a hit
// begins, and counts a pending start down to its frame.
//
// Where a hit begins, and the levels that tell, are the rules most likely to
// be refined: they live in Wait (onset_search.cpp) alone.
#pragma once

#include "base/byte_block.h"
#include "effect/delay_line.h"

// A lookahead start on its way: frames until it is decided, then frames
// until it is due.
struct PendingStart {
    int decide = 0, wait = 0;
    bool Pending() const { return decide > 0 || wait > 0; }
    // Where a run from frame g to limit ends: at limit, or at the next step.
    int End(int g, int limit) const {
        const int left = decide > 0 ? decide : wait;
        return limit - g < left ? limit : g + left;
    }
};

class OnsetSearch {
public:
    // Where an envelope starts is decided this long after its trigger.
    static constexpr double kStartDecisionSeconds = 0.003;
    // A hit's own attack has settled this long into its envelope: from then on
    // the onset level's jumps are another drum's (see the trigger rules).
    static constexpr double kSettleSeconds = 0.010;

    // Sets the lookahead (in samples, at least 0) and the lengths at rate, and
    // sizes the block buffer for frames per block; clears everything.
    // Allocates: not on the audio thread. A lookahead whose memory cannot be
    // had is 0; false when the block buffer cannot be had. With cleared
    // lines of the lookahead's length (and the buffer sized as asked already)
    // it neither allocates nor clears: a reset under a lock.
    bool Prepare(int lookahead, double rate, int frames, ClearedLines* cleared = nullptr);
    // Lines Prepare takes from a pool.
    static constexpr int kLines = 3;
    // The band filter's delay (seconds, see Detector::BandDelay): a hit's rise
    // shows that much later in the band's levels than in the audio. Kept over
    // Prepare.
    void SetBandDelay(double seconds);
    // Forgets the levels before the next block (the onset level starts from
    // silence).
    void Clear();

    // Follows the onset level over a block (the magnitude of the band's change
    // from frame to frame, its mid's first difference): a hit's attack is
    // where the band changes fastest, so this level rises at the hit even where
    // the ring of the drum before is louder than the hit's first moment, and
    // it rises alike for either polarity. magnitude and full: the band's and
    // the whole signal's magnitude levels of the same block, read by Wait
    // (kept until Keep).
    void Follow(const double* bandL, const double* bandR, const double* magnitude,
                const double* full, int frames, double attack, double release);
    // The block's onset levels.
    const double* Onsets() { return reinterpret_cast<double*>(mOnset.Bytes()); }
    // Keeps the block's last onset and magnitude levels for the next block.
    void Keep(int frames);

    // A start for a trigger at frame t of the block: decided later, or (no
    // time to decide) placed at once.
    PendingStart Schedule(int t);
    // Frames g..t-1 passed: counts start down and places it when its decision
    // is due; true when the start is due at frame t.
    bool CountDown(PendingStart& start, int g, int t);
    // Where a hit that triggered `since` frames before frame u (or at it)
    // begins, decided after frame u was passed on: frames still to wait.
    int Wait(int u, int since) const;

    int Lookahead() const { return mLookahead; }
    int DecideLength() const { return mDecideLen; }
    int SettleLength() const { return mSettleLen; }

private:
    // Where a rise in the audio that shows from `back` frames before began,
    // whose level k frames back is level(k): back along the level, at most
    // `most` frames further, while it grows at least the factor rise within
    // kSteepSeconds and is at least floor times its peak since back.
    template <typename Level>
    int Climb(Level level, int back, int most, double floor, double rise) const;
    // Where the body that a rise at `back` rides on began (kBodyRise in
    // onset_search.cpp): the lowest point of the level back from there before
    // it falls under kClimbFloor of its peak since back or rises kClimb over
    // that lowest; back if the walk reaches the lookahead's end or that point
    // lies less than kBodyRise under the level at back.
    template <typename Level>
    int BodyBefore(Level level, int back) const;
    // Where a hit whose level k frames back is level(k), lowest at `back`,
    // began: at its last low before it rose past kRiseSeen times that lowest,
    // going back while the level falls (never rising kRipple over its lowest
    // on the way); back where it never rose so far.
    template <typename Level>
    static int LastLowBefore(Level level, int back);

    ByteBlock mOnset;
    const double* mMagnitude = nullptr;
    const double* mFull = nullptr;
    // The onset, the band's and the whole signal's magnitude levels of the
    // last mLookahead frames before the block, the band's last mid sample and
    // the onset level.
    DelayLine mPastOnset, mPastMagnitude, mPastFull;
    double mLastBandMid = 0.0;
    double mOnsetLevel = 0.0;
    int mLookahead = 0;
    double mRate = 48000.0;
    double mBandDelaySeconds = 0.0;
    // In frames: kStartDecisionSeconds, kSettleSeconds, kRiseSeconds, the
    // band's delay and kSteepSeconds.
    int mDecideLen = 0;
    int mSettleLen = 0;
    int mRiseLen = 0;
    int mBandDelay = 0;
    int mSteepLen = 1;
};
