// The render tool's autofit: --set autofit=on fits the shape to the loudest
// event of the input before rendering, so that a render with the fitted state
// loaded sounds the same.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tools/render/render.h"

namespace {

std::vector<char> ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(file), {});
}

// The samples of a WAV file: its bytes from the "data" chunk on. The header
// holds a time stamp (libsndfile's PEAK chunk), which differs between renders
// that end in different seconds.
std::vector<char> Samples(const std::string& path) {
    const std::vector<char> bytes = ReadAll(path);
    const char tag[] = "data";
    return std::vector<char>(std::search(bytes.begin(), bytes.end(), tag, tag + 4), bytes.end());
}

// Renders the demo with the given options; the exit code.
int Render(const std::vector<std::string>& args) {
    std::vector<const char*> argv = {"kelo-render"};
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    RenderOptions options;
    std::string error;
    if (!ParseRenderArgs(int(argv.size()), argv.data(), KELO_PRODUCT_PLUGIN, options, error))
        return 2;
    std::ostringstream out, err;
    return RunRender(options, out, err, false);
}

} // namespace

TEST(RenderAutofit, FitsBeforeRenderingAndKeepsTheFittedShapeInTheState) {
    char pattern[] = "/tmp/kelo-autofit-test-XXXXXX";
    const std::string dir = mkdtemp(pattern) ? pattern : "/tmp";
    const std::string fitted = dir + "/fitted.wav", state = dir + "/fitted.state";
    const std::string plain = dir + "/plain.wav", plainState = dir + "/plain.state";
    const std::string again = dir + "/again.wav";
    ASSERT_EQ(Render({"-o", plain, "--set", "strength=1", "--save-state", plainState}), 0);
    ASSERT_EQ(
        Render({"-o", fitted, "--set", "strength=1", "--set", "autofit=on", "--save-state", state}),
        0);
    // The saved shape differs from the drawn one; "autofit" itself is off again.
    const std::vector<char> a = ReadAll(plainState), b = ReadAll(state);
    // The fitted state has the options' section: the fitted hit's level.
    ASSERT_EQ(a.size(), 188u);
    ASSERT_EQ(b.size(), 204u);
    double autofit;
    std::memcpy(&autofit, &b[4 + 6 * 8], sizeof autofit);
    EXPECT_EQ(autofit, 0.0);
    EXPECT_NE(std::memcmp(&a[108], &b[108], 80), 0);
    // The render heard the fitted shape from its first sample: loading the
    // fitted state gives the same audio, which differs from the unfitted one.
    ASSERT_EQ(Render({"-o", again, "--load-state", state}), 0);
    ASSERT_GT(Samples(fitted).size(), 8u);
    EXPECT_EQ(Samples(again), Samples(fitted));
    EXPECT_NE(Samples(plain), Samples(fitted));
    // Without an event to fit to, the render says so and fails.
    EXPECT_EQ(Render({"-o", again, "--set", "threshold=0", "--set", "autofit=on"}), 1);
    for (const std::string& f : {fitted, state, plain, plainState, again})
        std::remove(f.c_str());
    rmdir(dir.c_str());
}
