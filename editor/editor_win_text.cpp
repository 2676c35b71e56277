// The Win32 face's text: drawn by GDI into the back buffer's device context,
// in the font the first text asked for.
#include "editor/editor_win.h"

#include "editor/win_handles.h"

#include <cstring>

void* EditorWin::TextDc() {
    Bitmap* back = BackBuffer();
    HDC dc = back ? static_cast<HDC>(back->DeviceContext()) : nullptr;
    if (!dc) return nullptr;
    // A new back buffer (PrepareSurface again) has a new device context:
    // the font and the text settings move over to it.
    if (mFont && mFontDc != dc) {
        mOldFont = SelectObject(dc, static_cast<HFONT>(mFont));
        mFontDc = dc;
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(mTextColor.mR, mTextColor.mG, mTextColor.mB));
    }
    return dc;
}

void EditorWin::ReleaseTextFont() {
    if (!mFont) return;
    Bitmap* back = BackBuffer();
    HDC dc = back ? static_cast<HDC>(back->DeviceContext()) : nullptr;
    if (dc && dc == mFontDc && mOldFont) SelectObject(dc, static_cast<HGDIOBJ>(mOldFont));
    DeleteObject(static_cast<HGDIOBJ>(mFont));
    mFont = mFontDc = mOldFont = nullptr;
    mFontMade = false;
}

bool EditorWin::DrawString(const TextStyle& style, const char* text, const Rect& rect) {
    if (!text) return true;
    HDC dc = static_cast<HDC>(TextDc());
    if (!dc) return false;
    const COLORREF color = RGB(style.mColor.mR, style.mColor.mG, style.mColor.mB);
    if (!mFontMade) {
        // The first call's font serves every later text, whatever its style.
        char face[sizeof style.mFace];
        std::memcpy(face, style.mFace, sizeof face);
        face[sizeof face - 1] = 0;
        const int angle = style.mOrientation * 10;
        HFONT font =
            CreateFontA(style.mSize, 0, angle, angle, style.mStyle == TextStyle::Bold ? FW_BOLD : 0,
                        style.mStyle == TextStyle::Italic, 0, 0, 0, 0, 0, 0, 0, face);
        if (font) {
            mFont = font;
            mFontDc = dc;
            mOldFont = SelectObject(dc, font);
        }
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, color);
        mFontMade = true;
    } else if (style.mColor != mTextColor) {
        SetTextColor(dc, color);
    }
    mTextColor = style.mColor;

    UINT format = DT_NOCLIP | DT_LEFT;
    if (style.mAlign == TextStyle::AlignCenter) format = DT_NOCLIP | DT_CENTER;
    if (style.mAlign == TextStyle::AlignRight) format = DT_NOCLIP | DT_RIGHT;
    RECT box = {rect.L, rect.T, rect.R, rect.B};
    const int drawn = DrawTextA(dc, text, -1, &box, format);
    // GDI may still hold the text back; the software drawing that follows
    // must find it in the pixels.
    GdiFlush();
    return drawn != 0;
}
