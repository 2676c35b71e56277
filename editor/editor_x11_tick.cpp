// The X11 face's tick: the events that have arrived, turned into the core's
// mouse calls, the prompt's keys and what the user can see of the window, then
// a frame when one is due. The host's editor-idle call runs it while the host
// makes that call; the timer thread runs it when the host stops or never
// starts (FramePacer).
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstdlib>

#include "editor/drawn_prompt.h"
#include "editor/editor_x11.h"
#include "editor/x11_presenter.h"
#include "editor/x11_window.h"
#include "plug/effect_base.h"

thread_local const EditorX11* EditorX11::sTicking = nullptr;

namespace {

MouseKeys KeysOf(unsigned state) {
    MouseKeys keys;
    keys.L = state & Button1Mask;
    keys.R = state & Button3Mask;
    keys.S = state & ShiftMask;
    keys.C = state & ControlMask;
    keys.A = state & Mod1Mask;
    return keys;
}

// The prompt's key for a key press; count is the number of characters the
// press typed.
DrawnPrompt::Key PromptKeyOf(KeySym sym, int count) {
    switch (sym) {
    case XK_Return:
    case XK_KP_Enter:
        return DrawnPrompt::kKeyEnter;
    case XK_Escape:
        return DrawnPrompt::kKeyEscape;
    case XK_Up:
    case XK_KP_Up:
        return DrawnPrompt::kKeyUp;
    case XK_Down:
    case XK_KP_Down:
        return DrawnPrompt::kKeyDown;
    case XK_Left:
    case XK_KP_Left:
        return DrawnPrompt::kKeyLeft;
    case XK_Right:
    case XK_KP_Right:
        return DrawnPrompt::kKeyRight;
    case XK_Home:
    case XK_KP_Home:
        return DrawnPrompt::kKeyHome;
    case XK_End:
    case XK_KP_End:
        return DrawnPrompt::kKeyEnd;
    case XK_BackSpace:
        return DrawnPrompt::kKeyBackspace;
    case XK_Delete:
    case XK_KP_Delete:
        return DrawnPrompt::kKeyDelete;
    default:
        return count == 1 ? DrawnPrompt::kKeyChar : DrawnPrompt::kKeyOther;
    }
}

} // namespace

// --- who runs the tick: the host's idle call, or the timer thread

void EditorX11::Idle() {
    // What the controls tell the host waits until mLock is released.
    ScopedNoteHold notes(mEffect);
    mPacer.HostIdled();
    std::unique_lock<std::recursive_mutex> hold(mLock, std::try_to_lock);
    if (!hold.owns_lock() || !mWin) return;
    Tick(mPacer.FrameDue());
    if (mClosePending) {
        hold.unlock();
        CloseEditorWindow();
    }
}

void EditorX11::TimerLoop() {
    int connection = -1;
    {
        std::lock_guard<std::recursive_mutex> hold(mLock);
        if (!mWin) return;
        connection = ConnectionNumber(mWin->Connection());
    }
    while (!mPacer.Stopping()) {
        mPacer.Wait(connection);
        if (mPacer.Stopping()) break;
        if (mPacer.HostIdles()) continue;
        // What the controls tell the host waits until mLock is released.
        ScopedNoteHold notes(mEffect);
        std::lock_guard<std::recursive_mutex> hold(mLock);
        if (mPacer.Stopping() || !mWin) break;
        Tick(mPacer.FrameDue());
        if (mClosePending) {
            mClosePending = false;
            CloseLocked(); // the thread ends here; whoever closes or deletes next joins it
            return;
        }
    }
}

// --- the tick

void EditorX11::Tick(bool frameDue) {
    if (!mWin) return;
    const EditorX11* outer = sTicking;
    sTicking = this;
    ++mTicks;
    mOpener.Reap();
    const std::vector<XEvent>& events = mWin->ReadEvents();
    // An error since the last look: the window went with its host's frame.
    if (mWin->NewErrors()) mWin->Died();
    for (size_t i = 0; mWin && i < events.size(); ++i) {
        // Moves wait for the last one of a row, as a window system folds them.
        if (events[i].type == MotionNotify && i + 1 < events.size() &&
            events[i + 1].type == MotionNotify)
            continue;
        HandleEvent(&events[i]);
    }
    if (mWin && mWin->VisibilityStale()) RefreshVisibility();
    if (frameDue && mWin) {
        mPacer.FrameTaken();
        Frame();
    }
    sTicking = outer;
}

void EditorX11::RefreshVisibility() {
    const bool was = Showing();
    mWin->UpdateVisibility();
    // Shown again: the first frame is a whole one.
    if (!was && Showing()) mFullDrawPending = true;
}

void EditorX11::Frame() {
    if (TickPrompt()) return;
    if (!Showing()) {
        // Nothing is drawn or sent while nobody can see it; what changed
        // meanwhile comes back as one whole frame.
        Rect ignored;
        if (IsDirty(ignored)) mFullDrawPending = true;
        return;
    }
    if (mFullDrawPending) {
        mFullDrawPending = false;
        Draw(Rect(0, 0, mViewWidth, mViewHeight));
        ++mFrames;
    } else if (DirtyRects(mDirtyRects)) {
        DrawRects(mDirtyRects);
        ++mFrames;
        mPrompt.EditorDrew();
    }
}

// --- events

void EditorX11::HandleEvent(const void* raw) {
    const XEvent& e = *static_cast<const XEvent*>(raw);
    X11Window& x = *mWin;
    if (mPresenter->Completed(e)) return;
    switch (e.type) {
    case MapNotify:
    case UnmapNotify:
    case ReparentNotify:
        // Ours or an ancestor's: what the user sees is asked anew after the batch.
        if (e.type == ReparentNotify && e.xreparent.window != x.Id()) {
            x.WatchAncestors();
        }
        x.VisibilityChanged();
        return;
    default:
        break;
    }
    if (e.xany.window != x.Id()) return;
    switch (e.type) {
    case VisibilityNotify: {
        const bool was = Showing();
        x.SetObscured(e.xvisibility.state == VisibilityFullyObscured);
        if (!was && Showing()) mFullDrawPending = true;
        break;
    }
    case Expose: {
        if (!Showing()) break;
        if (mFullDrawPending) {
            mFullDrawPending = false;
            Draw(Rect(0, 0, mViewWidth, mViewHeight));
            ++mFrames;
        } else {
            const XExposeEvent& ex = e.xexpose;
            PutArea(Rect(ex.x, ex.y, ex.x + ex.width, ex.y + ex.height));
        }
        break;
    }
    case DestroyNotify:
        // The host destroyed its window (and ours with it) before closing us.
        if (e.xdestroywindow.window == x.Id()) x.Died();
        break;
    case ButtonPress: {
        const XButtonEvent& b = e.xbutton;
        MouseKeys mod = KeysOf(b.state);
        if (b.button == Button4 || b.button == Button5) {
            if (mPrompt.IsOpen() && mDrawn->Box().Contains(b.x, b.y)) break;
            OnMouseWheel(b.x, b.y, mod, b.button == Button4 ? 1 : -1);
            break;
        }
        if (b.button != Button1 && b.button != Button3) break;
        const bool right = b.button == Button3;
        if (right)
            mod.R = true;
        else
            mod.L = true;
        if (mPrompt.IsOpen()) {
            if (right) {
                mPrompt.Cancel();
                break;
            }
            if (PromptMouse(b.x, b.y, true)) {
                mPressInPrompt = true;
                break;
            }
            mPrompt.FocusLost();
        }
        if (!right && mLastPressValid && b.time - mLastPressTime <= kDoubleClickMs &&
            std::abs(b.x - mLastPressX) <= kDoubleClickDistance &&
            std::abs(b.y - mLastPressY) <= kDoubleClickDistance) {
            mLastPressValid = false;
            OnMouseDblClick(b.x, b.y, mod);
            break;
        }
        mLastPressValid = !right;
        mLastPressTime = b.time;
        mLastPressX = b.x;
        mLastPressY = b.y;
        mCaptured = true;
        OnMouseDown(b.x, b.y, mod);
        break;
    }
    case ButtonRelease: {
        const XButtonEvent& b = e.xbutton;
        if (b.button != Button1 && b.button != Button3) break;
        mCaptured = false;
        if (mPressInPrompt) {
            mPressInPrompt = false;
            break;
        }
        OnMouseUp(b.x, b.y);
        break;
    }
    case MotionNotify: {
        const XMotionEvent& m = e.xmotion;
        const MouseKeys mod = KeysOf(m.state);
        if (mod.L || mod.R) {
            if (mCaptured) OnMouseDrag(m.x, m.y, mod);
            break;
        }
        if (mPrompt.IsOpen() && PromptMouse(m.x, m.y, false)) break;
        if (OnMouseOver(m.x, m.y, mod)) mTracking = true;
        break;
    }
    case LeaveNotify: {
        const XCrossingEvent& c = e.xcrossing;
        if (c.mode != NotifyNormal || c.detail == NotifyInferior || !mTracking) break;
        mTracking = false;
        OnMouseOut();
        break;
    }
    case KeyPress: {
        if (!mPrompt.IsOpen() || mPrompt.State() != PromptFocused) break;
        XKeyEvent key = e.xkey;
        char chars[8] = {};
        KeySym sym = NoSymbol;
        const int count = XLookupString(&key, chars, sizeof chars - 1, &sym, nullptr);
        if (mDrawn->Press(PromptKeyOf(sym, count), chars[0])) PutArea(mDrawn->Box());
        break;
    }
    default:
        break;
    }
}

bool EditorX11::PromptMouse(int x, int y, bool press) {
    bool changed = false;
    const bool inside = mDrawn->Mouse(x, y, press, changed);
    if (changed) PutArea(mDrawn->Box());
    return inside;
}
