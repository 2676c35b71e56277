// A plug-in binary whose editor is the platform's window: the adapter's test
// effect (gain, a switch, ...) with two plain controls a harness can see and
// drive. The gain is a vertical bar that follows drags; the switch is a
// block that toggles on a left press.
#include "editor/control.h"
#include "editor/editor.h"
#include "editor/platform_editor.h"
#include "tests/vst/test_effect.h"

namespace {

// The picture: a 240 x 160 editor, the bar at 20..60 x 20..140, the switch at
// 100..160 x 20..60. Colours are plain fills, so pictures can be compared
// exactly.
class GainBar : public KnobControl {
public:
    GainBar(EffectBase* effect) : KnobControl(effect, Rect(20, 20, 60, 140), TestGain, BlendCopy) {}
    bool Draw(Editor* editor) override {
        Blend copy(BlendCopy, 1.0f);
        editor->FillColorRect(Color(255, 40, 40, 40), mRect, &copy);
        const int top = mRect.B - int(Value() * mRect.H());
        editor->FillColorRect(Color(255, 240, 200, 0), Rect(mRect.L, top, mRect.R, mRect.B), &copy);
        return true;
    }
};

class SwitchBlock : public Control {
public:
    SwitchBlock(EffectBase* effect)
        : Control(effect, Rect(100, 20, 160, 60), TestLongName, BlendCopy) {}
    void OnMouseDown(int x, int y, const MouseKeys& mod) override {
        if (mod.L)
            CommitUserValue(Value() >= 0.5 ? 0.0 : 1.0);
        else
            Control::OnMouseDown(x, y, mod);
    }
    bool Draw(Editor* editor) override {
        Blend copy(BlendCopy, 1.0f);
        const Color on(255, 0, 200, 80), off(255, 200, 0, 40);
        return editor->FillColorRect(Value() >= 0.5 ? on : off, mRect, &copy);
    }
};

class EditorTestEffect : public TestEffect {
public:
    explicit EditorTestEffect(const InstanceInfo& instance) : TestEffect(instance, Options()) {
        Editor* editor = NewPlatformEditor(this, 240, 160, 30);
        editor->AddControl(new GainBar(this));
        editor->AddControl(new SwitchBlock(this));
        SetEditor(editor);
    }

protected:
    // The frame's own road to the editor's window (the adapter test effect
    // answers without a window).
    bool OpenEditorWindow(void* parent) override { return EffectBase::OpenEditorWindow(parent); }

private:
    static TestEffectOptions Options() {
        TestEffectOptions options;
        options.editor = false;
        return options;
    }
};

} // namespace

EffectBase* CreateEffectInstance(const InstanceInfo& instance) {
    return new EditorTestEffect(instance);
}
