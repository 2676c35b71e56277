// The UI binary's code over a plug-in instance, as a host with instance-access
// drives it: the editor opens in the host's X11 window and reports its size,
// an edit in the editor reaches the host's write function on the idle call,
// a host's port event moves the knob, and a host without a needed feature
// gets a refusal; and the same while the audio plays, the host's worker fits
// and the options switch (also under ThreadSanitizer). Needs an X display
// (the test command provides one).
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <lv2/instance-access/instance-access.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "editor/control.h"
#include "editor/editor.h"
#include "effect/kelo.h"
#include "lv2/lv2_plugin.h"
#include "plug/param.h"

extern "C" const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index);

namespace {

LV2_URID MapNothing(LV2_URID_Map_Handle, const char*) {
    static LV2_URID next = 0;
    return ++next;
}

struct Written {
    uint32_t port;
    float value;
};

struct HostSide {
    std::vector<Written> writes;
    int width = 0, height = 0;
    static void Write(LV2UI_Controller controller, uint32_t port, uint32_t size, uint32_t format,
                      const void* buffer) {
        if (size == sizeof(float) && format == 0)
            static_cast<HostSide*>(controller)
                ->writes.push_back({port, *static_cast<const float*>(buffer)});
    }
    static int Resize(LV2UI_Feature_Handle handle, int width, int height) {
        auto* self = static_cast<HostSide*>(handle);
        self->width = width;
        self->height = height;
        return 0;
    }
};

double KnobValue(KeloEffect& effect, int32_t index) {
    auto* editor = static_cast<Editor*>(effect.GetEditor());
    for (int32_t i = 0; i < editor->ControlCount(); ++i)
        if (editor->ControlAtIndex(i)->ParamIdx() == index)
            return editor->ControlAtIndex(i)->Value();
    return -1.0;
}

TEST(Lv2Ui, EditorInTheHostsWindowBothWays) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        if (std::getenv("KELO_REQUIRE_DISPLAY")) FAIL() << "DISPLAY is not set";
        GTEST_SKIP() << "no X display";
    }
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    const Window parent =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 700, 640, 0, 0, 0);
    XMapWindow(display, parent);
    XSync(display, False);

    LV2_URID_Map map = {nullptr, &MapNothing};
    LV2_Feature mapFeature = {LV2_URID__map, &map};
    const LV2_Feature* pluginFeatures[] = {&mapFeature, nullptr};
    std::unique_ptr<Lv2Plugin> plugin(Lv2Plugin::Create(48000.0, pluginFeatures));
    ASSERT_NE(plugin, nullptr);
    float controls[kParamCount];
    for (int i = 0; i < kParamCount; ++i) {
        controls[i] = float(plugin->Effect().ParamAt(i)->Value());
        plugin->ConnectPort(kPortFirstParam + uint32_t(i), &controls[i]);
    }

    HostSide host;
    LV2UI_Resize resize = {&host, &HostSide::Resize};
    LV2_Feature access = {LV2_INSTANCE_ACCESS_URI, plugin.get()};
    LV2_Feature parentFeature = {LV2_UI__parent, reinterpret_cast<void*>(parent)};
    LV2_Feature resizeFeature = {LV2_UI__resize, &resize};
    const LV2UI_Descriptor* ui = lv2ui_descriptor(0);
    ASSERT_NE(ui, nullptr);
    EXPECT_EQ(lv2ui_descriptor(1), nullptr);

    // Refusals: no instance, no parent, another plug-in's URI.
    LV2UI_Widget widget = nullptr;
    const LV2_Feature* noInstance[] = {&parentFeature, nullptr};
    const LV2_Feature* noParent[] = {&access, nullptr};
    const LV2_Feature* all[] = {&access, &parentFeature, &resizeFeature, nullptr};
    EXPECT_EQ(ui->instantiate(ui, KELO_LV2_URI, "", &HostSide::Write, &host, &widget, noInstance),
              nullptr);
    EXPECT_EQ(ui->instantiate(ui, KELO_LV2_URI, "", &HostSide::Write, &host, &widget, noParent),
              nullptr);
    EXPECT_EQ(ui->instantiate(ui, "urn:other", "", &HostSide::Write, &host, &widget, all), nullptr);

    LV2UI_Handle handle =
        ui->instantiate(ui, KELO_LV2_URI, "", &HostSide::Write, &host, &widget, all);
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(widget, nullptr);
    EXPECT_EQ(host.width, 675);
    EXPECT_EQ(host.height, 619);
    // The editor's window is a child of the host's.
    Window root, parentOf, *children = nullptr;
    unsigned count = 0;
    ASSERT_TRUE(XQueryTree(display, Window(reinterpret_cast<uintptr_t>(widget)), &root, &parentOf,
                           &children, &count));
    if (children) XFree(children);
    EXPECT_EQ(parentOf, parent);

    const auto* idle =
        static_cast<const LV2UI_Idle_Interface*>(ui->extension_data(LV2_UI__idleInterface));
    ASSERT_NE(idle, nullptr);
    // A switch and a knob changed in the editor reach the host on the idle call.
    KeloEffect& effect = plugin->Effect();
    effect.EditorParamChange(kParamGate, 1.0);
    effect.EditorParamChange(kParamThreshold, effect.ParamAt(kParamThreshold)->NormalizedOf(-33.3));
    EXPECT_TRUE(host.writes.empty());
    // The editor's own thread may be in a frame, holding what the effect tells
    // the host until it is out: those edits come with a later idle call.
    for (int tries = 0; tries < 400 && host.writes.size() < 2; ++tries) {
        EXPECT_EQ(idle->idle(handle), 0);
        if (host.writes.size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(host.writes.size(), 2u);
    std::sort(host.writes.begin(), host.writes.end(),
              [](const auto& a, const auto& b) { return a.port < b.port; });
    EXPECT_EQ(host.writes[0].port, uint32_t(kPortFirstParam + kParamThreshold));
    EXPECT_NEAR(host.writes[0].value, -33.3f, 1e-4);
    EXPECT_EQ(host.writes[1].port, uint32_t(kPortFirstParam + kParamGate));
    EXPECT_EQ(host.writes[1].value, 1.0f);
    // A host's port event moves the knob.
    const float strength = 0.25f;
    ui->port_event(handle, kPortFirstParam + kParamStrength, sizeof(float), 0, &strength);
    EXPECT_NEAR(KnobValue(effect, kParamStrength), 0.25, 1e-9);
    // Events of other formats or ports are ignored.
    const float junk = 0.9f;
    ui->port_event(handle, kPortFirstParam + kParamStrength, sizeof(float), 7, &junk);
    ui->port_event(handle, 999, sizeof(float), 0, &junk);
    EXPECT_NEAR(KnobValue(effect, kParamStrength), 0.25, 1e-9);

    ui->cleanup(handle);
    plugin.reset();
    XDestroyWindow(display, parent);
    XCloseDisplay(display);
}

// A host as jalv is one: the audio thread runs the plug-in and takes the UI's
// port writes into the ports between blocks, a worker thread does the work the
// plug-in schedules, and the UI thread idles the UI, hands the writes over and
// shows port values; the user switches the options and presses autofit
// meanwhile. Every write lands, the worker fits, and nothing races.
TEST(Lv2Ui, TheUiTheAudioAndTheWorkerMeetWhileItPlays) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        if (std::getenv("KELO_REQUIRE_DISPLAY")) FAIL() << "DISPLAY is not set";
        GTEST_SKIP() << "no X display";
    }
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    const Window parent =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 700, 640, 0, 0, 0);
    XMapWindow(display, parent);
    XSync(display, False);

    // The host's worker: a thread that does what the plug-in schedules.
    struct Worker {
        std::mutex lock;
        std::condition_variable wake;
        int asked = 0, done = 0;
        bool stop = false;
        static LV2_Worker_Status Schedule(LV2_Worker_Schedule_Handle handle, uint32_t,
                                          const void*) {
            auto* self = static_cast<Worker*>(handle);
            std::lock_guard<std::mutex> hold(self->lock);
            ++self->asked;
            self->wake.notify_all();
            return LV2_WORKER_SUCCESS;
        }
    } worker;
    LV2_Worker_Schedule schedule = {&worker, &Worker::Schedule};
    LV2_URID_Map map = {nullptr, &MapNothing};
    LV2_Feature mapFeature = {LV2_URID__map, &map};
    LV2_Feature scheduleFeature = {LV2_WORKER__schedule, &schedule};
    const LV2_Feature* pluginFeatures[] = {&mapFeature, &scheduleFeature, nullptr};
    std::unique_ptr<Lv2Plugin> plugin(Lv2Plugin::Create(48000.0, pluginFeatures));
    ASSERT_NE(plugin, nullptr);
    float controls[kParamCount];
    for (int i = 0; i < kParamCount; ++i) {
        controls[i] = float(plugin->Effect().ParamAt(i)->Value());
        plugin->ConnectPort(kPortFirstParam + uint32_t(i), &controls[i]);
    }
    float latency = 0.0f;
    std::vector<float> inL(128), inR(128), outL(128), outR(128);
    plugin->ConnectPort(kPortLatency, &latency);
    plugin->ConnectPort(kPortInL, inL.data());
    plugin->ConnectPort(kPortInR, inR.data());
    plugin->ConnectPort(kPortOutL, outL.data());
    plugin->ConnectPort(kPortOutR, outR.data());
    plugin->Activate();

    // The UI's writes, handed to the audio thread through the host's queue.
    struct Writes {
        std::mutex lock;
        std::vector<Written> queue;
        int total = 0;
        static void Write(LV2UI_Controller controller, uint32_t port, uint32_t size,
                          uint32_t format, const void* buffer) {
            auto* self = static_cast<Writes*>(controller);
            if (size != sizeof(float) || format != 0) return;
            std::lock_guard<std::mutex> hold(self->lock);
            self->queue.push_back({port, *static_cast<const float*>(buffer)});
            ++self->total;
        }
    } writes;
    std::atomic<bool> stop{false}, finite{true};
    std::thread audio([&] {
        for (int64_t block = 0; !stop.load(); ++block) {
            {
                std::lock_guard<std::mutex> hold(writes.lock);
                for (const Written& w : writes.queue)
                    if (w.port >= kPortFirstParam && w.port < kPortFirstParam + kParamCount)
                        controls[w.port - kPortFirstParam] = w.value;
                writes.queue.clear();
            }
            // The host's own automation of autofit: on and off every 50 blocks.
            if (block % 50 == 0) controls[kParamAutofit] = float((block / 50) % 2);
            for (size_t i = 0; i < inL.size(); ++i) {
                const int64_t t = block * 128 + int64_t(i);
                inL[i] = inR[i] = t % 9600 < 2400 ? 0.7f * std::sin(0.04f * float(t)) : 0.0f;
            }
            plugin->Run(uint32_t(inL.size()));
            for (float v : outL)
                if (!std::isfinite(v)) finite = false;
            std::this_thread::sleep_for(std::chrono::microseconds(700));
        }
    });
    std::thread work([&] {
        std::unique_lock<std::mutex> hold(worker.lock);
        for (;;) {
            worker.wake.wait(hold, [&] { return worker.stop || worker.done < worker.asked; });
            if (worker.done >= worker.asked) return;
            hold.unlock();
            plugin->Work();
            hold.lock();
            ++worker.done;
        }
    });

    LV2_Feature access = {LV2_INSTANCE_ACCESS_URI, plugin.get()};
    LV2_Feature parentFeature = {LV2_UI__parent, reinterpret_cast<void*>(parent)};
    const LV2_Feature* uiFeatures[] = {&access, &parentFeature, nullptr};
    const LV2UI_Descriptor* ui = lv2ui_descriptor(0);
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle handle =
        ui->instantiate(ui, KELO_LV2_URI, "", &Writes::Write, &writes, &widget, uiFeatures);
    ASSERT_NE(handle, nullptr);
    const auto* idle =
        static_cast<const LV2UI_Idle_Interface*>(ui->extension_data(LV2_UI__idleInterface));
    KeloEffect& effect = plugin->Effect();
    auto idleFor = [&](int milliseconds) {
        for (int i = 0; i < milliseconds / 10; ++i) {
            idle->idle(handle);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    for (int round = 0; round < 6; ++round) {
        // The user: an option, a knob, autofit pressed and let go; the host
        // shows a port value it has.
        effect.SetLookahead(round % 2 == 0);
        effect.SetDetectBothPolarities(round % 3 == 0);
        effect.EditorParamChange(kParamStrength, 0.1 * round);
        effect.EditorParamChange(kParamAutofit, 1.0);
        idleFor(40);
        effect.EditorParamChange(kParamAutofit, 0.0);
        const float threshold = -20.0f - float(round);
        ui->port_event(handle, kPortFirstParam + kParamThreshold, sizeof(float), 0, &threshold);
        idleFor(60);
        EXPECT_EQ(effect.Lookahead(), round % 2 == 0) << round;
    }
    idleFor(100);
    stop = true;
    audio.join();
    {
        std::lock_guard<std::mutex> hold(worker.lock);
        worker.stop = true;
        worker.wake.notify_all();
    }
    work.join();
    ui->cleanup(handle);
    // Every press reached the ports through the host (on and off, six times),
    // and the latency port followed the last switch.
    EXPECT_GE(writes.total, 12);
    EXPECT_EQ(latency, 0.0f);
    // The host's automation of autofit was fitted by its worker.
    EXPECT_GE(worker.done, 1);
    EXPECT_TRUE(finite.load());
    plugin.reset();
    XDestroyWindow(display, parent);
    XCloseDisplay(display);
}

} // namespace
