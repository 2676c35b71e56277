// The value prompt as a face draws it itself (the X11 face: X has no text
// field or list widget of its own): a text field with a caret and a selection,
// or a list of the parameter's value texts, rendered into a bitmap of its own
// that the face lays over the editor's picture. The face hands over the mouse
// and the keys as it translated them; what they mean for the prompt's state
// (Enter, Escape, the focus) goes to the shared ValuePrompt.
//
// Not thread-safe: the face uses it under its window lock.
#pragma once

#include <string>

#include "draw/bitmap.h"
#include "editor/types.h"
#include "editor/window_face.h"

class TextRaster;
class ValuePrompt;

class DrawnPrompt {
public:
    // The keys the prompt knows; kChar is a printable ASCII character.
    enum Key {
        kKeyEnter,
        kKeyEscape,
        kKeyUp,
        kKeyDown,
        kKeyLeft,
        kKeyRight,
        kKeyHome,
        kKeyEnd,
        kKeyBackspace,
        kKeyDelete,
        kKeyChar,
        kKeyOther,
    };

    // model is the prompt's state machine, text draws its texts; both outlive
    // this.
    DrawnPrompt(ValuePrompt& model, TextRaster& text) : mModel(model), mText(text) {}

    // Lays the widget out for the model (just opened) at place, kept inside a
    // view of viewWidth x viewHeight pixels: the whole text selected, the
    // shown entry chosen.
    void Place(const WindowFace::PromptPlace& place, int viewWidth, int viewHeight);
    // The field shows text (the parameter's text again), the caret at its end.
    void ShowText(const std::string& text);
    // A press, or a move with no button held, at view pixel (x, y): true when
    // it was inside the widget. changed: the widget was rendered anew.
    bool Mouse(int x, int y, bool press, bool& changed);
    // A key (ch: the character of kKeyChar): true when the widget was rendered
    // anew.
    bool Press(Key key, char ch);
    // Draws the widget into Pixels().
    void Render();

    // What a commit takes: the field's text, or the chosen entry ("" for none).
    std::string Typed() const;
    // The widget's place in the view.
    const Rect& Box() const { return mRect; }
    const std::string& Text() const { return mTextShown; }
    bool IsList() const { return mList; }
    // The chosen row of a list (-1 none).
    int Selected() const { return mSelected; }
    // The widget's picture, Box().W() x Box().H().
    const Bitmap& Pixels() const { return mPixels; }

private:
    ValuePrompt& mModel;
    TextRaster& mText;
    bool mList = false;
    Rect mRect;
    std::string mTextShown;
    size_t mCaret = 0;
    bool mSelectAll = false;
    int mSelected = -1;
    int mHot = -1; // the row under the pointer
    HeapBitmap mPixels;
};
