// The editor's window on the X server: a child of the host's window, made on
// a display connection of the editor's own (with its error book), and what the
// face must know of it: whether it still exists, whether the user can see it
// (it and every window above it mapped, and not fully covered), and the
// keyboard focus a value prompt borrows.
//
// Not thread-safe: the X11 face uses it under its window lock.
#pragma once

#include <X11/Xlib.h>

#include <memory>
#include <vector>

class X11Window {
public:
    // Makes a window of width x height pixels (at least 1 x 1) at the top left
    // of parent, in the parent's visual, and maps it. Null when no server
    // answers, the parent does not exist or the server refuses the window.
    static std::unique_ptr<X11Window> Open(Window parent, int width, int height);
    // Gives a borrowed focus back, destroys the window (when it still exists)
    // and closes the connection. Whatever uses the connection goes first.
    ~X11Window();
    X11Window(const X11Window&) = delete;
    X11Window& operator=(const X11Window&) = delete;

    Display* Connection() const { return mDisplay; }
    Window Id() const { return mWindow; }
    GC Gc() const { return mGc; }
    Visual* GetVisual() const { return mVisual; }
    int Depth() const { return mDepth; }
    // The back buffer's words are the server's pixels (24-bit depth, 32 bits a
    // pixel, red, green and blue where 0x00RRGGBB has them).
    bool DirectPixels() const { return mDirectPut; }

    // --- lifetime
    // The window exists on the server, as far as the editor knows.
    bool Alive() const { return mAlive; }
    // The window went with its host's frame (an error or its DestroyNotify).
    void Died() { mAlive = false; }
    // Asks the server whether the window still exists (it knows before our
    // events tell); false once it has gone.
    bool CheckAlive();
    // Waits for the server; the errors it reported since the last look.
    int SyncedErrors();
    // Errors the server reported since the last look, without waiting (an
    // error means the window went with its host's frame).
    bool NewErrors();
    // Counts the errors so far as seen (an ancestor or a focus window that
    // just went is no fault of ours).
    void ForgetErrors();

    // --- what the user sees
    // Mapped with every ancestor and not fully covered.
    bool Showing() const { return mAlive && mViewable && !mObscured; }
    // Selects map, unmap and reparent events on every window up to the root: a
    // host that hides any window above ours hides ours.
    void WatchAncestors();
    // A map, unmap or reparent was seen: Showing is asked anew after the
    // events of a tick (UpdateVisibility).
    void VisibilityChanged() { mVisibilityStale = true; }
    bool VisibilityStale() const { return mVisibilityStale; }
    // Asks the server whether the window is viewable.
    void UpdateVisibility();
    // A VisibilityNotify: whether the window is fully covered now.
    void SetObscured(bool obscured) { mObscured = obscured; }

    // --- the keyboard focus
    // Takes the focus for a prompt, remembering whose it was.
    void BorrowFocus();
    // Gives it back (when it was taken).
    void ReturnFocus();

    // --- events
    // The events that have arrived, read once: what comes later waits for the
    // next call. The vector is reused.
    std::vector<XEvent>& ReadEvents();

private:
    X11Window() = default;

    Display* mDisplay = nullptr;
    Window mParent = 0;
    Window mWindow = 0;
    GC mGc = nullptr;
    Visual* mVisual = nullptr;
    int mDepth = 0;
    bool mAlive = false;
    bool mDirectPut = false;
    int mErrorsSeen = 0; // the error book's count accounted for
    bool mViewable = true;
    bool mObscured = false;
    bool mVisibilityStale = false;
    std::vector<Window> mAncestors; // watched for map, unmap and reparent
    Window mFocusBefore = 0;        // keyboard focus before a prompt took it
    int mRevertBefore = RevertToParent;
    bool mFocusTaken = false;
    std::vector<XEvent> mEvents; // a tick's events, reused
};
