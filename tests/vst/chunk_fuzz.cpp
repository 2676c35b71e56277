// Fuzz target: arbitrary bytes handed to the set-chunk request of the test effect.
// Whatever the bytes, the load must not read outside them, every parameter must
// stay inside its range, and a save taken afterwards must load back to the same
// state.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/vst/test_effect.h"

EffectBase* CreateEffectInstance(const InstanceInfo& instance) {
    return new TestEffect(instance);
}

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TestEffect* effect = new TestEffect(InstanceInfo{nullptr, 0, 0});
    static VstAdapter* adapter = new VstAdapter(*effect);
    VstEffectRecord* record = adapter->Record();
    auto call = [record](int32_t opcode, intptr_t value, void* ptr) {
        return record->dispatcher(record, opcode, 0, value, ptr, 0.0f);
    };

    // An exact-size copy, so any read past the host's bytes is caught. Every other
    // input gets the right tag, so the values and the section are read too.
    std::vector<uint8_t> bytes(data, data + size);
    if (bytes.size() >= 4 && (bytes[0] & 1)) std::memcpy(bytes.data(), &kTestStateTag, 4);
    uint8_t* block = bytes.empty() ? nullptr : bytes.data();
    const intptr_t answer = call(kVstOpSetChunk, intptr_t(bytes.size()), block);
    Require(answer == 0 || answer == 1);
    for (int32_t i = 0; i < effect->ParamCount(); ++i) {
        const Param* param = effect->ParamAt(i);
        Require(param->Value() >= param->Min() && param->Value() <= param->Max());
    }

    void* saved = nullptr;
    const intptr_t savedSize = call(kVstOpGetChunk, 0, &saved);
    Require(savedSize > 0 && saved != nullptr);
    std::vector<uint8_t> first(static_cast<uint8_t*>(saved),
                               static_cast<uint8_t*>(saved) + savedSize);
    Require(call(kVstOpSetChunk, savedSize, first.data()) == 1);
    const intptr_t againSize = call(kVstOpGetChunk, 0, &saved);
    Require(againSize == savedSize && std::memcmp(saved, first.data(), size_t(savedSize)) == 0);
    return 0;
}
