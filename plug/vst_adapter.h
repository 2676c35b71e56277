// Binds an EffectBase to a VST 2.4 host: fills the effect record the host holds,
// answers the dispatcher, routes the parameter and processing entries into the
// base, and implements the transport, MIDI output and host queries with host
// callbacks. The effect class derives from VstAdapter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_block.h"
#include "plug/effect_base.h"
#include "plug/vst_abi.h"

// Bounds of the texts copied into host buffers, terminator included. Hosts pass
// buffers of 64 to 256 bytes whatever the nominal sizes say, so parameter texts
// get our own field size (kParamTextSize) and never more; the other texts keep
// the nominal sizes, which our names fit.
constexpr size_t kHostParamTextBound = kParamTextSize;
constexpr size_t kHostProgramNameBound = kVstProgramNameSize;
constexpr size_t kHostEffectNameBound = kVstEffectNameSize;
constexpr size_t kHostVendorTextBound = kVstVendorTextSize;

// Largest block size taken from the host; larger host blocks are processed in
// pieces of this size, so the scratch memory stays bounded.
constexpr int32_t kMaxHostBlockSize = 65536;
// Largest state chunk accepted from the host (no state of ours comes near it).
constexpr intptr_t kMaxHostChunkSize = intptr_t(1) << 30;

// The editor rectangle handed to the host: four int16 values.
struct VstEditorRect {
    int16_t top;
    int16_t left;
    int16_t bottom;
    int16_t right;
};

class VstAdapter : public EffectBase {
public:
    VstAdapter(InstanceInfo instance, int32_t paramCount, int32_t inputs, int32_t outputs,
               const char* effectName, const char* productName, const char* vendorName,
               int32_t version, int32_t uniqueId, int32_t vendorId, int32_t delay, bool midi,
               bool mono, bool chunks, bool instrument);
    ~VstAdapter() override;

    // The record whose address the entry point hands to the host.
    VstEffectRecord* Record() { return &mEffectRecord; }
    // The adapter behind a record, or null for a null record or object.
    static VstAdapter* FromRecord(VstEffectRecord* effect);

    // The dispatcher's work for this instance (opcode 1 deletes the object).
    intptr_t Dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);

    // --- overrides of the base
    int64_t TransportSample() override;
    double TransportTempo() override;
    void TransportMeter(int32_t& numerator, int32_t& denominator) override;
    int32_t HostKind() override;
    void SetEditor(EditorFace* editor) override;
    void SetDelay(int32_t samples) override;
    bool EmitMidi(const MidiMessage* message) override;

protected:
    // Automate (0), begin edit (43), end edit (44); a change of the saved state
    // outside the parameters is "update display" (42), which VST 2.4 hosts
    // take as "the project changed".
    void SendHostNote(const HostNote& note) override;
    // Opens the editor's window inside the host's parent window; false when it
    // cannot.
    virtual bool OpenEditorWindow(void* parent);
    // Closes the window opened by OpenEditorWindow.
    virtual void CloseEditorWindow();
    // The host's vendor-specific request (opcode 50); the effect's own
    // requests are told apart by index. Answers 0 (unknown) unless overridden.
    virtual intptr_t VendorRequest(int32_t index, intptr_t value, void* ptr, float opt);
    // Tells the host that the I/O changed (the latency in the record, for
    // one): hosts read the record again. Never from the audio thread, never with
    // a lock of ours held; a host that ignores it is not harmed.
    void TellHostIoChanged();
    // After a state load from the host, once the lock is released: the place to
    // tell the host what the load changed. Does nothing by default.
    virtual void StateLoaded() {}

    bool mMidiIo;
    ByteBlock mStateChunk;
    VstEffectRecord mEffectRecord;

private:
    intptr_t DispatchOne(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);
    intptr_t GetChunk(void* ptr);
    intptr_t SetChunk(intptr_t size, const void* data);
    intptr_t ProcessEvents(const VstEvents* events);
    intptr_t PinProperties(int32_t index, void* ptr, bool input);
    void SetArrangement(const VstSpeakerArrangementHead* arrangement, bool input);
    intptr_t CanDo(const char* text) const;
    intptr_t EditorRect(void* ptr);
    // Asks the host for the transport with the given filter mask; null if none.
    const VstTimeInfo* HostTime(int32_t mask);
    intptr_t CallHost(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);

    bool mEditorWindowOpen = false;
};

// The callback of the host that called the entry point last; every instance of
// the module uses it. Null until the entry point runs.
void SetModuleHostCallback(VstHostCallback host);
VstHostCallback ModuleHostCallback();

// Copies text into a host buffer of bound bytes: cut, always terminated. A null
// text reads as "". False (nothing written) for a null buffer.
bool CopyToHost(void* buffer, size_t bound, const char* text);

// Defined by every plug-in binary: creates its effect. May return null or throw;
// the entry point then gives the host no effect.
VstAdapter* CreateEffectInstance(const InstanceInfo& instance);

// The handle of the module this code is linked into (platform file).
void* CurrentModuleHandle();
