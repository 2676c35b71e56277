// The built plug-in's editor as a host shows it: the host harness loads the
// binary, opens its editor, plays the demo signal and saves the picture, whose
// fixed elements are checked here.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "draw/png_resource.h"

namespace {

// The detect panel's plot; the default threshold (-12 dB under a scale of
// -3 dB, 140 pixels for 0.708) lies 49 pixels above its bottom.
const int kL = 204, kT = 43, kR = 643, kB = 183, kThresholdRow = kB - 49;

std::unique_ptr<Bitmap> TakePicture() {
    const std::string png = std::string(KELO_TEST_OUT_DIR) + "/editor_e2e.png";
    std::remove(png.c_str());
    std::string command = std::string("\"") + KELO_HOST_PROGRAM + "\" \"" + KELO_PRODUCT_PLUGIN +
                          "\" --play-demo 2 --editor-png \"" + png + "\" > /dev/null";
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) command = "xvfb-run -a -s '-screen 0 1024x768x24' " + command;
    if (std::system(command.c_str()) != 0) return nullptr;
    std::ifstream in(png, std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                           std::istreambuf_iterator<char>()};
    return std::unique_ptr<Bitmap>(bytes.empty() ? nullptr
                                                 : DecodePng(bytes.data(), bytes.size(), nullptr));
}

TEST(EditorPicture, ShowsTheOutlineTheThresholdAndTheDemosBars) {
    const std::unique_ptr<Bitmap> picture = TakePicture();
    ASSERT_NE(picture, nullptr) << "the harness wrote no picture of the editor";
    ASSERT_EQ(picture->Width(), 675);
    ASSERT_EQ(picture->Height(), 619);
    const auto is = [&](int x, int y, uint32_t rgb) {
        return (picture->Pixels()[y * picture->RowSpan() + x] & 0xFFFFFF) == rgb;
    };
    for (int x = kL - 1; x <= kR; x += 37)
        EXPECT_TRUE(is(x, kT - 1, 0) && is(x, kB, 0)) << x;
    for (int y = kT - 1; y <= kB; y += 20)
        EXPECT_TRUE(is(kL - 1, y, 0) && is(kR, y, 0)) << y;
    for (int x = kL + 5; x < kR; x += 17)
        EXPECT_TRUE(is(x, kThresholdRow, 0x006EFF)) << x;
    EXPECT_FALSE(is(400, kThresholdRow - 1, 0x006EFF) || is(400, kThresholdRow + 1, 0x006EFF));
    // The threshold box's grey sides, the left one on the panel's left edge.
    EXPECT_TRUE(is(kL - 34, kThresholdRow, 0x7F7F7F) && is(kL - 4, kThresholdRow, 0x7F7F7F));
    int grey = 0, green = 0;
    for (int y = kT; y < kB; ++y)
        for (int x = kL; x < kR; ++x) {
            grey += is(x, y, 0x7F7F7F);
            green += is(x, y, 0x00FF00) || is(x, y, 0x007040);
        }
    EXPECT_GT(grey, 100);
    EXPECT_GT(green, 100);
}

} // namespace
