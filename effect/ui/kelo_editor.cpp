// The effect's editor: the background, the eleven controls in the left column,
// the two option switches under the emblem, the link to the manual over the
// emblem, and the two displays.
#include <memory>
#include <string>

#include "editor/control.h"
#include "editor/editor.h"
#include "editor/platform_editor.h"
#include "effect/ui/amp_display.h"
#include "effect/ui/envelope_view.h"
#include "effect/ui/kelo_controls.h"
#include "effect/ui/kelo_plugin.h"

namespace {

const int kEditorWidth = 675, kEditorHeight = 619;

enum KeloImage {
    kImageBackground = 100,
    kImageButtonOff = 101,
    kImageBlinkOff = 102,
    kImageButtonOn = 103,
    kImageKnobGlow = 104,
};

} // namespace

KeloPlugin::KeloPlugin(const InstanceInfo& instance) : KeloEffect(instance) {
    BuildEditor();
}

void KeloPlugin::LimitControls(int32_t index, double low, double high) {
    // The effect's editor is always an Editor: BuildEditor makes it.
    if (mEditor) static_cast<Editor*>(mEditor)->SetParamClamp(index, low, high, true);
}

void KeloPlugin::BuildEditor(Editor* given) {
    // Frame rate 0: the editor's default.
    std::unique_ptr<Editor> editor(given ? given
                                         : NewPlatformEditor(this, kEditorWidth, kEditorHeight, 0));
    if (!editor) return;
    // The displays follow the pointer to light their handles.
    editor->SetTrackHover(true);
    editor->SetBackground(kImageBackground, "img/bg.png");
    const BitmapRef off = editor->LoadEditorBitmap(kImageButtonOff, "img/button.png", 1);
    editor->LoadEditorBitmap(kImageBlinkOff, "img/blinkoff.png", 1);
    const BitmapRef on = editor->LoadEditorBitmap(kImageButtonOn, "img/blinkon.png", 1);
    const BitmapRef glow = editor->LoadEditorBitmap(kImageKnobGlow, "img/knob-glow.png", 1);

    // The detect group, then the edit group; the order is the drawing order.
    Editor& e = *editor;
    e.AddControl(new FreqKnob(this, Rect(26, 50, 63, 95), kParamLoFreq, glow));
    e.AddControl(new FreqKnob(this, Rect(120, 50, 157, 95), kParamHiFreq, glow));
    e.AddControl(new ToggleButton(this, Rect(96, 55, 125, 84), kParamMonitor, off, on));
    e.AddControl(new ToggleButton(this, Rect(64, 72, 93, 101), kParamProcessOnly, off, on));
    e.AddControl(new GlowKnob(this, Rect(54, 106, 91, 143), kParamThreshold, glow));
    e.AddControl(new ToggleButton(this, Rect(71, 273, 100, 302), kParamShowEnv, off, on));
    e.AddControl(new ToggleButton(this, Rect(107, 273, 136, 302), kParamShapeEnv, off, on));
    e.AddControl(new GlowKnob(this, Rect(23, 365, 60, 402), kParamStrength, glow));
    e.AddControl(new GlowKnob(this, Rect(23, 303, 60, 340), kParamEnvTime, glow));
    e.AddControl(new MomentaryButton(this, Rect(114, 308, 143, 337), kParamAutofit, off, on));
    e.AddControl(new ToggleButton(this, Rect(114, 369, 143, 398), kParamGate, off, on));

    // The manual lies beside the library.
    std::string manual;
    e.ModuleDirectory(manual);
    manual += "Kelo_manual.pdf";
    e.AddControl(new LinkControl(this, Rect(5, 475, 130, 570), manual.c_str(), nullptr));

    EnvelopeView* envView = new EnvelopeView(this, &e);
    e.AddControl(envView);
    AmpDisplay* amp = new AmpDisplay(this);
    e.AddControl(amp);
    mAmpDisplay = amp;
    // The two options beyond the parameters, in the free space under the emblem
    // (attached after the displays, so that the parameters' controls, the
    // manual link and the displays keep their places in the drawing order).
    e.AddControl(new OptionSwitch(
        this, Rect(12, 578, 160, 590), "hear both polarities",
        [](EffectBase* fx) { return static_cast<KeloEffect*>(fx)->DetectBothPolarities(); },
        [](EffectBase* fx, bool on) {
            static_cast<KeloEffect*>(fx)->SetDetectBothPolarities(on);
        }));
    e.AddControl(new OptionSwitch(
        this, Rect(12, 597, 160, 609), "lookahead 10 ms",
        [](EffectBase* fx) { return static_cast<KeloEffect*>(fx)->Lookahead(); },
        [](EffectBase* fx, bool on) { static_cast<KeloEffect*>(fx)->SetLookahead(on); }));
    AttachDisplays(envView, amp);
    SetEditor(editor.release());
}
