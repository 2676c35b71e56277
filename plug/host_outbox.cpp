#include "plug/host_outbox.h"

void HostOutbox::Post(const HostNote& note) {
    std::lock_guard<std::mutex> hold(mLock);
    if (mCount == kCapacity) FoldLocked();
    PostLocked(note);
}

void HostOutbox::PostLocked(const HostNote& note) {
    // The host reads the latency when it hears of the change: one note waiting
    // tells it of every change since.
    if (note.kind == HostNoteKind::LatencyChanged)
        for (int i = 0; i < mCount; ++i) {
            HostNote& queued = mRing[(mHead + i) % kCapacity];
            if (queued.kind == HostNoteKind::LatencyChanged) {
                queued.value = note.value;
                return;
            }
        }
    if (mCount < kCapacity) {
        mRing[(mHead + mCount) % kCapacity] = note;
        ++mCount;
        return;
    }
    // Only a queue that folding could not shorten (more parameters than a
    // third of its room) gets here.
    ++mDropped;
}

void HostOutbox::PostFolding(const HostNote& note) {
    std::lock_guard<std::mutex> hold(mLock);
    if (note.kind == HostNoteKind::Automate && mCount > 0) {
        HostNote& newest = mRing[(mHead + mCount - 1) % kCapacity];
        if (newest.kind == HostNoteKind::Automate && newest.index == note.index) {
            newest.value = note.value;
            return;
        }
    }
    if (mCount == kCapacity) FoldLocked();
    PostLocked(note);
}

namespace {

bool IsEdit(HostNoteKind kind) {
    return kind == HostNoteKind::Automate || kind == HostNoteKind::BeginEdit ||
           kind == HostNoteKind::EndEdit;
}

} // namespace

void HostOutbox::FoldLocked() {
    HostNote queued[kCapacity]; // on the stack: posting never allocates
    const int n = mCount;
    for (int i = 0; i < n; ++i)
        queued[i] = mRing[(mHead + i) % kCapacity];
    mHead = 0;
    mCount = 0;
    auto first = [&](int i, bool (*same)(const HostNote&, const HostNote&)) {
        for (int j = 0; j < i; ++j)
            if (same(queued[j], queued[i])) return false;
        return true;
    };
    // Each parameter where it first appears: what its notes did to the host.
    for (int i = 0; i < n; ++i) {
        if (!IsEdit(queued[i].kind)) continue;
        const auto sameParam = [](const HostNote& a, const HostNote& b) {
            return IsEdit(a.kind) && a.index == b.index;
        };
        if (!first(i, sameParam)) continue;
        const int32_t index = queued[i].index;
        int firstHold = -1, lastHold = -1; // the first and last begin or end edit
        const HostNote* value = nullptr;
        for (int j = i; j < n; ++j) {
            if (queued[j].index != index || !IsEdit(queued[j].kind)) continue;
            if (queued[j].kind == HostNoteKind::Automate) {
                value = &queued[j];
            } else {
                if (firstHold < 0) firstHold = j;
                lastHold = j;
            }
        }
        if (firstHold < 0) { // values only: the host's hold is as it was
            if (value) PostLocked(*value);
            continue;
        }
        // An end before any begin: the host held the parameter already.
        const bool heldBefore = queued[firstHold].kind == HostNoteKind::EndEdit;
        const bool heldAfter = queued[lastHold].kind == HostNoteKind::BeginEdit;
        bool held = heldBefore;
        if (!held && (heldAfter || value)) {
            PostLocked(HostNote{HostNoteKind::BeginEdit, index, 0.0});
            held = true;
        }
        if (value) PostLocked(*value);
        if (held && !heldAfter) PostLocked(HostNote{HostNoteKind::EndEdit, index, 0.0});
    }
    // Every other kind once, in the order they first came.
    for (int i = 0; i < n; ++i) {
        if (IsEdit(queued[i].kind)) continue;
        const auto sameKind = [](const HostNote& a, const HostNote& b) { return a.kind == b.kind; };
        if (first(i, sameKind)) PostLocked(queued[i]);
    }
}

bool HostOutbox::Take(HostNote& note) {
    std::lock_guard<std::mutex> hold(mLock);
    if (mCount == 0) return false;
    note = mRing[mHead];
    mHead = (mHead + 1) % kCapacity;
    --mCount;
    return true;
}

bool HostOutbox::Empty() const {
    std::lock_guard<std::mutex> hold(mLock);
    return mCount == 0;
}

int64_t HostOutbox::Dropped() const {
    std::lock_guard<std::mutex> hold(mLock);
    return mDropped;
}
