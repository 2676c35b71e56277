#include "tools/host/editor_session.h"

#ifdef __linux__
#include <pthread.h>
#endif

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "draw/png_write.h"

namespace {

// The rectangle the editor-get-rect opcode points the host at.
struct EditorRectRecord {
    int16_t top, left, bottom, right;
};

struct ActionName {
    const char* name;
    MouseAction action;
    MouseButton button;
};

constexpr ActionName kActions[] = {
    {"press", MouseAction::Press, MouseButton::Left},
    {"drag", MouseAction::Drag, MouseButton::Left},
    {"release", MouseAction::Release, MouseButton::Left},
    {"click", MouseAction::Click, MouseButton::Left},
    {"dblclick", MouseAction::DoubleClick, MouseButton::Left},
    {"rpress", MouseAction::Press, MouseButton::Right},
    {"rdrag", MouseAction::Drag, MouseButton::Right},
    {"rrelease", MouseAction::Release, MouseButton::Right},
    {"rclick", MouseAction::Click, MouseButton::Right},
    {"rdblclick", MouseAction::DoubleClick, MouseButton::Right},
    {"wheel", MouseAction::Wheel, MouseButton::Left},
    {"move", MouseAction::Move, MouseButton::Left},
    {"leave", MouseAction::Leave, MouseButton::Left},
};

// A whole decimal integer (optionally signed) within -100000..100000.
bool ParseInt(const std::string& text, int& value) {
    if (text.empty() || text.size() > 7) return false;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (*end != 0 || parsed < -100000 || parsed > 100000) return false;
    value = int(parsed);
    return true;
}

// "x,y" or "x,y,n" into numbers.
bool ParseNumbers(const std::string& text, std::vector<int>& numbers) {
    numbers.clear();
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ',')) {
        int value = 0;
        if (!ParseInt(item, value)) return false;
        numbers.push_back(value);
    }
    return !text.empty() && text.back() != ',';
}

bool ParseStep(const std::string& text, MouseStep& step, std::string& error) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty()) {
        error = "empty step";
        return false;
    }
    if (words[0] == "wait") {
        int ms = 0;
        if (words.size() != 2 || !ParseInt(words[1], ms) || ms < 0) {
            error = "wait takes milliseconds: \"" + text + "\"";
            return false;
        }
        step.wait = true;
        step.waitMs = ms;
        return true;
    }
    const ActionName* found = nullptr;
    for (const ActionName& a : kActions)
        if (words[0] == a.name) found = &a;
    if (!found) {
        error = "unknown mouse action \"" + words[0] + "\"";
        return false;
    }
    MouseEvent& e = step.event;
    e.action = found->action;
    e.button = found->button;
    size_t next = 1;
    if (e.action != MouseAction::Leave) {
        std::vector<int> numbers;
        const size_t wanted = e.action == MouseAction::Wheel ? 3 : 2;
        if (words.size() < 2 || !ParseNumbers(words[1], numbers) || numbers.size() != wanted) {
            error = words[0] + (wanted == 3 ? " takes x,y,notches" : " takes x,y") + ": \"" + text +
                    "\"";
            return false;
        }
        e.x = numbers[0];
        e.y = numbers[1];
        if (wanted == 3) e.notches = numbers[2];
        next = 2;
    }
    for (size_t i = next; i < words.size(); ++i) {
        if (words[i] == "shift") {
            e.shift = true;
        } else if (words[i] == "ctrl") {
            e.control = true;
        } else if (words[i] == "alt") {
            e.alt = true;
        } else {
            error = "unknown modifier \"" + words[i] + "\"";
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseMouseSequence(const std::string& text, std::vector<MouseStep>& steps,
                        std::string& error) {
    std::vector<MouseStep> parsed;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ';');) {
        if (item.find_first_not_of(" \t\r\n") == std::string::npos) continue;
        MouseStep step;
        if (!ParseStep(item, step, error)) return false;
        parsed.push_back(step);
    }
    steps = std::move(parsed);
    return true;
}

EditorSession::EditorSession(PluginInstance& plugin)
    : mPlugin(plugin), mWindow(NewParentWindow()) {}

EditorSession::~EditorSession() {
    StopAudio();
    Close();
    mWindow->Destroy();
}

bool EditorSession::Open(std::string& error, bool openEditor) {
    if (mOpen) return true;
    VstEffectRecord* record = mPlugin.Record();
    if (!record || !(record->flags & kVstFlagHasEditor)) {
        error = "the plug-in has no editor";
        return false;
    }
    EditorRectRecord* rect = nullptr;
    if (!mPlugin.Dispatch(kVstOpEditorGetRect, 0, 0, &rect) || !rect) {
        error = "the plug-in gives no editor size";
        return false;
    }
    mWidth = rect->right - rect->left;
    mHeight = rect->bottom - rect->top;
    // The window of an earlier Open serves again when the size is the same
    // (making top-level windows is slow on some systems).
    if (mWindow->NativeHandle() && (mWidth != mFrameWidth || mHeight != mFrameHeight))
        mWindow->Destroy();
    if (!mWindow->NativeHandle()) {
        if (!mWindow->Create(mWidth, mHeight, "kelo-host: " + mPlugin.EffectName())) {
            error = mWindow->Error();
            return false;
        }
        mFrameWidth = mWidth;
        mFrameHeight = mHeight;
    }
    if (!openEditor) {
        Pump(0);
        return true;
    }
    if (!mPlugin.Dispatch(kVstOpEditorOpen, 0, 0, mWindow->NativeHandle())) {
        error = "the plug-in did not open its editor";
        return false;
    }
    mOpen = true;
    Pump(0);
    return true;
}

void EditorSession::Close() {
    if (!mOpen) return;
    // A plug-in closed meanwhile has closed its editor with it.
    if (mPlugin.Record()) mPlugin.Dispatch(kVstOpEditorClose);
    mOpen = false;
    // What the editor's closing causes is handled now.
    mWindow->Pump(0, nullptr);
}

void EditorSession::Pump(int milliseconds, bool idle) {
    if (!idle) {
        mWindow->Pump(milliseconds, nullptr);
        return;
    }
    mWindow->Pump(milliseconds, [this] {
        if (mOpen) mPlugin.Dispatch(kVstOpEditorIdle);
    });
}

bool EditorSession::UserClosed() const {
    return mWindow->UserClosed();
}

bool EditorSession::Mouse(const MouseEvent& event) {
    if (!mOpen || !mWindow->SendMouse(event)) return false;
    Pump(30);
    return true;
}

bool EditorSession::Play(const std::vector<MouseStep>& steps) {
    for (const MouseStep& step : steps) {
        if (step.wait) {
            Pump(step.waitMs);
        } else if (!Mouse(step.event)) {
            return false;
        }
    }
    return true;
}

bool EditorSession::Capture(std::vector<uint32_t>& pixels, int& width, int& height) {
    if (!mOpen) return false;
    // One more round of the editor's timer, so the picture is current.
    Pump(60);
    return mWindow->Capture(pixels, width, height);
}

bool EditorSession::WritePng(const std::string& path, std::string& error) {
    std::vector<uint32_t> pixels;
    int width = 0, height = 0;
    if (!Capture(pixels, width, height)) {
        error = "cannot read the editor's window";
        return false;
    }
    if (!WriteFileBytes(path, EncodePixelsPng(pixels.data(), width, height, width, false))) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

void EditorSession::StartAudio(std::vector<float> stereo, double rate, int32_t blockSize,
                               bool loop) {
    StopAudio();
    if (stereo.size() < 2 || !(rate > 0.0) || blockSize <= 0) return;
    mStopAudio = false;
    mAudioDone = false;
    mAudio = std::thread(&EditorSession::AudioLoop, this, std::move(stereo), rate, blockSize, loop);
}

void EditorSession::StopAudio() {
    mStopAudio = true;
    if (mAudio.joinable()) mAudio.join();
}

void EditorSession::AudioLoop(std::vector<float> stereo, double rate, int32_t blockSize,
                              bool loop) {
#ifdef __linux__
    pthread_setname_np(pthread_self(), "host-audio"); // as tools show the thread
#endif
    VstEffectRecord* record = mPlugin.Record();
    const int32_t inputs = record ? record->numInputs : 0;
    const int32_t outputs = record ? record->numOutputs : 0;
    const size_t block = size_t(blockSize);
    std::vector<std::vector<float>> in(static_cast<size_t>(inputs), std::vector<float>(block));
    std::vector<std::vector<float>> out(static_cast<size_t>(outputs), std::vector<float>(block));
    std::vector<float*> inPtrs, outPtrs;
    for (auto& channel : in)
        inPtrs.push_back(channel.data());
    for (auto& channel : out)
        outPtrs.push_back(channel.data());

    const size_t frames = stereo.size() / 2;
    size_t position = 0;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    int64_t played = 0;
    while (!mStopAudio) {
        if (position >= frames) {
            if (!loop) break;
            position = 0;
        }
        // Inputs alternate left and right; frames past the end are silent.
        for (int32_t c = 0; c < inputs; ++c)
            for (int32_t i = 0; i < blockSize; ++i) {
                const size_t at = position + size_t(i);
                in[size_t(c)][size_t(i)] = at < frames ? stereo[at * 2 + size_t(c % 2)] : 0.0f;
            }
        mPlugin.ProcessReplacing(inPtrs.data(), outPtrs.data(), blockSize);
        position += size_t(blockSize);
        played += blockSize;
        mFramesPlayed = played;
        // In real time, as a sound card would ask for it.
        std::this_thread::sleep_until(start +
                                      std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(double(played) / rate)));
    }
    mAudioDone = true;
}
