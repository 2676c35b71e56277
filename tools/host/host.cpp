#include "tools/host/host.h"

#include <cstring>
#include <map>

#include "tools/host/module.h"

namespace {

// The plug-in calls back with its record; this maps records to their instances.
std::mutex sRegistryLock;
std::map<VstEffectRecord*, PluginInstance*> sRegistry;
// Callbacks made while the entry point runs carry a record the host does not know
// yet; they belong to the instance being created on this thread.
thread_local PluginInstance* sCreating = nullptr;

PluginInstance* FindInstance(VstEffectRecord* effect) {
    std::lock_guard<std::mutex> guard(sRegistryLock);
    auto it = sRegistry.find(effect);
    if (it != sRegistry.end()) return it->second;
    return sCreating;
}

// Copies text into a host-side answer buffer of capacity bytes, terminated.
void CopyAnswer(void* ptr, size_t capacity, const std::string& text) {
    if (!ptr) return;
    size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(ptr, text.data(), n);
    static_cast<char*>(ptr)[n] = '\0';
}

} // namespace

PluginModule::~PluginModule() {
    Unload();
}

bool PluginModule::Load(const std::string& path) {
    Unload();
    mError.clear();
    mHandle = OpenModule(path, mError);
    if (!mHandle) return false;
    void* entry = FindModuleSymbol(mHandle, "VSTPluginMain");
    if (!entry) entry = FindModuleSymbol(mHandle, "main");
    if (!entry) {
        mError = "no entry point in " + path;
        Unload();
        return false;
    }
    mEntry = reinterpret_cast<VstEntryProc>(entry);
    return true;
}

void PluginModule::Unload() {
    CloseModule(mHandle);
    mHandle = nullptr;
    mEntry = nullptr;
}

const PluginModule& SharedModule(const std::string& path) {
    static std::mutex lock;
    static std::map<std::string, PluginModule> modules;
    std::lock_guard<std::mutex> guard(lock);
    auto found = modules.find(path);
    if (found != modules.end()) return found->second;
    PluginModule& module = modules[path];
    module.Load(path);
    return module;
}

PluginInstance::PluginInstance(const HostOptions& options) : mOptions(options) {}

PluginInstance::~PluginInstance() {
    Close();
}

bool PluginInstance::Create(const PluginModule& module) {
    Close();
    if (!module.Loaded()) return false;
    sCreating = this;
    VstEffectRecord* record = module.Entry()(&PluginInstance::Callback);
    sCreating = nullptr;
    if (!record) return false;
    if (record->magic != kVstMagic) return false;
    mRecord = record;
    std::lock_guard<std::mutex> guard(sRegistryLock);
    sRegistry[record] = this;
    return true;
}

intptr_t PluginInstance::Dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                  float opt) {
    if (!mRecord || !mRecord->dispatcher) return 0;
    return mRecord->dispatcher(mRecord, opcode, index, value, ptr, opt);
}

void PluginInstance::Start(double sampleRate, int32_t blockSize) {
    Dispatch(kVstOpOpen);
    SetSampleRate(sampleRate);
    SetBlockSize(blockSize);
    SetMainsOn(true);
}

void PluginInstance::Close(bool stopFirst) {
    if (!mRecord) return;
    if (mMainsOn && stopFirst) SetMainsOn(false);
    mMainsOn = false;
    Dispatch(kVstOpClose);
    std::lock_guard<std::mutex> guard(sRegistryLock);
    sRegistry.erase(mRecord);
    mRecord = nullptr;
}

void PluginInstance::SetSampleRate(double rate) {
    {
        std::lock_guard<std::mutex> guard(mTransportLock);
        mTransport.sampleRate = rate;
    }
    Dispatch(kVstOpSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
}

void PluginInstance::SetBlockSize(int32_t frames) {
    Dispatch(kVstOpSetBlockSize, 0, frames);
}

void PluginInstance::SetMainsOn(bool on) {
    Dispatch(kVstOpMainsChanged, 0, on ? 1 : 0);
    mMainsOn = on;
}

std::string PluginInstance::Text(int32_t opcode, int32_t index) {
    char buffer[256] = {};
    Dispatch(opcode, index, 0, buffer);
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

float PluginInstance::GetParameter(int32_t index) {
    if (!mRecord || !mRecord->getParameter) return 0.0f;
    return mRecord->getParameter(mRecord, index);
}

void PluginInstance::SetParameter(int32_t index, float value) {
    if (mRecord && mRecord->setParameter) mRecord->setParameter(mRecord, index, value);
}

std::vector<uint8_t> PluginInstance::GetChunk() {
    void* data = nullptr;
    intptr_t size = Dispatch(kVstOpGetChunk, 0, 0, &data);
    if (size <= 0 || !data) return {};
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

intptr_t PluginInstance::SetChunk(const void* data, intptr_t size) {
    return Dispatch(kVstOpSetChunk, 0, size, const_cast<void*>(data));
}

void PluginInstance::ProcessReplacing(float** inputs, float** outputs, int32_t frames) {
    if (mRecord && mRecord->processReplacing)
        mRecord->processReplacing(mRecord, inputs, outputs, frames);
    Advance(frames);
}

void PluginInstance::ProcessAccumulating(float** inputs, float** outputs, int32_t frames) {
    if (mRecord && mRecord->process) mRecord->process(mRecord, inputs, outputs, frames);
    Advance(frames);
}

void PluginInstance::ProcessDouble(double** inputs, double** outputs, int32_t frames) {
    if (mRecord && mRecord->processDoubleReplacing)
        mRecord->processDoubleReplacing(mRecord, inputs, outputs, frames);
    Advance(frames);
}

void PluginInstance::Advance(int32_t frames) {
    if (frames <= 0) return;
    std::lock_guard<std::mutex> guard(mTransportLock);
    if (mTransport.playing) mTransport.position += frames;
}

std::vector<TouchEvent> PluginInstance::TouchRecord() const {
    std::lock_guard<std::mutex> guard(mObservedLock);
    return mTouch;
}

void PluginInstance::RecordTouch(int32_t opcode, int32_t index, float value) {
    TouchEvent event{TouchEvent::Value, index, value};
    if (opcode == kVstHostBeginEdit) event = {TouchEvent::Begin, index, 0.0f};
    if (opcode == kVstHostEndEdit) event = {TouchEvent::End, index, 0.0f};
    if (opcode == kVstHostUpdateDisplay) event = {TouchEvent::StateChanged, -1, 0.0f};
    event.thread = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> guard(mObservedLock);
        mTouch.push_back(event);
    }
    if (mOptions.onEdit) mOptions.onEdit(opcode, index, value);
}

std::vector<AutomationEvent> PluginInstance::Automation() const {
    std::lock_guard<std::mutex> guard(mObservedLock);
    return mAutomation;
}

std::vector<VstMidiEvent> PluginInstance::MidiReceived() const {
    std::lock_guard<std::mutex> guard(mObservedLock);
    return mMidi;
}

std::vector<VstEvent> PluginInstance::OtherEventsReceived() const {
    std::lock_guard<std::mutex> guard(mObservedLock);
    return mOtherEvents;
}

int32_t PluginInstance::TimeRequests() const {
    std::lock_guard<std::mutex> guard(mObservedLock);
    return mTimeRequests;
}

void PluginInstance::ClearObservations() {
    std::lock_guard<std::mutex> guard(mObservedLock);
    mAutomation.clear();
    mTouch.clear();
    mMidi.clear();
    mOtherEvents.clear();
    mTimeRequests = 0;
}

intptr_t KELO_VSTCALL PluginInstance::Callback(VstEffectRecord* effect, int32_t opcode,
                                               int32_t index, intptr_t value, void* ptr,
                                               float opt) {
    if (PluginInstance* instance = FindInstance(effect))
        return instance->Answer(opcode, index, value, ptr, opt);
    return opcode == kVstHostVersion ? kVstVersion : 0;
}

intptr_t PluginInstance::Answer(int32_t opcode, int32_t index, intptr_t /*value*/, void* ptr,
                                float opt) {
    if (mOptions.onRequest) mOptions.onRequest(opcode, index, opt);
    switch (opcode) {
    case kVstHostAutomate: {
        std::lock_guard<std::mutex> guard(mObservedLock);
        mAutomation.push_back({index, opt});
    }
        RecordTouch(opcode, index, opt);
        return 0;
    case kVstHostUpdateDisplay:
    case kVstHostBeginEdit:
    case kVstHostEndEdit:
        RecordTouch(opcode, index, opt);
        return 1;
    case kVstHostVersion:
        return kVstVersion;
    case kVstHostGetTime: {
        {
            std::lock_guard<std::mutex> guard(mObservedLock);
            ++mTimeRequests;
        }
        if (!mOptions.answerTime) return 0;
        // Every field is valid whatever the filter mask asks for, as many hosts do.
        // Plug-ins ask from any thread (the user interface's too) while the
        // audio thread advances the position: a copy under the lock, and a record
        // per asking thread, valid until that thread asks again.
        TransportState t;
        {
            std::lock_guard<std::mutex> guard(mTransportLock);
            t = mTransport;
        }
        thread_local VstTimeInfo info;
        info = VstTimeInfo{};
        info.samplePos = t.position;
        info.sampleRate = t.sampleRate;
        info.ppqPos = t.sampleRate > 0 ? t.position / t.sampleRate * t.tempo / 60.0 : 0.0;
        info.tempo = t.tempo;
        info.timeSigNumerator = t.numerator;
        info.timeSigDenominator = t.denominator;
        info.flags = kVstTimePpqValid | kVstTimeTempoValid | kVstTimeSignatureValid;
        if (t.playing) info.flags |= kVstTimePlaying;
        return reinterpret_cast<intptr_t>(&info);
    }
    case kVstHostProcessEvents: {
        const VstEvents* list = static_cast<const VstEvents*>(ptr);
        if (!list) return 0;
        std::lock_guard<std::mutex> guard(mObservedLock);
        // The pointer array holds numEvents entries, more than the two declared.
        VstEvent* const* events = list->events;
        for (int32_t i = 0; i < list->numEvents; ++i) {
            const VstEvent* event = events[i];
            if (!event) continue;
            if (event->type == kVstEventMidi)
                mMidi.push_back(*reinterpret_cast<const VstMidiEvent*>(event));
            else
                mOtherEvents.push_back(*event);
        }
        return mOptions.acceptEvents ? 1 : 0;
    }
    case kVstHostGetVendorString:
        if (!mOptions.answerStrings) return 0;
        CopyAnswer(ptr, kVstVendorTextSize, mOptions.vendor);
        return ptr ? 1 : 0;
    case kVstHostGetProductString:
        if (!mOptions.answerStrings) return 0;
        CopyAnswer(ptr, kVstVendorTextSize, mOptions.product);
        return ptr ? 1 : 0;
    case kVstHostGetVendorVersion:
        return mOptions.version;
    default:
        return 0;
    }
}
