// The platform seam of the harness's editor commands: a top-level window of the
// harness's own that a plug-in opens its editor in, as a host's editor frame.
//
// One implementation per platform (parent_win32.cpp, parent_x11.cpp), made by
// NewParentWindow. Everything runs on the thread that created the window (the
// harness's user-interface thread); the plug-in's audio may run elsewhere.
//
//   auto parent = NewParentWindow();
//   parent->Create(w, h, "kelo-host");
//   plugin.Dispatch(kVstOpEditorOpen, 0, 0, parent->NativeHandle());
//   parent->Pump(500, [&] { plugin.Dispatch(kVstOpEditorIdle); });
//   parent->SendMouse({MouseAction::Press, 100, 80});
//   parent->Capture(pixels, w, h);
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What a mouse event does. Press, Release, Click and DoubleClick use the
// event's button; Drag is a move with that button held; Move is a move with
// no button held (hover); Leave tells the editor the pointer left it.
enum class MouseAction { Press, Drag, Release, Click, DoubleClick, Wheel, Move, Leave };

enum class MouseButton { Left, Right };

// One mouse event at editor coordinates (the editor window's client area).
struct MouseEvent {
    MouseAction action = MouseAction::Move;
    int x = 0, y = 0;
    MouseButton button = MouseButton::Left;
    int notches = 0; // Wheel: +1 a notch away from the user, -1 towards
    bool shift = false;
    bool control = false;
    bool alt = false;
};

class ParentWindow {
public:
    virtual ~ParentWindow() = default;

    // Creates and shows a top-level window whose client area is width x height
    // pixels. False (with a reason in Error()) when the platform cannot.
    virtual bool Create(int width, int height, const std::string& title) = 0;
    // Destroys the window; the editor must have been closed before. Safe to
    // call twice or without Create.
    virtual void Destroy() = 0;
    // The handle the editor-open opcode takes: an HWND on Windows, an X11
    // window id on Linux; null before Create.
    virtual void* NativeHandle() const = 0;
    // True once the user closed the window (the harness then closes the
    // editor and stops).
    virtual bool UserClosed() const { return false; }

    // Handles the window system's events for about milliseconds, calling idle
    // (when set) on the first round and then every kIdlePeriodMs, as a host's
    // idle call reaches its plug-ins. Zero handles what is pending once.
    virtual void Pump(int milliseconds, const std::function<void()>& idle) = 0;
    // The idle calls' period: 50 a second, as VST hosts call editor-idle (30
    // to 60 times a second); the editors' 24 frames a second fit between.
    static constexpr int kIdlePeriodMs = 20;

    // The editor's window: the first child of this window; null when none is
    // open.
    virtual void* EditorHandle() const = 0;
    // Delivers one mouse event to the editor window, as the window system
    // would, and handles the events it causes. False without an editor window.
    virtual bool SendMouse(const MouseEvent& event) = 0;
    // Copies what the editor window shows: width x height words 0xFFRRGGBB,
    // top row first. False without an editor window or when it cannot be read.
    virtual bool Capture(std::vector<uint32_t>& pixels, int& width, int& height) = 0;

    const std::string& Error() const { return mError; }

protected:
    std::string mError;
};

// The implementation for this platform.
std::unique_ptr<ParentWindow> NewParentWindow();
