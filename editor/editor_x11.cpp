// The X11 face: its window's lifetime and size, text, the prompt's widget, the
// system services and the state for tests. The tick (events, then frames) is
// in editor_x11_tick.cpp.
#include "editor/editor_x11.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "editor/drawn_prompt.h"
#include "editor/platform_editor.h"
#include "editor/text_raster.h"
#include "editor/x11_presenter.h"
#include "editor/x11_window.h"

namespace {

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 >= path.size()) return {};
    return path.substr(0, slash + 1);
}

} // namespace

EditorX11::EditorX11(EffectBase* effect, int32_t width, int32_t height, int32_t fps)
    : WindowFace(effect, width, height, fps, PromptFocused), mPresenter(new X11Presenter),
      mText(new TextRaster), mDrawn(new DrawnPrompt(mPrompt, *mText)), mPacer(Fps()) {}

EditorX11::~EditorX11() {
    CloseEditorWindow();
}

void EditorX11::UseClock(const FrameClock& clock) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    mPacer.UseClock(clock);
}

// --- window lifetime

void* EditorX11::OpenEditorWindow(void* parent) {
    if (sTicking == this) return nullptr; // not from inside the window's own tick
    CloseEditorWindow();
    std::lock_guard<std::recursive_mutex> hold(mLock);
    const Window parentWindow = Window(reinterpret_cast<uintptr_t>(parent));
    if (!parentWindow) return nullptr;
    if (!BackBuffer()) PrepareSurface();
    mWin = X11Window::Open(parentWindow, mViewWidth, mViewHeight);
    if (!mWin) return nullptr;
    mWin->WatchAncestors();
    RefreshVisibility();
    mPresenter->Attach(*mWin, mViewWidth, mViewHeight);
    mFullDrawPending = true;
    mCaptured = mTracking = mLastPressValid = mPressInPrompt = false;
    mClosePending = false;
    mPacer.Begin();
    mPacer.Start([this] { TimerLoop(); });
    return reinterpret_cast<void*>(uintptr_t(mWin->Id()));
}

void EditorX11::CloseEditorWindow() {
    if (sTicking == this) {
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
        mPacer.Stop();
    }
    // The timer thread itself never gets here: it closes the window through
    // CloseLocked and returns.
    mPacer.Join();
}

void EditorX11::CloseLocked() {
    if (!mWin) return;
    mPrompt.Close();
    mPacer.Stop(); // a timer thread closing the window itself ends after this tick
    if (mWin->Alive()) mPresenter->Detach();
    // The window died first: the server lets go of the segment with the connection.
    mPresenter->Forget();
    mWin.reset();
    mPacer.End();
    mCaptured = mTracking = false;
}

bool EditorX11::IsWindowOpen() {
    // Open while the window lives: one whose host frame was destroyed under it
    // is closed for the host's next "editor open".
    std::lock_guard<std::recursive_mutex> hold(mLock);
    if (!mWin || !mWin->Alive()) return false;
    // The server knows before our events tell: ask it.
    return mWin->CheckAlive();
}

void* EditorX11::WindowHandle() {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mWin ? reinterpret_cast<void*>(uintptr_t(mWin->Id())) : nullptr;
}

bool EditorX11::Showing() const {
    return mWin && mWin->Showing();
}

// --- showing the back buffer

X11Scene EditorX11::Scene() const {
    X11Scene scene;
    scene.back = BackBuffer();
    scene.width = mViewWidth;
    scene.height = mViewHeight;
    if (mPrompt.IsOpen()) {
        scene.overlay = &mDrawn->Pixels();
        scene.overlayRect = mDrawn->Box();
    }
    return scene;
}

void EditorX11::PutArea(const Rect& rect) {
    mPresenter->PutArea(mWin.get(), Scene(), rect);
}

bool EditorX11::PaintRect(const Rect& rect) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    if (mPresenter->HasMoved()) return PaintRects({rect});
    if (Showing()) PutArea(rect);
    return true;
}

bool EditorX11::ScrollBack(const Rect& area, int dx) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    if (!MoveBackPixels(area, dx)) return false;
    // Sent with the frame's areas, in the same image where they are near: a
    // copy inside the server (XCopyArea) cost Xvfb more than the pixels.
    mPresenter->Moved(area);
    return true;
}

bool EditorX11::PaintRects(const std::vector<Rect>& drawn) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    mPresenter->Present(mWin.get(), Scene(), drawn);
    return true;
}

// --- size and text

void EditorX11::SetSize(int32_t width, int32_t height) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    WindowFace::SetSize(width, height);
}

void EditorX11::ResizeWindow(int32_t width, int32_t height) {
    mCaptured = mTracking = false;
    if (mWin && mWin->Alive()) {
        XResizeWindow(mWin->Connection(), mWin->Id(), unsigned(std::max(1, width)),
                      unsigned(std::max(1, height)));
        mPresenter->Attach(*mWin, mViewWidth, mViewHeight); // an image of the new size
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

// --- the value prompt's widget

void EditorX11::OpenValuePrompt(Control* control, Param* param) {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    WindowFace::OpenValuePrompt(control, param);
}

bool EditorX11::CanPrompt() {
    return mWin && mWin->Alive();
}

bool EditorX11::ShowPromptWidget(const PromptPlace& place) {
    mDrawn->Place(place, mViewWidth, mViewHeight);
    mWin->BorrowFocus();
    mDrawn->Render();
    PutArea(mDrawn->Box());
    return true;
}

void EditorX11::ShowPromptText(const std::string& text) {
    mDrawn->ShowText(text);
    PutArea(mDrawn->Box());
}

std::string EditorX11::PromptTyped() {
    return mDrawn->Typed();
}

void EditorX11::ClosePrompt() {
    if (!mPrompt.IsOpen()) return;
    mPrompt.Close();
    if (mWin) mWin->ReturnFocus();
    PutArea(mDrawn->Box()); // the back buffer's picture again
}

// --- state for the harness and tests

int64_t EditorX11::FrameCount() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mFrames;
}

int64_t EditorX11::TickCount() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mTicks;
}

int64_t EditorX11::PutCount() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPresenter->Puts();
}

bool EditorX11::WindowAlive() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mWin && mWin->Alive();
}

bool EditorX11::WindowShowing() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return Showing();
}

bool EditorX11::UsesSharedImage() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mWin && mPresenter->Shared();
}

bool EditorX11::PromptOpen() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt.IsOpen();
}

int EditorX11::PromptStateNow() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt.State();
}

Control* EditorX11::PromptControl() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt.GetControl();
}

Rect EditorX11::PromptRect() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt.IsOpen() ? mDrawn->Box() : Rect();
}

std::string EditorX11::PromptText() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mDrawn->Text();
}

std::vector<std::string> EditorX11::PromptEntries() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mPrompt.Entries();
}

int EditorX11::PromptSelection() const {
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mDrawn->Selected();
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
    if (dladdr(reinterpret_cast<void*>(&DirectoryOf), &info) == 0 || !info.dli_fname) return;
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
    std::lock_guard<std::recursive_mutex> hold(mLock);
    return mOpener.Open(path);
}

Editor* NewPlatformEditor(EffectBase* effect, int32_t width, int32_t height, int32_t fps) {
    return new EditorX11(effect, width, height, fps);
}
