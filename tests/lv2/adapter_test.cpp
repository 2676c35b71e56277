// The LV2 adapter in process: the time port reaches the effect's transport,
// port values count only when the host writes them, editor edits reach the UI
// thread as port values, a block that finds the effect's lock held waits for
// it and is processed like any other, an autofit the port asks for is done by
// the host's worker, and the threads that meet in an instance do so safely
// (tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <lv2/atom/forge.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "effect/kelo.h"
#include "lv2/lv2_plugin.h"
#include "plug/lock.h"
#include "plug/param.h"

namespace {

uint32_t Seed() {
    const char* text = std::getenv("KELO_TEST_SEED");
    return text ? uint32_t(std::strtoul(text, nullptr, 10)) : 1u;
}

// A fixed table, so the map needs no lock while threads read it.
struct UridMap {
    std::vector<std::string> uris;
    LV2_URID_Map feature{this, &UridMap::Map};
    static LV2_URID Map(LV2_URID_Map_Handle handle, const char* uri) {
        auto* self = static_cast<UridMap*>(handle);
        for (size_t i = 0; i < self->uris.size(); ++i)
            if (self->uris[i] == uri) return LV2_URID(i + 1);
        self->uris.push_back(uri);
        return LV2_URID(self->uris.size());
    }
};

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
    uint32_t port;
    float value;
};
void Collect(void* context, uint32_t port, float value) {
    static_cast<std::vector<Edit>*>(context)->push_back({port, value});
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
    ASSERT_EQ(edits.size(), 1u);
    EXPECT_EQ(edits[0].port, uint32_t(kPortFirstParam + kParamThreshold));
    EXPECT_EQ(edits[0].value, float(edited));
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
    std::mt19937 rng(Seed());
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

// The audio thread with changing ports, the editor's thread turning knobs, the
// UI thread taking the edits and showing port values, and a host thread
// saving: every value stays in range and every save loads back.
TEST(Lv2Adapter, ThreadsMeetSafely) {
    Rig rig;
    std::atomic<bool> done{false};
    std::thread editor([&] {
        std::mt19937 rng(Seed() + 1);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        while (!done.load())
            rig.plugin->Effect().EditorParamChange(int32_t(rng() % kParamCount), u(rng));
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
    std::thread host([&] {
        while (!done.load()) {
            auto store = [](LV2_State_Handle h, uint32_t, const void* v, size_t size, uint32_t,
                            uint32_t) {
                auto* list = static_cast<std::vector<std::vector<uint8_t>>*>(h);
                const uint8_t* bytes = static_cast<const uint8_t*>(v);
                if (list->size() < 50) list->emplace_back(bytes, bytes + size);
                return LV2_STATE_SUCCESS;
            };
            EXPECT_EQ(rig.plugin->Save(store, &saves), LV2_STATE_SUCCESS);
        }
    });
    std::mt19937 rng(Seed());
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int block = 0; block < 400; ++block) {
        rig.Noise(Seed() + uint32_t(block));
        rig.controls[kParamThreshold] = -60.0f * u(rng);
        rig.controls[kParamEnvTime] = 0.05f + 0.9f * u(rng);
        rig.plugin->Run(256);
        for (float v : rig.outL)
            ASSERT_TRUE(std::isfinite(v));
    }
    done = true;
    editor.join();
    ui.join();
    host.join();
    for (const Edit& e : edits) {
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
