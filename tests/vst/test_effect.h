// A small effect for the adapter's tests: a gain stage with a few parameters, a
// state chunk with one section of its own, MIDI controllers that move parameters
// like an editor would, and probes that write what the host told it (transport,
// host kind, meter) into the output so end-to-end tests can read it back.
#pragma once

#include <atomic>
#include <cstdint>

#include "plug/editor_face.h"
#include "plug/state_chunk.h"
#include "plug/vst_adapter.h"

// Parameter numbers of the test effect.
enum TestParam : int32_t {
    TestGain = 0,     // "gain", -24..24 dB, step 0.1
    TestLongName = 1, // "process only detected signal", a switch
    TestProbe = 2,    // "probe": what the output carries (TestProbeMode)
    TestMix = 3,      // "mix", 0..100 %, curve 2
    TestParamCount = 4,
};

// Values of the "probe" parameter.
enum TestProbeMode : int32_t {
    ProbeAudio = 0,     // outputs = inputs x gain
    ProbeTransport = 1, // output 0 = TransportSample, output 1 = TransportTempo
    ProbeHost = 2,      // output 0 = HostKind, output 1 = packed host version
    ProbeMeter = 3,     // output 0 = numerator, output 1 = denominator
};

constexpr int32_t kTestStateTag = 77;
constexpr int32_t kTestUniqueId = 0x6B747374; // 'ktst'

struct TestEffectOptions {
    bool midi = true;
    bool editor = true;
    bool chunks = true;
    int32_t inputs = 2;
    int32_t outputs = 2;
};

// Vendor-specific request (opcode 50) index: the editor's next idle call
// plays a gesture, as a mouse drag in a real editor would.
constexpr int32_t kTestArmGesture = 0x6B676573; // 'kges'

// An editor without a window: it remembers what it was shown.
class TestEditor : public EditorFace {
public:
    explicit TestEditor(EffectBase* effect) : mEffect(effect) {}
    int32_t shownCount = 0;
    // The gesture of the next idle call: "gain" to 0.25 and then 0.75, "mix"
    // to 0.5 and a change of the saved state.
    std::atomic<bool> gestureArmed{false};
    void Idle() override;

    void ShowParamValue(int32_t, double, bool) override { ++shownCount; }
    void PrepareSurface() override {}
    // The window is make-believe: open from a parent until closed, or until
    // the test plays a host that destroys its frame (windowOpen = false).
    void* OpenEditorWindow(void* parent) override {
        windowOpen = parent != nullptr;
        return parent;
    }
    void CloseEditorWindow() override { windowOpen = false; }
    bool IsWindowOpen() override { return windowOpen; }
    bool windowOpen = false;
    int32_t ViewWidth() const override { return 675; }
    int32_t ViewHeight() const override { return 619; }

private:
    EffectBase* mEffect;
};

class TestEffect : public EffectBase, private StateSections {
public:
    TestEffect(InstanceInfo instance, const TestEffectOptions& options = TestEffectOptions());

    void ResetProcessing() override;
    void ParamChanged(int32_t index) override;
    void ProcessBlock(double** inputs, double** outputs, int32_t frames) override;
    void ActiveChanged(bool on) override;
    void HandleMidi(const MidiMessage* message) override;
    bool KeyName(int32_t key, char* name) override;
    bool SaveState(ByteBlock* chunk) override;
    bool LoadState(ByteBlock* chunk) override;
    void EditorOpened() override { ++editorOpened; }
    // kTestArmGesture arms the editor's gesture (1); anything else answers 0.
    intptr_t VendorRequest(int32_t index, intptr_t value, void* ptr, float opt) override;
    void EditorClosed() override { ++editorClosed; }

    // The section's payload: a few doubles saved after the parameter values.
    double marks[3] = {0.25, 0.5, 0.75};

    // What the frame delivered, for in-process tests.
    std::atomic<int32_t> resets{0};
    std::atomic<int32_t> paramChanges{0};
    std::atomic<int32_t> activations{0};
    std::atomic<int32_t> deactivations{0};
    std::atomic<int32_t> editorOpened{0};
    std::atomic<int32_t> editorClosed{0};
    std::atomic<int32_t> processedFrames{0};

protected:
    bool OpenEditorWindow(void* parent) override {
        return parent != nullptr && EffectBase::OpenEditorWindow(parent);
    }

private:
    bool SaveSections(ByteBlock& chunk) override;
    bool LoadSections(const ByteBlock& chunk, int& position) override;
};
