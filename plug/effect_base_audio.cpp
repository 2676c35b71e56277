// The audio road: a host block converted or mapped through the channel links,
// processed under the lock in sub-blocks of at most the maximum block, and
// delivered; the transport asked of the host before the lock is taken; MIDI in
// and MIDI held while the lock is held; the channels the host connected.
#include "plug/effect_base.h"

#include <cstring>
#include <type_traits>

// The 32-bit road's conversions are also built for AVX2 (four samples to an
// instruction, not two), and the loader picks that version where the
// processor has it; a conversion rounds the same in either.
// Not under ThreadSanitizer: the clones' resolver runs at load, before it starts.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) &&       \
    !defined(__SANITIZE_THREAD__)
#define KELO_CONVERT_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KELO_CONVERT_CLONES
#endif

namespace {

// The host's buffer for the k-th connected channel; null when the host passed none.
template <typename T>
T* HostChannel(T** buffers, int32_t k) {
    return buffers ? buffers[k] : nullptr;
}

KELO_CONVERT_CLONES void Widen(const float* src, double* dst, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        dst[i] = double(src[i]);
}

KELO_CONVERT_CLONES void Narrow(const double* src, float* dst, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        dst[i] = float(src[i]);
}

KELO_CONVERT_CLONES void NarrowAdd(const double* src, float* dst, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        dst[i] += float(src[i]);
}

} // namespace

// ---------------------------------------------------------------- audio road

template <typename T>
void EffectBase::ProcessHostBlock(T** inputs, T** outputs, int32_t frames, BlockMode mode) {
    if (frames <= 0) return;
    NoteAudioThread();
    // The transport is asked before the lock is taken: no host call under it.
    // (An adapter that holds the lock around the processing, as the LV2 one
    // does, answers from what its host handed it, calling nothing.)
    int64_t first = 0;
    if (mHostLink) {
        first = mHostLink->TransportSample(0);
        mLastTempo = mHostLink->TransportTempo();
        int32_t numerator = 0, denominator = 0;
        mHostLink->TransportMeter(numerator, denominator);
        mLastNumerator = numerator;
        mLastDenominator = denominator;
    }
    // Notes that wait for the audio road go out here, before the lock.
    if (mNotesWaitForAudio.load()) DeliverQueuedNotes();
    MidiMessage midi[kHeldMidiCapacity];
    int midiCount = 0;
    {
        // The whole host block runs under the lock, so the scratch regions and
        // the channel slots cannot change under it. The lock is waited for:
        // every other holder holds it for a few microseconds (a copy in or
        // out, a parameter's new value), and on Linux the holder inherits the
        // priority of the audio thread that waits.
        ScopedLock hold(mLock);
        mBlockSample = first;
        if (mMaxBlock <= 0) {
            // No scratch yet: the host hears silence rather than whatever its
            // buffers held.
            if (mode == BlockReplace && outputs) {
                int32_t k = 0;
                for (auto& link : mOutChannels)
                    if (link->mConnected)
                        if (T* host = HostChannel(outputs, k++))
                            std::memset(host, 0, size_t(frames) * sizeof(T));
            }
            return;
        }
        for (int32_t offset = 0; offset < frames;) {
            const int32_t n = frames - offset < mMaxBlock ? frames - offset : mMaxBlock;
            mBlockOffset = offset;
            ProcessSubBlock(inputs, outputs, offset, n, mode);
            offset += n;
        }
        mBlockOffset = 0;
        if (mHeldMidiCount > 0) midiCount = TakeHeldMidi(midi);
    }
    SendMidi(midi, midiCount);
}

template <typename T>
void EffectBase::ProcessSubBlock(T** inputs, T** outputs, int32_t offset, int32_t frames,
                                 BlockMode mode) {
    // 64-bit host buffers are used in place (the host's 64-bit entry always
    // replaces); 32-bit ones are converted through the links' regions.
    constexpr bool kDouble = std::is_same_v<T, double>;

    // Inputs: each connected link takes the next host buffer. Unconnected links
    // keep their slot on their own region and consume no host buffer.
    int32_t k = 0;
    for (auto& link : mInChannels) {
        if (!link->mConnected) continue;
        T* host = HostChannel(inputs, k++);
        if constexpr (kDouble) {
            if (host) {
                *link->mSlot = host + offset;
                continue;
            }
        }
        double* region = link->mRegion;
        *link->mSlot = region;
        if (!host) {
            std::memset(region, 0, size_t(frames) * sizeof(double));
            continue;
        }
        if constexpr (!kDouble) Widen(host + offset, region, frames); // (64-bit: used above)
    }

    // Outputs: the 64-bit host buffer itself, or the link's region whose result is
    // delivered to the remembered 32-bit host buffer below.
    k = 0;
    for (auto& link : mOutChannels) {
        link->mHostBuffer = nullptr;
        if (!link->mConnected) continue;
        T* host = HostChannel(outputs, k++);
        *link->mSlot = link->mRegion;
        if constexpr (kDouble) {
            if (host) *link->mSlot = host + offset;
        } else {
            if (host) link->mHostBuffer = host + offset;
        }
    }

    ProcessBlock(mInPtrs.data(), mOutPtrs.data(), frames);

    if constexpr (!kDouble) {
        for (auto& link : mOutChannels) {
            float* dest = link->mHostBuffer;
            if (!dest) continue; // nowhere to deliver: the result stays in the region
            const double* result = link->mRegion;
            if (mode == BlockReplace)
                Narrow(result, dest, frames);
            else
                NarrowAdd(result, dest, frames);
        }
    }
}

void EffectBase::ProcessFloatReplacing(float** inputs, float** outputs, int32_t frames) {
    ProcessHostBlock(inputs, outputs, frames, BlockReplace);
}

void EffectBase::ProcessFloatAccumulating(float** inputs, float** outputs, int32_t frames) {
    ProcessHostBlock(inputs, outputs, frames, BlockAccumulate);
}

void EffectBase::ProcessDoubleReplacing(double** inputs, double** outputs, int32_t frames) {
    ProcessHostBlock(inputs, outputs, frames, BlockReplace);
}

// ---------------------------------------------------------------- scratch and channels

void EffectBase::SetMaxBlock(int32_t n) {
    if (n <= 0) return;
    ScopedLock hold(mLock);
    if (n == mMaxBlock) return;
    const int64_t channels = int64_t(InputCount()) + OutputCount();
    const int64_t bytes = int64_t(n) * channels * int64_t(sizeof(double));
    if (bytes > INT32_MAX) return;
    if (bytes > 0) {
        uint8_t* data = mScratch.Resize(int32_t(bytes), true);
        if (!data) return; // keep the previous regions and size
        std::memset(data, 0, size_t(bytes));
    }
    double* region = reinterpret_cast<double*>(mScratch.Bytes());
    for (auto* links : {&mInChannels, &mOutChannels}) {
        for (auto& link : *links) {
            link->mRegion = region;
            region += n;
            if (!link->mConnected) *link->mSlot = link->mRegion;
        }
    }
    mMaxBlock = n;
}

void EffectBase::SetConnected(std::vector<std::unique_ptr<ChannelLink>>& links, int32_t first,
                              int32_t count, bool on) {
    // Stay within the declared channels whatever the host reports.
    const int64_t total = int64_t(links.size());
    int64_t begin = first < 0 ? 0 : first;
    int64_t end = int64_t(first) + (count > 0 ? count : 0);
    if (end > total) end = total;
    ScopedLock hold(mLock);
    for (int64_t i = begin; i < end; ++i) {
        ChannelLink& link = *links[size_t(i)];
        link.mConnected = on;
        // An unconnected channel is read from, or written into, its own region.
        if (!on) *link.mSlot = link.mRegion;
    }
}

void EffectBase::SetInputsConnected(int32_t first, int32_t count, bool on) {
    SetConnected(mInChannels, first, count, on);
}

void EffectBase::SetOutputsConnected(int32_t first, int32_t count, bool on) {
    SetConnected(mOutChannels, first, count, on);
}

bool EffectBase::InputConnected(int32_t index) const {
    return index >= 0 && index < InputCount() && mInChannels[size_t(index)]->mConnected;
}

bool EffectBase::OutputConnected(int32_t index) const {
    return index >= 0 && index < OutputCount() && mOutChannels[size_t(index)]->mConnected;
}

// ---------------------------------------------------------------- audio threads

bool EffectBase::OnAudioThread() const {
    const uintptr_t tag = Lock::ThisThreadTag();
    for (const auto& slot : mAudioThreads)
        if (slot.load(std::memory_order_relaxed) == tag) return true;
    return false;
}

void EffectBase::NoteAudioThread() {
    // One comparison a block while the host keeps its thread.
    if (OnAudioThread()) return;
    const int slot = mNextAudioSlot.fetch_add(1, std::memory_order_relaxed) % kAudioThreadSlots;
    mAudioThreads[slot].store(Lock::ThisThreadTag(), std::memory_order_relaxed);
}

// ---------------------------------------------------------------- transport

int64_t EffectBase::TransportSample() {
    if (!mHostLink) return 0;
    // Under our lock the host is not called: the block's first frame as asked
    // before the lock was taken, moved on to the sub-block being processed.
    if (mLock.HeldByThisThread()) return mBlockSample + BlockOffset();
    return mHostLink->TransportSample(0);
}

double EffectBase::TransportTempo() {
    if (!mHostLink) return 0.0;
    if (!mLock.HeldByThisThread()) mLastTempo = mHostLink->TransportTempo();
    return mLastTempo;
}

void EffectBase::TransportMeter(int32_t& numerator, int32_t& denominator) {
    numerator = 0;
    denominator = 0;
    if (!mHostLink) return;
    if (!mLock.HeldByThisThread()) {
        mHostLink->TransportMeter(numerator, denominator);
        mLastNumerator = numerator;
        mLastDenominator = denominator;
        return;
    }
    numerator = mLastNumerator;
    denominator = mLastDenominator;
}

// ---------------------------------------------------------------- MIDI

void EffectBase::ReceiveMidi(const MidiMessage* message) {
    if (!message) return;
    MidiMessage midi[kHeldMidiCapacity];
    int count;
    {
        ScopedLock hold(mLock);
        HandleMidi(message);
        count = TakeHeldMidi(midi);
    }
    SendMidi(midi, count);
}

bool EffectBase::EmitMidi(const MidiMessage* message) {
    if (!message || !mHostLink) return false;
    if (!mLock.HeldByThisThread()) return mHostLink->EmitMidi(*message);
    // Under our lock the host is not called: the message waits for the lock's
    // release (ReceiveMidi, the audio road), or is lost when too many wait.
    if (mHeldMidiCount >= kHeldMidiCapacity) return false;
    mHeldMidi[mHeldMidiCount++] = *message;
    return true;
}

int EffectBase::TakeHeldMidi(MidiMessage* out) {
    const int count = mHeldMidiCount;
    for (int i = 0; i < count; ++i)
        out[i] = mHeldMidi[i];
    mHeldMidiCount = 0;
    return count;
}

void EffectBase::SendMidi(const MidiMessage* messages, int count) {
    for (int i = 0; i < count && mHostLink; ++i)
        mHostLink->EmitMidi(messages[i]);
}
