// The colours of the displays' level bars: a green gradient up from a bar's
// base and a fading outline up a higher neighbour, in steps of 1/1024.
#pragma once

#include <cstdint>
#include <vector>

#include "draw/paint.h"
#include "effect/ui/palette.h"

// from + (to - from) * i / count per channel; from when count is not positive.
inline Color MixColor(const Color& from, const Color& to, int i, int count) {
    const int b = count > 0 ? i * 1024 / count : 0;
    return Color(255, (from.mR * (1024 - b) + to.mR * b) / 1024,
                 (from.mG * (1024 - b) + to.mG * b) / 1024,
                 (from.mB * (1024 - b) + to.mB * b) / 1024);
}

// Pixel i (from the base) of a bar n pixels high: pale green to green over the
// first third, green to dark green over the second, dark green above. Bars too
// short to have thirds are dark green.
inline Color BarGradient(int i, int n) {
    const int third = n / 3;
    if (third == 0) return kBarDarkGreen;
    if (i < third) return MixColor(kBarPaleGreen, kBarGreen, i, third);
    if (i < 2 * third) return MixColor(kBarGreen, kBarDarkGreen, i - third, third);
    return kBarDarkGreen;
}

// Pixel i of a fading outline count pixels long: base faded by
// (1024 - 1024 i / count) / 1024.
inline Color FadedColor(const Color& base, int i, int count) {
    const int f = 1024 - 1024 * i / count;
    return Color(255, base.mR * f / 1024, base.mG * f / 1024, base.mB * f / 1024);
}

// The pixel words of a display's bar or outline runs, made once per length and
// kept: word i of Run(n) is BarGradient(i, n) (kind kGradient) or
// FadedColor(base, i, n) (kind kFaded). The displays write them as columns,
// pixel i of a run i rows from its base. Runs longer than the limit are made
// afresh at each call. Editor thread only.
class BarRuns {
public:
    enum Kind { kGradient, kFaded };

    BarRuns(Kind kind, const Color& base, int maxLength)
        : mKind(kind), mBase(base), mRuns(size_t(maxLength > 0 ? maxLength + 1 : 1)) {}

    // The n words of a run n long; null when n is not positive.
    const uint32_t* Run(int n) {
        if (n <= 0) return nullptr;
        std::vector<uint32_t>& run = size_t(n) < mRuns.size() ? mRuns[size_t(n)] : mLong;
        if (run.size() != size_t(n)) {
            run.resize(size_t(n));
            for (int i = 0; i < n; ++i)
                run[size_t(i)] =
                    (mKind == kGradient ? BarGradient(i, n) : FadedColor(mBase, i, n)).Word();
        }
        return run.data();
    }

private:
    Kind mKind;
    Color mBase;
    std::vector<std::vector<uint32_t>> mRuns;
    std::vector<uint32_t> mLong;
};
