// Editor checks: the editor opened and closed repeatedly, and driven with the
// mouse, while audio plays on another thread; the host's automation callback
// waits for that audio thread (so an editor path that calls the host under a
// lock its processing takes is found); and the effect closed with its editor
// still open.
#include <atomic>
#include <chrono>
#include <cstdlib>
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

    // A host whose automation and edit callbacks, from any thread but the
    // audio one, wait until the audio thread has played more.
    std::atomic<EditorSession*> live{nullptr};
    std::atomic<int> requests{0}, timeouts{0};
    HostOptions options;
    options.onRequest = [&](int32_t opcode, int32_t, float) {
        if (opcode != kVstHostAutomate && opcode != kVstHostBeginEdit && opcode != kVstHostEndEdit)
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
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    };
    auto plugin = OpenInstance(context, rate, 256, options);
    if (!plugin) return;
    {
        EditorSession session(*plugin);
        session.StartAudio(DemoSignal(rate), rate, 256, true);
        live = &session;
        std::string error;
        const int rounds = context.Scaled(12);
        for (int round = 0; round < rounds && timeouts.load() == 0; ++round) {
            if (!session.Open(error)) {
                context.Fail("round %d: the editor did not open: %s", round, error.c_str());
                break;
            }
            session.Pump(20);
            for (int i = 0; i < context.Scaled(16); ++i)
                for (const MouseEvent& event :
                     RandomGesture(context.rng, session.Width(), session.Height()))
                    session.Window().SendMouse(event);
            session.Pump(10);
            session.Close();
            session.Pump(5);
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
        context.Note("%d rounds, %.1f s of audio, %d automation or edit requests from the "
                     "editor's side",
                     rounds, double(played) / rate, requests.load());
    }
    if (timeouts.load() > 0)
        context.Fail("%d of %d host requests from the editor's side waited 2 s for the audio "
                     "thread in vain: the plug-in calls the host while holding a lock its "
                     "processing needs",
                     timeouts.load(), requests.load());
}

} // namespace

void AddEditorChecks(std::vector<Check>& checks) {
    checks.push_back({"editor.open_close",
                      "editor opened, used and closed while processing; closed with the effect",
                      OpenClose});
}
