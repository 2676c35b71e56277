// The envelope machine: the five phases an envelope goes through, decided
// from the detector's levels alone. Waiting for the level to fall to the
// re-arm level, waiting for it to reach the threshold (a trigger), then the
// onset ramp, the body and the final fade; a new hit inside an envelope starts
// it again. With the lookahead (an OnsetSearch) a trigger's start, and a new
// hit's, is decided a little later and placed where the hit begins.
//
// The machine touches no audio: it cuts each block into runs and tells a sink
// what to do with each (pass the audio, or shape it at these envelope
// positions) and when an event starts. The phases and their order are in
// envelope_machine.cpp; the trigger rules (when a level triggers, re-arms, or
// is a new hit) in envelope_triggers.cpp.
#pragma once

#include <cstdint>

#include "effect/dsp/onset_search.h"

// Envelope phases: waiting for the level to fall to the re-arm level, waiting
// for it to reach the threshold, then the onset ramp, the body and the final
// fade.
enum KeloPhase : int32_t {
    kPhaseRearm = 0,
    kPhaseArmed = 1,
    kPhaseOnset = 2,
    kPhaseBody = 3,
    kPhaseFade = 4,
};

// What the machine asks for, run by run, in the order of the frames.
class EnvelopeSink {
public:
    virtual ~EnvelopeSink() = default;
    // Frames from..to-1 are outside an envelope (or wait for its start).
    virtual void Pass(int from, int to) = 0;
    // Frames from..to-1 are shaped in phase (onset, body or fade), the first
    // at envelope position envPos. A run may be empty.
    virtual void Shape(int phase, int envPos, int from, int to) = 0;
    // An envelope's first frame is frame at.
    virtual void Started(int at) = 0;
    // A new event: a trigger, or (cut) a new hit that ends the envelope before.
    virtual void NewEvent(bool cut) = 0;
};

class EnvelopeMachine {
public:
    // Back to rest: re-arming, no envelope, nothing pending.
    void Reset();
    // A relocation: the envelope ends; the rise rules' memory stays.
    void Cut();
    // Drops the lookahead's pending starts (the lookahead switched); the onset
    // floor starts afresh.
    void DropPendingStarts();

    // The threshold (a level); the re-arm level follows it.
    void SetThreshold(double threshold);
    // The onset ramp's and the fade's lengths, and the envelope's (at least 1;
    // the body ends where the fade begins).
    void SetRamps(int rampLen, int fadeLen);
    void SetLength(int envLen);

    // Runs one block of frames. detector: the levels compared with the
    // threshold; magnitude: the band's magnitude levels; lookahead: the onset
    // search of this block (Follow done), or null without lookahead.
    void Run(const double* detector, const double* magnitude, OnsetSearch* lookahead, int frames,
             EnvelopeSink& sink);

    int Phase() const { return mPhase; }
    int EnvPos() const { return mEnvPos; }
    double Threshold() const { return mThreshold; }
    double ThresholdLow() const { return mThresholdLow; }
    int RampLen() const { return mRampLen; }
    int FadeLen() const { return mFadeLen; }
    int EnvLen() const { return mEnvLen; }
    int BodyEnd() const { return mBodyEnd; }

    // The re-arm level relative to the threshold.
    static constexpr double kRearmRatio = 0.9375;

private:
    // The levels of the block being run.
    struct Levels {
        const double* detector;
        const double* magnitude;
        const double* onset; // null without lookahead
        OnsetSearch* search; // null without lookahead
    };
    // One idle phase (re-arm or armed), or one shaped phase, from frame g;
    // each returns where it ended.
    int RunIdle(const Levels& levels, int g, int frames, EnvelopeSink& sink);
    int RunShaped(const Levels& levels, int g, int frames, EnvelopeSink& sink);
    // Passes the audio from frame g until start's next step or the block's end,
    // counting it down; returns where it stopped, and whether the start is due.
    int PassUntilStart(PendingStart& start, const Levels& levels, int g, int frames, bool* due,
                       EnvelopeSink& sink);
    // A trigger at frame t: its start is decided now (no lookahead: at once)
    // or later.
    void ScheduleStart(const Levels& levels, int t);

    // --- the trigger rules (envelope_triggers.cpp)
    // The re-arm phase from frame g: where the level falls to the re-arm level
    // (frames if it does not).
    int FindRearm(const Levels& levels, int g, int frames);
    // The armed phase from frame g: where the level reaches the threshold.
    int FindTrigger(const Levels& levels, int g, int frames);
    // The armed phase after an envelope, from frame g: where a new hit
    // triggers, or where the level is quiet enough to drop the guard (frames
    // if neither).
    int GuardedTrigger(const Levels& levels, int g, int frames);
    // From frame g up to t inside an envelope: where a new hit restarts it (t
    // if none), following the re-arm condition.
    int FindRestart(const Levels& levels, int g, int t);
    template <bool kOnsets>
    int FindRestartOf(const Levels& levels, int g, int t);
    template <bool kOnsets>
    int GuardedTriggerOf(const Levels& levels, int g, int frames);

    double mThreshold = 0.25;
    double mThresholdLow = kRearmRatio * 0.25;
    int mRampLen = 12;
    int mFadeLen = 1440;
    int mEnvLen = 9600;
    int mBodyEnd = 9600 - 1440;
    int mPhase = kPhaseRearm;
    int mEnvPos = 0;
    // The level fell to the re-arm level since the envelope started: a rise to
    // the threshold is a new hit and restarts the envelope.
    bool mRearmed = false;
    bool mRestart = false;
    // The band's lowest magnitude level since the re-arm (for a new hit's rise).
    double mRiseFloor = 0.0;
    // The onset level's lowest since the re-arm (lookahead only).
    double mOnsetFloor = 1e300;
    // The band's highest magnitude level in the envelope before the re-arm.
    double mRisePeak = 0.0;
    // After an envelope, until the level falls well under the threshold, only
    // such a rise triggers.
    bool mRiseGuard = false;
    // With lookahead, a triggered envelope waiting for its start (the audio
    // passes meanwhile), and a new hit heard inside an envelope waiting for
    // its own (the envelope before it runs on meanwhile).
    PendingStart mTriggerStart, mRestartStart;
    // Set at a trigger; the envelope counts as started at its first frame.
    bool mStartPending = false;
    // A shaped phase ended early (the lookahead's wait); the phase goes on.
    bool mHold = false;
};
