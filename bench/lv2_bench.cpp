// Cost per frame of the LV2 build (Kelo.lv2 through lilv) against the VST
// build (Kelo.so through the host harness's 32-bit replacing entry), on the
// same drum loop at 48 kHz in the same blocks, the two timed block by block in
// alternating order so both see the same machine. Prints ns per stereo frame
// of each and their ratio: the median block's cost (robust to the preemption
// a shared machine brings), and the whole sums.
//
// Usage: lv2_bench [--seconds S] [--block N] [--rounds K]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include "effect/kelo_params.h"
#include "lv2/lv2_link.h"
#include "lv2/ttl_ports.h"
#include "tools/host/host.h"

namespace {

uint64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// A decaying noise burst every 250 ms over a quiet noise floor, fixed seed.
void DrumLoop(double rate, size_t frames, std::vector<float>& l, std::vector<float>& r) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    l.resize(frames);
    r.resize(frames);
    const size_t period = size_t(rate * 0.25);
    const double decay = std::exp(-1.0 / (0.04 * rate));
    double gain = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        if (i % period == 0) gain = (i / period) % 4 == 0 ? 0.9 : 0.5;
        l[i] = float(gain * u(rng) + 0.003 * u(rng));
        r[i] = float(gain * u(rng) + 0.003 * u(rng));
        gain *= decay;
    }
}

std::vector<std::string> sUris;
LV2_URID MapUri(LV2_URID_Map_Handle, const char* uri) {
    for (size_t i = 0; i < sUris.size(); ++i)
        if (sUris[i] == uri) return LV2_URID(i + 1);
    sUris.push_back(uri);
    return LV2_URID(sUris.size());
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 20.0;
    int block = 512, rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
        if (!std::strcmp(argv[i], "--block")) block = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
    }
    if (seconds <= 0 || block <= 0 || rounds <= 0) return 2;
    const double rate = 48000.0;
    std::vector<float> l, r;
    DrumLoop(rate, size_t(seconds * rate), l, r);
    const size_t frames = l.size();

    // The VST build.
    PluginModule module;
    if (!module.Load(KELO_PRODUCT_PLUGIN)) {
        std::fprintf(stderr, "%s\n", module.Error().c_str());
        return 1;
    }
    // The LV2 build.
    LilvWorld* world = lilv_world_new();
    LilvNode* bundle = lilv_new_file_uri(world, nullptr, KELO_LV2_BUNDLE "/");
    lilv_world_load_bundle(world, bundle);
    LilvNode* uri = lilv_new_uri(world, KELO_LV2_URI);
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    if (!plugin) {
        std::fprintf(stderr, "Kelo.lv2 not found at %s\n", KELO_LV2_BUNDLE);
        return 1;
    }
    LV2_URID_Map map = {nullptr, &MapUri};
    LV2_Feature mapFeature = {LV2_URID__map, &map};
    // The host's block size as its largest, as hosts announce it (and as the
    // VST host's block size call says).
    const int32_t maxBlock = block;
    LV2_Options_Option options[] = {{LV2_OPTIONS_INSTANCE, 0,
                                     MapUri(nullptr, LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t),
                                     MapUri(nullptr, LV2_ATOM__Int), &maxBlock},
                                    {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    LV2_Feature optionsFeature = {LV2_OPTIONS__options, options};
    const LV2_Feature* features[] = {&mapFeature, &optionsFeature, nullptr};

    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
    };
    std::vector<float> out(size_t(block) * 2);
    std::vector<double> ratios, vstCosts, lv2Costs, vstMedians, lv2Medians;
    for (int round = 0; round < rounds; ++round) {
        PluginInstance vst;
        vst.Create(module);
        vst.Start(rate, block);
        LilvInstance* lv2 = lilv_plugin_instantiate(plugin, rate, features);
        float controls[kParamCount], latency = 0.0f;
        for (const Lv2PortInfo& port : KeloParamPorts()) {
            controls[port.port - kPortFirstParam] = float(port.defaultValue);
            lilv_instance_connect_port(lv2, port.port, &controls[port.port - kPortFirstParam]);
        }
        lilv_instance_connect_port(lv2, kPortLatency, &latency);
        lilv_instance_activate(lv2);
        uint64_t vstNs = 0, lv2Ns = 0;
        std::vector<double> vstBlocks, lv2Blocks; // per-block costs: robust to preemption
        for (size_t at = 0; at + size_t(block) <= frames; at += size_t(block)) {
            float* in[2] = {&l[at], &r[at]};
            float* outs[2] = {out.data(), out.data() + block};
            const bool vstFirst = (at / size_t(block)) % 2 == 0;
            for (int pass = 0; pass < 2; ++pass) {
                if ((pass == 0) == vstFirst) {
                    const uint64_t t0 = NowNs();
                    vst.ProcessReplacing(in, outs, block);
                    const uint64_t t = NowNs() - t0;
                    vstNs += t;
                    vstBlocks.push_back(double(t) / block);
                } else {
                    lilv_instance_connect_port(lv2, kPortInL, in[0]);
                    lilv_instance_connect_port(lv2, kPortInR, in[1]);
                    lilv_instance_connect_port(lv2, kPortOutL, outs[0]);
                    lilv_instance_connect_port(lv2, kPortOutR, outs[1]);
                    const uint64_t t0 = NowNs();
                    lilv_instance_run(lv2, uint32_t(block));
                    const uint64_t t = NowNs() - t0;
                    lv2Ns += t;
                    lv2Blocks.push_back(double(t) / block);
                }
            }
        }
        lilv_instance_deactivate(lv2);
        lilv_instance_free(lv2);
        vst.Close();
        const double n = double(frames / size_t(block) * size_t(block));
        vstCosts.push_back(double(vstNs) / n);
        lv2Costs.push_back(double(lv2Ns) / n);
        ratios.push_back(double(lv2Ns) / double(vstNs));
        vstMedians.push_back(median(vstBlocks));
        lv2Medians.push_back(median(lv2Blocks));
        std::printf("round %d: VST %.2f ns/frame, LV2 %.2f ns/frame, LV2/VST %.3f; median block: "
                    "VST %.2f, LV2 %.2f ns/frame\n",
                    round + 1, vstCosts.back(), lv2Costs.back(), ratios.back(), median(vstBlocks),
                    median(lv2Blocks));
    }
    // The median block is the figure to compare on a shared machine: whole
    // sums include whatever else ran meanwhile.
    const double vstMedian = median(vstMedians), lv2Median = median(lv2Medians);
    std::printf("median block over %d rounds (blocks of %d, %.0f s at 48 kHz): VST %.2f ns/frame, "
                "LV2 %.2f ns/frame, LV2/VST %.3f; whole sums: VST %.2f, LV2 %.2f ns/frame\n",
                rounds, block, seconds, vstMedian, lv2Median, lv2Median / vstMedian,
                median(vstCosts), median(lv2Costs));
    lilv_node_free(uri);
    lilv_node_free(bundle);
    lilv_world_free(world);
    return 0;
}
