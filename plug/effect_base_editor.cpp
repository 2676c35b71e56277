// The editor's host: the editor attached and dropped, its window opened,
// closed and idled for every format alike.
#include "plug/effect_base.h"

#include "plug/editor_face.h"

// ---------------------------------------------------------------- attach and drop

void EffectBase::SetEditor(EditorFace* editor) {
    if (!editor) return;
    ScopedLock hold(mLock);
    for (int32_t i = 0; i < ParamCount(); ++i)
        editor->ShowParamValue(i, mParams[size_t(i)]->Normalized(), true);
    editor->PrepareSurface();
    if (mEditor != editor) delete mEditor;
    mEditor = editor;
    if (mHostLink) mHostLink->EditorAttached();
}

void EffectBase::DropEditor() {
    // No lock of ours while the window closes: its thread may be waiting for
    // the plug-in's lock to finish a frame.
    if (mEditor) mEditor->CloseEditorWindow();
    EditorFace* doomed = nullptr;
    {
        ScopedLock hold(mLock);
        doomed = mEditor;
        mEditor = nullptr;
    }
    delete doomed;
}

// ---------------------------------------------------------------- window

bool EffectBase::OpenEditorWindow(void* parent) {
    return mEditor && mEditor->OpenEditorWindow(parent) != nullptr;
}

void EffectBase::CloseEditorWindow() {
    if (mEditor) mEditor->CloseEditorWindow();
}

bool EffectBase::OpenEditor(void* parent) {
    if (!mEditor) return false;
    if (mEditorWindowOpen && !mEditor->IsWindowOpen()) {
        // The host destroyed its frame (and our window in it) without
        // "editor close": that window is over, this open is a new one.
        EditorClosed();
        CloseEditorWindow();
        mEditorWindowOpen = false;
    }
    if (mEditorWindowOpen || !OpenEditorWindow(parent)) return false;
    mEditorWindowOpen = true;
    EditorOpened();
    return true;
}

bool EffectBase::CloseEditor() {
    if (!mEditor) return false;
    if (mEditorWindowOpen) {
        EditorClosed();
        CloseEditorWindow();
        mEditorWindowOpen = false;
    }
    // A window closed in the middle of a drag never sees the release.
    EndGesture();
    return true;
}

void EffectBase::IdleEditor() {
    if (mEditorWindowOpen && mEditor) mEditor->Idle();
}
