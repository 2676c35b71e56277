#include "editor/document_opener.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

extern char** environ;

namespace {

bool FindInPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty()) dir = ".";
        if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// Starts argv[0] from PATH with every signal unblocked; the process id, or -1.
pid_t Spawn(const char* const* argv) {
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return -1;
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int rc =
        posix_spawnp(&pid, argv[0], nullptr, &attr, const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

} // namespace

bool DocumentOpener::Open(const char* path) {
    if (!path || !*path || !FindInPath("xdg-open")) return false;
    Reap();
    // setsid -f leaves xdg-open to init at once: nothing of it stays our child.
    const char* detached[] = {"setsid", "-f", "xdg-open", path, nullptr};
    const pid_t pid = Spawn(detached);
    if (pid > 0) {
        int status = 0;
        pid_t done;
        do {
            done = waitpid(pid, &status, 0);
        } while (done < 0 && errno == EINTR);
        if (done < 0) return errno == ECHILD; // a host that ignores SIGCHLD
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // No setsid: our own child, reaped on later ticks.
    const char* direct[] = {"xdg-open", path, nullptr};
    const pid_t child = Spawn(direct);
    if (child <= 0) return false;
    mChildren.push_back(child);
    return true;
}

void DocumentOpener::Reap() {
    for (size_t i = 0; i < mChildren.size();) {
        int status = 0;
        const pid_t done = waitpid(mChildren[i], &status, WNOHANG);
        if (done == 0) {
            ++i;
        } else {
            mChildren.erase(mChildren.begin() + long(i));
        }
    }
}
