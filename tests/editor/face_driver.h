// What the window faces' shared test suite (editor_face_test.cpp) asks of a
// face: make it, open it in a frame window of the harness, drive its frames
// one by one, read its prompt, and hide its window. One driver per way a face
// runs: the X11 face driven by the host's idle call or by its timer thread
// (face_x11.cpp, natively), the Win32 face driven by its timer message
// (face_win.cpp, under Wine).
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "editor/types.h"
#include "tools/host/parent_window.h"

class Control;
class Editor;
class EffectBase;

class FaceDriver {
public:
    virtual ~FaceDriver() = default;

    // The face can run here (the X11 face needs a display); why not otherwise.
    virtual bool Ready(std::string& why) = 0;

    // --- making and opening
    // Moves the harness's frame (just made) where no other test program's
    // window lies.
    virtual void PlaceFrame(ParentWindow& frame) = 0;
    // A new face for effect (which will own it); the driver drives the face it
    // made last.
    virtual Editor* Make(EffectBase* effect, int width, int height, int fps) = 0;
    // Opens the face in frame and lets it draw its first frames, until the
    // window shows the back buffer; false when it did not open.
    virtual bool Open(ParentWindow& frame) = 0;
    // The window's size in pixels as the window system has it.
    virtual bool WindowSize(int& width, int& height) = 0;

    // --- driving
    // One frame of the face's timer, exactly: the face handles what is
    // pending, then draws what changed.
    virtual void Tick() = 0;
    // Lets the face take what the window system delivered (mouse events,
    // exposures) without a frame.
    virtual void Settle() = 0;
    // Waits (a few seconds at most) until the window shows what the face has
    // sent, before a test reads the window's pixels.
    virtual void WaitUntilShown() = 0;
    // The period between two frames at fps frames a second, as the face sets
    // it (the Win32 face from the timer its window started).
    virtual int FramePeriod(EffectBase* effect, ParentWindow& frame, int fps) = 0;

    // --- what the face did
    // Drawing passes and images (or areas) sent to the window.
    virtual int64_t Passes() = 0;
    virtual int64_t Sends() = 0;
    // Images one frame sends for areas apart from each other (the X11 face
    // unites them through shared memory).
    virtual int SendsForAreas(int areas) = 0;
    // The window can be seen: it and its ancestors shown, not covered.
    virtual bool Showing() = 0;

    // --- hiding the host's frame
    // The ways the host (or another program) can hide the editor window.
    virtual std::vector<std::string> WaysToHide() = 0;
    virtual void Hide(ParentWindow& frame, const std::string& way) = 0;
    virtual void Unhide(ParentWindow& frame, const std::string& way) = 0;

    // --- the value prompt
    virtual bool PromptOpen() = 0;
    virtual int PromptState() = 0;
    virtual Control* PromptControl() = 0;
    // The widget's place in the view; for a list, its top row.
    virtual Rect PromptBox() = 0;
    virtual std::string PromptText() = 0;
    virtual std::vector<std::string> PromptEntries() = 0;
    virtual int PromptSelection() = 0;
    // The user replaces the field's text (null: leaves it as shown; "" clears it).
    virtual void TypeInPrompt(const char* text) = 0;
    virtual void PressEnter() = 0;
    // The user picks a row of the list (a choice commits on the next tick).
    virtual void ChooseRow(int row) = 0;
    // The widget takes or loses the keyboard.
    virtual void FocusPrompt() = 0;
    virtual void UnfocusPrompt() = 0;

    // --- the system
    // The folder separator and the folder of the test program.
    virtual char Separator() = 0;
    virtual std::string ProgramFolder() = 0;
};

// One driver of the faces this platform has, by name.
struct FaceKind {
    std::string name;
    std::unique_ptr<FaceDriver> (*make)();
};

// The faces of this platform (face_x11.cpp or face_win.cpp).
std::vector<FaceKind> PlatformFaces();

// A face kind in the test framework's messages: its name.
inline void PrintTo(const FaceKind& kind, std::ostream* out) {
    *out << kind.name;
}
