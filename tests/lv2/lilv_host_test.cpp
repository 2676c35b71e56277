// A host built on lilv loads Kelo.lv2 from the build tree (LV2_PATH), checks
// the ports it describes against the parameter table, runs the plug-in at
// several rates and block sizes, and saves and restores its state in each
// order a host may use, comparing the sound. The saved state is also loaded
// into Kelo.so through the VST host harness: one state, one sound. With an X
// display, the bundle's UI opens in a window of the host's and the window
// system's mouse events work it: what the host hears of the gestures (touch,
// port writes, state:StateChanged on the notify port) is checked.
#include <dlfcn.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/instance-access/instance-access.h>
#include <lv2/log/log.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "effect/kelo_params.h"
#include "lv2/lv2_link.h"
#include "lv2/ttl_ports.h"
#include "tests/common/test_seed.h"
#include "tools/host/host.h"
#include "tools/host/parent_window.h"
#include "urid_map.h"

namespace {

// The URID of atom:Float in the test host's map (set when the host starts).
uint32_t gFloatUrid = 0;

// Messages the plug-in logs.
struct LogSink {
    std::string text;
    LV2_Log_Log feature{this, &LogSink::Printf, &LogSink::VPrintf};
    static int VPrintf(LV2_Log_Handle handle, LV2_URID, const char* format, va_list args) {
        char line[512];
        const int n = std::vsnprintf(line, sizeof line, format, args);
        static_cast<LogSink*>(handle)->text += line;
        return n;
    }
    static int Printf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...) {
        va_list args;
        va_start(args, format);
        const int n = VPrintf(handle, type, format, args);
        va_end(args);
        return n;
    }
};

// Drum-like hits over a tone, stereo, deterministic.
void TestSignal(double rate, size_t frames, std::vector<float>& l, std::vector<float>& r) {
    std::mt19937 rng(TestSeed(1u));
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    l.assign(frames, 0.0f);
    r.assign(frames, 0.0f);
    const double pi = 3.14159265358979323846;
    for (size_t i = 0; i < frames; ++i) {
        l[i] = float(0.1 * std::sin(2 * pi * 220 * double(i) / rate));
        r[i] = float(0.1 * std::sin(2 * pi * 330 * double(i) / rate));
    }
    for (size_t at = size_t(0.03 * rate); at < frames; at += size_t(0.17 * rate)) {
        double gain = 0.3 + 0.6 * (noise(rng) * 0.5 + 0.5);
        const double decay = std::exp(-1.0 / (0.03 * rate));
        for (size_t i = at; i < frames && i < at + size_t(0.15 * rate); ++i, gain *= decay) {
            l[i] += float(gain * noise(rng));
            r[i] += float(gain * noise(rng));
        }
    }
}

struct Host {
    LilvWorld* world = lilv_world_new();
    const LilvPlugin* plugin = nullptr;
    UridMap map;
    LogSink log;
    LV2_Feature mapFeature{LV2_URID__map, &map.feature};
    LV2_Feature logFeature{LV2_LOG__log, &log.feature};
    const LV2_Feature* features[3] = {&mapFeature, &logFeature, nullptr};

    Host() {
        lilv_world_load_all(world);
        gFloatUrid = UridMap::Map(&map, LV2_ATOM__Float);
        LilvNode* uri = lilv_new_uri(world, KELO_LV2_URI);
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(uri);
    }
    ~Host() { lilv_world_free(world); }
};

// One running plug-in with its port buffers.
struct Running {
    LilvInstance* instance = nullptr;
    float controls[kParamCount];
    float latency = -1.0f;
    // The host's worker: what the plug-in schedules in a block is done after
    // it, before the next, as a worker thread that keeps up does.
    LV2_Worker_Schedule schedule{this, &Running::Schedule};
    LV2_Feature scheduleFeature{LV2_WORKER__schedule, &schedule};
    std::vector<const LV2_Feature*> withWorker;
    std::vector<std::vector<uint8_t>> pending;
    int scheduled = 0;

    // worker: the host offers work:schedule besides features.
    Running(Host& host, double rate, const LV2_Feature* const* features, bool worker = true) {
        for (int i = 0; features && features[i]; ++i)
            withWorker.push_back(features[i]);
        if (worker) withWorker.push_back(&scheduleFeature);
        withWorker.push_back(nullptr);
        instance = lilv_plugin_instantiate(host.plugin, rate, withWorker.data());
        if (!instance) return;
        for (const Lv2PortInfo& port : KeloParamPorts()) {
            controls[port.port - kPortFirstParam] = float(port.defaultValue);
            lilv_instance_connect_port(instance, port.port, &controls[port.port - kPortFirstParam]);
        }
        lilv_instance_connect_port(instance, kPortLatency, &latency);
        lilv_instance_activate(instance);
    }
    ~Running() {
        if (!instance) return;
        lilv_instance_deactivate(instance);
        lilv_instance_free(instance);
    }
    void Set(KeloParam index, float value) { controls[index] = value; }
    // Plays l/r through the plug-in in blocks cycling through sizes.
    void Play(const std::vector<float>& l, const std::vector<float>& r, std::vector<float>& outL,
              std::vector<float>& outR, const std::vector<uint32_t>& sizes, bool inPlace = false) {
        const size_t frames = l.size();
        outL.assign(frames, 0.0f);
        outR.assign(frames, 0.0f);
        if (inPlace) { // the host hands the same buffers for input and output
            outL = l;
            outR = r;
        }
        size_t k = 0;
        for (size_t at = 0; at < frames; ++k) {
            const uint32_t n = uint32_t(std::min<size_t>(sizes[k % sizes.size()], frames - at));
            lilv_instance_connect_port(instance, kPortInL,
                                       inPlace ? &outL[at] : const_cast<float*>(&l[at]));
            lilv_instance_connect_port(instance, kPortInR,
                                       inPlace ? &outR[at] : const_cast<float*>(&r[at]));
            lilv_instance_connect_port(instance, kPortOutL, &outL[at]);
            lilv_instance_connect_port(instance, kPortOutR, &outR[at]);
            lilv_instance_run(instance, n);
            DoWork();
            at += n;
        }
    }
    static LV2_Worker_Status Schedule(LV2_Worker_Schedule_Handle handle, uint32_t size,
                                      const void* data) {
        auto* self = static_cast<Running*>(handle);
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        self->pending.emplace_back(bytes, bytes + size);
        ++self->scheduled;
        return LV2_WORKER_SUCCESS;
    }
    static LV2_Worker_Status Respond(LV2_Worker_Respond_Handle, uint32_t, const void*) {
        return LV2_WORKER_SUCCESS;
    }
    void DoWork() {
        if (pending.empty()) return;
        const auto* worker = static_cast<const LV2_Worker_Interface*>(
            lilv_instance_get_extension_data(instance, LV2_WORKER__interface));
        ASSERT_NE(worker, nullptr);
        for (const auto& work : pending)
            EXPECT_EQ(worker->work(lilv_instance_get_handle(instance), &Respond, this,
                                   uint32_t(work.size()), work.data()),
                      LV2_WORKER_SUCCESS);
        pending.clear();
    }
    const LV2_State_Interface* State() const {
        return static_cast<const LV2_State_Interface*>(
            lilv_instance_get_extension_data(instance, LV2_STATE__interface));
    }
};

// Properties a host keeps for one saved state.
struct SavedState {
    struct Value {
        std::vector<uint8_t> bytes;
        uint32_t type;
    };
    std::map<uint32_t, Value> properties;
    float controls[kParamCount];

    static LV2_State_Status Store(LV2_State_Handle handle, uint32_t key, const void* value,
                                  size_t size, uint32_t type, uint32_t) {
        auto* self = static_cast<SavedState*>(handle);
        const uint8_t* bytes = static_cast<const uint8_t*>(value);
        self->properties[key] = {std::vector<uint8_t>(bytes, bytes + size), type};
        return LV2_STATE_SUCCESS;
    }
    static const void* Retrieve(LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type,
                                uint32_t* flags) {
        auto* self = static_cast<SavedState*>(handle);
        auto found = self->properties.find(key);
        if (found == self->properties.end()) return nullptr;
        *size = found->second.bytes.size();
        *type = found->second.type;
        *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
        return found->second.bytes.data();
    }
};

SavedState Save(Running& running) {
    SavedState state;
    EXPECT_EQ(running.State()->save(lilv_instance_get_handle(running.instance), &SavedState::Store,
                                    &state, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, nullptr),
              LV2_STATE_SUCCESS);
    std::memcpy(state.controls, running.controls, sizeof state.controls);
    return state;
}

LV2_State_Status Restore(Running& running, SavedState& state) {
    return running.State()->restore(lilv_instance_get_handle(running.instance),
                                    &SavedState::Retrieve, &state, 0, nullptr);
}

// lilv's port value callbacks, by symbol.
int PortBySymbol(const char* symbol) {
    for (const Lv2PortInfo& port : KeloParamPorts())
        if (port.symbol == symbol) return int(port.port - kPortFirstParam);
    return -1;
}
const void* GetPortValue(const char* symbol, void* user, uint32_t* size, uint32_t* type) {
    const int i = PortBySymbol(symbol);
    if (i < 0) return nullptr;
    *size = sizeof(float);
    *type = gFloatUrid;
    return &static_cast<Running*>(user)->controls[i];
}
void SetPortValue(const char* symbol, void* user, const void* value, uint32_t size, uint32_t type) {
    const int i = PortBySymbol(symbol);
    if (i >= 0 && size == sizeof(float) && type == gFloatUrid)
        static_cast<Running*>(user)->controls[i] = *static_cast<const float*>(value);
}

double MaxDifference(const std::vector<float>& a, const std::vector<float>& b) {
    double most = 0.0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        most = std::max(most, double(std::fabs(a[i] - b[i])));
    return a.size() == b.size() ? most : 1e9;
}

class LilvHost : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(host.plugin, nullptr) << "Kelo.lv2 not found on LV2_PATH"; }
    Host host;
};

TEST_F(LilvHost, PortsFollowTheParameterTable) {
    const LilvPlugin* p = host.plugin;
    ASSERT_EQ(lilv_plugin_get_num_ports(p), uint32_t(kPortNotify + 1));
    LilvWorld* w = host.world;
    LilvNode* toggled = lilv_new_uri(w, LV2_CORE__toggled);
    LilvNode* optional = lilv_new_uri(w, LV2_CORE__connectionOptional);
    LilvNode* reports = lilv_new_uri(w, LV2_CORE__reportsLatency);
    std::vector<float> mins(kParamCount + kPortFirstParam), maxs(mins.size()), defs(mins.size());
    lilv_plugin_get_port_ranges_float(p, mins.data(), maxs.data(), defs.data());
    for (const KeloParamDef& def : kKeloParams) {
        const uint32_t index = kPortFirstParam + uint32_t(def.index);
        const LilvPort* port = lilv_plugin_get_port_by_index(p, index);
        LilvNode* name = lilv_port_get_name(p, port);
        EXPECT_STREQ(lilv_node_as_string(name), def.name);
        lilv_node_free(name);
        EXPECT_EQ(defs[index], float(def.defaultValue)) << def.name;
        EXPECT_EQ(lilv_port_has_property(p, port, toggled), def.isSwitch) << def.name;
        if (!def.isSwitch) {
            EXPECT_EQ(mins[index], float(def.min)) << def.name;
            EXPECT_EQ(maxs[index], float(def.max)) << def.name;
        }
    }
    EXPECT_TRUE(lilv_port_has_property(p, lilv_plugin_get_port_by_index(p, kPortTime), optional));
    EXPECT_TRUE(lilv_port_has_property(p, lilv_plugin_get_port_by_index(p, kPortLatency), reports));
    // The notify port, added after the parameters, keeps its number and is optional.
    const LilvPort* notify = lilv_plugin_get_port_by_index(p, kPortNotify);
    ASSERT_NE(notify, nullptr);
    EXPECT_STREQ(lilv_node_as_string(lilv_port_get_symbol(p, notify)), "notify");
    EXPECT_TRUE(lilv_port_has_property(p, notify, optional));
    lilv_node_free(toggled);
    lilv_node_free(optional);
    lilv_node_free(reports);
}

// The same sound whatever blocks the host hands over, at every rate, in place
// or not; a block longer than the announced maximum is processed in pieces.
TEST_F(LilvHost, SameSoundAtAnyBlockSizeAndRate) {
    for (double rate : {22050.0, 44100.0, 48000.0, 96000.0, 192000.0}) {
        SCOPED_TRACE(rate);
        std::vector<float> l, r;
        TestSignal(rate, size_t(rate * 1.5), l, r);
        std::vector<float> refL, refR;
        {
            Running ref(host, rate, host.features);
            ASSERT_NE(ref.instance, nullptr);
            ref.Set(kParamThreshold, -24.0f);
            ref.Set(kParamGate, 1.0f);
            ref.Set(kParamStrength, 0.9f);
            ref.Play(l, r, refL, refR, {512});
            EXPECT_EQ(ref.latency, 0.0f);
        }
        // The effect changed the sound, and kept it finite.
        EXPECT_GT(MaxDifference(refL, l), 0.01);
        for (float v : refL)
            ASSERT_TRUE(std::isfinite(v));
        const std::vector<std::vector<uint32_t>> patterns = {
            {1, 7, 64, 333, 4096}, {10000}, {65536 + 17}, {4095, 1, 2}, {512}};
        for (const auto& sizes : patterns) {
            const bool inPlace = &sizes == &patterns.back();
            Running run(host, rate, host.features);
            run.Set(kParamThreshold, -24.0f);
            run.Set(kParamGate, 1.0f);
            run.Set(kParamStrength, 0.9f);
            std::vector<float> outL, outR;
            run.Play(l, r, outL, outR, sizes, inPlace);
            EXPECT_EQ(MaxDifference(outL, refL), 0.0) << "first block " << sizes[0] << inPlace;
            EXPECT_EQ(MaxDifference(outR, refR), 0.0) << "first block " << sizes[0] << inPlace;
        }
    }
}

// A state made after autofit (the shape is not in any port) restores into a
// fresh instance to the same sound in every order; port values that differ
// from the state's win.
TEST_F(LilvHost, StateRestoresTheSameSoundInEveryOrder) {
    const double rate = 48000.0;
    std::vector<float> l, r, outL, outR;
    TestSignal(rate, size_t(rate * 2), l, r);
    Running source(host, rate, host.features);
    ASSERT_NE(source.instance, nullptr);
    source.Set(kParamThreshold, -21.5f);
    source.Set(kParamEnvTime, 0.12f);
    source.Set(kParamStrength, 0.7f);
    source.Play(l, r, outL, outR, {256});
    source.Set(kParamAutofit, 1.0f); // fits the shape to the last event
    source.Play(l, r, outL, outR, {256});
    source.Set(kParamAutofit, 0.0f);
    source.Play(l, r, outL, outR, {256});
    SavedState state = Save(source);
    ASSERT_EQ(state.properties.size(), 1u);
    const auto& chunk = state.properties.begin()->second;
    EXPECT_EQ(chunk.type, UridMap::Map(&host.map, LV2_ATOM__Chunk));

    auto play = [&](Running& run) {
        std::vector<float> a, b;
        run.Play(l, r, a, b, {300});
        return std::make_pair(a, b);
    };
    // Ports only (no state): the default shape.
    Running portsOnly(host, rate, host.features);
    std::memcpy(portsOnly.controls, state.controls, sizeof state.controls);
    const auto withoutState = play(portsOnly);
    // State, then the ports as saved.
    Running stateFirst(host, rate, host.features);
    ASSERT_EQ(Restore(stateFirst, state), LV2_STATE_SUCCESS);
    std::memcpy(stateFirst.controls, state.controls, sizeof state.controls);
    const auto a = play(stateFirst);
    // Ports as saved (heard by a first, empty run), then the state.
    Running portsFirst(host, rate, host.features);
    std::memcpy(portsFirst.controls, state.controls, sizeof state.controls);
    lilv_instance_run(portsFirst.instance, 0);
    ASSERT_EQ(Restore(portsFirst, state), LV2_STATE_SUCCESS);
    const auto b = play(portsFirst);
    // lilv's own road, as jalv and other lilv hosts take it: the state
    // interface first, then the port values.
    LilvState* lilvState = lilv_state_new_from_instance(
        host.plugin, source.instance, &host.map.feature, nullptr, nullptr, nullptr, nullptr,
        &GetPortValue, &source, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, host.features);
    ASSERT_NE(lilvState, nullptr);
    Running viaLilv(host, rate, host.features);
    lilv_state_restore(lilvState, viaLilv.instance, &SetPortValue, &viaLilv, 0, host.features);
    lilv_state_free(lilvState);
    const auto c = play(viaLilv);

    EXPECT_GT(MaxDifference(a.first, withoutState.first), 1e-4) << "the shape was not restored";
    EXPECT_EQ(MaxDifference(a.first, b.first), 0.0);
    EXPECT_EQ(MaxDifference(a.second, b.second), 0.0);
    EXPECT_EQ(MaxDifference(a.first, c.first), 0.0);
    // Saved again, the restored instance gives the same bytes.
    const SavedState again = Save(stateFirst);
    EXPECT_EQ(again.properties.begin()->second.bytes, chunk.bytes);

    // A port that differs from the state wins: the same as a state saved with it.
    Running differs(host, rate, host.features);
    ASSERT_EQ(Restore(differs, state), LV2_STATE_SUCCESS);
    std::memcpy(differs.controls, state.controls, sizeof state.controls);
    differs.Set(kParamGate, 1.0f);
    const auto d = play(differs);
    EXPECT_GT(MaxDifference(d.first, a.first), 1e-4);
    Running gated(host, rate, host.features);
    ASSERT_EQ(Restore(gated, state), LV2_STATE_SUCCESS);
    std::memcpy(gated.controls, state.controls, sizeof state.controls);
    gated.Set(kParamGate, 1.0f);
    lilv_instance_run(gated.instance, 0);
    SavedState gatedState = Save(gated);
    Running fromGated(host, rate, host.features);
    ASSERT_EQ(Restore(fromGated, gatedState), LV2_STATE_SUCCESS);
    std::memcpy(fromGated.controls, gatedState.controls, sizeof gatedState.controls);
    const auto e = play(fromGated);
    EXPECT_EQ(MaxDifference(d.first, e.first), 0.0);
    EXPECT_EQ(MaxDifference(d.second, e.second), 0.0);
}

// The autofit port switched on asks for a fit in run(); the host's worker does
// it after the block. A host without a worker gets it done when it saves the
// state: both states are the same.
TEST_F(LilvHost, AnAutofitThePortAsksForIsDoneByTheWorkerOrBeforeASave) {
    const double rate = 48000.0;
    std::vector<float> l, r, outL, outR;
    TestSignal(rate, size_t(rate), l, r);
    Running worker(host, rate, host.features), none(host, rate, host.features, false);
    std::vector<SavedState> before, after;
    // The same block after the switch for both: the same event is fitted.
    const std::vector<float> blockL(l.begin(), l.begin() + 256), blockR(r.begin(), r.begin() + 256);
    for (Running* run : {&worker, &none}) {
        run->Play(l, r, outL, outR, {256});
        before.push_back(Save(*run));
        run->Set(kParamAutofit, 1.0f);
        run->Play(blockL, blockR, outL, outR, {256});
        run->Set(kParamAutofit, 0.0f);
        after.push_back(Save(*run));
    }
    EXPECT_EQ(worker.scheduled, 1) << "once per switch to on";
    EXPECT_EQ(none.scheduled, 0);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_NE(after[i].properties.begin()->second.bytes,
                  before[i].properties.begin()->second.bytes)
            << "no fit, " << (i == 0 ? "with" : "without") << " a worker";
    EXPECT_EQ(after[0].properties.begin()->second.bytes, after[1].properties.begin()->second.bytes);
    EXPECT_EQ(before[0].properties.begin()->second.bytes,
              before[1].properties.begin()->second.bytes);
}

// The LV2 state is the VST chunk: Kelo.so loaded with it sounds the same.
TEST_F(LilvHost, StateIsTheVstChunk) {
    const double rate = 44100.0;
    std::vector<float> l, r, outL, outR;
    TestSignal(rate, size_t(rate * 1.5), l, r);
    Running source(host, rate, host.features);
    source.Set(kParamThreshold, -18.0f);
    source.Set(kParamShowEnv, 1.0f);
    source.Play(l, r, outL, outR, {512});
    source.Set(kParamAutofit, 1.0f);
    source.Play(l, r, outL, outR, {512});
    SavedState state = Save(source);
    const std::vector<uint8_t>& chunk = state.properties.begin()->second.bytes;

    Running lv2(host, rate, host.features);
    ASSERT_EQ(Restore(lv2, state), LV2_STATE_SUCCESS);
    std::memcpy(lv2.controls, state.controls, sizeof state.controls);
    std::vector<float> lv2L, lv2R;
    lv2.Play(l, r, lv2L, lv2R, {512});

    PluginModule module;
    ASSERT_TRUE(module.Load(KELO_VST_PLUGIN)) << module.Error();
    PluginInstance vst;
    ASSERT_TRUE(vst.Create(module));
    vst.Start(rate, 512);
    ASSERT_EQ(vst.SetChunk(chunk.data(), intptr_t(chunk.size())), 1);
    EXPECT_EQ(vst.GetChunk(), chunk);
    std::vector<float> vstL(l.size()), vstR(l.size());
    for (size_t at = 0; at < l.size(); at += 512) {
        const int32_t n = int32_t(std::min<size_t>(512, l.size() - at));
        float* in[2] = {&l[at], &r[at]};
        float* out[2] = {&vstL[at], &vstR[at]};
        vst.ProcessReplacing(in, out, n);
    }
    vst.Close();
    EXPECT_EQ(MaxDifference(vstL, lv2L), 0.0);
    EXPECT_EQ(MaxDifference(vstR, lv2R), 0.0);
}

// A rate it cannot run at is refused through the log; without any feature
// (as lv2apply runs it) the plug-in runs and refuses only to save.
TEST_F(LilvHost, RefusalsAreCleanAndFeaturesOptional) {
    Running zeroRate(host, 0.0, host.features);
    EXPECT_EQ(zeroRate.instance, nullptr);
    EXPECT_NE(host.log.text.find("sample rate"), std::string::npos) << host.log.text;

    const LV2_Feature* none[] = {nullptr};
    Running bare(host, 48000.0, none);
    ASSERT_NE(bare.instance, nullptr);
    std::vector<float> l, r, outL, outR;
    TestSignal(48000.0, 48000, l, r);
    bare.Play(l, r, outL, outR, {1000});
    EXPECT_GT(MaxDifference(outL, l), 0.0);
    SavedState state;
    EXPECT_EQ(bare.State()->save(lilv_instance_get_handle(bare.instance), &SavedState::Store,
                                 &state, 0, nullptr),
              LV2_STATE_ERR_NO_FEATURE);
}

// --- the UI in the host's window

// What the host hears from the UI: "grab 6", "write 6 -11.5", "release 6".
struct UiHostSide {
    std::vector<std::string> heard;
    static void Write(LV2UI_Controller controller, uint32_t port, uint32_t size, uint32_t format,
                      const void* buffer) {
        char line[64];
        if (format == 0 && size == sizeof(float))
            std::snprintf(line, sizeof line, "write %u %g", unsigned(port),
                          double(*static_cast<const float*>(buffer)));
        else
            std::snprintf(line, sizeof line, "other %u", unsigned(port));
        static_cast<UiHostSide*>(controller)->heard.push_back(line);
    }
    static void Touch(LV2UI_Feature_Handle handle, uint32_t port, bool grabbed) {
        static_cast<UiHostSide*>(handle)->heard.push_back((grabbed ? "grab " : "release ") +
                                                          std::to_string(port));
    }
};

// The notes heard for one port, as a host in Touch mode reads them: false
// (with the reason) for a write outside a grab, a grab of a held port or a
// release of a free one. grabs counts the grabs; writes the writes.
bool TouchPairs(const std::vector<std::string>& heard, uint32_t port, int& grabs, int& writes,
                std::string& error) {
    bool held = false;
    grabs = writes = 0;
    for (const std::string& line : heard) {
        unsigned p = 0;
        float value = 0.0f;
        if (std::sscanf(line.c_str(), "grab %u", &p) == 1 && p == port) {
            if (held) error = "second grab";
            held = true;
            ++grabs;
        } else if (std::sscanf(line.c_str(), "release %u", &p) == 1 && p == port) {
            if (!held) error = "release of a free port";
            held = false;
        } else if (std::sscanf(line.c_str(), "write %u %f", &p, &value) == 2 && p == port) {
            if (!held) error = "write outside a grab";
            ++writes;
        }
        if (!error.empty()) return false;
    }
    if (held) error = "still held at the end";
    return error.empty();
}

TEST_F(LilvHost, TheEditorsGesturesReachTheHostAsTouchWritesAndStateChanged) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        if (std::getenv("KELO_REQUIRE_DISPLAY")) FAIL() << "DISPLAY is not set";
        GTEST_SKIP() << "no X display";
    }
    Running run(host, 48000.0, host.features);
    ASSERT_NE(run.instance, nullptr);
    std::vector<float> audio(4 * 64, 0.0f);
    for (uint32_t port = kPortInL; port <= kPortOutR; ++port)
        lilv_instance_connect_port(run.instance, port, &audio[64 * port]);
    alignas(8) uint8_t notify[512];
    lilv_instance_connect_port(run.instance, kPortNotify, notify);
    const LV2_URID stateChanged = UridMap::Map(&host.map, LV2_STATE__StateChanged);
    const LV2_URID object = UridMap::Map(&host.map, LV2_ATOM__Object);
    int stateChanges = 0;
    auto runBlock = [&] {
        reinterpret_cast<LV2_Atom*>(notify)->size = sizeof notify; // the capacity, as hosts say
        lilv_instance_run(run.instance, 64);
        const auto* sequence = reinterpret_cast<const LV2_Atom_Sequence*>(notify);
        LV2_ATOM_SEQUENCE_FOREACH(sequence, event) {
            const auto* body = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
            if (event->body.type == object && body->body.otype == stateChanged) ++stateChanges;
        }
    };

    // The UI binary, as a host finds it through lilv.
    LilvUIs* uis = lilv_plugin_get_uis(host.plugin);
    ASSERT_NE(uis, nullptr);
    const LilvUI* lilvUi = lilv_uis_get(uis, lilv_uis_begin(uis));
    char* path = lilv_file_uri_parse(lilv_node_as_uri(lilv_ui_get_binary_uri(lilvUi)), nullptr);
    lilv_uis_free(uis);
    void* binary = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    lilv_free(path);
    ASSERT_NE(binary, nullptr) << dlerror();
    auto descriptorOf =
        reinterpret_cast<const LV2UI_Descriptor* (*)(uint32_t)>(dlsym(binary, "lv2ui_descriptor"));
    ASSERT_NE(descriptorOf, nullptr);
    const LV2UI_Descriptor* ui = descriptorOf(0);
    ASSERT_NE(ui, nullptr);

    std::unique_ptr<ParentWindow> window = NewParentWindow();
    ASSERT_TRUE(window->Create(675, 619, "lilv host")) << window->Error();
    UiHostSide side;
    LV2UI_Touch touch = {&side, &UiHostSide::Touch};
    LV2_Feature access = {LV2_INSTANCE_ACCESS_URI, lilv_instance_get_handle(run.instance)};
    LV2_Feature parent = {LV2_UI__parent, window->NativeHandle()};
    LV2_Feature touchFeature = {LV2_UI__touch, &touch};
    const LV2_Feature* features[] = {&host.mapFeature, &access, &parent, &touchFeature, nullptr};
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle handle =
        ui->instantiate(ui, KELO_LV2_URI, "", &UiHostSide::Write, &side, &widget, features);
    ASSERT_NE(handle, nullptr);
    const auto* idle =
        static_cast<const LV2UI_Idle_Interface*>(ui->extension_data(LV2_UI__idleInterface));
    ASSERT_NE(idle, nullptr);
    // The host's loop: the UI's idle call and a block of audio, as often as hosts do.
    auto pump = [&](int ms) {
        window->Pump(ms, [&] {
            idle->idle(handle);
            runBlock();
        });
    };
    auto mouse = [&](MouseAction action, int x, int y) {
        MouseEvent event;
        event.action = action;
        event.x = x;
        event.y = y;
        ASSERT_TRUE(window->SendMouse(event));
        pump(40);
    };
    pump(200);
    const uint32_t threshold = kPortFirstParam + kParamThreshold;

    // A knob drag: one grab, the writes, one release.
    side.heard.clear();
    mouse(MouseAction::Move, 72, 124);
    mouse(MouseAction::Press, 72, 124);
    mouse(MouseAction::Drag, 72, 118);
    mouse(MouseAction::Drag, 72, 110);
    mouse(MouseAction::Release, 72, 110);
    pump(200);
    int grabs = 0, writes = 0;
    std::string error, record;
    for (const std::string& line : side.heard)
        record += line + "\n";
    EXPECT_TRUE(TouchPairs(side.heard, threshold, grabs, writes, error)) << error << "\n" << record;
    EXPECT_EQ(grabs, 1) << record;
    EXPECT_GE(writes, 1) << record;
    EXPECT_EQ(stateChanges, 0) << "a knob is a port: no state change";

    // An option switch is no port: the notify port tells the state changed, once.
    side.heard.clear();
    mouse(MouseAction::Click, 20, 579);
    pump(200);
    EXPECT_EQ(stateChanges, 1);
    EXPECT_TRUE(side.heard.empty()) << side.heard.front();

    // A UI closed in the middle of a drag lets go of the port as it goes.
    side.heard.clear();
    mouse(MouseAction::Press, 72, 110);
    mouse(MouseAction::Drag, 72, 100);
    ui->cleanup(handle);
    record.clear();
    for (const std::string& line : side.heard)
        record += line + "\n";
    EXPECT_TRUE(TouchPairs(side.heard, threshold, grabs, writes, error)) << error << "\n" << record;
    EXPECT_EQ(grabs, 1) << record;
    window->Destroy();
    dlclose(binary);
}

} // namespace
