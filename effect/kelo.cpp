#include "effect/kelo.h"

#include <cmath>
#include <cstring>
#include <optional>

#include "base/db.h"
#include "base/round_double.h"
#include "effect/level_follower.h"
#include "effect/shape_fit.h"
#include "plug/lock.h"

// The shaping loops are also built for AVX2, four frames to a vector, and the
// loader picks that version where the processor has it (GCC on x86-64 Linux).
// AVX2 without FMA rounds exactly as SSE2 does, so the output is the same
// everywhere.
// Not under ThreadSanitizer: the clones' resolver runs at load, before it starts.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) &&       \
    !defined(__SANITIZE_THREAD__)
#define KELO_SHAPING_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KELO_SHAPING_CLONES
#endif

namespace {

constexpr int32_t FourCc(const char (&code)[5]) {
    return (int32_t(uint8_t(code[0])) << 24) | (int32_t(uint8_t(code[1])) << 16) |
           (int32_t(uint8_t(code[2])) << 8) | int32_t(uint8_t(code[3]));
}

// Level and length constants of the detector.
const double kRearmRatio = 0.9375; // re-arm level relative to the threshold
const double kAttackSeconds = 0.00025;
const double kReleaseSeconds = 0.03;
const double kFadeSeconds = 0.03;
const int kRingBytes = 0x20000;
// The longest envelope ("env time" at most) is one second: the event record
// holds that many positions at the rate.
const double kLongestEnvelopeSeconds = 1.0;
// Filter and follower values this small are set to zero after each block: a
// decaying tail then ends in exact zeros instead of denormal numbers, which are
// slow on every x86 unit. 1e-20 is 400 dB below full scale.
const double kTiny = 1e-20;
// Input samples beyond this magnitude (2000 dB above full scale), and samples
// that are not numbers, are heard and detected as silence; below it every sum
// the detector forms stays finite.
const double kLoudest = 1e100;
// The shaping divides by at least this share of the magnitude level: the
// signed level sinks on low notes and pauses while the signal goes on, and a
// divisor near zero or below it would lift the signal without bound or turn it
// over. A quarter leaves the signed level in charge down to about 25 Hz.
const double kMagnitudeShare = 0.25;
// After an envelope, the hit that ran it is over once the detector level falls
// to this share of the threshold (12 dB under it).
const double kQuietShare = 0.25;
// With lookahead, an envelope starts after the lowest onset level within the
// lookahead before its start is decided, but not before the band's magnitude
// level was last this share (18 dB under) of the highest it reached since the
// trigger, less the time a hit takes to rise to that share (kRiseSeconds).
const double kOnsetQuiet = 0.125;
const double kRiseSeconds = 0.0006;
// With lookahead, inside an envelope (or while its hit rings after it) a rise
// of the onset level by this factor (18 dB) over its lowest since the re-arm
// is a new hit as well: a drum struck while another rings changes the band
// much faster than the ring does, long before its level doubles the ring's.
const double kOnsetJump = 8.0;
// A rise no level reaches (the jump without lookahead), and an onset floor
// that any level replaces (none seen yet).
const double kNever = 1e300;
// Inside an envelope, a new hit is a rise of the band's magnitude level by this
// factor (6 dB) over its lowest since the level fell to the re-arm level; the
// ripple of a decaying low note stays under it.
const double kNewHitRise = 2.0;
// The options' section of the state: a tag, then the options as bits.
const int32_t kOptionsTag = 0x4B6F7074; // "Kopt"
const int32_t kOptionBothPolarities = 1;
const int32_t kOptionLookahead = 2;

// Samples in seconds at rate, truncated toward zero, except that a product
// within rounding of a whole number counts as that number: a length handed out
// as seconds ("env time" from the length slider) comes back unchanged.
int SamplesOf(double seconds, double rate) {
    const double n = seconds * rate;
    if (!(n > 0.0)) return 0;
    if (n >= 2147483647.0) return 2147483647;
    const double whole = std::round(n);
    return int(std::fabs(n - whole) <= 1e-9 * (whole > 1.0 ? whole : 1.0) ? whole : n);
}

double ThresholdFloor() {
    return DbToAmp(-60.0);
}
double ThresholdCeiling() {
    return DbToAmp(0.0);
}

// Writes n samples of src to dst; copying onto itself (in-place hosts) is skipped.
void CopyOrClear(const double* src, double* dst, int n, bool clear) {
    if (n <= 0) return;
    if (clear)
        std::memset(dst, 0, size_t(n) * sizeof(double));
    else if (src != dst)
        std::memmove(dst, src, size_t(n) * sizeof(double));
}

// Returns the first frame from g on whose level does not satisfy stays, checking
// four frames per step while four remain.
template <typename Stays>
int ScanLevels(const double* level, int g, int frames, Stays stays) {
    int i = g;
    for (; i + 4 <= frames; i += 4) {
        // All four tested without branching between them; one branch per step.
        const int staying = int(stays(level[i])) + int(stays(level[i + 1])) +
                            int(stays(level[i + 2])) + int(stays(level[i + 3]));
        if (staying != 4) break;
    }
    for (; i < frames; ++i)
        if (!stays(level[i])) break;
    return i;
}

// Two doubles handled side by side, left and right: one vector register where
// the target has them, two plain doubles elsewhere.
typedef double Pair __attribute__((vector_size(16)));

BiquadCoefsOf<Pair> Paired(const BiquadCoefs& l, const BiquadCoefs& r) {
    return {Pair{l.d, r.d}, Pair{l.gd, r.gd}, Pair{l.ggd, r.ggd}};
}
BiquadMemoryOf<Pair> Paired(const BiquadMemory& l, const BiquadMemory& r) {
    return {Pair{l.s1, r.s1}, Pair{l.s2, r.s2}, Pair{l.band, r.band}, Pair{l.low, r.low}};
}
void Unpair(const BiquadMemoryOf<Pair>& m, Biquad& l, Biquad& r) {
    l.SetMemory(BiquadMemory{m.s1[0], m.s2[0], m.band[0], m.low[0]});
    r.SetMemory(BiquadMemory{m.s1[1], m.s2[1], m.band[1], m.low[1]});
}

// The detector's four sections, stepped together while a cutoff glides.
struct DetectorSections {
    HighPass highL, highR;
    LowPass lowL, lowR;
    bool Gliding() const {
        return highL.Gliding() || highR.Gliding() || lowL.Gliding() || lowR.Gliding();
    }
    void Glide() {
        highL.Glide();
        highR.Glide();
        lowL.Glide();
        lowR.Glide();
    }
};

// Reads bytes from ring and throws them away.
void Discard(SampleRing& ring, int32_t bytes) {
    double sink[256];
    while (bytes > 0) {
        int32_t n = bytes < int32_t(sizeof sink) ? bytes : int32_t(sizeof sink);
        if (ring.Read(sink, n) <= 0) return;
        bytes -= n;
    }
}

// Writes count samples to ring, keeping only the newest when there are more than
// the ring holds. Room is made first by dropping the oldest samples: a full ring
// would overwrite them in place and hand the rest out of order.
void WriteNewest(SampleRing& ring, const double* samples, int count) {
    const int room = ring.Capacity() / int(sizeof(double));
    if (count > room) {
        samples += count - room;
        count = room;
    }
    const int32_t bytes = count * int32_t(sizeof(double));
    const int32_t over = ring.NbInBuf() + bytes - ring.Capacity();
    if (over > 0) Discard(ring, over);
    ring.Write(samples, bytes);
}

// One run of shaped frames: the ramps, the segment of the envelope shape the
// run lies in (x0, a, b and the levels y0 y1 y2, as the shape evaluates them)
// and where the gains go.
struct ShapedRun {
    double n0; // envelope position of frame 0
    double strength, ramp, bodyEnd, fade;
    bool gate;
    double x0, qa, qb, y0, y1, y2;
};

// How a run's segment is evaluated: a curve (a != 0), a straight segment, or
// the flat level after the last point.
enum SegmentKind { kCurved, kStraight, kFlat };

// The ramp of frame position n: up over the onset, 1 in the body, down over
// the fade. A double on every target (see RoundToDouble), as the gains are.
template <int kShapedPhase>
double RampAt(const ShapedRun& run, double n) {
    double ramp = 1.0;
    if (kShapedPhase == kPhaseOnset) ramp = n / run.ramp;
    if (kShapedPhase == kPhaseFade) ramp = 1.0 - (n - run.bodyEnd) / run.fade;
    // A fade whose envelope was lengthened under it ("env time" moved while it
    // ran) starts before the new body's end: it holds at 1 until it is reached.
    if (kShapedPhase == kPhaseFade) ramp = ramp < 1.0 ? ramp : 1.0;
    RoundToDouble(ramp);
    return ramp;
}

// Gains of frames from..to-1 from the divisor levels r and the shaped samples
// h and l. Phase and segment kind are template arguments and the loops touch
// few arrays, so they have no branches and run on the vector units; the
// shaping is split into such loops.
//
// The shape is a level: where its curve runs below zero it is zero (silence),
// never the curve's magnitude.
//
// The divisor is the level r, but never less than the louder shaped sample's
// magnitude nor kMagnitudeShare of the magnitude level m, so it is never
// negative and the gain never is either. The signed level r lags a rising
// signal (a new hit inside an envelope, the attack of any hit) and sinks on low
// content or in pauses while the samples go on; without the floors the gain
// would lift the samples above the shape's level, or turn them over. With them
// the shaped part of a sample, shape * h / divisor, stays within the shape's
// level, and where r is at least the sample and the share of m (everywhere but
// in those cases) nothing changes.
template <int kShapedPhase, int kKind>
KELO_SHAPING_CLONES void GainFrames(const ShapedRun& run, const double* r, const double* m,
                                    const double* h, const double* l, double* gain, int from,
                                    int to) {
    const double n0 = run.n0, s = run.strength, x0 = run.x0, qa = run.qa, qb = run.qb;
    const double y0 = run.y0, y1 = run.y1, y2 = run.y2;
    const double halfOverA = 1.0 / (2.0 * qa);
    // With the gate the onset ramps the output instead of the strength.
    const bool rampStrength = !(kShapedPhase == kPhaseOnset && run.gate);
    for (int i = from; i < to; ++i) {
        const double n = n0 + i;
        // The shape's level at n, as EnvelopeShape::At computes it.
        double level = y2;
        if (kKind != kFlat) {
            const double c = x0 - n;
            // One division per frame fewer: the curve's 1 / 2a is taken once per
            // run (the result may differ from At's division in the last bit).
            const double t =
                kKind == kCurved ? (std::sqrt(qb * qb - 4.0 * qa * c) - qb) * halfOverA : -c / qb;
            const double u = 1.0 - t;
            level = u * u * y0 + 2.0 * t * u * y1 + t * t * y2;
        }
        level = level < 0.0 ? 0.0 : level;
        // Computed, then chosen: a choice between two values needs no branch.
        const double rampAtN = RampAt<kShapedPhase>(run, n);
        const double strengthRamp = rampStrength ? rampAtN : 1.0;
        const double left = std::fabs(h[i]), right = std::fabs(l[i]);
        const double louder = left > right ? left : right;
        const double share = kMagnitudeShare * m[i];
        const double floor = louder > share ? louder : share;
        const double divisor = r[i] > floor ? r[i] : floor;
        const double ratio = level / divisor;
        const double w = 1.0 + (ratio - 1.0) * s * strengthRamp;
        // A divisor of 0 (silence), a shape that is not a number, or a level too
        // far above the divisor for a double, leaves no gain to speak of: the sample keeps
        // its own level instead of turning into Inf or NaN. The ratio is tested
        // by itself, as x87 code holds it in a wider range where it stays finite.
        const double most = 1.7976931348623157e308;
        // (Both tests made, no short cut: the loop stays free of branches.)
        gain[i] = (std::fabs(ratio) <= most) & (std::fabs(w) <= most) ? w : 1.0;
    }
}

// out = gain * input + add for both channels, ramped with the gate; the gains
// are replaced by the output level.
template <int kShapedPhase>
KELO_SHAPING_CLONES void ApplyGains(const ShapedRun& run, double* gain, const double* h,
                                    const double* l, const double* a, const double* b, double* outL,
                                    double* outR, int from, int to) {
    const bool ramped = run.gate && kShapedPhase != kPhaseBody;
    for (int i = from; i < to; ++i) {
        const double rampAtN = RampAt<kShapedPhase>(run, run.n0 + i);
        const double ramp = ramped ? rampAtN : 1.0;
        double left = (gain[i] * h[i] + a[i]) * ramp;
        double right = (gain[i] * l[i] + b[i]) * ramp;
        // The level is that of the samples as they leave, to the last bit.
        RoundToDouble(left);
        RoundToDouble(right);
        outL[i] = left;
        outR[i] = right;
        gain[i] = (left + right) * 0.5;
    }
}

} // namespace

KeloEffect::KeloEffect(const InstanceInfo& instance)
    : EffectBase(instance, kParamCount, 2, 2, "Kelo (No SSE2)", "", "mirel", 0x010101,
                 FourCc("klox"), FourCc("Mire"), 0, false, true, true, false),
      mThreshold(DbToAmp(-12.0)), mThresholdLow(kRearmRatio * mThreshold), mHistoryBuf(kRingBytes),
      mModel(this) {
    mHighPassL.SetFreq(0.0);
    mHighPassR.SetFreq(0.0);
    mLowPassL.SetFreq(22000.0);
    mLowPassR.SetFreq(22000.0);

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
    const double sr = Rate();
    mAttackCoef = std::exp(-1.0 / (sr * kAttackSeconds));
    mReleaseCoef = std::exp(-1.0 / (sr * kReleaseSeconds));
    mFadeLen = int(sr * kFadeSeconds);
    mEnvLen = SamplesOf(mEnvTime, sr);
    // An envelope of at least one sample keeps every envelope moving forward.
    if (mEnvLen < 1) mEnvLen = 1;
    mRampLen = int(sr * kAttackSeconds);
    mBodyEnd = mEnvLen - mFadeLen;
    mBandLevel = mFullLevel = mBandMagLevel = mFullMagLevel = 0.0;
    mLastDetectPos = mLastEndPos = 0;
    mEnvPos = 0;
    mPhase = kPhaseRearm;
    mDetectLog.EndEvent(false);
    mRearmed = mRestart = mHold = mStartPending = mRiseGuard = false;
    mTriggerStart = mRestartStart = PendingStart();
    mStartCount = mLastStart = 0;
    mLastBandMid = mOnsetLevel = 0.0;
    mOnsetFloor = kNever;

    // The lookahead's delay lines are sized here for the rate, whether it is on
    // or not, so switching it needs no memory. Its delay is the latency.
    mLookaheadLen = SamplesOf(kLookaheadSeconds, sr);
    for (DelayLine* line : {&mDelayInL, &mDelayInR, &mDelayBandL, &mDelayBandR, &mDelayLevel,
                            &mDelayMag, &mPastOnset, &mPastMagnitude})
        if (!line->SetLength(mLookaheadLen)) mLookaheadLen = 0;
    mDecideLen = SamplesOf(kStartDecisionSeconds, sr);
    mRiseLen = SamplesOf(kRiseSeconds, sr);
    if (mDecideLen >= mLookaheadLen) mDecideLen = mLookaheadLen > 0 ? mLookaheadLen - 1 : 0;
    SetDelay(OptionLatency());

    // One sample per frame of the largest block. If any buffer cannot be had,
    // the effect copies its input through until the next reset.
    const int32_t frames = mMaxBlock > 0 ? mMaxBlock : 0;
    ByteBlock* scratch[] = {&mBandL,   &mBandR,    &mRestL,    &mRestR,  &mBandEnv,
                            &mFullEnv, &mOutLevel, &mZeros,    &mCleanL, &mCleanR,
                            &mBandMag, &mFullMag,  &mDivLevel, &mDivMag, &mOnset};
    bool ok = frames > 0;
    for (ByteBlock* block : scratch)
        if (ok && !block->Resize(frames * int32_t(sizeof(double)), false)) ok = false;
    mScratchFrames = ok ? frames : 0;
    if (ok) std::memset(mZeros.Bytes(), 0, size_t(frames) * sizeof(double));

    for (Biquad* section : {static_cast<Biquad*>(&mLowPassL), static_cast<Biquad*>(&mLowPassR),
                            static_cast<Biquad*>(&mHighPassL), static_cast<Biquad*>(&mHighPassR)})
        section->SetSampleRate(sr);
    mHistoryBuf.Reset();

    // The event record holds the longest envelope at this rate, had here so
    // that no event ever waits for memory (and the audio thread never asks).
    int capacity = SamplesOf(kLongestEnvelopeSeconds, sr) + 1;
    for (ByteBlock* block : {&mEventLevel, &mEventOut, &mEventPeak})
        if (capacity > 0 && !block->Resize(capacity * int32_t(sizeof(double)), true)) capacity = 0;
    mEventCapacity = capacity;
    StartEvent();

    // The model converts its length from the previous rate, but "env time" was
    // already given to it in samples of this rate (parameters are delivered
    // before the reset); the length from "env time" is the one that counts.
    const int envLen = mEnvLen;
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
        mThreshold = threshold;
        mThresholdLow = kRearmRatio * threshold;
        mEnvViewState.SetThreshold(mThreshold);
        mModel.SetThreshold(mThreshold);
        MarkDirty(mEnvView);
        MarkDirty(mAmpView);
        break;
    }
    case kParamHiFreq:
        mLowPassL.SetFreq(value);
        mLowPassR.SetFreq(value);
        LimitControls(kParamLoFreq, 0.0, param->Normalized());
        break;
    case kParamLoFreq:
        mHighPassL.SetFreq(value);
        mHighPassR.SetFreq(value);
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
        // current one), changes nothing.
        if (on && !mAutofitOn) AutoFit();
        mAutofitOn = on;
        break;
    case kParamGate:
        mGate = on;
        break;
    case kParamEnvTime:
        mEnvTime = value;
        mEnvLen = SamplesOf(value, Rate());
        if (mEnvLen < 1) mEnvLen = 1;
        mBodyEnd = mEnvLen - mFadeLen;
        mModel.SetLength(mEnvLen);
        mEnvViewState.SetEventLength(mEnvLen);
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
    mEnvLen = length < 1 ? 1 : length;
    mBodyEnd = mEnvLen - mFadeLen;
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

bool KeloEffect::AutoFit() {
    bool fitted;
    {
        ScopedLock lock(mLock);
        const EventLevels event{Scratch(mEventLevel), Scratch(mEventPeak), mEventRecorded};
        fitted = FitShapeToEvent(mModel, event);
        if (fitted) mModel.HandShape();
    }
    MarkDirty(mAmpView);
    // The fitted shape is saved state the host hears of: at the end of the
    // user's gesture, or once our lock is released.
    if (fitted) StateChanged();
    return fitted;
}

bool KeloEffect::SaveState(ByteBlock* chunk) {
    if (!chunk) return false;
    // Values, scale and shape of one moment: nothing changes while they are read.
    ScopedLock lock(mLock);
    return AppendTaggedState(*this, *chunk, kKeloStateTag, this);
}

bool KeloEffect::LoadState(ByteBlock* chunk) {
    if (!chunk) return false;
    // Whole, under the lock: the audio thread and parameter changes see the
    // state before or after the load, never a mixture.
    ScopedLock lock(mLock);
    const bool loaded = LoadTaggedState(*this, *chunk, kKeloStateTag, this);
    // A loaded "autofit" is part of the state, not a request to fit. The
    // options' latency reaches the host in StateLoaded, after the lock.
    mAutofitOn = ParamAt(kParamAutofit)->Value() >= 0.5;
    return loaded;
}

bool KeloEffect::SaveSections(ByteBlock& chunk) {
    const int32_t before = chunk.Size();
    mEnvViewState.SaveViewState(chunk);
    mModel.SaveViewState(chunk);
    const bool options = mBothPolarities || mLookahead;
    SaveOptions(chunk);
    // Each section has a fixed size; a short block means an append failed.
    return chunk.Size() == before + 8 + 11 * 8 + (options ? 8 : 0);
}

bool KeloEffect::LoadSections(const ByteBlock& chunk, int& position) {
    const bool env = mEnvViewState.LoadViewState(chunk, position);
    // The loaded shape goes to the processing at once (the parameters that
    // follow hand it over again with their own length and threshold).
    const bool shape = mModel.LoadViewState(chunk, position);
    mModel.HandShape();
    LoadOptions(chunk, position);
    MarkDirty(mAmpView);
    return env && shape;
}

void KeloEffect::SaveOptions(ByteBlock& chunk) const {
    if (!mBothPolarities && !mLookahead) return;
    const int32_t bits =
        (mBothPolarities ? kOptionBothPolarities : 0) | (mLookahead ? kOptionLookahead : 0);
    chunk.AppendInt32(kOptionsTag);
    chunk.AppendInt32(bits);
}

void KeloEffect::LoadOptions(const ByteBlock& chunk, int position) {
    // Older states end before the section: both options off, as anything that
    // is not a whole, well-formed section leaves them.
    int32_t tag = 0, bits = 0;
    int at = position;
    const bool whole = chunk.ReadInt32(at, tag) && chunk.ReadInt32(at, bits);
    const bool good =
        whole && tag == kOptionsTag && (bits & ~(kOptionBothPolarities | kOptionLookahead)) == 0;
    if (!good) bits = 0;
    mBothPolarities = (bits & kOptionBothPolarities) != 0;
    SwitchLookahead((bits & kOptionLookahead) != 0);
}

void KeloEffect::SwitchLookahead(bool on) {
    if (mLookahead == on) return;
    mLookahead = on;
    // The delayed audio starts from silence; an envelope waiting to start is
    // dropped.
    for (DelayLine* line : {&mDelayInL, &mDelayInR, &mDelayBandL, &mDelayBandR, &mDelayLevel,
                            &mDelayMag, &mPastOnset, &mPastMagnitude})
        line->Clear();
    mLastBandMid = mOnsetLevel = 0.0;
    // The onset level was not followed while off: its floor starts afresh.
    mOnsetFloor = kNever;
    mTriggerStart = mRestartStart = PendingStart();
    SetDelay(OptionLatency());
}

void KeloEffect::SetDetectBothPolarities(bool on) {
    ScopedLock lock(mLock);
    mBothPolarities = on;
    MarkDirty(mEnvView);
}

void KeloEffect::SetLookahead(bool on) {
    {
        ScopedLock lock(mLock);
        SwitchLookahead(on);
    }
    ReportLatency();
}

void KeloEffect::ReportLatency() {
    bool changed;
    {
        ScopedLock lock(mLock);
        const int32_t latency = OptionLatency();
        changed = latency != mReportedLatency;
        mReportedLatency = latency;
    }
    // The host reads the new delay (set with SetDelay) when it handles the
    // change (most do at the next resume); one that ignores it only plays late.
    if (changed) TellHostLatencyChanged();
}

int KeloEffect::ReadHistory(double* dst, int capacity, int64_t& start, bool& marked) {
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
    if (event != mEventCount || start < 0 || start > mEventRecorded) start = 0;
    event = mEventCount;
    const int count = mEventRecorded - start;
    const int end = mEventRecorded < capacity ? mEventRecorded : capacity;
    if (levelDst && outDst && end > start) {
        const size_t bytes = size_t(end - start) * sizeof(double);
        std::memcpy(levelDst + start, Scratch(mEventLevel) + start, bytes);
        std::memcpy(outDst + start, Scratch(mEventOut) + start, bytes);
    }
    return count;
}

uint64_t KeloEffect::EventCount() {
    ScopedLock lock(mLock);
    return mEventCount;
}

int KeloEffect::EventRecorded() {
    ScopedLock lock(mLock);
    return mEventRecorded;
}

void KeloEffect::StartEvent() {
    ++mEventCount;
    mEventRecorded = 0;
}

void KeloEffect::RecordPeaks(const double* h, const double* l, int at, int count) {
    double* peaks = Scratch(mEventPeak);
    const int end = at + count < mEventCapacity ? at + count : mEventCapacity;
    for (int p = at < 0 ? 0 : at; p < end; ++p) {
        const double left = std::fabs(h[p - at]), right = std::fabs(l[p - at]);
        peaks[p] = left > right ? left : right;
    }
}

void KeloEffect::RecordEvent(const double* r, const double* m, const double* out, int at,
                             int count) {
    double* levels = Scratch(mEventLevel);
    double* outs = Scratch(mEventOut);
    const int end = at + count < mEventCapacity ? at + count : mEventCapacity;
    for (int p = at < 0 ? 0 : at; p < end; ++p) {
        const double share = kMagnitudeShare * m[p - at];
        levels[p] = r[p - at] > share ? r[p - at] : share;
        outs[p] = out[p - at];
    }
    if (end > mEventRecorded) mEventRecorded = end;
}

void KeloEffect::ProcessBlock(double** in, double** out, int32_t frames) {
    if (frames <= 0 || !in || !out || !in[0] || !in[1] || !out[0] || !out[1]) return;
    if (mScratchFrames <= 0) {
        CopyOrClear(in[0], out[0], frames, false);
        CopyOrClear(in[1], out[1], frames, false);
        return;
    }
    const int64_t pos = TransportSample();
    for (int32_t done = 0; done < frames;) {
        const int32_t n = frames - done < mScratchFrames ? frames - done : mScratchFrames;
        ProcessPiece(in[0] + done, in[1] + done, out[0] + done, out[1] + done, n, pos + done);
        done += n;
    }
}

template <bool kKeepBand>
bool KeloEffect::Detect(const double* inL, const double* inR, int frames) {
    double* bandL = Scratch(mBandL);
    double* bandR = Scratch(mBandR);
    double* bandEnv = Scratch(mBandEnv);
    double* fullEnv = Scratch(mFullEnv);
    double* bandMag = Scratch(mBandMag);
    double* fullMag = Scratch(mFullMag);
    // Everything the loop carries lives in locals (the scratch arrays could alias
    // the members, which would force a store and reload on every sample), and
    // the left and right sections run side by side as pairs.
    BiquadCoefsOf<Pair> hp = Paired(mHighPassL.Coefs(), mHighPassR.Coefs());
    BiquadCoefsOf<Pair> lp = Paired(mLowPassL.Coefs(), mLowPassR.Coefs());
    BiquadMemoryOf<Pair> hm = Paired(mHighPassL.Memory(), mHighPassR.Memory());
    BiquadMemoryOf<Pair> lm = Paired(mLowPassL.Memory(), mLowPassR.Memory());
    // The band and the full-band followers share their coefficients and run
    // side by side too, as the pair {band, full}.
    const Pair attack = {mAttackCoef, mAttackCoef}, release = {mReleaseCoef, mReleaseCoef};
    const Pair half = {0.5, 0.5};
    Pair levels = {mBandLevel, mFullLevel};
    // And the followers of the same two signals' magnitudes.
    Pair magnitudes = {mBandMagLevel, mFullMagLevel};
    // Samples beyond kLoudest are found by comparison (NaN fails both), not by
    // letting the sums overflow: x87 code keeps intermediates in a wider
    // exponent range, where they would not. The lanes' masks gather beside the
    // recursions and cost next to nothing.
    // The magnitude is the sample with its sign bit cleared: one comparison per
    // frame, which compiles to vector code where two did not.
    typedef long long PairMask __attribute__((vector_size(16)));
    const Pair loudest = {kLoudest, kLoudest};
    const PairMask magnitudeBits = {0x7FFFFFFFFFFFFFFFLL, 0x7FFFFFFFFFFFFFFFLL};
    PairMask inRange = {-1, -1};
    const auto filter = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            const Pair x = {inL[i], inR[i]};
            Pair high, y;
            BiquadStep<BiquadKind::kHighPass>(hp, hm, x, high);
            BiquadStep<BiquadKind::kLowPass>(lp, lm, high, y);
            inRange &= (Pair)((PairMask)x & magnitudeBits) <= loudest;
            if (kKeepBand) {
                bandL[i] = y[0];
                bandR[i] = y[1];
            }
            const Pair mid = (Pair{y[1], x[1]} + Pair{y[0], x[0]}) * half;
            FollowLevelStep(levels, mid, attack, release);
            FollowLevelStep(magnitudes, (Pair)((PairMask)mid & magnitudeBits), attack, release);
            bandEnv[i] = levels[0];
            fullEnv[i] = levels[1];
            bandMag[i] = magnitudes[0];
            fullMag[i] = magnitudes[1];
        }
    };
    // While a cutoff glides, each frame gets the coefficients of its own step
    // (as Biquad::Tick does it); the rest of the block runs on fixed ones. The
    // steps are taken on copies: a pass that fails (input not finite) leaves the
    // sections as they were.
    int i = 0;
    std::optional<DetectorSections> moved;
    if (mHighPassL.Gliding() || mHighPassR.Gliding() || mLowPassL.Gliding() ||
        mLowPassR.Gliding()) {
        moved.emplace(DetectorSections{mHighPassL, mHighPassR, mLowPassL, mLowPassR});
        DetectorSections& m = *moved;
        for (; i < frames && m.Gliding(); ++i) {
            Unpair(hm, m.highL, m.highR);
            Unpair(lm, m.lowL, m.lowR);
            m.Glide();
            hp = Paired(m.highL.Coefs(), m.highR.Coefs());
            lp = Paired(m.lowL.Coefs(), m.lowR.Coefs());
            hm = Paired(m.highL.Memory(), m.highR.Memory());
            lm = Paired(m.lowL.Memory(), m.lowR.Memory());
            filter(i, i + 1);
        }
    }
    filter(i, frames);
    const double band = levels[0], full = levels[1];
    const double bandM = magnitudes[0], fullM = magnitudes[1];
    if (!inRange[0] || !inRange[1] || !std::isfinite(band) || !std::isfinite(full) ||
        !std::isfinite(bandM) || !std::isfinite(fullM))
        return false;
    if (moved) {
        mHighPassL = moved->highL;
        mHighPassR = moved->highR;
        mLowPassL = moved->lowL;
        mLowPassR = moved->lowR;
    }
    Unpair(hm, mHighPassL, mHighPassR);
    Unpair(lm, mLowPassL, mLowPassR);
    for (Biquad* section : {static_cast<Biquad*>(&mLowPassL), static_cast<Biquad*>(&mLowPassR),
                            static_cast<Biquad*>(&mHighPassL), static_cast<Biquad*>(&mHighPassR)})
        section->FlushTinyMemory(kTiny);
    mBandLevel = std::fabs(band) < kTiny ? 0.0 : band;
    mFullLevel = std::fabs(full) < kTiny ? 0.0 : full;
    mBandMagLevel = bandM < kTiny ? 0.0 : bandM;
    mFullMagLevel = fullM < kTiny ? 0.0 : fullM;
    return true;
}

void KeloEffect::ProcessPiece(const double* inL, const double* inR, double* outL, double* outR,
                              int frames, int64_t pos) {
    // 1. A host position that jumped ends the envelope and the recorded data.
    const int64_t jump = pos - mLastEndPos;
    if (jump > 16 || jump < -16) {
        mDetectLog.EndEvent(false);
        mPhase = kPhaseRearm;
        mEnvPos = 0;
        StartEvent();
        mTriggerStart = mRestartStart = PendingStart();
        mRestart = mHold = false;
        mHistoryBuf.Reset();
    }

    // 2. Detector pass. Samples that are not finite, or so loud that the
    // detector overflows on them, are heard and detected as silence, so they can
    // neither reach the output nor stay in the filters and followers.
    // The band's samples are kept only when they are heard or shaped; otherwise
    // only its level is, and the loop saves two stores per frame.
    const bool keepBand = mMonitor || mProcessOnly || mLookahead;
    const auto detect = [&](const double* l, const double* r) {
        return keepBand ? Detect<true>(l, r, frames) : Detect<false>(l, r, frames);
    };
    if (!detect(inL, inR)) {
        double* cleanL = Scratch(mCleanL);
        double* cleanR = Scratch(mCleanR);
        // NaN fails the comparison and becomes silence too.
        for (int i = 0; i < frames; ++i) {
            cleanL[i] = std::fabs(inL[i]) <= kLoudest ? inL[i] : 0.0;
            cleanR[i] = std::fabs(inR[i]) <= kLoudest ? inR[i] : 0.0;
        }
        inL = cleanL;
        inR = cleanR;
        detect(inL, inR);
    }

    mDetectLog.AddLevels(pos, Scratch(mBandEnv), frames);
    // 3. The levels the shaping divides by: the routed signal's signed level (or
    // its magnitude's with both polarities) and its magnitude level.
    mDivM = Scratch(mProcessOnly ? mBandMag : mFullMag);
    mDivR = mBothPolarities ? mDivM : Scratch(mProcessOnly ? mBandEnv : mFullEnv);

    // 4. Lookahead: everything the output is made of is delayed, the detector
    // is not, so an envelope can start before its hit is heard.
    if (mLookahead) {
        FollowOnsets(frames);
        double* delayedL = Scratch(mCleanL);
        double* delayedR = Scratch(mCleanR);
        CopyOrClear(inL, delayedL, frames, false);
        CopyOrClear(inR, delayedR, frames, false);
        mDelayInL.Process(delayedL, frames);
        mDelayInR.Process(delayedR, frames);
        mDelayBandL.Process(Scratch(mBandL), frames);
        mDelayBandR.Process(Scratch(mBandR), frames);
        double* level = Scratch(mDivLevel);
        double* magnitude = Scratch(mDivMag);
        CopyOrClear(mDivR, level, frames, false);
        CopyOrClear(mDivM, magnitude, frames, false);
        mDelayLevel.Process(level, frames);
        mDelayMag.Process(magnitude, frames);
        inL = delayedL;
        inR = delayedR;
        mDivR = level;
        mDivM = magnitude;
    }

    // 5. Segment loop: each phase runs until its condition fails, then the next
    // one starts on the same frame. A new hit inside an envelope starts it
    // again; an envelope that ends after the level fell to the re-arm level
    // ends armed.
    for (int g = 0;;) {
        const int t = mPhase <= kPhaseArmed ? RunIdle(inL, inR, outL, outR, g, frames)
                                            : RunShaped(inL, inR, outL, outR, g, frames, pos);
        // A run that reaches the end of the piece carries no phase change
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
            mDetectLog.EndEvent(false); // cut short by the new hit
            StartEvent();
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

    // 6. History of the detector level, recorded once per host position.
    const double* detectorLevel = DetectorLevels();
    KeepPastLevels(frames);
    if (pos + frames != mLastEndPos) {
        if (pos < mLastEndPos) mHistoryBuf.Reset();
        WriteNewest(mHistoryBuf, detectorLevel, frames);
        mLastEndPos = pos + frames;
        // The detect panel changes only with its history: a stopped
        // transport leaves it as it is, and it is not drawn again.
        MarkDirty(mEnvView);
    }

    // 7. The listener hears the detector band.
    if (mMonitor) {
        CopyOrClear(Scratch(mBandL), outL, frames, false);
        CopyOrClear(Scratch(mBandR), outR, frames, false);
    }
}

int KeloEffect::RunIdle(const double* inL, const double* inR, double* outL, double* outR, int g,
                        int frames) {
    if (mRestartStart.Pending()) {
        // The envelope ended before the new hit it heard starts.
        const int t = PassUntilStart(mRestartStart, inL, inR, outL, outR, g, frames, &mRestart);
        mHold = !mRestart;
        return t;
    }
    const double* level = DetectorLevels();
    int t;
    if (mPhase == kPhaseRearm) {
        const double low = mThresholdLow;
        // NaN fails the comparison and ends the phase like a low level.
        t = ScanLevels(level, g, frames, [low](double v) { return v > low; });
        if (t < frames) {
            mRiseFloor = Scratch(mBandMag)[t];
            mOnsetFloor = mLookahead ? Scratch(mOnset)[t] : kNever;
        }
    } else {
        const double threshold = mThreshold;
        t = g;
        if (mRiseGuard) t = GuardedTrigger(level, g, frames);
        if (!mRiseGuard)
            t = ScanLevels(level, t, frames, [threshold](double v) { return threshold > v; });
    }
    CopyOrClear(inL + g, outL + g, t - g, mGate);
    CopyOrClear(inR + g, outR + g, t - g, mGate);
    if (mPhase == kPhaseArmed && t < frames) {
        // Trigger: a new envelope, whose data replaces what was not yet read.
        // With lookahead it starts where its hit does, once that is heard.
        mEnvPos = 0;
        mRearmed = false;
        mRisePeak = 0.0;
        mStartPending = true;
        ScheduleStart(t);
        StartEvent();
    }
    return t;
}

int KeloEffect::FindRestart(const double* level, int g, int t) {
    const double low = mThresholdLow, threshold = mThreshold;
    const double* magnitude = Scratch(mBandMag);
    // With lookahead, a sharp rise of the onset level is a new hit too.
    const double* onset = Scratch(mOnset);
    const double jump = mLookahead ? kOnsetJump : kNever;
    bool rearmed = mRearmed;
    double floor = mRiseFloor, peak = mRisePeak, onsetFloor = mOnsetFloor;
    int i = g;
    for (; i < t; ++i) {
        const double v = level[i], m = magnitude[i], o = mLookahead ? onset[i] : 0.0;
        if (!rearmed) {
            // Re-armed once the level falls to the re-arm level, or the band's
            // magnitude level to half its peak in this envelope: a decaying
            // hit, which a new one can follow.
            peak = m > peak ? m : peak;
            if (!(v > low) || !(m > 0.5 * peak)) {
                rearmed = true;
                floor = m;
                onsetFloor = mLookahead ? o : kNever;
            }
            continue;
        }
        // The level rippling around the threshold as a hit decays is no new
        // hit: that one also lifts the band's magnitude level kNewHitRise over
        // its lowest since the re-arm. (As in the armed phase, NaN reaches the
        // threshold.)
        floor = m < floor ? m : floor;
        onsetFloor = o < onsetFloor ? o : onsetFloor;
        if (!(threshold > v) && (!(m < kNewHitRise * floor) || o > jump * onsetFloor)) {
            // With lookahead, the new hit's start is decided like a trigger's,
            // and this envelope shapes what is heard until then.
            if (mLookahead && mDecideLen > 0)
                mRestartStart.decide = mDecideLen;
            else
                mRestart = true;
            break;
        }
    }
    mRearmed = rearmed;
    mOnsetFloor = onsetFloor;
    mRiseFloor = floor;
    mRisePeak = peak;
    return i;
}

int KeloEffect::GuardedTrigger(const double* level, int g, int frames) {
    const double threshold = mThreshold, quiet = kQuietShare * threshold;
    const double* magnitude = Scratch(mBandMag);
    const double* onset = Scratch(mOnset);
    const double jump = mLookahead ? kOnsetJump : kNever;
    double floor = mRiseFloor, onsetFloor = mOnsetFloor;
    int i = g;
    for (; i < frames; ++i) {
        const double v = level[i], m = magnitude[i], o = mLookahead ? onset[i] : 0.0;
        if (v <= quiet) {
            // Quiet enough that the hit is over: the threshold alone decides.
            mRiseGuard = false;
            break;
        }
        floor = m < floor ? m : floor;
        onsetFloor = o < onsetFloor ? o : onsetFloor;
        if (!(threshold > v) && (!(m < kNewHitRise * floor) || o > jump * onsetFloor)) break;
    }
    mRiseFloor = floor;
    mOnsetFloor = onsetFloor;
    return i;
}

void KeloEffect::FollowOnsets(int frames) {
    const double* bandL = Scratch(mBandL);
    const double* bandR = Scratch(mBandR);
    double* onset = Scratch(mOnset);
    // It rises and falls as the detector's levels do.
    const double attack = mAttackCoef, release = mReleaseCoef;
    double last = mLastBandMid, level = mOnsetLevel;
    for (int i = 0; i < frames; ++i) {
        const double mid = 0.5 * (bandL[i] + bandR[i]);
        level = FollowLevel(level, std::fabs(mid - last), attack, release);
        last = mid;
        onset[i] = level;
    }
    mLastBandMid = last;
    mOnsetLevel = level < kTiny ? 0.0 : level;
}

void KeloEffect::ScheduleStart(int t) {
    mTriggerStart = PendingStart();
    if (!mLookahead) return;
    if (mDecideLen > 0)
        mTriggerStart.decide = mDecideLen;
    else
        mTriggerStart.wait = LookaheadWait(Scratch(mOnset), t, 0) + 1;
}

bool KeloEffect::CountDown(PendingStart& start, int g, int t) {
    const int passed = t - g;
    if (start.decide > 0) {
        start.decide -= passed;
        if (start.decide > 0) return false;
        start.wait = LookaheadWait(Scratch(mOnset), t - 1, mDecideLen - 1);
        return start.wait == 0;
    }
    start.wait -= passed;
    return start.wait == 0;
}

int KeloEffect::PassUntilStart(PendingStart& start, const double* inL, const double* inR,
                               double* outL, double* outR, int g, int frames, bool* due) {
    const int t = start.End(g, frames);
    CopyOrClear(inL + g, outL + g, t - g, mGate);
    CopyOrClear(inR + g, outR + g, t - g, mGate);
    *due = CountDown(start, g, t);
    return t;
}

int KeloEffect::LookaheadWait(const double* onset, int u, int since) {
    // Frame u is passed on already: a start reach frames back is the next one
    // out of the delay.
    const int reach = mLookaheadLen - 1;
    if (reach <= 0) return 0;
    // Levels k frames before frame u: from the piece, or from before it.
    const double* magnitude = Scratch(mBandMag);
    const auto pastOnset = [&](int k) { return k <= u ? onset[u - k] : mPastOnset.Past(k - u); };
    const auto pastMagnitude = [&](int k) {
        return k <= u ? magnitude[u - k] : mPastMagnitude.Past(k - u);
    };
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
    return reach - back;
}

void KeloEffect::KeepPastLevels(int frames) {
    if (!mLookahead) return;
    mPastOnset.Push(Scratch(mOnset), frames);
    mPastMagnitude.Push(Scratch(mBandMag), frames);
}

int KeloEffect::RunShaped(const double* inL, const double* inR, double* outL, double* outR, int g,
                          int frames, int64_t pos) {
    if (mTriggerStart.Pending()) {
        // A lookahead envelope whose hit is not heard yet, or whose start is
        // not decided yet: the audio passes (or the gate holds it) until then.
        bool due;
        const int t = PassUntilStart(mTriggerStart, inL, inR, outL, outR, g, frames, &due);
        mHold = true; // then the envelope starts (or waits on)
        return t;
    }
    const int end = mPhase == kPhaseOnset ? mRampLen : mPhase == kPhaseBody ? mBodyEnd : mEnvLen;
    int count = end - mEnvPos;
    if (count > frames - g) count = frames - g;
    if (count < 0) count = 0;
    if (mStartPending) {
        mStartPending = false;
        ++mStartCount;
        mLastStart = pos + g;
    }
    // A new hit ends the run where it starts the envelope again. With
    // lookahead the run goes on until the new hit's start (see FindRestart).
    const int runEnd = g + count;
    const bool pending = mRestartStart.Pending();
    const int t = pending ? mRestartStart.End(g, runEnd) : FindRestart(DetectorLevels(), g, runEnd);
    count = t - g;

    // Routing: the whole signal with its full-band level, or the band alone with
    // its own level and the rest of the spectrum added back unchanged.
    const double* h = inL;
    const double* l = inR;
    const double* r = mDivR;
    const double* m = mDivM;
    const double* a = Scratch(mZeros);
    const double* b = a;
    if (mProcessOnly) {
        h = Scratch(mBandL);
        l = Scratch(mBandR);
        if (!mMonitor) {
            // The rest is formed only for the frames it is added back to, not in
            // the detector's loop, which would store it on every frame.
            double* restL = Scratch(mRestL);
            double* restR = Scratch(mRestR);
            for (int i = g; i < t; ++i) {
                restL[i] = inL[i] - h[i];
                restR[i] = inR[i] - l[i];
            }
            a = restL;
            b = restR;
        }
    }
    const double s = mShapeOn ? mStrength : 0.0;
    // The magnitudes are taken before shaping: an in-place host's input is
    // the output buffer.
    const int at = mEnvPos;
    RecordPeaks(h + g, l + g, at, count);
    if (mPhase == kPhaseOnset && mEnvPos == 0) mDetectLog.BeginEvent(pos + g);
    if (mPhase == kPhaseOnset)
        ApplyShape<kPhaseOnset>(h, l, a, b, r, m, outL, outR, g, t, s);
    else if (mPhase == kPhaseBody)
        ApplyShape<kPhaseBody>(h, l, a, b, r, m, outL, outR, g, t, s);
    else
        ApplyShape<kPhaseFade>(h, l, a, b, r, m, outL, outR, g, t, s);
    mDetectLog.EventLevels(Scratch(mBandEnv) + g, count);
    if (mPhase == kPhaseFade && mEnvPos >= mEnvLen) mDetectLog.EndEvent(true);

    RecordEvent(r + g, m + g, Scratch(mOutLevel) + g, at, count);
    mLastDetectPos = pos + t;
    MarkDirty(mAmpView);
    if (pending) {
        mRestart = CountDown(mRestartStart, g, t);
        mHold = !mRestart && t < runEnd;
    } else if (mRestartStart.Pending()) {
        mHold = true; // a new hit was heard at t: the envelope runs on
    }
    return t;
}

template <int kShapedPhase>
void KeloEffect::ApplyShape(const double* h, const double* l, const double* a, const double* b,
                            const double* r, const double* m, double* outL, double* outR, int g,
                            int t, double strength) {
    ShapedRun run;
    run.n0 = mEnvPos - g;
    run.strength = strength;
    run.ramp = mRampLen;
    run.bodyEnd = mBodyEnd;
    run.fade = mFadeLen;
    run.gate = mGate;
    // The gains go into the output level's buffer, which is filled last.
    double* gain = Scratch(mOutLevel);
    const EnvelopeShape& shape = mShape;
    // Positions only grow, so each segment of the shape covers one run of frames.
    for (int from = g; from < t;) {
        const int segment = shape.SegmentOf(run.n0 + from);
        int to = t;
        if (segment < 3) {
            const double end = shape.X(2 * segment + 2);
            // The run ends at the first frame whose position reaches the segment's
            // end: computed, then checked against the comparison SegmentOf makes.
            const double guess = std::ceil(end - run.n0);
            to = guess >= t ? t : guess <= from + 1 ? from + 1 : int(guess);
            while (to > from + 1 && !(run.n0 + (to - 1) < end))
                --to;
            while (to < t && run.n0 + to < end)
                ++to;
            const int i = 2 * segment;
            run.x0 = shape.X(i);
            run.y0 = shape.Y(i);
            run.y1 = shape.Y(i + 1);
            run.y2 = shape.Y(i + 2);
            run.qa = shape.X(i) - 2.0 * shape.X(i + 1) + shape.X(i + 2);
            run.qb = 2.0 * (shape.X(i + 1) - shape.X(i));
            if (run.qa != 0.0)
                GainFrames<kShapedPhase, kCurved>(run, r, m, h, l, gain, from, to);
            else
                GainFrames<kShapedPhase, kStraight>(run, r, m, h, l, gain, from, to);
        } else {
            run.y2 = shape.Y(EnvelopeShape::kPoints - 1);
            GainFrames<kShapedPhase, kFlat>(run, r, m, h, l, gain, from, to);
        }
        from = to;
    }
    ApplyGains<kShapedPhase>(run, gain, h, l, a, b, outL, outR, g, t);
    mEnvPos += t - g;
}
