// The cost of the editor's drawing passes: one pass over the whole editor and
// one redrawing a single knob, on an offscreen editor of the product's size
// with its background, knobs with glows, arcs and pointers, switches with
// alpha, a bar-graph display and a display of anti-aliased curves.
//
// Prints "full repaint: <ms> ms" and "knob repaint: <ms> ms", each the median
// of several batches' mean time per pass.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "editor/control.h"
#include "editor/offscreen_editor.h"

namespace {

constexpr int kWidth = 675;
constexpr int kHeight = 619;

// A knob as the effect draws it: its glow bitmap, the value as an arc and a
// pointer line.
class BenchKnob : public Control {
public:
    BenchKnob(int x, int y, const BitmapRef& glow, double value)
        : Control(nullptr, Rect(x, y, x + glow.mW, y + glow.mH), -1, BlendAlpha), mGlow(glow) {
        mValue = value;
    }
    bool Draw(Editor* editor) override {
        const float cx = (mRect.L + mRect.R) * 0.5f, cy = (mRect.T + mRect.B) * 0.5f;
        const float r = (mRect.R - mRect.L) * 0.4f;
        const float end = float(-2.4 + 4.8 * mValue);
        editor->DrawBitmap(mGlow, mRect, 0, 0, &mBlend);
        editor->DrawArc(Color(255, 90, 200, 255), cx, cy, r, -2.4f, end, nullptr, true);
        editor->DrawArc(Color(120, 90, 200, 255), cx, cy, r + 1.5f, -2.4f, end, nullptr, true);
        editor->DrawLine(Color(255, 255, 255, 255), cx, cy, cx + r * std::sin(end),
                         cy - r * std::cos(end), nullptr, true);
        return true;
    }

private:
    BitmapRef mGlow;
};

// A display as the effect draws them: a bar graph of level columns with a
// threshold line, or an anti-aliased curve over a grid.
class BenchDisplay : public Control {
public:
    BenchDisplay(const Rect& rect, bool bars)
        : Control(nullptr, rect, -1, BlendAlpha), mBars(bars) {}
    bool Draw(Editor* editor) override {
        const int w = mRect.W(), h = mRect.H();
        if (mBars) {
            for (int i = 0; i < w; ++i) {
                const int top = mRect.B - 1 - int(h * (0.5 + 0.45 * std::sin(i * 0.05)));
                const int green = 80 + (i * 7) % 150;
                editor->DrawVerticalLine(Color(255, 20, green, 40), mRect.L + i, top, mRect.B - 1);
            }
        } else {
            for (int g = 1; g < 8; ++g)
                editor->DrawHorizontalLine(Color(255, 40, 40, 40), mRect.T + g * h / 8, mRect.L,
                                           mRect.R - 1);
            float px = float(mRect.L), py = float(mRect.B - 1);
            for (int i = 1; i <= 150; ++i) {
                const float x = mRect.L + float(i) * (w - 1) / 150.0f;
                const float y =
                    mRect.T + h * (0.5f + 0.4f * std::sin(i * 0.13f) * std::exp(-i / 120.0f));
                editor->DrawLine(Color(255, 80, 255, 120), px, py, x, y, nullptr, true);
                px = x;
                py = y;
            }
            for (int p = 0; p < 7; ++p)
                editor->DrawCircle(Color(255, 255, 255, 255), mRect.L + 10.0f + p * w / 7.0f,
                                   mRect.T + h / 2.0f, 4.0f, nullptr, true);
        }
        editor->DrawHorizontalLine(Color(255, 0, 110, 255), mRect.T + h / 3, mRect.L, mRect.R - 1);
        return true;
    }

private:
    bool mBars;
};

// The median of batches of mean milliseconds per pass.
template <typename Pass>
double MedianMs(Pass pass, int perBatch) {
    std::vector<double> batches;
    for (int b = 0; b < 9; ++b) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < perBatch; ++i)
            pass();
        const auto t1 = std::chrono::steady_clock::now();
        batches.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count() / perBatch);
    }
    std::sort(batches.begin(), batches.end());
    return batches[batches.size() / 2];
}

} // namespace

int main() {
    OffscreenEditor editor(nullptr, kWidth, kHeight, 0);
    editor.PrepareSurface();
    editor.SetBackground(100, "bg.png");
    const BitmapRef glow = editor.LoadEditorBitmap(104, "knob-glow.png", 1);
    const BitmapRef on = editor.LoadEditorBitmap(103, "blinkon.png", 1);
    const BitmapRef off = editor.LoadEditorBitmap(102, "blinkoff.png", 1);
    const BitmapRef button = editor.LoadEditorBitmap(101, "button.png", 1);
    if (!glow.mBitmap || !on.mBitmap || !off.mBitmap || !button.mBitmap) {
        std::fprintf(stderr, "editor_bench: the editor's pictures are missing\n");
        return 1;
    }
    std::vector<Rect> knobs;
    for (int i = 0; i < 12; ++i) {
        const int x = 40 + (i % 6) * 100, y = 40 + (i / 6) * 70;
        editor.AddControl(new BenchKnob(x, y, glow, (i + 1) / 13.0));
        knobs.push_back(Rect(x, y, x + glow.mW, y + glow.mH));
    }
    for (int i = 0; i < 16; ++i) {
        const BitmapRef& picture = i % 3 == 0 ? on : i % 3 == 1 ? off : button;
        editor.AddControl(new BitmapControl(nullptr, 30 + (i % 8) * 75, 200 + (i / 8) * 40, -1,
                                            picture, BlendAlpha));
    }
    editor.AddControl(new BenchDisplay(Rect(170, 300, 645, 471), true));
    editor.AddControl(new BenchDisplay(Rect(170, 480, 645, 600), false));

    const Rect all(0, 0, kWidth, kHeight);
    const Rect knob = knobs[7];
    // Warm the caches and the pages of the back buffer.
    for (int i = 0; i < 20; ++i)
        editor.Draw(all);
    const double full = MedianMs([&] { editor.Draw(all); }, 50);
    const double one = MedianMs([&] { editor.Draw(knob); }, 2000);
    std::printf("controls: %d\n", editor.ControlCount());
    std::printf("full repaint: %.3f ms\n", full);
    std::printf("knob repaint: %.4f ms\n", one);
    return 0;
}
