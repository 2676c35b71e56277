// The LV2 adapter in process: the time port reaches the effect's transport
// and the tempo its resets take, port values count only when the host writes
// them, editor gestures reach the UI thread as grabs, port values and
// releases, state changes reach the notify port, a block that finds the
// effect's lock held waits for it and is processed like any other, an autofit
// the port asks for is done by the host's worker, and the threads that meet in
// an instance do so safely
// (tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "effect/kelo.h"
#include "lv2/lv2_plugin.h"
#include "plug/lock.h"
#include "plug/param.h"
#include "tests/common/test_seed.h"
#include "urid_map.h"

namespace {

struct Rig {
    UridMap map;
    LV2_Feature mapFeature{LV2_URID__map, &map.feature};
    const LV2_Feature* features[2] = {&mapFeature, nullptr};
    std::unique_ptr<Lv2Plugin> plugin;
    float controls[kParamCount];
    float latency = -1.0f;
    std::vector<float> inL, inR, outL, outR;

    explicit Rig(double rate = 48000.0, uint32_t frames = 256)
        : inL(frames), inR(frames), outL(frames), outR(frames) {
        plugin.reset(Lv2Plugin::Create(rate, features));
        for (int i = 0; i < kParamCount; ++i) {
            controls[i] = float(plugin->Effect().ParamAt(i)->Value());
            plugin->ConnectPort(kPortFirstParam + uint32_t(i), &controls[i]);
        }
        plugin->ConnectPort(kPortLatency, &latency);
        plugin->ConnectPort(kPortInL, inL.data());
        plugin->ConnectPort(kPortInR, inR.data());
        plugin->ConnectPort(kPortOutL, outL.data());
        plugin->ConnectPort(kPortOutR, outR.data());
        plugin->Activate();
    }
    double Value(KeloParam index) {
        ScopedLock hold(plugin->Effect().FrameLock());
        return plugin->Effect().ParamAt(index)->Value();
    }
    // Runs a block with the notify port connected, counting the state
    // changes it carries.
    alignas(8) uint8_t notify[256];
    int stateChanges = 0;
    void RunNotified(uint32_t frames, uint32_t capacity = sizeof notify) {
        plugin->ConnectPort(kPortNotify, notify);
        reinterpret_cast<LV2_Atom*>(notify)->size = capacity;
        plugin->Run(frames);
        stateChanges += StateChangesIn(notify);
    }
    int StateChangesIn(const uint8_t* buffer) {
        const auto* sequence = reinterpret_cast<const LV2_Atom_Sequence*>(buffer);
        if (sequence->atom.type != UridMap::Map(&map, LV2_ATOM__Sequence)) return 0;
        int count = 0;
        LV2_ATOM_SEQUENCE_FOREACH(sequence, event) {
            const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
            if (event->body.type == UridMap::Map(&map, LV2_ATOM__Object) &&
                object->body.otype == UridMap::Map(&map, LV2_STATE__StateChanged))
                ++count;
        }
        return count;
    }
    void Noise(uint32_t seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-0.9f, 0.9f);
        for (size_t i = 0; i < inL.size(); ++i) {
            inL[i] = u(rng);
            inR[i] = u(rng);
        }
    }
};

struct Edit {
    uint32_t note; // a KeloLv2UiNote
    uint32_t port;
    float value;
};
void Collect(void* context, uint32_t note, uint32_t port, float value) {
    static_cast<std::vector<Edit>*>(context)->push_back({note, port, value});
}
// The values among what the UI thread took.
std::vector<Edit> Values(const std::vector<Edit>& edits) {
    std::vector<Edit> values;
    for (const Edit& e : edits)
        if (e.note == kUiNoteValue) values.push_back(e);
    return values;
}

TEST(Lv2Adapter, TimePositionReachesTheTransport) {
    Rig rig(48000.0, 256);
    // A sequence with one time:Position at frame 100.
    alignas(8) uint8_t buffer[512];
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &rig.map.feature);
    lv2_atom_forge_set_buffer(&forge, buffer, sizeof buffer);
    LV2_Atom_Forge_Frame seq, obj;
    lv2_atom_forge_sequence_head(&forge, &seq, 0);
    lv2_atom_forge_frame_time(&forge, 100);
    lv2_atom_forge_object(&forge, &obj, 0, UridMap::Map(&rig.map, LV2_TIME__Position));
    lv2_atom_forge_key(&forge, UridMap::Map(&rig.map, LV2_TIME__frame));
    lv2_atom_forge_long(&forge, 480000);
    lv2_atom_forge_key(&forge, UridMap::Map(&rig.map, LV2_TIME__speed));
    lv2_atom_forge_float(&forge, 1.0f);
    lv2_atom_forge_key(&forge, UridMap::Map(&rig.map, LV2_TIME__beatsPerMinute));
    lv2_atom_forge_float(&forge, 90.0f);
    lv2_atom_forge_key(&forge, UridMap::Map(&rig.map, LV2_TIME__beatsPerBar));
    lv2_atom_forge_float(&forge, 3.0f);
    lv2_atom_forge_pop(&forge, &obj);
    lv2_atom_forge_pop(&forge, &seq);
    rig.plugin->ConnectPort(kPortTime, buffer);

    KeloEffect& effect = rig.plugin->Effect();
    rig.plugin->Run(256);
    EXPECT_EQ(effect.TransportSample(), 480000 + 156);
    EXPECT_EQ(effect.TransportTempo(), 90.0);
    int32_t num = 0, den = 0;
    effect.TransportMeter(num, den);
    EXPECT_EQ(num, 3);
    EXPECT_EQ(den, 4);
    // Without events the transport runs on; a stopped one stands still.
    rig.plugin->ConnectPort(kPortTime, nullptr);
    rig.plugin->Run(256);
    EXPECT_EQ(effect.TransportSample(), 480000 + 156 + 256);
    EXPECT_EQ(rig.latency, 0.0f);
}

// A time:Position with frame and speed, and a tempo when bpm is a number.
void WritePosition(Rig& rig, uint8_t* buffer, size_t size, double bpm) {
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &rig.map.feature);
    lv2_atom_forge_set_buffer(&forge, buffer, size);
    LV2_Atom_Forge_Frame seq, obj;
    lv2_atom_forge_sequence_head(&forge, &seq, 0);
    lv2_atom_forge_frame_time(&forge, 0);
    lv2_atom_forge_object(&forge, &obj, 0, UridMap::Map(&rig.map, LV2_TIME__Position));
    lv2_atom_forge_key(&forge, UridMap::Map(&rig.map, LV2_TIME__frame));
    lv2_atom_forge_long(&forge, 0);
    lv2_atom_forge_key(&forge, UridMap::Map(&rig.map, LV2_TIME__speed));
    lv2_atom_forge_float(&forge, 0.0f);
    if (!std::isnan(bpm)) {
        lv2_atom_forge_key(&forge, UridMap::Map(&rig.map, LV2_TIME__beatsPerMinute));
        lv2_atom_forge_float(&forge, float(bpm));
    }
    lv2_atom_forge_pop(&forge, &obj);
    lv2_atom_forge_pop(&forge, &seq);
}

// The tempo each reset gives the displays (the detect panel's beats): the
// last tempo a position carried, 120 bpm when none ever did. jalv on JACK's
// dummy driver sends frame and speed only.
TEST(Lv2Adapter, AResetTakesTheLastTempoHeardOr120) {
    const double none = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        std::vector<double> bpms; // one position per run; none: no tempo in it
        double tempo;
    };
    const Case cases[] = {
        {"no position at all", {}, 120.0},
        {"frame and speed only", {none, none}, 120.0},
        {"a tempo", {90.0}, 90.0},
        {"a tempo, then positions without", {90.0, none, none}, 90.0},
        {"a tempo of 0", {0.0}, 120.0},
        {"a tempo, then one of 0 or below", {75.0, 0.0, -5.0}, 75.0},
    };
    for (const Case& c : cases) {
        Rig rig;
        KeloEffect& effect = rig.plugin->Effect();
        {
            ScopedLock hold(effect.FrameLock());
            const EnvViewNews made = effect.EnvView().TakeNews();
            EXPECT_TRUE(made.rate) << c.name;
            EXPECT_EQ(made.tempo, 120.0) << c.name << ": the new instance's reset";
        }
        alignas(8) uint8_t buffer[256];
        for (double bpm : c.bpms) {
            WritePosition(rig, buffer, sizeof buffer, bpm);
            rig.plugin->ConnectPort(kPortTime, buffer);
            rig.plugin->Run(64);
        }
        rig.plugin->ConnectPort(kPortTime, nullptr);
        rig.plugin->Activate(); // a reset, as hosts make between runs
        ScopedLock hold(effect.FrameLock());
        const EnvViewNews news = effect.EnvView().TakeNews();
        EXPECT_TRUE(news.rate) << c.name;
        EXPECT_EQ(news.tempo, c.tempo) << c.name;
    }
}

// A gesture in the editor reaches the UI thread in order: each parameter's
// grab before its first value, the values (a run of them as its last), the
// releases at the end; a change outside a gesture is a gesture of its own.
TEST(Lv2Adapter, AGestureReachesTheUiThreadAsGrabsValuesAndReleases) {
    Rig rig;
    KeloEffect& effect = rig.plugin->Effect();
    const uint32_t threshold = kPortFirstParam + kParamThreshold;
    const uint32_t gate = kPortFirstParam + kParamGate;
    const uint32_t strength = kPortFirstParam + kParamStrength;
    effect.BeginGesture();
    effect.EditorParamChange(kParamThreshold, 0.5);
    effect.EditorParamChange(kParamThreshold, 0.25);
    effect.EditorParamChange(kParamGate, 1.0);
    effect.EndGesture();
    effect.EditorParamChange(kParamStrength, 0.75);
    std::vector<Edit> edits;
    rig.plugin->TakeEdits(&edits, &Collect);
    const float thresholdValue = float(rig.Value(kParamThreshold));
    const std::vector<Edit> expected = {
        {kUiNoteGrab, threshold, 0.0f},    {kUiNoteValue, threshold, thresholdValue},
        {kUiNoteGrab, gate, 0.0f},         {kUiNoteValue, gate, 1.0f},
        {kUiNoteRelease, threshold, 0.0f}, {kUiNoteRelease, gate, 0.0f},
        {kUiNoteGrab, strength, 0.0f},     {kUiNoteValue, strength, 0.75f},
        {kUiNoteRelease, strength, 0.0f},
    };
    ASSERT_EQ(edits.size(), expected.size());
    for (size_t i = 0; i < edits.size(); ++i) {
        EXPECT_EQ(edits[i].note, expected[i].note) << i;
        EXPECT_EQ(edits[i].port, expected[i].port) << i;
        EXPECT_EQ(edits[i].value, expected[i].value) << i;
    }
    EXPECT_EQ(rig.stateChanges, 0);
}

// A change of the saved state outside the parameters goes out once on the
// notify port, at the first run with room for it; every run leaves a valid
// sequence there, or an empty atom when there is none to write.
TEST(Lv2Adapter, AStateChangeIsWrittenOnceToTheNotifyPort) {
    Rig rig;
    rig.RunNotified(64);
    const auto* atom = reinterpret_cast<const LV2_Atom*>(rig.notify);
    EXPECT_EQ(atom->type, UridMap::Map(&rig.map, LV2_ATOM__Sequence));
    EXPECT_EQ(atom->size, sizeof(LV2_Atom_Sequence_Body)) << "an empty sequence";
    rig.plugin->Effect().StateChanged();
    rig.RunNotified(64, sizeof(LV2_Atom_Sequence)); // room for the empty sequence only
    EXPECT_EQ(rig.stateChanges, 0);
    EXPECT_EQ(atom->size, sizeof(LV2_Atom_Sequence_Body));
    rig.RunNotified(64);
    EXPECT_EQ(rig.stateChanges, 1);
    rig.RunNotified(64);
    rig.RunNotified(64);
    EXPECT_EQ(rig.stateChanges, 1) << "told once";
    rig.RunNotified(64, 4); // no room for a sequence at all
    EXPECT_EQ(atom->size, 0u);

    // Without urid:map the port holds an empty atom.
    const LV2_Feature* none[] = {nullptr};
    std::unique_ptr<Lv2Plugin> bare(Lv2Plugin::Create(48000.0, none));
    ASSERT_NE(bare, nullptr);
    alignas(8) uint8_t buffer[64];
    std::memset(buffer, 0xAB, sizeof buffer);
    reinterpret_cast<LV2_Atom*>(buffer)->size = sizeof buffer;
    bare->ConnectPort(kPortNotify, buffer);
    bare->Effect().StateChanged();
    bare->Run(64);
    EXPECT_EQ(reinterpret_cast<LV2_Atom*>(buffer)->size, 0u);
}

TEST(Lv2Adapter, PortValuesCountOnlyWhenTheHostWritesThem) {
    Rig rig;
    KeloEffect& effect = rig.plugin->Effect();
    rig.plugin->Run(64);
    // The editor sets a value no float holds; the port, unchanged, does not undo it.
    const double precise = -20.123456789;
    const double n = effect.ParamAt(kParamThreshold)->NormalizedOf(precise);
    effect.EditorParamChange(kParamThreshold, n);
    const double edited = rig.Value(kParamThreshold);
    EXPECT_NEAR(edited, precise, 1e-9);
    rig.plugin->Run(64);
    EXPECT_EQ(rig.Value(kParamThreshold), edited);
    // The UI thread hears the edit once, in the parameter's unit.
    std::vector<Edit> edits;
    rig.plugin->TakeEdits(&edits, &Collect);
    const std::vector<Edit> values = Values(edits);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].port, uint32_t(kPortFirstParam + kParamThreshold));
    EXPECT_EQ(values[0].value, float(edited));
    edits.clear();
    rig.plugin->TakeEdits(&edits, &Collect);
    EXPECT_TRUE(edits.empty());
    // The host writes that value back: nothing moves.
    rig.controls[kParamThreshold] = float(edited);
    rig.plugin->Run(64);
    EXPECT_EQ(rig.Value(kParamThreshold), edited);
    // A value that differs wins, switches take 0.5 as their middle.
    rig.controls[kParamThreshold] = -30.0f;
    rig.controls[kParamGate] = 0.7f;
    rig.plugin->Run(64);
    EXPECT_EQ(rig.Value(kParamThreshold), -30.0);
    EXPECT_EQ(rig.Value(kParamGate), 1.0);
    // Out of range is clamped, NaN is ignored.
    rig.controls[kParamStrength] = 7.0f;
    rig.controls[kParamEnvTime] = std::nanf("");
    rig.plugin->Run(64);
    EXPECT_EQ(rig.Value(kParamStrength), 1.0);
    EXPECT_EQ(rig.Value(kParamEnvTime), 0.2);
}

// A block that finds the lock held by another thread waits for it and comes
// out as it would have without the wait: delayed by what the latency port
// says, shaped, and with the transport moved on (the block after it is no
// jump). A twin instance that never waits is the reference.
TEST(Lv2Adapter, ABlockThatFindsTheLockHeldWaitsAndIsProcessedAsAnyOther) {
    Rig rig, twin;
    for (Rig* r : {&rig, &twin}) {
        r->plugin->Effect().SetLookahead(true);
        r->controls[kParamStrength] = 1.0f;
    }
    std::mt19937 rng(TestSeed(1u));
    for (int block = 0; block < 12; ++block) {
        // Bursts of noise a block long, the blocks found waiting among them,
        // with silence enough between for the detector to re-arm.
        const uint32_t seed = uint32_t(rng());
        const float gain = block % 6 == 1 ? 1.0f : 0.0f;
        for (Rig* r : {&rig, &twin}) {
            r->Noise(seed);
            for (size_t i = 0; i < r->inL.size(); ++i) {
                r->inL[i] *= gain;
                r->inR[i] *= gain;
            }
        }
        twin.plugin->Run(256);
        if (block % 3 != 1) {
            rig.plugin->Run(256);
        } else {
            // The holder lets go only once the block has been seen waiting.
            Lock& lock = rig.plugin->Effect().FrameLock();
            std::atomic<bool> held{false}, ran{false};
            std::thread holder([&] {
                lock.Enter();
                held = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                EXPECT_FALSE(ran.load()) << "the block ran while the lock was held";
                lock.Leave();
            });
            while (!held.load())
                std::this_thread::yield();
            rig.plugin->Run(256);
            ran = true;
            holder.join();
        }
        ASSERT_EQ(rig.latency, float(rig.plugin->Effect().LookaheadSamples())) << block;
        ASSERT_EQ(rig.outL, twin.outL) << block;
        ASSERT_EQ(rig.outR, twin.outR) << block;
    }
    EXPECT_GT(rig.plugin->Effect().EnvelopeStarts(), 0) << "the noise never shaped";
}

// The autofit port asks for a fit in run(); the worker is asked once per
// switch to on, after the block with the effect's lock let go, and the fit is
// done in its work (here on a thread of the host's worker).
TEST(Lv2Adapter, TheWorkerIsAskedToFitOncePerSwitchAfterTheBlockWithNoLockHeld) {
    struct Worker {
        Lv2Plugin* plugin = nullptr;
        int scheduled = 0, underLock = 0;
        static LV2_Worker_Status Schedule(LV2_Worker_Schedule_Handle handle, uint32_t,
                                          const void*) {
            auto* self = static_cast<Worker*>(handle);
            ++self->scheduled;
            if (self->plugin->Effect().FrameLock().HeldByThisThread()) ++self->underLock;
            return LV2_WORKER_SUCCESS;
        }
    } worker;
    LV2_Worker_Schedule schedule{&worker, &Worker::Schedule};
    UridMap map;
    LV2_Feature mapFeature{LV2_URID__map, &map.feature};
    LV2_Feature scheduleFeature{LV2_WORKER__schedule, &schedule};
    const LV2_Feature* features[] = {&mapFeature, &scheduleFeature, nullptr};
    std::unique_ptr<Lv2Plugin> plugin(Lv2Plugin::Create(48000.0, features));
    ASSERT_NE(plugin, nullptr);
    worker.plugin = plugin.get();
    float controls[kParamCount];
    for (int i = 0; i < kParamCount; ++i) {
        controls[i] = float(plugin->Effect().ParamAt(i)->Value());
        plugin->ConnectPort(kPortFirstParam + uint32_t(i), &controls[i]);
    }
    std::vector<float> inL(256), inR(256), outL(256), outR(256);
    for (size_t i = 0; i < 256; ++i)
        inL[i] = inR[i] = i < 128 ? 0.8f * std::sin(0.05f * float(i)) : 0.0f;
    plugin->ConnectPort(kPortInL, inL.data());
    plugin->ConnectPort(kPortInR, inR.data());
    plugin->ConnectPort(kPortOutL, outL.data());
    plugin->ConnectPort(kPortOutR, outR.data());
    plugin->Activate();
    plugin->Run(256);
    ShapeModel before;
    plugin->Effect().CopyShapeModel(before);
    // On, held on for three blocks: asked once.
    controls[kParamAutofit] = 1.0f;
    for (int block = 0; block < 3; ++block)
        plugin->Run(256);
    EXPECT_EQ(worker.scheduled, 1);
    EXPECT_EQ(worker.underLock, 0);
    EXPECT_TRUE(plugin->Effect().AutoFitAsked());
    std::thread([&] { EXPECT_EQ(plugin->Work(), LV2_WORKER_SUCCESS); }).join();
    EXPECT_FALSE(plugin->Effect().AutoFitAsked());
    ShapeModel after;
    plugin->Effect().CopyShapeModel(after);
    EXPECT_NE(after.PointAt(3).level, before.PointAt(3).level);
    // Off and on again: asked again.
    controls[kParamAutofit] = 0.0f;
    plugin->Run(256);
    controls[kParamAutofit] = 1.0f;
    plugin->Run(256);
    EXPECT_EQ(worker.scheduled, 2);
}

// The audio thread with changing ports, the editor's thread making gestures
// and changing the saved state, the UI thread taking the edits and showing
// port values, and a host thread saving: every value stays in range, every
// grab is released, state changes reach the notify port, and every save
// loads back.
TEST(Lv2Adapter, ThreadsMeetSafely) {
    Rig rig;
    std::atomic<bool> done{false};
    std::thread editor([&] {
        std::mt19937 rng(TestSeed(1u) + 1);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        KeloEffect& effect = rig.plugin->Effect();
        for (int round = 0; !done.load(); ++round) {
            const bool gesture = round % 2 == 0;
            if (gesture) effect.BeginGesture();
            effect.EditorParamChange(int32_t(rng() % kParamCount), u(rng));
            effect.EditorParamChange(int32_t(rng() % kParamCount), u(rng));
            if (round % 16 == 0) effect.StateChanged();
            if (gesture) effect.EndGesture();
        }
    });
    std::vector<Edit> edits;
    std::thread ui([&] {
        while (!done.load()) {
            rig.plugin->TakeEdits(&edits, &Collect);
            rig.plugin->ShowPortValue(kPortFirstParam + kParamStrength, 0.25f);
            rig.plugin->IdleEditor();
        }
    });
    std::vector<std::vector<uint8_t>> saves;
    // Each thread goes round at least once, however late it is scheduled.
    std::thread host([&] {
        do {
            auto store = [](LV2_State_Handle h, uint32_t, const void* v, size_t size, uint32_t,
                            uint32_t) {
                auto* list = static_cast<std::vector<std::vector<uint8_t>>*>(h);
                const uint8_t* bytes = static_cast<const uint8_t*>(v);
                if (list->size() < 50) list->emplace_back(bytes, bytes + size);
                return LV2_STATE_SUCCESS;
            };
            EXPECT_EQ(rig.plugin->Save(store, &saves), LV2_STATE_SUCCESS);
        } while (!done.load());
    });
    std::mt19937 rng(TestSeed(1u));
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int block = 0; block < 400; ++block) {
        rig.Noise(TestSeed(1u) + uint32_t(block));
        rig.controls[kParamThreshold] = -60.0f * u(rng);
        rig.controls[kParamEnvTime] = 0.05f + 0.9f * u(rng);
        rig.RunNotified(256);
        for (float v : rig.outL)
            ASSERT_TRUE(std::isfinite(v));
    }
    done = true;
    editor.join();
    ui.join();
    host.join();
    rig.plugin->TakeEdits(&edits, &Collect); // what came after the UI's last look
    rig.RunNotified(256);
    EXPECT_GT(rig.stateChanges, 0);
    // A delivery put aside while the editor went on must not have cost a note.
    EXPECT_EQ(rig.plugin->Effect().DroppedHostNotes(), 0);
    std::map<uint32_t, bool> held;
    for (const Edit& e : edits) {
        // A grab of a free port, a value or release of a held one.
        const bool wasHeld = held[e.port];
        ASSERT_EQ(wasHeld, e.note != kUiNoteGrab) << "note " << e.note << " on " << e.port;
        held[e.port] = e.note != kUiNoteRelease;
    }
    for (const auto& h : held)
        EXPECT_FALSE(h.second) << "port " << h.first << " still held";
    for (const Edit& e : Values(edits)) {
        ASSERT_GE(e.port, uint32_t(kPortFirstParam));
        ASSERT_LT(e.port, uint32_t(kPortFirstParam + kParamCount));
        const Param* p = rig.plugin->Effect().ParamAt(int32_t(e.port - kPortFirstParam));
        EXPECT_GE(e.value, float(p->Min()));
        EXPECT_LE(e.value, float(p->Max()));
    }
    ASSERT_FALSE(saves.empty());
    for (auto& bytes : saves) {
        ByteBlock chunk;
        ASSERT_TRUE(chunk.SetLength(int32_t(bytes.size())));
        std::memcpy(chunk.Bytes(), bytes.data(), bytes.size());
        EXPECT_TRUE(rig.plugin->Effect().LoadState(&chunk));
    }
}

} // namespace
