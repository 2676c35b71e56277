// Shows the back buffer in the editor's X11 window. The areas a frame drew,
// and the areas a scroll moved in the back buffer, go to the server as images:
// through the server's shared memory when it offers it (the areas of one
// frame as one image when their box adds little: an image costs the server
// far more than its pixels), as plain images otherwise, and converted through
// the visual's masks for any visual whose pixels are not the back buffer's
// words. The value prompt's pixels go over the back buffer's where it is open.
//
// Not thread-safe: the X11 face uses it under its window lock.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstdint>
#include <vector>

#include "draw/bitmap.h"
#include "editor/types.h"

class X11Window;

// What the window shows: the back buffer cut to the view, with the prompt's
// pixels over it when one is open.
struct X11Scene {
    const Bitmap* back = nullptr;    // null: nothing to show yet
    int width = 0, height = 0;       // the view, in pixels
    const Bitmap* overlay = nullptr; // the prompt's pixels; null when none is open
    Rect overlayRect;                // where they go, in view pixels
};

class X11Presenter {
public:
    // Pixels a box may add to its areas and still be sent as one image.
    static constexpr long long kUniteSlack = 65536;

    // Makes the shared image of width x height pixels for the window (dropping
    // an earlier one), when the server offers shared memory, the window's
    // pixels are the back buffer's words and KELO_X11_NO_SHM is not set (any
    // value: the plain path, as with a remote server).
    void Attach(X11Window& window, int width, int height);
    // Drops the shared image with the server (waits for it to let go).
    void Detach();
    // Drops our side of the shared image after the window died (the server
    // lets go of it with the connection).
    void Forget();
    // Sends go through the server's shared memory.
    bool Shared() const { return mImage != nullptr; }

    // A scroll moved area in the back buffer: it goes with the next Present.
    void Moved(const Rect& area) { mMoved.push_back(area); }
    bool HasMoved() const { return !mMoved.empty(); }
    // Sends one frame's drawn areas and the moved ones: as one image of their
    // box where that adds at most kUniteSlack pixels (shared memory only),
    // else one image each, flushed together. Nothing while the window cannot
    // be seen or there is no window (the moved areas are forgotten then: a
    // whole frame follows).
    void Present(X11Window* window, const X11Scene& scene, const std::vector<Rect>& drawn);
    // Shows one area now (sent and flushed); nothing while it cannot be seen.
    void PutArea(X11Window* window, const X11Scene& scene, const Rect& area);
    // A completion event of a shared put: true when the event was one (the
    // put and every earlier one are done).
    bool Completed(const XEvent& event);
    // Images sent (shared or plain) since construction.
    int64_t Puts() const { return mPuts; }

private:
    // The same, left in the connection's buffer until the next flush.
    void SendArea(X11Window& window, const X11Scene& scene, const Rect& area);
    // w x h pixels of source from (srcX, srcY) to (dstX, dstY) in the window.
    void PutPixels(X11Window& window, const Bitmap& source, int srcX, int srcY, int dstX, int dstY,
                   int w, int h);

    // The shared image, when the server offers one: the changed area is copied
    // into it and shown without going through the connection.
    Display* mDisplay = nullptr; // the connection the image belongs to
    XShmSegmentInfo mShm = {};
    XImage* mImage = nullptr;
    int mCompletion = -1; // event type of a finished put
    // Puts the server may still be reading from the image, by request serial:
    // a frame's areas that do not overlap them are written at once.
    struct ShmRead {
        unsigned long serial;
        Rect area;
    };
    std::vector<ShmRead> mReads;
    std::vector<Rect> mMoved; // areas moved in the back buffer, not yet sent
    std::vector<Rect> mSend;  // a frame's areas and moved areas, reused
    int64_t mPuts = 0;
};
