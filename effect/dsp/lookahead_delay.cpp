#include "effect/dsp/lookahead_delay.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "base/round_double.h"
#include "effect/dsp/samples_of.h"

bool LookaheadDelay::Prepare(int length, double rate, int frames, bool on, ClearedLines* cleared) {
    mLength = length > 0 ? length : 0;
    bool ok = true;
    for (DelayLine* line : {&mInL, &mInR, &mBandL, &mBandR, &mLevelLine, &mMagnitudeLine})
        if (!line->SetLength(ok ? mLength : 0, cleared)) ok = false;
    int ahead = SamplesOf(kPeakAheadSeconds, rate);
    ahead = ahead < mLength ? ahead : mLength;
    if (!mPeakLine.SetLength(ok ? mLength - ahead : 0, cleared)) ok = false;
    if (!ok) {
        mLength = 0;
        for (DelayLine* line :
             {&mInL, &mInR, &mBandL, &mBandR, &mLevelLine, &mMagnitudeLine, &mPeakLine})
            line->SetLength(0);
    }
    mHold = 0.0;
    mHoldFall = rate > 0.0 ? std::exp(-1.0 / (kPeakHoldSeconds * rate)) : 0.0;
    const double glide = kGlideSeconds * rate;
    mStep = glide >= 1.0 ? 1.0 / glide : 1.0;
    mOn = on;
    mWeight = on ? 1.0 : 0.0;
    mBandKept = false;
    const int32_t bytes = (frames > 0 ? frames : 0) * int32_t(sizeof(double));
    bool buffers = frames > 0;
    for (ByteBlock* block :
         {&mAudioL, &mAudioR, &mLevel, &mMagnitude, &mUndelayedL, &mUndelayedR, &mPeaks})
        if (buffers && !block->Resize(bytes, false)) buffers = false;
    return buffers;
}

void LookaheadDelay::Switch(bool on, double r, double m) {
    if (on == mOn) return;
    mOn = on;
    // A switch on from silence on the delayed side (the glide back had
    // ended): the lines start from what was kept, the levels from the last.
    if (on && mWeight <= 0.0) {
        if (!mBandKept) {
            mBandL.Clear();
            mBandR.Clear();
        }
        mLevelLine.Fill(r);
        mMagnitudeLine.Fill(m);
        // No peaks known ahead: the samples' own floor alone, until they are.
        mPeakLine.Clear();
        mHold = 0.0;
    }
}

void LookaheadDelay::Keep(const double* inL, const double* inR, const double* bandL,
                          const double* bandR, int frames) {
    mInL.Push(inL, frames);
    mInR.Push(inR, frames);
    mBandKept = bandL && bandR;
    if (mBandKept) {
        mBandL.Push(bandL, frames);
        mBandR.Push(bandR, frames);
    }
}

void LookaheadDelay::HoldPeaks(const double* l, const double* r, int frames) {
    // The hold falls by fall a frame and rises to each frame's louder sample:
    // hold = max(Fall(hold), louder), Fall(x) being x * fall rounded to a
    // double. As rounding keeps order and fall >= 0, Fall(max(x, y)) is
    // max(Fall(x), Fall(y)) to the bit, so k frames on the hold is
    //     max(Fall^k(hold), own[k]),  own[0] = 0,  own[j + 1] = max(Fall(own[j]), louder[j]):
    // the hold carried in, fallen k times (each product rounded in turn:
    // Fall(Fall(h)) is not h * fall^2), or the hold of those frames' own
    // samples from silence. (Every value is a magnitude, +0 at least, and a
    // NaN sample would be passed over either way; none comes, the processing
    // makes the samples finite before the detector.) So in a group of frames
    // only the carried hold's products wait on the frame before, a multiply a
    // frame where the hold alone chained a multiply and a max; the samples'
    // own hold does not wait on it, and the processor overlaps the two.
    double* peaks = Data(mPeaks);
    double hold = mHold;
    const double fall = mHoldFall;
    const auto louder = [l, r](int i) {
        const double a = std::fabs(l[i]), b = std::fabs(r[i]);
        return a > b ? a : b;
    };
    const auto fallen = [fall](double x) {
        x *= fall;
        // The same bits however the blocks are cut (the hold is carried).
        RoundToDouble(x);
        return x;
    };
    // (std::max, not the ?: it equals: GCC takes the processor's max for it,
    // where the ?: went through a compare and a move by way of the integer
    // registers.)
    constexpr int kGroup = 4;
    int i = 0;
    for (; i + kGroup <= frames; i += kGroup) {
        double carried = hold, own = 0.0;
        for (int k = 0; k < kGroup; ++k) {
            carried = fallen(carried);
            own = std::max(fallen(own), louder(i + k));
            peaks[i + k] = std::max(carried, own);
        }
        hold = std::max(carried, own);
    }
    for (; i < frames; ++i) {
        hold = std::max(fallen(hold), louder(i));
        peaks[i] = hold;
    }
    mHold = hold;
    mPeakLine.Process(peaks, frames);
}

void LookaheadDelay::Mix(const double* x, double* y, int n) const {
    const double target = mOn ? 1.0 : 0.0, step = mOn ? mStep : -mStep;
    for (int i = 0; i < n; ++i) {
        double w = mWeight + step * (i + 1);
        w = mOn ? (w < target ? w : target) : (w > target ? w : target);
        // At either end one signal alone, to the last bit.
        const double mixed = x[i] + (y[i] - x[i]) * w;
        y[i] = w >= 1.0 ? y[i] : w <= 0.0 ? x[i] : mixed;
    }
}

void LookaheadDelay::Run(const double* inL, const double* inR, double* bandL, double* bandR,
                         const double* r, const double* m, int frames, bool bandShaped) {
    const size_t bytes = size_t(frames) * sizeof(double);
    // The peaks ahead, from the undelayed samples shaped (before the band's
    // lines delay them in place).
    HoldPeaks(bandShaped && bandL ? bandL : inL, bandShaped && bandR ? bandR : inR, frames);
    const bool gliding = mWeight != (mOn ? 1.0 : 0.0);
    if (gliding && bandL && bandR) {
        std::memcpy(Data(mUndelayedL), bandL, bytes);
        std::memcpy(Data(mUndelayedR), bandR, bytes);
    }
    mInL.Process(inL, Data(mAudioL), frames);
    mInR.Process(inR, Data(mAudioR), frames);
    mBandL.Process(bandL, frames);
    mBandR.Process(bandR, frames);
    mLevelLine.Process(r, Data(mLevel), frames);
    mMagnitudeLine.Process(m, Data(mMagnitude), frames);
    if (!gliding) return;
    Mix(inL, Data(mAudioL), frames);
    Mix(inR, Data(mAudioR), frames);
    Mix(r, Data(mLevel), frames);
    Mix(m, Data(mMagnitude), frames);
    if (bandL && bandR) {
        Mix(Data(mUndelayedL), bandL, frames);
        Mix(Data(mUndelayedR), bandR, frames);
    }
    double w = mWeight + (mOn ? mStep : -mStep) * frames;
    mWeight = mOn ? (w < 1.0 ? w : 1.0) : (w > 0.0 ? w : 0.0);
}
