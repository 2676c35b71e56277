// Editor-level records: rectangles, mouse key flags and text styles.
#pragma once

#include <cstring>

#include "draw/paint.h"

// An integer rectangle in editor pixels (origin top left, y downwards); right
// and bottom are exclusive. All four zero is the empty rectangle.
struct Rect {
    int L = 0, T = 0, R = 0, B = 0;

    Rect() = default;
    Rect(int l, int t, int r, int b) : L(l), T(t), R(r), B(b) {}
    int W() const { return R - L; }
    int H() const { return B - T; }
    bool IsEmpty() const { return L == 0 && T == 0 && R == 0 && B == 0; }
    // Half-open hit test.
    bool Contains(int x, int y) const { return L <= x && x < R && T <= y && y < B; }
    // Whether every pixel of o lies inside this one.
    bool Covers(const Rect& o) const { return L <= o.L && T <= o.T && R >= o.R && B >= o.B; }
    // The smallest rectangle holding both; an empty one counts for nothing.
    Rect Union(const Rect& o) const {
        if (IsEmpty()) return o;
        if (o.IsEmpty()) return *this;
        return Rect(L < o.L ? L : o.L, T < o.T ? T : o.T, R > o.R ? R : o.R, B > o.B ? B : o.B);
    }
    // Neither empty, and they overlap (the other's right and bottom edges count).
    bool Intersects(const Rect& o) const {
        return !IsEmpty() && !o.IsEmpty() && R >= o.L && L < o.R && B >= o.T && T < o.B;
    }
    bool operator==(const Rect& o) const { return L == o.L && T == o.T && R == o.R && B == o.B; }
    bool operator!=(const Rect& o) const { return !(*this == o); }
};

// The span of columns 0 .. count-1 a change touches: from the first column k
// for which differs(k) holds to the last, widened by margin on each side and
// kept inside the columns. False (first and last untouched) when none differs.
template <typename Differs>
bool ChangedColumns(int count, int margin, Differs differs, int& first, int& last) {
    int lo = count, hi = -1;
    for (int k = 0; k < count; ++k)
        if (differs(k)) {
            if (lo > k) lo = k;
            hi = k;
        }
    if (hi < 0) return false;
    first = lo > margin ? lo - margin : 0;
    last = hi + margin < count ? hi + margin : count - 1;
    return true;
}

// The buttons and modifier keys held during a mouse event.
struct MouseKeys {
    bool L = false, R = false, S = false, C = false, A = false;
};

// How DrawString draws a text. Made from a colour alone: "Arial", 14 pixels,
// normal, centred.
struct TextStyle {
    enum { Normal = 0, Bold = 1, Italic = 2 };
    enum { AlignLeft = 0, AlignCenter = 1, AlignRight = 2 };

    char mFace[32] = "Arial";
    int mSize = 14;
    Color mColor;
    int mStyle = Normal;
    int mAlign = AlignCenter;
    int mOrientation = 0; // degrees

    TextStyle() = default;
    explicit TextStyle(const Color& color) : mColor(color) {}
    TextStyle(int size, const Color& color, const char* face, int style, int align, int orientation)
        : mSize(size), mColor(color), mStyle(style), mAlign(align), mOrientation(orientation) {
        if (face) {
            std::strncpy(mFace, face, sizeof mFace - 1);
            mFace[sizeof mFace - 1] = 0;
        }
    }
};
