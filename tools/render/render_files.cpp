#include "tools/render/render_files.h"

#include <fstream>
#include <iterator>
#include <sndfile.h>

#include "effect/kelo_params.h"

bool ReadAudio(const std::string& path, std::vector<float>& stereo, double& rate,
               std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        error = "cannot read \"" + path + "\": " + sf_strerror(nullptr);
        return false;
    }
    bool ok = true;
    if (info.channels != 1 && info.channels != 2) {
        error = "\"" + path + "\" has " + std::to_string(info.channels) +
                " channels; mono or stereo only";
        ok = false;
    } else if (info.frames > int64_t(1) << 31) {
        error = "\"" + path + "\" is too long";
        ok = false;
    } else {
        std::vector<float> samples(size_t(info.frames) * size_t(info.channels));
        const sf_count_t got = sf_readf_float(file, samples.data(), info.frames);
        stereo.assign(size_t(got) * 2, 0.0f);
        for (sf_count_t i = 0; i < got; ++i) {
            const size_t at = size_t(i) * size_t(info.channels);
            stereo[size_t(i) * 2] = samples[at];
            stereo[size_t(i) * 2 + 1] = samples[at + size_t(info.channels) - 1];
        }
        rate = info.samplerate;
    }
    sf_close(file);
    return ok;
}

bool WriteAudio(const std::string& path, const std::vector<float>& stereo, double rate,
                std::string& error) {
    SF_INFO info{};
    info.samplerate = int(rate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        error = "cannot write \"" + path + "\": " + sf_strerror(nullptr);
        return false;
    }
    const sf_count_t frames = sf_count_t(stereo.size() / 2);
    const bool ok = sf_writef_float(file, stereo.data(), frames) == frames;
    if (!ok) error = "cannot write \"" + path + "\": " + sf_strerror(file);
    sf_close(file);
    return ok;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary);
    if (!file) return false;
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(file);
}

// Why bytes are not a Kelo state ("" when they are one): at least the tag and
// the eleven values, and the tag of Kelo's states.
std::string NotAKeloState(const std::vector<uint8_t>& bytes) {
    const size_t least = 4 + size_t(kParamCount) * 8;
    if (bytes.size() < least)
        return "too short (" + std::to_string(bytes.size()) + " bytes, a Kelo state has at least " +
               std::to_string(least) + ")";
    int32_t tag = 0;
    for (int i = 3; i >= 0; --i)
        tag = int32_t(uint32_t(tag) << 8 | bytes[size_t(i)]);
    if (tag != kKeloStateTag)
        return "its tag is " + std::to_string(tag) + ", not " + std::to_string(kKeloStateTag);
    return "";
}
