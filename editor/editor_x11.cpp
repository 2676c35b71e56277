// The X11 face of the editor.
#include "editor/editor_x11.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "editor/control.h"
#include "editor/platform_editor.h"
#include "editor/text_raster.h"
#include "editor/value_prompt.h"
#include "plug/effect_base.h"
#include "plug/param.h"

// Xlib's internal header declares the per-display error hook; it defines min
// and max as macros, so it comes last and they go.
#include <X11/Xlibint.h>
#undef min
#undef max

extern char** environ;

namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// --- X errors
// Every editor talks to the server over a display connection of its own, so
// its errors can be caught on that connection alone: the display's
// wire-to-error hook (one per error code, per display) counts each error in
// the editor's error book and drops it before Xlib would hand it to the
// process-wide handler. Nothing process-wide is swapped, so the host's own
// handler never races with ours and is never restored stale. The face reads
// the count after an XSync where it must know at once (opening, the prompt's
// focus) and at the start of each tick otherwise.
std::mutex gBooksLock;
std::vector<std::pair<Display*, int>> gBooks; // display, errors so far

Bool CountError(Display* display, XErrorEvent*, xError*) {
    std::lock_guard<std::mutex> hold(gBooksLock);
    for (auto& book : gBooks)
        if (book.first == display) ++book.second;
    return False; // dropped: the process-wide handler never sees it
}

void OpenErrorBook(Display* display) {
    {
        std::lock_guard<std::mutex> hold(gBooksLock);
        gBooks.emplace_back(display, 0);
    }
    for (int code = 1; code < 256; ++code)
        XESetWireToError(display, code, CountError);
}

void CloseErrorBook(Display* display) {
    std::lock_guard<std::mutex> hold(gBooksLock);
    gBooks.erase(std::remove_if(gBooks.begin(), gBooks.end(),
                                [display](const auto& book) { return book.first == display; }),
                 gBooks.end());
}

int ErrorsOf(Display* display) {
    std::lock_guard<std::mutex> hold(gBooksLock);
    for (const auto& book : gBooks)
        if (book.first == display) return book.second;
    return 0;
}

// A display connection of the editor's own, with its error book.
Display* OpenOwnDisplay() {
    Display* display = XOpenDisplay(nullptr);
    if (display) OpenErrorBook(display);
    return display;
}

void CloseOwnDisplay(Display* display) {
    XCloseDisplay(display);
    CloseErrorBook(display);
}

// The editor whose tick runs on this thread, if any (closing from inside a
// tick is deferred to its end).
thread_local const EditorX11* tTicking = nullptr;

MouseKeys KeysOf(unsigned state) {
    MouseKeys keys;
    keys.L = state & Button1Mask;
    keys.R = state & Button3Mask;
    keys.S = state & ShiftMask;
    keys.C = state & ControlMask;
    keys.A = state & Mod1Mask;
    return keys;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 >= path.size()) return {};
    return path.substr(0, slash + 1);
}

bool FindInPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty()) dir = ".";
        if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// Starts argv[0] from PATH with every signal unblocked; the process id, or -1.
pid_t Spawn(const char* const* argv) {
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return -1;
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int rc =
        posix_spawnp(&pid, argv[0], nullptr, &attr, const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

const TextStyle kPromptStyle(14, Color(255, 0, 0, 0), "Arial", TextStyle::Normal,
                             TextStyle::AlignCenter, 0);
constexpr uint32_t kPromptBack = 0xFFFFFFFFu;
constexpr uint32_t kPromptBorder = 0xFF7A7A7Au;
constexpr uint32_t kPromptHighlight = 0xFF3399FFu;
constexpr int kPromptMaxText = 31;

void FillPixels(Bitmap& bitmap, const Rect& r, uint32_t word) {
    uint32_t* pixels = bitmap.Pixels();
    if (!pixels) return;
    const int l = std::max(r.L, 0), t = std::max(r.T, 0);
    const int rr = std::min(r.R, bitmap.Width()), b = std::min(r.B, bitmap.Height());
    for (int y = t; y < b; ++y)
        for (int x = l; x < rr; ++x)
            pixels[size_t(y) * bitmap.RowSpan() + x] = word;
}

} // namespace

struct EditorX11::X11 {
    Display* display = nullptr;
    Window parent = 0;
    Window window = 0;
    GC gc = nullptr;
    Visual* visual = nullptr;
    int depth = 0;
    bool alive = false;     // the window exists on the server
    bool directPut = false; // back buffer words are the server's pixels
    int errorsSeen = 0;     // the error book's count the face has accounted for
    // What the user can see of the window: viewable (it and every ancestor
    // mapped), and not fully covered.
    bool viewable = true;
    bool obscured = false;
    bool visibilityStale = false;  // an ancestor moved in the tree, was mapped or unmapped
    std::vector<Window> ancestors; // watched for map, unmap and reparent
    // The server's shared-memory image, when it offers one: the changed area is
    // copied into it and shown without going through the connection.
    XShmSegmentInfo shm = {};
    XImage* shmImage = nullptr;
    int shmCompletion = -1; // event type of a finished put
    // Puts the server may still be reading from the image, by request serial:
    // a frame's areas that do not overlap them are written at once.
    struct ShmRead {
        unsigned long serial;
        Rect area;
    };
    std::vector<ShmRead> shmReads;
    Window focusBefore = 0; // keyboard focus before the prompt took it
    int revertBefore = RevertToParent;
    bool focusTaken = false;
    int wake[2] = {-1, -1};
    std::vector<XEvent> events; // a tick's events, reused
};

// The drawn prompt: the shared state machine and what this face draws of it.
struct EditorX11::Prompt {
    ValuePrompt model;
    bool list = false;
    Rect rect;
    std::string text;
    size_t caret = 0;
    bool selectAll = false;
    int selected = -1;
    int hot = -1;
    HeapBitmap pixels;
};

EditorX11::EditorX11(EffectBase* effect, int32_t width, int32_t height, int32_t fps)
    : RasterEditor(effect, width, height, fps), mPrompt(new Prompt), mText(new TextRaster),
      mFramePeriodMs(int(1000.0 / double(Fps()))) {
    if (mFramePeriodMs < 1) mFramePeriodMs = 1;
}

EditorX11::~EditorX11() {
    CloseEditorWindow();
    ReapChildren(false);
}

// --- window lifetime

void* EditorX11::OpenEditorWindow(void* parent) {
    if (tTicking == this) return nullptr; // not from inside the window's own tick
    CloseEditorWindow();
    std::lock_guard<std::recursive_mutex> hold(mLock);
    const Window parentWindow = Window(reinterpret_cast<uintptr_t>(parent));
    if (!parentWindow) return nullptr;
    if (!BackBuffer()) PrepareSurface();
    Display* display = OpenOwnDisplay();
    if (!display) return nullptr;
    auto x = std::make_unique<X11>();
    x->display = display;
    x->parent = parentWindow;
    XWindowAttributes parentAttributes;
    if (!XGetWindowAttributes(display, parentWindow, &parentAttributes) || ErrorsOf(display)) {
        CloseOwnDisplay(display);
        return nullptr;
    }
    // The child shares the parent's visual, so any visual a host uses works.
    x->visual = parentAttributes.visual;
    x->depth = parentAttributes.depth;
    XSetWindowAttributes attributes = {};
    attributes.background_pixmap = None;
    attributes.colormap = parentAttributes.colormap;
    attributes.border_pixel = 0;
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                            LeaveWindowMask | KeyPressMask | StructureNotifyMask |
                            VisibilityChangeMask;
    x->window =
        XCreateWindow(display, parentWindow, 0, 0, unsigned(std::max(1, mViewWidth)),
                      unsigned(std::max(1, mViewHeight)), 0, x->depth, InputOutput, x->visual,
                      CWBackPixmap | CWColormap | CWBorderPixel | CWEventMask, &attributes);
    if (x->window) {
        XStoreName(display, x->window, "Quill");
        x->gc = XCreateGC(display, x->window, 0, nullptr);
        XMapWindow(display, x->window);
    }
    XSync(display, False);
    if (!x->window || ErrorsOf(display)) {
        CloseOwnDisplay(display);
        return nullptr;
    }
    x->alive = true;
    const Visual* v = x->visual;
    int bitsPerPixel = 0, formats = 0;
    if (XPixmapFormatValues* list = XListPixmapFormats(display, &formats)) {
        for (int i = 0; i < formats; ++i)
            if (list[i].depth == x->depth) bitsPerPixel = list[i].bits_per_pixel;
        XFree(list);
    }
    x->directPut = x->depth == 24 && bitsPerPixel == 32 && v->red_mask == 0xFF0000 &&
                   v->green_mask == 0xFF00 && v->blue_mask == 0xFF;
    if (pipe2(x->wake, O_CLOEXEC | O_NONBLOCK) != 0) x->wake[0] = x->wake[1] = -1;
    mX = std::move(x);
    WatchAncestors();
    UpdateVisibility();
    AttachSharedImage();
    mFullDrawPending = true;
    mCaptured = mTracking = mLastPressValid = mPressInPrompt = false;
    mClosePending = false;
    mNextFrameMs = NowMs();
    mLastIdleMs = 0;
    mStop = false;
    mTimer = std::thread([this] { TimerLoop(); });
    return reinterpret_cast<void*>(uintptr_t(mX->window));
}

void EditorX11::WatchAncestors() {
    X11& x = *mX;
    Display* display = x.display;
    x.ancestors.clear();
    Window at = x.parent;
    // Up to the root: a host that hides any window above ours hides ours.
    for (int depth = 0; at && depth < 64; ++depth) {
        Window root = 0, up = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, at, &root, &up, &children, &count)) break;
        if (children) XFree(children);
        x.ancestors.push_back(at);
        XSelectInput(display, at, StructureNotifyMask);
        if (up == root) break;
        at = up;
    }
    XSync(display, False);
    x.errorsSeen = ErrorsOf(display); // an ancestor that just went is no fault of ours
}

void EditorX11::UpdateVisibility() {
    X11& x = *mX;
    x.visibilityStale = false;
    if (!x.alive) return;
    XWindowAttributes a;
    const bool was = Showing();
    if (XGetWindowAttributes(x.display, x.window, &a)) x.viewable = a.map_state == IsViewable;
    // Shown again: the first frame is a whole one.
    if (!was && Showing()) mFullDrawPending = true;
}

int EditorX11::SyncedErrors() {
    XSync(mX->display, False);
    const int errors = ErrorsOf(mX->display);
    const int fresh = errors - mX->errorsSeen;
    mX->errorsSeen = errors;
    return fresh;
}

bool EditorX11::Showing() const {
    return mX && mX->alive && mX->viewable && !mX->obscured;
}

void EditorX11::AttachSharedImage() {
    X11& x = *mX;
    Display* display = x.display;
    DetachSharedImage();
    // KELO_X11_NO_SHM (any value) takes the plain path, as with a remote server.
    if (std::getenv("KELO_X11_NO_SHM") || !x.directPut || ImageByteOrder(display) != LSBFirst ||
        !XShmQueryExtension(display))
        return;
    const int w = std::max(1, int(mViewWidth)), h = std::max(1, int(mViewHeight));
    XImage* image = XShmCreateImage(display, x.visual, unsigned(x.depth), ZPixmap, nullptr, &x.shm,
                                    unsigned(w), unsigned(h));
    if (!image) return;
    x.shm.shmid = shmget(IPC_PRIVATE, size_t(image->bytes_per_line) * size_t(h), IPC_CREAT | 0600);
    if (x.shm.shmid < 0) {
        XDestroyImage(image);
        return;
    }
    void* address = shmat(x.shm.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(x.shm.shmid, IPC_RMID, nullptr);
        XDestroyImage(image);
        return;
    }
    x.shm.shmaddr = image->data = static_cast<char*>(address);
    x.shm.readOnly = True;
    const int before = ErrorsOf(display);
    const bool attached = XShmAttach(display, &x.shm);
    XSync(display, False);
    // The segment goes once both sides let go of it, whatever happens next.
    shmctl(x.shm.shmid, IPC_RMID, nullptr);
    const int after = ErrorsOf(display);
    x.errorsSeen = after;
    if (!attached || after != before) {
        // A server on another machine cannot see our memory: plain images then.
        shmdt(x.shm.shmaddr);
        image->data = nullptr;
        XDestroyImage(image);
        x.shm = {};
        return;
    }
    x.shmImage = image;
    x.shmCompletion = XShmGetEventBase(display) + ShmCompletion;
    x.shmReads.clear();
}

void EditorX11::DetachSharedImage() {
    X11& x = *mX;
    if (!x.shmImage) return;
    XShmDetach(x.display, &x.shm);
    XSync(x.display, False);
    shmdt(x.shm.shmaddr);
    x.shmImage->data = nullptr;
    XDestroyImage(x.shmImage);
    x.shmImage = nullptr;
    x.shm = {};
    x.shmReads.clear();
}

void EditorX11::CloseEditorWindow() {
    if (tTicking == this) {
        // A control asked from inside a tick: the tick's caller closes after it.
        std::lock_guard<std::recursive_mutex> hold(mLock);
        mClosePending = true;
        return;
    }
    StopTimer();
    std::lock_guard<std::recursive_mutex> hold(mLock);
    CloseLocked();
}

void EditorX11::StopTimer() {
    {
        std::lock_guard<std::recursive_mutex> hold(mLock);
        mStop = true;
        if (mX && mX->wake[1] >= 0) {
            const char byte = 1;
            ssize_t ignored = write(mX->wake[1], &byte, 1);
            (void)ignored;
        }
    }
    // Never detached: the thread has ended before the editor (and the module
    // holding its code) can go. The timer thread itself never gets here: it
    // closes the window through CloseLocked and returns.
    if (mTimer.joinable() && mTimer.get_id() != std::this_thread::get_id()) mTimer.join();
}

void EditorX11::CloseLocked() {
    if (!mX) return;
    mPrompt->model.Close();
    mStop = true; // a timer thread closing the window itself ends after this tick
    Display* display = mX->display;
    if (mX->alive) {
        if (mX->focusTaken) XSetInputFocus(display, mX->focusBefore, mX->revertBefore, CurrentTime);
        DetachSharedImage();
    }
    if (mX->gc) XFreeGC(display, mX->gc);
    if (mX->alive) XDestroyWindow(display, mX->window);
    XSync(display, False);
    if (mX->shmImage) {
        // The window died first; the server let go of the segment with it.
        shmdt(mX->shm.shmaddr);
        mX->shmImage->data = nullptr;
        XDestroyImage(mX->shmImage);
        mX->shmImage = nullptr;
    }
    CloseOwnDisplay(display);
    for (int fd : mX->wake)
        if (fd >= 0) close(fd);
    mX.reset();
    mCaptured = mTracking = false;
}

bool EditorX11::IsWindowOpen() {
    // Open while the window lives: one whose host frame was destroyed under it
    // is closed for the host's next "editor open".
    std::lock_guard<std::recursive_mutex> hold(mLock);
    if (!mX || !mX->alive) return false;
    // The server knows before our events tell: ask it.
    XWindowAttributes a;
    if (!XGetWindowAttributes(mX->display, mX->window, &a) || SyncedErrors() > 0) mX->alive = false;
    return mX->alive;
}

void* EditorX11::WindowHandle() {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mX ? reinterpret_cast<void*>(uintptr_t(mX->window)) : nullptr;
}

bool EditorX11::WindowAlive() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mX && mX->alive;
}

bool EditorX11::WindowShowing() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return Showing();
}

bool EditorX11::UsesSharedImage() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mX && mX->shmImage;
}

int64_t EditorX11::FrameCount() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mFrames;
}

int64_t EditorX11::PutCount() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPuts;
}

// --- driving: host idle, or the timer thread when the host does not idle
// One source of wake-ups per frame: while the host calls editor-idle, the
// timer thread only looks in every few hundred milliseconds to see whether it
// still does; when the host stops (or never starts), the timer thread takes
// the events and the frames.

void EditorX11::Idle() {
    // What the controls tell the host waits until mLock is released.
    ScopedNoteHold notes(mEffect);
    mLastIdleMs = NowMs();
    std::unique_lock<std::recursive_mutex> hold(mLock, std::try_to_lock);
    if (!hold.owns_lock() || !mX) return;
    Tick(NowMs() >= mNextFrameMs);
    if (mClosePending) {
        hold.unlock();
        CloseEditorWindow();
    }
}

bool EditorX11::HostIdles() const {
    const int64_t last = mLastIdleMs;
    return last > 0 && NowMs() - last < kHostIdleGraceMs;
}

void EditorX11::TimerLoop() {
    pthread_setname_np(pthread_self(), "kelo-editor"); // as tools show the thread
    int xfd = -1, wake = -1;
    {
        std::lock_guard<std::recursive_mutex> hold(mLock);
        if (!mX) return;
        xfd = ConnectionNumber(mX->display);
        wake = mX->wake[0];
    }
    while (!mStop) {
        const bool hostDrives = HostIdles();
        const int64_t wait = hostDrives
                                 ? kHostIdleGraceMs / 2
                                 : std::clamp<int64_t>(mNextFrameMs - NowMs(), 0, mFramePeriodMs);
        // While the host drives, the connection is its idle call's to read.
        pollfd fds[2] = {{wake, POLLIN, 0}, {xfd, POLLIN, 0}};
        poll(fds, hostDrives ? 1 : 2, int(wait));
        if (mStop) break;
        if (HostIdles()) continue;
        // What the controls tell the host waits until mLock is released.
        ScopedNoteHold notes(mEffect);
        std::lock_guard<std::recursive_mutex> hold(mLock);
        if (mStop || !mX) break;
        Tick(NowMs() >= mNextFrameMs);
        if (mClosePending) {
            mClosePending = false;
            CloseLocked(); // the thread ends here; whoever closes or deletes next joins it
            return;
        }
    }
}

void EditorX11::Tick(bool frameDue) {
    if (!mX) return;
    const EditorX11* outer = tTicking;
    tTicking = this;
    ReapChildren(false);
    // One read of the connection a tick (XPending would read again until
    // nothing is left): what had arrived is handled now, anything later next tick.
    std::vector<XEvent>& events = mX->events;
    events.clear();
    if (XEventsQueued(mX->display, QueuedAfterReading) > 0)
        while (XEventsQueued(mX->display, QueuedAlready) > 0) {
            XEvent event;
            XNextEvent(mX->display, &event);
            events.push_back(event);
        }
    // An error since the last look: the window went with its host's frame.
    const int errors = ErrorsOf(mX->display);
    if (errors != mX->errorsSeen) {
        mX->errorsSeen = errors;
        mX->alive = false;
    }
    for (size_t i = 0; i < events.size() && mX; ++i) {
        // Moves wait for the last one of a row, as a window system folds them.
        if (events[i].type == MotionNotify && i + 1 < events.size() &&
            events[i + 1].type == MotionNotify)
            continue;
        HandleEvent(&events[i]);
    }
    if (mX && mX->visibilityStale) UpdateVisibility();
    if (frameDue && mX) {
        mNextFrameMs += mFramePeriodMs;
        if (mNextFrameMs <= NowMs()) mNextFrameMs = NowMs() + mFramePeriodMs;
        Frame();
    }
    tTicking = outer;
}

void EditorX11::Frame() {
    Prompt& p = *mPrompt;
    switch (p.model.Tick()) {
    case ValuePrompt::kNothing:
        break;
    case ValuePrompt::kShowText:
        p.text = p.model.Shown();
        p.caret = p.text.size();
        RenderPrompt();
        PutArea(p.rect);
        return;
    case ValuePrompt::kCommitAndClose:
        CommitPrompt();
        ClosePrompt();
        return;
    case ValuePrompt::kClose:
        ClosePrompt();
        return;
    }
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
        p.model.EditorDrew();
    }
}

void EditorX11::HandleEvent(const void* raw) {
    const XEvent& e = *static_cast<const XEvent*>(raw);
    X11& x = *mX;
    if (e.type == x.shmCompletion) {
        // This put and every earlier one are done.
        const unsigned long done = e.xany.serial;
        std::vector<X11::ShmRead>& reads = x.shmReads;
        reads.erase(
            std::remove_if(reads.begin(), reads.end(),
                           [done](const X11::ShmRead& r) { return long(r.serial - done) <= 0; }),
            reads.end());
        return;
    }
    switch (e.type) {
    case MapNotify:
    case UnmapNotify:
    case ReparentNotify:
        // Ours or an ancestor's: what the user sees is asked anew after the batch.
        if (e.type == ReparentNotify && e.xreparent.window != x.window) {
            WatchAncestors();
        }
        x.visibilityStale = true;
        return;
    default:
        break;
    }
    if (e.xany.window != x.window) return;
    Prompt& p = *mPrompt;
    switch (e.type) {
    case VisibilityNotify: {
        const bool was = Showing();
        x.obscured = e.xvisibility.state == VisibilityFullyObscured;
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
        if (e.xdestroywindow.window == x.window) x.alive = false;
        break;
    case ButtonPress: {
        const XButtonEvent& b = e.xbutton;
        MouseKeys mod = KeysOf(b.state);
        if (b.button == Button4 || b.button == Button5) {
            if (p.model.IsOpen() && p.rect.Contains(b.x, b.y)) break;
            OnMouseWheel(b.x, b.y, mod, b.button == Button4 ? 1 : -1);
            break;
        }
        if (b.button != Button1 && b.button != Button3) break;
        const bool right = b.button == Button3;
        if (right)
            mod.R = true;
        else
            mod.L = true;
        if (p.model.IsOpen()) {
            if (right) {
                p.model.Cancel();
                break;
            }
            if (PromptMouse(b.x, b.y, true)) {
                mPressInPrompt = true;
                break;
            }
            p.model.FocusLost();
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
        if (p.model.IsOpen() && PromptMouse(m.x, m.y, false)) break;
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
        if (!p.model.IsOpen() || p.model.State() != PromptFocused) break;
        XKeyEvent key = e.xkey;
        char chars[8] = {};
        KeySym sym = NoSymbol;
        int count = 0;
        count = XLookupString(&key, chars, sizeof chars - 1, &sym, nullptr);
        PromptKey(sym, chars, count);
        break;
    }
    default:
        break;
    }
}

// --- showing the back buffer

bool EditorX11::PaintRect(const Rect& rect) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    if (!mMoved.empty()) return PaintRects({rect});
    if (Showing()) PutArea(rect);
    return true;
}

bool EditorX11::ScrollBack(const Rect& area, int dx) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    if (!MoveBackPixels(area, dx)) return false;
    // Sent with the frame's areas, in the same image where they are near: a
    // copy inside the server (XCopyArea) cost Xvfb more than the pixels.
    mMoved.push_back(area);
    return true;
}

bool EditorX11::PaintRects(const std::vector<Rect>& drawn) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    // What moved in the back buffer goes with what was drawn.
    mSendRects = drawn;
    for (const Rect& r : mMoved)
        AddDirtyRect(mSendRects, r);
    mMoved.clear();
    const std::vector<Rect>& rects = mSendRects;
    if (!Showing() || rects.empty()) return true;
    if (rects.size() > 1 && mX && mX->shmImage) {
        Rect box = rects[0];
        long long pixels = 0;
        for (const Rect& r : rects) {
            box = box.Union(r);
            pixels += (long long)r.W() * r.H();
        }
        if ((long long)box.W() * box.H() <= pixels + kUniteSlack) {
            PutArea(box);
            return true;
        }
    }
    // The server wakes once for the frame's images.
    for (const Rect& r : rects)
        SendArea(r);
    XFlush(mX->display);
    return true;
}

void EditorX11::PutArea(const Rect& rect) {
    if (!Showing()) return;
    SendArea(rect);
    XFlush(mX->display);
}

void EditorX11::SendArea(const Rect& rect) {
    Bitmap* back = BackBuffer();
    if (!Showing() || !back || !back->Pixels()) return;
    const int l = std::max(rect.L, 0), t = std::max(rect.T, 0);
    const int r = std::min({rect.R, int(mViewWidth), back->Width()});
    const int b = std::min({rect.B, int(mViewHeight), back->Height()});
    if (l < r && t < b) PutPixels(*back, l, t, l, t, r - l, b - t);
    Prompt& p = *mPrompt;
    if (p.model.IsOpen() && p.pixels.Pixels()) {
        const int pl = std::max(l, p.rect.L), pt = std::max(t, p.rect.T);
        const int pr = std::min(r, p.rect.R), pb = std::min(b, p.rect.B);
        if (pl < pr && pt < pb)
            PutPixels(p.pixels, pl - p.rect.L, pt - p.rect.T, pl, pt, pr - pl, pb - pt);
    }
}

void EditorX11::PutPixels(const Bitmap& source, int srcX, int srcY, int dstX, int dstY, int w,
                          int h) {
    Display* display = mX->display;
    const uint32_t* pixels = source.Pixels();
    ++mPuts;
    XImage* shared = mX->shmImage;
    if (shared && !source.IsBottomUp() && dstX + w <= shared->width && dstY + h <= shared->height) {
        // The changed area goes into the shared image at its place in the
        // window, and the server takes it from there. Where the server may
        // still read an earlier put, the image is written once it has finished.
        const Rect area(dstX, dstY, dstX + w, dstY + h);
        if (mX->shmReads.size() >= 64) { // completions not read for long: wait for all
            XSync(display, False);
            mX->shmReads.clear();
        }
        for (const X11::ShmRead& read : mX->shmReads)
            if (read.area.L < area.R && area.L < read.area.R && read.area.T < area.B &&
                area.T < read.area.B) {
                XSync(display, False);
                mX->shmReads.clear();
                break;
            }
        const size_t span = size_t(shared->bytes_per_line) / 4;
        uint32_t* dst = reinterpret_cast<uint32_t*>(shared->data);
        for (int y = 0; y < h; ++y)
            std::memcpy(dst + size_t(dstY + y) * span + size_t(dstX),
                        pixels + size_t(srcY + y) * size_t(source.RowSpan()) + size_t(srcX),
                        size_t(w) * 4);
        mX->shmReads.push_back({NextRequest(display), area});
        XShmPutImage(display, mX->window, mX->gc, shared, dstX, dstY, dstX, dstY, unsigned(w),
                     unsigned(h), True);
    } else if (mX->directPut && !source.IsBottomUp()) {
        // The words are laid out as the server's 24-bit pixels: no copy.
        XImage* image = XCreateImage(display, mX->visual, unsigned(mX->depth), ZPixmap, 0,
                                     reinterpret_cast<char*>(const_cast<uint32_t*>(pixels)),
                                     unsigned(source.Width()), unsigned(source.Height()), 32,
                                     source.RowSpan() * 4);
        if (image) {
            image->byte_order = LSBFirst;
            XPutImage(display, mX->window, mX->gc, image, srcX, srcY, dstX, dstY, unsigned(w),
                      unsigned(h));
            image->data = nullptr;
            XDestroyImage(image);
        }
    } else {
        // Any other visual: convert each pixel through the visual's masks.
        XImage* image = XCreateImage(display, mX->visual, unsigned(mX->depth), ZPixmap, 0, nullptr,
                                     unsigned(w), unsigned(h), 32, 0);
        if (image) {
            image->data = static_cast<char*>(std::malloc(size_t(image->bytes_per_line) * h));
            if (image->data) {
                const auto channel = [](uint32_t value, unsigned long mask) -> unsigned long {
                    if (!mask) return 0;
                    int shift = 0;
                    while (!((mask >> shift) & 1))
                        ++shift;
                    const unsigned long top = mask >> shift;
                    return ((value * top + 127) / 255) << shift;
                };
                const Visual* v = mX->visual;
                const unsigned long alphaBits =
                    mX->depth == 32 ? ~(v->red_mask | v->green_mask | v->blue_mask) & 0xFFFFFFFFul
                                    : 0;
                for (int y = 0; y < h; ++y) {
                    const int row =
                        source.IsBottomUp() ? source.Height() - 1 - (srcY + y) : srcY + y;
                    const uint32_t* src = pixels + size_t(row) * source.RowSpan() + srcX;
                    for (int x = 0; x < w; ++x) {
                        const uint32_t word = src[x];
                        XPutPixel(image, x, y,
                                  channel(word >> 16 & 0xFF, v->red_mask) |
                                      channel(word >> 8 & 0xFF, v->green_mask) |
                                      channel(word & 0xFF, v->blue_mask) | alphaBits);
                    }
                }
                XPutImage(display, mX->window, mX->gc, image, 0, 0, dstX, dstY, unsigned(w),
                          unsigned(h));
            }
            XDestroyImage(image);
        }
    }
}

// --- size and text

void EditorX11::SetSize(int32_t width, int32_t height) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    // The controls go: so does a prompt that edits one of them.
    mPrompt->model.Close();
    RasterEditor::SetSize(width, height);
    mCaptured = mTracking = false;
    if (mX && mX->alive) {
        XResizeWindow(mX->display, mX->window, unsigned(std::max(1, width)),
                      unsigned(std::max(1, height)));
        AttachSharedImage(); // an image of the new size
        mFullDrawPending = true;
    }
}

bool EditorX11::DrawString(const TextStyle& style, const char* text, const Rect& rect) {
    if (!text) return true;
    Bitmap* back = BackBuffer();
    if (!back) return false;
    // Only the drawing pass's area changes, as with every other primitive.
    return mText->Draw(*back, DrawRect(), style, text, rect);
}

// --- the value prompt

void EditorX11::OpenValuePrompt(Control* control, Param* param) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    Prompt& p = *mPrompt;
    if (!control || !param || p.model.IsOpen() || !mX || !mX->alive) return;
    const Rect& r = control->GetRect();
    const int cx = int((r.L + r.R) * 0.5), cy = int((r.T + r.B) * 0.5);
    p.model.Open(control, param, PromptFocused);
    const std::vector<std::string>& entries = p.model.Entries();
    p.list = p.model.IsList();
    p.text = p.model.Shown();
    p.caret = p.text.size();
    p.selectAll = true;
    p.selected = p.model.ShownEntry();
    p.hot = -1;
    if (p.list) {
        size_t longest = 0;
        for (const std::string& entry : entries)
            longest = std::max(longest, entry.size());
        const int width = std::max(24, int(8 * longest) + 24);
        p.rect = Rect(cx - width / 2, cy - 8, cx - width / 2 + width,
                      cy - 8 + kPromptRowHeight * int(entries.size()));
    } else {
        int w = 0, h = 0;
        mText->Measure(kPromptStyle, p.text.c_str(), w, h);
        const int width = std::max(32, w + 8);
        p.rect = Rect(cx - width / 2, cy - 8, cx - width / 2 + width, cy + 8);
    }
    p.rect = ClampToView(p.rect);
    {
        // The keys go to the prompt while it is open.
        XGetInputFocus(mX->display, &mX->focusBefore, &mX->revertBefore);
        XSetInputFocus(mX->display, mX->window, RevertToParent, CurrentTime);
        mX->focusTaken = SyncedErrors() == 0;
    }
    RenderPrompt();
    PutArea(p.rect);
}

Rect EditorX11::ClampToView(Rect r) const {
    const int w = r.W(), h = r.H();
    if (r.R > mViewWidth) r.L = mViewWidth - w;
    if (r.B > mViewHeight) r.T = mViewHeight - h;
    r.L = std::max(r.L, 0);
    r.T = std::max(r.T, 0);
    return Rect(r.L, r.T, r.L + w, r.T + h);
}

bool EditorX11::ParsePromptNumber(const char* text, double& value) {
    return ::ParsePromptNumber(text, value);
}

void EditorX11::CommitPrompt() {
    Prompt& p = *mPrompt;
    if (p.list) {
        const std::vector<std::string>& entries = p.model.Entries();
        const bool chosen = p.selected >= 0 && size_t(p.selected) < entries.size();
        p.model.Commit(chosen ? entries[size_t(p.selected)].c_str() : "");
    } else {
        p.model.Commit(p.text.c_str());
    }
}

void EditorX11::ClosePrompt() {
    Prompt& p = *mPrompt;
    if (!p.model.IsOpen()) return;
    p.model.Close();
    if (mX && mX->focusTaken) {
        if (mX->alive) XSetInputFocus(mX->display, mX->focusBefore, mX->revertBefore, CurrentTime);
        SyncedErrors(); // a focus window gone meanwhile is no fault of ours
        mX->focusTaken = false;
    }
    PutArea(p.rect); // the back buffer's picture again
}

void EditorX11::RenderPrompt() {
    Prompt& p = *mPrompt;
    const int w = p.rect.W(), h = p.rect.H();
    p.pixels.Resize(w, h);
    if (!p.pixels.Pixels()) return;
    FillPixels(p.pixels, Rect(0, 0, w, h), kPromptBack);
    TextStyle style = kPromptStyle;
    if (p.list) {
        style.mAlign = TextStyle::AlignLeft;
        const int lit = p.hot >= 0 ? p.hot : p.selected;
        const std::vector<std::string>& entries = p.model.Entries();
        for (int i = 0; i < int(entries.size()); ++i) {
            const Rect row(0, i * kPromptRowHeight, w, (i + 1) * kPromptRowHeight);
            style.mColor = Color(255, 0, 0, 0);
            if (i == lit) {
                FillPixels(p.pixels, row, kPromptHighlight);
                style.mColor = Color(255, 255, 255, 255);
            }
            mText->Draw(p.pixels, Rect(), style, entries[size_t(i)].c_str(),
                        Rect(4, row.T + 1, w - 2, row.B));
        }
    } else {
        const Rect inner(1, 1, w - 1, h - 1);
        int tw = 0, th = 0;
        mText->Measure(style, p.text.c_str(), tw, th);
        const int left = (inner.L + inner.R - tw) / 2;
        const bool focused = p.model.State() == PromptFocused;
        if (focused && p.selectAll && !p.text.empty()) {
            FillPixels(p.pixels, Rect(left, 2, left + tw, h - 2), kPromptHighlight);
            style.mColor = Color(255, 255, 255, 255);
        }
        mText->Draw(p.pixels, Rect(), style, p.text.c_str(), inner);
        if (focused && !p.selectAll) {
            int cw = 0;
            mText->Measure(style, p.text.substr(0, p.caret).c_str(), cw, th);
            FillPixels(p.pixels, Rect(left + cw, 2, left + cw + 1, h - 2), 0xFF000000u);
        }
    }
    // The frame.
    FillPixels(p.pixels, Rect(0, 0, w, 1), kPromptBorder);
    FillPixels(p.pixels, Rect(0, h - 1, w, h), kPromptBorder);
    FillPixels(p.pixels, Rect(0, 0, 1, h), kPromptBorder);
    FillPixels(p.pixels, Rect(w - 1, 0, w, h), kPromptBorder);
}

bool EditorX11::PromptMouse(int x, int y, bool press) {
    Prompt& p = *mPrompt;
    const bool inside = p.rect.Contains(x, y);
    if (p.list) {
        const int row = inside ? (y - p.rect.T) / kPromptRowHeight : -1;
        if (press && inside) {
            p.selected = row;
            p.hot = -1;
            p.model.Enter(); // a choice in the list commits
        } else if (!press && row != p.hot) {
            p.hot = row;
        } else {
            return inside;
        }
    } else {
        if (!press || !inside) return inside;
        // The caret goes to the gap nearest to the click.
        int tw = 0, th = 0;
        mText->Measure(kPromptStyle, p.text.c_str(), tw, th);
        const int left = p.rect.L + (p.rect.W() - tw) / 2;
        size_t best = p.text.size();
        int bestDistance = INT_MAX;
        for (size_t i = 0; i <= p.text.size(); ++i) {
            int cw = 0;
            mText->Measure(kPromptStyle, p.text.substr(0, i).c_str(), cw, th);
            if (std::abs(left + cw - x) < bestDistance)
                bestDistance = std::abs(left + cw - x), best = i;
        }
        p.caret = best;
        p.selectAll = false;
        p.model.FocusGained();
    }
    RenderPrompt();
    PutArea(p.rect);
    return inside;
}

void EditorX11::PromptKey(unsigned long keysym, const char* chars, int count) {
    Prompt& p = *mPrompt;
    if (keysym == XK_Return || keysym == XK_KP_Enter) {
        if (p.list && p.hot >= 0) p.selected = p.hot;
        p.model.Enter();
        return;
    }
    if (keysym == XK_Escape) {
        p.model.Cancel();
        return;
    }
    if (p.list) {
        const int n = int(p.model.Entries().size());
        if (keysym == XK_Up || keysym == XK_KP_Up)
            p.selected = std::max(0, p.selected - 1);
        else if (keysym == XK_Down || keysym == XK_KP_Down)
            p.selected = std::min(n - 1, p.selected + 1);
        else
            return;
        p.hot = -1;
    } else {
        std::string& t = p.text;
        if (keysym == XK_BackSpace || keysym == XK_Delete || keysym == XK_KP_Delete) {
            if (p.selectAll) {
                t.clear();
                p.caret = 0;
            } else if (keysym == XK_BackSpace && p.caret > 0) {
                t.erase(--p.caret, 1);
            } else if (keysym != XK_BackSpace && p.caret < t.size()) {
                t.erase(p.caret, 1);
            }
        } else if (keysym == XK_Left || keysym == XK_KP_Left) {
            if (p.caret > 0 && !p.selectAll) --p.caret;
        } else if (keysym == XK_Right || keysym == XK_KP_Right) {
            if (p.caret < t.size()) ++p.caret;
        } else if (keysym == XK_Home || keysym == XK_KP_Home) {
            p.caret = 0;
        } else if (keysym == XK_End || keysym == XK_KP_End) {
            p.caret = t.size();
        } else if (count == 1 && chars[0] >= 0x20 && chars[0] < 0x7F) {
            if (p.selectAll) {
                t.clear();
                p.caret = 0;
            }
            if (int(t.size()) < kPromptMaxText) t.insert(p.caret++, 1, chars[0]);
        } else {
            return;
        }
        p.selectAll = false;
    }
    RenderPrompt();
    PutArea(p.rect);
}

bool EditorX11::PromptOpen() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt->model.IsOpen();
}
int EditorX11::PromptStateNow() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt->model.State();
}
Rect EditorX11::PromptRect() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt->model.IsOpen() ? mPrompt->rect : Rect();
}
std::string EditorX11::PromptText() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt->text;
}
std::vector<std::string> EditorX11::PromptEntries() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt->model.Entries();
}
int EditorX11::PromptSelection() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt->selected;
}

bool EditorX11::CopyBackBuffer(std::vector<uint32_t>& pixels) const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    const Bitmap* back = BackBuffer();
    if (!back || !back->Pixels()) return false;
    const int w = back->Width(), h = back->Height();
    pixels.resize(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y) {
        const int row = back->IsBottomUp() ? h - 1 - y : y;
        const uint32_t* src = back->Pixels() + size_t(row) * size_t(back->RowSpan());
        std::copy(src, src + w, pixels.begin() + ptrdiff_t(size_t(y) * size_t(w)));
    }
    return true;
}

// --- system services

void EditorX11::HostDirectory(std::string& out) {
    out.clear();
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return;
    path[n] = 0;
    out = DirectoryOf(path);
}

void EditorX11::ModuleDirectory(std::string& out) {
    out.clear();
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&NowMs), &info) == 0 || !info.dli_fname) return;
    std::string name = info.dli_fname;
    if (name.find('/') == std::string::npos) {
        // Linked into the program itself.
        HostDirectory(out);
        return;
    }
    if (name[0] != '/') {
        if (char* full = realpath(name.c_str(), nullptr)) {
            name = full;
            std::free(full);
        }
    }
    out = DirectoryOf(name);
}

void EditorX11::AskForFile(std::string& out, int, const char*, const char*) {
    out.clear();
}

bool EditorX11::AskForColor(Color&, const char*) {
    return false;
}

bool EditorX11::OpenDocument(const char* path) {
    if (!path || !*path || !FindInPath("xdg-open")) return false;
    ReapChildren(false);
    // setsid -f leaves xdg-open to init at once: nothing of it stays our child.
    const char* detached[] = {"setsid", "-f", "xdg-open", path, nullptr};
    const pid_t pid = Spawn(detached);
    if (pid > 0) {
        int status = 0;
        pid_t done;
        do {
            done = waitpid(pid, &status, 0);
        } while (done < 0 && errno == EINTR);
        if (done < 0) return errno == ECHILD; // a host that ignores SIGCHLD
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // No setsid: our own child, reaped on later ticks.
    const char* direct[] = {"xdg-open", path, nullptr};
    const pid_t child = Spawn(direct);
    if (child <= 0) return false;
    std::lock_guard<std::recursive_mutex> hold(mLock);
    mChildren.push_back(child);
    return true;
}

void EditorX11::ReapChildren(bool wait) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    for (size_t i = 0; i < mChildren.size();) {
        int status = 0;
        const pid_t done = waitpid(mChildren[i], &status, wait ? 0 : WNOHANG);
        if (done == 0) {
            ++i;
        } else {
            mChildren.erase(mChildren.begin() + long(i));
        }
    }
}

Editor* NewPlatformEditor(EffectBase* effect, int32_t width, int32_t height, int32_t fps) {
    return new EditorX11(effect, width, height, fps);
}
