#include "editor/offscreen_editor.h"

OffscreenEditor::OffscreenEditor(EffectBase* effect, int32_t width, int32_t height, int32_t fps)
    : RasterEditor(effect, width, height, fps) {}

bool OffscreenEditor::PaintRect(const Rect& rect) {
    ++mPaintCount;
    mLastPaint = rect;
    return true;
}

bool OffscreenEditor::DrawString(const TextStyle& style, const char* text, const Rect& rect) {
    if (text) mTexts.push_back(Text{text, rect, style});
    return true;
}

void OffscreenEditor::OpenValuePrompt(Control* control, Param* param) {
    mPrompts.push_back(Prompt{control, param});
}

bool OffscreenEditor::OpenDocument(const char* path) {
    mDocuments.emplace_back(path ? path : "");
    return false;
}
