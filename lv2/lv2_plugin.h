// Kelo as an LV2 plug-in: one instance owns one KeloEffect and drives the
// frame's format-neutral operations (rate, block size, the audio road,
// parameters, the saved state, the editor's window). It is the effect's host
// link in LV2's terms: the transport comes from the time port, the latency
// goes out through the latency port, the editor's gestures are queued for the
// UI thread, which touches and writes the parameter ports, and a change of the
// saved state outside the parameters goes out on the notify port.
//
// Threads, as LV2 defines them: Run and ConnectPort on the audio thread;
// Activate, Restore and the constructor in the instantiation class (never
// concurrent with Run); Save on a host thread, possibly during Run; the editor
// link on the UI thread, with the editor's own timer thread beside it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <lv2/atom/atom.h>
#include <lv2/log/log.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include "lv2/lv2_link.h"
#include "plug/host_link.h"
#include "plug/host_outbox.h"

class KeloEffect;

// The URIDs the instance reads and writes.
struct Lv2Uris {
    LV2_URID atomChunk, atomObject, atomBlank, atomSequence;
    LV2_URID atomInt, atomLong, atomFloat, atomDouble;
    LV2_URID timePosition, timeFrame, timeSpeed, timeBpm, timeBeatsPerBar, timeBeatUnit;
    LV2_URID stateKey, stateChanged;
    LV2_URID maxBlock, nominalBlock;

    void Map(LV2_URID_Map* map);
};

// Largest number of parameters the editor link can report at once.
constexpr int kLv2MaxParams = 32;

class Lv2Plugin {
public:
    // The link must stay the first member (the UI reads it at the instance's
    // address); see lv2_link.h.
    KeloLv2Link mLink;

    // Null (with a message through log, when there is one) when the rate is
    // not usable or the effect cannot be made. urid:map is optional: without
    // it the time port and the state are out of use.
    static Lv2Plugin* Create(double rate, const LV2_Feature* const* features);
    ~Lv2Plugin();
    Lv2Plugin(const Lv2Plugin&) = delete;
    Lv2Plugin& operator=(const Lv2Plugin&) = delete;

    void ConnectPort(uint32_t port, void* data);
    void Activate();
    void Run(uint32_t frames);
    LV2_State_Status Save(LV2_State_Store_Function store, LV2_State_Handle handle);
    LV2_State_Status Restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);

    // --- editor link (UI thread)
    uintptr_t OpenEditor(uintptr_t parent, int32_t* width, int32_t* height);
    void CloseEditor();
    void IdleEditor();
    void TakeEdits(void* context, void (*deliver)(void*, uint32_t, uint32_t, float));
    void ShowPortValue(uint32_t port, float value);

    // --- for tests
    KeloEffect& Effect() { return *mEffect; }
    // Blocks passed through unprocessed because another thread held the
    // effect's lock for longer than the audio thread waits.
    int64_t MissedBlocks() const { return mMissedBlocks.load(std::memory_order_relaxed); }

private:
    // The effect's host link. A member of its own: the editor link must stay
    // at the instance's address, with no virtual table before it.
    class Host : public HostLink {
    public:
        explicit Host(Lv2Plugin& plugin) : mPlugin(plugin) {}
        int64_t TransportSample(int32_t offset) override;
        double TransportTempo() override;
        void TransportMeter(int32_t& numerator, int32_t& denominator) override;
        // LV2 names no host: false.
        bool IdentifyHost(char*, char*, size_t, int32_t&) override { return false; }
        // No MIDI port: false.
        bool EmitMidi(const MidiMessage&) override { return false; }
        // The edit notes are queued for the UI thread (a value in the
        // parameter's own unit); a change of the saved state is written to
        // the notify port by the next run.
        void SendHostNote(const HostNote& note) override;
        // The latency port carries the delay after every run.
        void TellLatencyChanged() override {}
        void LatencySet(int32_t) override {}
        // The UI binary opens the editor; nothing to tell.
        void EditorAttached() override {}

    private:
        Lv2Plugin& mPlugin;
    };

    Lv2Plugin(const Lv2Uris& uris, LV2_Log_Log* log);
    // Takes new control port values into the parameters (under the lock).
    void ApplyPortValues();
    // Applies one time:Position object to the transport.
    void ReadPosition(const LV2_Atom_Object* object);
    // Runs frames first..first+count-1 through the effect and moves the transport.
    void ProcessPiece(uint32_t first, uint32_t count);
    // The block's input copied to the output: the effect's lock was not free.
    void PassThrough(uint32_t frames);
    // The notify port's sequence for this run: state:StateChanged when one is
    // waiting, else empty.
    void WriteNotifications();
    // The transport's tempo as the effect's resets take it (they run under
    // the lock, where the transport is not asked).
    void HearTempo();
    bool NumberOf(const LV2_Atom* atom, double& value) const;

    Lv2Uris mUris;
    bool mMapped = false; // the host mapped the URIDs (urid:map)
    LV2_Log_Log* mLog;
    Host mHost{*this};
    std::unique_ptr<KeloEffect> mEffect;
    int32_t mParamCount;

    // Ports.
    const float* mIn[2] = {nullptr, nullptr};
    float* mOut[2] = {nullptr, nullptr};
    const LV2_Atom_Sequence* mTime = nullptr;
    LV2_Atom_Sequence* mNotify = nullptr;
    float* mLatency = nullptr;
    const float* mControls[kLv2MaxParams] = {};
    // The port value last taken for each parameter (NaN: none yet). A value
    // differs from it only when the host wrote the port.
    float mHeard[kLv2MaxParams];

    // Transport: written by the audio thread, read wherever the effect asks.
    std::atomic<double> mPosition{0.0};
    std::atomic<double> mSpeed{1.0};
    std::atomic<double> mTempo{120.0};
    std::atomic<int32_t> mBeatsPerBar{4};
    std::atomic<int32_t> mBeatUnit{4};

    // Editor edits waiting for the UI thread, in order, and one bit per
    // parameter with a value among them.
    HostOutbox mUiNotes;
    std::atomic<uint32_t> mEditMask{0};
    // A change of the saved state waiting for the notify port.
    std::atomic<bool> mStateChanged{false};

    std::atomic<int64_t> mMissedBlocks{0};
};
