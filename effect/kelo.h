// Kelo, the transient shaper: a band-limited detector starts a fixed-length
// envelope whenever the band's level reaches the threshold, and during it the
// signal's own level is replaced, in proportion to the strength, by a drawn shape.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "base/byte_block.h"
#include "base/sample_ring.h"
#include "effect/detect_log.h"
#include "effect/display_link.h"
#include "effect/dsp/detector.h"
#include "effect/dsp/envelope_machine.h"
#include "effect/dsp/event_record.h"
#include "effect/dsp/hit_level.h"
#include "effect/dsp/lookahead_delay.h"
#include "effect/dsp/onset_search.h"
#include "effect/dsp/shaper.h"
#include "effect/env_view_state.h"
#include "effect/envelope_shape.h"
#include "effect/kelo_params.h"
#include "effect/shape_model.h"
#include "plug/effect_base.h"
#include "plug/state_chunk.h"

// The effect alone: processing, state and autofit, with no editor anywhere. The
// product adds its editor in KeloPlugin (effect/ui/kelo_plugin.h); the
// displays read what the effect publishes and change the shape through it.
// The processing is made of the blocks in effect/dsp (detector, envelope
// machine, onset search, lookahead delay, shaper, event record); the effect
// maps parameters and state onto them (kelo.cpp) and runs them block by block
// (kelo_process.cpp).
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
    // The saved state (effect/kelo_state.cpp). A load is read and made ready
    // with no lock held (PrepareState: the values, the sections, and cleared
    // memory for the reset of the processing) and taken in under the lock
    // (TakeState) without allocating or clearing large buffers.
    bool SaveState(ByteBlock* chunk) override;
    bool LoadState(ByteBlock* chunk) override;
    std::unique_ptr<PreparedState> PrepareState(const ByteBlock& chunk) override;
    bool TakeState(PreparedState& state) override;

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
    // hands the shape on, on the calling thread, which must not be the audio
    // thread nor hold the plug-in's lock (under it, the fit is only asked
    // for). The lock is held only to copy the model and the event, a slice at
    // a time, and to apply the result: the fit itself, milliseconds long,
    // runs outside it. False, with the shape unchanged, when no event has
    // been recorded.
    bool AutoFit();
    // "autofit" switched on asks for a fit (ParamChanged may run on the audio
    // thread): it is done by the next ServeDeferredWork.
    bool AutoFitAsked() const { return mFitAsked.load(); }

    // --- exchange with the displays; each takes the plug-in's lock
    // Levels one call below delivers at most, so that it holds the lock only
    // for a copy of a few microseconds; readers call again for the rest.
    static constexpr int kReadSlice = 4096;
    // Drains band levels recorded since the last call into dst (at most capacity
    // and kReadSlice), oldest first. start: host position of the first level; marked: whether the
    // levels belong to a detected event (then only those are read and the rest
    // stays for the next call). Returns the number of levels read.
    int ReadHistory(double* dst, int capacity, int64_t& start, bool& marked);
    // The current event's levels (DetectionSource), at most kReadSlice
    // positions a call. The event is recorded whole, up to the longest
    // envelope (one second at the rate), with or without a reader; events are
    // told apart by a counter.
    int ReadDetection(double* levelDst, double* outDst, int capacity, uint64_t& event,
                      int& start) override;
    // The current event's counter (advanced at every trigger and transport
    // jump) and how many positions of it are recorded.
    uint64_t EventCount();
    int EventRecorded();
    // Positions one event can record (0 before the first reset).
    int EventCapacity() const { return mEvent.Capacity(); }

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
    // plug-in's latency; the host is told once no lock of ours is held (a
    // host note).
    void SetLookahead(bool on);
    bool Lookahead() const { return mLookahead; }
    // Follow the hit's level: the drawn shape is scaled, per envelope, by the
    // hit's level against the level the shape was drawn or fitted for (see
    // effect/dsp/hit_level.h), so every hit keeps its own loudness and takes
    // the shape's contour. Off, the shape's levels are absolute.
    void SetFollowLevel(bool on);
    bool FollowLevel() const { return mFollowLevel; }
    // The level the shape is for: the level of the hit autofit fitted it to
    // (recorded by the fit, saved with the options), or, before any fit (0),
    // the shape's own peak: a drawn shape is taken to be drawn for a hit as
    // loud as the shape's highest point.
    double ShapeReference();
    // The delay lookahead adds at the current rate, in samples (also while off).
    int LookaheadSamples() const { return mLookaheadLen; }
    static constexpr double kLookaheadSeconds = 0.010;
    // With lookahead, where an envelope starts is decided this long after its
    // trigger, once the hit that reached the threshold has been heard rising
    // further: the start is searched for in the lookahead before that.
    static constexpr double kStartDecisionSeconds = OnsetSearch::kStartDecisionSeconds;

    // The displays that get marked dirty; null (the default) for none.
    void AttachDisplays(DisplayLink* envView, DisplayLink* ampView);
    // The envelope view's saved part.
    EnvViewState& EnvView() { return mEnvViewState; }

    // --- processing state, read-only
    double Threshold() const { return mMachine.Threshold(); }
    double ThresholdLow() const { return mMachine.ThresholdLow(); }
    double Strength() const { return mStrength; }
    double EnvTime() const { return mEnvTime; }
    double AttackCoef() const { return mDetector.AttackCoef(); }
    double ReleaseCoef() const { return mDetector.ReleaseCoef(); }
    int RampLen() const { return mMachine.RampLen(); }
    int FadeLen() const { return mMachine.FadeLen(); }
    int EnvLen() const { return mMachine.EnvLen(); }
    int BodyEnd() const { return mMachine.BodyEnd(); }
    int Phase() const { return mMachine.Phase(); }
    int EnvPos() const { return mMachine.EnvPos(); }
    double BandLevel() const { return mDetector.BandLevel(); }
    double FullLevel() const { return mDetector.FullLevel(); }
    // Levels of the magnitude followers (the band's and the full signal's).
    double BandMagnitudeLevel() const { return mDetector.BandMagnitudeLevel(); }
    double FullMagnitudeLevel() const { return mDetector.FullMagnitudeLevel(); }
    // Envelopes started since the last reset, and the host position of the
    // last one's first frame (where its position 0 is heard).
    int64_t EnvelopeStarts() const { return mStartCount; }
    int64_t LastEnvelopeStart() const { return mLastStart; }
    const EnvelopeShape& ShapeInUse() const { return mShape; }
    const Biquad& HighPassL() const { return mDetector.HighPassL(); }
    const Biquad& LowPassL() const { return mDetector.LowPassL(); }
    // Frames one ProcessBlock piece can hold (0 before the first reset).
    int ScratchFrames() const { return mScratchFrames; }

    // StateSections: the envelope view's scale, then the shape's section, then
    // the options' section when an option is on: the int32 0x4B6F7074 ("Kopt")
    // and an int32 of bits (1: both polarities, 2: lookahead, 4: follow the
    // hit's level, 8: a reference level follows), as ByteBlock writes them,
    // then the fitted reference level (a double) with bit 8. It is written
    // when an option is on or autofit recorded a reference. A state without it
    // (188 bytes) has every option off and the shape's peak as its reference;
    // one whose section is malformed loads the same.
    bool SaveSections(ByteBlock& chunk) override;
    bool LoadSections(const ByteBlock& chunk, int& position) override;

protected:
    // Kelo's own requests (effect/kelo_detect_log.cpp): with index
    // kDetectLogTag, starts, reads or stops the detector's log.
    intptr_t VendorRequest(int32_t index, intptr_t value, void* ptr, float opt) override;
    // An autofit asked for (effect/kelo_autofit.cpp).
    void DoDeferredWork() override;

private:
    // The envelope machine's sink for one piece (kelo_process.cpp).
    struct Piece;
    // One piece of at most mScratchFrames frames starting at host position pos;
    // standing: the host's position has not moved since its last block.
    void ProcessPiece(const double* inL, const double* inR, double* outL, double* outR, int frames,
                      int64_t pos, bool standing);
    // The level the detector compares with the threshold: the signed band
    // level, or its magnitude's with both polarities.
    const double* DetectorLevels() {
        return mBothPolarities ? mDetector.BandMagnitudes() : mDetector.BandLevels();
    }
    // Sample rate used for lengths and coefficients: the frame's, or 44100 Hz when
    // the frame's is not a usable rate.
    double Rate() const;
    static void MarkDirty(DisplayLink* view);
    // A new event (or none): the record starts again under a new counter.
    void StartEvent() { mEvent.Start(); }

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
    static void ReadOptions(const ByteBlock& chunk, int position, int32_t& bits, double& reference);
    // resetFollows: the processing is reset before it runs again (a state
    // load's road), so the lookahead is only set, not switched.
    void TakeOptions(int32_t bits, double reference, bool resetFollows);
    // A state read from its chunk (ReadLoaded, no lock needed) and taken in
    // under the lock (TakeLoaded; ParamChanged is not called).
    struct LoadedState;
    void ReadLoaded(const ByteBlock& chunk, LoadedState& state) const;
    bool TakeLoaded(const LoadedState& state, bool resetFollows);
    // ResetProcessing's work, under the lock; with cleared lines (made for
    // the lookahead's length at this rate) the lines take them instead of
    // clearing their own: no allocation and no large clear while the sizes
    // stay.
    void RestartProcessing(ClearedLines* cleared);
    // Switches "follow the hit's level" (under the lock).
    void SwitchFollowLevel(bool on);
    // The reference level the hit's level is held against (under the lock):
    // the fitted hit's, else the shape's peak, else 1.
    double FollowReference() const {
        const double ref = mReference > 0.0 ? mReference : mShapePeak;
        return ref > 0.0 && ref < 1e300 ? ref : 1.0;
    }
    // Switches lookahead (under the lock): the delay glides in or out, the
    // latency is set.
    void SwitchLookahead(bool on);
    // The latency the options ask for, in samples.
    int32_t OptionLatency() const { return mLookahead ? mLookaheadLen : 0; }
    // Autofit (effect/kelo_autofit.cpp): copies the model and the current
    // event into mFitModel and mFitLevel / mFitPeak, a slice per hold of the
    // lock, with the window a hit's level is looked for over; false when the
    // event holds nothing or kept changing meanwhile.
    bool CopyEventForFit(int& count, int& window);
    // Fits and applies, under mFitLock.
    bool FitLocked();

    double mStrength = 0.5;
    double mEnvTime = 0.2;
    // Host positions; 64-bit so that position + frames cannot overflow.
    int64_t mLastEndPos = 0;
    int64_t mLastDetectPos = 0;
    // Where the host's last block began (the transport stands while it stays).
    int64_t mLastHostPos = 0;
    bool mHostPosKnown = false;
    bool mMonitor = false;
    bool mShapeOn = true;
    bool mGate = false;
    bool mProcessOnly = false;
    // Written under the plug-in's lock, read by the editor's switches without it.
    std::atomic<bool> mBothPolarities{false};
    std::atomic<bool> mLookahead{false};
    std::atomic<bool> mFollowLevel{false};
    // The level autofit's hit had (0: none, the shape's peak is the
    // reference), and the shape's peak; under the lock.
    double mReference = 0.0;
    double mShapePeak = 1.0;
    int64_t mStartCount = 0;
    int64_t mLastStart = 0;
    int mLookaheadLen = 240;
    // Where a new hit's envelope glides on from (over ShapeCarry::kGlideSeconds). The
    // audio thread's alone.
    ShapeCarry mCarry;
    // "autofit" as last heard: only a change to on asks for a fit.
    bool mAutofitOn = false;
    // A fit asked for and not yet done.
    std::atomic<bool> mFitAsked{false};
    // One fit at a time; taken before the plug-in's lock, never under it. It
    // guards the copies the fit works on.
    std::mutex mFitLock;
    ShapeModel mFitModel;
    std::vector<double> mFitLevel, mFitPeak;
    bool mShowEnv = false;
    EnvelopeShape mShape;
    // The processing's blocks.
    Detector mDetector;
    EnvelopeMachine mMachine;
    OnsetSearch mOnsets;
    LookaheadDelay mDelay;
    EventRecord mEvent;
    // Per-block scratch, one sample per frame of the largest block: the rest
    // of the spectrum added back, the shaper's gains, zeros; and three per
    // frame for what the event record has no room for.
    ByteBlock mRestL, mRestR, mOutLevel, mZeros, mDropped;
    // The shape's levels by envelope position, up to the longest envelope:
    // computed by the first envelope after a shape change, read by the rest.
    ByteBlock mShapeLevels;
    // The hit's level with "follow the hit's level": followed per envelope;
    // whether it looked ahead of the audio in this piece (with the lookahead)
    // and the scratch for each frame's scale.
    HitLevel mHit;
    bool mHitAhead = false;
    ByteBlock mScale;
    ShapeCache mShapeCache{nullptr, 0, 0};
    // The levels the shaping of the current piece divides by, and the last
    // ones heard (for the lookahead's delay to start from).
    const double* mDivR = nullptr;
    const double* mDivM = nullptr;
    double mLastDivR = 0.0, mLastDivM = 0.0;
    // The input with samples that are not finite or too loud replaced by
    // silence; used only for blocks that hold such samples.
    ByteBlock mCleanL, mCleanR;
    int mScratchFrames = 0;
    SampleRing mHistoryBuf;
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
