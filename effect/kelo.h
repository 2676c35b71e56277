// Kelo, the transient shaper: a band-limited detector starts a fixed-length
// envelope whenever the band's level reaches the threshold, and during it the
// signal's own level is replaced, in proportion to the strength, by a drawn shape.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/byte_block.h"
#include "base/sample_ring.h"
#include "effect/biquad.h"
#include "effect/delay_line.h"
#include "effect/detect_log.h"
#include "effect/display_link.h"
#include "effect/env_view_state.h"
#include "effect/envelope_shape.h"
#include "effect/kelo_params.h"
#include "effect/shape_model.h"
#include "plug/effect_base.h"
#include "plug/state_chunk.h"

// Envelope phases: waiting for the level to fall to the re-arm level, waiting for
// it to reach the threshold, then the onset ramp, the body and the final fade.
enum KeloPhase : int32_t {
    kPhaseRearm = 0,
    kPhaseArmed = 1,
    kPhaseOnset = 2,
    kPhaseBody = 3,
    kPhaseFade = 4,
};

// The effect alone: processing, state and autofit, with no editor anywhere. The
// product adds its editor in KeloPlugin (effect/ui/kelo_plugin.h); the
// displays read what the effect publishes and change the shape through it.
class KeloEffect : public EffectBase,
                   public ShapeSink,
                   public DetectionSource,
                   public StateSections {
public:
    explicit KeloEffect(const InstanceInfo& instance);
    ~KeloEffect() override;

    // --- frame hooks
    void ResetProcessing() override;
    void ParamChanged(int32_t index) override;
    // Shapes frames samples of in[0], in[1] into out[0], out[1]. Null pointers or
    // frames <= 0 do nothing. Blocks longer than the scratch buffers are done in
    // pieces; before the first reset (no scratch yet) the input is copied through.
    void ProcessBlock(double** in, double** out, int32_t frames) override;
    bool SaveState(ByteBlock* chunk) override;
    bool LoadState(ByteBlock* chunk) override;
    // Tells the host of a latency the loaded options changed.
    void StateLoaded() override { ReportLatency(); }

    // --- the shape's point model, owned here; each call takes the plug-in's lock
    // Takes the shape's seven points and the envelope length in samples (at
    // least 1), as the point model hands them on. "env time" is not changed.
    void SetShape(const ShapePoint* points, int length) override;
    // A copy of the point model (its sink null), for a display to draw.
    void CopyShapeModel(ShapeModel& copy);
    // The changes a display makes, each handed to the processing at once:
    // drags free point 2, 3, 4 or 6 by pixels; gives it a level; sets the
    // level scale; sets the length in samples (limited to 1 .. 2^24; "env
    // time" is the display's to push); sets the rate and tempo.
    void DragShapePoint(int index, int dx, int dy);
    void SetShapePointLevel(int index, double level);
    void SetShapeScale(double scale);
    void SetShapeLength(int length);
    void SetShapeRateAndTempo(int sampleRate, double tempo);
    // "show env" as last heard (the edit panel draws the detector lines).
    bool ShowsEnv();
    // Fits P2, P3, P4 and P6 to the current event (see effect/shape_fit.h) and
    // hands the shape on; "autofit" switched on calls it. False, with the
    // shape unchanged, when no event has been recorded.
    bool AutoFit();

    // --- exchange with the displays; each takes the plug-in's lock
    // Drains band levels recorded since the last call into dst (at most capacity),
    // oldest first. start: host position of the first level; marked: whether the
    // levels belong to a detected event (then only those are read and the rest
    // stays for the next call). Returns the number of levels read.
    int ReadHistory(double* dst, int capacity, int64_t& start, bool& marked);
    // The current event's levels (DetectionSource). The event is recorded
    // whole, up to the longest envelope (one second at the rate), with or
    // without a reader; events are told apart by a counter.
    int ReadDetection(double* levelDst, double* outDst, int capacity, uint64_t& event,
                      int& start) override;
    // The current event's counter (advanced at every trigger and transport
    // jump) and how many positions of it are recorded.
    uint64_t EventCount();
    int EventRecorded();
    // Positions one event can record (0 before the first reset).
    int EventCapacity() const { return mEventCapacity; }

    // --- options beyond the eleven parameters, off by default; saved in the
    // state (a section of its own, written only when one is on). Any thread but
    // the audio thread; the caller holds none of our locks.
    // Detection hears both polarities alike: the detector follows the level of
    // the band's magnitude instead of the signed signal, and the shaping divides
    // by that level too. (Measured against the larger of two signed followers,
    // one per polarity, on the test groove: the magnitude's level reaches the
    // threshold 0.3 ms sooner after a hit and crosses it again half as often
    // while the hit rings.)
    void SetDetectBothPolarities(bool on);
    bool DetectBothPolarities() const { return mBothPolarities; }
    // Lookahead: the audio (not the detector) is delayed by kLookaheadSeconds,
    // so an envelope can start at the hit that triggers it. The delay is the
    // plug-in's latency; the host is told after our lock is released.
    void SetLookahead(bool on);
    bool Lookahead() const { return mLookahead; }
    // The delay lookahead adds at the current rate, in samples (also while off).
    int LookaheadSamples() const { return mLookaheadLen; }
    static constexpr double kLookaheadSeconds = 0.010;
    // With lookahead, where an envelope starts is decided this long after its
    // trigger, once the hit that reached the threshold has been heard rising
    // further: the start is searched for in the lookahead before that.
    static constexpr double kStartDecisionSeconds = 0.003;

    // The displays that get marked dirty; null (the default) for none.
    void AttachDisplays(DisplayLink* envView, DisplayLink* ampView);
    // The envelope view's saved part.
    EnvViewState& EnvView() { return mEnvViewState; }

    // --- processing state, read-only
    double Threshold() const { return mThreshold; }
    double ThresholdLow() const { return mThresholdLow; }
    double Strength() const { return mStrength; }
    double EnvTime() const { return mEnvTime; }
    double AttackCoef() const { return mAttackCoef; }
    double ReleaseCoef() const { return mReleaseCoef; }
    int RampLen() const { return mRampLen; }
    int FadeLen() const { return mFadeLen; }
    int EnvLen() const { return mEnvLen; }
    int BodyEnd() const { return mBodyEnd; }
    int Phase() const { return mPhase; }
    int EnvPos() const { return mEnvPos; }
    double BandLevel() const { return mBandLevel; }
    double FullLevel() const { return mFullLevel; }
    // Levels of the magnitude followers (the band's and the full signal's).
    double BandMagnitudeLevel() const { return mBandMagLevel; }
    double FullMagnitudeLevel() const { return mFullMagLevel; }
    // Envelopes started since the last reset, and the host position of the
    // last one's first frame (where its position 0 is heard).
    int64_t EnvelopeStarts() const { return mStartCount; }
    int64_t LastEnvelopeStart() const { return mLastStart; }
    const EnvelopeShape& ShapeInUse() const { return mShape; }
    const Biquad& HighPassL() const { return mHighPassL; }
    const Biquad& LowPassL() const { return mLowPassL; }
    // Frames one ProcessBlock piece can hold (0 before the first reset).
    int ScratchFrames() const { return mScratchFrames; }

    // StateSections: the envelope view's scale, then the shape's section, then
    // the options' section when an option is on: the int32 0x4B6F7074 ("Kopt")
    // and an int32 of bits (1: both polarities, 2: lookahead), as ByteBlock
    // writes them. A state without it (188 bytes) has both options off; one
    // whose section is malformed loads with both off.
    bool SaveSections(ByteBlock& chunk) override;
    bool LoadSections(const ByteBlock& chunk, int& position) override;

protected:
    // Kelo's own requests (effect/kelo_detect_log.cpp): with index
    // kDetectLogTag, starts, reads or stops the detector's log.
    intptr_t VendorRequest(int32_t index, intptr_t value, void* ptr, float opt) override;

private:
    // One piece of at most mScratchFrames frames starting at host position pos.
    void ProcessPiece(const double* inL, const double* inR, double* outL, double* outR, int frames,
                      int64_t pos);
    // Band filters and both level followers over the block; the band's samples
    // are stored only with kKeepBand. False, with nothing changed, when an input
    // sample, a band sample or a level is not finite.
    template <bool kKeepBand>
    bool Detect(const double* inL, const double* inR, int frames);
    // Runs one idle phase (re-arm or armed) from frame g; returns where it ended.
    int RunIdle(const double* inL, const double* inR, double* outL, double* outR, int g,
                int frames);
    // Runs one shaped phase from frame g; returns where it ended.
    int RunShaped(const double* inL, const double* inR, double* outL, double* outR, int g,
                  int frames, int64_t pos);
    // Shapes frames g..t-1: out = gain * (h, l) + (a, b), with the gain from the
    // shape and the divisor levels r, and records the output level.
    template <int kShapedPhase>
    void ApplyShape(const double* h, const double* l, const double* a, const double* b,
                    const double* r, const double* m, double* outL, double* outR, int g, int t,
                    double strength);
    // The level the detector compares with the threshold: the signed band
    // level, or its magnitude's with both polarities.
    const double* DetectorLevels() { return Scratch(mBothPolarities ? mBandMag : mBandEnv); }
    // From frame g up to t: where a new hit restarts the envelope (t if none),
    // following the re-arm condition.
    int FindRestart(const double* level, int g, int t);
    // The armed phase after an envelope, from frame g: where a new hit
    // triggers, or where the level is quiet enough to drop the guard (frames if
    // neither).
    int GuardedTrigger(const double* level, int g, int frames);
    // Sample rate used for lengths and coefficients: the frame's, or 44100 Hz when
    // the frame's is not a usable rate.
    double Rate() const;
    static void MarkDirty(DisplayLink* view);
    // Write count shaped frames from envelope position at on into the event's
    // record (positions past its capacity are dropped): the louder magnitude of
    // the samples about to be shaped, then the divisor's level floors (the
    // level r, at least the share of the magnitude level m) and the output
    // level. With the louder magnitude they give the divisor the gain used.
    void RecordPeaks(const double* h, const double* l, int at, int count);
    void RecordEvent(const double* r, const double* m, const double* out, int at, int count);
    // A new event (or none): the record starts again under a new counter.
    void StartEvent();

protected:
    // Limits the controls bound to a parameter (normalized low..high), so the
    // two frequency knobs cannot cross; an editor does it, the effect alone has
    // no controls.
    virtual void LimitControls(int32_t /*index*/, double /*low*/, double /*high*/) {}

private:
    double* Scratch(ByteBlock& block) { return reinterpret_cast<double*>(block.Bytes()); }
    // The options' section: written only when an option is on; read where it
    // is present, anything malformed leaves both options off.
    void SaveOptions(ByteBlock& chunk) const;
    void LoadOptions(const ByteBlock& chunk, int position);
    // Switches lookahead (under the lock): clears the delays, sets the latency.
    void SwitchLookahead(bool on);
    // The latency the options ask for, in samples.
    int32_t OptionLatency() const { return mLookahead ? mLookaheadLen : 0; }
    // Tells the host that the latency changed, if it did since last told; takes
    // no lock of ours and must be called with none held.
    void ReportLatency();
    // The onset levels of a piece (lookahead only): a follower of the
    // magnitude of the band's change from frame to frame (the first difference
    // of its mid signal). A hit's attack is where the band changes fastest, so
    // this level rises at the hit even where the ring of the drum before (low
    // and slow, so it changes little per frame) is louder than the hit's first
    // moment, and it rises alike for either polarity.
    void FollowOnsets(int frames);
    // Where a lookahead envelope triggered `since` frames before frame u of a
    // piece (or at it) starts, decided after frame u was passed on: frames
    // still to wait, from how far back the onset level rose out of its floor
    // (onset holds the piece's onset levels, mPastOnset the ones before).
    int LookaheadWait(const double* onset, int u, int since);
    // A trigger at frame t: the start is decided now (no lookahead: at once)
    // or after kStartDecisionSeconds.
    void ScheduleStart(int t);
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
    // Frames g..t-1 passed: counts start down and decides where it starts when
    // that is due; true when the start is due at frame t.
    bool CountDown(PendingStart& start, int g, int t);
    // Passes the audio (or the gate holds it) from frame g until start's next
    // step or the piece's end, counting it down; returns where it stopped,
    // and in *due whether the start is due there.
    int PassUntilStart(PendingStart& start, const double* inL, const double* inR, double* outL,
                       double* outR, int g, int frames, bool* due);
    // Keeps the last onset and magnitude levels of the piece for LookaheadWait.
    void KeepPastLevels(int frames);

    double mThreshold;
    double mThresholdLow;
    double mStrength = 0.5;
    double mEnvTime = 0.2;
    double mBandLevel = 0.0;
    double mFullLevel = 0.0;
    double mAttackCoef = 0.0;
    double mReleaseCoef = 0.0;
    int mRampLen = 12;
    int mFadeLen = 1440;
    int mEnvLen = 9600;
    int mBodyEnd = 9600 - 1440;
    int mPhase = kPhaseRearm;
    int mEnvPos = 0;
    // Host positions; 64-bit so that position + frames cannot overflow.
    int64_t mLastEndPos = 0;
    int64_t mLastDetectPos = 0;
    bool mMonitor = false;
    bool mShapeOn = true;
    bool mGate = false;
    bool mProcessOnly = false;
    // Written under the plug-in's lock, read by the editor's switches without it.
    std::atomic<bool> mBothPolarities{false};
    std::atomic<bool> mLookahead{false};
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
    // kStartDecisionSeconds in frames.
    int mDecideLen = 144;
    // kRiseSeconds in frames.
    int mRiseLen = 29;
    // Set at a trigger; the envelope counts as started at its first frame.
    bool mStartPending = false;
    int64_t mStartCount = 0;
    int64_t mLastStart = 0;
    int mLookaheadLen = 240;
    // Latency last reported to the host (read and written under mLock).
    int32_t mReportedLatency = 0;
    double mBandMagLevel = 0.0;
    double mFullMagLevel = 0.0;
    // "autofit" as last heard: only a change to on asks for a fit.
    bool mAutofitOn = false;
    bool mShowEnv = false;
    EnvelopeShape mShape;
    LowPass mLowPassL, mLowPassR;
    HighPass mHighPassL, mHighPassR;
    // Per-block scratch, one sample per frame of the largest block.
    ByteBlock mBandL, mBandR, mRestL, mRestR, mBandEnv, mFullEnv, mOutLevel, mZeros;
    // Magnitude levels, and the two levels the shaping divides by (delayed
    // with lookahead).
    ByteBlock mBandMag, mFullMag, mDivLevel, mDivMag;
    // Lookahead: the audio, the band and the divisor levels, delayed.
    DelayLine mDelayInL, mDelayInR, mDelayBandL, mDelayBandR, mDelayLevel, mDelayMag;
    // The onset levels of the piece; the onset and the band's magnitude levels
    // of the last mLookaheadLen frames before it; the band's last mid sample
    // and the onset follower's level.
    ByteBlock mOnset;
    DelayLine mPastOnset, mPastMagnitude;
    double mLastBandMid = 0.0;
    double mOnsetLevel = 0.0;
    // The levels the shaping of the current piece divides by.
    const double* mDivR = nullptr;
    const double* mDivM = nullptr;
    // A shaped phase ended early (the lookahead's wait); the phase goes on.
    bool mHold = false;
    // The input with samples that are not finite or too loud replaced by
    // silence; used only for blocks that hold such samples.
    ByteBlock mCleanL, mCleanR;
    int mScratchFrames = 0;
    SampleRing mHistoryBuf;
    // The current event, by envelope position: the divisor level, the output
    // level and the louder shaped sample's magnitude; sized for one second at
    // the rate by ResetProcessing. mEventCount tells events apart.
    ByteBlock mEventLevel, mEventOut, mEventPeak;
    int mEventCapacity = 0;
    int mEventRecorded = 0;
    uint64_t mEventCount = 0;
    DisplayLink* mEnvView = nullptr;
    DisplayLink* mAmpView = nullptr;
    // The envelope view's saved scale and the news the hooks leave for it.
    EnvViewState mEnvViewState;
    // The shape's point model, the only one; it hands every shape to this
    // effect (SetShape), so it comes after what SetShape sets.
    ShapeModel mModel;
    // The detector's levels and events for a caller that asked (off by default).
    DetectLog mDetectLog;
};
