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
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "editor/raster_editor.h"
#include "editor/value_prompt.h"

class Param;
class TextRaster;

class EditorX11 : public RasterEditor {
public:
    // Two presses of the left button at most this far apart in time and
    // place make a double click.
    static constexpr unsigned kDoubleClickMs = 400;
    static constexpr int kDoubleClickDistance = 2;
    // Height of the prompt's field and of each row of its list.
    static constexpr int kPromptRowHeight = 16;

    EditorX11(EffectBase* effect, int32_t width, int32_t height, int32_t fps);
    // Closes the window first.
    ~EditorX11() override;

    bool PaintRect(const Rect& rect) override;
    // Through the server's shared memory, areas whose box is not much larger
    // than they are go as one image: an image costs the server far more than
    // its pixels.
    bool PaintRects(const std::vector<Rect>& rects) override;
    // Pixels a box may add to its areas and still be sent as one image.
    static constexpr long long kUniteSlack = 65536;
    // Moves the back buffer's pixels; the moved area goes with the frame's
    // next PaintRects.
    bool ScrollBack(const Rect& area, int dx) override;
    bool DrawString(const TextStyle& style, const char* text, const Rect& rect) override;
    void SetSize(int32_t width, int32_t height) override;
    bool IsWindowOpen() override;
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

    // --- state, for the harness and tests
    // Milliseconds between frames: trunc(1000 / fps).
    int FramePeriodMs() const { return mFramePeriodMs; }
    // Frames that drew something since construction.
    int64_t FrameCount() const;
    // Images sent to the server (shared or plain) since construction.
    int64_t PutCount() const;
    // False once the window died with its parent (or was never made).
    bool WindowAlive() const;
    // The window is mapped with every ancestor and not fully covered.
    bool WindowShowing() const;
    // Frames go through the server's shared memory.
    bool UsesSharedImage() const;
    // Without an editor-idle call for this long, the timer thread draws.
    static constexpr int kHostIdleGraceMs = 250;
    bool PromptOpen() const;
    int PromptStateNow() const;
    Rect PromptRect() const;
    std::string PromptText() const;
    // The list's entries and selected row (-1 none); empty for a text field.
    std::vector<std::string> PromptEntries() const;
    int PromptSelection() const;
    // A copy of the back buffer (0xAARRGGBB rows of ViewWidth pixels), taken
    // between frames; false before the surface exists.
    bool CopyBackBuffer(std::vector<uint32_t>& pixels) const;
    // The number a prompt text stands for: the shared ParsePromptNumber.
    static bool ParsePromptNumber(const char* text, double& value);

private:
    struct X11;
    struct Prompt;

    void TimerLoop();
    // The host called editor-idle lately.
    bool HostIdles() const;
    // Selects map and reparent events on every window above ours.
    void WatchAncestors();
    // Asks the server whether the window is viewable.
    void UpdateVisibility();
    bool Showing() const;
    // Makes (or drops) the shared image of the view's size.
    void AttachSharedImage();
    void DetachSharedImage();
    // Waits for the server; the errors it reported since the last look.
    int SyncedErrors();
    // Handles pending events, then a frame when due; under mLock.
    void Tick(bool frameDue);
    void Frame();
    void HandleEvent(const void* event);
    void ReapChildren(bool wait);
    // Shows rect of the back buffer (and the prompt over it) in the window.
    void PutArea(const Rect& rect);
    // The same, left in the connection's buffer until the next flush.
    void SendArea(const Rect& rect);
    void PutPixels(const Bitmap& source, int srcX, int srcY, int dstX, int dstY, int w, int h);
    void StopTimer();
    void CloseLocked();
    // Prompt.
    void CommitPrompt();
    void ClosePrompt();
    void RenderPrompt();
    // A press (or hover) over the prompt; true when it was inside it.
    bool PromptMouse(int x, int y, bool press);
    void PromptKey(unsigned long keysym, const char* chars, int count);
    // A rectangle moved inside the view, keeping its size.
    Rect ClampToView(Rect r) const;

    mutable std::recursive_mutex mLock;
    std::unique_ptr<X11> mX;
    std::unique_ptr<Prompt> mPrompt;
    std::unique_ptr<TextRaster> mText;
    int mFramePeriodMs;
    int64_t mFrames = 0;
    int64_t mPuts = 0;
    std::atomic<int64_t> mNextFrameMs{0};
    std::atomic<int64_t> mLastIdleMs{0};
    std::thread mTimer;
    std::atomic<bool> mStop{false};
    std::vector<Rect> mDirtyRects; // a frame's changed areas, reused
    std::vector<Rect> mMoved;      // areas moved in the back buffer, not yet sent
    std::vector<Rect> mSendRects;  // a frame's areas and moved areas, reused
    bool mClosePending = false;
    bool mFullDrawPending = false;
    // Mouse state as the Windows face keeps it.
    bool mCaptured = false;
    bool mTracking = false;
    unsigned long mLastPressTime = 0;
    int mLastPressX = 0, mLastPressY = 0;
    bool mLastPressValid = false;
    bool mPressInPrompt = false; // its release is the prompt's too
    std::vector<int> mChildren;  // xdg-open processes not reaped yet
};
