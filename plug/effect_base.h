// The host-neutral plug-in base: owns the parameters, programs, channel buffers
// and the editor, and serialises every change of state behind one re-entrant lock.
// The effect derives from it; each format's adapter (plug/vst_adapter.h,
// lv2/lv2_plugin.h) holds an effect and answers its host queries through the
// HostLink it hands over (plug/host_link.h).
//
// Its work, a file each: construction, identity and host kind
// (effect_base.cpp), the parameter roads (effect_base_params.cpp), the saved
// state and programs (effect_base_state.cpp), the audio road with its channels,
// transport and MIDI (effect_base_audio.cpp), the host notes, gestures and
// put-off work (effect_base_notes.cpp), and the editor's lifetime and window
// (effect_base_editor.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/byte_block.h"
#include "plug/host_kind.h"
#include "plug/host_link.h"
#include "plug/host_outbox.h"
#include "plug/lock.h"
#include "plug/param.h"

class EditorFace;

// Identity of the loaded module. The handle is pointer-sized (64-bit handles do
// not fit 32 bits); the two reserved words are 0.
struct InstanceInfo {
    void* mModule;
    int32_t mReserved1;
    int32_t mReserved2;
};

// One MIDI event at a sample offset within the block.
struct MidiMessage {
    int32_t mOffset;
    uint8_t mStatus;
    uint8_t mData1;
    uint8_t mData2;
};

// One input or output channel of the plug-in.
struct ChannelLink {
    bool mConnected;    // the host has this channel
    double** mSlot;     // the channel's entry in the input or output pointer array
    float* mHostBuffer; // outputs: where the current 32-bit result goes in the host's buffer
    double* mRegion;    // the channel's scratch region (max block doubles)
};

// A stored set of parameter values (real values, one double per parameter).
struct Program {
    char mProgramName[256];
    ByteBlock mValues;
};

// How a host block is delivered to the host's output buffers.
enum BlockMode {
    BlockReplace,    // the result overwrites the host buffer
    BlockAccumulate, // the result is added to what the host buffer holds
};

// A saved state read from its chunk with no lock held: parsed, and whatever
// taking it in needs made ready (memory allocated and cleared), so that taking
// it in under the lock is short, bounded work (EffectBase::TakeState). What
// the load replaces is left in it, to be freed with no lock held.
class PreparedState {
public:
    virtual ~PreparedState() = default;
};

class EffectBase {
public:
    EffectBase(InstanceInfo instance, int32_t paramCount, int32_t inputs, int32_t outputs,
               const char* effectName, const char* productName, const char* vendorName,
               int32_t version, int32_t uniqueId, int32_t vendorId, int32_t delay, bool midi,
               bool mono, bool chunks, bool instrument);
    virtual ~EffectBase();
    EffectBase(const EffectBase&) = delete;
    EffectBase& operator=(const EffectBase&) = delete;

    // --- hooks and host-facing operations, in slot order
    virtual void ResetProcessing();
    virtual void ParamChanged(int32_t index);
    // Default: copies input i to output i for i below both counts, zeroes the rest.
    virtual void ProcessBlock(double** inputs, double** outputs, int32_t frames);
    virtual void EditorOpened() {}
    virtual void EditorClosed() {}
    virtual void ExtraHook() {}
    virtual void ActiveChanged(bool on);
    // Default: passes the message on to EmitMidi.
    virtual void HandleMidi(const MidiMessage* message);
    // Default: writes "" (when name is not null) and returns false.
    virtual bool KeyName(int32_t key, char* name);
    virtual bool SaveState(ByteBlock* chunk);
    virtual bool LoadState(ByteBlock* chunk);
    // Under the lock: the parameter takes the normalized value, then ParamChanged.
    // Then, with the lock released, the host hears the value the parameter took,
    // inside the open gesture (see BeginGesture) or as a gesture of its own.
    // An index out of range does nothing.
    virtual void EditorParamChange(int32_t index, double normalized);
    // The host's sample position of the frame being processed; 64-bit, as a
    // host's timeline outlasts 2^31 samples (3.1 hours at 192 kHz). These and
    // EmitMidi ask the host link; without one they read 0 and false. No host
    // is called under our lock: there the position, tempo and meter are the
    // ones asked when the host block began, before the lock was taken (see
    // ProcessFloatReplacing), and outside a block the ones last heard; MIDI
    // sent under it goes out once it is released (true: taken for sending).
    virtual int64_t TransportSample();
    virtual double TransportTempo();
    virtual void TransportMeter(int32_t& numerator, int32_t& denominator);
    // The identified host (a HostKind value): asked of the host link until it
    // answers; HostUnasked until then.
    virtual int32_t HostKind();
    // Shows every parameter to the editor, prepares its drawing surface and takes
    // ownership. Null is ignored; attaching another editor destroys the previous one.
    virtual void SetEditor(EditorFace* editor);
    // Closes the editor's window (its drawing threads end with it), then
    // deletes the editor. A derived effect whose members the editor draws calls
    // it first in its destructor, while those members are still whole; the
    // base's destructor deletes whatever editor is left.
    void DropEditor();
    // Sizes the scratch regions for blocks of n frames. n <= 0, or a size whose
    // scratch cannot be allocated, keeps the previous size.
    virtual void SetMaxBlock(int32_t n);
    // The latency in samples; the host link stores it for the host to read,
    // and a new latency is told to the host as a note (see the host notes).
    virtual void SetDelay(int32_t samples);
    virtual bool EmitMidi(const MidiMessage* message);
    // A vendor-specific request from the host; the effect's own requests are
    // told apart by index. Answers 0 (unknown) unless overridden.
    virtual intptr_t VendorRequest(int32_t index, intptr_t value, void* ptr, float opt);

    // --- the host link: the adapter that holds the effect hands itself over
    // (null: none). Set before the host calls in, cleared before the adapter goes.
    void SetHostLink(HostLink* link) { mHostLink = link; }
    HostLink* GetHostLink() const { return mHostLink; }

    // --- the editor's window, the same road for every format
    // Opens the editor's window in the host's parent window: false when there
    // is no editor, the window is open, or it cannot be opened. A window the
    // host destroyed (its frame went without a close) counts as closed.
    bool OpenEditor(void* parent);
    // Closes the window OpenEditor opened, and ends a gesture the closing cut
    // short; false when there is no editor.
    bool CloseEditor();
    // The host's idle call for an open window.
    void IdleEditor();

    // --- the saved state, the same road for every format
    // The state into chunk (cleared first), under the lock; false when the
    // effect saved nothing.
    bool SaveStateChunk(ByteBlock& chunk);
    // Loads chunk and lets the effect hear every parameter (a load that fails
    // part-way keeps the values it read), then, with the lock released,
    // StateLoaded. False when the load failed. The chunk is read with no lock
    // held (PrepareState) and taken in under it (TakeState); an effect that
    // prepares nothing loads it under the lock (LoadState, NotifyAllParams).
    bool LoadStateChunk(ByteBlock& chunk);
    // Reads chunk with no lock of ours held. Null (the default) when the
    // effect prepares nothing or the memory cannot be had.
    virtual std::unique_ptr<PreparedState> PrepareState(const ByteBlock& chunk);
    // Under the lock: takes in a state PrepareState made, and lets the effect
    // hear every parameter. False when the load failed (the default).
    virtual bool TakeState(PreparedState& state);

    // --- host entries of the audio road
    // Each runs one host block: converts or maps the host's channels, calls
    // ProcessBlock under the lock (in sub-blocks of at most MaxBlock() frames) and
    // delivers the result. frames <= 0 does nothing. A null buffer array or null
    // input channel reads as silence; a null output channel is skipped.
    void ProcessFloatReplacing(float** inputs, float** outputs, int32_t frames);
    void ProcessFloatAccumulating(float** inputs, float** outputs, int32_t frames);
    void ProcessDoubleReplacing(double** inputs, double** outputs, int32_t frames);
    // Frame offset of the sub-block being processed within the host's block
    // (0 outside processing).
    int32_t BlockOffset() const { return mBlockOffset; }

    // Host set-parameter road: under the lock the editor shows the value, the
    // parameter takes it, ParamChanged runs. A value whose 32-bit float equals
    // that of the current normalized value keeps the current value (hosts carry
    // floats). An index out of range does nothing. Off the audio threads, the
    // work the change put off is done before it returns (ServeDeferredWork).
    void HostParamChange(int32_t index, double normalized);
    // Normalized value of a parameter for the host, without the lock; 0 out of range.
    double ParamNormalized(int32_t index) const;
    // One MIDI event from the host, handed to HandleMidi under the lock.
    void ReceiveMidi(const MidiMessage* message);

    // --- what the host hears of the user's work (format-neutral; the adapter
    // maps each note to its host's calls in SendHostNote). Every note is
    // queued and delivered in order with no lock of ours held: at once when
    // the posting thread holds none, else by the next DeliverHostNotes that
    // may deliver (the end of a hold, the next editor call, the next host
    // dispatch).
    //
    // A user gesture (a mouse press to its release, a double click, a burst of
    // wheel steps, a prompt's commit) on the editor thread. Inside it, each
    // parameter changed is announced once (begin edit) before its first value
    // and let go (end edit) when the gesture ends, in the order they were
    // taken; a change of the saved state outside the parameters is told once,
    // at the end. Opening an open gesture does nothing; ending none does nothing.
    void BeginGesture();
    void EndGesture();
    bool GestureOpen() const;
    // The saved state changed outside the parameters (a shape point, a display's
    // scale): told when the open gesture ends, or at once without one. Any thread.
    void StateChanged();
    // While any hold is active nothing is delivered; the last release delivers.
    // A face whose lock is held around the editor's work holds the notes for
    // that long (the X11 face's tick).
    void HoldHostNotes();
    void ReleaseHostNotes();
    // Delivers the queued notes in order, unless this thread holds the plug-in's
    // lock, a hold is active or the notes wait for the audio road. Any thread;
    // one thread delivers at a time.
    void DeliverHostNotes();
    // For a host whose other threads lack what its edit handlers need, the
    // notes wait in the queue and go out from the audio road: at the start of
    // the next processing call, before the plug-in's lock is taken. (Ardour's
    // Linux VST host calls editor-idle from a thread of its own and, when a
    // parameter is touched, reads its tempo map, which only its audio and
    // user interface threads hold.) While they wait, a new value replaces the
    // queued value of the same parameter that came just before it. Off by
    // default; any thread.
    void SetNotesWaitForAudio(bool on) { mNotesWaitForAudio.store(on); }
    bool NotesWaitForAudio() const { return mNotesWaitForAudio.load(); }
    // Notes lost to a full queue (see HostOutbox).
    int64_t DroppedHostNotes() const { return mOutbox.Dropped(); }

    // --- work put off from the audio thread
    // Slow work the effect may not do where it is asked for, under the lock or
    // on the audio thread (an autofit the host switched on from there), waits
    // for a thread that may do it: every road that is off the audio thread
    // calls this with no lock of ours held (the host's user-interface
    // requests, the editor's changes and the end of its ticks, a host
    // parameter change from another thread, LV2's worker). Does nothing when
    // this thread holds the plug-in's lock, or when no work was asked for.
    void ServeDeferredWork();
    // The calling thread ran the audio road lately (hosts may move it between
    // a few threads; the last four are kept).
    bool OnAudioThread() const;

    // --- non-virtual operations
    void SetSampleRate(double rate);
    // ParamChanged for every parameter in order, then ResetProcessing, under the lock.
    void NotifyAllParams();
    // Appends each parameter's real value as a double. False if allocation failed.
    bool WriteParamValues(ByteBlock& chunk);
    // Reads one double per parameter from position on (clamped, shown to the
    // editor, ParamChanged). False when the block ends early; values read stay.
    bool ReadParamValues(const ByteBlock& chunk, int& position);
    // Stores the current values in the current program, if there is one.
    void StoreCurrentProgram();
    // Loads program index; false when out of range.
    bool RecallProgram(int32_t index);
    // Appends a program holding the current values; returns its index or -1.
    int32_t AddProgram(const char* name);
    int32_t ProgramCount() const { return static_cast<int32_t>(mPrograms.size()); }
    int32_t CurrentProgram() const { return mCurrentProgram; }
    // Renames the current program (cut to 255 characters); false if there is none.
    bool SetProgramName(const char* name);
    // Name of program index, "" out of range.
    const char* ProgramName(int32_t index) const;
    // "v1.1.1", "v1.1" or "v1" into text (capacity bytes, terminated).
    void VersionText(char* text, int capacity) const;
    // Classifies the host and stores its kind and packed version.
    void SetHost(const char* vendor, const char* product, int32_t decimalVersion);
    // Marks links first .. first+count-1 (clamped to the declared channels).
    void SetInputsConnected(int32_t first, int32_t count, bool on);
    void SetOutputsConnected(int32_t first, int32_t count, bool on);

    // --- accessors
    const InstanceInfo& Instance() const { return mInstance; }
    const char* EffectName() const { return mEffectName; }
    const char* ProductName() const { return mProductName; }
    const char* VendorName() const { return mVendorName; }
    int32_t UniqueId() const { return mUniqueId; }
    int32_t VendorId() const { return mVendorId; }
    int32_t Version() const { return mVersion; }
    int32_t HostVersion() const { return mHostVersion; }
    bool UsesChunks() const { return mUsesChunks; }
    double SampleRate() const { return mSampleRate; }
    int32_t MaxBlock() const { return mMaxBlock; }
    int32_t Delay() const { return mDelay; }
    int32_t ParamCount() const { return static_cast<int32_t>(mParams.size()); }
    // Parameter index, or null out of range.
    Param* ParamAt(int32_t index);
    const Param* ParamAt(int32_t index) const;
    int32_t InputCount() const { return static_cast<int32_t>(mInChannels.size()); }
    int32_t OutputCount() const { return static_cast<int32_t>(mOutChannels.size()); }
    bool InputConnected(int32_t index) const;
    bool OutputConnected(int32_t index) const;
    EditorFace* GetEditor() const { return mEditor; }
    // The plug-in's lock, for operations that exchange data with the effect.
    Lock& FrameLock() { return mLock; }
    // Constructor flags kept for the host adapter.
    bool MidiFlag() const { return mMidiFlag; }
    bool MonoFlag() const { return mMonoFlag; }
    bool InstrumentFlag() const { return mInstrumentFlag; }

protected:
    // Tells the host one note; called with no lock of ours held. Default: the
    // host link's.
    virtual void SendHostNote(const HostNote& note);
    // Opens the editor's window inside the host's parent window; false when it
    // cannot.
    virtual bool OpenEditorWindow(void* parent);
    // Closes the window opened by OpenEditorWindow.
    virtual void CloseEditorWindow();
    // After a state load, once the lock is released: the place to tell the
    // host what the load changed. Does nothing by default.
    virtual void StateLoaded() {}
    // Asks for DoDeferredWork at the next ServeDeferredWork. Any thread, the
    // audio thread and the lock's holder included: it only sets a flag.
    void AskForDeferredWork() { mWorkAsked.store(true); }
    // The work put off from the audio thread (see ServeDeferredWork); called
    // with no lock of ours held, after AskForDeferredWork. Nothing by default.
    virtual void DoDeferredWork() {}
    void PostHostNote(HostNoteKind kind, int32_t index, double value);

    InstanceInfo mInstance;
    char mEffectName[128];
    char mProductName[128];
    char mVendorName[128];
    int32_t mUniqueId;
    int32_t mVendorId;
    int32_t mVersion;
    int32_t mHostKind;
    int32_t mHostVersion;
    bool mUsesChunks;
    double mSampleRate;
    int32_t mMaxBlock;
    int32_t mDelay;
    std::vector<std::unique_ptr<Param>> mParams;
    EditorFace* mEditor;
    std::vector<std::unique_ptr<Program>> mPrograms;
    int32_t mCurrentProgram;
    std::vector<double*> mInPtrs;
    std::vector<double*> mOutPtrs;
    ByteBlock mScratch;
    std::vector<std::unique_ptr<ChannelLink>> mInChannels;
    std::vector<std::unique_ptr<ChannelLink>> mOutChannels;
    Lock mLock;

private:
    void SetConnected(std::vector<std::unique_ptr<ChannelLink>>& links, int32_t first,
                      int32_t count, bool on);
    template <typename T>
    void ProcessHostBlock(T** inputs, T** outputs, int32_t frames, BlockMode mode);
    template <typename T>
    void ProcessSubBlock(T** inputs, T** outputs, int32_t offset, int32_t frames, BlockMode mode);
    // Keeps the calling thread among the audio threads (OnAudioThread).
    void NoteAudioThread();
    // Takes the MIDI held while the lock was held (call under it) into out;
    // returns how many.
    int TakeHeldMidi(MidiMessage* out);
    void SendMidi(const MidiMessage* messages, int count);

    // The gesture: guarded by mGestureLock (StateChanged may come from any thread).
    mutable std::mutex mGestureLock;
    bool mGestureOpen = false;
    bool mGestureStateChanged = false;
    std::vector<uint8_t> mGestureTaken; // per parameter: begin edit told
    std::vector<int32_t> mGestureOrder; // parameters in the order taken
    HostOutbox mOutbox;
    std::atomic<int> mNoteHolds{0};
    std::atomic<bool> mDelivering{false};
    std::atomic<bool> mNotesWaitForAudio{false};
    // The queued notes in order, with the checks of DeliverHostNotes but
    // whatever the thread.
    void DeliverQueuedNotes();

    bool mMidiFlag;
    bool mMonoFlag;
    bool mInstrumentFlag;
    int32_t mBlockOffset = 0;
    // The transport as asked of the host link with no lock of ours held: the
    // position of the running host block's first frame (written under the
    // lock), and the tempo and meter last heard (any thread).
    int64_t mBlockSample = 0;
    std::atomic<double> mLastTempo{0.0};
    std::atomic<int32_t> mLastNumerator{0};
    std::atomic<int32_t> mLastDenominator{0};
    HostLink* mHostLink = nullptr;
    bool mEditorWindowOpen = false;
    // Work asked for and not yet begun (AskForDeferredWork).
    std::atomic<bool> mWorkAsked{false};
    // The threads that ran the audio road lately, newest written at mNextAudioSlot.
    static constexpr int kAudioThreadSlots = 4;
    std::atomic<uintptr_t> mAudioThreads[kAudioThreadSlots] = {};
    std::atomic<int> mNextAudioSlot{0};
    // MIDI sent while the lock was held, guarded by it; sent once it is released.
    static constexpr int kHeldMidiCapacity = 64;
    MidiMessage mHeldMidi[kHeldMidiCapacity] = {};
    int mHeldMidiCount = 0;
};

// Holds an effect's host notes for the lifetime of the object (null: nothing).
// Made before a lock of the editor's is taken, so it is let go after it.
class ScopedNoteHold {
public:
    explicit ScopedNoteHold(EffectBase* effect) : mEffect(effect) {
        if (mEffect) mEffect->HoldHostNotes();
    }
    ~ScopedNoteHold() {
        if (mEffect) mEffect->ReleaseHostNotes();
    }
    ScopedNoteHold(const ScopedNoteHold&) = delete;
    ScopedNoteHold& operator=(const ScopedNoteHold&) = delete;

private:
    EffectBase* mEffect;
};

// Defined by every plug-in binary: creates its effect, which the format's entry
// point hands to its adapter. May return null or throw; the entry point then
// gives the host no effect.
EffectBase* CreateEffectInstance(const InstanceInfo& instance);
