#include "effect/dsp/envelope_machine.h"

namespace {

// An onset floor that any level replaces (none seen yet).
const double kNoFloor = 1e300;

} // namespace

void EnvelopeMachine::Reset() {
    mEnvPos = 0;
    mPhase = kPhaseRearm;
    mRearmed = mRestart = mHold = mStartPending = mRiseGuard = false;
    mTriggerStart = mRestartStart = PendingStart();
    mOnsetFloor = kNoFloor;
}

void EnvelopeMachine::Cut() {
    mPhase = kPhaseRearm;
    mEnvPos = 0;
    mTriggerStart = mRestartStart = PendingStart();
    mRestart = mHold = false;
}

void EnvelopeMachine::DropPendingStarts() {
    // The onset level was not followed while off: its floor starts afresh.
    mOnsetFloor = kNoFloor;
    mTriggerStart = mRestartStart = PendingStart();
}

void EnvelopeMachine::SetThreshold(double threshold) {
    mThreshold = threshold;
    mThresholdLow = kRearmRatio * threshold;
}

void EnvelopeMachine::SetRamps(int rampLen, int fadeLen) {
    mRampLen = rampLen;
    mFadeLen = fadeLen;
    mBodyEnd = mEnvLen - mFadeLen;
}

void EnvelopeMachine::SetLength(int envLen) {
    mEnvLen = envLen < 1 ? 1 : envLen;
    mBodyEnd = mEnvLen - mFadeLen;
}

void EnvelopeMachine::Run(const double* detector, const double* magnitude, OnsetSearch* lookahead,
                          int frames, EnvelopeSink& sink) {
    // Starts wait only on a lookahead; without one nothing can be pending.
    if (!lookahead) mTriggerStart = mRestartStart = PendingStart();
    const Levels levels{detector, magnitude, lookahead ? lookahead->Onsets() : nullptr, lookahead};
    // Each phase runs until its condition fails, then the next one starts on
    // the same frame. A new hit inside an envelope starts it again; an
    // envelope that ends after the level fell to the re-arm level ends armed.
    for (int g = 0;;) {
        const int t = mPhase <= kPhaseArmed ? RunIdle(levels, g, frames, sink)
                                            : RunShaped(levels, g, frames, sink);
        // A run that reaches the end of the block carries no phase change
        // over to the next one; a restart due there happens here.
        if (t >= frames && !mRestart) {
            mHold = false;
            break;
        }
        if (mRestart) {
            mRestart = false;
            mPhase = kPhaseOnset;
            mEnvPos = 0;
            mRearmed = false;
            mRisePeak = 0.0;
            mStartPending = true;
            // With lookahead the new hit's start was decided while the
            // envelope before it ran on: this is it.
            mTriggerStart = PendingStart();
            sink.NewEvent(true); // cut short by the new hit
        } else if (mHold) {
            mHold = false;
        } else if (mPhase == kPhaseFade) {
            // The hit that ran the envelope may still ring around the threshold:
            // until it has died down, only a new hit triggers.
            mPhase = mRearmed ? kPhaseArmed : kPhaseRearm;
            mRiseGuard = true;
        } else {
            mPhase = (mPhase + 1) % 5;
        }
        g = t;
        if (g >= frames) break;
    }
}

int EnvelopeMachine::RunIdle(const Levels& levels, int g, int frames, EnvelopeSink& sink) {
    if (mRestartStart.Pending()) {
        // The envelope ended before the new hit it heard starts.
        const int t = PassUntilStart(mRestartStart, levels, g, frames, &mRestart, sink);
        mHold = !mRestart;
        return t;
    }
    const int t =
        mPhase == kPhaseRearm ? FindRearm(levels, g, frames) : FindTrigger(levels, g, frames);
    sink.Pass(g, t);
    if (mPhase == kPhaseArmed && t < frames) {
        // Trigger: a new envelope, whose data replaces what was not yet read.
        // With lookahead it starts where its hit does, once that is heard.
        mEnvPos = 0;
        mRearmed = false;
        mRisePeak = 0.0;
        mStartPending = true;
        ScheduleStart(levels, t);
        sink.NewEvent(false);
    }
    return t;
}

int EnvelopeMachine::RunShaped(const Levels& levels, int g, int frames, EnvelopeSink& sink) {
    if (mTriggerStart.Pending()) {
        // A lookahead envelope whose hit is not heard yet, or whose start is
        // not decided yet: the audio passes until then.
        bool due;
        const int t = PassUntilStart(mTriggerStart, levels, g, frames, &due, sink);
        mHold = true; // then the envelope starts (or waits on)
        return t;
    }
    const int end = mPhase == kPhaseOnset ? mRampLen : mPhase == kPhaseBody ? mBodyEnd : mEnvLen;
    int count = end - mEnvPos;
    if (count > frames - g) count = frames - g;
    if (count < 0) count = 0;
    if (mStartPending) {
        mStartPending = false;
        sink.Started(g);
    }
    // A new hit ends the run where it starts the envelope again. With
    // lookahead the run goes on until the new hit's start (see FindRestart).
    const int runEnd = g + count;
    const bool pending = mRestartStart.Pending();
    const int t = pending ? mRestartStart.End(g, runEnd) : FindRestart(levels, g, runEnd);
    sink.Shape(mPhase, mEnvPos, g, t);
    mEnvPos += t - g;
    if (pending) {
        mRestart = levels.search->CountDown(mRestartStart, g, t);
        mHold = !mRestart && t < runEnd;
    } else if (mRestartStart.Pending()) {
        mHold = true; // a new hit was heard at t: the envelope runs on
    }
    return t;
}

int EnvelopeMachine::PassUntilStart(PendingStart& start, const Levels& levels, int g, int frames,
                                    bool* due, EnvelopeSink& sink) {
    const int t = start.End(g, frames);
    sink.Pass(g, t);
    *due = levels.search->CountDown(start, g, t);
    return t;
}

void EnvelopeMachine::ScheduleStart(const Levels& levels, int t) {
    mTriggerStart = levels.search ? levels.search->Schedule(t) : PendingStart();
}
