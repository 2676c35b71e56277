// The part of the envelope view that travels with the effect's state: the level
// at the top of its plot.
#pragma once

#include <cmath>

#include "effect/byte_block.h"
#include "plug/db.h"

class EnvViewState {
public:
    double Scale() const { return mScale; }
    void SetScale(double scale) { mScale = scale; }
    // The threshold line must stay inside the plot: a threshold above the scale
    // raises the scale to it.
    void SetThreshold(double threshold) {
        if (threshold > mScale) SetScale(threshold);
    }

    // Appends the scale as one double.
    void SaveViewState(ByteBlock& chunk) const { chunk.AppendDouble(mScale); }
    // Reads the scale when 8 more bytes remain and applies it as it is, except
    // that a non-finite or non-positive scale (which no plot can show) is
    // skipped. Always true.
    bool LoadViewState(const ByteBlock& chunk, int& position) {
        double scale;
        if (chunk.ReadDouble(position, scale) && scale > 0.0 && std::isfinite(scale))
            SetScale(scale);
        return true;
    }

private:
    double mScale = DbToAmp(-3.0);
};
