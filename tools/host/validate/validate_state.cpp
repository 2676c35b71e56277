// State checks: random states saved, loaded into a fresh instance and saved
// again (same bytes, same sound); malformed chunks refused without harm;
// program and bank chunks.
#include <algorithm>
#include <cmath>

#include "tools/host/validate/validate_support.h"

namespace {

constexpr int32_t kBank = 0, kProgram = 1; // the index of the chunk requests

std::vector<uint8_t> GetChunk(PluginInstance& plugin, int32_t kind) {
    void* data = nullptr;
    const intptr_t size = plugin.Dispatch(kVstOpGetChunk, kind, 0, &data);
    if (size <= 0 || !data) return {};
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

intptr_t SetChunk(PluginInstance& plugin, int32_t kind, const void* data, intptr_t size) {
    return plugin.Dispatch(kVstOpSetChunk, kind, size, const_cast<void*>(data));
}

bool UsesChunks(CheckContext& context, PluginInstance& plugin) {
    if (plugin.Record()->flags & kVstFlagProgramChunks) return true;
    context.Skip("the plug-in keeps no state chunks (its state is its parameters)");
    return false;
}

// Index of the first differing byte, or -1.
long FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return long(i);
    return a.size() == b.size() ? -1 : long(n);
}

void RoundTrip(CheckContext& context) {
    const double rate = 44100.0;
    auto probe = OpenInstance(context, rate, 512);
    if (!probe || !UsesChunks(context, *probe)) return;
    probe.reset();
    const int states = context.Scaled(200);
    for (int round = 0; round < states; ++round) {
        auto first = OpenInstance(context, rate, 512);
        if (!first) return;
        RandomizeParameters(*first, context.rng);
        const std::vector<uint8_t> saved = GetChunk(*first, kBank);
        if (saved.empty()) {
            context.Fail("state %d: an empty chunk", round);
            return;
        }
        auto second = OpenInstance(context, rate, 512);
        if (!second) return;
        SetChunk(*second, kBank, saved.data(), intptr_t(saved.size()));
        const std::vector<uint8_t> again = GetChunk(*second, kBank);
        const long at = FirstDifference(saved, again);
        if (at >= 0) {
            context.Fail("state %d: saved %d bytes, loaded into a fresh instance and saved "
                         "again: %d bytes, first difference at byte %ld",
                         round, int(saved.size()), int(again.size()), at);
            continue;
        }
        for (int32_t i = 0; i < first->Record()->numParams; ++i)
            if (first->GetParameter(i) != second->GetParameter(i))
                context.Fail("state %d: parameter %d is %g saved and %g loaded", round, i,
                             double(first->GetParameter(i)), double(second->GetParameter(i)));
        // Every few states: the loaded instance sounds as the saved one, and a
        // third given the same chunk exactly as the second.
        if (round % std::max(1, states / context.Scaled(40)) != 0) continue;
        auto third = OpenInstance(context, rate, 512);
        if (!third) return;
        SetChunk(*third, kBank, saved.data(), intptr_t(saved.size()));
        Rng signalRng(uint64_t(round) + 17);
        const Audio input =
            TestSignal(signalRng, first->Record()->numInputs, int(rate * 0.25), rate);
        const Audio a = Render(*first, Entry::Replacing, input, {512});
        const Audio b = Render(*second, Entry::Replacing, input, {512});
        const double scale = std::max(1.0, PeakOf(a));
        const double diff = MaxDifference(a, b);
        if (!(diff <= 1e-5 * scale))
            context.Fail("state %d: the loaded instance sounds different from the saved one "
                         "(difference %.3g)",
                         round, diff);
        const double diffThird = MaxDifference(b, Render(*third, Entry::Replacing, input, {512}));
        if (diffThird != 0.0)
            context.Fail("state %d: two instances loaded with the same chunk differ by %.3g", round,
                         diffThird);
    }
}

// After a malformed chunk the plug-in refused (answer 0) the state is what it
// was, or, where allowed, the other state the chunk held. A plug-in may instead
// take what a damaged chunk holds (answer 1: a truncated state setting the
// values it carries is a documented behaviour of some): then the state it
// made must be a whole one, saved again the same by a fresh instance that loads
// it. In every case the values stay in range and the audio finite. False when
// harmed.
bool ExpectUnharmed(CheckContext& context, PluginInstance& plugin, const std::vector<uint8_t>& good,
                    const std::vector<uint8_t>* allowed, const char* what, Rng& rng,
                    intptr_t answer = 0) {
    bool unharmed = true;
    const std::vector<uint8_t> now = GetChunk(plugin, kBank);
    const long at = FirstDifference(good, now);
    if (at >= 0 && !(allowed && now == *allowed)) {
        if (answer == 0) {
            context.Fail("%s was refused but changed the state (first difference at byte %ld)",
                         what, at);
            unharmed = false;
        } else if (auto fresh = OpenInstance(context, 44100.0, 512)) {
            SetChunk(*fresh, kBank, now.data(), intptr_t(now.size()));
            const long again = FirstDifference(now, GetChunk(*fresh, kBank));
            if (again >= 0) {
                context.Fail("%s was taken, and the state it made saves differently from a "
                             "fresh instance (first difference at byte %ld)",
                             what, again);
                unharmed = false;
            }
        }
        // Back to the good state, so the next case is judged on its own.
        SetChunk(plugin, kBank, good.data(), intptr_t(good.size()));
    }
    for (int32_t i = 0; i < plugin.Record()->numParams; ++i) {
        const float value = plugin.GetParameter(i);
        if (!(value >= 0.0f && value <= 1.0f)) {
            context.Fail("%s: parameter %d is now %g", what, i, double(value));
            unharmed = false;
            break;
        }
    }
    const Audio input = TestSignal(rng, plugin.Record()->numInputs, 2048, 44100.0);
    const Audio out = Render(plugin, Entry::Replacing, input, {512});
    if (FirstNonFinite(out) >= 0) {
        context.Fail("%s: the output is no longer finite", what);
        unharmed = false;
    }
    if (allowed && now == *allowed) // the oversized chunk was taken: back to the first state
        SetChunk(plugin, kBank, good.data(), intptr_t(good.size()));
    return unharmed;
}

// The instance holds one random state; the malformed chunks are made from
// another, so that applying any part of them shows.
void Malformed(CheckContext& context) {
    auto plugin = OpenInstance(context, 44100.0, 512);
    if (!plugin || !UsesChunks(context, *plugin)) return;
    RandomizeParameters(*plugin, context.rng);
    const std::vector<uint8_t> good = GetChunk(*plugin, kBank);
    std::vector<uint8_t> other;
    {
        auto maker = OpenInstance(context, 44100.0, 512);
        if (!maker) return;
        RandomizeParameters(*maker, context.rng);
        other = GetChunk(*maker, kBank);
    }
    if (good.empty() || other.empty()) {
        context.Fail("an empty chunk");
        return;
    }
    char what[128];
    int harmed[4] = {}, tried[4] = {}; // junk, headed junk, truncated, other
    // Junk of every length up to twice the chunk's, and a few large ones; half
    // of them begin with the other state's first half, to get past a header.
    for (int round = 0; round < context.Scaled(60); ++round) {
        size_t size = size_t(context.rng.Int(1, int(other.size()) * 2));
        if (round % 10 == 9) size = size_t(1) << context.rng.Int(16, 22);
        std::vector<uint8_t> junk(size);
        for (auto& b : junk)
            b = uint8_t(context.rng.Next());
        const bool headed = round % 2 == 1;
        if (headed)
            std::copy(other.begin(), other.begin() + long(std::min(other.size(), size) / 2),
                      junk.begin());
        std::snprintf(what, sizeof what, "%s of %d bytes",
                      headed ? "a state's first half then junk" : "junk", int(size));
        const intptr_t answer = SetChunk(*plugin, kBank, junk.data(), intptr_t(junk.size()));
        ++tried[headed];
        harmed[headed] +=
            !ExpectUnharmed(context, *plugin, good, nullptr, what, context.rng, answer);
    }
    // Truncations of the other state.
    const size_t step = std::max<size_t>(1, other.size() / size_t(context.Scaled(64)));
    for (size_t size = 0; size < other.size(); size += step) {
        std::vector<uint8_t> cut(other.begin(), other.begin() + long(size));
        cut.push_back(0); // a readable byte past the end, never counted
        std::snprintf(what, sizeof what, "a %d-byte state truncated to %d bytes", int(other.size()),
                      int(size));
        const intptr_t answer = SetChunk(*plugin, kBank, cut.data(), intptr_t(size));
        ++tried[2];
        harmed[2] += !ExpectUnharmed(context, *plugin, good, nullptr, what, context.rng, answer);
    }
    // Oversized: the other state with bytes after it, and in 64 MiB; taken
    // whole or refused.
    std::vector<uint8_t> longer = other;
    for (int i = 0; i < 4096; ++i)
        longer.push_back(uint8_t(context.rng.Next()));
    SetChunk(*plugin, kBank, longer.data(), intptr_t(longer.size()));
    ExpectUnharmed(context, *plugin, good, &other, "a state with 4096 bytes after it", context.rng);
    std::vector<uint8_t> huge(size_t(64) << 20, 0);
    std::copy(other.begin(), other.end(), huge.begin());
    SetChunk(*plugin, kBank, huge.data(), intptr_t(huge.size()));
    ExpectUnharmed(context, *plugin, good, &other, "a state in 64 MiB", context.rng);
    // Null data, and no data.
    SetChunk(*plugin, kBank, nullptr, intptr_t(other.size()));
    ExpectUnharmed(context, *plugin, good, nullptr, "a null chunk pointer", context.rng);
    SetChunk(*plugin, kBank, other.data(), 0);
    ExpectUnharmed(context, *plugin, good, nullptr, "a chunk of 0 bytes", context.rng);
    context.Note("harmed by: junk %d of %d, a state's first half then junk %d of %d, "
                 "truncations %d of %d",
                 harmed[0], tried[0], harmed[1], tried[1], harmed[2], tried[2]);
}

void ProgramAndBank(CheckContext& context) {
    auto probe = OpenInstance(context, 44100.0, 512);
    if (!probe || !UsesChunks(context, *probe)) return;
    const int32_t programs = std::max(probe->Record()->numPrograms, 1);
    const int32_t params = probe->Record()->numParams;
    probe.reset();
    for (int round = 0; round < context.Scaled(10); ++round) {
        for (int32_t kind : {kProgram, kBank}) {
            const char* name = kind == kProgram ? "program" : "bank";
            auto source = OpenInstance(context, 44100.0, 512);
            if (!source) return;
            // Every program gets values of its own; the current one is chosen at random.
            std::vector<std::vector<float>> values;
            for (int32_t p = 0; p < programs; ++p) {
                source->Dispatch(kVstOpSetProgram, 0, p);
                values.push_back(RandomizeParameters(*source, context.rng));
            }
            const int32_t current = context.rng.Int(0, programs - 1);
            source->Dispatch(kVstOpSetProgram, 0, current);
            const std::vector<uint8_t> chunk = GetChunk(*source, kind);
            if (chunk.empty()) {
                context.Fail("round %d: an empty %s chunk", round, name);
                continue;
            }
            auto target = OpenInstance(context, 44100.0, 512);
            if (!target) return;
            // A program chunk lands in the target's current program.
            if (kind == kProgram) target->Dispatch(kVstOpSetProgram, 0, current);
            SetChunk(*target, kind, chunk.data(), intptr_t(chunk.size()));
            const long at = FirstDifference(chunk, GetChunk(*target, kind));
            if (at >= 0)
                context.Fail("round %d: a %s chunk loaded and saved again differs at byte %ld",
                             round, name, at);
            for (int32_t i = 0; i < params; ++i)
                if (target->GetParameter(i) != source->GetParameter(i)) {
                    context.Fail("round %d: after a %s chunk, parameter %d of program %d is %g, "
                                 "saved as %g",
                                 round, name, i, current, double(target->GetParameter(i)),
                                 double(source->GetParameter(i)));
                    break;
                }
            // A bank brings every program along.
            if (kind != kBank) continue;
            for (int32_t p = 0; p < programs; ++p) {
                target->Dispatch(kVstOpSetProgram, 0, p);
                source->Dispatch(kVstOpSetProgram, 0, p);
                for (int32_t i = 0; i < params; ++i)
                    if (target->GetParameter(i) != source->GetParameter(i)) {
                        context.Fail("round %d: after a bank chunk, parameter %d of program %d "
                                     "is %g, saved as %g",
                                     round, i, p, double(target->GetParameter(i)),
                                     double(source->GetParameter(i)));
                        break;
                    }
            }
        }
    }
}

} // namespace

void AddStateChecks(std::vector<Check>& checks) {
    checks.push_back({"state.roundtrip",
                      "random states: saved, loaded, saved again: same bytes, same sound",
                      RoundTrip});
    checks.push_back({"state.malformed",
                      "junk, truncated and oversized chunks refused without harm", Malformed});
    checks.push_back({"state.program_bank", "program and bank chunks both ways", ProgramAndBank});
}
