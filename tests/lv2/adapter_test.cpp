// The LV2 adapter in process: the time port reaches the effect's transport,
// port values count only when the host writes them, editor edits reach the UI
// thread as port values, the audio thread never waits on the effect's lock,
// and the threads that meet in an instance do so safely (tsan).
#include <gtest/gtest.h>

#include <atomic>
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

TEST(Lv2Adapter, AudioThreadDoesNotWaitForTheLock) {
    Rig rig;
    rig.Noise(Seed());
    std::atomic<int> stage{0};
    std::thread holder([&] {
        Lock& lock = rig.plugin->Effect().FrameLock();
        lock.Enter();
        stage = 1;
        while (stage.load() != 2)
            std::this_thread::yield();
        lock.Leave();
    });
    while (stage.load() != 1)
        std::this_thread::yield();
    rig.plugin->Run(256);
    EXPECT_EQ(rig.plugin->MissedBlocks(), 1);
    EXPECT_EQ(rig.outL, rig.inL);
    EXPECT_EQ(rig.outR, rig.inR);
    stage = 2;
    holder.join();
    rig.controls[kParamThreshold] = -40.0f;
    rig.controls[kParamGate] = 1.0f;
    rig.plugin->Run(256);
    EXPECT_EQ(rig.plugin->MissedBlocks(), 1);
    EXPECT_NE(rig.outL, rig.inL);
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
