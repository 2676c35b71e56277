// Processing host blocks allocates nothing once the block size is set.
#include <vector>

#include <gtest/gtest.h>

#include "plug/effect_base.h"
#include "tests/common/counting_allocator.h"

namespace {

// An effect whose own processing allocates nothing: a gain from parameter 0.
class GainEffect : public EffectBase {
public:
    GainEffect()
        : EffectBase({nullptr, 0, 0}, 1, 2, 2, "gain", "", "vendor", 0x010000, 1, 2, 0, false,
                     false, true, false) {
        ParamAt(0)->DefineContinuous("gain", 1.0, 0.0, 2.0, 0.01, "");
        SetInputsConnected(0, 2, true);
        SetOutputsConnected(0, 2, true);
        SetMaxBlock(256);
    }
    void ParamChanged(int32_t index) override { mGain = ParamAt(index)->Value(); }
    void ProcessBlock(double** in, double** out, int32_t frames) override {
        for (int c = 0; c < 2; ++c)
            for (int32_t i = 0; i < frames; ++i)
                out[c][i] = in[c][i] * mGain;
    }
    int64_t TransportSample() override { return 0; }
    double TransportTempo() override { return 0.0; }
    void TransportMeter(int32_t&, int32_t&) override {}
    bool EmitMidi(const MidiMessage*) override { return false; }

private:
    double mGain = 1.0;
};

template <typename T>
struct Channels {
    explicit Channels(int frames) : a(size_t(frames), T(0.5)), b(size_t(frames), T(-0.5)) {}
    std::vector<T> a, b;
    T* ptrs[2] = {a.data(), b.data()};
};

} // namespace

TEST(AudioAllocation, TheCounterSeesAllocations) {
    AllocationCounter counter;
    counter.Start();
    int* p = new int(3);
    ByteBlock block;
    block.SetLength(10);
    const long counted = counter.Stop();
    delete p;
    // new and the hook, plus the C functions beneath them where those are counted
    EXPECT_EQ(counted, kCountsCAllocations ? 4 : 2);
}

TEST(AudioAllocation, ProcessingBlocksAllocatesNothingAfterTheBlockSizeIsSet) {
    AllocationCounter counter;
    GainEffect fx;
    Channels<float> in32(1000), out32(1000);
    Channels<double> in64(1000), out64(1000);
    float* nullIn32[2] = {nullptr, in32.a.data()};
    counter.Start();
    for (int round = 0; round < 10; ++round) {
        fx.ProcessFloatReplacing(in32.ptrs, out32.ptrs, 200);
        fx.ProcessFloatAccumulating(in32.ptrs, out32.ptrs, 200);
        fx.ProcessDoubleReplacing(in64.ptrs, out64.ptrs, 200);
        // Oversize blocks, null channels and parameter changes on the way.
        fx.ProcessFloatReplacing(in32.ptrs, out32.ptrs, 1000);
        fx.ProcessDoubleReplacing(in64.ptrs, out64.ptrs, 1000);
        fx.ProcessFloatReplacing(nullIn32, out32.ptrs, 300);
        fx.EditorParamChange(0, 0.25 * round / 10.0);
    }
    EXPECT_EQ(counter.Stop(), 0);
    EXPECT_NE(out32.a[999], 0.0f);
    EXPECT_NE(out64.b[999], 0.0);
}
