// Opens documents and addresses with the desktop's opener (xdg-open), as the
// editor's manual link asks: the path goes as one argument of a program
// started from PATH, never through a shell, with every signal unblocked, and
// no process is left behind for the host to reap.
//
// Not thread-safe: the X11 face calls it under its window lock.
#pragma once

#include <vector>

class DocumentOpener {
public:
    DocumentOpener() = default;
    DocumentOpener(const DocumentOpener&) = delete;
    DocumentOpener& operator=(const DocumentOpener&) = delete;
    // Reaps the children that have ended (the others are left running).
    ~DocumentOpener() { Reap(); }

    // Starts xdg-open with path. Through setsid -f the opener is left to init
    // at once, and the answer is whether it started; without setsid it stays
    // our child until Reap finds it ended, and the answer is whether it could
    // be started. False for a null or empty path and without xdg-open in PATH.
    bool Open(const char* path);
    // Reaps the children that have ended, without waiting for the others.
    void Reap();
    // Children started and not reaped yet.
    int Running() const { return int(mChildren.size()); }

private:
    std::vector<int> mChildren; // process ids
};
