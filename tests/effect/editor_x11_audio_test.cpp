// The product's editor in a real X11 window (Xvfb in the test command) while
// the audio plays, the host automates every parameter and saves and loads the
// state from threads of its own, and the user clicks the option switches,
// autofit and the knobs: no call reaches the host while a lock of ours is
// held (the lookahead switch's new latency included), every switch lands, and
// under ThreadSanitizer no crossing races.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "hosted_fixture.h"
#include "lock_probe.h"
#include "tools/host/parent_window.h"

namespace {

// The host: notes every call that tells it something and, from any thread
// but the audio thread, checks that no lock of ours is held meanwhile.
struct ProbingHost {
    KeloPlugin* fx = nullptr;
    std::atomic<std::thread::id> audio{};
    LockProbes probes;
    std::atomic<int> underLock{0}, ioChanged{0}, edits{0};
    std::atomic<int32_t> delaySeen{-1};
};
ProbingHost* gHost = nullptr;

intptr_t KELO_VSTCALL Callback(VstEffectRecord* record, int32_t opcode, int32_t, intptr_t, void*,
                               float) {
    ProbingHost* host = gHost;
    if (!host || !host->fx) return 0;
    const bool tells = opcode == kVstHostAutomate || opcode == kVstHostBeginEdit ||
                       opcode == kVstHostEndEdit || opcode == kVstHostUpdateDisplay ||
                       opcode == kVstHostIoChanged;
    if (!tells) return 0;
    if (host->fx->FrameLock().HeldByThisThread()) ++host->underLock;
    if (opcode == kVstHostIoChanged) {
        ++host->ioChanged;
        host->delaySeen = record ? record->initialDelay : -1;
    } else {
        ++host->edits;
    }
    if (std::this_thread::get_id() != host->audio.load()) host->probes.OurLocksAreFree(*host->fx);
    return opcode == kVstHostAutomate ? 0 : 1;
}

bool HaveDisplay() {
    const char* display = std::getenv("DISPLAY");
    return display && *display;
}

// Where the user clicks (editor coordinates).
struct Spot {
    int x, y;
};
const Spot kLookahead = {20, 595}, kPolarities = {20, 579}, kAutofit = {128, 322};
const Spot kThreshold = {72, 124}, kStrength = {41, 383};

TEST(EditorWithAudio, TheUserTheHostAndTheAudioMeetWithNoHostCallUnderOurLocks) {
    if (!HaveDisplay()) {
        if (std::getenv("KELO_REQUIRE_DISPLAY")) FAIL() << "DISPLAY is not set";
        GTEST_SKIP() << "no X display";
    }
    ProbingHost host;
    gHost = &host;
    const VstHostCallback before = ModuleHostCallback();
    SetModuleHostCallback(&Callback);
    {
        HostedKelo fx(48000.0, 64);
        host.fx = &fx;
        auto window = NewParentWindow();
        ASSERT_TRUE(window->Create(675, 619, "kelo test")) << window->Error();
        ASSERT_EQ(fx.Dispatch(kVstOpEditorOpen, 0, 0, window->NativeHandle()), 1);

        std::atomic<bool> done{false}, finite{true};
        std::thread audio([&] {
            host.audio = std::this_thread::get_id();
            std::vector<float> l(64), r(64);
            float* io[2] = {l.data(), r.data()};
            for (int64_t block = 0; !done.load(); ++block) {
                // A burst every quarter second at 48 kHz, silence between.
                for (int i = 0; i < 64; ++i) {
                    const int64_t t = block * 64 + i;
                    const double v = t % 12000 < 3000 ? 0.7 * std::sin(0.05 * double(t)) : 0.0;
                    l[size_t(i)] = r[size_t(i)] = float(v);
                }
                fx.Record()->processReplacing(fx.Record(), io, io, 64);
                for (float v : l)
                    if (!std::isfinite(v)) finite = false;
                std::this_thread::sleep_for(std::chrono::microseconds(600));
            }
        });
        // A state to load between the rounds (both options off).
        std::vector<uint8_t> plain;
        {
            void* data = nullptr;
            const intptr_t size = fx.Dispatch(kVstOpGetChunk, 0, 0, &data);
            ASSERT_GT(size, 0);
            plain.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
        }
        // The host's automation of every parameter but autofit, with reads
        // back, and its saves, from a thread of its own.
        std::thread automation([&] {
            std::mt19937 rng(7);
            std::uniform_real_distribution<float> u(0.0f, 1.0f);
            for (int op = 0; !done.load(); ++op) {
                const int32_t index = int32_t(rng() % kParamCount);
                if (index != kParamAutofit) fx.Record()->setParameter(fx.Record(), index, u(rng));
                fx.Record()->getParameter(fx.Record(), int32_t(rng() % kParamCount));
                if (op % 20 == 0) {
                    void* data = nullptr;
                    fx.Dispatch(kVstOpGetChunk, 0, 0, &data);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });

        // The user, with the host idling the editor and without (the window's
        // own thread ticks then).
        auto click = [&](const Spot& at, bool idles) {
            window->SendMouse({MouseAction::Move, at.x, at.y});
            window->SendMouse({MouseAction::Click, at.x, at.y});
            window->Pump(120, idles ? std::function<void()>([&] { fx.Dispatch(kVstOpEditorIdle); })
                                    : std::function<void()>());
        };
        auto drag = [&](const Spot& at, int dy, bool idles) {
            window->SendMouse({MouseAction::Press, at.x, at.y});
            for (int step = 1; step <= 4; ++step)
                window->SendMouse({MouseAction::Drag, at.x, at.y + step * dy / 4});
            window->SendMouse({MouseAction::Release, at.x, at.y + dy});
            window->Pump(60, idles ? std::function<void()>([&] { fx.Dispatch(kVstOpEditorIdle); })
                                   : std::function<void()>());
        };
        // The window shown and drawn once before the user starts.
        window->Pump(300, [&] { fx.Dispatch(kVstOpEditorIdle); });
        // A click on the lookahead switch lands within a few frames; the
        // window is pumped until it has (or 5 s, for slow runs) first.
        auto clickLookahead = [&](bool idles, bool expected) {
            window->SendMouse({MouseAction::Move, kLookahead.x, kLookahead.y});
            window->SendMouse({MouseAction::Click, kLookahead.x, kLookahead.y});
            for (int waited = 0; waited < 5000 && fx.Lookahead() != expected; waited += 20)
                window->Pump(20, idles
                                     ? std::function<void()>([&] { fx.Dispatch(kVstOpEditorIdle); })
                                     : std::function<void()>());
            window->Pump(60, idles ? std::function<void()>([&] { fx.Dispatch(kVstOpEditorIdle); })
                                   : std::function<void()>());
        };
        int lookaheadClicks = 0; // even at the start of each round
        for (bool idles : {true, false}) {
            // A host that stops idling leaves the window to its own thread
            // after a grace of a quarter second.
            if (!idles) window->Pump(400, std::function<void()>());
            for (int round = 0; round < 2; ++round) {
                // A preset loaded from the host's user-interface thread.
                ASSERT_EQ(fx.Dispatch(kVstOpSetChunk, 0, intptr_t(plain.size()), plain.data()), 1);
                EXPECT_FALSE(fx.Lookahead());
                ++lookaheadClicks;
                clickLookahead(idles, lookaheadClicks % 2 == 1);
                EXPECT_EQ(fx.Lookahead(), lookaheadClicks % 2 == 1) << idles;
                click(kPolarities, idles);
                click(kAutofit, idles);
                drag(kThreshold, -20, idles);
                drag(kStrength, 15, idles);
                ++lookaheadClicks;
                clickLookahead(idles, lookaheadClicks % 2 == 1);
                EXPECT_EQ(fx.Lookahead(), lookaheadClicks % 2 == 1) << idles;
            }
        }
        done = true;
        audio.join();
        automation.join();
        fx.Dispatch(kVstOpEditorClose);
        window->Destroy();
        fx.DeliverHostNotes();
        host.probes.WaitAll();
        EXPECT_TRUE(finite.load());
        host.fx = nullptr;
    }
    SetModuleHostCallback(before);
    gHost = nullptr;
    EXPECT_EQ(host.underLock.load(), 0);
    EXPECT_EQ(host.probes.Stalls(), 0) << "a call reached the host while a lock of ours was held";
    // Every switch of lookahead told the host its new latency.
    EXPECT_GE(host.ioChanged.load(), 8);
    EXPECT_EQ(host.delaySeen.load(), 0);
    EXPECT_GT(host.edits.load(), 0);
}

} // namespace
