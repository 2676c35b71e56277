// What the host hears of the user's work: gestures, host notes queued and
// delivered with no lock of ours held, the latency told as a note, and the
// work put off from the audio thread to a road that may do it.
#include "plug/effect_base.h"

// ---------------------------------------------------------------- gestures

void EffectBase::BeginGesture() {
    std::lock_guard<std::mutex> hold(mGestureLock);
    mGestureOpen = true;
}

void EffectBase::EndGesture() {
    {
        std::lock_guard<std::mutex> hold(mGestureLock);
        if (!mGestureOpen) return;
        mGestureOpen = false;
        for (int32_t index : mGestureOrder) {
            mGestureTaken[size_t(index)] = 0;
            PostHostNote(HostNoteKind::EndEdit, index, 0.0);
        }
        mGestureOrder.clear();
        if (mGestureStateChanged) PostHostNote(HostNoteKind::StateChanged, -1, 0.0);
        mGestureStateChanged = false;
    }
    DeliverHostNotes();
}

bool EffectBase::GestureOpen() const {
    std::lock_guard<std::mutex> hold(mGestureLock);
    return mGestureOpen;
}

void EffectBase::StateChanged() {
    {
        std::lock_guard<std::mutex> hold(mGestureLock);
        if (mGestureOpen) {
            mGestureStateChanged = true;
            return;
        }
        PostHostNote(HostNoteKind::StateChanged, -1, 0.0);
    }
    DeliverHostNotes();
}

// ---------------------------------------------------------------- delivery

void EffectBase::HoldHostNotes() {
    mNoteHolds.fetch_add(1);
}

void EffectBase::ReleaseHostNotes() {
    if (mNoteHolds.fetch_sub(1) != 1) return;
    DeliverHostNotes();
    // The end of an editor's tick: a road off the audio thread.
    ServeDeferredWork();
}

void EffectBase::DeliverHostNotes() {
    if (mNotesWaitForAudio.load()) return; // the audio road delivers them
    DeliverQueuedNotes();
}

void EffectBase::DeliverQueuedNotes() {
    if (mLock.HeldByThisThread() || mNoteHolds.load() > 0) return;
    // One thread at a time, so the host hears the notes in their order. A
    // thread that finds another delivering leaves its notes to it: the other
    // looks again after letting go.
    while (!mOutbox.Empty()) {
        bool idle = false;
        if (!mDelivering.compare_exchange_strong(idle, true)) return;
        HostNote note;
        while (mOutbox.Take(note))
            SendHostNote(note);
        mDelivering.store(false);
    }
}

void EffectBase::SendHostNote(const HostNote& note) {
    if (mHostLink) mHostLink->SendHostNote(note);
}

void EffectBase::PostHostNote(HostNoteKind kind, int32_t index, double value) {
    // Waiting for the audio road, a drag's values between two blocks would
    // fill the queue (the last one stands for them), and a host that does not
    // process for a while must still hear every gesture end.
    if (mNotesWaitForAudio.load())
        mOutbox.PostFolding(HostNote{kind, index, value});
    else
        mOutbox.Post(HostNote{kind, index, value});
}

void EffectBase::SetDelay(int32_t samples) {
    ScopedLock hold(mLock);
    if (samples == mDelay) return;
    mDelay = samples;
    if (mHostLink) mHostLink->LatencySet(samples);
    // The host reads the new latency when it hears of it.
    PostHostNote(HostNoteKind::LatencyChanged, -1, double(samples));
}

// ---------------------------------------------------------------- put-off work

void EffectBase::ServeDeferredWork() {
    // The flag first, so that a road that finds nothing asked calls nothing
    // in the effect (an effect being destroyed, say).
    if (!mWorkAsked.load() || mLock.HeldByThisThread()) return;
    mWorkAsked.store(false);
    DoDeferredWork();
}
