#include "tests/vst/test_effect.h"

#include <cmath>
#include <cstdio>
#include <new>

TestEffect::TestEffect(InstanceInfo instance, const TestEffectOptions& options)
    : EffectBase(instance, TestParamCount, options.inputs, options.outputs, "Kelo Test Gain",
                 "Kelo Test Suite", "mirel", 0x010203, kTestUniqueId, 0x4D697265, 0, options.midi,
                 true, options.chunks, false) {
    ParamAt(TestGain)->DefineContinuous("gain", 0.0, -24.0, 24.0, 0.1, "dB");
    ParamAt(TestLongName)->DefineSwitch("process only detected signal", false);
    Param* probe = ParamAt(TestProbe);
    probe->DefineContinuous("probe", 0.0, 0.0, 3.0, 1.0, "");
    probe->AddValueText(ProbeAudio, "audio");
    probe->AddValueText(ProbeTransport, "transport");
    probe->AddValueText(ProbeHost, "host");
    probe->AddValueText(ProbeMeter, "meter");
    Param* mix = ParamAt(TestMix);
    mix->DefineContinuous("mix", 100.0, 0.0, 100.0, 1.0, "%");
    mix->SetCurve(2.0);
    if (options.editor) SetEditor(new TestEditor(this));
}

void TestEffect::ResetProcessing() {
    EffectBase::ResetProcessing();
    ++resets;
}

void TestEffect::ParamChanged(int32_t index) {
    EffectBase::ParamChanged(index);
    ++paramChanges;
}

void TestEffect::ActiveChanged(bool on) {
    EffectBase::ActiveChanged(on);
    ++(on ? activations : deactivations);
}

void TestEffect::ProcessBlock(double** inputs, double** outputs, int32_t frames) {
    processedFrames += frames;
    const int32_t mode = int32_t(std::lround(ParamAt(TestProbe)->Value()));
    double first = 0.0, second = 0.0;
    switch (mode) {
    case ProbeTransport:
        first = TransportSample();
        second = TransportTempo();
        break;
    case ProbeHost:
        first = HostKind();
        second = HostVersion();
        break;
    case ProbeMeter: {
        int32_t numerator = 0, denominator = 0;
        TransportMeter(numerator, denominator);
        first = numerator;
        second = denominator;
        break;
    }
    default: {
        const double gain = ParamAt(TestGain)->ValueAsGain();
        for (int32_t c = 0; c < OutputCount(); ++c)
            for (int32_t i = 0; i < frames; ++i)
                outputs[c][i] = c < InputCount() ? inputs[c][i] * gain : 0.0;
        return;
    }
    }
    for (int32_t c = 0; c < OutputCount(); ++c)
        for (int32_t i = 0; i < frames; ++i)
            outputs[c][i] = c == 0 ? first : second;
}

void TestEffect::HandleMidi(const MidiMessage* message) {
    // Controller n moves parameter n, as a knob in an editor would.
    if ((message->mStatus & 0xF0) == 0xB0) {
        EditorParamChange(message->mData1, message->mData2 / 127.0);
        return;
    }
    EffectBase::HandleMidi(message);
}

bool TestEffect::KeyName(int32_t key, char* name) {
    if (key < 0 || key > 127) return false;
    std::snprintf(name, 64, "key %d", int(key));
    return true;
}

bool TestEffect::SaveState(ByteBlock* chunk) {
    return chunk && AppendTaggedState(*this, *chunk, kTestStateTag, this);
}

bool TestEffect::LoadState(ByteBlock* chunk) {
    return chunk && LoadTaggedState(*this, *chunk, kTestStateTag, this);
}

bool TestEffect::SaveSections(ByteBlock& chunk) {
    if (!chunk.AppendInt32(3)) return false;
    for (double mark : marks)
        if (!chunk.AppendDouble(mark)) return false;
    return true;
}

// The section is a count (always 3) and that many finite doubles; anything else
// fails and leaves the marks as they were.
bool TestEffect::LoadSections(const ByteBlock& chunk, int& position) {
    int32_t count = 0;
    if (!chunk.ReadInt32(position, count) || count != 3) return false;
    double read[3];
    for (double& value : read)
        if (!chunk.ReadDouble(position, value) || !std::isfinite(value)) return false;
    for (int i = 0; i < 3; ++i)
        marks[i] = read[i];
    return true;
}

intptr_t TestEffect::VendorRequest(int32_t index, intptr_t, void*, float) {
    auto* editor = static_cast<TestEditor*>(GetEditor());
    if (index != kTestArmGesture || !editor) return 0;
    editor->gestureArmed = true;
    return 1;
}

void TestEditor::Idle() {
    if (!gestureArmed.exchange(false)) return;
    mEffect->BeginGesture();
    mEffect->EditorParamChange(TestGain, 0.25);
    mEffect->EditorParamChange(TestGain, 0.75);
    mEffect->EditorParamChange(TestMix, 0.5);
    mEffect->StateChanged();
    mEffect->EndGesture();
}
