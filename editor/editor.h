// The platform-neutral editor core: the ordered list of controls, the editor's
// size and frame rate, parameter values shown in the bound controls, dirty
// gathering and the drawing pass, and mouse routing with capture and hover.
//
// It also declares the drawing interface that the software drawing layer
// (editor/raster_editor.h) and the windows (editor/editor_win.h, editor_x11.h)
// implement. The core implements SetSize, IsWindowOpen and SetBackground.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "draw/paint.h"
#include "editor/types.h"
#include "plug/editor_face.h"

class Control;
class EffectBase;
class Param;

// Mouse routing also frames the user's gestures for the host (see
// EffectBase::BeginGesture): a press to its release, a double click, and a
// burst of wheel steps on one control (ended by kWheelQuietMs of quiet, a
// press, a step on another control or the mouse leaving the window).
class Editor : public EditorFace {
public:
    // fps <= 0 means 24 frames per second.
    Editor(EffectBase* effect, int32_t width, int32_t height, int32_t fps);
    ~Editor() override;
    Editor(const Editor&) = delete;
    Editor& operator=(const Editor&) = delete;

    // --- controls and parameter values
    // Appends a control (the editor owns it from now on); returns its index
    // (-1 for null).
    int32_t AddControl(Control* control);
    // Loads the one-frame background bitmap and inserts it as control 0.
    virtual void SetBackground(int resourceId, const char* fileName);
    // Shows a parameter's value in every control bound to it (normalized, or
    // converted with the parameter's NormalizedOf). Any thread.
    void ShowParamValue(int32_t index, double value, bool normalized) override;
    // The user's value for a parameter, committed through the bound controls.
    void UserParamValue(int32_t index, double normalized);
    // Limits the controls bound to a parameter to low..high.
    void SetParamClamp(int32_t index, double low, double high, bool normalized);

    // --- drawing pass and mouse routing (the window's thread)
    // Unites the rectangles of the dirty controls into rect; false if none.
    // Each frame starts here, so it also ends a quiet wheel burst.
    bool IsDirty(Rect& rect);
    // The areas the dirty controls will change (Control::ChangedArea),
    // overlapping ones united, into rects (cleared first); false if none. A
    // dirty control that will change nothing is done with at once. A control
    // that plans a scroll (Control::PlanScroll) has its pixels moved here, in
    // the back buffer (ScrollBack), and only what the move leaves to draw
    // joins rects; true then even when that is nothing.
    bool DirtyRects(std::vector<Rect>& rects);
    // Draws the controls that meet rect into the back buffer, then PaintRect.
    bool Draw(const Rect& rect);
    // One drawing pass over several areas: each area's controls drawn into it,
    // then PaintRects for them all.
    bool DrawRects(const std::vector<Rect>& rects);
    // The control that takes the mouse at (x, y): the captured one, else the
    // topmost visible, ungreyed control hit there; -1 if none.
    int32_t ControlAt(int x, int y) const;
    void OnMouseDown(int x, int y, const MouseKeys& mod);
    void OnMouseUp(int x, int y);
    void OnMouseDrag(int x, int y, const MouseKeys& mod);
    void OnMouseDblClick(int x, int y, const MouseKeys& mod);
    void OnMouseWheel(int x, int y, const MouseKeys& mod, int steps);
    // False when hover routing is off; the window then tracks nothing.
    bool OnMouseOver(int x, int y, const MouseKeys& mod);
    void OnMouseOut();
    // Ends a burst of wheel steps that has been quiet for kWheelQuietMs; the
    // faces' frames call it (through IsDirty or DirtyRects).
    void EndQuietWheel();
    // Wheel steps on one control with pauses shorter than this are one gesture.
    static constexpr int64_t kWheelQuietMs = 400;
    // Adds r to a frame's areas, united with every area it meets (the faces
    // add the areas a scroll moved to a frame's drawn ones).
    static void AddDirtyRect(std::vector<Rect>& rects, Rect r);

    // --- the drawing interface. Coordinates are editor pixels; a null blend
    // means BlendAlpha at weight 1.0. Drawing calls return true when done.
    void PrepareSurface() override = 0;
    virtual bool PaintRect(const Rect& rect) = 0;
    // Moves the back buffer's pixels inside area by dx columns (negative: to
    // the left; what leaves area is dropped, what the move leaves behind keeps
    // its old pixels) and sees that the window shows the moved pixels by the
    // next PaintRects at the latest. False when this face does not move
    // pixels (the default): the frame then draws the control's whole change.
    virtual bool ScrollBack(const Rect& area, int dx);
    // Shows the areas of one drawing pass: PaintRect for each, unless the face
    // sends them otherwise.
    virtual bool PaintRects(const std::vector<Rect>& rects);
    // Draws the bitmap's pixels from (srcX, srcY) into dest, clipped to the pass.
    virtual bool DrawBitmap(const BitmapRef& bitmap, const Rect& dest, int srcX, int srcY,
                            const Blend* blend) = 0;
    // Draws the bitmap rotated by angle (radians) about (cx, cy).
    virtual bool DrawRotatedBitmap(const BitmapRef& bitmap, int cx, int cy, double angle,
                                   int yOffset, const Blend* blend) = 0;
    // The base bitmap cut by the mask rotated by angle (degrees), topped by top.
    virtual bool DrawMaskedRotated(const BitmapRef& base, const BitmapRef& mask,
                                   const BitmapRef& top, int x, int y, double angle,
                                   const Blend* blend) = 0;
    virtual bool DrawPoint(const Color& color, float x, float y, const Blend* blend) = 0;
    virtual bool WritePixel(const Color& color, int x, int y) = 0;
    // count pixel words written down column x from row y, word i to row
    // y + i * dir (dir 1 or -1), exactly as count WritePixel calls would; true
    // when every pixel lay inside the back buffer. The faces write the column
    // straight into the buffer.
    virtual bool WriteColumn(int x, int y, int dir, const uint32_t* words, int count);
    virtual bool DrawLine(const Color& color, float x1, float y1, float x2, float y2,
                          const Blend* blend, bool antiAlias) = 0;
    // Angles in radians, 0 at 12 o'clock, growing clockwise.
    virtual bool DrawArc(const Color& color, float cx, float cy, float r, float startAngle,
                         float endAngle, const Blend* blend, bool antiAlias) = 0;
    virtual bool DrawCircle(const Color& color, float cx, float cy, float r, const Blend* blend,
                            bool antiAlias) = 0;
    virtual bool FillColorRect(const Color& color, const Rect& rect, const Blend* blend) = 0;
    // Draws text into rect with the style's face, size, colour and alignment.
    // A null text draws nothing and returns true.
    virtual bool DrawString(const TextStyle& style, const char* text, const Rect& rect) = 0;
    // The back buffer's pixel at (x, y); 0 outside.
    virtual Color GetPoint(int x, int y) = 0;
    // New size: the capture, hover and last position are forgotten and every
    // control deleted (the caller attaches its controls again). Negative sizes
    // count as 0.
    virtual void SetSize(int32_t width, int32_t height);
    // True when WindowHandle is not null.
    bool IsWindowOpen() override;
    // Opens the window's value prompt for a control and its parameter.
    virtual void OpenValuePrompt(Control* control, Param* param) = 0;
    // Folder of the host program / of this module, with its trailing separator;
    // empty when unknown.
    virtual void HostDirectory(std::string& out) = 0;
    virtual void ModuleDirectory(std::string& out) = 0;
    // Open (action 0) or save (action 1) dialog; out stays empty on cancel.
    virtual void AskForFile(std::string& out, int action, const char* directory,
                            const char* extensions) = 0;
    // Colour chooser: false on cancel; OK stores R, G, B in color.
    virtual bool AskForColor(Color& color, const char* prompt) = 0;
    // Opens a document or address with the system; true on success.
    virtual bool OpenDocument(const char* path) = 0;
    void* OpenEditorWindow(void* parent) override = 0;
    void CloseEditorWindow() override = 0;
    virtual void* WindowHandle() = 0;
    // Loads an image by resource id (the file name is informative) with frames
    // stacked vertically; the editor keeps it. A missing image: null bitmap.
    virtual BitmapRef LoadEditorBitmap(int resourceId, const char* fileName, int frames) = 0;
    // Scaled and cut-out copies, owned by the editor.
    virtual BitmapRef ScaledCopy(const BitmapRef& bitmap, int width, int height) = 0;
    virtual BitmapRef CutOutCopy(const BitmapRef& bitmap, const Rect& rect) = 0;
    // One-pixel lines stored without blending, limited to the view.
    virtual bool DrawVerticalLine(const Color& color, int x, int yLo, int yHi) = 0;
    virtual bool DrawHorizontalLine(const Color& color, int y, int xLo, int xHi) = 0;
    // The editor takes ownership of / deletes a bitmap.
    virtual void KeepBitmap(const BitmapRef& bitmap) = 0;
    virtual void DropBitmap(const BitmapRef& bitmap) = 0;

    // Frame frameIndex (1-based) of a multi-frame bitmap into dest.
    bool DrawBitmapFrame(const BitmapRef& bitmap, const Rect& dest, int frameIndex,
                         const Blend* blend);

    // --- accessors
    EffectBase* Effect() const { return mEffect; }
    int32_t ViewWidth() const override { return mViewWidth; }
    int32_t ViewHeight() const override { return mViewHeight; }
    int32_t Fps() const { return mFps; }
    const Rect& DrawRect() const { return mDrawRect; }
    // What the current drawing may change: the pass's area in a drawing pass,
    // the whole view outside one (a control may skip what lies beyond it).
    Rect PassArea() const { return mInPass ? mDrawRect : Rect(0, 0, mViewWidth, mViewHeight); }
    // A drawing pass (Draw, DrawRects) is on.
    bool InPass() const { return mInPass; }
    int32_t ControlCount() const { return int32_t(mControls.size()); }
    Control* ControlAtIndex(int32_t i) const;
    void SetTrackHover(bool on) { mTrackHover = on; }
    bool TrackHover() const { return mTrackHover; }
    int32_t Capture() const { return mCapture; }
    int32_t Hover() const { return mHover; }

protected:
    // Draws the controls that meet rect into the back buffer.
    void DrawArea(const Rect& rect);
    // Whether a visible control after the one at index (drawn over it) meets area.
    bool CoveredAfter(size_t index, const Rect& area) const;

    std::vector<std::unique_ptr<Control>> mControls;
    std::vector<Rect> mScrollRedraw; // one control's PlanScroll, reused
    EffectBase* mEffect;
    Rect mDrawRect;
    bool mInPass = false; // the controls are drawing into mDrawRect
    int32_t mViewWidth;
    int32_t mViewHeight;
    int32_t mFps;
    int32_t mCapture = -1;
    int32_t mHover = -1;
    int32_t mLastX = 0, mLastY = 0;
    bool mTrackHover = false;
    // The open wheel burst (a gesture of the plug-in's): its control and the
    // time of its last step.
    int32_t mWheelControl = -1;
    int64_t mWheelLastMs = 0;
    // Guards the shape of mControls against host threads showing values:
    // taken by ShowParamValue and SetParamClamp, and by the editor thread only
    // while it adds, inserts or removes controls (never around calls into the
    // plug-in; controls are destroyed after it is released).
    std::mutex mListLock;
};
