// The effect's audio path: each block runs through the detector, the
// lookahead's delay (when on) and the envelope machine, whose runs are passed
// or shaped here, and what the displays read is recorded on the way.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "effect/kelo.h"

namespace {

// Writes n samples of src to dst; copying onto itself (in-place hosts) is skipped.
void CopyOrClear(const double* src, double* dst, int n, bool clear) {
    if (n <= 0) return;
    if (clear)
        std::memset(dst, 0, size_t(n) * sizeof(double));
    else if (src != dst)
        std::memmove(dst, src, size_t(n) * sizeof(double));
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
    if (over > 0) ring.Skip(over);
    ring.Write(samples, bytes);
}

} // namespace

// What the envelope machine's runs do to one piece's audio.
struct KeloEffect::Piece final : EnvelopeSink {
    KeloEffect& fx;
    const double* inL;
    const double* inR;
    double* outL;
    double* outR;
    int64_t pos;

    Piece(KeloEffect& effect, const double* l, const double* r, double* ol, double* orr,
          int64_t position)
        : fx(effect), inL(l), inR(r), outL(ol), outR(orr), pos(position) {}

    // The audio passes, or the gate holds it.
    void Pass(int from, int to) override {
        CopyOrClear(inL + from, outL + from, to - from, fx.mGate);
        CopyOrClear(inR + from, outR + from, to - from, fx.mGate);
        if (to > from) fx.mCarry.Break();
    }

    void Shape(int phase, int envPos, int g, int t) override {
        const int count = t - g;
        // Routing: the whole signal with its full-band level, or the band alone
        // with its own level and the rest of the spectrum added back unchanged.
        const double* h = inL;
        const double* l = inR;
        const double* r = fx.mDivR;
        const double* m = fx.mDivM;
        const double* a = fx.Scratch(fx.mZeros);
        const double* b = a;
        if (fx.mProcessOnly) {
            h = fx.mDetector.BandL();
            l = fx.mDetector.BandR();
            if (!fx.mMonitor) {
                // The rest is formed only for the frames it is added back to,
                // not in the detector's loop, which would store it on every frame.
                double* restL = fx.Scratch(fx.mRestL);
                double* restR = fx.Scratch(fx.mRestR);
                for (int i = g; i < t; ++i) {
                    restL[i] = inL[i] - h[i];
                    restR[i] = inR[i] - l[i];
                }
                a = restL;
                b = restR;
            }
        }
        // "Follow the hit's level": the shape scaled by the hit's level (which
        // is followed with the option off too, so that switching it on inside
        // an envelope finds it).
        const double* scale = nullptr;
        if (fx.mFollowLevel) {
            double* scales = fx.Scratch(fx.mScale);
            fx.mHit.Scales(envPos, h, l, r, m, fx.mHitAhead, fx.FollowReference(), scales, g, t);
            scale = scales;
        } else {
            fx.mHit.Follow(envPos, h, l, r, m, false, g, t);
        }
        ShapeSettings settings{fx.mShapeOn ? fx.mStrength : 0.0, fx.mMachine.RampLen(),
                               fx.mMachine.BodyEnd(), fx.mMachine.FadeLen(), fx.mGate};
        // An envelope that starts while the one before it shapes the sound
        // (a new hit) glides on from where that one left it.
        fx.mCarry.Into(settings, phase, envPos);
        if (phase == kPhaseOnset && envPos == 0) fx.mDetectLog.BeginEvent(pos + g);
        // The shaper writes the event's record as it goes; what lies beyond
        // the record's room goes to scratch (the gains go to the output
        // level's buffer).
        EventRecord& record = fx.mEvent;
        double* dropped = fx.Scratch(fx.mDropped);
        const int frames = fx.mScratchFrames;
        ShapeIo io{h,
                   l,
                   a,
                   b,
                   r,
                   m,
                   outL,
                   outR,
                   fx.Scratch(fx.mOutLevel),
                   record.PeaksToWrite(),
                   record.LevelsToWrite(),
                   record.OutsToWrite(),
                   envPos - g,
                   &fx.mShapeCache,
                   scale,
                   fx.mDelay.Running() ? fx.mDelay.PeaksAhead() : nullptr};
        const int kept = std::min(count, record.Room(envPos));
        if (kept > 0)
            fx.mCarry.Shaped(ShapeFrames(phase, fx.mShape, settings, envPos, io, g, g + kept));
        if (kept < count) {
            io.peaks = dropped;
            io.floors = dropped + frames;
            io.levels = dropped + 2 * frames;
            io.offset = 0;
            fx.mCarry.Shaped(
                ShapeFrames(phase, fx.mShape, settings, envPos + kept, io, g + kept, t));
        }
        record.Recorded(envPos, count);
        fx.mDetectLog.EventLevels(fx.mDetector.BandLevels() + g, count);
        if (phase == kPhaseFade && envPos + count >= fx.mMachine.EnvLen())
            fx.mDetectLog.EndEvent(true);
        fx.mLastDetectPos = pos + t;
        MarkDirty(fx.mAmpView);
    }

    void Started(int at) override {
        ++fx.mStartCount;
        fx.mLastStart = pos + at;
    }

    void NewEvent(bool cut) override {
        if (cut) fx.mDetectLog.EndEvent(false);
        fx.StartEvent();
    }
};

void KeloEffect::ProcessBlock(double** in, double** out, int32_t frames) {
    if (frames <= 0 || !in || !out || !in[0] || !in[1] || !out[0] || !out[1]) return;
    if (mScratchFrames <= 0) {
        CopyOrClear(in[0], out[0], frames, false);
        CopyOrClear(in[1], out[1], frames, false);
        return;
    }
    const int64_t pos = TransportSample();
    // A host whose position stands where its last block began has its
    // transport stopped (or gives no position at all): what it plays is
    // still one stream, live input through a stopped host, and goes on from
    // where the last block ended. (The frame's later sub-blocks of a long host
    // block start further on, BlockOffset frames into it.)
    const bool blockStart = BlockOffset() == 0;
    const bool standing = blockStart && mHostPosKnown && pos == mLastHostPos;
    if (blockStart) {
        mLastHostPos = pos;
        mHostPosKnown = true;
    }
    for (int32_t done = 0; done < frames;) {
        const int32_t n = frames - done < mScratchFrames ? frames - done : mScratchFrames;
        ProcessPiece(in[0] + done, in[1] + done, out[0] + done, out[1] + done, n, pos + done,
                     standing && done == 0);
        done += n;
    }
}

void KeloEffect::ProcessPiece(const double* inL, const double* inR, double* outL, double* outR,
                              int frames, int64_t pos, bool standing) {
    // 1. A host position that jumped while the transport ran (by more than 16
    // frames from where the last piece ended) ends the envelope and the
    // recorded data; a standing one is no jump.
    const int64_t jump = pos - mLastEndPos;
    if (!standing && (jump > 16 || jump < -16)) {
        mDetectLog.EndEvent(false);
        mMachine.Cut();
        mCarry.Break();
        StartEvent();
        mHistoryBuf.Reset();
    }

    // 2. Detector pass. Samples that are not finite, or so loud that the
    // detector overflows on them, are heard and detected as silence, so they can
    // neither reach the output nor stay in the filters and followers.
    // The band's samples are kept only when they are heard or shaped; otherwise
    // only its level is, and the loop saves two stores per frame.
    const bool lookahead = mLookahead;
    const bool delayed = mDelay.Running();
    const bool heardBand = mMonitor || mProcessOnly;
    const bool keepBand = heardBand || delayed;
    if (!mDetector.Run(inL, inR, frames, keepBand)) {
        double* cleanL = Scratch(mCleanL);
        double* cleanR = Scratch(mCleanR);
        // NaN fails the comparison and becomes silence too.
        for (int i = 0; i < frames; ++i) {
            cleanL[i] = std::fabs(inL[i]) <= kLoudestSample ? inL[i] : 0.0;
            cleanR[i] = std::fabs(inR[i]) <= kLoudestSample ? inR[i] : 0.0;
        }
        inL = cleanL;
        inR = cleanR;
        mDetector.Run(inL, inR, frames, keepBand);
    }

    mDetectLog.AddLevels(pos, mDetector.BandLevels(), frames);
    // 3. The levels the shaping divides by: the routed signal's signed level (or
    // its magnitude's with both polarities) and its magnitude level.
    mDivM = mProcessOnly ? mDetector.BandMagnitudes() : mDetector.FullMagnitudes();
    mDivR =
        mBothPolarities ? mDivM : (mProcessOnly ? mDetector.BandLevels() : mDetector.FullLevels());

    // With "follow the hit's level" and the lookahead, the levels ahead of the
    // (delayed) audio. (Without the lookahead there are none.)
    mHitAhead = false;
    if (mFollowLevel && lookahead) {
        // The samples shaped: the band's alone, or the whole signal.
        const double* h = mProcessOnly ? mDetector.BandL() : inL;
        const double* l = mProcessOnly ? mDetector.BandR() : inR;
        mHit.Look(h, l, mDivR, mDivM, frames);
        mHitAhead = true;
    }

    // The last levels, for the lookahead's delay to start from.
    mLastDivR = mDivR[frames - 1];
    mLastDivM = mDivM[frames - 1];

    // 4. Lookahead: everything the output is made of is delayed, the detector
    // is not, so an envelope can start before its hit is heard. (Switched, the
    // delay glides in or out.) Off, the delay keeps the last frames heard.
    if (lookahead)
        mOnsets.Follow(mDetector.BandL(), mDetector.BandR(), mDetector.BandMagnitudes(),
                       mDetector.FullMagnitudes(), frames, mDetector.AttackCoef(),
                       mDetector.ReleaseCoef());
    if (delayed) {
        mDelay.Run(inL, inR, mDetector.BandL(), mDetector.BandR(), mDivR, mDivM, frames,
                   mProcessOnly);
        inL = mDelay.AudioL();
        inR = mDelay.AudioR();
        mDivR = mDelay.Levels();
        mDivM = mDelay.Magnitudes();
    } else {
        mDelay.Keep(inL, inR, heardBand ? mDetector.BandL() : nullptr,
                    heardBand ? mDetector.BandR() : nullptr, frames);
    }

    // 5. The envelope machine cuts the piece into runs, passed or shaped.
    Piece piece(*this, inL, inR, outL, outR, pos);
    mMachine.Run(DetectorLevels(), mDetector.BandMagnitudes(), lookahead ? &mOnsets : nullptr,
                 frames, piece);

    // 6. History of the detector level, recorded once per host position.
    const double* detectorLevel = DetectorLevels();
    if (lookahead) mOnsets.Keep(frames);
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
        CopyOrClear(mDetector.BandL(), outL, frames, false);
        CopyOrClear(mDetector.BandR(), outR, frames, false);
    }
}
