#include "lv2/lv2_plugin.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/time/time.h>

#include "base/byte_block.h"
#include "editor/editor.h"
#include "effect/ui/kelo_plugin.h"
#include "plug/lock.h"
#include "plug/module_handle.h"
#include "plug/param.h"

namespace {

// Frames per call into the effect when the host states no maximum block.
constexpr int32_t kDefaultMaxBlock = 4096;
// How many times the audio thread tries the effect's lock before it passes a
// block through: others hold it for microseconds (a state save, the editor
// reading the detector's history), and each try costs a few nanoseconds.
constexpr int kLockTries = 4096;

void CpuPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void Report(LV2_Log_Log* log, LV2_URID_Map* map, const char* text) {
    if (log && map) {
        const LV2_URID error = map->map(map->handle, LV2_LOG__Error);
        log->printf(log->handle, error, "Kelo: %s\n", text);
    } else {
        std::fprintf(stderr, "Kelo: %s\n", text);
    }
}

// The notify port follows the parameters (see lv2_link.h).
static_assert(kPortNotify == kPortFirstParam + kParamCount, "the notify port moved");

} // namespace

void Lv2Uris::Map(LV2_URID_Map* map) {
    auto m = [map](const char* uri) { return map->map(map->handle, uri); };
    atomChunk = m(LV2_ATOM__Chunk);
    atomObject = m(LV2_ATOM__Object);
    atomBlank = m(LV2_ATOM__Blank);
    atomSequence = m(LV2_ATOM__Sequence);
    atomInt = m(LV2_ATOM__Int);
    atomLong = m(LV2_ATOM__Long);
    atomFloat = m(LV2_ATOM__Float);
    atomDouble = m(LV2_ATOM__Double);
    timePosition = m(LV2_TIME__Position);
    timeFrame = m(LV2_TIME__frame);
    timeSpeed = m(LV2_TIME__speed);
    timeBpm = m(LV2_TIME__beatsPerMinute);
    timeBeatsPerBar = m(LV2_TIME__beatsPerBar);
    timeBeatUnit = m(LV2_TIME__beatUnit);
    stateKey = m(KELO_LV2_STATE_KEY);
    stateChanged = m(LV2_STATE__StateChanged);
    maxBlock = m(LV2_BUF_SIZE__maxBlockLength);
    nominalBlock = m(LV2_BUF_SIZE__nominalBlockLength);
}

Lv2Plugin* Lv2Plugin::Create(double rate, const LV2_Feature* const* features) {
    LV2_URID_Map* map = nullptr;
    LV2_Log_Log* log = nullptr;
    const LV2_Options_Option* options = nullptr;
    for (int i = 0; features && features[i]; ++i) {
        const char* uri = features[i]->URI;
        if (!uri) continue;
        if (!std::strcmp(uri, LV2_URID__map)) map = static_cast<LV2_URID_Map*>(features[i]->data);
        if (!std::strcmp(uri, LV2_LOG__log)) log = static_cast<LV2_Log_Log*>(features[i]->data);
        if (!std::strcmp(uri, LV2_OPTIONS__options))
            options = static_cast<const LV2_Options_Option*>(features[i]->data);
    }
    if (map && !map->map) map = nullptr;
    if (!(rate >= 1.0 && rate <= 1e7)) {
        Report(log, map, "the sample rate is not one Kelo can run at");
        return nullptr;
    }
    // Without urid:map (lv2apply offers no features at all) Kelo still runs:
    // it cannot read the time port or save its state, and says so.
    Lv2Uris uris{};
    if (map)
        uris.Map(map);
    else
        Report(log, nullptr, "no urid:map from the host: no time position and no saved state");

    // The host's largest block sets the pieces the effect works in; larger or
    // unannounced blocks are processed in pieces all the same.
    int32_t maxBlock = kDefaultMaxBlock;
    for (const LV2_Options_Option* o = options; o && o->key; ++o) {
        if ((o->key == uris.maxBlock || o->key == uris.nominalBlock) && o->type == uris.atomInt &&
            o->size == sizeof(int32_t) && o->value) {
            const int32_t n = *static_cast<const int32_t*>(o->value);
            if (n > 0 && (o->key == uris.maxBlock || maxBlock == kDefaultMaxBlock))
                maxBlock = n < kMaxHostBlockSize ? n : kMaxHostBlockSize;
        }
    }

    try {
        std::unique_ptr<Lv2Plugin> plugin(new Lv2Plugin(uris, log));
        // The UI finds the link at the instance's address (no virtual table
        // comes before it).
        if (static_cast<void*>(&plugin->mLink) != static_cast<void*>(plugin.get())) return nullptr;
        plugin->mMapped = map != nullptr;
        plugin->mEffect.reset(new KeloPlugin(InstanceInfo{CurrentModuleHandle(), 0, 0}));
        KeloEffect& effect = *plugin->mEffect;
        effect.SetHostLink(&plugin->mHost);
        plugin->mParamCount =
            effect.ParamCount() < kLv2MaxParams ? effect.ParamCount() : kLv2MaxParams;
        plugin->mLink.paramCount = uint32_t(plugin->mParamCount);
        // Started as every host starts it: both channels connected, every
        // parameter heard, then the rate, the block size, and on.
        effect.SetInputsConnected(0, effect.InputCount(), true);
        effect.SetOutputsConnected(0, effect.OutputCount(), true);
        plugin->HearTempo();
        effect.NotifyAllParams();
        effect.SetSampleRate(rate);
        effect.SetMaxBlock(maxBlock);
        effect.ResetProcessing();
        effect.ActiveChanged(true);
        effect.DeliverHostNotes();
        return plugin.release();
    } catch (...) {
        Report(log, map, "out of memory while creating the effect");
        return nullptr;
    }
}

namespace {

uintptr_t OpsOpen(void* instance, uintptr_t parent, int32_t* width, int32_t* height) {
    return static_cast<Lv2Plugin*>(instance)->OpenEditor(parent, width, height);
}
void OpsClose(void* instance) {
    static_cast<Lv2Plugin*>(instance)->CloseEditor();
}
void OpsIdle(void* instance) {
    static_cast<Lv2Plugin*>(instance)->IdleEditor();
}
void OpsTakeEdits(void* instance, void* context,
                  void (*deliver)(void*, uint32_t, uint32_t, float)) {
    static_cast<Lv2Plugin*>(instance)->TakeEdits(context, deliver);
}
void OpsPortValue(void* instance, uint32_t port, float value) {
    static_cast<Lv2Plugin*>(instance)->ShowPortValue(port, value);
}

const KeloLv2EditorOps kEditorOps = {&OpsOpen, &OpsClose, &OpsIdle, &OpsTakeEdits, &OpsPortValue};

} // namespace

Lv2Plugin::Lv2Plugin(const Lv2Uris& uris, LV2_Log_Log* log)
    : mLink{kKeloLv2LinkTag, 0, &kEditorOps}, mUris(uris), mLog(log), mParamCount(0) {
    for (float& heard : mHeard)
        heard = std::numeric_limits<float>::quiet_NaN();
}

Lv2Plugin::~Lv2Plugin() {
    if (!mEffect) return;
    CloseEditor();
    // What the effect tells while it goes finds no host.
    mEffect->SetHostLink(nullptr);
}

void Lv2Plugin::ConnectPort(uint32_t port, void* data) {
    switch (port) {
    case kPortInL:
    case kPortInR:
        mIn[port - kPortInL] = static_cast<const float*>(data);
        return;
    case kPortOutL:
    case kPortOutR:
        mOut[port - kPortOutL] = static_cast<float*>(data);
        return;
    case kPortTime:
        mTime = static_cast<const LV2_Atom_Sequence*>(data);
        return;
    case kPortLatency:
        mLatency = static_cast<float*>(data);
        return;
    case kPortNotify:
        mNotify = static_cast<LV2_Atom_Sequence*>(data);
        return;
    default:
        if (port >= kPortFirstParam && port - kPortFirstParam < uint32_t(mParamCount))
            mControls[port - kPortFirstParam] = static_cast<const float*>(data);
    }
}

void Lv2Plugin::Activate() {
    // Off and on again: the processing starts afresh.
    HearTempo();
    mEffect->ActiveChanged(false);
    mEffect->ResetProcessing();
    mEffect->ActiveChanged(true);
    mEffect->DeliverHostNotes();
    mPosition.store(0.0, std::memory_order_relaxed);
}

void Lv2Plugin::ApplyPortValues() {
    EditorFace* editor = mEffect->GetEditor();
    for (int32_t i = 0; i < mParamCount; ++i) {
        if (!mControls[i]) continue;
        const float v = *mControls[i];
        // Only a value the host wrote counts; NaN carries none.
        if (v == mHeard[i] || std::isnan(v)) continue;
        mHeard[i] = v;
        Param* param = mEffect->ParamAt(i);
        const double value = param->Type() == ParamSwitch ? (v >= 0.5f ? 1.0 : 0.0) : double(v);
        // The port's float image of the current value is the current value: a
        // host that writes back what it read moves nothing.
        if (float(value) == float(param->Value())) continue;
        param->SetClampedValue(value);
        if (editor) editor->ShowParamValue(i, param->Value(), false);
        mEffect->ParamChanged(i);
    }
}

bool Lv2Plugin::NumberOf(const LV2_Atom* atom, double& value) const {
    if (!atom) return false;
    if (atom->type == mUris.atomDouble && atom->size >= sizeof(double))
        value = reinterpret_cast<const LV2_Atom_Double*>(atom)->body;
    else if (atom->type == mUris.atomFloat && atom->size >= sizeof(float))
        value = reinterpret_cast<const LV2_Atom_Float*>(atom)->body;
    else if (atom->type == mUris.atomLong && atom->size >= sizeof(int64_t))
        value = double(reinterpret_cast<const LV2_Atom_Long*>(atom)->body);
    else if (atom->type == mUris.atomInt && atom->size >= sizeof(int32_t))
        value = reinterpret_cast<const LV2_Atom_Int*>(atom)->body;
    else
        return false;
    return std::isfinite(value);
}

void Lv2Plugin::ReadPosition(const LV2_Atom_Object* object) {
    const LV2_Atom *frame = nullptr, *speed = nullptr, *bpm = nullptr, *perBar = nullptr,
                   *unit = nullptr;
    lv2_atom_object_get(object, mUris.timeFrame, &frame, mUris.timeSpeed, &speed, mUris.timeBpm,
                        &bpm, mUris.timeBeatsPerBar, &perBar, mUris.timeBeatUnit, &unit, 0);
    double v;
    if (NumberOf(frame, v) && v >= 0.0) mPosition.store(v, std::memory_order_relaxed);
    if (NumberOf(speed, v)) mSpeed.store(v, std::memory_order_relaxed);
    // A position without a tempo (or with none to speak of) keeps the last one.
    if (NumberOf(bpm, v) && v > 0.0) mTempo.store(v, std::memory_order_relaxed);
    if (NumberOf(perBar, v) && v >= 1.0 && v < 1000.0)
        mBeatsPerBar.store(int32_t(v), std::memory_order_relaxed);
    if (NumberOf(unit, v) && v >= 1.0 && v < 1000.0)
        mBeatUnit.store(int32_t(v), std::memory_order_relaxed);
}

void Lv2Plugin::ProcessPiece(uint32_t first, uint32_t count) {
    float* in[2] = {mIn[0] ? const_cast<float*>(mIn[0]) + first : nullptr,
                    mIn[1] ? const_cast<float*>(mIn[1]) + first : nullptr};
    float* out[2] = {mOut[0] ? mOut[0] + first : nullptr, mOut[1] ? mOut[1] + first : nullptr};
    mEffect->ProcessFloatReplacing(in, out, int32_t(count));
    const double moved = double(count) * mSpeed.load(std::memory_order_relaxed);
    const double next = mPosition.load(std::memory_order_relaxed) + moved;
    mPosition.store(next > 0.0 ? next : 0.0, std::memory_order_relaxed);
}

void Lv2Plugin::PassThrough(uint32_t frames) {
    for (int c = 0; c < 2; ++c) {
        if (!mOut[c]) continue;
        if (mIn[c])
            std::memmove(mOut[c], mIn[c], frames * sizeof(float));
        else
            std::memset(mOut[c], 0, frames * sizeof(float));
    }
}

void Lv2Plugin::Run(uint32_t frames) {
    WriteNotifications();
    Lock& lock = mEffect->FrameLock();
    bool taken = lock.TryEnter();
    for (int i = 1; i < kLockTries && !taken; ++i) {
        CpuPause();
        taken = lock.TryEnter();
    }
    if (!taken) {
        PassThrough(frames);
        mMissedBlocks.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    ApplyPortValues();
    // Pieces between the time events, each heard with the transport as the
    // host stated it at its first frame.
    uint32_t done = 0;
    if (mTime && mMapped && mTime->atom.type == mUris.atomSequence) {
        LV2_ATOM_SEQUENCE_FOREACH(mTime, event) {
            const int64_t when = event->time.frames;
            const uint32_t at =
                when <= int64_t(done) ? done : (when >= int64_t(frames) ? frames : uint32_t(when));
            if (at > done) {
                ProcessPiece(done, at - done);
                done = at;
            }
            const LV2_Atom& body = event->body;
            if (body.type != mUris.atomObject && body.type != mUris.atomBlank) continue;
            const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&body);
            if (object->body.otype == mUris.timePosition) ReadPosition(object);
        }
    }
    if (done < frames) ProcessPiece(done, frames - done);
    const int32_t delay = mEffect->Delay();
    lock.Leave();
    if (mLatency) *mLatency = float(delay);
}

LV2_State_Status Lv2Plugin::Save(LV2_State_Store_Function store, LV2_State_Handle handle) {
    if (!store) return LV2_STATE_ERR_UNKNOWN;
    if (!mMapped) return LV2_STATE_ERR_NO_FEATURE;
    // The same bytes as the VST chunk, saved whole under the effect's lock.
    ByteBlock chunk;
    if (!mEffect->SaveStateChunk(chunk)) return LV2_STATE_ERR_UNKNOWN;
    return store(handle, mUris.stateKey, chunk.Bytes(), size_t(chunk.Size()), mUris.atomChunk,
                 LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status Lv2Plugin::Restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle) {
    if (!retrieve) return LV2_STATE_ERR_UNKNOWN;
    if (!mMapped) return LV2_STATE_ERR_NO_FEATURE;
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* data = retrieve(handle, mUris.stateKey, &size, &type, &flags);
    if (!data) return LV2_STATE_ERR_NO_PROPERTY;
    if (type != mUris.atomChunk) return LV2_STATE_ERR_BAD_TYPE;
    if (size > size_t(kMaxHostChunkSize)) return LV2_STATE_ERR_UNKNOWN;
    ByteBlock chunk;
    bool loaded = chunk.SetLength(int32_t(size));
    if (loaded) {
        if (size > 0) std::memcpy(chunk.Bytes(), data, size);
        loaded = mEffect->LoadStateChunk(chunk);
    }
    // The ports' present values count as heard: the state decides until the
    // host writes a port again (whatever it writes then, if it differs, wins).
    for (int32_t i = 0; i < mParamCount; ++i)
        mHeard[i] = mControls[i] ? *mControls[i] : std::numeric_limits<float>::quiet_NaN();
    return loaded ? LV2_STATE_SUCCESS : LV2_STATE_ERR_UNKNOWN;
}

// ---------------------------------------------------------------- host link

int64_t Lv2Plugin::Host::TransportSample(int32_t offset) {
    const double start = mPlugin.mPosition.load(std::memory_order_relaxed);
    if (!(start >= 0.0)) return 0;
    // Positions past the int64 range (no timeline reaches them) stay at its end.
    const double position = std::floor(start) + offset;
    return position >= 9.2e18 ? INT64_MAX : int64_t(position);
}

double Lv2Plugin::Host::TransportTempo() {
    const double tempo = mPlugin.mTempo.load(std::memory_order_relaxed);
    return std::isfinite(tempo) && tempo >= 0.0 ? tempo : 0.0;
}

void Lv2Plugin::Host::TransportMeter(int32_t& numerator, int32_t& denominator) {
    numerator = mPlugin.mBeatsPerBar.load(std::memory_order_relaxed);
    denominator = mPlugin.mBeatUnit.load(std::memory_order_relaxed);
}

void Lv2Plugin::Host::SendHostNote(const HostNote& note) {
    // The effect's lock is released: the notes come from the editor's thread.
    if (note.kind == HostNoteKind::StateChanged) {
        mPlugin.mStateChanged.store(true, std::memory_order_release);
        return;
    }
    const bool edit = note.kind == HostNoteKind::Automate || note.kind == HostNoteKind::BeginEdit ||
                      note.kind == HostNoteKind::EndEdit;
    if (!edit || note.index < 0 || note.index >= mPlugin.mParamCount) return;
    HostNote queued = note;
    if (note.kind == HostNoteKind::Automate) {
        // The port takes the value the parameter holds, in its own unit.
        ScopedLock hold(mPlugin.mEffect->FrameLock());
        queued.value = mPlugin.mEffect->ParamAt(note.index)->Value();
    }
    // The UI thread may not come for a while (no UI, a closed one): the queue
    // folds rather than losing a release.
    mPlugin.mUiNotes.PostFolding(queued);
    if (note.kind == HostNoteKind::Automate)
        mPlugin.mEditMask.fetch_or(1u << note.index, std::memory_order_release);
}

void Lv2Plugin::WriteNotifications() {
    if (!mNotify) return;
    // The host's size is the buffer's capacity (read as the whole, header
    // included: hosts differ on it, and the smaller reading is safe in both).
    const uint32_t capacity = mNotify->atom.size;
    if (!mMapped || capacity < sizeof(LV2_Atom_Sequence)) {
        mNotify->atom.size = 0; // no sequence to be written: an empty atom
        return;
    }
    // An empty sequence, or one event at frame 0: an object of type
    // state:StateChanged with no properties.
    mNotify->atom.type = mUris.atomSequence;
    mNotify->atom.size = sizeof(LV2_Atom_Sequence_Body);
    mNotify->body.unit = 0;
    mNotify->body.pad = 0;
    constexpr uint32_t kEvent = sizeof(LV2_Atom_Event) + sizeof(LV2_Atom_Object_Body);
    if (!mStateChanged.load(std::memory_order_acquire) ||
        capacity < sizeof(LV2_Atom_Sequence) + kEvent)
        return; // waits for a run with room for it
    auto* event = reinterpret_cast<LV2_Atom_Event*>(mNotify + 1);
    event->time.frames = 0;
    event->body.type = mUris.atomObject;
    event->body.size = sizeof(LV2_Atom_Object_Body);
    auto* object = reinterpret_cast<LV2_Atom_Object_Body*>(event + 1);
    object->id = 0;
    object->otype = mUris.stateChanged;
    mNotify->atom.size += kEvent; // a multiple of 8: no padding
    mStateChanged.store(false, std::memory_order_relaxed);
}

void Lv2Plugin::HearTempo() {
    mEffect->TransportTempo();
}

// ---------------------------------------------------------------- editor link

uintptr_t Lv2Plugin::OpenEditor(uintptr_t parent, int32_t* width, int32_t* height) {
    auto* editor = static_cast<Editor*>(mEffect->GetEditor());
    if (!editor || !parent) return 0;
    const bool opened = mEffect->OpenEditor(reinterpret_cast<void*>(parent));
    mEffect->DeliverHostNotes();
    if (!opened) return 0;
    if (width) *width = editor->ViewWidth();
    if (height) *height = editor->ViewHeight();
    return reinterpret_cast<uintptr_t>(editor->WindowHandle());
}

void Lv2Plugin::CloseEditor() {
    mEffect->CloseEditor();
    mEffect->DeliverHostNotes(); // the last of what the user did
}

void Lv2Plugin::IdleEditor() {
    mEffect->IdleEditor();
    mEffect->DeliverHostNotes();
}

void Lv2Plugin::TakeEdits(void* context, void (*deliver)(void*, uint32_t, uint32_t, float)) {
    if (!deliver) return;
    // Values taken from here on are the host's to echo.
    mEditMask.store(0, std::memory_order_release);
    HostNote note;
    while (mUiNotes.Take(note)) {
        const uint32_t port = kPortFirstParam + uint32_t(note.index);
        switch (note.kind) {
        case HostNoteKind::BeginEdit:
            deliver(context, kUiNoteGrab, port, 0.0f);
            break;
        case HostNoteKind::EndEdit:
            deliver(context, kUiNoteRelease, port, 0.0f);
            break;
        default:
            deliver(context, kUiNoteValue, port, float(note.value));
        }
    }
}

void Lv2Plugin::ShowPortValue(uint32_t port, float value) {
    if (port < kPortFirstParam || port - kPortFirstParam >= uint32_t(mParamCount)) return;
    const int32_t index = int32_t(port - kPortFirstParam);
    // An edit of the editor's own that the host has not heard yet stays shown.
    if (mEditMask.load(std::memory_order_acquire) & (1u << index)) return;
    if (std::isnan(value)) return;
    EditorFace* editor = mEffect->GetEditor();
    if (editor) editor->ShowParamValue(index, value, false);
}
