// The envelope view's side of the effect. The scale (the level at the top of
// its plot) travels with the effect's state. The rest is news for the view:
// what the effect's hooks learn on host threads (sample rate and tempo,
// threshold, envelope length, a loaded scale) is stored here under the
// plug-in's lock, and the view takes it, under the same lock, on the editor
// thread before its next drawing pass or mouse event.
#pragma once

#include <cmath>

#include "base/byte_block.h"
#include "base/db.h"

// What changed since the view last looked; each value counts only with its flag.
struct EnvViewNews {
    bool rate = false;
    int sampleRate = 0;
    double tempo = 0.0;
    bool threshold = false;
    double thresholdValue = 0.0;
    bool events = false;
    int envLen = 0;
    bool scale = false;
    double scaleValue = 0.0;
};

class EnvViewState {
public:
    double Scale() const { return mScale; }
    // A scale from the effect's side (a loaded state, a test): the view shows it.
    void SetScale(double scale) {
        mScale = scale;
        mNews.scale = true;
        mNews.scaleValue = scale;
    }
    // The scale the view itself chose (a drag, a fit): saved, no news.
    void StoreScale(double scale) { mScale = scale; }
    // The threshold line must stay inside the plot: a threshold above the scale
    // raises the scale to it.
    void SetThreshold(double threshold) {
        if (threshold > mScale) SetScale(threshold);
        mNews.threshold = true;
        mNews.thresholdValue = threshold;
    }
    // After each reset of the effect.
    void SetSampleRateAndTempo(int sampleRate, double tempo) {
        mNews.rate = true;
        mNews.sampleRate = sampleRate;
        mNews.tempo = tempo;
    }
    // Envelope length in samples; the view marks its events again.
    void SetEventLength(int envLen) {
        mNews.events = true;
        mNews.envLen = envLen;
    }
    // Hands out what changed and forgets it.
    EnvViewNews TakeNews() {
        const EnvViewNews news = mNews;
        mNews = EnvViewNews();
        return news;
    }

    // Appends the scale as one double.
    void SaveViewState(ByteBlock& chunk) const { chunk.AppendDouble(mScale); }
    // Reads the scale when 8 more bytes remain and applies it as it is, except
    // that a non-finite or non-positive scale (which no plot can show) is
    // skipped. Always true.
    bool LoadViewState(const ByteBlock& chunk, int& position) {
        double scale;
        if (ReadViewState(chunk, position, scale)) SetScale(scale);
        return true;
    }
    // LoadViewState's reading alone (no lock needed): true with a scale to apply.
    static bool ReadViewState(const ByteBlock& chunk, int& position, double& scale) {
        return chunk.ReadDouble(position, scale) && scale > 0.0 && std::isfinite(scale);
    }

private:
    double mScale = DbToAmp(-3.0);
    EnvViewNews mNews;
};
