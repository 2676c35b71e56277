#include "editor/frame_pacer.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>

FramePacer::FramePacer(int fps) : mPeriodMs(int(1000.0 / double(fps))) {
    if (mPeriodMs < 1) mPeriodMs = 1;
}

void FramePacer::Begin() {
    if (pipe2(mWake, O_CLOEXEC | O_NONBLOCK) != 0) mWake[0] = mWake[1] = -1;
    mNextFrameMs = NowMs();
    mLastIdleMs = 0;
    mStop = false;
}

void FramePacer::End() {
    for (int& fd : mWake) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

bool FramePacer::HostIdles() const {
    const int64_t last = mLastIdleMs;
    return last > 0 && NowMs() - last < kHostIdleGraceMs;
}

void FramePacer::FrameTaken() {
    ++mFramesTaken;
    mNextFrameMs += mPeriodMs;
    if (mNextFrameMs <= NowMs()) mNextFrameMs = NowMs() + mPeriodMs;
}

void FramePacer::Start(std::function<void()> loop) {
    mThread = std::thread([loop = std::move(loop)] {
        pthread_setname_np(pthread_self(), "kelo-editor"); // as tools show the thread
        loop();
    });
}

void FramePacer::Wait(int connection) const {
    const bool hostDrives = HostIdles();
    const int64_t wait = hostDrives ? kHostIdleGraceMs / 2
                                    : std::clamp<int64_t>(mNextFrameMs - NowMs(), 0, mPeriodMs);
    // While the host drives, the connection is its idle call's to read.
    pollfd fds[2] = {{mWake[0], POLLIN, 0}, {connection, POLLIN, 0}};
    poll(fds, hostDrives ? 1 : 2, int(wait));
}

void FramePacer::Stop() {
    mStop = true;
    if (mWake[1] >= 0) {
        const char byte = 1;
        ssize_t ignored = write(mWake[1], &byte, 1);
        (void)ignored;
    }
}

void FramePacer::Join() {
    // Never detached: the thread has ended before the editor (and the module
    // holding its code) can go.
    if (mThread.joinable() && mThread.get_id() != std::this_thread::get_id()) mThread.join();
}
