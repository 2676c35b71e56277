// Lifecycle checks: the misuse the interface allows a host. Requests before
// open, processing while suspended or never resumed, a thousand suspends and
// resumes, close without suspend, and many instances alive at once.
#include <algorithm>
#include <cmath>

#include "tools/host/validate/validate_support.h"

namespace {

// The requests a host may make at any time.
void AskEverything(PluginInstance& plugin, Rng& rng) {
    const VstEffectRecord& r = *plugin.Record();
    for (int32_t i = -1; i <= r.numParams; ++i) {
        plugin.ParamName(i);
        plugin.ParamLabel(i);
        plugin.ParamDisplay(i);
        if (i >= 0 && i < r.numParams) {
            plugin.SetParameter(i, float(rng.Uniform()));
            plugin.GetParameter(i);
        }
    }
    plugin.EffectName();
    plugin.VendorString();
    plugin.ProductString();
    plugin.CanDo("receiveVstMidiEvent");
    plugin.CanDo("");
    plugin.Dispatch(kVstOpGetProgram);
    plugin.Dispatch(kVstOpSetProgram, 0, 0);
    plugin.Dispatch(kVstOpSetProgram, 0, -1);
    plugin.Dispatch(kVstOpSetProgram, 0, r.numPrograms);
    plugin.Text(kVstOpGetProgramName);
    plugin.Dispatch(kVstOpCanBeAutomated, -1);
    plugin.Dispatch(kVstOpGetTailSize);
    plugin.Dispatch(kVstOpGetCategory);
    plugin.Dispatch(kVstOpGetVstVersion);
    VstPinProperties pin{};
    plugin.Dispatch(kVstOpGetInputProperties, 0, 0, &pin);
    plugin.Dispatch(kVstOpGetOutputProperties, 99, 0, &pin);
    void* rect = nullptr;
    plugin.Dispatch(kVstOpEditorGetRect, 0, 0, &rect);
    plugin.Dispatch(kVstOpEditorIdle);
    plugin.Dispatch(kVstOpIdle);
    plugin.GetChunk();
}

// A few blocks through the replacing entry; fails when the output is not finite.
void ExpectFinite(CheckContext& context, PluginInstance& plugin, const char* what) {
    const Audio input = TestSignal(context.rng, plugin.Record()->numInputs, 4096, 44100.0);
    const Audio out = Render(plugin, Entry::Replacing, input, {512, 1, 333});
    if (FirstNonFinite(out) >= 0) context.Fail("%s: output not finite", what);
}

void BeforeOpen(CheckContext& context) {
    PluginInstance plugin;
    if (!plugin.Create(context.module)) {
        context.Fail("the entry point returned no effect");
        return;
    }
    AskEverything(plugin, context.rng);
    plugin.SetSampleRate(44100.0);
    plugin.SetBlockSize(512);
    plugin.Start(44100.0, 512);
    ExpectFinite(context, plugin, "after requests before open");
    // Everything again while running, and after suspend.
    AskEverything(plugin, context.rng);
    plugin.SetMainsOn(false);
    AskEverything(plugin, context.rng);
    plugin.SetMainsOn(true);
    ExpectFinite(context, plugin, "after requests while suspended");
    // Closing with the effect still resumed, as careless hosts do.
    plugin.Close(false);
}

void WithoutResume(CheckContext& context) {
    PluginInstance plugin;
    if (!plugin.Create(context.module)) {
        context.Fail("the entry point returned no effect");
        return;
    }
    // Processing before open and rate: a host must not, but some do.
    ExpectFinite(context, plugin, "processing before open");
    plugin.Dispatch(kVstOpOpen);
    ExpectFinite(context, plugin, "processing after open, without a rate or resume");
    plugin.SetSampleRate(48000.0);
    plugin.SetBlockSize(256);
    ExpectFinite(context, plugin, "processing without resume");
    plugin.SetMainsOn(true);
    plugin.SetMainsOn(false);
    ExpectFinite(context, plugin, "processing after suspend");
    plugin.Close();
}

void SuspendResume(CheckContext& context) {
    auto plugin = OpenInstance(context, 44100.0, 512);
    if (!plugin) return;
    const double rates[] = {44100.0, 48000.0, 96000.0, 22050.0};
    std::vector<std::vector<float>> buffers(
        size_t(std::max(plugin->Record()->numInputs, plugin->Record()->numOutputs) + 1),
        std::vector<float>(64, 0.25f));
    std::vector<float*> ptrs;
    for (auto& b : buffers)
        ptrs.push_back(b.data());
    for (int round = 0; round < context.Scaled(1000); ++round) {
        plugin->SetMainsOn(false);
        // Sometimes twice in a row, sometimes a new rate or block size between.
        if (round % 7 == 0) plugin->SetMainsOn(false);
        if (round % 5 == 0) plugin->SetSampleRate(rates[size_t(round / 5) % 4]);
        if (round % 11 == 0) plugin->SetBlockSize(int32_t(16 << (round % 6)));
        plugin->SetMainsOn(true);
        if (round % 13 == 0) plugin->SetMainsOn(true);
        if (round % 3 == 0) {
            for (auto& b : buffers)
                std::fill(b.begin(), b.end(), 0.25f);
            plugin->ProcessReplacing(ptrs.data(), ptrs.data() + 1, 64);
            for (size_t c = 1; c < buffers.size(); ++c)
                for (float v : buffers[c])
                    if (!std::isfinite(v)) {
                        context.Fail("round %d: output not finite after resume", round);
                        return;
                    }
        }
    }
    plugin->SetSampleRate(44100.0);
    plugin->SetBlockSize(512);
    ExpectFinite(context, *plugin, "after the suspends and resumes");
}

void ManyInstances(CheckContext& context) {
    const int count = context.Scaled(32);
    std::vector<std::unique_ptr<PluginInstance>> plugins;
    for (int i = 0; i < count; ++i) {
        auto plugin = OpenInstance(context, 48000.0, 256);
        if (!plugin) return;
        plugins.push_back(std::move(plugin));
    }
    const std::vector<float> values = RandomizeParameters(*plugins[0], context.rng);
    for (auto& plugin : plugins)
        for (size_t i = 0; i < values.size(); ++i)
            plugin->SetParameter(int32_t(i), values[i]);
    // Interleaved: a block of each in turn; every instance must give the same.
    const Audio input =
        TestSignal(context.rng, plugins[0]->Record()->numInputs, 48000 / 4, 48000.0);
    std::vector<Audio> outputs(size_t(count), Audio(plugins[0]->Record()->numOutputs, 0));
    for (int done = 0; done < input.frames; done += 256) {
        Audio piece(int(input.channels.size()), std::min(256, input.frames - done));
        for (size_t c = 0; c < input.channels.size(); ++c)
            std::copy(input.channels[c].begin() + done,
                      input.channels[c].begin() + done + piece.frames, piece.channels[c].begin());
        for (int i = 0; i < count; ++i) {
            const Audio out = Render(*plugins[size_t(i)], Entry::Replacing, piece, {256});
            Audio& all = outputs[size_t(i)];
            for (size_t c = 0; c < out.channels.size(); ++c)
                all.channels[c].insert(all.channels[c].end(), out.channels[c].begin(),
                                       out.channels[c].end());
            all.frames += out.frames;
        }
    }
    for (int i = 1; i < count; ++i) {
        const double diff = MaxDifference(outputs[0], outputs[size_t(i)]);
        if (diff != 0.0) {
            context.Fail("instance %d of %d differs from the first by %.3g with the same "
                         "settings and input",
                         i, count, diff);
            break;
        }
    }
    // Closed in a scrambled order, some without suspend.
    while (!plugins.empty()) {
        const size_t i = size_t(context.rng.Int(0, int(plugins.size()) - 1));
        plugins[i]->Close(context.rng.Uniform() < 0.5);
        plugins.erase(plugins.begin() + long(i));
    }
}

} // namespace

void AddLifecycleChecks(std::vector<Check>& checks) {
    checks.push_back({"lifecycle.before_open",
                      "requests before open and while suspended; close while resumed", BeforeOpen});
    checks.push_back(
        {"lifecycle.no_resume", "processing before open and without resume", WithoutResume});
    checks.push_back(
        {"lifecycle.suspend_resume", "suspend and resume a thousand times", SuspendResume});
    checks.push_back(
        {"lifecycle.instances", "many instances at once give the same sound", ManyInstances});
}
