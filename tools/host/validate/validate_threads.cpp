// Thread checks: automation and state on one thread while another processes;
// two instances on two threads against one thread; and a host whose
// automation callback waits for its audio thread, which finds a plug-in that
// calls the host while holding a lock its processing takes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "tools/host/validate/validate_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// An audio thread that processes the test signal block after block until
// stopped, and remembers the first non-finite or out-of-bound output.
class AudioThread {
public:
    AudioThread(PluginInstance& plugin, const Audio& input, double bound)
        : mPlugin(plugin), mInput(input), mBound(bound) {}
    ~AudioThread() { Stop(); }
    void Start() {
        mThread = std::thread([this] { Loop(); });
    }
    void Stop() {
        mStop = true;
        if (mThread.joinable()) mThread.join();
    }
    int64_t Blocks() const { return mBlocks.load(); }
    bool IsAudioThread() const { return std::this_thread::get_id() == mId.load(); }
    // Waits until the audio thread finished one more block, or was stopped;
    // false after timeout.
    bool WaitForBlock(double seconds) const {
        const int64_t target = mBlocks.load() + 2; // one may be half done
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (mBlocks.load() < target && !mStop.load()) {
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }
    long BadBlock() const { return mBadBlock.load(); }
    double BadPeak() const { return mBadPeak.load(); }

private:
    void Loop() {
        mId = std::this_thread::get_id();
        const VstEffectRecord& r = *mPlugin.Record();
        const int block = 256;
        std::vector<std::vector<float>> in(size_t(std::max(r.numInputs, 1)),
                                           std::vector<float>(block));
        std::vector<std::vector<float>> out(size_t(std::max(r.numOutputs, 1)),
                                            std::vector<float>(block));
        std::vector<float*> ip, op;
        for (auto& c : in)
            ip.push_back(c.data());
        for (auto& c : out)
            op.push_back(c.data());
        int at = 0;
        while (!mStop.load()) {
            if (at + block > mInput.frames) at = 0;
            for (size_t c = 0; c < mInput.channels.size() && c < in.size(); ++c)
                for (int i = 0; i < block; ++i)
                    in[c][size_t(i)] = float(mInput.channels[c][size_t(at + i)]);
            at += block;
            mPlugin.ProcessReplacing(ip.data(), op.data(), block);
            for (int c = 0; c < r.numOutputs; ++c)
                for (float v : out[size_t(c)])
                    if (!std::isfinite(v) || (mBound >= 0.0 && std::fabs(v) > mBound)) {
                        if (mBadBlock.load() < 0) {
                            mBadPeak = double(v);
                            mBadBlock = long(mBlocks.load());
                        }
                        break;
                    }
            ++mBlocks;
        }
    }

    PluginInstance& mPlugin;
    const Audio& mInput;
    const double mBound;
    std::thread mThread;
    std::atomic<bool> mStop{false};
    std::atomic<int64_t> mBlocks{0};
    std::atomic<std::thread::id> mId{};
    std::atomic<long> mBadBlock{-1};
    std::atomic<double> mBadPeak{0.0};
};

void ReportBad(CheckContext& context, const AudioThread& audio, const char* during) {
    if (audio.BadBlock() >= 0)
        context.Fail("block %ld on the audio thread while %s: output %g is not finite or out "
                     "of bound",
                     audio.BadBlock(), during, audio.BadPeak());
}

void AutomationAndState(CheckContext& context) {
    const double rate = 48000.0;
    auto plugin = OpenInstance(context, rate, 256);
    if (!plugin) return;
    const VstEffectRecord& r = *plugin->Record();
    const bool chunks = (r.flags & kVstFlagProgramChunks) != 0;
    // States to load: random ones made beforehand on another instance.
    std::vector<std::vector<uint8_t>> states;
    if (chunks) {
        auto maker = OpenInstance(context, rate, 256);
        if (!maker) return;
        for (int i = 0; i < 8; ++i) {
            RandomizeParameters(*maker, context.rng);
            states.push_back(maker->GetChunk());
        }
    }
    const Audio input = TestSignal(context.rng, r.numInputs, int(rate), rate, 0.9);
    AudioThread audio(*plugin, input, OutputBound(KnownPluginOf(r), PeakOf(input)));
    audio.Start();
    audio.WaitForBlock(5.0);
    const int operations = context.Scaled(3000);
    // Operations 0..3 set a parameter, 4..5 read a display, 6..7 load a state
    // and 8..9 save one; those a plug-in has nothing for are passed over.
    for (int op = 0; op < operations; ++op) {
        const int kind = context.rng.Int(0, chunks ? 9 : 5);
        if (kind <= 5 && r.numParams <= 0) {
            // No parameters.
        } else if (kind <= 3) {
            const int32_t index = context.rng.Int(0, r.numParams - 1);
            plugin->SetParameter(index, float(context.rng.Uniform()));
            const float back = plugin->GetParameter(index);
            if (!(back >= 0.0f && back <= 1.0f))
                context.Fail("getParameter(%d) answers %g while processing", index, double(back));
        } else if (kind <= 5) {
            plugin->ParamDisplay(context.rng.Int(0, r.numParams - 1));
        } else if (kind <= 7) {
            const auto& state = states[size_t(context.rng.Int(0, int(states.size()) - 1))];
            plugin->SetChunk(state.data(), intptr_t(state.size()));
        } else {
            plugin->GetChunk();
        }
        if (op % 50 == 0) std::this_thread::yield();
    }
    // A last state, loaded while processing, is what the plug-in then holds.
    if (chunks) {
        plugin->SetChunk(states[0].data(), intptr_t(states[0].size()));
        audio.WaitForBlock(5.0);
        if (plugin->GetChunk() != states[0])
            context.Fail("a state loaded while processing does not save back as it was");
    }
    audio.Stop();
    ReportBad(context, audio, "automation and state changed on another thread");
    context.Note("%d operations against %ld blocks", operations, long(audio.Blocks()));
}

// The two instances' blocks in turn, all on this thread: what is left of the
// check where threads cannot run side by side. It still finds instances that
// share what they change while they process.
void RenderInterleaved(PluginInstance& first, PluginInstance& second, const Audio& input, Audio& a,
                       Audio& b) {
    const int block = 512;
    const int outputs = first.Record()->numOutputs;
    a = Audio(outputs, input.frames);
    b = Audio(outputs, input.frames);
    for (int at = 0; at < input.frames; at += block) {
        const int frames = std::min(block, input.frames - at);
        Audio piece(int(input.channels.size()), frames);
        for (size_t c = 0; c < input.channels.size(); ++c)
            std::copy(input.channels[c].begin() + at, input.channels[c].begin() + at + frames,
                      piece.channels[c].begin());
        const Audio outA = Render(first, Entry::Replacing, piece, {block});
        const Audio outB = Render(second, Entry::Replacing, piece, {block});
        for (int c = 0; c < outputs; ++c) {
            std::copy(outA.channels[size_t(c)].begin(), outA.channels[size_t(c)].end(),
                      a.channels[size_t(c)].begin() + at);
            std::copy(outB.channels[size_t(c)].begin(), outB.channels[size_t(c)].end(),
                      b.channels[size_t(c)].begin() + at);
        }
    }
}

void TwoInstances(CheckContext& context) {
    const double rate = 44100.0;
    const char* noThreads = ThreadsUnreliable();
    if (noThreads)
        context.Adapt("two instances with their blocks in turn on one thread equal one alone "
                      "(not on two threads: %s)",
                      noThreads);
    for (int round = 0; round < context.Scaled(3); ++round) {
        std::unique_ptr<PluginInstance> p[3];
        for (auto& plugin : p) {
            plugin = OpenInstance(context, rate, 512);
            if (!plugin) return;
        }
        const std::vector<float> values = RandomizeParameters(*p[0], context.rng);
        for (int k = 1; k < 3; ++k)
            for (size_t i = 0; i < values.size(); ++i)
                p[k]->SetParameter(int32_t(i), values[i]);
        const Audio input = TestSignal(context.rng, p[0]->Record()->numInputs, int(rate), rate);
        const Audio reference = Render(*p[0], Entry::Replacing, input, {512});
        Audio a, b;
        if (noThreads) {
            RenderInterleaved(*p[1], *p[2], input, a, b);
        } else {
            std::thread first([&] { a = Render(*p[1], Entry::Replacing, input, {512}); });
            std::thread second([&] { b = Render(*p[2], Entry::Replacing, input, {512}); });
            first.join();
            second.join();
        }
        const double da = MaxDifference(a, reference), db = MaxDifference(b, reference);
        if (da != 0.0 || db != 0.0)
            context.Fail("round %d: two instances %s differ from one alone by %.3g and %.3g", round,
                         noThreads ? "with their blocks in turn" : "on two threads", da, db);
    }
}

// The host of this check makes the plug-in's automation, edit, state and I/O
// requests from any thread but the audio one wait until the audio thread
// processed a block. A plug-in that makes them while holding a lock its processing takes
// stalls the audio thread: the wait times out and the check fails (the
// callback then returns, so nothing hangs).
struct WaitingHost {
    std::atomic<const AudioThread*> audio{nullptr};
    std::atomic<int> requests{0}, timeouts{0};
    std::atomic<int32_t> lastOpcode{-1};
    HostOptions Options() {
        HostOptions options;
        options.onRequest = [this](int32_t opcode, int32_t, float) {
            if (opcode != kVstHostAutomate && opcode != kVstHostBeginEdit &&
                opcode != kVstHostEndEdit && opcode != kVstHostUpdateDisplay &&
                opcode != kVstHostIoChanged)
                return;
            const AudioThread* thread = audio.load();
            if (!thread || thread->IsAudioThread()) return;
            ++requests;
            if (!thread->WaitForBlock(2.0)) {
                ++timeouts;
                lastOpcode = opcode;
            }
        };
        return options;
    }
};

void HostWaits(CheckContext& context) {
    const double rate = 48000.0;
    WaitingHost host;
    auto plugin = OpenInstance(context, rate, 256, host.Options());
    if (!plugin) return;
    const VstEffectRecord& r = *plugin->Record();
    const Audio input = TestSignal(context.rng, r.numInputs, int(rate / 2), rate);
    AudioThread audio(*plugin, input, -1.0);
    host.audio = &audio;
    audio.Start();
    audio.WaitForBlock(5.0);
    std::vector<uint8_t> state = plugin->GetChunk();
    // Whatever a host's user interface does that may make a plug-in report
    // parameter changes back.
    for (int op = 0; op < context.Scaled(400) && host.timeouts.load() < 3; ++op) {
        const int kind = context.rng.Int(0, 5);
        if (kind <= 2 && r.numParams > 0) {
            plugin->SetParameter(context.rng.Int(0, r.numParams - 1), float(context.rng.Uniform()));
        } else if (kind == 3 && !state.empty()) {
            plugin->SetChunk(state.data(), intptr_t(state.size()));
        } else if (kind == 4 && r.numPrograms > 0) {
            plugin->Dispatch(kVstOpSetProgram, 0, context.rng.Int(0, r.numPrograms - 1));
        } else {
            plugin->Dispatch(kVstOpEditorIdle);
            plugin->Dispatch(kVstOpIdle);
        }
    }
    audio.Stop();
    host.audio = nullptr;
    if (host.timeouts.load() > 0)
        context.Fail("%d of %d host requests (last: opcode %d) waited 2 s for the audio thread "
                     "in vain: the plug-in calls the host while holding a lock its processing "
                     "needs",
                     host.timeouts.load(), host.requests.load(), host.lastOpcode.load());
    context.Note("%d automation or edit requests from the host's thread, %ld blocks",
                 host.requests.load(), long(audio.Blocks()));
}

} // namespace

void AddThreadChecks(std::vector<Check>& checks) {
    checks.push_back({"threads.automation_state",
                      "automation and state on one thread, processing on another",
                      AutomationAndState});
    checks.push_back(
        {"threads.two_instances", "two instances on two threads equal one thread", TwoInstances});
    checks.push_back({"threads.host_waits",
                      "a host whose automation callback waits for its audio thread", HostWaits});
}
