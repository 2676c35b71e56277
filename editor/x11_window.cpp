#include "editor/x11_window.h"

#include <algorithm>

#include "editor/x11_error_book.h"

std::unique_ptr<X11Window> X11Window::Open(Window parent, int width, int height) {
    if (!parent) return nullptr;
    Display* display = OpenOwnDisplay();
    if (!display) return nullptr;
    std::unique_ptr<X11Window> w(new X11Window);
    w->mDisplay = display;
    w->mParent = parent;
    XWindowAttributes parentAttributes;
    if (!XGetWindowAttributes(display, parent, &parentAttributes) || ErrorsOf(display))
        return nullptr;
    // The child shares the parent's visual, so any visual a host uses works.
    w->mVisual = parentAttributes.visual;
    w->mDepth = parentAttributes.depth;
    XSetWindowAttributes attributes = {};
    attributes.background_pixmap = None;
    attributes.colormap = parentAttributes.colormap;
    attributes.border_pixel = 0;
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                            LeaveWindowMask | KeyPressMask | StructureNotifyMask |
                            VisibilityChangeMask;
    w->mWindow =
        XCreateWindow(display, parent, 0, 0, unsigned(std::max(1, width)),
                      unsigned(std::max(1, height)), 0, w->mDepth, InputOutput, w->mVisual,
                      CWBackPixmap | CWColormap | CWBorderPixel | CWEventMask, &attributes);
    if (w->mWindow) {
        XStoreName(display, w->mWindow, "Quill");
        w->mGc = XCreateGC(display, w->mWindow, 0, nullptr);
        XMapWindow(display, w->mWindow);
    }
    XSync(display, False);
    if (!w->mWindow || ErrorsOf(display)) {
        // Nothing of it is left on the server: only the connection goes.
        w->mWindow = 0;
        w->mGc = nullptr;
        return nullptr;
    }
    w->mAlive = true;
    const Visual* v = w->mVisual;
    int bitsPerPixel = 0, formats = 0;
    if (XPixmapFormatValues* list = XListPixmapFormats(display, &formats)) {
        for (int i = 0; i < formats; ++i)
            if (list[i].depth == w->mDepth) bitsPerPixel = list[i].bits_per_pixel;
        XFree(list);
    }
    w->mDirectPut = w->mDepth == 24 && bitsPerPixel == 32 && v->red_mask == 0xFF0000 &&
                    v->green_mask == 0xFF00 && v->blue_mask == 0xFF;
    return w;
}

X11Window::~X11Window() {
    if (!mDisplay) return;
    if (mAlive && mFocusTaken) XSetInputFocus(mDisplay, mFocusBefore, mRevertBefore, CurrentTime);
    if (mGc) XFreeGC(mDisplay, mGc);
    if (mAlive) XDestroyWindow(mDisplay, mWindow);
    XSync(mDisplay, False);
    CloseOwnDisplay(mDisplay);
}

bool X11Window::CheckAlive() {
    if (!mAlive) return false;
    XWindowAttributes a;
    if (!XGetWindowAttributes(mDisplay, mWindow, &a) || SyncedErrors() > 0) mAlive = false;
    return mAlive;
}

int X11Window::SyncedErrors() {
    XSync(mDisplay, False);
    const int errors = ErrorsOf(mDisplay);
    const int fresh = errors - mErrorsSeen;
    mErrorsSeen = errors;
    return fresh;
}

bool X11Window::NewErrors() {
    const int errors = ErrorsOf(mDisplay);
    if (errors == mErrorsSeen) return false;
    mErrorsSeen = errors;
    return true;
}

void X11Window::ForgetErrors() {
    mErrorsSeen = ErrorsOf(mDisplay);
}

void X11Window::WatchAncestors() {
    mAncestors.clear();
    Window at = mParent;
    // Up to the root: a host that hides any window above ours hides ours.
    for (int depth = 0; at && depth < 64; ++depth) {
        Window root = 0, up = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(mDisplay, at, &root, &up, &children, &count)) break;
        if (children) XFree(children);
        mAncestors.push_back(at);
        XSelectInput(mDisplay, at, StructureNotifyMask);
        if (up == root) break;
        at = up;
    }
    XSync(mDisplay, False);
    ForgetErrors(); // an ancestor that just went is no fault of ours
}

void X11Window::UpdateVisibility() {
    mVisibilityStale = false;
    if (!mAlive) return;
    XWindowAttributes a;
    if (XGetWindowAttributes(mDisplay, mWindow, &a)) mViewable = a.map_state == IsViewable;
}

void X11Window::BorrowFocus() {
    // The keys go to the prompt while it is open.
    XGetInputFocus(mDisplay, &mFocusBefore, &mRevertBefore);
    XSetInputFocus(mDisplay, mWindow, RevertToParent, CurrentTime);
    mFocusTaken = SyncedErrors() == 0;
}

void X11Window::ReturnFocus() {
    if (!mFocusTaken) return;
    if (mAlive) XSetInputFocus(mDisplay, mFocusBefore, mRevertBefore, CurrentTime);
    SyncedErrors(); // a focus window gone meanwhile is no fault of ours
    mFocusTaken = false;
}

std::vector<XEvent>& X11Window::ReadEvents() {
    // One read of the connection (XPending would read again until nothing is
    // left): what had arrived is handled now, anything later next tick.
    mEvents.clear();
    if (XEventsQueued(mDisplay, QueuedAfterReading) > 0)
        while (XEventsQueued(mDisplay, QueuedAlready) > 0) {
            XEvent event;
            XNextEvent(mDisplay, &event);
            mEvents.push_back(event);
        }
    return mEvents;
}
