// Audio checks: sample rates, block sizes, the processing entries, block-size
// independence, silence, bypass-like settings and the cost of silence and
// denormal-range input.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "tools/host/validate/validate_support.h"

namespace {

const double kRates[] = {8000,  11025, 16000,  22050,  32000,  44100,  48000,
                         88200, 96000, 176400, 192000, 352800, 384000, 1234.5678};

// Block sizes sent: empty, primes, and every power of two up to 8192.
std::vector<int> BlockSizes() {
    std::vector<int> sizes = {0, 1, 3, 7, 13, 61, 127, 509, 1021, 2039, 4093, 7919};
    for (int p = 2; p <= 8192; p *= 2)
        sizes.push_back(p);
    std::sort(sizes.begin(), sizes.end());
    return sizes;
}

// Checks an output for finiteness and, when known, the bound; true when good.
bool CheckOutput(CheckContext& context, const KnownPlugin& known, const Audio& input,
                 const Audio& output, const char* what) {
    const long bad = FirstNonFinite(output);
    if (bad >= 0) {
        context.Fail("%s: output not finite at channel %ld frame %ld", what,
                     bad / std::max(output.frames, 1), bad % std::max(output.frames, 1));
        return false;
    }
    const double bound = OutputBound(known, PeakOf(input));
    const double peak = PeakOf(output);
    if (bound >= 0.0 && peak > bound) {
        context.Fail("%s: output peak %.4g above the bound %.4g", what, peak, bound);
        return false;
    }
    return true;
}

void Rates(CheckContext& context) {
    for (double rate : kRates) {
        auto plugin = OpenInstance(context, rate, 512);
        if (!plugin) return;
        const KnownPlugin known = KnownPluginOf(*plugin->Record());
        const int frames = int(std::min(rate * 0.25 * context.Scaled(2), 4.0 * rate));
        const Audio input = TestSignal(context.rng, plugin->Record()->numInputs, frames, rate);
        for (Entry entry : EntriesOf(*plugin->Record())) {
            const Audio out = Render(*plugin, entry, input, {512});
            char what[96];
            std::snprintf(what, sizeof what, "%.4f Hz, %s entry", rate, EntryName(entry));
            CheckOutput(context, known, input, out, what);
        }
    }
}

void Blocks(CheckContext& context) {
    const double rate = 48000.0;
    const std::vector<int> sizes = BlockSizes();
    // Each size with the declared maximum equal to it, then all sizes under a
    // declared maximum below them (64) and above them (16384).
    struct Run {
        int declared;
        std::vector<int> blocks;
    };
    std::vector<Run> runs;
    for (int size : sizes)
        runs.push_back({std::max(size, 1), {size, size, size}});
    runs.push_back({64, sizes});
    runs.push_back({16384, sizes});
    for (const Run& run : runs) {
        auto plugin = OpenInstance(context, rate, run.declared);
        if (!plugin) return;
        const KnownPlugin known = KnownPluginOf(*plugin->Record());
        int frames = 0;
        for (int b : run.blocks)
            frames += b;
        frames = std::max(frames, 4096);
        std::vector<int> blocks = run.blocks;
        const Audio input = TestSignal(context.rng, plugin->Record()->numInputs, frames, rate);
        for (Entry entry : EntriesOf(*plugin->Record())) {
            const Audio out = Render(*plugin, entry, input, blocks);
            char what[128];
            if (run.blocks.size() == 3)
                std::snprintf(what, sizeof what, "blocks of %d frames (declared %d), %s entry",
                              run.blocks[0], run.declared, EntryName(entry));
            else
                std::snprintf(what, sizeof what, "blocks of 0..8192 frames, declared %d, %s entry",
                              run.declared, EntryName(entry));
            CheckOutput(context, known, input, out, what);
        }
        // An empty call leaves the outputs alone.
        std::vector<std::vector<float>> in(size_t(std::max(plugin->Record()->numInputs, 1)),
                                           std::vector<float>(4, 0.5f));
        std::vector<std::vector<float>> outs(size_t(std::max(plugin->Record()->numOutputs, 1)),
                                             std::vector<float>(4, 0.75f));
        std::vector<float*> ip, op;
        for (auto& c : in)
            ip.push_back(c.data());
        for (auto& c : outs)
            op.push_back(c.data());
        plugin->ProcessReplacing(ip.data(), op.data(), 0);
        for (auto& c : outs)
            if (c[0] != 0.75f) {
                context.Fail("an empty block (0 frames) wrote to the output");
                break;
            }
    }
}

// The tolerance of an entry compared with the replacing one, relative to the
// output's peak (at least 1): float rounding for the float entries, the float
// path's own precision for the double one.
double Tolerance(Entry entry) {
    return entry == Entry::Double ? 1e-4 : 1e-5;
}

void Entries(CheckContext& context) {
    const double rate = 44100.0;
    for (int round = 0; round < context.Scaled(4); ++round) {
        auto reference = OpenInstance(context, rate, 512);
        if (!reference) return;
        const std::vector<float> values = RandomizeParameters(*reference, context.rng);
        const Audio input =
            TestSignal(context.rng, reference->Record()->numInputs, int(rate * 0.5), rate);
        const Audio expected = Render(*reference, Entry::Replacing, input, {512});
        const double scale = std::max(1.0, PeakOf(expected));
        for (Entry entry : EntriesOf(*reference->Record())) {
            if (entry == Entry::Replacing) continue;
            auto plugin = OpenInstance(context, rate, 512);
            if (!plugin) return;
            for (size_t i = 0; i < values.size(); ++i)
                plugin->SetParameter(int32_t(i), values[i]);
            const Audio out = Render(*plugin, entry, input, {512});
            const double diff = MaxDifference(out, expected);
            if (!(diff <= Tolerance(entry) * scale))
                context.Fail("round %d: the %s entry differs from the replacing one by %.3g "
                             "(tolerance %.3g)",
                             round, EntryName(entry), diff, Tolerance(entry) * scale);
        }
    }
}

void BlockInvariance(CheckContext& context) {
    const double rate = 48000.0;
    for (int round = 0; round < context.Scaled(3); ++round) {
        auto reference = OpenInstance(context, rate, 4096);
        if (!reference) return;
        const std::vector<float> values = RandomizeParameters(*reference, context.rng);
        const Audio input =
            TestSignal(context.rng, reference->Record()->numInputs, int(rate * 0.5), rate);
        const Audio expected = Render(*reference, Entry::Replacing, input, {4096});
        const double scale = std::max(1.0, PeakOf(expected));
        std::vector<std::vector<int>> patterns = {{1}, {7}, {64}, {1000}, {3, 0, 509, 8192}};
        std::vector<int> random;
        for (int i = 0; i < 64; ++i)
            random.push_back(context.rng.Int(0, 4096) >> context.rng.Int(0, 12));
        patterns.push_back(random);
        for (const auto& blocks : patterns) {
            for (Entry entry : EntriesOf(*reference->Record())) {
                auto plugin = OpenInstance(context, rate, 8192);
                if (!plugin) return;
                for (size_t i = 0; i < values.size(); ++i)
                    plugin->SetParameter(int32_t(i), values[i]);
                const Audio out = Render(*plugin, entry, input, blocks);
                const double diff = MaxDifference(out, expected);
                if (!(diff <= Tolerance(entry) * scale))
                    context.Fail("round %d: blocks of %d%s frames through the %s entry differ "
                                 "from blocks of 4096 by %.3g (tolerance %.3g)",
                                 round, blocks[0], blocks.size() > 1 ? ", ..." : "",
                                 EntryName(entry), diff, Tolerance(entry) * scale);
            }
        }
    }
}

void Silence(CheckContext& context) {
    const double rate = 48000.0;
    auto plugin = OpenInstance(context, rate, 512);
    if (!plugin) return;
    const int inputs = plugin->Record()->numInputs;
    // Silence into a fresh instance: silence out.
    const Audio quiet(inputs, int(rate));
    const Audio first = Render(*plugin, Entry::Replacing, quiet, {512});
    const double firstPeak = PeakOf(first);
    if (FirstNonFinite(first) >= 0 || firstPeak > 1e-9)
        context.Fail("silence into a fresh instance gave output peak %.3g", firstPeak);

    // After a signal, silence within the declared tail (0: none declared, then
    // 10 s are allowed; 1: no tail at all).
    const intptr_t tail = plugin->Dispatch(kVstOpGetTailSize);
    const int delay = std::max(plugin->Record()->initialDelay, 0);
    int allowed = tail == 1  ? delay + 512
                  : tail > 1 ? int(std::min<intptr_t>(tail, intptr_t(rate * 60))) + delay
                             : int(rate * 10);
    const Audio loud = TestSignal(context.rng, inputs, int(rate), rate);
    Render(*plugin, Entry::Replacing, loud, {512});
    const int frames = allowed + int(rate * 0.5);
    const Audio after = Render(*plugin, Entry::Replacing, Audio(inputs, frames), {512});
    const double rest = PeakOf(after, allowed);
    if (FirstNonFinite(after) >= 0 || rest > 1e-6)
        context.Fail("%.2f s after the signal stopped (tail answer %ld) the output peak is still "
                     "%.3g (more than -120 dB)",
                     allowed / rate, long(tail), rest);
    context.Note("tail answer %ld, silent within %.2f s", long(tail), allowed / rate);
}

void Bypass(CheckContext& context) {
    const double rate = 44100.0;
    auto probe = OpenInstance(context, rate, 512);
    if (!probe) return;
    const KnownPlugin known = KnownPluginOf(*probe->Record());
    if (known.bypass.empty()) {
        context.Skip("no bypass-like setting is known for unique ID '%s'",
                     FourCC(probe->Record()->uniqueId).c_str());
        return;
    }
    probe.reset();
    for (int round = 0; round < context.Scaled(4); ++round) {
        for (Entry entry : {Entry::Replacing, Entry::Double, Entry::InPlace}) {
            auto plugin = OpenInstance(context, rate, 512);
            if (!plugin) return;
            if (!HasEntry(*plugin->Record(), entry)) continue;
            // Everything else at random: the settings alone must give the input back.
            RandomizeParameters(*plugin, context.rng);
            for (const auto& [name, value] : known.bypass) {
                const int32_t index = ParamIndex(*plugin, name);
                if (index < 0) {
                    context.Fail("%s has no parameter \"%s\"", known.name.c_str(), name.c_str());
                    return;
                }
                plugin->SetParameter(index, value);
            }
            const Audio input =
                TestSignal(context.rng, plugin->Record()->numInputs, int(rate * 0.5), rate);
            const Audio out = Render(*plugin, entry, input, {512, 61, 1});
            const int delay = std::max(plugin->Record()->initialDelay, 0);
            double diff = 0.0;
            for (size_t c = 0; c < out.channels.size() && c < input.channels.size(); ++c)
                for (int i = delay; i < out.frames; ++i) {
                    const double want = entry == Entry::Double
                                            ? input.channels[c][size_t(i - delay)]
                                            : double(float(input.channels[c][size_t(i - delay)]));
                    const double d = std::fabs(out.channels[c][size_t(i)] - want);
                    if (!(d <= diff)) diff = std::isnan(d) ? INFINITY : d;
                }
            if (diff != 0.0)
                context.Fail("round %d, %s entry: with the bypass settings the output differs "
                             "from the input by %.3g",
                             round, EntryName(entry), diff);
        }
    }
}

// Median time per block of the input, in seconds.
double MedianBlockTime(PluginInstance& plugin, const Audio& input, int block) {
    const VstEffectRecord& r = *plugin.Record();
    std::vector<std::vector<float>> in(size_t(std::max(r.numInputs, 1)),
                                       std::vector<float>(size_t(block)));
    std::vector<std::vector<float>> out(size_t(std::max(r.numOutputs, 1)),
                                        std::vector<float>(size_t(block)));
    std::vector<float*> ip, op;
    for (auto& c : in)
        ip.push_back(c.data());
    for (auto& c : out)
        op.push_back(c.data());
    std::vector<double> times;
    for (int done = 0; done + block <= input.frames; done += block) {
        for (size_t c = 0; c < input.channels.size() && c < in.size(); ++c)
            for (int i = 0; i < block; ++i)
                in[c][size_t(i)] = float(input.channels[c][size_t(done + i)]);
        const auto start = std::chrono::steady_clock::now();
        plugin.ProcessReplacing(ip.data(), op.data(), block);
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    if (times.empty()) return 0.0;
    std::nth_element(times.begin(), times.begin() + long(times.size() / 2), times.end());
    return times[times.size() / 2];
}

void Cost(CheckContext& context) {
    const double rate = 48000.0;
    const int block = 256;
    auto plugin = OpenInstance(context, rate, block);
    if (!plugin) return;
    const int inputs = plugin->Record()->numInputs;
    const Audio signal = TestSignal(context.rng, inputs, int(rate * 2), rate);
    MedianBlockTime(*plugin, signal, block); // warm up
    const double base = MedianBlockTime(*plugin, signal, block);
    // Long silence after the signal: the last seconds are measured.
    const int silentSeconds = 4 * context.Scaled(5);
    MedianBlockTime(*plugin, Audio(inputs, int(rate * (silentSeconds - 2))), block);
    const double silent = MedianBlockTime(*plugin, Audio(inputs, int(rate * 2)), block);
    // Input in the denormal range.
    Audio tiny(inputs, int(rate * 4));
    for (auto& channel : tiny.channels)
        for (double& v : channel)
            v = context.rng.Range(-1.0, 1.0) * 1e-39;
    const double denormal = MedianBlockTime(*plugin, tiny, block);
    // A generous ratio: scheduling noise on a busy machine must not trip it, a
    // denormal stall (typically 10..100 times slower) must.
    const double limit = 8.0, floor = 2e-6;
    const double reference = std::max(base, floor);
    context.Note("median block of %d: signal %.2f us, after %d s of silence %.2f us, "
                 "denormal-range input %.2f us",
                 block, base * 1e6, silentSeconds, silent * 1e6, denormal * 1e6);
    if (silent > limit * reference)
        context.Fail("a block costs %.1f times as much after long silence", silent / reference);
    if (denormal > limit * reference)
        context.Fail("a block of denormal-range input costs %.1f times as much as one of signal",
                     denormal / reference);
}

} // namespace

void AddAudioChecks(std::vector<Check>& checks) {
    checks.push_back(
        {"audio.rates", "8 kHz..384 kHz and 1234.5678 Hz, every entry: finite, bounded", Rates});
    checks.push_back({"audio.block_sizes",
                      "blocks of 0, 1, primes, 2..8192 frames; declared maximum above and below",
                      Blocks});
    checks.push_back(
        {"audio.entries", "float, double, accumulating and in-place entries agree", Entries});
    checks.push_back({"audio.block_invariance", "the same output for any block size and entry",
                      BlockInvariance});
    checks.push_back(
        {"audio.silence", "silence in gives silence out (after the declared tail)", Silence});
    checks.push_back({"audio.bypass", "bypass-like settings give the input back exactly", Bypass});
    checks.push_back(
        {"audio.cost", "no rise in cost during long silence or denormal-range input", Cost});
}
