// What the plug-in frame sees of an editor. The frame sits below the editor
// framework, so it talks to this small interface only; editor/editor.h
// implements it.
#pragma once

#include <cstdint>

class EditorFace {
public:
    virtual ~EditorFace() = default;

    // Shows a parameter's value (normalized, or the parameter's own value) in
    // the controls bound to it. Any thread; an unknown index shows nothing.
    virtual void ShowParamValue(int32_t index, double value, bool normalized) = 0;
    // Prepares the drawing surface; called once when the frame takes the editor.
    virtual void PrepareSurface() = 0;

    // The editor's window inside the host's parent window (an HWND on Windows,
    // an X11 window id on Linux). Open returns the window, or null on failure.
    virtual void* OpenEditorWindow(void* parent) = 0;
    virtual void CloseEditorWindow() = 0;
    virtual bool IsWindowOpen() = 0;
    // The host's idle call from its UI thread (editor-idle opcode).
    virtual void Idle() {}

    virtual int32_t ViewWidth() const = 0;
    virtual int32_t ViewHeight() const = 0;
};
