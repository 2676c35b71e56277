// The frame's construction, its default hooks, and what it tells of itself and
// of its host: identity, version text, host kind, sample rate.
#include "plug/effect_base.h"

#include <cstdio>
#include <cstring>

#include "plug/editor_face.h"

namespace {

constexpr int kNameSize = 128;

} // namespace

EffectBase::EffectBase(InstanceInfo instance, int32_t paramCount, int32_t inputs, int32_t outputs,
                       const char* effectName, const char* productName, const char* vendorName,
                       int32_t version, int32_t uniqueId, int32_t vendorId, int32_t delay,
                       bool midi, bool mono, bool chunks, bool instrument)
    : mInstance(instance), mEffectName(), mProductName(), mVendorName(), mUniqueId(uniqueId),
      mVendorId(vendorId), mVersion(version), mHostKind(HostUnasked), mHostVersion(0),
      mUsesChunks(chunks), mSampleRate(44100.0), mMaxBlock(0), mDelay(delay), mEditor(nullptr),
      mCurrentProgram(-1), mScratch(4096, 0), mMidiFlag(midi), mMonoFlag(mono),
      mInstrumentFlag(instrument) {
    for (int32_t i = 0; i < paramCount; ++i)
        mParams.push_back(std::make_unique<Param>());
    // Sized once: a gesture never allocates.
    mGestureTaken.assign(mParams.size(), 0);
    mGestureOrder.reserve(mParams.size());
    CopyText(mEffectName, kNameSize, effectName);
    CopyText(mProductName, kNameSize, productName);
    CopyText(mVendorName, kNameSize, vendorName);
    // The pointer arrays never change size after this, so the slots stay valid.
    mInPtrs.assign(size_t(inputs > 0 ? inputs : 0), nullptr);
    mOutPtrs.assign(size_t(outputs > 0 ? outputs : 0), nullptr);
    for (double*& slot : mInPtrs)
        mInChannels.push_back(
            std::make_unique<ChannelLink>(ChannelLink{false, &slot, nullptr, nullptr}));
    for (double*& slot : mOutPtrs)
        mOutChannels.push_back(
            std::make_unique<ChannelLink>(ChannelLink{false, &slot, nullptr, nullptr}));
}

EffectBase::~EffectBase() {
    // The editor may still look at the parameters while it goes.
    delete mEditor;
    mEditor = nullptr;
}

void EffectBase::ResetProcessing() {
    ScopedLock hold(mLock);
}

void EffectBase::ParamChanged(int32_t) {
    ScopedLock hold(mLock);
}

void EffectBase::ProcessBlock(double** inputs, double** outputs, int32_t frames) {
    if (frames <= 0 || !outputs) return;
    const size_t bytes = size_t(frames) * sizeof(double);
    for (int32_t i = 0; i < OutputCount(); ++i) {
        if (!outputs[i]) continue;
        if (i < InputCount() && inputs && inputs[i])
            std::memmove(outputs[i], inputs[i], bytes); // the host may process in place
        else
            std::memset(outputs[i], 0, bytes);
    }
}

void EffectBase::ActiveChanged(bool) {
    ScopedLock hold(mLock);
}

void EffectBase::HandleMidi(const MidiMessage* message) {
    if (message) EmitMidi(message);
}

bool EffectBase::KeyName(int32_t, char* name) {
    if (name) name[0] = 0;
    return false;
}

bool EffectBase::SaveState(ByteBlock*) {
    ScopedLock hold(mLock);
    return false;
}

bool EffectBase::LoadState(ByteBlock*) {
    ScopedLock hold(mLock);
    return false;
}

intptr_t EffectBase::VendorRequest(int32_t, intptr_t, void*, float) {
    return 0;
}

// ---------------------------------------------------------------- identity

void EffectBase::SetSampleRate(double rate) {
    // A rate that is not positive and finite would poison every filter: keep the old one.
    if (!(rate > 0.0) || rate > 1e9) return;
    ScopedLock hold(mLock);
    mSampleRate = rate;
}

int32_t EffectBase::HostKind() {
    if (mHostKind != HostUnasked || !mHostLink) return mHostKind;
    char vendor[256] = {};
    char product[256] = {};
    int32_t version = 0;
    if (!mHostLink->IdentifyHost(vendor, product, sizeof vendor, version)) return HostUnasked;
    SetHost(vendor, product, version);
    return mHostKind;
}

void EffectBase::VersionText(char* text, int capacity) const {
    if (!text || capacity <= 0) return;
    const int major = mVersion >> 16;
    const int minor = (mVersion >> 8) & 0xFF;
    const int patch = mVersion & 0xFF;
    if (patch != 0)
        std::snprintf(text, size_t(capacity), "v%d.%d.%d", major, minor, patch);
    else if (minor != 0)
        std::snprintf(text, size_t(capacity), "v%d.%d", major, minor);
    else
        std::snprintf(text, size_t(capacity), "v%d", major);
}

void EffectBase::SetHost(const char* vendor, const char* product, int32_t decimalVersion) {
    mHostKind = ClassifyHost(vendor, product);
    mHostVersion = PackHostVersion(decimalVersion);
}
