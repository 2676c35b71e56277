// A TestEffect that records what it would tell its host ("begin 1",
// "value 1 0.5", "end 1", "state"), and whether the plug-in's lock was held
// by the delivering thread at the time.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "tests/plug/test_effect.h"

class NoteEffect : public TestEffect {
public:
    using TestEffect::TestEffect;

    std::vector<std::string> Notes() {
        std::lock_guard<std::mutex> hold(mNotesLock);
        return mNotes;
    }
    int DeliveredUnderLock() {
        std::lock_guard<std::mutex> hold(mNotesLock);
        return mUnderLock;
    }
    void ClearNotes() {
        std::lock_guard<std::mutex> hold(mNotesLock);
        mNotes.clear();
    }

protected:
    void SendHostNote(const HostNote& note) override {
        char text[64];
        switch (note.kind) {
        case HostNoteKind::Automate:
            std::snprintf(text, sizeof text, "value %d %.6f", int(note.index), note.value);
            break;
        case HostNoteKind::BeginEdit:
            std::snprintf(text, sizeof text, "begin %d", int(note.index));
            break;
        case HostNoteKind::EndEdit:
            std::snprintf(text, sizeof text, "end %d", int(note.index));
            break;
        case HostNoteKind::StateChanged:
            std::snprintf(text, sizeof text, "state");
            break;
        case HostNoteKind::LatencyChanged:
            std::snprintf(text, sizeof text, "latency %d", int(note.value));
            break;
        }
        const bool underLock = FrameLock().HeldByThisThread();
        {
            std::lock_guard<std::mutex> hold(mNotesLock);
            mNotes.push_back(text);
            if (underLock) ++mUnderLock;
        }
        OnNote(note);
    }
    // What the host does after recording (the threaded test waits here).
    virtual void OnNote(const HostNote&) {}

private:
    std::mutex mNotesLock;
    std::vector<std::string> mNotes;
    int mUnderLock = 0;
};
