// The VST 2.4 binary interface between a host and a plug-in: records, entry types,
// opcodes and flags. Records use natural C layout, so the same declarations serve
// 32-bit hosts (every field 4 bytes wide) and 64-bit hosts (pointer-sized fields
// widen). Byte offsets in comments are those of a 32-bit build; the static_asserts
// at the end prove them whenever this header is compiled for a 32-bit target and
// pin the 64-bit layout that 64-bit hosts use.
#pragma once

#include <cstddef>
#include <cstdint>

// Every function crossing the interface uses the C calling convention; only 32-bit
// x86 has more than one convention to choose from.
#if defined(__i386__) || defined(_M_IX86)
#define KELO_VSTCALL __attribute__((cdecl))
#else
#define KELO_VSTCALL
#endif

struct VstEffectRecord;

// Dispatcher and host callback share one shape: (record, opcode, index, value, ptr, opt).
using VstDispatcherProc = intptr_t(KELO_VSTCALL*)(VstEffectRecord* effect, int32_t opcode,
                                                  int32_t index, intptr_t value, void* ptr,
                                                  float opt);
using VstHostCallback = intptr_t(KELO_VSTCALL*)(VstEffectRecord* effect, int32_t opcode,
                                                int32_t index, intptr_t value, void* ptr,
                                                float opt);
using VstProcessProc = void(KELO_VSTCALL*)(VstEffectRecord* effect, float** inputs, float** outputs,
                                           int32_t frames);
using VstProcessDoubleProc = void(KELO_VSTCALL*)(VstEffectRecord* effect, double** inputs,
                                                 double** outputs, int32_t frames);
using VstSetParameterProc = void(KELO_VSTCALL*)(VstEffectRecord* effect, int32_t index,
                                                float value);
using VstGetParameterProc = float(KELO_VSTCALL*)(VstEffectRecord* effect, int32_t index);
// The exported entry point: takes the host callback, returns the new effect's record
// or null when the plug-in could not be created.
using VstEntryProc = VstEffectRecord*(KELO_VSTCALL*)(VstHostCallback host);

// The record the host holds for each effect instance (144 bytes on 32-bit targets).
struct VstEffectRecord {
    int32_t magic;                               // 0: kVstMagic
    VstDispatcherProc dispatcher;                // 4
    VstProcessProc process;                      // 8: 32-bit, accumulating
    VstSetParameterProc setParameter;            // 12
    VstGetParameterProc getParameter;            // 16
    int32_t numPrograms;                         // 20
    int32_t numParams;                           // 24
    int32_t numInputs;                           // 28
    int32_t numOutputs;                          // 32
    int32_t flags;                               // 36: kVstFlag* bits
    intptr_t reserved1;                          // 40
    intptr_t reserved2;                          // 44
    int32_t initialDelay;                        // 48: latency in samples
    int32_t realQualities;                       // 52
    int32_t offQualities;                        // 56
    float ioRatio;                               // 60
    void* object;                                // 64: the plug-in object behind the record
    void* user;                                  // 68: free for the host
    int32_t uniqueId;                            // 72
    int32_t version;                             // 76: major*10000 + minor*100 + patch
    VstProcessProc processReplacing;             // 80: 32-bit, replacing
    VstProcessDoubleProc processDoubleReplacing; // 84: 64-bit, replacing
    char future[56];                             // 88..143
};

constexpr int32_t kVstMagic = 0x56737450;         // 'VstP'
constexpr int32_t kVstIdentify = 0x4E764566;      // 'NvEf', answer to kVstOpIdentify
constexpr int32_t kVstVersion = 2400;             // interface version 2.4
constexpr intptr_t kVstCockosAnswer = 0xBEEF0000; // can-do answer for the Cockos extensions

// Flags of VstEffectRecord::flags.
enum : int32_t {
    kVstFlagHasEditor = 0x1,
    kVstFlagCanMono = 0x8,
    kVstFlagCanReplacing = 0x10,
    kVstFlagProgramChunks = 0x20,
    kVstFlagInstrument = 0x100,
    kVstFlagCanDoubleReplacing = 0x1000,
};

// Requests from the host to the plug-in's dispatcher.
enum : int32_t {
    kVstOpOpen = 0,
    kVstOpClose = 1,
    kVstOpSetProgram = 2,
    kVstOpGetProgram = 3,
    kVstOpSetProgramName = 4,
    kVstOpGetProgramName = 5,
    kVstOpGetParamLabel = 6,
    kVstOpGetParamDisplay = 7,
    kVstOpGetParamName = 8,
    kVstOpSetSampleRate = 10,
    kVstOpSetBlockSize = 11,
    kVstOpMainsChanged = 12,
    kVstOpEditorGetRect = 13,
    kVstOpEditorOpen = 14,
    kVstOpEditorClose = 15,
    kVstOpEditorIdle = 19,
    kVstOpIdentify = 22,
    kVstOpGetChunk = 23,
    kVstOpSetChunk = 24,
    kVstOpProcessEvents = 25,
    kVstOpCanBeAutomated = 26,
    kVstOpGetProgramNameIndexed = 29,
    kVstOpGetInputProperties = 33,
    kVstOpGetOutputProperties = 34,
    kVstOpGetCategory = 35,
    kVstOpSetSpeakerArrangement = 42,
    kVstOpGetEffectName = 45,
    kVstOpGetVendorString = 47,
    kVstOpGetProductString = 48,
    kVstOpVendorSpecific = 50,
    kVstOpCanDo = 51,
    kVstOpIdle = 53,
    kVstOpGetVstVersion = 58,
    kVstOpGetMidiKeyName = 66,
};

// Requests from the plug-in to the host callback.
enum : int32_t {
    kVstHostAutomate = 0,          // index = parameter, opt = normalized value
    kVstHostVersion = 1,           // answers the interface version
    kVstHostGetTime = 7,           // value = filter mask; answers a VstTimeInfo pointer or 0
    kVstHostProcessEvents = 8,     // ptr = VstEvents
    kVstHostIoChanged = 13,        // the record's I/O or initial delay changed
    kVstHostGetVendorString = 32,  // ptr = text buffer
    kVstHostGetProductString = 33, // ptr = text buffer
    kVstHostGetVendorVersion = 34, // answers the host version as a decimal number
    kVstHostUpdateDisplay = 42,    // something the host shows or saves changed
    kVstHostBeginEdit = 43,        // index = parameter the user takes hold of
    kVstHostEndEdit = 44,          // index = parameter the user lets go of
};

constexpr intptr_t kVstCategoryEffect = 1;

// Text sizes the interface names for host buffers, terminator included.
constexpr size_t kVstParamTextSize = 8;
constexpr size_t kVstProgramNameSize = 24;
constexpr size_t kVstEffectNameSize = 32;
constexpr size_t kVstVendorTextSize = 64;

// A generic event of a process-events list; MIDI events are VstMidiEvent.
struct VstEvent {
    int32_t type;        // 0: kVstEventMidi or another kind
    int32_t byteSize;    // 4
    int32_t deltaFrames; // 8: offset within the current block
    int32_t flags;       // 12
    char data[16];       // 16..31: kind-specific
};

constexpr int32_t kVstEventMidi = 1;

struct VstMidiEvent {
    int32_t type;            // 0: kVstEventMidi
    int32_t byteSize;        // 4: 32
    int32_t deltaFrames;     // 8
    int32_t flags;           // 12
    int32_t noteLength;      // 16
    int32_t noteOffset;      // 20
    uint8_t midiData[4];     // 24: status, data 1, data 2, 0
    int8_t detune;           // 28
    uint8_t noteOffVelocity; // 29
    uint8_t reserved1;       // 30
    uint8_t reserved2;       // 31
};

// A list of events; the pointer array really holds numEvents entries (two are
// declared so a one-event list has room for a null after its event).
struct VstEvents {
    int32_t numEvents;   // 0
    intptr_t reserved;   // 4
    VstEvent* events[2]; // 8
};

// Answer record of the pin-property requests.
struct VstPinProperties {
    char label[64];      // 0
    int32_t flags;       // 64: kVstPin* bits
    int32_t arrangement; // 68
    char shortLabel[8];  // 72
    char future[48];     // 80..127
};

enum : int32_t {
    kVstPinActive = 0x1,
    kVstPinStereo = 0x2,
};

// The head of a speaker arrangement; per-speaker records follow and are not read.
struct VstSpeakerArrangementHead {
    int32_t type;        // 0
    int32_t numChannels; // 4
};

// Request record of the MIDI key-name request.
struct VstKeyName {
    int32_t channel;   // 0
    int32_t keyNumber; // 4
    char keyName[64];  // 8
    int32_t reserved;  // 72
    int32_t flags;     // 76
};

// The host's transport, answered to kVstHostGetTime.
struct VstTimeInfo {
    double samplePos;           // 0: position in samples from the song start
    double sampleRate;          // 8
    double nanoSeconds;         // 16: system time
    double ppqPos;              // 24: position in quarter notes
    double tempo;               // 32: beats per minute
    double barStartPos;         // 40: quarter-note position of the current bar
    double cycleStartPos;       // 48
    double cycleEndPos;         // 56
    int32_t timeSigNumerator;   // 64
    int32_t timeSigDenominator; // 68
    int32_t smpteOffset;        // 72
    int32_t smpteFrameRate;     // 76
    int32_t samplesToNextClock; // 80
    int32_t flags;              // 84: kVstTime* bits
};

enum : int32_t {
    kVstTimeChanged = 0x1,
    kVstTimePlaying = 0x2,
    kVstTimeNanosValid = 0x100,
    kVstTimePpqValid = 0x200,
    kVstTimeTempoValid = 0x400,
    kVstTimeBarsValid = 0x800,
    kVstTimeSignatureValid = 0x2000,
};

// Layout proofs. Records made only of 32-bit fields are the same on every target.
static_assert(sizeof(VstEvent) == 32, "event record");
static_assert(sizeof(VstMidiEvent) == 32, "MIDI event record");
static_assert(offsetof(VstMidiEvent, deltaFrames) == 8, "MIDI delta frames");
static_assert(offsetof(VstMidiEvent, midiData) == 24, "MIDI data");
static_assert(offsetof(VstMidiEvent, detune) == 28, "MIDI detune");
static_assert(sizeof(VstPinProperties) == 128, "pin properties");
static_assert(offsetof(VstPinProperties, flags) == 64, "pin flags");
static_assert(offsetof(VstPinProperties, shortLabel) == 72, "pin short label");
static_assert(offsetof(VstSpeakerArrangementHead, numChannels) == 4, "speaker count");
static_assert(offsetof(VstKeyName, keyNumber) == 4, "key number");
static_assert(offsetof(VstKeyName, keyName) == 8, "key name");
static_assert(sizeof(VstTimeInfo) == 88, "time info");
static_assert(offsetof(VstTimeInfo, tempo) == 32, "time info tempo");
static_assert(offsetof(VstTimeInfo, timeSigNumerator) == 64, "time signature numerator");
static_assert(offsetof(VstTimeInfo, timeSigDenominator) == 68, "time signature denominator");
static_assert(offsetof(VstTimeInfo, flags) == 84, "time info flags");

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(VstEffectRecord) == 144, "effect record");
static_assert(offsetof(VstEffectRecord, dispatcher) == 4, "dispatcher");
static_assert(offsetof(VstEffectRecord, process) == 8, "process");
static_assert(offsetof(VstEffectRecord, setParameter) == 12, "set parameter");
static_assert(offsetof(VstEffectRecord, getParameter) == 16, "get parameter");
static_assert(offsetof(VstEffectRecord, numPrograms) == 20, "programs");
static_assert(offsetof(VstEffectRecord, numParams) == 24, "parameters");
static_assert(offsetof(VstEffectRecord, numInputs) == 28, "inputs");
static_assert(offsetof(VstEffectRecord, numOutputs) == 32, "outputs");
static_assert(offsetof(VstEffectRecord, flags) == 36, "flags");
static_assert(offsetof(VstEffectRecord, reserved1) == 40, "reserved 1");
static_assert(offsetof(VstEffectRecord, reserved2) == 44, "reserved 2");
static_assert(offsetof(VstEffectRecord, initialDelay) == 48, "initial delay");
static_assert(offsetof(VstEffectRecord, realQualities) == 52, "real qualities");
static_assert(offsetof(VstEffectRecord, offQualities) == 56, "offline qualities");
static_assert(offsetof(VstEffectRecord, ioRatio) == 60, "io ratio");
static_assert(offsetof(VstEffectRecord, object) == 64, "object");
static_assert(offsetof(VstEffectRecord, user) == 68, "user");
static_assert(offsetof(VstEffectRecord, uniqueId) == 72, "unique id");
static_assert(offsetof(VstEffectRecord, version) == 76, "version");
static_assert(offsetof(VstEffectRecord, processReplacing) == 80, "process replacing");
static_assert(offsetof(VstEffectRecord, processDoubleReplacing) == 84, "process double");
static_assert(offsetof(VstEffectRecord, future) == 88, "future");
static_assert(offsetof(VstEvents, events) == 8, "event pointers");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
// 64-bit hosts see pointers and the reserved words widened, everything else packed
// between them in order.
static_assert(sizeof(VstEffectRecord) == 192, "effect record");
static_assert(offsetof(VstEffectRecord, flags) == 56, "flags");
static_assert(offsetof(VstEffectRecord, initialDelay) == 80, "initial delay");
static_assert(offsetof(VstEffectRecord, object) == 96, "object");
static_assert(offsetof(VstEffectRecord, uniqueId) == 112, "unique id");
static_assert(offsetof(VstEffectRecord, processDoubleReplacing) == 128, "process double");
static_assert(offsetof(VstEvents, events) == 16, "event pointers");
#endif
