// Kelo's vendor-specific requests: the detector's log for the render tool
// (effect/detect_log.h). Memory is had and freed outside the plug-in's lock;
// only the exchange and the reads happen under it.
#include "effect/kelo.h"
#include "plug/lock.h"

intptr_t KeloEffect::VendorRequest(int32_t index, intptr_t value, void* ptr, float) {
    if (index != kDetectLogTag) return 0;
    switch (value) {
    case kDetectLogStart: {
        const DetectLogSetup* setup = static_cast<const DetectLogSetup*>(ptr);
        if (!setup || setup->size != int32_t(sizeof(DetectLogSetup))) return 0;
        DetectLog fresh;
        if (!fresh.Allocate(setup->levelCapacity, setup->eventCapacity)) return 0;
        {
            ScopedLock lock(mLock);
            mDetectLog.Swap(fresh);
        }
        return 1; // the earlier log, if any, is freed with fresh
    }
    case kDetectLogRead: {
        DetectLogRead* read = static_cast<DetectLogRead*>(ptr);
        if (!read || read->size != int32_t(sizeof(DetectLogRead))) return 0;
        ScopedLock lock(mLock);
        if (!mDetectLog.On()) return 0;
        mDetectLog.Read(*read);
        read->threshold = mMachine.Threshold();
        read->envLength = mMachine.EnvLen();
        return 1;
    }
    case kDetectLogStop: {
        DetectLog old;
        {
            ScopedLock lock(mLock);
            mDetectLog.Swap(old);
        }
        return 1;
    }
    default:
        return 0;
    }
}
