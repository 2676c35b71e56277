#include "tools/host/touch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>

bool SplitTouchGestures(const std::vector<TouchEvent>& record, std::vector<TouchGesture>& gestures,
                        int& stateChanges, std::string& error) {
    gestures.clear();
    stateChanges = 0;
    std::map<int32_t, TouchGesture> held;
    for (size_t i = 0; i < record.size(); ++i) {
        const TouchEvent& e = record[i];
        const std::string where = "note " + std::to_string(i) + ": ";
        switch (e.kind) {
        case TouchEvent::Begin:
            if (held.count(e.index)) {
                error = where + "a second begin for held parameter " + std::to_string(e.index);
                return false;
            }
            held[e.index] = TouchGesture{e.index, {}};
            break;
        case TouchEvent::Value: {
            auto it = held.find(e.index);
            if (it == held.end()) {
                error = where + "a value for parameter " + std::to_string(e.index) +
                        ", which nobody holds";
                return false;
            }
            it->second.values.push_back(e.value);
            break;
        }
        case TouchEvent::End: {
            auto it = held.find(e.index);
            if (it == held.end()) {
                error = where + "an end for parameter " + std::to_string(e.index) +
                        ", which nobody holds";
                return false;
            }
            gestures.push_back(it->second);
            held.erase(it);
            break;
        }
        case TouchEvent::StateChanged:
            ++stateChanges;
            break;
        }
    }
    if (!held.empty()) {
        error = "parameter " + std::to_string(held.begin()->first) + " is still held at the end";
        return false;
    }
    return true;
}

std::string FormatTouchRecord(const std::vector<TouchEvent>& record) {
    std::string out;
    char line[64];
    for (const TouchEvent& e : record) {
        switch (e.kind) {
        case TouchEvent::Begin:
            std::snprintf(line, sizeof line, "begin %d\n", int(e.index));
            break;
        case TouchEvent::Value:
            std::snprintf(line, sizeof line, "value %d %.6f\n", int(e.index), double(e.value));
            break;
        case TouchEvent::End:
            std::snprintf(line, sizeof line, "end %d\n", int(e.index));
            break;
        case TouchEvent::StateChanged:
            std::snprintf(line, sizeof line, "state changed\n");
            break;
        }
        out += line;
    }
    return out;
}

WaitingHost::WaitingHost(PluginInstance& plugin, int timeoutMs)
    : mPlugin(plugin), mTimeoutMs(timeoutMs) {
    mAudio = std::thread([this] { AudioLoop(); });
    mPlugin.Options().onEdit = [this](int32_t, int32_t, float) { OnEdit(); };
}

WaitingHost::~WaitingHost() {
    mPlugin.Options().onEdit = nullptr;
    {
        std::lock_guard<std::mutex> hold(mLock);
        mStop = true;
    }
    mWake.notify_all();
    mAudio.join();
}

void WaitingHost::OnEdit() {
    ++mCalls;
    std::unique_lock<std::mutex> hold(mLock);
    const int64_t ticket = ++mAsked;
    mWake.notify_all();
    const bool done = mWake.wait_for(hold, std::chrono::milliseconds(mTimeoutMs),
                                     [&] { return mDone >= ticket; });
    if (!done) ++mStalls;
}

void WaitingHost::AudioLoop() {
    VstEffectRecord* record = mPlugin.Record();
    const int32_t channels = record ? std::max(record->numInputs, record->numOutputs) : 0;
    std::vector<std::vector<float>> buffers(size_t(2 * channels), std::vector<float>(kFrames));
    std::vector<float*> in, out;
    for (int32_t c = 0; c < channels; ++c) {
        in.push_back(buffers[size_t(c)].data());
        out.push_back(buffers[size_t(channels + c)].data());
    }
    std::unique_lock<std::mutex> hold(mLock);
    for (;;) {
        mWake.wait(hold, [&] { return mStop || mDone < mAsked; });
        if (mDone >= mAsked && mStop) return;
        hold.unlock();
        // The block goes straight through the record: the host's transport
        // belongs to whoever else plays.
        if (record && record->processReplacing)
            record->processReplacing(record, in.data(), out.data(), kFrames);
        ++mBlocks;
        hold.lock();
        ++mDone;
        mWake.notify_all();
    }
}
