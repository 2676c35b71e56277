#include "effect/dsp/event_record.h"

#include <initializer_list>

bool EventRecord::Prepare(int capacity) {
    if (capacity < 0) capacity = 0;
    for (ByteBlock* block : {&mLevel, &mOut, &mPeak})
        if (capacity > 0 && !block->Resize(capacity * int32_t(sizeof(double)), true)) capacity = 0;
    mCapacity = capacity;
    mRecorded = 0;
    return capacity > 0;
}

void EventRecord::Start() {
    ++mCount;
    mRecorded = 0;
}
