// A small effect and editor on the plug-in frame that record what the frame
// calls on them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "plug/editor_face.h"
#include "plug/effect_base.h"

// Everything the frame told the hooks, in order ("changed 3", "show 3 0.5", ...).
using CallLog = std::vector<std::string>;

class TestEffect : public EffectBase {
public:
    TestEffect(int32_t params = 4, int32_t inputs = 2, int32_t outputs = 2)
        : EffectBase(InstanceInfo{nullptr, 0, 0}, params, inputs, outputs, "Test effect", "",
                     "vendor", 0x010101, 0x6b6c6f78, 0x4d697265, 0, false, true, true, false) {
        for (int32_t i = 0; i < params; ++i)
            ParamAt(i)->DefineContinuous(("p" + std::to_string(i)).c_str(), 0.0, -10.0, 10.0, 0.1,
                                         "dB");
    }

    // What the host adapter does after construction.
    void ConnectAll(int32_t maxBlock = 1024) {
        SetInputsConnected(0, InputCount(), true);
        SetOutputsConnected(0, OutputCount(), true);
        SetMaxBlock(maxBlock);
    }

    void ParamChanged(int32_t index) override {
        EffectBase::ParamChanged(index);
        mLog.push_back("changed " + std::to_string(index));
    }
    void ResetProcessing() override {
        EffectBase::ResetProcessing();
        mLog.push_back("reset");
    }
    void ProcessBlock(double** in, double** out, int32_t frames) override {
        mBlocks.emplace_back(BlockOffset(), frames);
        EffectBase::ProcessBlock(in, out, frames);
    }
    int64_t TransportSample() override { return 0; }
    double TransportTempo() override { return 0.0; }
    void TransportMeter(int32_t& numerator, int32_t& denominator) override {
        numerator = denominator = 0;
    }
    bool EmitMidi(const MidiMessage* message) override {
        mEmitted.push_back(*message);
        return true;
    }

    CallLog mLog;
    std::vector<std::pair<int32_t, int32_t>> mBlocks; // (BlockOffset, frames) per ProcessBlock
    std::vector<MidiMessage> mEmitted;
};

// An editor face that logs what the frame asks of it.
class TestEditor : public EditorFace {
public:
    TestEditor(EffectBase* effect, CallLog* log, bool* destroyed = nullptr)
        : mEffect(effect), mLog(log), mDestroyed(destroyed) {}
    ~TestEditor() override {
        if (mDestroyed) *mDestroyed = true;
    }
    void ShowParamValue(int32_t index, double value, bool normalized) override {
        mLog->push_back("show " + std::to_string(index));
        const Param* param = mEffect ? mEffect->ParamAt(index) : nullptr;
        if (!normalized && param) value = param->NormalizedOf(value);
        if (index >= 0 && index < int32_t(mShown.size())) mShown[size_t(index)] = value;
    }
    void PrepareSurface() override { mLog->push_back("prepare"); }
    void* OpenEditorWindow(void*) override { return nullptr; }
    void CloseEditorWindow() override {}
    bool IsWindowOpen() override { return false; }
    int32_t ViewWidth() const override { return 675; }
    int32_t ViewHeight() const override { return 619; }

    // Last value shown per parameter (normalized), -1 if never.
    std::vector<double> mShown = std::vector<double>(16, -1.0);

private:
    EffectBase* mEffect;
    CallLog* mLog;
    bool* mDestroyed;
};
