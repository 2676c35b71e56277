// A Kelo effect whose editor is a window-less OffscreenEditor on every
// platform, with helpers to find its controls, draw it and move the mouse.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "editor/control.h"
#include "editor/offscreen_editor.h"
#include "effect/ui/envelope_view.h"
#include "effect/ui/kelo_controls.h"
#include "hosted_fixture.h"

// At this rate the history of two seconds is 100 samples per column.
constexpr double kRateOf100 = 21950.0;

class KeloEditorTest : public ::testing::Test {
protected:
    // Makes the editor for the effect (the fixture's effect owns it).
    using EditorMaker = OffscreenEditor* (*)(EffectBase* effect);
    static OffscreenEditor* PlainEditor(EffectBase* effect) {
        return new OffscreenEditor(effect, 675, 619, 0);
    }

    explicit KeloEditorTest(double rate = 48000.0, EditorMaker make = PlainEditor) : fx(rate) {
        editor = make(&fx);
        fx.BuildEditor(editor);
        for (int i = 0; i < editor->ControlCount(); ++i)
            if (auto* v = dynamic_cast<EnvelopeView*>(editor->ControlAtIndex(i))) view = v;
        // What the effect told the view while it was being set up.
        if (view) view->ApplyNews();
    }

    // The control bound to a parameter (the first one).
    Control* Bound(int param) {
        for (int i = 0; i < editor->ControlCount(); ++i)
            if (editor->ControlAtIndex(i)->ParamIdx() == param) return editor->ControlAtIndex(i);
        return nullptr;
    }
    void DrawAll() { editor->Draw(Rect(0, 0, 675, 619)); }
    // Draws only what is dirty, as the window's timer does.
    void DrawDirty() {
        Rect r;
        if (editor->IsDirty(r)) editor->Draw(r);
    }
    Color Pixel(int x, int y) { return editor->GetPoint(x, y); }
    // The texts the last passes drew, by content.
    const OffscreenEditor::Text* FindText(const std::string& text) {
        for (const auto& t : editor->Texts())
            if (t.mText == text) return &t;
        return nullptr;
    }
    void Click(int x, int y) {
        MouseKeys left;
        left.L = true;
        editor->OnMouseDown(x, y, left);
        editor->OnMouseUp(x, y);
    }
    // A press at from, a drag by (dx, dy) in steps of at most one pixel a
    // direction, and the release.
    void Drag(int x, int y, int dx, int dy) {
        MouseKeys left;
        left.L = true;
        editor->OnMouseOver(x, y, MouseKeys());
        editor->OnMouseDown(x, y, left);
        const int steps = std::abs(dx) > std::abs(dy) ? std::abs(dx) : std::abs(dy);
        for (int i = 1; i <= steps; ++i)
            editor->OnMouseDrag(x + dx * i / steps, y + dy * i / steps, left);
        editor->OnMouseUp(x + dx, y + dy);
    }

    HostedKelo fx;
    OffscreenEditor* editor = nullptr; // owned by fx
    EnvelopeView* view = nullptr;      // owned by editor
};

inline bool SameColor(const Color& a, int r, int g, int b) {
    return a.mR == r && a.mG == g && a.mB == b;
}
