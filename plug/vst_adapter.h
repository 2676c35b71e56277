// Binds an effect to a VST 2.4 host: holds the effect, fills the effect record
// the host holds, maps the dispatcher's opcodes and the record's entries onto
// the effect, and is the effect's host link, answered with host callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/byte_block.h"
#include "plug/effect_base.h"
#include "plug/host_link.h"
#include "plug/module_handle.h"
#include "plug/vst_abi.h"

// Bounds of the texts copied into host buffers, terminator included. Hosts pass
// buffers of 64 to 256 bytes whatever the nominal sizes say, so parameter texts
// get our own field size (kParamTextSize) and never more; the other texts keep
// the nominal sizes, which our names fit.
constexpr size_t kHostParamTextBound = kParamTextSize;
constexpr size_t kHostProgramNameBound = kVstProgramNameSize;
constexpr size_t kHostEffectNameBound = kVstEffectNameSize;
constexpr size_t kHostVendorTextBound = kVstVendorTextSize;

// The editor rectangle handed to the host: four int16 values.
struct VstEditorRect {
    int16_t top;
    int16_t left;
    int16_t bottom;
    int16_t right;
};

class VstAdapter : public HostLink {
public:
    // Takes the effect and starts it as a host finds it: every channel
    // connected, blocks of up to 1024 frames until the host says.
    explicit VstAdapter(std::unique_ptr<EffectBase> effect);
    // Over an effect its owner keeps and has prepared (tests, harnesses).
    explicit VstAdapter(EffectBase& effect);
    ~VstAdapter() override;
    VstAdapter(const VstAdapter&) = delete;
    VstAdapter& operator=(const VstAdapter&) = delete;

    EffectBase& Effect() { return *mEffect; }
    // The record whose address the entry point hands to the host.
    VstEffectRecord* Record() { return &mEffectRecord; }
    // The adapter behind a record, or null for a null record or object.
    static VstAdapter* FromRecord(VstEffectRecord* effect);

    // The dispatcher's work for this instance. Opcode 1 (close) deletes the
    // adapter, and with it the effect it owns: the adapter must come from new.
    intptr_t Dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);

    // --- the effect's host link, answered with host callbacks
    int64_t TransportSample(int32_t offset) override;
    double TransportTempo() override;
    void TransportMeter(int32_t& numerator, int32_t& denominator) override;
    bool IdentifyHost(char* vendor, char* product, size_t size, int32_t& decimalVersion) override;
    bool EmitMidi(const MidiMessage& message) override;
    // Automate (0), begin edit (43), end edit (44); a change of the saved state
    // outside the parameters is "update display" (42), which VST 2.4 hosts
    // take as "the project changed".
    void SendHostNote(const HostNote& note) override;
    // "I/O changed": hosts read the record (its initial delay) again.
    void TellLatencyChanged() override;
    // The record's initial delay.
    void LatencySet(int32_t samples) override;
    // The record's editor flag.
    void EditorAttached() override;

private:
    void FillRecord();
    // Which thread tells the host the notes of the user's work: the one they
    // happen on, or the audio thread for a host that needs it (HostArdour).
    void ChooseNoteRoad();
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

    std::unique_ptr<EffectBase> mOwned; // null over an effect kept by its owner
    EffectBase* mEffect;
    ByteBlock mStateChunk; // the last state handed to the host
    VstEffectRecord mEffectRecord;
};

// The callback of the host that called the entry point last; every instance of
// the module uses it. Null until the entry point runs.
void SetModuleHostCallback(VstHostCallback host);
VstHostCallback ModuleHostCallback();

// Copies text into a host buffer of bound bytes: cut, always terminated. A null
// text reads as "". False (nothing written) for a null buffer.
bool CopyToHost(void* buffer, size_t bound, const char* text);
