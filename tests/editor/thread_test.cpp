// Values from a host thread while the editor thread gathers, draws and routes
// the mouse: no data race (run under ThreadSanitizer) and no value lost.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/editor/editor_test_support.h"

namespace {

// A knob that remembers the value its last drawing showed.
struct ShowingKnob : KnobControl {
    ShowingKnob(EffectBase* effect, const Rect& rect, int32_t paramIdx)
        : KnobControl(effect, rect, paramIdx, BlendAlpha) {}
    bool Draw(Editor* editor) override {
        mShown = mValue;
        return editor->FillColorRect(Color(255, int(mShown * 255), 0, 0), mRect, &mBlend);
    }
    double mShown = -1.0;
};

} // namespace

TEST(EditorThreads, HostValuesAndLimitsMeetDrawingAndMouseWithoutRaceOrLoss) {
    EditorPlug plug;
    auto* editor = new TestEditorView(&plug, 100, 40);
    editor->SetTrackHover(true);
    std::vector<ShowingKnob*> knobs;
    for (int32_t i = 0; i < 4; ++i) {
        knobs.push_back(new ShowingKnob(&plug, Rect(i * 25, 0, i * 25 + 20, 40), i));
        editor->AddControl(knobs.back());
    }
    plug.SetEditor(editor);

    std::atomic<bool> done{false};
    std::thread host([&] {
        // Automation: normalized values, real frequencies, and moving limits.
        for (int round = 0; round < 4000; ++round) {
            const int32_t index = round % 4;
            plug.HostParamChange(index, (round % 97) / 96.0);
            editor->ShowParamValue(EditorPlug::kFreq, double(round % 22001), false);
            editor->SetParamClamp(3, (round % 10) / 20.0, 1.0 - (round % 7) / 20.0, true);
        }
        done = true;
    });
    const MouseKeys left{true, false, false, false, false};
    int passes = 0;
    while (!done || passes < 200) {
        Rect dirty;
        if (editor->IsDirty(dirty)) editor->Draw(dirty);
        const int x = 5 + (passes % 4) * 25;
        editor->OnMouseOver(x, 10, MouseKeys());
        editor->OnMouseDown(x, 20, left);
        editor->OnMouseDrag(x, 20 - passes % 9, left);
        editor->OnMouseUp(x, 11);
        editor->OnMouseWheel(x, 20, MouseKeys(), passes % 3 - 1);
        // The list grows while the host walks it.
        if (passes % 20 == 0 && passes <= 200) {
            knobs.push_back(new ShowingKnob(&plug, Rect(0, 0, 5, 5), passes % 4));
            editor->AddControl(knobs.back());
        }
        if (passes == 50) editor->SetBackground(99, "none.png");
        ++passes;
    }
    host.join();

    // Once the host is quiet, at most two passes show every current value.
    for (int pass = 0; pass < 3; ++pass) {
        Rect dirty;
        if (editor->IsDirty(dirty)) editor->Draw(dirty);
    }
    Rect still;
    EXPECT_FALSE(editor->IsDirty(still));
    for (ShowingKnob* knob : knobs)
        EXPECT_EQ(knob->mShown, knob->Value()) << knob->ParamIdx();
    // The last limits reached the knob; the next change is held to them.
    EXPECT_EQ(knobs[3]->LimitLo(), (3999 % 10) / 20.0);
    EXPECT_EQ(knobs[3]->LimitHi(), 1.0 - (3999 % 7) / 20.0);
    editor->OnMouseWheel(80, 20, MouseKeys(), -200);
    EXPECT_EQ(knobs[3]->Value(), knobs[3]->LimitLo());
    EXPECT_EQ(editor->ControlCount(), int32_t(knobs.size()) + 1);
}
