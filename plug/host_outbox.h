// What the plug-in has to tell its host, kept until it can be told: a small
// fixed-capacity queue of notes (a parameter's new value, the start and end of
// a user's gesture on a parameter, a change of the saved state that is no
// parameter, a new latency). Posting never allocates and never calls the host, so it is safe
// under any lock of ours and on any thread; EffectBase delivers the notes in
// order once no lock of ours is held.
#pragma once

#include <cstdint>
#include <mutex>

enum class HostNoteKind : int32_t {
    Automate,       // index took value (normalized)
    BeginEdit,      // the user took hold of parameter index
    EndEdit,        // and let go of it
    StateChanged,   // the saved state changed outside the parameters
    LatencyChanged, // the latency changed: the host reads it again
};

struct HostNote {
    HostNoteKind kind;
    int32_t index;
    double value;
};

class HostOutbox {
public:
    static constexpr int kCapacity = 256;

    // Appends a note. A LatencyChanged that finds one queued is told by it
    // (the host reads the latency once, when it hears). A full queue (its
    // reader held up, a thread delivering put aside by the scheduler) is
    // folded as PostFolding folds it: a dropped begin or end edit would leave
    // the host holding a parameter, or letting go of one it never took.
    void Post(const HostNote& note);
    // For a queue whose reader may not come for a while (see
    // EffectBase::SetNotesWaitForAudio). An Automate note whose parameter's
    // Automate is the newest note queued replaces that note's value. A full
    // queue is folded to what the host must still hear instead of dropping
    // the note: per parameter, a begin edit if the host was not holding it
    // before, its last value, an end edit if the host holds it no more; then
    // each other kind of note once.
    void PostFolding(const HostNote& note);
    // Takes the oldest note; false when there is none.
    bool Take(HostNote& note);
    bool Empty() const;
    // Notes dropped because even the folded queue had no room.
    int64_t Dropped() const;

private:
    void PostLocked(const HostNote& note); // with mLock held
    void FoldLocked();                     // with mLock held
    mutable std::mutex mLock;              // guards the ring only; nothing is called under it
    HostNote mRing[kCapacity] = {};
    int mHead = 0;  // oldest note
    int mCount = 0; // notes queued
    int64_t mDropped = 0;
};
