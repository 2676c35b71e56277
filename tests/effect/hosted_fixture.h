// A test effect behind a VST 2.4 adapter of its own, for tests that speak to
// it as a VST host does: the effect record, the dispatcher, and the module's
// host callback hearing what the effect tells its host.
#pragma once

#include "kelo_fixture.h"
#include "plug/vst_adapter.h"

template <typename Base>
class HostedEffectOf : public TestEffectOf<Base> {
public:
    explicit HostedEffectOf(double rate = 48000.0, int32_t maxBlock = 1024)
        : TestEffectOf<Base>(rate, maxBlock), mVst(*this) {}

    VstEffectRecord* Record() { return mVst.Record(); }
    // The dispatcher (never close: the adapter is a member here).
    intptr_t Dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f) {
        return mVst.Dispatch(opcode, index, value, ptr, opt);
    }

private:
    VstAdapter mVst;
};
using HostedKelo = HostedEffectOf<KeloPlugin>;
