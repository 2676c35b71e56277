// What an effect asks of its host, whatever the plug-in format: the transport,
// who the host is, MIDI out, the notes of the user's work, the latency and the
// editor. Each format's adapter implements it and hands it to the effect it
// holds (EffectBase::SetHostLink); the effect never sees the format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plug/host_outbox.h"

struct MidiMessage;

// Largest block size taken from a host; larger host blocks are processed in
// pieces of this size, so the scratch memory stays bounded.
constexpr int32_t kMaxHostBlockSize = 65536;
// Largest state accepted from a host (no state of ours comes near it).
constexpr intptr_t kMaxHostChunkSize = intptr_t(1) << 30;

class HostLink {
public:
    virtual ~HostLink() = default;

    // --- what the effect asks; the transport from the audio thread, inside
    // the processing
    // The host's sample position of frame offset of the block being processed
    // (0 when the host does not say).
    virtual int64_t TransportSample(int32_t offset) = 0;
    // Beats per minute; 0 when the host does not say.
    virtual double TransportTempo() = 0;
    // The time signature; 0/0 when the host does not say.
    virtual void TransportMeter(int32_t& numerator, int32_t& denominator) = 0;

    // The host's vendor and product names (cut to size - 1 bytes, terminated)
    // and its version as a decimal number; false when it does not tell.
    virtual bool IdentifyHost(char* vendor, char* product, size_t size,
                              int32_t& decimalVersion) = 0;
    // --- what the effect tells
    // One MIDI event for the host; false when it did not take it.
    virtual bool EmitMidi(const MidiMessage& message) = 0;
    // One note (automate, begin and end edit, the state changed, the latency
    // changed: see LatencySet); told with no lock of ours held, never from
    // within the processing (to a host that wants them on its audio thread,
    // before the processing takes the lock). A host that ignores a latency change is
    // not harmed.
    virtual void SendHostNote(const HostNote& note) = 0;

    // --- news of the effect's own; may come under the plug-in's lock, so
    // they store what the host will read and call nothing in it
    // The effect's latency is now samples.
    virtual void LatencySet(int32_t samples) = 0;
    // The effect has an editor now.
    virtual void EditorAttached() = 0;
};
