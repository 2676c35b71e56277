// kelo-render: its command line, and small renders through the product binary.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sndfile.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "effect/kelo_params.h"
#include "tools/render/render.h"

namespace {

const char* const kPluginPath = KELO_PRODUCT_PLUGIN;

bool Parse(std::vector<const char*> args, RenderOptions& options, std::string& error) {
    args.insert(args.begin(), "kelo-render");
    return ParseRenderArgs(int(args.size()), args.data(), "default.so", options, error);
}

// A scratch folder of the test's own, removed with its files.
struct TempDir {
    TempDir() {
        char pattern[] = "/tmp/kelo-render-test-XXXXXX";
        path = mkdtemp(pattern) ? pattern : "/tmp";
    }
    ~TempDir() {
        for (const std::string& f : files)
            std::remove(f.c_str());
        rmdir(path.c_str());
    }
    std::string File(const std::string& name) {
        files.push_back(path + "/" + name);
        return files.back();
    }
    std::string path;
    std::vector<std::string> files;
};

void WriteStereo(const std::string& path, const std::vector<float>& frames, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_writef_float(f, frames.data(), sf_count_t(frames.size() / 2));
    sf_close(f);
}

std::vector<float> ReadStereo(const std::string& path, int* rate = nullptr) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<float> frames(size_t(info.frames) * size_t(info.channels));
    sf_readf_float(f, frames.data(), info.frames);
    sf_close(f);
    if (rate) *rate = info.samplerate;
    return info.channels == 2 ? frames : std::vector<float>();
}

// A 5 kHz tone with hits, interleaved stereo.
std::vector<float> Tone(size_t frames, int rate) {
    std::vector<float> s(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        double hit = (i % 11025) < 2000 ? 0.8 : 0.1;
        s[i * 2] = float(hit * std::sin(2 * 3.14159265358979 * 5000 * double(i) / rate));
        s[i * 2 + 1] = float(0.5 * s[i * 2]);
    }
    return s;
}

double Rms(const std::vector<float>& s) {
    double sum = 0;
    for (float v : s)
        sum += double(v) * v;
    return std::sqrt(sum / double(s.size() ? s.size() : 1));
}

int Render(RenderOptions options, std::string* outText = nullptr, std::string* errText = nullptr) {
    options.plugin = kPluginPath;
    std::ostringstream out, err;
    int rc = RunRender(options, out, err, false);
    if (outText) *outText = out.str();
    if (errText) *errText = err.str();
    return rc;
}

} // namespace

TEST(RenderArguments, ReadsInputOutputSettingsBlockAndRate) {
    RenderOptions o;
    std::string error;
    ASSERT_TRUE(Parse(
        {"in.wav",        "-o",           "out.wav", "--set",   "env time=0.1", "--set",
         "threshold=-20", "--block",      "128",     "--rate",  "44100",        "--load-state",
         "a.bin",         "--save-state", "b.bin",   "--plot",  "p.png",        "--plot-size",
         "800x300",       "--events",     "e.csv",   "--tempo", "92.5"},
        o, error))
        << error;
    EXPECT_EQ(o.input, "in.wav");
    EXPECT_EQ(o.output, "out.wav");
    EXPECT_EQ(o.plugin, "default.so");
    ASSERT_EQ(o.sets.size(), 2u);
    EXPECT_EQ(o.sets[0].first, "env time");
    EXPECT_EQ(o.sets[0].second, "0.1");
    EXPECT_EQ(o.sets[1].second, "-20");
    EXPECT_EQ(o.blockSize, 128);
    EXPECT_EQ(o.rate, 44100.0);
    EXPECT_EQ(o.loadState, "a.bin");
    EXPECT_EQ(o.saveState, "b.bin");
    EXPECT_EQ(o.plot, "p.png");
    EXPECT_EQ(o.plotWidth, 800);
    EXPECT_EQ(o.plotHeight, 300);
    EXPECT_EQ(o.events, "e.csv");
    EXPECT_EQ(o.tempo, 92.5);
    ASSERT_TRUE(Parse({"--output", "x.wav"}, o, error));
    EXPECT_EQ(o.input, "");
    EXPECT_EQ(o.blockSize, 512);
    EXPECT_EQ(o.plotWidth, 1600);
    EXPECT_EQ(o.plotHeight, 600);
    EXPECT_EQ(o.tempo, 0.0);
    ASSERT_TRUE(Parse({"--help"}, o, error));
    EXPECT_TRUE(o.help);
    ASSERT_TRUE(Parse({"--list"}, o, error));
}

TEST(RenderArguments, RejectsWhatItCannotUseWithOneReason) {
    const std::vector<std::vector<const char*>> bad = {
        {},                                // no output
        {"-o"},                            // missing value
        {"-o", "x", "--set", "threshold"}, // no '='
        {"-o", "x", "--set", "=3"},        // no name
        {"-o", "x", "--block", "0"},       // too small
        {"-o", "x", "--block", "65537"},   // too large
        {"-o", "x", "--block", "12.5"},    // not whole
        {"-o", "x", "--block", "many"},    // not a number
        {"-o", "x", "--rate", "nan"},      // not finite
        {"-o", "x", "--rate", "10"},       // too low
        {"-o", "x", "--rate", "44100.5"},  // not whole: a WAV header holds whole Hz
        {"-o", "x", "--frobnicate"},       // unknown
        {"-o", "x", "a.wav", "b.wav"},     // two inputs
        {"-o", "x", "--plot"},             // missing value
        // picture sizes: no height, no width, too small, too large, three sides
        {"-o", "x", "--plot-size", "800"},
        {"-o", "x", "--plot-size", "x300"},
        {"-o", "x", "--plot-size", "399x300"},
        {"-o", "x", "--plot-size", "800x239"},
        {"-o", "x", "--plot-size", "16001x600"},
        {"-o", "x", "--plot-size", "800x300x2"},
        {"-o", "x", "--tempo", "9"},
        {"-o", "x", "--tempo", "1000"},
        {"-o", "x", "--tempo", "fast"},
    };
    for (const auto& args : bad) {
        RenderOptions o;
        std::string error;
        EXPECT_FALSE(Parse(args, o, error)) << (args.empty() ? "" : args.back());
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

TEST(RenderEndToEnd, AFileRendersThroughThePluginWithTheSettingsApplied) {
    TempDir dir;
    const std::string in = dir.File("in.wav"), plain = dir.File("plain.wav");
    const std::string band = dir.File("band.wav");
    const std::vector<float> tone = Tone(22050, 44100);
    WriteStereo(in, tone, 44100);
    RenderOptions o;
    o.input = in;
    o.output = plain;
    o.blockSize = 300;
    o.sets = {{"shape env", "off"}};
    ASSERT_EQ(Render(o), 0);
    int rate = 0;
    // With shaping off the effect passes the input unchanged.
    EXPECT_EQ(ReadStereo(plain, &rate), tone);
    EXPECT_EQ(rate, 44100);
    // Monitoring a band far below the tone leaves little of it.
    o.output = band;
    o.sets = {{"monitor detect", "on"}, {"hi freq", "500"}, {"lo freq", "100"}};
    ASSERT_EQ(Render(o), 0);
    const std::vector<float> filtered = ReadStereo(band);
    ASSERT_EQ(filtered.size(), tone.size());
    EXPECT_LT(Rms(filtered), 0.05 * Rms(tone));
}

TEST(RenderEndToEnd, TheDemoRendersAndStateGoesToAFileAndBack) {
    TempDir dir;
    const std::string out = dir.File("demo.wav"), state = dir.File("state.bin");
    RenderOptions o;
    o.output = out;
    o.saveState = state;
    o.sets = {{"threshold", "-20"}, {"env time", "0.1"}, {"gate", "on"}};
    ASSERT_EQ(Render(o), 0);
    const std::vector<float> demo = DemoSignal(48000);
    const std::vector<float> rendered = ReadStereo(out);
    ASSERT_EQ(rendered.size(), demo.size());
    EXPECT_GT(Rms(rendered), 0.001);
    EXPECT_NE(rendered, demo);

    RenderOptions listing;
    listing.listParams = true;
    listing.loadState = state;
    std::string text;
    ASSERT_EQ(Render(listing, &text), 0);
    EXPECT_NE(text.find("threshold = -20.0 dB"), std::string::npos) << text;
    EXPECT_NE(text.find("env time = 0.10"), std::string::npos) << text;
    EXPECT_NE(text.find("gate = on"), std::string::npos) << text;
}

TEST(RenderEndToEnd, ErrorsGiveOneMessageAndAFailingExitCode) {
    TempDir dir;
    const std::string out = dir.File("out.wav"), in = dir.File("in.wav");
    WriteStereo(in, Tone(1000, 48000), 48000);
    struct Case {
        std::vector<std::pair<std::string, std::string>> sets;
        std::string input, state, expect;
    };
    const std::vector<Case> cases = {
        {{{"treshold", "-3"}}, in, "", "no parameter named \"treshold\""},
        {{{"threshold", "loud"}}, in, "", "not a number"},
        {{{"threshold", "12"}}, in, "", "outside"},
        {{{"gate", "maybe"}}, in, "", "use on or off"},
        {{}, dir.path + "/missing.wav", "", "cannot read"},
        {{}, in, dir.path + "/missing.bin", "cannot read the state file"},
    };
    for (const Case& c : cases) {
        RenderOptions o;
        o.output = out;
        o.input = c.input;
        o.sets = c.sets;
        o.loadState = c.state;
        std::string err;
        EXPECT_EQ(Render(o, nullptr, &err), 1) << c.expect;
        EXPECT_NE(err.find(c.expect), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
    RenderOptions o;
    o.output = out;
    o.input = in;
    std::ostringstream sink, err;
    o.plugin = dir.path + "/no-such-plugin.so";
    EXPECT_EQ(RunRender(o, sink, err, false), 1);
    EXPECT_NE(err.str().find("cannot load the plug-in"), std::string::npos);
}

namespace {

// The value of parameter index in a saved state.
double SavedValue(const std::string& state, int index) {
    std::ifstream file(state, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    double v = std::nan("");
    if (bytes.size() >= size_t(4 + 8 * (index + 1)))
        std::memcpy(&v, &bytes[size_t(4 + 8 * index)], 8);
    return v;
}

} // namespace

TEST(RenderSettings, EveryParameterArrivesAsExactlyAsTheHostInterfaceCarriesIt) {
    TempDir dir;
    const std::string in = dir.File("in.wav"), out = dir.File("out.wav");
    const std::string state = dir.File("state.bin");
    WriteStereo(in, Tone(64, 48000), 48000);
    for (const KeloParamDef& def : kKeloParams) {
        // "autofit" is an action for the render tool: it fits, then switches off.
        if (def.index == kParamAutofit) continue;
        std::vector<std::pair<std::string, double>> values;
        if (def.isSwitch) {
            values = {{"on", 1.0}, {"off", 0.0}, {"1", 1.0}};
        } else {
            // The ends, values between (on and off the step grid), and "env time" 0.3.
            const double span = def.max - def.min;
            for (double f : {0.0, 1.0, 0.5, 0.3, 0.123457, 0.9, 0.01}) {
                char text[64];
                std::snprintf(text, sizeof text, "%.17g", def.min + f * span);
                values.emplace_back(text, std::strtod(text, nullptr));
            }
        }
        for (const auto& value : values) {
            RenderOptions o;
            o.input = in;
            o.output = out;
            o.saveState = state;
            o.sets = {{def.name, value.first}};
            ASSERT_EQ(Render(o), 0) << def.name << "=" << value.first;
            const double tolerance = def.isSwitch ? 0.0 : 1e-5 * (def.max - def.min);
            EXPECT_NEAR(SavedValue(state, def.index), value.second, tolerance)
                << def.name << "=" << value.first;
        }
    }
    // "env time" 0.3 comes out as 0.3 to the float's resolution, not as a curve guessed
    // from rounded display texts.
    RenderOptions o;
    o.input = in;
    o.output = out;
    o.saveState = state;
    o.sets = {{"env time", "0.3"}};
    ASSERT_EQ(Render(o), 0);
    EXPECT_NEAR(SavedValue(state, kParamEnvTime), 0.3, 1e-7);
}

TEST(RenderFiles, ABarePluginFileNameIsAFileInTheCurrentFolder) {
    TempDir dir;
    const std::string in = dir.File("in.wav"), out = dir.File("out.wav");
    WriteStereo(in, Tone(256, 48000), 48000);
    const std::string link = dir.File("Kelo.so");
    ASSERT_EQ(symlink(kPluginPath, link.c_str()), 0);
    char previous[PATH_MAX];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    RenderOptions o;
    o.input = in;
    o.output = out;
    o.plugin = "Kelo.so";
    std::ostringstream sink, err;
    const int rc = RunRender(o, sink, err, false);
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(rc, 0) << err.str();
}

TEST(RenderFiles, AStateFileThatIsNotKelosIsRefused) {
    TempDir dir;
    const std::string in = dir.File("in.wav"), out = dir.File("out.wav");
    const std::string state = dir.File("state.bin");
    WriteStereo(in, Tone(256, 48000), 48000);
    // A real state, then the same damaged three ways.
    RenderOptions save;
    save.input = in;
    save.output = out;
    save.saveState = state;
    ASSERT_EQ(Render(save), 0);
    std::ifstream file(state, std::ios::binary);
    const std::vector<char> good((std::istreambuf_iterator<char>(file)),
                                 std::istreambuf_iterator<char>());
    ASSERT_GE(good.size(), 92u);
    std::vector<char> wrongTag = good;
    wrongTag[0] = char(0xF2); // 1010
    std::vector<char> tooShort(good.begin(), good.begin() + 60);
    std::vector<char> noise(300);
    std::mt19937 random(7);
    for (char& c : noise)
        c = char(random());
    for (const auto* bytes : {&wrongTag, &tooShort, &noise}) {
        std::ofstream(state, std::ios::binary).write(bytes->data(), std::streamsize(bytes->size()));
        RenderOptions o;
        o.input = in;
        o.output = out;
        o.loadState = state;
        std::string err;
        EXPECT_EQ(Render(o, nullptr, &err), 1) << bytes->size();
        EXPECT_NE(err.find("is not a Kelo state"), std::string::npos) << err;
    }
    std::ofstream(state, std::ios::binary).write(good.data(), std::streamsize(good.size()));
    RenderOptions o;
    o.input = in;
    o.output = out;
    o.loadState = state;
    EXPECT_EQ(Render(o), 0);
}

TEST(RenderEndToEnd, EventsCsvSummaryAndPictureFollowTheKnownHits) {
    TempDir dir;
    const std::string in = dir.File("hits.wav"), out = dir.File("out.wav");
    const std::string csv = dir.File("events.csv"), png = dir.File("plot.png");
    // 1 kHz bursts of 20 ms at 0.8 over a quiet tone at 44.1 kHz; the last
    // envelope runs past the end of the file.
    const int rate = 44100;
    const std::vector<double> hitSeconds = {0.1, 0.6, 1.25, 1.9, 2.95};
    const size_t frames = size_t(3.1 * rate);
    std::vector<float> s(frames * 2);
    for (size_t i = 0; i < frames; ++i)
        s[2 * i] = s[2 * i + 1] = 0.01f * float(std::sin(0.02 * double(i)));
    for (const double t : hitSeconds)
        for (size_t h = size_t(t * rate), i = h; i < h + 882; ++i)
            s[2 * i] = s[2 * i + 1] =
                0.8f * float(std::sin(2 * 3.14159265358979 * 1000.0 * double(i - h) / rate));
    WriteStereo(in, s, rate);
    RenderOptions o;
    o.input = in;
    o.output = out;
    o.blockSize = 300;
    o.events = csv;
    o.plot = png;
    o.plotWidth = 900;
    o.plotHeight = 360;
    o.tempo = 100.0;
    o.sets = {{"threshold", "-20"}};
    std::string text, err;
    ASSERT_EQ(Render(o, &text, &err), 0) << err;
    EXPECT_NE(text.find(", 5 events\n"), std::string::npos) << text;

    // One line per hit: its start within a millisecond after the hit, a peak
    // above the threshold, the last one cut by the end of the file.
    std::ifstream lines(csv);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "start_s,start_frame,peak_db,peak,full_length");
    for (size_t i = 0; i < hitSeconds.size(); ++i) {
        ASSERT_TRUE(std::getline(lines, line)) << i;
        double start = 0, peakDb = 0, peak = 0;
        long long frame = 0;
        char full[8] = {};
        ASSERT_EQ(
            std::sscanf(line.c_str(), "%lf,%lld,%lf,%lf,%7s", &start, &frame, &peakDb, &peak, full),
            5)
            << line;
        EXPECT_GE(frame, (long long)(hitSeconds[i] * rate));
        EXPECT_LE(frame, (long long)(hitSeconds[i] * rate) + rate / 1000);
        EXPECT_NEAR(start, double(frame) / rate, 1e-6);
        EXPECT_GE(peakDb, -20.0);
        EXPECT_LE(peak, 0.81);
        EXPECT_STREQ(full, i + 1 == hitSeconds.size() ? "no" : "yes") << i;
    }
    EXPECT_FALSE(std::getline(lines, line)) << line;
    // The picture is a PNG of the size asked for (its pixels: render_plot_test).
    std::ifstream picture(png, std::ios::binary);
    unsigned char head[24] = {};
    picture.read(reinterpret_cast<char*>(head), sizeof head);
    EXPECT_EQ(std::memcmp(head, "\x89PNG", 4), 0);
    EXPECT_EQ(head[18] << 8 | head[19], 900); // IHDR width and height
    EXPECT_EQ(head[22] << 8 | head[23], 360);
}
