// Fuzz target: arbitrary bytes loaded as the effect's saved state. Whatever the
// bytes, the load must not read outside them, every parameter must stay inside
// its range, the audio that follows must stay finite, and the state saved
// afterwards must load again.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "effect/kelo.h"

EffectBase* CreateEffectInstance(const InstanceInfo& instance) {
    return new KeloEffect(instance);
}

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static KeloEffect* effect = [] {
        KeloEffect* fx = new KeloEffect(InstanceInfo{nullptr, 0, 0});
        fx->SetSampleRate(48000);
        fx->SetMaxBlock(256);
        fx->NotifyAllParams();
        return fx;
    }();
    // Most inputs get the right tag, so the values and the sections are read too.
    ByteBlock chunk;
    std::vector<uint8_t> bytes(data, data + size);
    if (bytes.size() >= 4 && (bytes[0] & 1)) std::memcpy(bytes.data(), "\xF3\x03\x00\x00", 4);
    chunk.AppendBytes(bytes.data(), int32_t(bytes.size()));
    if (effect->LoadState(&chunk)) effect->NotifyAllParams();
    for (int32_t i = 0; i < effect->ParamCount(); ++i) {
        const Param* param = effect->ParamAt(i);
        Require(param->Value() >= param->Min() && param->Value() <= param->Max());
    }

    static std::vector<double> l(256), r(256), ol(256), orr(256);
    for (size_t i = 0; i < l.size(); ++i)
        l[i] = r[i] = (i % 50 < 10) ? 0.9 : -0.01;
    double* in[2] = {l.data(), r.data()};
    double* out[2] = {ol.data(), orr.data()};
    effect->ProcessBlock(in, out, 256);
    for (size_t i = 0; i < ol.size(); ++i)
        Require(std::isfinite(ol[i]) && std::isfinite(orr[i]));

    ByteBlock saved;
    Require(effect->SaveState(&saved));
    Require(effect->LoadState(&saved));
    return 0;
}
