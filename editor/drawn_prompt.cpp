#include "editor/drawn_prompt.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <vector>

#include "editor/text_raster.h"
#include "editor/value_prompt.h"

namespace {

const TextStyle kPromptStyle(14, Color(255, 0, 0, 0), "Arial", TextStyle::Normal,
                             TextStyle::AlignCenter, 0);
constexpr uint32_t kPromptBack = 0xFFFFFFFFu;
constexpr uint32_t kPromptBorder = 0xFF7A7A7Au;
constexpr uint32_t kPromptHighlight = 0xFF3399FFu;
constexpr uint32_t kPromptCaret = 0xFF000000u;
constexpr int kRow = WindowFace::kPromptRowHeight;

// Fills r (cut to the bitmap) with one pixel word.
void FillPixels(Bitmap& bitmap, const Rect& r, uint32_t word) {
    uint32_t* pixels = bitmap.Pixels();
    if (!pixels) return;
    const int l = std::max(r.L, 0), t = std::max(r.T, 0);
    const int rr = std::min(r.R, bitmap.Width()), b = std::min(r.B, bitmap.Height());
    for (int y = t; y < b; ++y)
        for (int x = l; x < rr; ++x)
            pixels[size_t(y) * bitmap.RowSpan() + x] = word;
}

// r moved inside a view of width x height, keeping its size (to the top left
// when it is larger than the view).
Rect ClampToView(Rect r, int width, int height) {
    const int w = r.W(), h = r.H();
    if (r.R > width) r.L = width - w;
    if (r.B > height) r.T = height - h;
    r.L = std::max(r.L, 0);
    r.T = std::max(r.T, 0);
    return Rect(r.L, r.T, r.L + w, r.T + h);
}

} // namespace

void DrawnPrompt::Place(const WindowFace::PromptPlace& place, int viewWidth, int viewHeight) {
    const std::vector<std::string>& entries = mModel.Entries();
    mList = mModel.IsList();
    mTextShown = mModel.Shown();
    mCaret = mTextShown.size();
    mSelectAll = true;
    mSelected = mModel.ShownEntry();
    mHot = -1;
    const int cx = place.cx, cy = place.cy;
    if (mList) {
        const int width = place.listWidth;
        mRect = Rect(cx - width / 2, cy - 8, cx - width / 2 + width,
                     cy - 8 + kRow * int(entries.size()));
    } else {
        int w = 0, h = 0;
        mText.Measure(kPromptStyle, mTextShown.c_str(), w, h);
        const int width = std::max(32, w + 8);
        mRect = Rect(cx - width / 2, cy - 8, cx - width / 2 + width, cy + 8);
    }
    mRect = ClampToView(mRect, viewWidth, viewHeight);
}

void DrawnPrompt::ShowText(const std::string& text) {
    mTextShown = text;
    mCaret = mTextShown.size();
    Render();
}

std::string DrawnPrompt::Typed() const {
    if (!mList) return mTextShown;
    const std::vector<std::string>& entries = mModel.Entries();
    const bool chosen = mSelected >= 0 && size_t(mSelected) < entries.size();
    return chosen ? entries[size_t(mSelected)] : std::string();
}

void DrawnPrompt::Render() {
    const int w = mRect.W(), h = mRect.H();
    mPixels.Resize(w, h);
    if (!mPixels.Pixels()) return;
    FillPixels(mPixels, Rect(0, 0, w, h), kPromptBack);
    TextStyle style = kPromptStyle;
    if (mList) {
        style.mAlign = TextStyle::AlignLeft;
        const int lit = mHot >= 0 ? mHot : mSelected;
        const std::vector<std::string>& entries = mModel.Entries();
        for (int i = 0; i < int(entries.size()); ++i) {
            const Rect row(0, i * kRow, w, (i + 1) * kRow);
            style.mColor = Color(255, 0, 0, 0);
            if (i == lit) {
                FillPixels(mPixels, row, kPromptHighlight);
                style.mColor = Color(255, 255, 255, 255);
            }
            mText.Draw(mPixels, Rect(), style, entries[size_t(i)].c_str(),
                       Rect(4, row.T + 1, w - 2, row.B));
        }
    } else {
        const Rect inner(1, 1, w - 1, h - 1);
        int tw = 0, th = 0;
        mText.Measure(style, mTextShown.c_str(), tw, th);
        const int left = (inner.L + inner.R - tw) / 2;
        const bool focused = mModel.State() == PromptFocused;
        if (focused && mSelectAll && !mTextShown.empty()) {
            FillPixels(mPixels, Rect(left, 2, left + tw, h - 2), kPromptHighlight);
            style.mColor = Color(255, 255, 255, 255);
        }
        mText.Draw(mPixels, Rect(), style, mTextShown.c_str(), inner);
        if (focused && !mSelectAll) {
            int cw = 0;
            mText.Measure(style, mTextShown.substr(0, mCaret).c_str(), cw, th);
            FillPixels(mPixels, Rect(left + cw, 2, left + cw + 1, h - 2), kPromptCaret);
        }
    }
    // The frame.
    FillPixels(mPixels, Rect(0, 0, w, 1), kPromptBorder);
    FillPixels(mPixels, Rect(0, h - 1, w, h), kPromptBorder);
    FillPixels(mPixels, Rect(0, 0, 1, h), kPromptBorder);
    FillPixels(mPixels, Rect(w - 1, 0, w, h), kPromptBorder);
}

bool DrawnPrompt::Mouse(int x, int y, bool press, bool& changed) {
    changed = false;
    const bool inside = mRect.Contains(x, y);
    if (mList) {
        const int row = inside ? (y - mRect.T) / kRow : -1;
        if (press && inside) {
            mSelected = row;
            mHot = -1;
            mModel.Enter(); // a choice in the list commits
        } else if (!press && row != mHot) {
            mHot = row;
        } else {
            return inside;
        }
    } else {
        if (!press || !inside) return inside;
        // The caret goes to the gap nearest to the click.
        int tw = 0, th = 0;
        mText.Measure(kPromptStyle, mTextShown.c_str(), tw, th);
        const int left = mRect.L + (mRect.W() - tw) / 2;
        size_t best = mTextShown.size();
        int bestDistance = INT_MAX;
        for (size_t i = 0; i <= mTextShown.size(); ++i) {
            int cw = 0;
            mText.Measure(kPromptStyle, mTextShown.substr(0, i).c_str(), cw, th);
            if (std::abs(left + cw - x) < bestDistance)
                bestDistance = std::abs(left + cw - x), best = i;
        }
        mCaret = best;
        mSelectAll = false;
        mModel.FocusGained();
    }
    Render();
    changed = true;
    return inside;
}

bool DrawnPrompt::Press(Key key, char ch) {
    if (key == kKeyEnter) {
        if (mList && mHot >= 0) mSelected = mHot;
        mModel.Enter();
        return false;
    }
    if (key == kKeyEscape) {
        mModel.Cancel();
        return false;
    }
    if (mList) {
        const int n = int(mModel.Entries().size());
        if (key == kKeyUp)
            mSelected = std::max(0, mSelected - 1);
        else if (key == kKeyDown)
            mSelected = std::min(n - 1, mSelected + 1);
        else
            return false;
        mHot = -1;
    } else {
        std::string& t = mTextShown;
        if (key == kKeyBackspace || key == kKeyDelete) {
            if (mSelectAll) {
                t.clear();
                mCaret = 0;
            } else if (key == kKeyBackspace && mCaret > 0) {
                t.erase(--mCaret, 1);
            } else if (key == kKeyDelete && mCaret < t.size()) {
                t.erase(mCaret, 1);
            }
        } else if (key == kKeyLeft) {
            if (mCaret > 0 && !mSelectAll) --mCaret;
        } else if (key == kKeyRight) {
            if (mCaret < t.size()) ++mCaret;
        } else if (key == kKeyHome) {
            mCaret = 0;
        } else if (key == kKeyEnd) {
            mCaret = t.size();
        } else if (key == kKeyChar && ch >= 0x20 && ch < 0x7F) {
            if (mSelectAll) {
                t.clear();
                mCaret = 0;
            }
            if (t.size() < ValuePrompt::kMaxText) t.insert(mCaret++, 1, ch);
        } else {
            return false;
        }
        mSelectAll = false;
    }
    Render();
    return true;
}
