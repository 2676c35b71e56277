// What the window faces (Win32, X11) do the same way: the value prompt a right
// click opens over a control - its state machine (ValuePrompt), where it
// opens, and its part of each tick - and closing it when a new size takes the
// controls away. A face derives from this and does the window work only: its
// prompt widget (made, shown, read, closed) and the window's new size.
#pragma once

#include <cstdint>
#include <string>

#include "editor/raster_editor.h"
#include "editor/value_prompt.h"

class WindowFace : public RasterEditor {
public:
    // Height of the prompt's text field and of each row of its list, in pixels.
    static constexpr int kPromptRowHeight = 16;

    // Where a prompt opens, in view pixels.
    struct PromptPlace {
        int cx = 0, cy = 0; // the control's centre, truncated
        // A list's width: 8 pixels a character of the longest value text plus
        // 24, at least 24; 0 for a text field.
        int listWidth = 0;
    };

    // Opens the prompt for control and its parameter, centred on the control:
    // a list of the parameter's value texts, or a text field holding its
    // text. Nothing when either is null, a prompt is open or no window is.
    void OpenValuePrompt(Control* control, Param* param) override;
    // An open prompt closes first (its control goes with the others), then the
    // core's SetSize, then the window takes the size.
    void SetSize(int32_t width, int32_t height) override;

protected:
    // promptStart is the state a new prompt starts in: PromptFocused for a
    // widget that has the keys at once, PromptIdle for one that is told by a
    // message of its own.
    WindowFace(EffectBase* effect, int32_t width, int32_t height, int32_t fps, int promptStart);

    // The prompt's part of a tick, as its state asks: show the parameter's
    // text again, commit what the user typed or chose and close, or close.
    // True when the tick went to the prompt: the frame waits for the next one.
    bool TickPrompt();

    // --- the window work of a face
    // A prompt can open now (the window is open).
    virtual bool CanPrompt() = 0;
    // Makes and shows the widget for mPrompt (just opened) at place; false
    // when it could not (mPrompt closes again).
    virtual bool ShowPromptWidget(const PromptPlace& place) = 0;
    // Shows text in the widget: the parameter's text again.
    virtual void ShowPromptText(const std::string& text) = 0;
    // What the user typed, or the chosen entry's text ("" when none is).
    virtual std::string PromptTyped() = 0;
    // Closes the widget (when there is one) and mPrompt.
    virtual void ClosePrompt() = 0;
    // The window (when open) takes the new size.
    virtual void ResizeWindow(int32_t width, int32_t height) = 0;

    ValuePrompt mPrompt;

private:
    int mPromptStart;
};
