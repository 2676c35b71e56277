// The harness's editor frame on Linux: a top-level X11 window, as a Linux
// host hands to a plug-in's editor. Mouse events are sent to the editor's
// child window as the server would deliver them (the editor reads them on its
// own display connection); pictures are read back with XGetImage.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "tools/host/parent_window.h"

namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A channel of a pixel brought to 8 bits through the visual's mask.
uint32_t Channel(unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    const unsigned long top = mask >> shift;
    return uint32_t((((pixel & mask) >> shift) * 255 + top / 2) / top);
}

class ParentX11 : public ParentWindow {
public:
    ~ParentX11() override { Destroy(); }

    bool Create(int width, int height, const std::string& title) override {
        Destroy();
        if (width <= 0 || height <= 0) {
            mError = "the editor has no size";
            return false;
        }
        mDisplay = XOpenDisplay(nullptr);
        if (!mDisplay) {
            mError = "cannot open the X display (is DISPLAY set?)";
            return false;
        }
        const int screen = DefaultScreen(mDisplay);
        mWindow = XCreateSimpleWindow(mDisplay, RootWindow(mDisplay, screen), 40, 40,
                                      unsigned(width), unsigned(height), 0, 0, 0x202020);
        XStoreName(mDisplay, mWindow, title.c_str());
        XSelectInput(mDisplay, mWindow, StructureNotifyMask);
        mDeleteAtom = XInternAtom(mDisplay, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(mDisplay, mWindow, &mDeleteAtom, 1);
        // A fixed size, as hosts give their editor frames.
        XSizeHints* hints = XAllocSizeHints();
        if (hints) {
            hints->flags = PMinSize | PMaxSize;
            hints->min_width = hints->max_width = width;
            hints->min_height = hints->max_height = height;
            XSetWMNormalHints(mDisplay, mWindow, hints);
            XFree(hints);
        }
        XMapWindow(mDisplay, mWindow);
        // Wait until the window is on screen, so the editor opens in a viewable frame.
        const int64_t end = NowMs() + 2000;
        while (NowMs() < end && !mMapped)
            Pump(10, nullptr);
        mTime = 1000;
        return true;
    }

    void Destroy() override {
        if (!mDisplay) return;
        if (mWindow) XDestroyWindow(mDisplay, mWindow);
        XCloseDisplay(mDisplay);
        mDisplay = nullptr;
        mWindow = 0;
        mMapped = mClosed = false;
    }

    void* NativeHandle() const override {
        return mWindow ? reinterpret_cast<void*>(uintptr_t(mWindow)) : nullptr;
    }

    bool UserClosed() const override { return mClosed; }

    void Pump(int milliseconds, const std::function<void()>& idle) override {
        if (!mDisplay) return;
        const int64_t start = NowMs();
        const int64_t end = start + std::max(milliseconds, 0);
        int64_t nextIdle = start;
        for (;;) {
            while (XPending(mDisplay) > 0) {
                XEvent event;
                XNextEvent(mDisplay, &event);
                if (event.type == MapNotify && event.xmap.window == mWindow) mMapped = true;
                if (event.type == UnmapNotify && event.xunmap.window == mWindow) mMapped = false;
                if (event.type == ClientMessage && Atom(event.xclient.data.l[0]) == mDeleteAtom)
                    mClosed = true;
            }
            int64_t now = NowMs();
            if (idle && now >= nextIdle) {
                idle();
                // On a steady beat; a late round does not bunch the next ones.
                nextIdle += kIdlePeriodMs;
                if (nextIdle <= now) nextIdle = now + kIdlePeriodMs;
                now = NowMs();
            }
            if (now >= end || mClosed) break;
            const int64_t wake = idle ? std::min(end, nextIdle) : end;
            pollfd fd = {ConnectionNumber(mDisplay), POLLIN, 0};
            poll(&fd, 1, int(std::max<int64_t>(wake - now, 0)));
        }
    }

    void* EditorHandle() const override {
        const Window child = EditorWindow();
        return child ? reinterpret_cast<void*>(uintptr_t(child)) : nullptr;
    }

    bool SendMouse(const MouseEvent& event) override {
        const Window editor = EditorWindow();
        if (!editor) return false;
        // Every call starts a second after the last one, so separate clicks
        // never make a double click; the presses of one double click are close.
        mTime += 1000;
        unsigned modifiers = 0;
        if (event.shift) modifiers |= ShiftMask;
        if (event.control) modifiers |= ControlMask;
        if (event.alt) modifiers |= Mod1Mask;
        const bool right = event.button == MouseButton::Right;
        const unsigned button = right ? Button3 : Button1;
        const unsigned held = right ? Button3Mask : Button1Mask;

        switch (event.action) {
        case MouseAction::Press:
            SendButton(editor, ButtonPress, button, modifiers, event);
            break;
        case MouseAction::Drag:
            SendMotion(editor, modifiers | held, event);
            break;
        case MouseAction::Release:
            SendButton(editor, ButtonRelease, button, modifiers | held, event);
            break;
        case MouseAction::Click:
        case MouseAction::DoubleClick: {
            const int clicks = event.action == MouseAction::Click ? 1 : 2;
            for (int i = 0; i < clicks; ++i) {
                SendButton(editor, ButtonPress, button, modifiers, event);
                mTime += 40;
                SendButton(editor, ButtonRelease, button, modifiers | held, event);
                mTime += 40;
            }
            break;
        }
        case MouseAction::Wheel: {
            // Each notch is a press and release of button 4 (away) or 5.
            const unsigned wheel = event.notches >= 0 ? Button4 : Button5;
            for (int i = 0; i < std::abs(event.notches); ++i) {
                SendButton(editor, ButtonPress, wheel, modifiers, event);
                SendButton(editor, ButtonRelease, wheel, modifiers, event);
            }
            break;
        }
        case MouseAction::Move:
            SendMotion(editor, modifiers, event);
            break;
        case MouseAction::Leave: {
            XEvent e = {};
            XCrossingEvent& c = e.xcrossing;
            c.type = LeaveNotify;
            c.display = mDisplay;
            c.window = editor;
            c.root = DefaultRootWindow(mDisplay);
            c.time = mTime;
            c.mode = NotifyNormal;
            c.detail = NotifyAncestor;
            c.same_screen = True;
            XSendEvent(mDisplay, editor, False, 0, &e);
            break;
        }
        }
        // Synced, not only flushed: the server has routed the event to the
        // editor's connection before the caller's pump gives it its idle.
        XSync(mDisplay, False);
        Pump(0, nullptr);
        return true;
    }

    bool Capture(std::vector<uint32_t>& pixels, int& width, int& height) override {
        const Window editor = EditorWindow();
        if (!editor) return false;
        XSync(mDisplay, False);
        XWindowAttributes attributes;
        // Reading a window that is not on screen is an error: refuse instead.
        if (!XGetWindowAttributes(mDisplay, editor, &attributes) ||
            attributes.map_state != IsViewable)
            return false;
        width = attributes.width;
        height = attributes.height;
        XImage* image = XGetImage(mDisplay, editor, 0, 0, unsigned(width), unsigned(height),
                                  AllPlanes, ZPixmap);
        if (!image) return false;
        const Visual* v = attributes.visual;
        pixels.resize(size_t(width) * size_t(height));
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const unsigned long p = XGetPixel(image, x, y);
                pixels[size_t(y) * width + x] = 0xFF000000u | Channel(p, v->red_mask) << 16 |
                                                Channel(p, v->green_mask) << 8 |
                                                Channel(p, v->blue_mask);
            }
        XDestroyImage(image);
        return true;
    }

private:
    Window EditorWindow() const {
        if (!mDisplay || !mWindow) return 0;
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(mDisplay, mWindow, &root, &parent, &children, &count)) return 0;
        const Window first = count > 0 ? children[0] : 0;
        if (children) XFree(children);
        return first;
    }

    void Fill(XEvent& e, int type, Window editor, unsigned state, const MouseEvent& event) {
        e = XEvent{};
        XButtonEvent& b = e.xbutton; // motion events share the leading fields
        b.type = type;
        b.display = mDisplay;
        b.window = editor;
        b.root = DefaultRootWindow(mDisplay);
        b.time = mTime;
        b.x = event.x;
        b.y = event.y;
        b.x_root = event.x;
        b.y_root = event.y;
        b.state = state;
        b.same_screen = True;
    }

    void SendButton(Window editor, int type, unsigned button, unsigned state,
                    const MouseEvent& event) {
        XEvent e;
        Fill(e, type, editor, state, event);
        e.xbutton.button = button;
        XSendEvent(mDisplay, editor, False, 0, &e);
    }

    void SendMotion(Window editor, unsigned state, const MouseEvent& event) {
        XEvent e;
        Fill(e, MotionNotify, editor, state, event);
        e.xmotion.is_hint = NotifyNormal;
        XSendEvent(mDisplay, editor, False, 0, &e);
    }

    Display* mDisplay = nullptr;
    Window mWindow = 0;
    Atom mDeleteAtom = 0;
    bool mMapped = false;
    bool mClosed = false;
    Time mTime = 1000;
};

} // namespace

std::unique_ptr<ParentWindow> NewParentWindow() {
    return std::unique_ptr<ParentWindow>(new ParentX11());
}
