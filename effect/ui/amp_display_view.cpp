// The display's drawing: the plot's frame and axes, the length slider, the
// level columns, the input line, the envelope shape and its point markers,
// all from the pass's picture with no lock held.
#include "effect/ui/amp_display.h"

#include <cmath>
#include <cstdio>

#include "editor/editor.h"
#include "effect/ui/palette.h"

Color AmpDisplay::ShapeColor(double strength) {
    const int s = TruncClamp(strength * 256.0, 0, 256);
    return Color(255, kHalfAzure.mR + (kAzure.mR - kHalfAzure.mR) * s / 256,
                 kHalfAzure.mG + (kAzure.mG - kHalfAzure.mG) * s / 256,
                 kHalfAzure.mB + (kAzure.mB - kHalfAzure.mB) * s / 256);
}

int AmpDisplay::SliderLeft(int length, int minLength, int maxLength) {
    if (maxLength <= minLength) return kPlotLeft;
    const double f = double(length - minLength) / double(maxLength - minLength);
    return kPlotLeft + TruncClamp(f * (kColumns - 40), -kColumns, 2 * kColumns);
}

bool AmpDisplay::Draw(Editor* editor) {
    if (!editor) return false;
    // The picture ChangedArea took is what this pass shows.
    if (!mPictureTaken || !editor->InPass()) TakePicture();
    Picture& pic = mPicture;

    if (pic.length != mAxisLength || pic.sampleRate != mAxisRate) {
        mTimeAxis.BuildTimeTicks(0.0, double(pic.length), double(pic.sampleRate), true);
        mAxisLength = pic.length;
        mAxisRate = pic.sampleRate;
    }
    if (pic.scale != mAxisScale) {
        mLevelAxis.BuildAmpTicks(0.0, pic.scale, false);
        mAxisScale = pic.scale;
    }
    const double beats = double(pic.length) / pic.sampleRate * pic.tempo / 60.0;
    std::snprintf(mBeatsText, sizeof mBeatsText, "%.2f beats", std::isfinite(beats) ? beats : 0.0);

    const Rect plot(kPlotLeft, kPlotTop, kPlotRight, kPlotBottom);
    bool ok = true;
    // 2. The plot's outline, left of the first column as in the detect panel,
    // so that no column covers it.
    ok = editor->DrawHorizontalLine(kBlack, kPlotTop, kPlotLeft - 1, kPlotRight) && ok;
    ok = editor->DrawHorizontalLine(kBlack, kPlotBottom, kPlotLeft - 1, kPlotRight) && ok;
    ok = editor->DrawVerticalLine(kBlack, kPlotLeft - 1, kPlotTop, kPlotBottom) && ok;
    ok = editor->DrawVerticalLine(kBlack, kPlotRight, kPlotTop, kPlotBottom) && ok;
    // 3. Time axis above, mirrored level axis on the left.
    ok = mTimeAxis.DrawTimeScale(editor, mTextStyle, plot, kGrid, true) && ok;
    ok = mLevelAxis.DrawCentredScale(editor, mTextStyle, plot, kGrid, true) && ok;
    // 4. The length in beats.
    TextStyle right = mTextStyle;
    right.mAlign = TextStyle::AlignRight;
    ok = editor->DrawString(right, mBeatsText,
                            Rect(kPlotRight - 29, kPlotTop + 3, kPlotRight - 2, kPlotTop + 8)) &&
         ok;
    // 5. - 10.
    ok = DrawSlider(editor, pic) && ok;
    ok = DrawColumns(editor, pic) && ok;
    if (pic.showInput) {
        const Blend copy(BlendCopy, 1.0f);
        // Only the lines that reach the columns the pass can change.
        const Rect area = editor->PassArea();
        const int from = area.L > kPlotLeft + 1 ? area.L - kPlotLeft - 1 : 0;
        const int to = area.R < kPlotRight ? area.R - kPlotLeft : kColumns;
        for (int k = from; k < to && k + 1 < kColumns; ++k) {
            const Column &a = pic.columns[size_t(k)], &b = pic.columns[size_t(k + 1)];
            const float x = float(kPlotLeft + k);
            ok =
                editor->DrawLine(kWhite, x, float(a.yLevel), x + 1, float(b.yLevel), &copy, true) &&
                ok;
            ok = editor->DrawLine(kWhite, x, float(a.yMirror), x + 1, float(b.yMirror), &copy,
                                  true) &&
                 ok;
        }
    }
    ok = DrawShape(editor, pic) && ok;
    ok = DrawMarkers(editor, pic) && ok;
    RecordShown(editor->PassArea());
    return ok;
}

bool AmpDisplay::DrawSlider(Editor* editor, const Picture& pic) {
    const int left = SliderLeft(pic.length, pic.minLength, pic.maxLength);
    const int right = left + 40;
    const bool lit = pic.hoverZone == kZoneSlider || pic.dragZone == kZoneSlider;
    const Color color = lit ? kAzure : kHalfAzure;
    const int y = kPlotTop - 1;
    bool ok =
        editor->DrawLine(color, float(left), float(y), float(right), float(y), nullptr, false);
    // An arrowhead 8 pixels wide and 5 high pointing away from the thumb (dir
    // -1 left, +1 right) from the base at x: rows filled toward the tip, the
    // middle line and the two slanted edges antialiased.
    auto arrow = [&](int x, int dir) {
        const int tip = x + 8 * dir;
        for (int dy = -2; dy <= 2; ++dy) {
            const int reach = 8 - 4 * (dy < 0 ? -dy : dy);
            ok = editor->DrawLine(color, float(x), float(y + dy), float(x + reach * dir),
                                  float(y + dy), nullptr, false) &&
                 ok;
        }
        ok =
            editor->DrawLine(color, float(x), float(y), float(tip), float(y), nullptr, false) && ok;
        ok = editor->DrawLine(color, float(tip), float(y), float(x), float(y - 2), nullptr, true) &&
             ok;
        ok = editor->DrawLine(color, float(tip), float(y), float(x), float(y + 2), nullptr, true) &&
             ok;
    };
    if (left < kPlotLeft + 4)
        ok = editor->DrawLine(color, float(left), float(kPlotTop - 3), float(left),
                              float(kPlotTop + 1), nullptr, false) &&
             ok;
    else
        arrow(left, -1);
    if (right > kPlotRight - 5)
        ok = editor->DrawLine(color, float(right), float(kPlotTop - 3), float(right),
                              float(kPlotTop + 1), nullptr, false) &&
             ok;
    else
        arrow(right, 1);
    return ok;
}

bool AmpDisplay::DrawColumns(Editor* editor, const Picture& pic) {
    bool ok = true;
    const std::vector<Column>& cols = pic.columns;
    // Only the columns the pass can change.
    const Rect area = editor->PassArea();
    const int from = area.L > kPlotLeft ? area.L - kPlotLeft : 0;
    const int to = area.R < kPlotRight ? area.R - kPlotLeft : kColumns;
    for (int k = from; k < to; ++k) {
        const Column& c = cols[size_t(k)];
        const int x = kPlotLeft + k;
        const int mid = (c.yMin + c.yMax) / 2;
        // Upper half from the middle up to the maximum's row, lower half from
        // the middle down to the minimum's row, each a gradient from its base.
        const int up = mid - c.yMax, down = c.yMin - mid;
        ok = editor->WriteColumn(x, mid - 1, -1, mGradient.Run(up), up) && ok;
        ok = editor->WriteColumn(x, mid + 1, 1, mGradient.Run(down), down) && ok;
        // Fading outlines toward a higher neighbour top, a lower neighbour bottom.
        int top = c.yMax, bottom = c.yMin;
        for (int n : {k - 1, k + 1}) {
            if (n < 0 || n >= kColumns) continue;
            if (cols[size_t(n)].yMax < top) top = cols[size_t(n)].yMax;
            if (cols[size_t(n)].yMin > bottom) bottom = cols[size_t(n)].yMin;
        }
        if (top < c.yMax) {
            const int m = c.yMax - top;
            ok = editor->WriteColumn(x, c.yMax, -1, mFade.Run(m + 1), m + 1) && ok;
        }
        if (bottom > c.yMin) {
            const int m = bottom - c.yMin;
            ok = editor->WriteColumn(x, c.yMin, 1, mFade.Run(m + 1), m + 1) && ok;
        }
    }
    return ok;
}

bool AmpDisplay::DrawShape(Editor* editor, const Picture& pic) {
    bool ok = true;
    const Color color = ShapeColor(pic.strength);
    const float mirror = 2.0f * kCentreY;
    for (int s = 0; s < 3; ++s) {
        const M::Point &q0 = pic.points[2 * s], &q1 = pic.points[2 * s + 1],
                       &q2 = pic.points[2 * s + 2];
        float px = float(q0.x), py = float(q0.y);
        for (int i = 1; i <= 20; ++i) {
            const float t = float(i) / 20.0f, u = 1.0f - t;
            const float x = u * u * q0.x + 2.0f * t * u * q1.x + t * t * q2.x;
            const float y = u * u * q0.y + 2.0f * t * u * q1.y + t * t * q2.y;
            ok = editor->DrawLine(color, px, py, x, y, nullptr, true) && ok;
            ok = editor->DrawLine(color, px, mirror - py, x, mirror - y, nullptr, true) && ok;
            px = x;
            py = y;
        }
    }
    // The control lines through P3.
    for (int i : {2, 4}) {
        const M::Point &a = pic.points[i], &b = pic.points[3];
        ok = editor->DrawLine(kLightGrey, float(a.x), float(a.y), float(b.x), float(b.y), nullptr,
                              true) &&
             ok;
        ok = editor->DrawLine(kLightGrey, float(a.x), float(a.mirrorY), float(b.x),
                              float(b.mirrorY), nullptr, true) &&
             ok;
    }
    return ok;
}

bool AmpDisplay::DrawMarkers(Editor* editor, const Picture& pic) {
    bool ok = true;
    const Blend copy(BlendCopy, 1.0f);
    for (int i : {2, 3, 4, 6}) {
        const M::Point& p = pic.points[i];
        const Color square = pic.hovered[i] || pic.dragged[i] ? kRed : kBlack;
        for (int y : {p.y, p.mirrorY}) {
            ok = editor->DrawCircle(kWhite, float(p.x), float(y), 2.0f, &copy, true) && ok;
            ok = editor->FillColorRect(square, Rect(p.x - 1, y - 1, p.x + 2, y + 2), &copy) && ok;
        }
    }
    return ok;
}
