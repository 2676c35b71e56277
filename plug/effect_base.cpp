#include "plug/effect_base.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "plug/editor_face.h"

namespace {

constexpr int kNameSize = 128;
constexpr int kProgramNameSize = 256;

// The host's buffer for the k-th connected channel; null when the host passed none.
template <typename T>
T* HostChannel(T** buffers, int32_t k) {
    return buffers ? buffers[k] : nullptr;
}

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

void EffectBase::EditorParamChange(int32_t index, double normalized) {
    Param* param = ParamAt(index);
    if (!param) return;
    double taken;
    {
        ScopedLock hold(mLock);
        // The current normalized value stands for the current value (converting
        // it back could differ in the last bit).
        if (normalized != param->Normalized()) param->SetFromNormalized(normalized);
        ParamChanged(index);
        // The host records the value the parameter took (clamped, quantised),
        // read under the lock: a host thread may be setting it meanwhile.
        taken = param->Normalized();
    }
    {
        std::lock_guard<std::mutex> hold(mGestureLock);
        if (!mGestureOpen) {
            PostHostNote(HostNoteKind::BeginEdit, index, 0.0);
            PostHostNote(HostNoteKind::Automate, index, taken);
            PostHostNote(HostNoteKind::EndEdit, index, 0.0);
        } else {
            if (!mGestureTaken[size_t(index)]) {
                mGestureTaken[size_t(index)] = 1;
                mGestureOrder.push_back(index); // capacity reserved: no allocation
                PostHostNote(HostNoteKind::BeginEdit, index, 0.0);
            }
            PostHostNote(HostNoteKind::Automate, index, taken);
        }
    }
    DeliverHostNotes();
}

// ---------------------------------------------------------------- host notes

void EffectBase::BeginGesture() {
    std::lock_guard<std::mutex> hold(mGestureLock);
    mGestureOpen = true;
}

void EffectBase::EndGesture() {
    {
        std::lock_guard<std::mutex> hold(mGestureLock);
        if (!mGestureOpen) return;
        mGestureOpen = false;
        for (int32_t index : mGestureOrder) {
            mGestureTaken[size_t(index)] = 0;
            PostHostNote(HostNoteKind::EndEdit, index, 0.0);
        }
        mGestureOrder.clear();
        if (mGestureStateChanged) PostHostNote(HostNoteKind::StateChanged, -1, 0.0);
        mGestureStateChanged = false;
    }
    DeliverHostNotes();
}

bool EffectBase::GestureOpen() const {
    std::lock_guard<std::mutex> hold(mGestureLock);
    return mGestureOpen;
}

void EffectBase::StateChanged() {
    {
        std::lock_guard<std::mutex> hold(mGestureLock);
        if (mGestureOpen) {
            mGestureStateChanged = true;
            return;
        }
        PostHostNote(HostNoteKind::StateChanged, -1, 0.0);
    }
    DeliverHostNotes();
}

void EffectBase::HoldHostNotes() {
    mNoteHolds.fetch_add(1);
}

void EffectBase::ReleaseHostNotes() {
    if (mNoteHolds.fetch_sub(1) == 1) DeliverHostNotes();
}

void EffectBase::DeliverHostNotes() {
    if (mNotesWaitForAudio.load()) return; // the audio road delivers them
    DeliverQueuedNotes();
}

void EffectBase::DeliverQueuedNotes() {
    if (mLock.HeldByThisThread() || mNoteHolds.load() > 0) return;
    // One thread at a time, so the host hears the notes in their order. A
    // thread that finds another delivering leaves its notes to it: the other
    // looks again after letting go.
    while (!mOutbox.Empty()) {
        bool idle = false;
        if (!mDelivering.compare_exchange_strong(idle, true)) return;
        HostNote note;
        while (mOutbox.Take(note))
            SendHostNote(note);
        mDelivering.store(false);
    }
}

void EffectBase::SendHostNote(const HostNote& note) {
    if (mHostLink) mHostLink->SendHostNote(note);
}

void EffectBase::PostHostNote(HostNoteKind kind, int32_t index, double value) {
    // Waiting for the audio road, a drag's values between two blocks would
    // fill the queue (the last one stands for them), and a host that does not
    // process for a while must still hear every gesture end.
    if (mNotesWaitForAudio.load())
        mOutbox.PostFolding(HostNote{kind, index, value});
    else
        mOutbox.Post(HostNote{kind, index, value});
}

// ---------------------------------------------------------------- host link

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

int32_t EffectBase::HostKind() {
    if (mHostKind != HostUnasked || !mHostLink) return mHostKind;
    char vendor[256] = {};
    char product[256] = {};
    int32_t version = 0;
    if (!mHostLink->IdentifyHost(vendor, product, sizeof vendor, version)) return HostUnasked;
    SetHost(vendor, product, version);
    return mHostKind;
}

bool EffectBase::EmitMidi(const MidiMessage* message) {
    return message && mHostLink && mHostLink->EmitMidi(*message);
}

intptr_t EffectBase::VendorRequest(int32_t, intptr_t, void*, float) {
    return 0;
}

void EffectBase::TellHostLatencyChanged() {
    if (mHostLink) mHostLink->TellLatencyChanged();
}

// ---------------------------------------------------------------- editor window

bool EffectBase::OpenEditorWindow(void* parent) {
    return mEditor && mEditor->OpenEditorWindow(parent) != nullptr;
}

void EffectBase::CloseEditorWindow() {
    if (mEditor) mEditor->CloseEditorWindow();
}

bool EffectBase::OpenEditor(void* parent) {
    if (!mEditor) return false;
    if (mEditorWindowOpen && !mEditor->IsWindowOpen()) {
        // The host destroyed its frame (and our window in it) without
        // "editor close": that window is over, this open is a new one.
        EditorClosed();
        CloseEditorWindow();
        mEditorWindowOpen = false;
    }
    if (mEditorWindowOpen || !OpenEditorWindow(parent)) return false;
    mEditorWindowOpen = true;
    EditorOpened();
    return true;
}

bool EffectBase::CloseEditor() {
    if (!mEditor) return false;
    if (mEditorWindowOpen) {
        EditorClosed();
        CloseEditorWindow();
        mEditorWindowOpen = false;
    }
    // A window closed in the middle of a drag never sees the release.
    EndGesture();
    return true;
}

void EffectBase::IdleEditor() {
    if (mEditorWindowOpen && mEditor) mEditor->Idle();
}

// ---------------------------------------------------------------- saved state

bool EffectBase::SaveStateChunk(ByteBlock& chunk) {
    // Under the lock: automation and processing on other threads see the state
    // before or after the save, never half of it saved.
    ScopedLock hold(mLock);
    chunk.Clear();
    return SaveState(&chunk) && chunk.Size() > 0;
}

bool EffectBase::LoadStateChunk(ByteBlock& chunk) {
    // The load and the delivery of its values are one step for the audio thread
    // and for parameter changes from other threads.
    bool loaded;
    {
        ScopedLock hold(mLock);
        loaded = LoadState(&chunk);
        // A load that fails part-way keeps the values it read: the effect hears
        // of whatever the parameters now hold, so its derived state agrees.
        NotifyAllParams();
    }
    StateLoaded();
    return loaded;
}

// ---------------------------------------------------------------- editor

void EffectBase::SetEditor(EditorFace* editor) {
    if (!editor) return;
    ScopedLock hold(mLock);
    for (int32_t i = 0; i < ParamCount(); ++i)
        editor->ShowParamValue(i, mParams[size_t(i)]->Normalized(), true);
    editor->PrepareSurface();
    if (mEditor != editor) delete mEditor;
    mEditor = editor;
    if (mHostLink) mHostLink->EditorAttached();
}

void EffectBase::DropEditor() {
    // No lock of ours while the window closes: its thread may be waiting for
    // the plug-in's lock to finish a frame.
    if (mEditor) mEditor->CloseEditorWindow();
    EditorFace* doomed = nullptr;
    {
        ScopedLock hold(mLock);
        doomed = mEditor;
        mEditor = nullptr;
    }
    delete doomed;
}

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

void EffectBase::SetDelay(int32_t samples) {
    ScopedLock hold(mLock);
    mDelay = samples;
    if (mHostLink) mHostLink->LatencySet(samples);
}

// ---------------------------------------------------------------- audio road

template <typename T>
void EffectBase::ProcessHostBlock(T** inputs, T** outputs, int32_t frames, BlockMode mode) {
    if (frames <= 0) return;
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
    // The whole host block runs under the lock, so the scratch regions and the
    // channel slots cannot change under it.
    ScopedLock hold(mLock);
    mBlockSample = first;
    if (mMaxBlock <= 0) {
        // No scratch yet: the host hears silence rather than whatever its buffers held.
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
        for (int32_t i = 0; i < frames; ++i)
            region[i] = double(host[offset + i]);
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
                for (int32_t i = 0; i < frames; ++i)
                    dest[i] = float(result[i]);
            else
                for (int32_t i = 0; i < frames; ++i)
                    dest[i] += float(result[i]);
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

// ---------------------------------------------------------------- parameters

void EffectBase::HostParamChange(int32_t index, double normalized) {
    Param* param = ParamAt(index);
    if (!param) return;
    // The control shows the value the parameter will take, before the effect hears of it.
    if (!(normalized > 0.0)) normalized = 0.0;
    if (normalized > 1.0) normalized = 1.0;
    ScopedLock hold(mLock);
    if (mEditor) mEditor->ShowParamValue(index, normalized, true);
    // The host carries normalized values as 32-bit floats. The image of the
    // current value is the current value: a host that restores the values it
    // read back must not move a parameter by the float's rounding.
    if (float(normalized) != float(param->Normalized())) param->SetFromNormalized(normalized);
    ParamChanged(index);
}

double EffectBase::ParamNormalized(int32_t index) const {
    const Param* param = ParamAt(index);
    return param ? param->Normalized() : 0.0;
}

void EffectBase::ReceiveMidi(const MidiMessage* message) {
    if (!message) return;
    ScopedLock hold(mLock);
    HandleMidi(message);
}

Param* EffectBase::ParamAt(int32_t index) {
    return index >= 0 && index < ParamCount() ? mParams[size_t(index)].get() : nullptr;
}

const Param* EffectBase::ParamAt(int32_t index) const {
    return index >= 0 && index < ParamCount() ? mParams[size_t(index)].get() : nullptr;
}

void EffectBase::SetSampleRate(double rate) {
    // A rate that is not positive and finite would poison every filter: keep the old one.
    if (!(rate > 0.0) || rate > 1e9) return;
    ScopedLock hold(mLock);
    mSampleRate = rate;
}

void EffectBase::NotifyAllParams() {
    ScopedLock hold(mLock);
    for (int32_t i = 0; i < ParamCount(); ++i)
        ParamChanged(i);
    ResetProcessing();
}

// ---------------------------------------------------------------- programs

bool EffectBase::WriteParamValues(ByteBlock& chunk) {
    ScopedLock hold(mLock);
    for (auto& param : mParams)
        if (!chunk.AppendDouble(param->Value())) return false;
    return true;
}

bool EffectBase::ReadParamValues(const ByteBlock& chunk, int& position) {
    ScopedLock hold(mLock);
    for (int32_t i = 0; i < ParamCount(); ++i) {
        double v;
        if (!chunk.ReadDouble(position, v)) return false;
        Param& param = *mParams[size_t(i)];
        param.SetClampedValue(v);
        if (mEditor) mEditor->ShowParamValue(i, param.Value(), false);
        ParamChanged(i);
    }
    return true;
}

void EffectBase::StoreCurrentProgram() {
    ScopedLock hold(mLock);
    if (mCurrentProgram < 0 || mCurrentProgram >= ProgramCount()) return;
    ByteBlock& values = mPrograms[size_t(mCurrentProgram)]->mValues;
    values.Clear();
    WriteParamValues(values);
}

bool EffectBase::RecallProgram(int32_t index) {
    if (index < 0 || index >= ProgramCount()) return false;
    ScopedLock hold(mLock);
    int position = 0;
    ReadParamValues(mPrograms[size_t(index)]->mValues, position);
    mCurrentProgram = index;
    return true;
}

int32_t EffectBase::AddProgram(const char* name) {
    ScopedLock hold(mLock);
    auto program = std::make_unique<Program>();
    CopyText(program->mProgramName, kProgramNameSize, name);
    if (!WriteParamValues(program->mValues)) return -1;
    mPrograms.push_back(std::move(program));
    if (mCurrentProgram < 0) mCurrentProgram = 0;
    return ProgramCount() - 1;
}

bool EffectBase::SetProgramName(const char* name) {
    ScopedLock hold(mLock);
    if (mCurrentProgram < 0 || mCurrentProgram >= ProgramCount()) return false;
    CopyText(mPrograms[size_t(mCurrentProgram)]->mProgramName, kProgramNameSize, name);
    return true;
}

const char* EffectBase::ProgramName(int32_t index) const {
    if (index < 0 || index >= ProgramCount()) return "";
    return mPrograms[size_t(index)]->mProgramName;
}

// ---------------------------------------------------------------- identity

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

// ---------------------------------------------------------------- channels

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
