// Whether any lock of ours is held while the host is called: from the host's
// callback, another thread takes each of them in turn (the plug-in's lock, the
// editor's control list, the edit panel's lock, and the X11 window's lock when
// the editor has one) and the callback waits for it. A lock the calling
// thread holds keeps the probe waiting: the host then waits in vain, as a host
// that waits on another thread of its own would (a deadlock in a real one).
#pragma once

#include <chrono>
#include <future>
#include <mutex>
#include <vector>

#include "editor/editor.h"
#include "effect/ui/amp_display.h"
#include "effect/ui/kelo_plugin.h"
#include "plug/lock.h"

#ifdef __linux__
#include "editor/editor_x11.h"
#endif

class LockProbes {
public:
    // Waits for the probes still running (their locks were let go meanwhile).
    ~LockProbes() { WaitAll(); }

    // Takes every lock of fx's, one after the other, on another thread; false
    // when that took longer than limit. A probe that is late is kept, to be
    // waited for once the caller has let go.
    bool OurLocksAreFree(KeloPlugin& fx,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
        auto probe = std::async(std::launch::async, [&fx] {
            { ScopedLock hold(fx.FrameLock()); }
            if (auto* editor = static_cast<Editor*>(fx.GetEditor())) {
                // The list lock: showing a value the control already shows.
                const Param* param = fx.ParamAt(kParamGate);
                editor->ShowParamValue(kParamGate, param->Normalized(), true);
#ifdef __linux__
                if (auto* x11 = dynamic_cast<EditorX11*>(editor)) x11->FrameCount();
#endif
            }
            if (AmpDisplay* amp = fx.AmpView()) amp->Length();
        });
        const bool free = probe.wait_for(limit) == std::future_status::ready;
        if (free) return true;
        std::lock_guard<std::mutex> hold(mLock);
        mLate.push_back(std::move(probe));
        ++mStalls;
        return false;
    }
    int Stalls() {
        std::lock_guard<std::mutex> hold(mLock);
        return mStalls;
    }
    void WaitAll() {
        std::vector<std::future<void>> probes;
        {
            std::lock_guard<std::mutex> hold(mLock);
            probes.swap(mLate);
        }
        for (auto& probe : probes)
            probe.wait();
    }

private:
    std::mutex mLock;
    std::vector<std::future<void>> mLate;
    int mStalls = 0;
};
