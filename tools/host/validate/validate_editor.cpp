// Editor checks: the editor opened and closed repeatedly, and driven with the
// mouse, while audio plays on another thread; the host's callbacks wait for
// that audio thread and, from a thread of the plug-in's own, for the host's
// user-interface thread too (so an editor path that calls the host under a
// lock its processing or its editor takes is found); and the effect closed
// with its editor still open.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/host/demo_signal.h"
#include "tools/host/editor_session.h"
#include "tools/host/validate/validate_support.h"

namespace {

// Skips (or, where the test command demands a display, fails) without one.
bool HaveDisplay(CheckContext& context) {
#ifdef _WIN32
    (void)context;
    return true;
#else
    const char* display = std::getenv("DISPLAY");
    if (display && *display) return true;
    if (std::getenv("KELO_REQUIRE_DISPLAY"))
        context.Fail("no display (DISPLAY is not set) and KELO_REQUIRE_DISPLAY asks for one");
    else
        context.Skip("no display (DISPLAY is not set)");
    return false;
#endif
}

// One gesture at a random place: a press, drags about it and a release
// (sometimes with a modifier or the right button), or a single click, double
// click, wheel turn, hover or leave.
std::vector<MouseEvent> RandomGesture(Rng& rng, int width, int height) {
    MouseEvent event;
    event.x = rng.Int(-5, width + 5);
    event.y = rng.Int(-5, height + 5);
    event.button = rng.Uniform() < 0.85 ? MouseButton::Left : MouseButton::Right;
    event.shift = rng.Uniform() < 0.2;
    event.control = rng.Uniform() < 0.1;
    std::vector<MouseEvent> events;
    const int kind = rng.Int(0, 9);
    if (kind <= 5) {
        event.action = MouseAction::Press;
        events.push_back(event);
        for (int i = rng.Int(1, 6); i > 0; --i) {
            event.action = MouseAction::Drag;
            event.x += rng.Int(-40, 40);
            event.y += rng.Int(-40, 40);
            events.push_back(event);
        }
        event.action = MouseAction::Release;
    } else {
        const MouseAction single[] = {MouseAction::DoubleClick, MouseAction::Wheel,
                                      MouseAction::Move, MouseAction::Leave};
        event.action = single[kind - 6];
        event.notches = rng.Int(-3, 3);
    }
    events.push_back(event);
    return events;
}

// The host's user-interface thread as the callback sees it: a request from a
// thread of the plug-in's own is handed over and waited for (at most 2 s), as
// hosts that handle their plug-ins' calls on their own thread do; the thread
// serves the requests between its rounds of events. A change of the I/O (a
// new latency) makes it ask for the editor again, as a host that shows the
// plug-in's window anew does (an open editor declines: answers 0); anything
// else, for the editor's size. A plug-in that calls from its editor's thread
// while holding a lock those requests take keeps the host waiting in vain.
// While the thread closes the plug-in's editor (which ends the editor's own
// threads) the host takes the plug-in's calls without waiting, as hosts let a
// closing window's calls go.
class UiThread {
public:
    UiThread() : mId(std::this_thread::get_id()) {}
    bool IsUiThread() const { return std::this_thread::get_id() == mId; }
    // From another thread: false when the request was not served in time.
    bool HandOver(int32_t opcode) {
        auto request = std::make_shared<Request>();
        request->opcode = opcode;
        std::unique_lock<std::mutex> hold(mLock);
        if (mClosing) return true;
        mQueue.push_back(request);
        return mServed.wait_for(hold, std::chrono::seconds(2),
                                [&] { return request->done || mClosing; });
    }
    // On the user-interface thread, around an editor's closing.
    void Closing(bool closing) {
        std::lock_guard<std::mutex> hold(mLock);
        mClosing = closing;
        mServed.notify_all();
    }
    // On the user-interface thread; parent: the editor's window while it is
    // open, else null.
    void Serve(PluginInstance& plugin, void* parent) {
        std::deque<std::shared_ptr<Request>> queue;
        {
            std::lock_guard<std::mutex> hold(mLock);
            queue.swap(mQueue);
        }
        for (const auto& request : queue) {
            if (parent && request->opcode == kVstHostIoChanged) {
                plugin.Dispatch(kVstOpEditorOpen, 0, 0, parent);
            } else {
                void* rect = nullptr;
                plugin.Dispatch(kVstOpEditorGetRect, 0, 0, &rect);
            }
            std::lock_guard<std::mutex> hold(mLock);
            request->done = true;
        }
        mServed.notify_all();
    }

private:
    struct Request {
        int32_t opcode = 0;
        bool done = false;
    };
    const std::thread::id mId;
    bool mClosing = false; // guarded by mLock
    std::mutex mLock;
    std::condition_variable mServed;
    std::deque<std::shared_ptr<Request>> mQueue;
};

void OpenClose(CheckContext& context) {
    const double rate = 48000.0;
    {
        auto probe = OpenInstance(context, rate, 256);
        if (!probe) return;
        if (!(probe->Record()->flags & kVstFlagHasEditor)) {
            context.Skip("the plug-in declares no editor");
            return;
        }
    }
    if (!HaveDisplay(context)) return;

    // A host whose callbacks that tell it something (automation, edits, the
    // state, the I/O), from any thread but the audio one, wait until the
    // audio thread has played more, and from a thread of the plug-in's own
    // are handed to its user-interface thread.
    std::atomic<EditorSession*> live{nullptr};
    std::atomic<int> requests{0}, timeouts{0}, handedOver{0}, uiTimeouts{0};
    std::atomic<int32_t> lastOpcode{-1};
    UiThread ui;
    HostOptions options;
    options.onRequest = [&](int32_t opcode, int32_t, float) {
        if (opcode != kVstHostAutomate && opcode != kVstHostBeginEdit &&
            opcode != kVstHostEndEdit && opcode != kVstHostUpdateDisplay &&
            opcode != kVstHostIoChanged)
            return;
        EditorSession* session = live.load();
        if (!session || !session->AudioRunning() ||
            std::this_thread::get_id() == session->AudioThreadId())
            return;
        ++requests;
        const int64_t target = session->FramesPlayed() + 2 * 256;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        // (The audio stopping meanwhile, at the end of the check, is no fault.)
        while (session->FramesPlayed() < target && live.load() == session) {
            if (std::chrono::steady_clock::now() > end) {
                ++timeouts;
                lastOpcode = opcode;
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (ui.IsUiThread()) return;
        ++handedOver;
        if (!ui.HandOver(opcode)) {
            ++uiTimeouts;
            lastOpcode = opcode;
        }
    };
    auto plugin = OpenInstance(context, rate, 256, options);
    if (!plugin) return;
    const KnownPlugin known = KnownPluginOf(*plugin->Record());
    {
        EditorSession session(*plugin);
        session.StartAudio(DemoSignal(rate), rate, 256, true);
        live = &session;
        std::string error;
        // Events for the editor's window, served between short rounds, with
        // the host idling the editor or (odd rounds) leaving it to its own timer.
        auto pump = [&](int milliseconds, bool idle) {
            for (int done = 0; done < milliseconds; done += 10) {
                session.Pump(10, idle);
                ui.Serve(*plugin, session.IsOpen() ? session.Window().NativeHandle() : nullptr);
            }
        };
        const int rounds = context.Scaled(12);
        for (int round = 0; round < rounds && timeouts.load() + uiTimeouts.load() == 0; ++round) {
            const bool idle = round % 2 == 0;
            if (!session.Open(error)) {
                context.Fail("round %d: the editor did not open: %s", round, error.c_str());
                break;
            }
            pump(20, idle);
            for (int i = 0; i < context.Scaled(16); ++i) {
                for (const MouseEvent& event :
                     RandomGesture(context.rng, session.Width(), session.Height()))
                    session.Window().SendMouse(event);
                ui.Serve(*plugin, session.Window().NativeHandle());
            }
            // What random gestures seldom hit: each known spot, clicked twice.
            for (const auto& spot : known.editorSpots)
                for (int click = 0; click < 2; ++click) {
                    session.Window().SendMouse({MouseAction::Move, spot.x, spot.y});
                    session.Window().SendMouse({MouseAction::Click, spot.x, spot.y});
                    pump(60, idle);
                }
            pump(10, idle);
            ui.Closing(true);
            session.Close();
            ui.Closing(false);
            pump(5, idle);
        }
        const int64_t played = session.FramesPlayed();
        if (!session.AudioRunning()) context.Fail("the audio thread stopped");
        // Last: the effect closed with its editor open, as hosts may.
        if (session.Open(error)) {
            session.Pump(20);
            live = nullptr;
            session.StopAudio();
            plugin->Close();
        }
        live = nullptr;
        if (played <= 0) context.Fail("no audio was played while the editor was open");
        context.Note("%d rounds, %.1f s of audio, %d requests from the editor's side (%d from "
                     "a thread of the plug-in's own), %zu known spots clicked",
                     rounds, double(played) / rate, requests.load(), handedOver.load(),
                     known.editorSpots.size());
    }
    if (timeouts.load() > 0)
        context.Fail("%d of %d host requests from the editor's side (last: opcode %d) waited 2 s "
                     "for the audio thread in vain: the plug-in calls the host while holding a "
                     "lock its processing needs",
                     timeouts.load(), requests.load(), lastOpcode.load());
    if (uiTimeouts.load() > 0)
        context.Fail("%d of %d host requests from a thread of the plug-in's own (last: opcode %d) "
                     "waited 2 s for the host's user-interface thread in vain: the plug-in calls "
                     "the host while holding a lock its editor requests take",
                     uiTimeouts.load(), handedOver.load(), lastOpcode.load());
}

} // namespace

void AddEditorChecks(std::vector<Check>& checks) {
    checks.push_back({"editor.open_close",
                      "editor opened, used and closed while processing; closed with the effect",
                      OpenClose});
}
