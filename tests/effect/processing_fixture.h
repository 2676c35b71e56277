// What the processing tests share: the rate they run at, and readers of the
// band levels recorded so far and of the current event, each read whole.
#pragma once

#include <cstdint>
#include <vector>

#include "kelo_fixture.h"

const double kRate = 48000.0;

// The band levels recorded so far, oldest first.
inline std::vector<double> History(TestKelo& fx) {
    std::vector<double> all, piece(16384);
    for (;;) {
        int64_t start;
        bool marked;
        int n = fx.ReadHistory(piece.data(), int(piece.size()), start, marked);
        if (n == 0) return all;
        all.insert(all.end(), piece.begin(), piece.begin() + n);
    }
}

// Reads the current event from its first position, as a reader that has none
// of it: slice after slice, as the effect hands it out.
inline int ReadEvent(TestKelo& fx, double* levels, double* outs, int capacity, int& start) {
    uint64_t event = 0;
    start = 0;
    int total = 0;
    for (int from = 0;; from += KeloEffect::kReadSlice) {
        int at = from;
        const int n = fx.ReadDetection(levels, outs, capacity, event, at);
        if (from == 0) start = at;
        total += n;
        if (n < KeloEffect::kReadSlice) return total;
    }
}
