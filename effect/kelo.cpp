#include "effect/kelo.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/db.h"
#include "effect/dsp/samples_of.h"
#include "plug/lock.h"

namespace {

constexpr int32_t FourCc(const char (&code)[5]) {
    return (int32_t(uint8_t(code[0])) << 24) | (int32_t(uint8_t(code[1])) << 16) |
           (int32_t(uint8_t(code[2])) << 8) | int32_t(uint8_t(code[3]));
}

// Lengths of the envelope's fade, the history ring's bytes.
const double kFadeSeconds = 0.03;
const int kRingBytes = 0x20000;
// The longest envelope ("env time" at most) is one second: the event record
// holds that many positions at the rate.
const double kLongestEnvelopeSeconds = 1.0;
double ThresholdFloor() {
    return DbToAmp(-60.0);
}
double ThresholdCeiling() {
    return DbToAmp(0.0);
}

} // namespace

KeloEffect::KeloEffect(const InstanceInfo& instance)
    : EffectBase(instance, kParamCount, 2, 2, "Kelo (No SSE2)", "", "mirel", 0x010101,
                 FourCc("klox"), FourCc("Mire"), 0, false, true, true, false),
      mHistoryBuf(kRingBytes), mModel(this) {
    mMachine.SetThreshold(DbToAmp(-12.0));

    // Created in the table's order; the index is what the host and the saved
    // state see.
    DefineKeloParams(*this);
}

KeloEffect::~KeloEffect() {
    // The editor draws from the effect's members: its window and thread end,
    // and the editor goes, before any of them does.
    AttachDisplays(nullptr, nullptr);
    DropEditor();
}

double KeloEffect::Rate() const {
    const double rate = mSampleRate;
    return rate >= 1.0 && rate <= 1e7 ? rate : 44100.0;
}

void KeloEffect::MarkDirty(DisplayLink* view) {
    if (view) view->MarkDirty();
}

void KeloEffect::AttachDisplays(DisplayLink* envView, DisplayLink* ampView) {
    ScopedLock lock(mLock);
    mEnvView = envView;
    mAmpView = ampView;
}

void KeloEffect::ResetProcessing() {
    ScopedLock lock(mLock);
    RestartProcessing(nullptr);
}

void KeloEffect::RestartProcessing(ClearedLines* cleared) {
    const double sr = Rate();
    // One sample per frame of the largest block. If any buffer cannot be had,
    // the effect copies its input through until the next reset.
    const int32_t frames = mMaxBlock > 0 ? mMaxBlock : 0;
    bool ok = mDetector.Prepare(sr, frames);
    mDetector.ClearLevels();
    // An envelope of at least one sample keeps every envelope moving forward.
    mMachine.SetRamps(SamplesOf(Detector::kAttackSeconds, sr), SamplesOf(kFadeSeconds, sr));
    mMachine.SetLength(SamplesOf(mEnvTime, sr));
    mMachine.Reset();
    mCarry.Break();
    mCarry.SetLength(SamplesOf(ShapeCarry::kGlideSeconds, sr));
    mLastDetectPos = mLastEndPos = 0;
    mHostPosKnown = false;
    mDetectLog.EndEvent(false);
    mStartCount = mLastStart = 0;

    // The lookahead's delay lines are sized here for the rate, whether it is on
    // or not, so switching it needs no memory. Its delay is the latency.
    mLookaheadLen = SamplesOf(kLookaheadSeconds, sr);
    if (!mDelay.Prepare(mLookaheadLen, sr, frames, mLookahead, cleared)) ok = false;
    mLastDivR = mLastDivM = 0.0;
    if (!mOnsets.Prepare(mDelay.Length(), sr, frames, cleared)) ok = false;
    mOnsets.SetBandDelay(mDetector.BandDelay());
    if (mOnsets.Lookahead() != mDelay.Length()) mDelay.Prepare(0, sr, frames, mLookahead);
    mLookaheadLen = mDelay.Length();
    SetDelay(OptionLatency());

    // The hit's level is looked for over as many positions as the lookahead
    // runs ahead, so that with it the whole window is heard at the start.
    if (!mHit.Prepare(mDelay.Length(), frames)) ok = false;
    mHitAhead = false;
    for (ByteBlock* block : {&mRestL, &mRestR, &mOutLevel, &mZeros, &mCleanL, &mCleanR, &mScale})
        if (ok && !block->Resize(frames * int32_t(sizeof(double)), false)) ok = false;
    if (ok && !mDropped.Resize(3 * frames * int32_t(sizeof(double)), false)) ok = false;
    mScratchFrames = ok ? frames : 0;
    // The zeros stay zero: a block's bytes come zeroed where it grows, and
    // nothing writes them.
    mHistoryBuf.Reset();

    // The event record holds the longest envelope at this rate, had here so
    // that no event ever waits for memory (and the audio thread never asks).
    const int longest = SamplesOf(kLongestEnvelopeSeconds, sr) + 1;
    mEvent.Prepare(longest);
    StartEvent();
    const bool cache = mShapeLevels.Resize(longest * int32_t(sizeof(double)), false);
    mShapeCache = ShapeCache{cache ? Scratch(mShapeLevels) : nullptr, cache ? longest : 0, 0};

    // The model converts its length from the previous rate, but "env time" was
    // already given to it in samples of this rate (parameters are delivered
    // before the reset); the length from "env time" is the one that counts.
    const int envLen = mMachine.EnvLen();
    mModel.SetSampleRateAndTempo(int(sr), TransportTempo());
    mModel.SetLength(envLen);
    mEnvViewState.SetSampleRateAndTempo(int(sr), TransportTempo());
    MarkDirty(mEnvView);
    MarkDirty(mAmpView);
}

void KeloEffect::ParamChanged(int32_t index) {
    const Param* param = ParamAt(index);
    if (!param) return;
    const double value = param->Value();
    const bool on = value >= 0.5;
    switch (index) {
    case kParamThreshold: {
        double threshold = std::exp(value * kDbToLn);
        if (threshold < ThresholdFloor()) threshold = ThresholdFloor();
        if (threshold > ThresholdCeiling()) threshold = ThresholdCeiling();
        mMachine.SetThreshold(threshold);
        mEnvViewState.SetThreshold(threshold);
        mModel.SetThreshold(threshold);
        MarkDirty(mEnvView);
        MarkDirty(mAmpView);
        break;
    }
    case kParamHiFreq:
        mDetector.SetHighCut(value);
        mOnsets.SetBandDelay(mDetector.BandDelay());
        LimitControls(kParamLoFreq, 0.0, param->Normalized());
        break;
    case kParamLoFreq:
        mDetector.SetLowCut(value);
        mOnsets.SetBandDelay(mDetector.BandDelay());
        LimitControls(kParamHiFreq, param->Normalized(), 1.0);
        break;
    case kParamMonitor:
        mMonitor = on;
        break;
    case kParamShowEnv:
        // Only the amplitude display draws the detector level.
        mShowEnv = on;
        MarkDirty(mAmpView);
        break;
    case kParamShapeEnv:
        mShapeOn = on;
        break;
    case kParamAutofit:
        // Only switching it on fits: setting it to the value it has, or a
        // state load that brings it on (LoadState takes the loaded value as the
        // current one), changes nothing. The fit is only asked for here: this
        // may be the audio thread, and the lock is held.
        if (on && !mAutofitOn) {
            mFitAsked = true;
            AskForDeferredWork();
        }
        mAutofitOn = on;
        break;
    case kParamGate:
        mGate = on;
        break;
    case kParamEnvTime:
        mEnvTime = value;
        mMachine.SetLength(SamplesOf(value, Rate()));
        mModel.SetLength(mMachine.EnvLen());
        mEnvViewState.SetEventLength(mMachine.EnvLen());
        MarkDirty(mAmpView);
        MarkDirty(mEnvView);
        break;
    case kParamStrength:
        mStrength = value;
        mModel.SetStrength(value);
        MarkDirty(mAmpView);
        break;
    case kParamProcessOnly:
        mProcessOnly = on;
        break;
    default:
        break;
    }
}

void KeloEffect::SetShape(const ShapePoint* points, int length) {
    if (!points) return;
    ScopedLock lock(mLock);
    mShape.Set(points);
    mShapePeak = mShape.Peak();
    mShapeCache.known = 0;
    mMachine.SetLength(length);
}

void KeloEffect::CopyShapeModel(ShapeModel& copy) {
    ScopedLock lock(mLock);
    copy = mModel;
    copy.SetSink(nullptr);
}

void KeloEffect::DragShapePoint(int index, int dx, int dy) {
    {
        ScopedLock lock(mLock);
        mModel.DragPoint(index, dx, dy);
    }
    MarkDirty(mAmpView);
}

void KeloEffect::SetShapePointLevel(int index, double level) {
    {
        ScopedLock lock(mLock);
        mModel.SetPointLevel(index, level);
        mModel.HandShape();
    }
    MarkDirty(mAmpView);
}

void KeloEffect::SetShapeScale(double scale) {
    {
        ScopedLock lock(mLock);
        mModel.SetScale(scale);
        mModel.HandShape();
    }
    MarkDirty(mAmpView);
}

void KeloEffect::SetShapeLength(int length) {
    {
        ScopedLock lock(mLock);
        mModel.SetLength(length);
    }
    MarkDirty(mAmpView);
}

void KeloEffect::SetShapeRateAndTempo(int sampleRate, double tempo) {
    {
        ScopedLock lock(mLock);
        mModel.SetSampleRateAndTempo(sampleRate, tempo);
    }
    MarkDirty(mAmpView);
}

bool KeloEffect::ShowsEnv() {
    ScopedLock lock(mLock);
    return mShowEnv;
}

void KeloEffect::SwitchLookahead(bool on) {
    if (mLookahead == on) return;
    mLookahead = on;
    // The output glides between the delayed and the undelayed audio; an
    // envelope waiting to start is dropped, the onset level starts afresh.
    mDelay.Switch(on, mLastDivR, mLastDivM);
    mOnsets.Clear();
    // The levels ahead are looked at only with the lookahead: start afresh.
    mHit.ForgetAhead();
    mMachine.DropPendingStarts();
    SetDelay(OptionLatency());
}

void KeloEffect::SetDetectBothPolarities(bool on) {
    ScopedLock lock(mLock);
    mBothPolarities = on;
    MarkDirty(mEnvView);
}

void KeloEffect::SwitchFollowLevel(bool on) {
    if (mFollowLevel == on) return;
    mFollowLevel = on;
    // The levels ahead start afresh; an envelope running keeps the level it
    // followed (it is followed with the option off too).
    mHit.ForgetAhead();
    mHitAhead = false;
}

void KeloEffect::SetFollowLevel(bool on) {
    ScopedLock lock(mLock);
    SwitchFollowLevel(on);
}

double KeloEffect::ShapeReference() {
    ScopedLock lock(mLock);
    return FollowReference();
}

void KeloEffect::SetLookahead(bool on) {
    {
        ScopedLock lock(mLock);
        SwitchLookahead(on);
    }
    // The new latency (a note SetDelay queued) goes out now, or, when the
    // caller holds notes (the editor's tick), once it lets them go.
    DeliverHostNotes();
}

int KeloEffect::ReadHistory(double* dst, int capacity, int64_t& start, bool& marked) {
    // A slice per call: the audio thread may be waiting for the lock.
    if (capacity > kReadSlice) capacity = kReadSlice;
    ScopedLock lock(mLock);
    start = 0;
    marked = false;
    const int k = mHistoryBuf.NbInBuf() / 8;
    if (k == 0 || !dst || capacity <= 0) return 0;
    start = mLastEndPos - k;
    int64_t count = k;
    if (mLastDetectPos > start) {
        marked = true;
        count = (mLastEndPos < mLastDetectPos ? mLastEndPos : mLastDetectPos) - start;
    }
    if (count > capacity) count = capacity;
    return mHistoryBuf.Read(dst, int32_t(count) * 8) / 8;
}

int KeloEffect::ReadDetection(double* levelDst, double* outDst, int capacity, uint64_t& event,
                              int& start) {
    ScopedLock lock(mLock);
    const int recorded = mEvent.Recorded();
    if (event != mEvent.Count() || start < 0 || start > recorded) start = 0;
    event = mEvent.Count();
    // A slice per call: the audio thread may be waiting for the lock.
    const int count = recorded - start < kReadSlice ? recorded - start : kReadSlice;
    const int end = start + count < capacity ? start + count : capacity;
    if (levelDst && outDst && end > start) {
        const size_t bytes = size_t(end - start) * sizeof(double);
        std::memcpy(levelDst + start, mEvent.Levels() + start, bytes);
        std::memcpy(outDst + start, mEvent.Outs() + start, bytes);
    }
    return count;
}

uint64_t KeloEffect::EventCount() {
    ScopedLock lock(mLock);
    return mEvent.Count();
}

int KeloEffect::EventRecorded() {
    ScopedLock lock(mLock);
    return mEvent.Recorded();
}
