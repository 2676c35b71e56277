#include "effect/dsp/lookahead_delay.h"

#include <cstring>
#include <initializer_list>

bool LookaheadDelay::Prepare(int length, int frames) {
    mLength = length > 0 ? length : 0;
    bool ok = true;
    for (DelayLine* line : {&mInL, &mInR, &mBandL, &mBandR, &mLevelLine, &mMagnitudeLine})
        if (!line->SetLength(ok ? mLength : 0)) ok = false;
    if (!ok) {
        mLength = 0;
        for (DelayLine* line : {&mInL, &mInR, &mBandL, &mBandR, &mLevelLine, &mMagnitudeLine})
            line->SetLength(0);
    }
    const int32_t bytes = (frames > 0 ? frames : 0) * int32_t(sizeof(double));
    bool buffers = frames > 0;
    for (ByteBlock* block : {&mAudioL, &mAudioR, &mLevel, &mMagnitude})
        if (buffers && !block->Resize(bytes, false)) buffers = false;
    return buffers;
}

void LookaheadDelay::Clear() {
    for (DelayLine* line : {&mInL, &mInR, &mBandL, &mBandR, &mLevelLine, &mMagnitudeLine})
        line->Clear();
}

void LookaheadDelay::Run(const double* inL, const double* inR, double* bandL, double* bandR,
                         const double* r, const double* m, int frames) {
    const size_t bytes = size_t(frames) * sizeof(double);
    std::memcpy(Data(mAudioL), inL, bytes);
    std::memcpy(Data(mAudioR), inR, bytes);
    std::memcpy(Data(mLevel), r, bytes);
    std::memcpy(Data(mMagnitude), m, bytes);
    mInL.Process(Data(mAudioL), frames);
    mInR.Process(Data(mAudioR), frames);
    mBandL.Process(bandL, frames);
    mBandR.Process(bandR, frames);
    mLevelLine.Process(Data(mLevel), frames);
    mMagnitudeLine.Process(Data(mMagnitude), frames);
}
