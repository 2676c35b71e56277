// Work an effect puts off from its hooks (which may run on the audio thread,
// and do run under the plug-in's lock) is done on the roads off the audio
// thread, with no lock of ours held: a host parameter change from a thread
// that does not process, the editor's changes and the end of its ticks, and
// never under the lock nor on a thread that ran the audio road.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "tests/plug/test_effect.h"

namespace {

// Parameter 0 asks for work (as "autofit" does); the work notes whether the
// lock was held and whether the thread had processed.
class AskingEffect : public TestEffect {
public:
    void ParamChanged(int32_t index) override {
        TestEffect::ParamChanged(index);
        if (index == 0) {
            asked = true;
            AskForDeferredWork();
        }
    }
    int done = 0;
    bool doneUnderLock = false, doneOnAudioThread = false;
    bool asked = false;

protected:
    void DoDeferredWork() override {
        if (!asked) return;
        asked = false;
        ++done;
        doneUnderLock = doneUnderLock || FrameLock().HeldByThisThread();
        doneOnAudioThread = doneOnAudioThread || OnAudioThread();
    }
};

void ProcessOneBlock(EffectBase& fx) {
    std::vector<float> l(64), r(64);
    float* io[2] = {l.data(), r.data()};
    fx.ProcessFloatReplacing(io, io, 64);
}

void OnThread(const std::function<void()>& work) {
    std::thread thread(work);
    thread.join();
}

TEST(PutOffWork, IsDoneOnEachRoadOffTheAudioThreadAndOnNoOtherRoad) {
    const struct {
        const char* road;
        std::function<void(AskingEffect&)> ask;
        int done;
    } cases[] = {
        {"a host change from a thread that does not process",
         [](AskingEffect& fx) { OnThread([&] { fx.HostParamChange(0, 0.7); }); }, 1},
        {"a host change from the thread that processes",
         [](AskingEffect& fx) { fx.HostParamChange(0, 0.7); }, 0},
        {"an editor change",
         [](AskingEffect& fx) { OnThread([&] { fx.EditorParamChange(0, 0.7); }); }, 1},
        {"a change while another thread holds the notes, done when they are let go",
         [](AskingEffect& fx) {
             fx.HoldHostNotes();
             OnThread([&] { fx.EditorParamChange(0, 0.7); });
             fx.ReleaseHostNotes();
         },
         1},
        {"a serve asked for under the lock",
         [](AskingEffect& fx) {
             fx.HostParamChange(0, 0.7); // the audio thread: put off
             ScopedLock hold(fx.FrameLock());
             fx.ServeDeferredWork();
         },
         0},
        {"a serve asked for with no lock held",
         [](AskingEffect& fx) {
             fx.HostParamChange(0, 0.7);
             fx.ServeDeferredWork();
         },
         1},
    };
    for (const auto& c : cases) {
        AskingEffect fx;
        fx.ConnectAll(64);
        ProcessOneBlock(fx); // this thread is an audio thread now
        c.ask(fx);
        EXPECT_EQ(fx.done, c.done) << c.road;
        EXPECT_FALSE(fx.doneUnderLock) << c.road;
    }
}

TEST(PutOffWork, AThreadIsAnAudioThreadOnceItProcessedAndTheLastFourAreKept) {
    AskingEffect fx;
    fx.ConnectAll(64);
    EXPECT_FALSE(fx.OnAudioThread());
    // Hosts move their processing between threads: each that processed counts
    // until four others have since.
    bool first = false, firstAfterFour = true;
    OnThread([&] {
        ProcessOneBlock(fx);
        first = fx.OnAudioThread();
        // Four others, alive together (a thread that ended may lend its
        // identity to the next one).
        std::atomic<int> processed{0};
        std::vector<std::thread> others;
        for (int i = 0; i < 4; ++i)
            others.emplace_back([&] {
                ProcessOneBlock(fx);
                ++processed;
                while (processed.load() < 4)
                    std::this_thread::yield();
            });
        for (std::thread& other : others)
            other.join();
        firstAfterFour = fx.OnAudioThread();
    });
    EXPECT_TRUE(first);
    EXPECT_FALSE(firstAfterFour);
    EXPECT_FALSE(fx.OnAudioThread());
}

} // namespace
