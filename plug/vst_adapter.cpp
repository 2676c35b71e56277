#include "plug/vst_adapter.h"

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "plug/editor_face.h"

namespace {

std::atomic<VstHostCallback> sHostCallback{nullptr};

// One rectangle for the whole module, filled from the first editor asked about.
std::once_flag sEditorRectOnce;
VstEditorRect sEditorRect = {0, 0, 0, 0};

int16_t ToInt16(int32_t v) {
    return int16_t(v < 0 ? 0 : (v > INT16_MAX ? INT16_MAX : v));
}

// The record's entries: each finds its adapter through the record's object field.
intptr_t KELO_VSTCALL DispatcherEntry(VstEffectRecord* effect, int32_t opcode, int32_t index,
                                      intptr_t value, void* ptr, float opt) {
    VstAdapter* adapter = VstAdapter::FromRecord(effect);
    if (!adapter) return 0;
    // Nothing may unwind into the host; a failed allocation answers 0.
    try {
        return adapter->Dispatch(opcode, index, value, ptr, opt);
    } catch (...) {
        return 0;
    }
}

void KELO_VSTCALL ProcessAccumulatingEntry(VstEffectRecord* effect, float** inputs, float** outputs,
                                           int32_t frames) {
    if (VstAdapter* adapter = VstAdapter::FromRecord(effect))
        adapter->Effect().ProcessFloatAccumulating(inputs, outputs, frames);
}

void KELO_VSTCALL ProcessReplacingEntry(VstEffectRecord* effect, float** inputs, float** outputs,
                                        int32_t frames) {
    if (VstAdapter* adapter = VstAdapter::FromRecord(effect))
        adapter->Effect().ProcessFloatReplacing(inputs, outputs, frames);
}

void KELO_VSTCALL ProcessDoubleEntry(VstEffectRecord* effect, double** inputs, double** outputs,
                                     int32_t frames) {
    if (VstAdapter* adapter = VstAdapter::FromRecord(effect))
        adapter->Effect().ProcessDoubleReplacing(inputs, outputs, frames);
}

void KELO_VSTCALL SetParameterEntry(VstEffectRecord* effect, int32_t index, float value) {
    VstAdapter* adapter = VstAdapter::FromRecord(effect);
    // NaN carries no value: the parameter keeps the one it has.
    if (adapter && !std::isnan(value)) adapter->Effect().HostParamChange(index, value);
}

float KELO_VSTCALL GetParameterEntry(VstEffectRecord* effect, int32_t index) {
    VstAdapter* adapter = VstAdapter::FromRecord(effect);
    return adapter ? float(adapter->Effect().ParamNormalized(index)) : 0.0f;
}

// The host's block size held to 0..kMaxHostBlockSize; SetMaxBlock ignores 0.
int32_t HostBlockSize(intptr_t value) {
    if (value < 0) return 0;
    return value > kMaxHostBlockSize ? kMaxHostBlockSize : int32_t(value);
}

int32_t DecimalVersion(int32_t packed) {
    return (packed >> 16) * 10000 + ((packed >> 8) & 0xFF) * 100 + (packed & 0xFF);
}

} // namespace

void SetModuleHostCallback(VstHostCallback host) {
    sHostCallback.store(host);
}

VstHostCallback ModuleHostCallback() {
    return sHostCallback.load();
}

bool CopyToHost(void* buffer, size_t bound, const char* text) {
    if (!buffer || bound == 0) return false;
    if (!text) text = "";
    size_t n = 0;
    while (n + 1 < bound && text[n] != '\0')
        ++n;
    std::memcpy(buffer, text, n);
    static_cast<char*>(buffer)[n] = '\0';
    return true;
}

VstAdapter::VstAdapter(std::unique_ptr<EffectBase> effect)
    : mOwned(std::move(effect)), mEffect(mOwned.get()) {
    mEffect->SetInputsConnected(0, mEffect->InputCount(), true);
    mEffect->SetOutputsConnected(0, mEffect->OutputCount(), true);
    mEffect->SetMaxBlock(1024);
    FillRecord();
}

VstAdapter::VstAdapter(EffectBase& effect) : mEffect(&effect) {
    FillRecord();
}

void VstAdapter::FillRecord() {
    EffectBase& fx = *mEffect;
    std::memset(&mEffectRecord, 0, sizeof mEffectRecord);
    VstEffectRecord& r = mEffectRecord;
    r.magic = kVstMagic;
    r.dispatcher = &DispatcherEntry;
    r.process = &ProcessAccumulatingEntry;
    r.setParameter = &SetParameterEntry;
    r.getParameter = &GetParameterEntry;
    r.numPrograms = fx.ProgramCount();
    r.numParams = fx.ParamCount();
    r.numInputs = fx.InputCount();
    r.numOutputs = fx.OutputCount();
    r.flags = kVstFlagCanReplacing | kVstFlagCanDoubleReplacing;
    if (fx.GetEditor()) r.flags |= kVstFlagHasEditor;
    if (fx.UsesChunks()) r.flags |= kVstFlagProgramChunks;
    if (fx.MonoFlag()) r.flags |= kVstFlagCanMono;
    if (fx.InstrumentFlag()) r.flags |= kVstFlagInstrument;
    r.initialDelay = fx.Delay();
    r.ioRatio = 1.0f;
    r.object = this;
    r.uniqueId = fx.UniqueId();
    r.version = DecimalVersion(fx.Version());
    r.processReplacing = &ProcessReplacingEntry;
    r.processDoubleReplacing = &ProcessDoubleEntry;
    fx.SetHostLink(this);
}

VstAdapter::~VstAdapter() {
    // The effect goes first, while its host link is whole (its editor may
    // still tell the host the last of the user's work).
    if (mOwned)
        mOwned.reset();
    else
        mEffect->SetHostLink(nullptr);
    // A host that keeps the record past closing finds no object behind it.
    mEffectRecord.object = nullptr;
    mEffectRecord.magic = 0;
}

VstAdapter* VstAdapter::FromRecord(VstEffectRecord* effect) {
    return effect ? static_cast<VstAdapter*>(effect->object) : nullptr;
}

intptr_t VstAdapter::Dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    if (opcode == kVstOpClose) return DispatchOne(opcode, index, value, ptr, opt);
    // These reset the processing, which reads the host's tempo under our lock,
    // where the host is not called: it is heard here, before.
    if (opcode == kVstOpOpen || opcode == kVstOpSetSampleRate || opcode == kVstOpSetBlockSize ||
        opcode == kVstOpMainsChanged)
        mEffect->TransportTempo();
    const intptr_t answer = DispatchOne(opcode, index, value, ptr, opt);
    // Notes queued while a lock of ours was held (a hook that pushed a value)
    // reach the host here at the latest, on the host's own call.
    mEffect->DeliverHostNotes();
    return answer;
}

intptr_t VstAdapter::DispatchOne(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                 float opt) {
    EffectBase& fx = *mEffect;
    switch (opcode) {
    case kVstOpOpen:
        fx.NotifyAllParams();
        ChooseNoteRoad();
        return 0;
    case kVstOpClose:
        // A host may close the plug-in with its editor still open: the
        // window goes first, while the effect behind it is whole.
        DispatchOne(kVstOpEditorClose, 0, 0, nullptr, 0.0f);
        fx.DeliverHostNotes(); // the last of what the user did
        delete this;
        return 0;
    case kVstOpSetProgram: {
        fx.StoreCurrentProgram();
        const bool inRange = value >= INT32_MIN && value <= INT32_MAX;
        return inRange && fx.RecallProgram(int32_t(value)) ? 1 : 0;
    }
    case kVstOpGetProgram:
        return fx.CurrentProgram();
    case kVstOpSetProgramName:
        if (!ptr) return 0;
        fx.SetProgramName(static_cast<const char*>(ptr));
        return 1;
    case kVstOpGetProgramName:
        return CopyToHost(ptr, kHostProgramNameBound, fx.ProgramName(fx.CurrentProgram())) ? 1 : 0;
    case kVstOpGetParamLabel: {
        const Param* param = fx.ParamAt(index);
        CopyToHost(ptr, kHostParamTextBound, param ? param->Unit() : "");
        return 0;
    }
    case kVstOpGetParamDisplay: {
        const Param* param = fx.ParamAt(index);
        if (param && ptr)
            param->FormatValue(static_cast<char*>(ptr), int(kHostParamTextBound));
        else
            CopyToHost(ptr, kHostParamTextBound, "");
        return 0;
    }
    case kVstOpGetParamName: {
        const Param* param = fx.ParamAt(index);
        CopyToHost(ptr, kHostParamTextBound, param ? param->Name() : "");
        return 0;
    }
    case kVstOpSetSampleRate:
        // A rate that is not a positive number would poison every filter.
        if (std::isfinite(opt) && opt > 0.0f) fx.SetSampleRate(opt);
        fx.ResetProcessing();
        return 0;
    case kVstOpSetBlockSize:
        fx.SetMaxBlock(HostBlockSize(value));
        fx.ResetProcessing();
        return 0;
    case kVstOpMainsChanged:
        fx.ActiveChanged(value != 0);
        if (value == 0) fx.ResetProcessing();
        return 0;
    case kVstOpEditorGetRect:
        return EditorRect(ptr);
    case kVstOpEditorOpen:
        ChooseNoteRoad(); // before the first gesture, whatever the host said at open
        return fx.OpenEditor(ptr) ? 1 : 0;
    case kVstOpEditorClose:
        return fx.CloseEditor() ? 1 : 0;
    case kVstOpEditorIdle:
        fx.IdleEditor();
        return 0;
    case kVstOpIdle:
        return 0;
    case kVstOpIdentify:
        return kVstIdentify;
    case kVstOpGetChunk:
        return GetChunk(ptr);
    case kVstOpSetChunk:
        return SetChunk(value, ptr);
    case kVstOpProcessEvents:
        return ProcessEvents(static_cast<const VstEvents*>(ptr));
    case kVstOpCanBeAutomated:
        return fx.ParamAt(index) ? 1 : 0;
    case kVstOpGetProgramNameIndexed: {
        const char* name = fx.ProgramName(index);
        return CopyToHost(ptr, kHostProgramNameBound, name) && name[0] != '\0' ? 1 : 0;
    }
    case kVstOpGetInputProperties:
        return PinProperties(index, ptr, true);
    case kVstOpGetOutputProperties:
        return PinProperties(index, ptr, false);
    case kVstOpGetCategory:
        return kVstCategoryEffect;
    case kVstOpSetSpeakerArrangement:
        SetArrangement(reinterpret_cast<const VstSpeakerArrangementHead*>(value), true);
        SetArrangement(static_cast<const VstSpeakerArrangementHead*>(ptr), false);
        return 1;
    case kVstOpGetEffectName:
        return CopyToHost(ptr, kHostEffectNameBound, fx.EffectName()) ? 1 : 0;
    case kVstOpGetVendorString:
        return CopyToHost(ptr, kHostVendorTextBound, fx.VendorName()) ? 1 : 0;
    case kVstOpGetProductString:
        return CopyToHost(ptr, kHostVendorTextBound, fx.ProductName()) ? 1 : 0;
    case kVstOpVendorSpecific:
        return fx.VendorRequest(index, value, ptr, opt);
    case kVstOpCanDo:
        return CanDo(static_cast<const char*>(ptr));
    case kVstOpGetVstVersion:
        return kVstVersion;
    case kVstOpGetMidiKeyName: {
        VstKeyName* key = static_cast<VstKeyName*>(ptr);
        if (!key) return 0;
        key->keyName[0] = '\0';
        return fx.KeyName(key->keyNumber, key->keyName) ? 1 : 0;
    }
    default:
        return 0;
    }
}

void VstAdapter::ChooseNoteRoad() {
    // Ardour's Linux VST host calls editor-idle, where the editor's gestures
    // happen, from a thread whose begin-edit handling crashes it (it reads a
    // tempo map that thread does not have); its audio thread has one.
    mEffect->SetNotesWaitForAudio(mEffect->HostKind() == HostArdour);
}

intptr_t VstAdapter::GetChunk(void* ptr) {
    if (!ptr) return 0;
    // The save and the handing over of its bytes are one step for other threads.
    ScopedLock hold(mEffect->FrameLock());
    if (!mEffect->SaveStateChunk(mStateChunk)) return 0;
    *static_cast<void**>(ptr) = mStateChunk.Bytes();
    return mStateChunk.Size();
}

intptr_t VstAdapter::SetChunk(intptr_t size, const void* data) {
    if (size < 0 || size > kMaxHostChunkSize || (size > 0 && !data)) return 0;
    // The bytes go through a fresh block: hosts may hand back the very address
    // the last save gave them.
    ByteBlock incoming;
    if (!incoming.SetLength(int32_t(size))) return 0;
    if (size > 0) std::memcpy(incoming.Bytes(), data, size_t(size));
    return mEffect->LoadStateChunk(incoming) ? 1 : 0;
}

intptr_t VstAdapter::ProcessEvents(const VstEvents* list) {
    if (!list) return 0;
    // The pointer array holds numEvents entries, more than the two declared.
    VstEvent* const* events = list->events;
    for (int32_t i = 0; i < list->numEvents; ++i) {
        VstEvent* event = events[i];
        if (!event) continue;
        if (event->type == kVstEventMidi) {
            const VstMidiEvent* midi = reinterpret_cast<const VstMidiEvent*>(event);
            MidiMessage message = {midi->deltaFrames, midi->midiData[0], midi->midiData[1],
                                   midi->midiData[2]};
            mEffect->ReceiveMidi(&message);
        } else {
            VstEvents single = {};
            single.numEvents = 1;
            single.events[0] = event;
            CallHost(kVstHostProcessEvents, 0, 0, &single, 0.0f);
        }
    }
    return 1;
}

intptr_t VstAdapter::PinProperties(int32_t index, void* ptr, bool input) {
    const int32_t count = input ? mEffect->InputCount() : mEffect->OutputCount();
    if (!ptr || index < 0 || index >= count) return 0;
    VstPinProperties* pin = static_cast<VstPinProperties*>(ptr);
    std::snprintf(pin->label, sizeof pin->label, input ? "Input %d" : "Output %d", int(index));
    // Even pins start a stereo pair with the odd pin after them.
    pin->flags = index % 2 == 0 ? (kVstPinActive | kVstPinStereo) : kVstPinActive;
    return 1;
}

void VstAdapter::SetArrangement(const VstSpeakerArrangementHead* arrangement, bool input) {
    if (!arrangement) return;
    const int32_t count = input ? mEffect->InputCount() : mEffect->OutputCount();
    int32_t n = arrangement->numChannels;
    n = n < 0 ? 0 : (n > count ? count : n);
    if (input) {
        mEffect->SetInputsConnected(0, n, true);
        mEffect->SetInputsConnected(n, count - n, false);
    } else {
        mEffect->SetOutputsConnected(0, n, true);
        mEffect->SetOutputsConnected(n, count - n, false);
    }
}

intptr_t VstAdapter::CanDo(const char* text) const {
    if (!text) return 0;
    // strcmp stops at the first difference: at most one byte past our own texts'
    // length is read, however long or unterminated the host's text is.
    auto is = [text](const char* known) { return std::strcmp(text, known) == 0; };
    if (is("receiveVstTimeInfo")) return 1;
    if (is("sendVstEvents") || is("sendVstMidiEvent") || is("receiveVstEvents") ||
        is("receiveVstMidiEvent"))
        return mEffect->MidiFlag() ? 1 : 0;
    if (is("hasCockosExtensions") || is("hasCockosViewAsConfig")) return kVstCockosAnswer;
    return 0;
}

intptr_t VstAdapter::EditorRect(void* ptr) {
    EditorFace* editor = mEffect->GetEditor();
    if (!editor || !ptr) return 0;
    std::call_once(sEditorRectOnce, [editor] {
        sEditorRect.bottom = ToInt16(editor->ViewHeight());
        sEditorRect.right = ToInt16(editor->ViewWidth());
    });
    *static_cast<VstEditorRect**>(ptr) = &sEditorRect;
    return 1;
}

void VstAdapter::SendHostNote(const HostNote& note) {
    switch (note.kind) {
    case HostNoteKind::Automate:
        if (mEffect->ParamAt(note.index))
            CallHost(kVstHostAutomate, note.index, 0, nullptr, float(note.value));
        break;
    case HostNoteKind::BeginEdit:
        if (mEffect->ParamAt(note.index)) CallHost(kVstHostBeginEdit, note.index, 0, nullptr, 0.0f);
        break;
    case HostNoteKind::EndEdit:
        if (mEffect->ParamAt(note.index)) CallHost(kVstHostEndEdit, note.index, 0, nullptr, 0.0f);
        break;
    case HostNoteKind::StateChanged:
        CallHost(kVstHostUpdateDisplay, 0, 0, nullptr, 0.0f);
        break;
    }
}

const VstTimeInfo* VstAdapter::HostTime(int32_t mask) {
    return reinterpret_cast<const VstTimeInfo*>(CallHost(kVstHostGetTime, 0, mask, nullptr, 0));
}

int64_t VstAdapter::TransportSample(int32_t offset) {
    const VstTimeInfo* time = HostTime(0);
    if (!time || !(time->samplePos >= 0.0)) return 0;
    // Positions past the int64 range (no timeline reaches them) stay at its end.
    const double position = std::floor(time->samplePos) + offset;
    return position >= 9.2e18 ? INT64_MAX : int64_t(position);
}

double VstAdapter::TransportTempo() {
    const VstTimeInfo* time = HostTime(kVstTimeTempoValid);
    if (!time || !(time->flags & kVstTimeTempoValid)) return 0.0;
    const double tempo = time->tempo;
    return std::isfinite(tempo) && tempo >= 0.0 ? tempo : 0.0;
}

void VstAdapter::TransportMeter(int32_t& numerator, int32_t& denominator) {
    numerator = 0;
    denominator = 0;
    const VstTimeInfo* time = HostTime(kVstTimeSignatureValid);
    if (!time || !(time->flags & kVstTimeSignatureValid)) return;
    if (time->timeSigNumerator < 0 || time->timeSigDenominator < 0) return;
    numerator = time->timeSigNumerator;
    denominator = time->timeSigDenominator;
}

bool VstAdapter::IdentifyHost(char* vendor, char* product, size_t size, int32_t& decimalVersion) {
    // The host writes up to 256 bytes whatever it is told.
    char v[256] = {};
    char p[256] = {};
    const bool vendorAnswered = CallHost(kVstHostGetVendorString, 0, 0, v, 0) != 0;
    const bool productAnswered = CallHost(kVstHostGetProductString, 0, 0, p, 0) != 0;
    // A host that filled the whole buffer still leaves us a terminated text.
    v[sizeof v - 1] = '\0';
    p[sizeof p - 1] = '\0';
    if (!vendorAnswered || !productAnswered || (v[0] == '\0' && p[0] == '\0')) return false;
    const intptr_t version = CallHost(kVstHostGetVendorVersion, 0, 0, nullptr, 0);
    decimalVersion = int32_t(version < 0 || version > INT32_MAX ? 0 : version);
    CopyToHost(vendor, size, v);
    CopyToHost(product, size, p);
    return true;
}

void VstAdapter::EditorAttached() {
    mEffectRecord.flags |= kVstFlagHasEditor;
}

void VstAdapter::LatencySet(int32_t samples) {
    mEffectRecord.initialDelay = samples;
}

bool VstAdapter::EmitMidi(const MidiMessage& message) {
    VstMidiEvent event = {};
    event.type = kVstEventMidi;
    event.byteSize = int32_t(sizeof event);
    event.deltaFrames = message.mOffset;
    event.midiData[0] = message.mStatus;
    event.midiData[1] = message.mData1;
    event.midiData[2] = message.mData2;
    VstEvents list = {};
    list.numEvents = 1;
    list.events[0] = reinterpret_cast<VstEvent*>(&event);
    return CallHost(kVstHostProcessEvents, 0, 0, &list, 0.0f) == 1;
}

void VstAdapter::TellLatencyChanged() {
    CallHost(kVstHostIoChanged, 0, 0, nullptr, 0.0f);
}

intptr_t VstAdapter::CallHost(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
    VstHostCallback host = ModuleHostCallback();
    return host ? host(&mEffectRecord, opcode, index, value, ptr, opt) : 0;
}
