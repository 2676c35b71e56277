#include "editor/x11_presenter.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "editor/editor.h"
#include "editor/x11_error_book.h"
#include "editor/x11_window.h"

void X11Presenter::Attach(X11Window& window, int width, int height) {
    Display* display = window.Connection();
    Detach();
    if (std::getenv("KELO_X11_NO_SHM") || !window.DirectPixels() ||
        ImageByteOrder(display) != LSBFirst || !XShmQueryExtension(display))
        return;
    const int w = std::max(1, width), h = std::max(1, height);
    // The image keeps a pointer to mShm: the segment's record lives as long as it.
    XImage* image = XShmCreateImage(display, window.GetVisual(), unsigned(window.Depth()), ZPixmap,
                                    nullptr, &mShm, unsigned(w), unsigned(h));
    if (!image) return;
    mShm.shmid = shmget(IPC_PRIVATE, size_t(image->bytes_per_line) * size_t(h), IPC_CREAT | 0600);
    if (mShm.shmid < 0) {
        XDestroyImage(image);
        mShm = {};
        return;
    }
    void* address = shmat(mShm.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(mShm.shmid, IPC_RMID, nullptr);
        XDestroyImage(image);
        mShm = {};
        return;
    }
    mShm.shmaddr = image->data = static_cast<char*>(address);
    mShm.readOnly = True;
    const int before = ErrorsOf(display);
    const bool attached = XShmAttach(display, &mShm);
    XSync(display, False);
    // The segment goes once both sides let go of it, whatever happens next.
    shmctl(mShm.shmid, IPC_RMID, nullptr);
    const int after = ErrorsOf(display);
    window.ForgetErrors();
    if (!attached || after != before) {
        // A server on another machine cannot see our memory: plain images then.
        shmdt(mShm.shmaddr);
        image->data = nullptr;
        XDestroyImage(image);
        mShm = {};
        return;
    }
    mDisplay = display;
    mImage = image;
    mCompletion = XShmGetEventBase(display) + ShmCompletion;
    mReads.clear();
}

void X11Presenter::Detach() {
    if (!mImage) return;
    XShmDetach(mDisplay, &mShm);
    XSync(mDisplay, False);
    Forget();
}

void X11Presenter::Forget() {
    if (!mImage) return;
    shmdt(mShm.shmaddr);
    mImage->data = nullptr;
    XDestroyImage(mImage);
    mImage = nullptr;
    mShm = {};
    mDisplay = nullptr;
    mReads.clear();
}

bool X11Presenter::Completed(const XEvent& event) {
    if (event.type != mCompletion) return false;
    // This put and every earlier one are done.
    const unsigned long done = event.xany.serial;
    mReads.erase(std::remove_if(mReads.begin(), mReads.end(),
                                [done](const ShmRead& r) { return long(r.serial - done) <= 0; }),
                 mReads.end());
    return true;
}

void X11Presenter::Present(X11Window* window, const X11Scene& scene,
                           const std::vector<Rect>& drawn) {
    // What moved in the back buffer goes with what was drawn.
    mSend = drawn;
    for (const Rect& r : mMoved)
        Editor::AddDirtyRect(mSend, r);
    mMoved.clear();
    const std::vector<Rect>& rects = mSend;
    if (!window || !window->Showing() || rects.empty()) return;
    if (rects.size() > 1 && mImage) {
        Rect box = rects[0];
        long long pixels = 0;
        for (const Rect& r : rects) {
            box = box.Union(r);
            pixels += (long long)r.W() * r.H();
        }
        if ((long long)box.W() * box.H() <= pixels + kUniteSlack) {
            PutArea(window, scene, box);
            return;
        }
    }
    // The server wakes once for the frame's images.
    for (const Rect& r : rects)
        SendArea(*window, scene, r);
    XFlush(window->Connection());
}

void X11Presenter::PutArea(X11Window* window, const X11Scene& scene, const Rect& area) {
    if (!window || !window->Showing()) return;
    SendArea(*window, scene, area);
    XFlush(window->Connection());
}

void X11Presenter::SendArea(X11Window& window, const X11Scene& scene, const Rect& rect) {
    const Bitmap* back = scene.back;
    if (!back || !back->Pixels()) return;
    const int l = std::max(rect.L, 0), t = std::max(rect.T, 0);
    const int r = std::min({rect.R, scene.width, back->Width()});
    const int b = std::min({rect.B, scene.height, back->Height()});
    if (l < r && t < b) PutPixels(window, *back, l, t, l, t, r - l, b - t);
    const Bitmap* over = scene.overlay;
    if (over && over->Pixels()) {
        const Rect& o = scene.overlayRect;
        const int pl = std::max(l, o.L), pt = std::max(t, o.T);
        const int pr = std::min(r, o.R), pb = std::min(b, o.B);
        if (pl < pr && pt < pb)
            PutPixels(window, *over, pl - o.L, pt - o.T, pl, pt, pr - pl, pb - pt);
    }
}

void X11Presenter::PutPixels(X11Window& window, const Bitmap& source, int srcX, int srcY, int dstX,
                             int dstY, int w, int h) {
    Display* display = window.Connection();
    const uint32_t* pixels = source.Pixels();
    ++mPuts;
    XImage* shared = mImage;
    if (shared && !source.IsBottomUp() && dstX + w <= shared->width && dstY + h <= shared->height) {
        // The changed area goes into the shared image at its place in the
        // window, and the server takes it from there. Where the server may
        // still read an earlier put, the image is written once it has finished.
        const Rect area(dstX, dstY, dstX + w, dstY + h);
        if (mReads.size() >= 64) { // completions not read for long: wait for all
            XSync(display, False);
            mReads.clear();
        }
        for (const ShmRead& read : mReads)
            if (read.area.L < area.R && area.L < read.area.R && read.area.T < area.B &&
                area.T < read.area.B) {
                XSync(display, False);
                mReads.clear();
                break;
            }
        const size_t span = size_t(shared->bytes_per_line) / 4;
        uint32_t* dst = reinterpret_cast<uint32_t*>(shared->data);
        for (int y = 0; y < h; ++y)
            std::memcpy(dst + size_t(dstY + y) * span + size_t(dstX),
                        pixels + size_t(srcY + y) * size_t(source.RowSpan()) + size_t(srcX),
                        size_t(w) * 4);
        mReads.push_back({NextRequest(display), area});
        XShmPutImage(display, window.Id(), window.Gc(), shared, dstX, dstY, dstX, dstY, unsigned(w),
                     unsigned(h), True);
    } else if (window.DirectPixels() && !source.IsBottomUp()) {
        // The words are laid out as the server's 24-bit pixels: no copy.
        XImage* image = XCreateImage(display, window.GetVisual(), unsigned(window.Depth()), ZPixmap,
                                     0, reinterpret_cast<char*>(const_cast<uint32_t*>(pixels)),
                                     unsigned(source.Width()), unsigned(source.Height()), 32,
                                     source.RowSpan() * 4);
        if (image) {
            image->byte_order = LSBFirst;
            XPutImage(display, window.Id(), window.Gc(), image, srcX, srcY, dstX, dstY, unsigned(w),
                      unsigned(h));
            image->data = nullptr;
            XDestroyImage(image);
        }
    } else {
        // Any other visual: convert each pixel through the visual's masks.
        XImage* image = XCreateImage(display, window.GetVisual(), unsigned(window.Depth()), ZPixmap,
                                     0, nullptr, unsigned(w), unsigned(h), 32, 0);
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
                const Visual* v = window.GetVisual();
                const unsigned long alphaBits =
                    window.Depth() == 32
                        ? ~(v->red_mask | v->green_mask | v->blue_mask) & 0xFFFFFFFFul
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
                XPutImage(display, window.Id(), window.Gc(), image, 0, 0, dstX, dstY, unsigned(w),
                          unsigned(h));
            }
            XDestroyImage(image);
        }
    }
}
