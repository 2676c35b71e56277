// Test patients for kelo-host --validate: a small stereo gain written straight
// against the binary interface, built once well-behaved and once per fault
// the validator must find (KELO_PATIENT_FAULT):
//
//   0  none: locks its state briefly, calls the host only with no lock held;
//   1  nan_block1: returns NaN for blocks of one frame;
//   2  racy_chunk: decodes a state chunk into the live state without the lock
//      (the gain is briefly not a number while processing reads it);
//   3  host_under_lock: reports a parameter change to the host (automate)
//      while holding the lock its processing takes;
//   4  shared_state: the gain glides to its value in one variable shared by
//      every instance, so instances processing in turn change each other.
//
// One parameter ("gain", 0..1 linear), one program, a state chunk of eight
// bytes: the tag 'PTNT' and the gain as a float, both little-endian.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "plug/vst_abi.h"

#ifndef KELO_PATIENT_FAULT
#define KELO_PATIENT_FAULT 0
#endif

namespace {

constexpr int kNone = 0, kNanBlock1 = 1, kRacyChunk = 2, kHostUnderLock = 3, kSharedState = 4;
constexpr int kFault = KELO_PATIENT_FAULT;
constexpr uint32_t kTag = 0x544E5450; // "PTNT" in memory order
constexpr int32_t kGetTailSize = 52;

void CopyText(void* ptr, const char* text, size_t field) {
    if (!ptr) return;
    std::snprintf(static_cast<char*>(ptr), field, "%s", text);
}

class Patient {
public:
    explicit Patient(VstHostCallback host) : mHost(host) {
        std::memset(&mRecord, 0, sizeof mRecord);
        mRecord.magic = kVstMagic;
        mRecord.dispatcher = &Dispatcher;
        mRecord.process = &ProcessAccumulating;
        mRecord.setParameter = &SetParameter;
        mRecord.getParameter = &GetParameter;
        mRecord.numPrograms = 1;
        mRecord.numParams = 1;
        mRecord.numInputs = 2;
        mRecord.numOutputs = 2;
        mRecord.flags = kVstFlagCanReplacing | kVstFlagCanDoubleReplacing | kVstFlagProgramChunks;
        mRecord.ioRatio = 1.0f;
        mRecord.object = this;
        mRecord.uniqueId = int32_t(0x50744E74); // 'PtNt'
        mRecord.version = 1;
        mRecord.processReplacing = &ProcessReplacing;
        mRecord.processDoubleReplacing = &ProcessDouble;
    }
    VstEffectRecord* Record() { return &mRecord; }

private:
    static Patient* Of(VstEffectRecord* effect) { return static_cast<Patient*>(effect->object); }

    static intptr_t KELO_VSTCALL Dispatcher(VstEffectRecord* effect, int32_t opcode, int32_t index,
                                            intptr_t value, void* ptr, float) {
        Patient* self = Of(effect);
        char text[32];
        switch (opcode) {
        case kVstOpClose:
            delete self;
            return 0;
        case kVstOpGetParamName:
            CopyText(ptr, index == 0 ? "gain" : "", 32);
            return 0;
        case kVstOpGetParamLabel:
            CopyText(ptr, "", 32);
            return 0;
        case kVstOpGetParamDisplay:
            std::snprintf(text, sizeof text, "%.3f", index == 0 ? double(self->Gain()) : 0.0);
            CopyText(ptr, text, 32);
            return 0;
        case kVstOpGetEffectName:
        case kVstOpGetProductString:
            CopyText(ptr, "Patient", kVstEffectNameSize);
            return 1;
        case kVstOpGetVendorString:
            CopyText(ptr, "Kelo Tests", kVstVendorTextSize);
            return 1;
        case kVstOpGetProgramName:
        case kVstOpGetProgramNameIndexed:
            CopyText(ptr, "default", kVstProgramNameSize);
            return 1;
        case kVstOpGetChunk:
            return self->GetChunk(static_cast<void**>(ptr));
        case kVstOpSetChunk:
            return self->SetChunk(ptr, value);
        case kVstOpGetVstVersion:
            return kVstVersion;
        case kVstOpGetCategory:
            return kVstCategoryEffect;
        case kGetTailSize:
            return 1; // no tail
        default:
            return 0;
        }
    }

    float Gain() {
        std::lock_guard<std::mutex> guard(mLock);
        return mGain;
    }

    static void KELO_VSTCALL SetParameter(VstEffectRecord* effect, int32_t index, float value) {
        Patient* self = Of(effect);
        if (index != 0 || !std::isfinite(value)) return;
        value = std::fmin(std::fmax(value, 0.0f), 1.0f);
        {
            std::unique_lock<std::mutex> guard(self->mLock);
            self->mGain = value;
            if (kFault == kHostUnderLock) {
                // The fault: the host hears of the change while the lock is held.
                self->mHost(effect, kVstHostAutomate, index, 0, nullptr, value);
                return;
            }
        }
        self->mHost(effect, kVstHostAutomate, index, 0, nullptr, value);
    }

    static float KELO_VSTCALL GetParameter(VstEffectRecord* effect, int32_t index) {
        return index == 0 ? Of(effect)->Gain() : 0.0f;
    }

    intptr_t GetChunk(void** data) {
        if (!data) return 0;
        const float gain = Gain();
        std::memcpy(mChunk, &kTag, 4);
        std::memcpy(mChunk + 4, &gain, 4);
        *data = mChunk;
        return sizeof mChunk;
    }

    intptr_t SetChunk(const void* data, intptr_t size) {
        if (!data || size != 8) return 0;
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        uint32_t tag;
        float gain;
        std::memcpy(&tag, bytes, 4);
        std::memcpy(&gain, bytes + 4, 4);
        if (tag != kTag || !(gain >= 0.0f && gain <= 1.0f)) return 0;
        if (kFault == kRacyChunk) {
            // The fault: the live gain is marked undecoded, then decoded in
            // place at leisure, and processing reads it unlocked meanwhile.
            // (The pause stands for a slow decoder; yielding lets the audio
            // thread run within the window even on a busy single core. A spin,
            // as some systems round short sleeps down to none.)
            mGain = NAN;
            const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
            while (std::chrono::steady_clock::now() < end)
                std::this_thread::yield();
            mGain = gain;
            return 1;
        }
        std::lock_guard<std::mutex> guard(mLock);
        mGain = gain;
        return 1;
    }

    template <typename T>
    void Process(T** inputs, T** outputs, int32_t frames, bool add) {
        if (!inputs || !outputs || frames <= 0) return;
        float gain;
        if (kFault == kRacyChunk) {
            gain = mGain;
        } else {
            std::lock_guard<std::mutex> guard(mLock);
            gain = mGain;
        }
        if (kFault == kNanBlock1 && frames == 1) gain = NAN;
        if (kFault == kSharedState) {
            // The fault: one glide for all instances (atomic only so that the
            // threaded check meets a wrong sound, not undefined behaviour).
            static std::atomic<float> glide{0.0f};
            for (int32_t i = 0; i < frames; ++i) {
                const float g = glide.load() + (gain - glide.load()) * 0.01f;
                glide.store(g);
                for (int c = 0; c < 2; ++c) {
                    const T out = inputs[c][i] * T(g);
                    outputs[c][i] = add ? outputs[c][i] + out : out;
                }
            }
            return;
        }
        for (int c = 0; c < 2; ++c)
            for (int32_t i = 0; i < frames; ++i) {
                const T out = inputs[c][i] * T(gain);
                outputs[c][i] = add ? outputs[c][i] + out : out;
            }
    }

    static void KELO_VSTCALL ProcessReplacing(VstEffectRecord* effect, float** in, float** out,
                                              int32_t frames) {
        Of(effect)->Process(in, out, frames, false);
    }
    static void KELO_VSTCALL ProcessAccumulating(VstEffectRecord* effect, float** in, float** out,
                                                 int32_t frames) {
        Of(effect)->Process(in, out, frames, true);
    }
    static void KELO_VSTCALL ProcessDouble(VstEffectRecord* effect, double** in, double** out,
                                           int32_t frames) {
        Of(effect)->Process(in, out, frames, false);
    }

    VstEffectRecord mRecord;
    VstHostCallback mHost;
    std::mutex mLock;
    // Volatile only so that the racy patient's stores all happen as written.
    volatile float mGain = 0.5f;
    uint8_t mChunk[8] = {};
};

} // namespace

#ifdef _WIN32
#define KELO_PATIENT_EXPORT extern "C" __declspec(dllexport)
#else
#define KELO_PATIENT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

KELO_PATIENT_EXPORT VstEffectRecord* KELO_VSTCALL VSTPluginMain(VstHostCallback host) {
    if (!host) return nullptr;
    return (new Patient(host))->Record();
}
