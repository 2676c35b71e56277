// Host buffers with guard bytes on both sides, to catch writes outside them.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

template <typename T>
class Guarded {
public:
    static constexpr size_t kGuard = 64; // elements on each side
    static constexpr unsigned char kPattern = 0xA5;

    explicit Guarded(size_t count, T fill = T()) : mCount(count), mStore(count + 2 * kGuard) {
        std::memset(static_cast<void*>(mStore.data()), kPattern, mStore.size() * sizeof(T));
        for (size_t i = 0; i < count; ++i)
            data()[i] = fill;
    }
    T* data() { return mStore.data() + kGuard; }
    const T* data() const { return mStore.data() + kGuard; }
    size_t size() const { return mCount; }
    T& operator[](size_t i) { return data()[i]; }
    // True while no byte before or after the buffer has changed.
    bool Intact() const {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(mStore.data());
        const size_t guardBytes = kGuard * sizeof(T);
        const size_t tail = (kGuard + mCount) * sizeof(T);
        for (size_t i = 0; i < guardBytes; ++i)
            if (bytes[i] != kPattern || bytes[tail + i] != kPattern) return false;
        return true;
    }

private:
    size_t mCount;
    std::vector<T> mStore;
};

// A set of guarded channels with the pointer array a host hands over.
template <typename T>
class GuardedChannels {
public:
    GuardedChannels(int channels, size_t frames, T fill = T()) {
        for (int c = 0; c < channels; ++c)
            mChannels.emplace_back(frames, fill);
        for (auto& channel : mChannels)
            mPointers.push_back(channel.data());
    }
    T** pointers() { return mPointers.data(); }
    Guarded<T>& operator[](size_t c) { return mChannels[c]; }
    bool Intact() const {
        for (const auto& channel : mChannels)
            if (!channel.Intact()) return false;
        return true;
    }

private:
    std::vector<Guarded<T>> mChannels;
    std::vector<T*> mPointers;
};
