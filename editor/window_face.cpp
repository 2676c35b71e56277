#include "editor/window_face.h"

#include <algorithm>

#include "editor/control.h"

WindowFace::WindowFace(EffectBase* effect, int32_t width, int32_t height, int32_t fps,
                       int promptStart)
    : RasterEditor(effect, width, height, fps), mPromptStart(promptStart) {}

void WindowFace::OpenValuePrompt(Control* control, Param* param) {
    if (!control || !param || mPrompt.IsOpen() || !CanPrompt()) return;
    const Rect& r = control->GetRect();
    PromptPlace place;
    place.cx = int((r.L + r.R) * 0.5);
    place.cy = int((r.T + r.B) * 0.5);
    mPrompt.Open(control, param, mPromptStart);
    if (mPrompt.IsList()) {
        size_t longest = 0;
        for (const std::string& entry : mPrompt.Entries())
            longest = std::max(longest, entry.size());
        place.listWidth = std::max(24, int(8 * longest) + 24);
    }
    if (!ShowPromptWidget(place)) mPrompt.Close();
}

void WindowFace::SetSize(int32_t width, int32_t height) {
    // The core deletes every control: a prompt must not outlive its control.
    ClosePrompt();
    RasterEditor::SetSize(width, height);
    ResizeWindow(width, height);
}

bool WindowFace::TickPrompt() {
    switch (mPrompt.Tick()) {
    case ValuePrompt::kNothing:
        return false;
    case ValuePrompt::kShowText:
        ShowPromptText(mPrompt.Shown());
        return true;
    case ValuePrompt::kCommitAndClose:
        mPrompt.Commit(PromptTyped().c_str());
        ClosePrompt();
        return true;
    case ValuePrompt::kClose:
        ClosePrompt();
        return true;
    }
    return false;
}
