// The X11 face of the editor (Linux): a child window inside the window a
// Linux VST host hands over, showing the back buffer with XPutImage, mouse
// routing as on Windows, a redraw at the editor's frame rate, FreeType text,
// and a value prompt (a text field or a list) that the editor draws itself.
//
// Threads: every editor has its own display connection and a timer thread.
// The host's editor-idle call drives the window (events, then a frame when one
// is due) while the host makes it; the timer thread takes over when it stops
// or never starts, so each frame has one wake-up. One lock keeps their Xlib
// calls and the editor work apart. That lock is taken before the plug-in's
// lock, never while holding it; host threads that only show parameter values
// never take it. The timer thread is joined, never detached, before the
// window's resources or the editor go.
//
// Frames draw and send only the controls that changed, through the server's
// shared memory when it offers it (XPutImage otherwise), and nothing while
// the window is unmapped or fully covered; it comes back with one whole frame.
//
// X errors (a host that destroyed its window before closing the editor) are
// counted on the editor's own connection and never reach the process-wide
// handler; they close nothing but the editor's window.
//
// The face's jobs, a file each:
//   editor_x11.cpp         the face: its window's lifetime and size, text, the
//                          prompt's widget, the system services, state for tests
//   editor_x11_tick.cpp    the tick: X events turned into the core's mouse
//                          calls and the prompt's keys, then a frame when due,
//                          run by the host's idle call or the timer thread
//   x11_window.cpp         the window on the server: ancestry, visibility, focus
//   x11_presenter.cpp      the back buffer's areas sent to the server as images
//   x11_error_book.cpp     X errors counted on the editor's own connection
//   frame_pacer.cpp        when frames are due, and the timer thread
//   drawn_prompt.cpp       the value prompt this face draws itself
//   document_opener.cpp    documents opened with xdg-open, without a shell
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "editor/document_opener.h"
#include "editor/frame_pacer.h"
#include "editor/window_face.h"

class DrawnPrompt;
class FrameClock;
class Param;
class TextRaster;
class X11Presenter;
class X11Window;
struct X11Scene;

class EditorX11 : public WindowFace {
public:
    // Two presses of the left button at most this far apart in time and
    // place make a double click.
    static constexpr unsigned kDoubleClickMs = 400;
    static constexpr int kDoubleClickDistance = 2;
    // Without an editor-idle call for this long, the timer thread draws.
    static constexpr int kHostIdleGraceMs = FramePacer::kHostIdleGraceMs;
    EditorX11(EffectBase* effect, int32_t width, int32_t height, int32_t fps);
    // Closes the window first.
    ~EditorX11() override;

    bool PaintRect(const Rect& rect) override;
    // Through the server's shared memory, areas whose box is not much larger
    // than they are go as one image (X11Presenter).
    bool PaintRects(const std::vector<Rect>& rects) override;
    // Moves the back buffer's pixels; the moved area goes with the frame's
    // next PaintRects.
    bool ScrollBack(const Rect& area, int dx) override;
    bool DrawString(const TextStyle& style, const char* text, const Rect& rect) override;
    // Under the window lock.
    void SetSize(int32_t width, int32_t height) override;
    bool IsWindowOpen() override;
    // Under the window lock.
    void OpenValuePrompt(Control* control, Param* param) override;
    void HostDirectory(std::string& out) override;
    void ModuleDirectory(std::string& out) override;
    // No dialogs on Linux: the answer is always "cancel".
    void AskForFile(std::string& out, int action, const char* directory,
                    const char* extensions) override;
    bool AskForColor(Color& color, const char* prompt) override;
    // Starts xdg-open with the path (no shell); true when it could be started.
    bool OpenDocument(const char* path) override;
    // parent is the host's X11 window id. Returns the editor's window id.
    void* OpenEditorWindow(void* parent) override;
    void CloseEditorWindow() override;
    void* WindowHandle() override;
    // The host's editor-idle call: handles pending events, and draws when a
    // frame is due.
    void Idle() override;

    // --- the frame clock
    // Frames are paced by clock from the next window on (it outlives the
    // editor); the steady clock until then. Tests move a clock by hand.
    void UseClock(const FrameClock& clock);

    // --- state, for the harness and tests
    // Milliseconds between frames: trunc(1000 / fps).
    int FramePeriodMs() const { return mPacer.PeriodMs(); }
    // Frames that drew something since construction.
    int64_t FrameCount() const;
    // Ticks that had a frame due since construction, whether or not it drew.
    int64_t FrameSlots() const { return mPacer.FramesTaken(); }
    // Ticks run since construction (each reads the events that have arrived).
    int64_t TickCount() const;
    // Images sent to the server (shared or plain) since construction.
    int64_t PutCount() const;
    // False once the window died with its parent (or was never made).
    bool WindowAlive() const;
    // The window is mapped with every ancestor and not fully covered.
    bool WindowShowing() const;
    // Frames go through the server's shared memory.
    bool UsesSharedImage() const;
    bool PromptOpen() const;
    int PromptStateNow() const;
    Control* PromptControl() const;
    Rect PromptRect() const;
    std::string PromptText() const;
    // The list's entries and selected row (-1 none); empty for a text field.
    std::vector<std::string> PromptEntries() const;
    int PromptSelection() const;
    // A copy of the back buffer (0xAARRGGBB rows of ViewWidth pixels), taken
    // between frames; false before the surface exists.
    bool CopyBackBuffer(std::vector<uint32_t>& pixels) const;

private:
    // --- the window (editor_x11.cpp)
    void StopTimer();
    void CloseLocked();
    // The window is open, mapped with every ancestor and not fully covered.
    bool Showing() const;
    // Shows rect of the back buffer (and the prompt over it) in the window.
    void PutArea(const Rect& rect);
    // What the window shows now.
    X11Scene Scene() const;
    // The prompt's widget (WindowFace).
    bool CanPrompt() override;
    bool ShowPromptWidget(const PromptPlace& place) override;
    void ShowPromptText(const std::string& text) override;
    std::string PromptTyped() override;
    void ClosePrompt() override;
    void ResizeWindow(int32_t width, int32_t height) override;

    // --- the tick (editor_x11_tick.cpp)
    void TimerLoop();
    // Handles pending events, then a frame when due; under mLock.
    void Tick(bool frameDue);
    void Frame();
    void HandleEvent(const void* event);
    // Asks the server whether the window can be seen; shown again, the next
    // frame is a whole one.
    void RefreshVisibility();
    // A press (or hover) over the prompt; true when it was inside it.
    bool PromptMouse(int x, int y, bool press);

    // The editor whose tick runs on this thread, if any (closing from inside a
    // tick is deferred to its end).
    static thread_local const EditorX11* sTicking;

    mutable std::recursive_mutex mLock;
    std::unique_ptr<X11Window> mWin; // while a window is open
    std::unique_ptr<X11Presenter> mPresenter;
    std::unique_ptr<TextRaster> mText;
    std::unique_ptr<DrawnPrompt> mDrawn; // the prompt's widget
    FramePacer mPacer;
    DocumentOpener mOpener;
    int64_t mFrames = 0;
    int64_t mTicks = 0;
    std::vector<Rect> mDirtyRects; // a frame's changed areas, reused
    bool mClosePending = false;
    bool mFullDrawPending = false;
    // Mouse state as the Windows face keeps it.
    bool mCaptured = false;
    bool mTracking = false;
    unsigned long mLastPressTime = 0;
    int mLastPressX = 0, mLastPressY = 0;
    bool mLastPressValid = false;
    bool mPressInPrompt = false; // its release is the prompt's too
};
