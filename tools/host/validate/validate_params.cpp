// Parameter checks: the texts a plug-in writes into host buffers (printable,
// terminated within their field, nothing written past it), and parameter fuzz
// (random and out-of-range values before random blocks).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "tools/host/validate/validate_support.h"

namespace {

// The fields the validator hands over: the interface names 8 bytes for
// parameter texts, but hosts pass far more and plug-ins (this one included)
// write up to 32; a text must end within the field, and the guard bytes after
// it must stay as they were.
constexpr size_t kParamField = 32;
constexpr size_t kBuffer = 512;
constexpr unsigned char kGuard = 0xA5;

struct TextRequest {
    int32_t opcode;
    const char* what;
    size_t field;
};

const TextRequest kParamTexts[] = {{kVstOpGetParamName, "name", kParamField},
                                   {kVstOpGetParamLabel, "label", kParamField},
                                   {kVstOpGetParamDisplay, "display", kParamField}};

// Asks for one text; fails on a missing terminator, an unprintable byte or a
// write past the field. Returns the text.
std::string CheckText(CheckContext& context, PluginInstance& plugin, int32_t opcode, int32_t index,
                      size_t field, const char* what) {
    unsigned char buffer[kBuffer];
    std::memset(buffer, kGuard, sizeof buffer);
    plugin.Dispatch(opcode, index, 0, buffer);
    const char* text = reinterpret_cast<const char*>(buffer);
    const void* end = std::memchr(buffer, 0, field);
    if (!end) {
        context.Fail("%s of %d: not terminated within its %d-byte field: \"%s\"", what, index,
                     int(field), Printable(text, field).c_str());
        return {};
    }
    for (size_t i = field; i < sizeof buffer; ++i)
        if (buffer[i] != kGuard) {
            context.Fail("%s of %d: wrote past its %d-byte field (byte %d changed)", what, index,
                         int(field), int(i));
            break;
        }
    const size_t length = size_t(static_cast<const unsigned char*>(end) - buffer);
    for (size_t i = 0; i < length; ++i)
        if (buffer[i] < 32 || buffer[i] == 127) {
            context.Fail("%s of %d: unprintable byte 0x%02X in \"%s\"", what, index, buffer[i],
                         Printable(text, length).c_str());
            break;
        }
    return std::string(text, length);
}

void CheckParamTexts(CheckContext& context, PluginInstance& plugin, int32_t index) {
    for (const TextRequest& request : kParamTexts)
        CheckText(context, plugin, request.opcode, index, request.field, request.what);
}

void Texts(CheckContext& context) {
    auto plugin = OpenInstance(context, 44100.0, 512);
    if (!plugin) return;
    const int32_t count = plugin->Record()->numParams;
    CheckText(context, *plugin, kVstOpGetEffectName, 0, kVstEffectNameSize, "effect name");
    CheckText(context, *plugin, kVstOpGetVendorString, 0, kVstVendorTextSize, "vendor");
    CheckText(context, *plugin, kVstOpGetProductString, 0, kVstVendorTextSize, "product");
    CheckText(context, *plugin, kVstOpGetProgramName, 0, kVstProgramNameSize, "program name");
    for (int32_t p = -1; p <= plugin->Record()->numPrograms; ++p)
        CheckText(context, *plugin, kVstOpGetProgramNameIndexed, p, kVstProgramNameSize,
                  "indexed program name");
    // Every parameter at its default, at both ends and at random values; the
    // indices just outside the range must answer harmlessly too.
    for (int32_t i = -1; i <= count; ++i)
        CheckParamTexts(context, *plugin, i);
    for (int round = 0; round < context.Scaled(20); ++round)
        for (int32_t i = 0; i < count; ++i) {
            const float value = round == 0   ? 0.0f
                                : round == 1 ? 1.0f
                                             : float(context.rng.Uniform());
            plugin->SetParameter(i, value);
            CheckParamTexts(context, *plugin, i);
        }
    // Names do not change with values.
    if (count > 0) {
        const std::string name = plugin->ParamName(0);
        plugin->SetParameter(0, 0.5f);
        if (plugin->ParamName(0) != name) context.Fail("the name of 0 changed with its value");
    }
}

float FuzzValue(Rng& rng) {
    const float special[] = {-1.0f,
                             2.0f,
                             std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             -0.0f,
                             1e-45f,
                             1.0f,
                             0.0f};
    if (rng.Uniform() < 0.3) return special[rng.Int(0, int(sizeof special / sizeof *special) - 1)];
    return float(rng.Uniform());
}

void Fuzz(CheckContext& context) {
    const double rates[] = {22050.0, 44100.0, 48000.0, 96000.0, 192000.0};
    for (double rate : rates) {
        auto plugin = OpenInstance(context, rate, 2048);
        if (!plugin) return;
        const VstEffectRecord& r = *plugin->Record();
        const KnownPlugin known = KnownPluginOf(r);
        const Audio input = TestSignal(context.rng, r.numInputs, int(rate * 4), rate, 0.9);
        const double bound = OutputBound(known, PeakOf(input));
        const std::vector<Entry> entries = EntriesOf(r);
        int at = 0;
        for (int round = 0; round < context.Scaled(60); ++round) {
            const int changes = context.rng.Int(1, std::max(1, r.numParams));
            for (int k = 0; k < changes && r.numParams > 0; ++k) {
                const int32_t index = context.rng.Int(0, r.numParams - 1);
                const float value = FuzzValue(context.rng);
                plugin->SetParameter(index, value);
                const float back = plugin->GetParameter(index);
                if (!(back >= 0.0f && back <= 1.0f))
                    context.Fail("%.0f Hz, round %d: after setting %d to %g, getParameter "
                                 "answers %g (outside 0..1)",
                                 rate, round, index, double(value), double(back));
                CheckParamTexts(context, *plugin, index);
            }
            // A random block through a random entry, from where the signal stands.
            const int frames = context.rng.Int(1, 2048) >> context.rng.Int(0, 8);
            if (at + frames > input.frames) at = 0;
            Audio piece(int(input.channels.size()), frames);
            for (size_t c = 0; c < input.channels.size(); ++c)
                std::copy(input.channels[c].begin() + at, input.channels[c].begin() + at + frames,
                          piece.channels[c].begin());
            at += frames;
            const Entry entry = entries[size_t(context.rng.Int(0, int(entries.size()) - 1))];
            const Audio out = Render(*plugin, entry, piece, {frames});
            const long bad = FirstNonFinite(out);
            if (bad >= 0) {
                context.Fail("%.0f Hz, round %d (%s entry, %d frames): output not finite", rate,
                             round, EntryName(entry), frames);
                break;
            }
            const double peak = PeakOf(out);
            if (bound >= 0.0 && peak > bound) {
                context.Fail("%.0f Hz, round %d (%s entry, %d frames): output peak %.4g above "
                             "the bound %.4g",
                             rate, round, EntryName(entry), frames, peak, bound);
                break;
            }
        }
    }
}

} // namespace

void AddParamChecks(std::vector<Check>& checks) {
    checks.push_back(
        {"params.texts", "names, labels, displays: printable, terminated in their field", Texts});
    checks.push_back({"params.fuzz", "random and out-of-range values before random blocks", Fuzz});
}
