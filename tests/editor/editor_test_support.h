// A plug-in with a frequency-like parameter (recording what it tells the
// host) and its offscreen editor, and
// controls that log what reaches them or only hold a value.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editor/control.h"
#include "editor/offscreen_editor.h"
#include "tests/plug/note_effect.h"

using Log = std::vector<std::string>;

// Parameter 1 runs 0..22000 Hz on a cubic curve like the effect's
// frequencies; the others are the frame test's -10..10 dB parameters.
struct EditorPlug : NoteEffect {
    static constexpr int32_t kFreq = 1;
    EditorPlug() : NoteEffect(4) {
        ParamAt(kFreq)->DefineContinuous("freq", 1000.0, 0.0, 22000.0, 1.0, "Hz");
        ParamAt(kFreq)->SetCurve(3.0);
    }
};

// An offscreen editor that opens the documents listed in mOpenable.
struct TestEditorView : OffscreenEditor {
    TestEditorView(EffectBase* effect, int32_t width = 200, int32_t height = 100, int32_t fps = 0)
        : OffscreenEditor(effect, width, height, fps) {}
    bool OpenDocument(const char* path) override {
        OffscreenEditor::OpenDocument(path);
        for (const std::string& p : mOpenable)
            if (p == path) return true;
        return false;
    }
    std::vector<std::string> mOpenable;
};

// A control bound to a parameter that draws nothing.
struct PlainControl : KnobControl {
    PlainControl(EffectBase* effect, int32_t paramIdx, const Rect& rect = Rect(0, 0, 10, 10),
                 int direction = 0, double gearing = 4.0)
        : KnobControl(effect, rect, paramIdx, BlendAlpha, direction, gearing) {}
    bool Draw(Editor*) override { return true; }
};

// A control that logs "<name> <event> x,y [more]" for every mouse event and
// drawing, and may ask from its Draw to be drawn once more.
struct LogControl : Control {
    LogControl(Log* log, const char* name, const Rect& rect)
        : Control(nullptr, rect, -1, BlendAlpha), mLog(log), mName(name) {}
    void OnMouseDown(int x, int y, const MouseKeys&) override { Note("down", x, y); }
    void OnMouseUp(int x, int y) override { Note("up", x, y); }
    void OnMouseDrag(int x, int y, int dX, int dY, const MouseKeys&) override {
        Note("drag", x, y, " " + std::to_string(dX) + " " + std::to_string(dY));
    }
    void OnMouseDblClick(int x, int y, const MouseKeys&) override { Note("dbl", x, y); }
    void OnMouseWheel(int x, int y, const MouseKeys&, int steps) override {
        Note("wheel", x, y, " " + std::to_string(steps));
    }
    void OnMouseOver(int x, int y, const MouseKeys&) override { Note("over", x, y); }
    void OnMouseOut() override { mLog->push_back(mName + " out"); }
    bool Draw(Editor*) override {
        mLog->push_back(mName + " draw");
        if (mAskAgain) mDrawAgain = true;
        return true;
    }
    void Note(const char* what, int x, int y, const std::string& more = "") {
        mLog->push_back(mName + " " + what + " " + std::to_string(x) + "," + std::to_string(y) +
                        more);
    }
    Log* mLog;
    std::string mName;
    bool mAskAgain = false;
};

// A plug-in with its editor attached, so that controls reach both.
struct Attached : ::testing::Test {
    Attached() : editor(new TestEditorView(&plug)) { plug.SetEditor(editor); }
    template <typename T>
    T* Add(T* control) {
        editor->AddControl(control);
        return control;
    }
    EditorPlug plug;
    TestEditorView* editor; // owned by plug
};
