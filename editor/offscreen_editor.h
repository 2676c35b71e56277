// A complete editor without a window: it draws into its back buffer like the
// window faces, paints nowhere, and records what a window would have shown
// (texts, value prompts, documents to open). For tests, benchmarks and
// pictures of the editor.
#pragma once

#include <string>
#include <vector>

#include "editor/raster_editor.h"

class OffscreenEditor : public RasterEditor {
public:
    // A text DrawString was asked to draw.
    struct Text {
        std::string mText;
        Rect mRect;
        TextStyle mStyle;
    };
    // A value prompt OpenValuePrompt was asked to open.
    struct Prompt {
        Control* mControl;
        Param* mParam;
    };

    OffscreenEditor(EffectBase* effect, int32_t width, int32_t height, int32_t fps);

    // Counts the call and remembers the rectangle; true.
    bool PaintRect(const Rect& rect) override;
    // Moves the back buffer's pixels; there is no window to follow.
    bool ScrollBack(const Rect& area, int dx) override { return MoveBackPixels(area, dx); }
    // Records the text (a null text records nothing); true.
    bool DrawString(const TextStyle& style, const char* text, const Rect& rect) override;
    void OpenValuePrompt(Control* control, Param* param) override;
    void HostDirectory(std::string& out) override { out.clear(); }
    void ModuleDirectory(std::string& out) override { out.clear(); }
    void AskForFile(std::string& out, int, const char*, const char*) override { out.clear(); }
    bool AskForColor(Color&, const char*) override { return false; }
    // Records the path; nothing can be opened without a system shell (false).
    bool OpenDocument(const char* path) override;
    void* OpenEditorWindow(void*) override { return nullptr; }
    void CloseEditorWindow() override {}
    void* WindowHandle() override { return nullptr; }

    const std::vector<Text>& Texts() const { return mTexts; }
    void ClearTexts() { mTexts.clear(); }
    const std::vector<Prompt>& Prompts() const { return mPrompts; }
    const std::vector<std::string>& Documents() const { return mDocuments; }
    int PaintCount() const { return mPaintCount; }
    const Rect& LastPaint() const { return mLastPaint; }

private:
    std::vector<Text> mTexts;
    std::vector<Prompt> mPrompts;
    std::vector<std::string> mDocuments;
    int mPaintCount = 0;
    Rect mLastPaint;
};
