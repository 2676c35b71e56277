// A small VST 2.4 host for tests and tools.
//
// PluginModule loads a plug-in binary (a Linux .so or a Windows DLL) and finds its
// entry point. PluginInstance creates one effect from a module with its own host
// callback and drives it through the dispatcher, the parameter entries and the
// three processing entries. The callback answers like a playing host:
//
//   - interface version 2400, vendor/product strings and version from HostOptions;
//   - time info: sample rate, tempo, time signature and a sample position that
//     advances by the frames of every processing call while the transport plays
//     (Stop, Play and MoveTo change it);
//   - automation (host opcode 0) and events sent by the plug-in are recorded.
//
// Typical use:
//
//   PluginModule module;
//   if (!module.Load(path)) { puts(module.Error().c_str()); return 1; }
//   PluginInstance plugin;
//   if (!plugin.Create(module)) return 1;
//   plugin.Start(48000.0, 512);           // open, sample rate, block size, mains on
//   plugin.ProcessReplacing(in, out, 512);
//   plugin.Close();                       // mains off, close; the record is gone
//
// A module must outlive the instances created from it. Instances may be driven
// from several threads as a host does (audio and user interface); the recorded
// observations and the transport's position (which plug-ins may ask for from
// any thread) are guarded; setting the transport belongs to the audio thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plug/vst_abi.h"

// How the host presents itself and which requests it answers.
struct HostOptions {
    std::string vendor = "Kelo Tools"; // answer to host opcode 32
    std::string product = "kelo-host"; // answer to host opcode 33
    int32_t version = 10000;           // answer to host opcode 34 (major*10000+minor*100+patch)
    bool answerStrings = true;         // false: opcodes 32 and 33 answer 0 and write nothing
    bool answerTime = true;            // false: opcode 7 answers null
    bool acceptEvents = true;          // answer to opcode 8: 1 when true, else 0
    // Called on the plug-in's calling thread with every request, before it is
    // answered (a validator's host that makes the plug-in wait, for one).
    std::function<void(int32_t opcode, int32_t index, float opt)> onRequest;
    // Called, outside the harness's own locks, for each automate (0), update
    // display (42), begin edit (43) and end edit (44) after it is recorded; a
    // test host may wait for its audio thread here (see touch.h).
    std::function<void(int32_t opcode, int32_t index, float value)> onEdit;
};

// One note of the Touch-mode record: what a host in Touch mode hears of the
// user's work, in order.
struct TouchEvent {
    enum Kind { Begin, Value, End, StateChanged };
    Kind kind;
    int32_t index;               // -1 for StateChanged
    float value;                 // Value only
    std::thread::id thread = {}; // the plug-in's thread that told it
};

// The host's transport as the plug-in sees it through opcode 7.
struct TransportState {
    double sampleRate = 44100.0;
    double tempo = 120.0; // beats per minute
    int32_t numerator = 4;
    int32_t denominator = 4;
    double position = 0.0; // samples from the song start
    bool playing = true;
};

// One automation notification: parameter index and normalized value.
struct AutomationEvent {
    int32_t index;
    float value;
};

// A loaded plug-in binary.
class PluginModule {
public:
    PluginModule() = default;
    ~PluginModule();
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    // Loads the binary at path and finds "VSTPluginMain" (or "main"). False with a
    // reason in Error() when either fails; a module loaded before is unloaded.
    bool Load(const std::string& path);
    void Unload();
    bool Loaded() const { return mEntry != nullptr; }
    VstEntryProc Entry() const { return mEntry; }
    const std::string& Error() const { return mError; }

private:
    void* mHandle = nullptr;
    VstEntryProc mEntry = nullptr;
    std::string mError;
};

// The binary at path, loaded on the first call and kept loaded until the program
// ends, so that all the tests of a program share one load (under Wine each load
// costs seconds). Check Loaded() and Error() as after Load.
const PluginModule& SharedModule(const std::string& path);

// One effect instance with its host side.
class PluginInstance {
public:
    explicit PluginInstance(const HostOptions& options = HostOptions());
    // Closes the effect if it is still there.
    ~PluginInstance();
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;

    // Calls the module's entry point. False when the module is not loaded, the
    // entry returns null or the record lacks the magic number.
    bool Create(const PluginModule& module);
    // The effect record, null before Create and after Close.
    VstEffectRecord* Record() const { return mRecord; }

    // Raw dispatcher call; 0 without an effect.
    intptr_t Dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f);
    // Open, sample rate, block size, mains on: what a host does before processing.
    void Start(double sampleRate, int32_t blockSize);
    // Mains off (when on; unless stopFirst is false, as a careless host) and
    // close. The record is invalid afterwards.
    void Close(bool stopFirst = true);

    void SetSampleRate(double rate); // also the transport's rate
    void SetBlockSize(int32_t frames);
    void SetMainsOn(bool on);
    bool MainsOn() const { return mMainsOn; }

    // Text requests into a 256-byte buffer, as generous hosts pass.
    std::string Text(int32_t opcode, int32_t index = 0);
    std::string ParamName(int32_t index) { return Text(kVstOpGetParamName, index); }
    std::string ParamLabel(int32_t index) { return Text(kVstOpGetParamLabel, index); }
    std::string ParamDisplay(int32_t index) { return Text(kVstOpGetParamDisplay, index); }
    std::string EffectName() { return Text(kVstOpGetEffectName); }
    std::string VendorString() { return Text(kVstOpGetVendorString); }
    std::string ProductString() { return Text(kVstOpGetProductString); }
    intptr_t CanDo(const char* text) {
        return Dispatch(kVstOpCanDo, 0, 0, const_cast<char*>(text));
    }

    float GetParameter(int32_t index);
    void SetParameter(int32_t index, float value);

    // The state chunk (opcode 23), copied; empty when the plug-in gives none.
    std::vector<uint8_t> GetChunk();
    // Hands bytes to the plug-in (opcode 24); its answer.
    intptr_t SetChunk(const void* data, intptr_t size);

    // The three processing entries; each advances a playing transport by frames.
    void ProcessReplacing(float** inputs, float** outputs, int32_t frames);
    void ProcessAccumulating(float** inputs, float** outputs, int32_t frames);
    void ProcessDouble(double** inputs, double** outputs, int32_t frames);

    // Transport, for the audio thread.
    TransportState& Transport() { return mTransport; }
    void Play() { mTransport.playing = true; }
    void Stop() { mTransport.playing = false; }
    void MoveTo(double samples) {
        std::lock_guard<std::mutex> guard(mTransportLock);
        mTransport.position = samples;
    }

    // What the plug-in told the host.
    std::vector<AutomationEvent> Automation() const;
    std::vector<VstMidiEvent> MidiReceived() const;
    // Events of other kinds than MIDI sent back by the plug-in.
    std::vector<VstEvent> OtherEventsReceived() const;
    int32_t TimeRequests() const;
    // Begin edit, automate, end edit and update display, in the order heard.
    std::vector<TouchEvent> TouchRecord() const;
    void ClearObservations();

    HostOptions& Options() { return mOptions; }

    // The callback every instance hands to its plug-in.
    static intptr_t KELO_VSTCALL Callback(VstEffectRecord* effect, int32_t opcode, int32_t index,
                                          intptr_t value, void* ptr, float opt);

private:
    intptr_t Answer(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);
    void RecordTouch(int32_t opcode, int32_t index, float value);
    void Advance(int32_t frames);

    HostOptions mOptions;
    VstEffectRecord* mRecord = nullptr;
    bool mMainsOn = false;
    TransportState mTransport;
    mutable std::mutex mTransportLock; // the position: advanced by audio, read by any thread

    mutable std::mutex mObservedLock;
    std::vector<AutomationEvent> mAutomation;
    std::vector<TouchEvent> mTouch;
    std::vector<VstMidiEvent> mMidi;
    std::vector<VstEvent> mOtherEvents;
    int32_t mTimeRequests = 0;
};
