// The editor's face as a user sees it: the background with the switches and
// two knob flashes composited at their places, written to kelo_face.png.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "draw/blit.h"
#include "draw/png_resource.h"
#include "tests/draw/draw_test_support.h"
#ifdef _WIN32
#include "draw/dib_bitmap.h"
#endif

namespace {

struct Placed {
    PixelRect rect;
    int imageId;
};

// Switches with the image each shows (101 off, 103 on), and the knobs that
// flash their glow (104) into the knob's square.
const Placed kPlaced[] = {
    {{96, 55, 125, 84}, 103},    {{64, 72, 93, 101}, 101},    {{71, 273, 100, 302}, 103},
    {{107, 273, 136, 302}, 101}, {{114, 308, 143, 337}, 101}, {{114, 369, 143, 398}, 103},
    {{120, 50, 157, 87}, 104},   {{54, 106, 91, 143}, 104},
};

std::unique_ptr<Bitmap> NewBackBuffer(int w, int h) {
#ifdef _WIN32
    return std::make_unique<DibBitmap>(w, h);
#else
    return std::make_unique<HeapBitmap>(w, h);
#endif
}

bool Inside(const PixelRect& r, int x, int y) {
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

} // namespace

TEST(EditorFace, CompositesSwitchesAndGlowsOnlyInsideTheirRectangles) {
    std::unique_ptr<Bitmap> bg(LoadPngResource(CurrentModule(), 100, nullptr));
    ASSERT_TRUE(bg);
    std::unique_ptr<Bitmap> images[5];
    for (int id = 101; id <= 104; ++id) {
        images[id - 100].reset(LoadPngResource(CurrentModule(), id, nullptr));
        ASSERT_TRUE(images[id - 100]) << id;
    }
    auto back = NewBackBuffer(1, 1);
    CopyBitmap(back.get(), bg.get());
    ASSERT_EQ(back->Width(), 675);
    ASSERT_EQ(back->Height(), 619);
    for (const Placed& p : kPlaced)
        BlitRect(back.get(), images[p.imageId - 100].get(), p.rect.left, p.rect.top, 0, 0,
                 p.rect.right - p.rect.left, p.rect.bottom - p.rect.top, 1.0f,
                 OpMix | UseSourceAlpha);

    std::vector<int> changed(sizeof kPlaced / sizeof kPlaced[0], 0);
    for (int y = 0; y < 619; ++y)
        for (int x = 0; x < 675; ++x) {
            const bool differs =
                (GetPixel(back.get(), x, y) ^ GetPixel(bg.get(), x, y)) & 0x00FFFFFF;
            bool covered = false;
            for (size_t i = 0; i < changed.size(); ++i)
                if (Inside(kPlaced[i].rect, x, y)) {
                    covered = true;
                    changed[i] += differs;
                }
            if (!covered) {
                ASSERT_FALSE(differs) << x << "," << y;
            }
        }
    for (size_t i = 0; i < changed.size(); ++i) {
        const PixelRect& r = kPlaced[i].rect;
        const int area = (r.right - r.left) * (r.bottom - r.top);
        // A lamp covers most of its square; a glow at least its rim.
        EXPECT_GT(changed[i], area / (kPlaced[i].imageId == 104 ? 5 : 2)) << i;
    }
    const char* path = "kelo_face.png";
    ASSERT_TRUE(WriteRgbPng(path, *back));
    std::printf("wrote %s\n", path);
}
