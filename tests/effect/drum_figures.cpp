#include "drum_figures.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/db.h"
#include "effect/biquad.h"

const DrumBand kKickBand = {"kick 0-150 Hz", 0.0, 150.0};
const DrumBand kFullBand = {"full band", 0.0, 22000.0};
const DrumBand kSnareBand = {"snare 150-3000 Hz", 150.0, 3000.0};
const DrumBand kTomBand = {"toms 60-600 Hz", 60.0, 600.0};

namespace {

// The band's mid signal, filtered by the detector's own sections.
std::vector<double> BandMid(const DrumTrack& track, const DrumBand& band) {
    HighPass high;
    LowPass low;
    high.SetSampleRate(track.rate);
    low.SetSampleRate(track.rate);
    high.SetFreq(band.lo);
    low.SetFreq(band.hi);
    while (high.Gliding() || low.Gliding()) {
        high.Glide();
        low.Glide();
    }
    std::vector<double> mid(track.size());
    for (size_t i = 0; i < track.size(); ++i)
        mid[i] = low.Tick(high.Tick(0.5 * (track.l[i] + track.r[i])));
    return mid;
}

double PeakOf(const std::vector<double>& x, int64_t from, int64_t to) {
    double peak = 0.0;
    for (int64_t i = std::max<int64_t>(from, 0); i < to && i < int64_t(x.size()); ++i)
        peak = std::max(peak, std::fabs(x[size_t(i)]));
    return peak;
}

// Energy above 5 kHz (two high-pass sections) of a signal.
std::vector<double> Highs(const std::vector<double>& x, double rate) {
    HighPass a, b;
    a.SetSampleRate(rate);
    b.SetSampleRate(rate);
    a.SetFreq(5000.0);
    b.SetFreq(5000.0);
    while (a.Gliding() || b.Gliding()) {
        a.Glide();
        b.Glide();
    }
    std::vector<double> y(x.size());
    for (size_t i = 0; i < x.size(); ++i)
        y[i] = b.Tick(a.Tick(x[i]));
    return y;
}

double Rms(const Stereo& s, size_t from, size_t n) {
    double sum = 0.0;
    for (size_t i = from; i < from + n && i < s.size(); ++i)
        sum += s.l[i] * s.l[i] + s.r[i] * s.r[i];
    return std::sqrt(sum / double(2 * n));
}

Stereo ToStereo(const DrumTrack& track, double sign) {
    Stereo s(track.size());
    for (size_t i = 0; i < track.size(); ++i) {
        s.l[i] = sign * track.l[i];
        s.r[i] = sign * track.r[i];
    }
    return s;
}

// Plays in through fx in blocks, noting every envelope start.
template <typename Effect>
void Play(Effect& fx, const Stereo& in, int block, DrumRender& render) {
    render.out = Stereo(in.size());
    for (size_t i = 0; i < in.size(); i += size_t(block)) {
        const int n = int(std::min(in.size() - i, size_t(block)));
        const int64_t before = fx.EnvelopeStarts();
        fx.Block(&in.l[i], &in.r[i], &render.out.l[i], &render.out.r[i], n);
        // Two starts in one block: the earlier is not known, the later is.
        for (int64_t k = before + 1; k < fx.EnvelopeStarts(); ++k)
            render.starts.push_back(-1);
        if (fx.EnvelopeStarts() > before) render.starts.push_back(fx.LastEnvelopeStart());
    }
}

} // namespace

double AmpDb(double amp) {
    return 20.0 * std::log10(std::max(amp, 1e-12));
}

std::vector<DrumBand> BandsFor(KitPiece piece) {
    switch (piece) {
    case kPieceKick:
        return {kKickBand, kFullBand};
    case kPieceSnare:
        return {kSnareBand};
    case kPieceToms:
        return {kTomBand};
    default:
        return {kFullBand};
    }
}

std::vector<HeardHit> HeardHits(const DrumTrack& track, const DrumBand& band) {
    const std::vector<double> mid = BandMid(track, band);
    const int64_t together = int64_t(0.015 * track.rate), span = int64_t(0.02 * track.rate);
    std::vector<HeardHit> heard;
    for (size_t k = 0; k < track.hits.size();) {
        // One group: the hits within 15 ms of its first.
        size_t end = k;
        double loudest = 0.0;
        while (end < track.hits.size() &&
               int64_t(track.hits[end].frame) - int64_t(track.hits[k].frame) <= together) {
            loudest = std::max(loudest, track.hits[end].midPeak);
            ++end;
        }
        size_t first = k;
        while (track.hits[first].midPeak < 0.5 * loudest)
            ++first;
        const int64_t onset = int64_t(track.hits[first].frame);
        heard.push_back({onset, 0, PeakOf(mid, onset, onset + span), track.hits[first].voice});
        k = end;
    }
    for (size_t k = 0; k < heard.size(); ++k)
        heard[k].until = k + 1 < heard.size() ? heard[k + 1].onset : int64_t(track.size());
    return heard;
}

double RelativeThresholdDb(const std::vector<HeardHit>& hits) {
    double loudest = 0.0;
    for (const HeardHit& hit : hits)
        loudest = std::max(loudest, hit.band);
    return std::max(-60.0, std::min(0.0, AmpDb(loudest) - 20.0));
}

DrumRender RenderDrums(const DrumTrack& track, double sign, const DrumSettings& s) {
    TestCore fx(track.rate, 256);
    fx.Set(kParamThreshold, s.thresholdDb);
    fx.Set(kParamHiFreq, s.band.hi);
    fx.Set(kParamLoFreq, s.band.lo);
    fx.Set(kParamStrength, s.strength);
    fx.SetDetectBothPolarities(s.bothPolarities);
    fx.SetLookahead(s.lookahead);
    fx.ResetProcessing();
    DrumRender render;
    render.delay = s.lookahead ? fx.LookaheadSamples() : 0;
    render.envLen = fx.EnvLen();
    Play(fx, ToStereo(track, sign), 64, render);
    return render;
}

void OnsetFigures::Add(const OnsetFigures& o) {
    hits += o.hits;
    within += o.within;
    missed += o.missed;
    doubled += o.doubled;
    extra += o.extra;
    if (std::fabs(o.worstMs) > std::fabs(worstMs)) worstMs = o.worstMs;
    offsetsMs.insert(offsetsMs.end(), o.offsetsMs.begin(), o.offsetsMs.end());
}

OnsetFigures MeasureOnsets(const DrumTrack& track, const std::vector<HeardHit>& hits,
                           double thresholdDb, const DrumRender& render) {
    OnsetFigures f;
    const std::vector<double> mid = BandMid(track, kFullBand);
    const double rate = track.rate;
    const int64_t ms = int64_t(0.001 * rate), span = int64_t(0.02 * rate);
    const double loud = DbToAmp(thresholdDb + 3.0);
    for (const HeardHit& hit : hits) {
        // Hits the threshold hears, standing out of what rings before them.
        if (hit.band < loud) continue;
        if (PeakOf(mid, hit.onset, hit.onset + span) <
            1.41 * PeakOf(mid, hit.onset - span, hit.onset))
            continue;
        ++f.hits;
        const int64_t at = hit.onset + render.delay;
        const int64_t from = at - 10 * ms, to = hit.until + render.delay - 10 * ms;
        int64_t first = -1;
        int count = 0;
        for (int64_t st : render.starts) {
            if (st < from || st >= std::max(to, at + ms)) continue;
            if (first < 0) first = st;
            // A start at a hit that bleeds in is that hit's, not a second one.
            bool bleed = false;
            for (const DrumHit& other : track.bleed) {
                const int64_t o = int64_t(other.frame) + render.delay;
                bleed = bleed || (st >= o - 10 * ms && st <= o + 3 * ms);
            }
            count += st == first || !bleed;
        }
        if (first < 0) {
            ++f.missed;
            continue;
        }
        if (count > 1) {
            ++f.doubled;
            f.extra += count - 1;
        }
        const double off = 1000.0 * double(first - at) / rate;
        f.offsetsMs.push_back(off);
        f.within += std::fabs(off) <= 1.0;
        if (std::fabs(off) > std::fabs(f.worstMs)) f.worstMs = off;
    }
    return f;
}

ClickFigures MeasureClicks(const DrumTrack& track, double sign, const DrumRender& render) {
    ClickFigures c;
    std::vector<double> in(track.size()), out(track.size());
    for (size_t i = 0; i < track.size(); ++i) {
        // The input as heard at the output (delayed by the lookahead).
        const size_t j = i >= size_t(render.delay) ? i - size_t(render.delay) : 0;
        in[i] = i >= size_t(render.delay) ? sign * 0.5 * (track.l[j] + track.r[j]) : 0.0;
        out[i] = 0.5 * (render.out.l[i] + render.out.r[i]);
    }
    const std::vector<double> inHigh = Highs(in, track.rate), outHigh = Highs(out, track.rate);
    const int64_t ms = int64_t(0.001 * track.rate);
    for (size_t k = 1; k < render.starts.size(); ++k) {
        const int64_t st = render.starts[k], before = render.starts[k - 1];
        if (st < 0 || before < 0 || st - before >= render.envLen) continue;
        ++c.restarts;
        double inSum = 1e-30, outSum = 1e-30;
        for (int64_t i = std::max<int64_t>(st - ms, 0); i < st + ms && i < int64_t(in.size());
             ++i) {
            inSum += inHigh[size_t(i)] * inHigh[size_t(i)];
            outSum += outHigh[size_t(i)] * outHigh[size_t(i)];
        }
        const double n = double(2 * ms);
        const double inDb = 10.0 * std::log10(inSum / n), outDb = 10.0 * std::log10(outSum / n);
        if (outDb - inDb > c.worstDb) {
            c.worstDb = outDb - inDb;
            c.outDbfs = outDb;
            c.inDbfs = inDb;
        }
    }
    return c;
}

const std::vector<DrumRecipe>& ManualRecipes() {
    static const std::vector<DrumRecipe> recipes = {
        {"kick-tighter",
         kPieceKick,
         0,
         150,
         -24,
         0.20,
         0.6,
         false,
         {{0.025, 0.3}, {0.10, 0.3}, {0.25, 0.0}, {1.0, 0.0}},
         150,
         -6.0},
        {"snare-shorter",
         kPieceSnare,
         150,
         3000,
         -15,
         0.15,
         0.5,
         false,
         {{0.03, 0.3}, {0.15, 0.3}, {0.40, 0.05}, {1.0, 0.0}},
         100,
         -3.0},
        {"toms-less-ring",
         kPieceToms,
         60,
         600,
         -20,
         0.35,
         0.7,
         false,
         {{0.02, 0.3}, {0.10, 0.3}, {0.30, 0.02}, {1.0, 0.0}},
         150,
         -6.0},
        {"bus-tighter",
         kPieceGroove,
         0,
         22000,
         -12,
         0.10,
         0.3,
         false,
         {{0.05, 0.3}, {0.20, 0.3}, {0.50, 0.05}, {1.0, 0.0}},
         80,
         -1.0},
        {"room-gated",
         kPieceRoom,
         100,
         8000,
         -24,
         0.40,
         0.8,
         true,
         {{0.02, 0.2}, {0.10, 0.2}, {0.50, 0.02}, {1.0, 0.0}},
         300,
         -6.0},
    };
    return recipes;
}

std::vector<uint8_t> RecipeState(const DrumRecipe& r, double rate) {
    TestCore fx(rate);
    ByteBlock chunk;
    fx.SaveState(&chunk);
    std::vector<uint8_t> bytes(chunk.Bytes(), chunk.Bytes() + chunk.Size());
    const auto put = [&](size_t at, double v) {
        if (at + 8 <= bytes.size()) std::memcpy(&bytes[at], &v, 8);
    };
    put(4 + 8 * kParamLoFreq, r.lo);
    put(4 + 8 * kParamHiFreq, r.hi);
    put(4 + 8 * kParamThreshold, r.thresholdDb);
    put(4 + 8 * kParamEnvTime, r.length);
    put(4 + 8 * kParamStrength, r.strength);
    put(4 + 8 * kParamGate, r.gate ? 1.0 : 0.0);
    put(100, 1.0); // the shape's scale: levels are absolute
    put(116, DbToAmp(r.thresholdDb));
    for (int k = 0; k < 4; ++k) {
        put(124 + 16 * size_t(k), r.points[k][0]);
        put(132 + 16 * size_t(k), r.points[k][1]);
    }
    return bytes;
}

RecipeFigures CookRecipe(const DrumRecipe& r, const DrumTrack& track) {
    RecipeFigures f;
    TestCore fx(track.rate, 256);
    const std::vector<uint8_t> state = RecipeState(r, track.rate);
    ByteBlock chunk;
    chunk.SetLength(int32_t(state.size()));
    std::memcpy(chunk.Bytes(), state.data(), state.size());
    if (!fx.LoadState(&chunk)) return f;
    fx.NotifyAllParams();
    const Stereo in = ToStereo(track, 1.0);
    DrumRender render;
    Play(fx, in, 256, render);
    const size_t hitSpan = size_t(0.05 * track.rate), window = size_t(0.01 * track.rate);
    for (const DrumHit& hit : track.hits) {
        double inPeak = 0.0, outPeak = 0.0;
        for (size_t i = hit.frame; i < hit.frame + hitSpan && i < in.size(); ++i) {
            inPeak = std::max(inPeak, std::max(std::fabs(in.l[i]), std::fabs(in.r[i])));
            outPeak =
                std::max(outPeak, std::max(std::fabs(render.out.l[i]), std::fabs(render.out.r[i])));
        }
        f.hitPeakDb = std::max(f.hitPeakDb, AmpDb(outPeak) - AmpDb(inPeak));
        ++f.hits;
    }
    double sum = 0.0;
    f.tailLowDb = 1e9;
    f.tailHighDb = -1e9;
    for (int64_t start : render.starts) {
        ++f.envelopes;
        if (start < 0) continue;
        const size_t at = size_t(start) + size_t(r.tailMs * 0.001 * track.rate);
        if (at + window > in.size() || Rms(in, at, window) < DbToAmp(-70.0)) continue;
        const double d =
            std::max(AmpDb(Rms(render.out, at, window)) - AmpDb(Rms(in, at, window)), -60.0);
        sum += d;
        f.tailLowDb = std::min(f.tailLowDb, d);
        f.tailHighDb = std::max(f.tailHighDb, d);
        ++f.tails;
    }
    f.tailDb = f.tails ? sum / f.tails : 0.0;
    return f;
}

AutofitFigures MeasureAutofit(const DrumTrack& track, const DrumBand& band, double thresholdDb,
                              double envTime) {
    AutofitFigures f;
    if (track.hits.empty()) return f;
    TestCore fx(track.rate, 256);
    fx.Set(kParamThreshold, thresholdDb);
    fx.Set(kParamHiFreq, band.hi);
    fx.Set(kParamLoFreq, band.lo);
    fx.Set(kParamStrength, 1.0);
    fx.Set(kParamEnvTime, envTime);
    fx.ResetProcessing();
    // The loudest kick, and the track up to the end of its envelope.
    DrumHit loudest = track.hits[0];
    for (const DrumHit& hit : track.hits)
        if (hit.peak > loudest.peak) loudest = hit;
    const size_t env = size_t(envTime * track.rate), lead = size_t(0.02 * track.rate);
    const size_t heardUntil = std::min(loudest.frame + env + lead, track.size());
    // Then a pause, and the same kick again, alone.
    const size_t pause = size_t(0.5 * track.rate), again = heardUntil + pause;
    Stereo in(again + lead + env + lead);
    for (size_t i = 0; i < heardUntil; ++i) {
        in.l[i] = track.l[i];
        in.r[i] = track.r[i];
    }
    for (size_t i = 0; i < lead + env + lead && loudest.frame - lead + i < track.size(); ++i) {
        in.l[again + i] = track.l[loudest.frame - lead + i];
        in.r[again + i] = track.r[loudest.frame - lead + i];
    }
    Stereo out(in.size());
    const int block = 256;
    size_t i = 0;
    for (; i < in.size(); i += size_t(block)) {
        if (i >= heardUntil && !f.fitted) f.fitted = fx.AutoFit();
        const int n = int(std::min(in.size() - i, size_t(block)));
        fx.Block(&in.l[i], &in.r[i], &out.l[i], &out.r[i], n);
    }
    if (!f.fitted) return f;
    size_t start = again;
    while (start < in.size() && out.l[start] == in.l[start] && out.r[start] == in.r[start])
        ++start;
    if (start >= again + lead + size_t(0.03 * track.rate)) {
        f.fitted = false; // the kick did not trigger
        return f;
    }
    const auto windowDb = [](const Stereo& s, size_t from, size_t n) {
        return AmpDb(Rms(s, from, n));
    };
    const auto peak = [](const Stereo& s, size_t from, size_t n) {
        double p = 0.0;
        for (size_t k = from; k < from + n && k < s.size(); ++k)
            p = std::max(p, std::max(std::fabs(s.l[k]), std::fabs(s.r[k])));
        return p;
    };
    const size_t tenMs = size_t(0.01 * track.rate), window = size_t(0.005 * track.rate);
    f.peakDb = AmpDb(peak(out, start, tenMs)) - AmpDb(peak(in, start, tenMs));
    f.wholeDb = windowDb(out, start, env) - windowDb(in, start, env);
    for (size_t w = start; w + window <= start + env; w += window) {
        const double inDb = windowDb(in, w, window);
        if (inDb < -60.0) continue;
        const double d = windowDb(out, w, window) - inDb;
        if (std::fabs(d) > std::fabs(f.worstStretchDb)) {
            f.worstStretchDb = d;
            f.worstStretchAt = int(1000.0 * double(w - start) / track.rate + 0.5);
        }
    }
    return f;
}
