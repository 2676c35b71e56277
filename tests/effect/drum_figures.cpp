#include "drum_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/byte_block.h"
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

// Prints the hits struck in the 25 ms before onset (a hat just before a kick,
// a tom still ringing): how long before, and their peak against the loudest
// hit struck within 15 ms from onset, in dB.
void ListHitsBefore(const DrumTrack& track, int64_t onset) {
    const int64_t before = int64_t(0.025 * track.rate), together = int64_t(0.015 * track.rate);
    double own = 0.0;
    for (const DrumHit& h : track.hits)
        if (int64_t(h.frame) >= onset && int64_t(h.frame) <= onset + together)
            own = std::max(own, h.midPeak);
    for (const DrumHit& h : track.hits)
        if (int64_t(h.frame) >= onset - before && int64_t(h.frame) < onset)
            std::printf("; voice %d %.1f ms before, %+.1f dB", int(h.voice),
                        1000.0 * double(onset - int64_t(h.frame)) / track.rate,
                        AmpDb(h.midPeak) - AmpDb(own));
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
    // KELO_ONSETS_LIST set: each hit that went wrong is printed (missed, late
    // or early by more than 1 ms, given more than one envelope), each extra
    // start as a restart (inside the envelope before it) or a trigger after it,
    // and the hits struck in the 25 ms before it.
    const bool list = std::getenv("KELO_ONSETS_LIST") != nullptr;
    for (const HeardHit& hit : hits) {
        // Hits the threshold hears, standing out of what rings before them.
        if (hit.band < loud) continue;
        if (PeakOf(mid, hit.onset, hit.onset + span) <
            1.41 * PeakOf(mid, hit.onset - span, hit.onset))
            continue;
        ++f.hits;
        const int64_t at = hit.onset + render.delay;
        const int64_t from = at - 10 * ms, to = hit.until + render.delay - 10 * ms;
        int64_t first = -1, before = -1;
        int count = 0;
        std::vector<double> extraMs;
        std::vector<bool> extraRestarts;
        for (int64_t st : render.starts) {
            if (st >= 0 && st < from) before = st;
            if (st < from || st >= std::max(to, at + ms)) continue;
            if (first < 0) first = st;
            // A start at a hit that bleeds in is that hit's, not a second one.
            bool bleed = false;
            for (const DrumHit& other : track.bleed) {
                const int64_t o = int64_t(other.frame) + render.delay;
                bleed = bleed || (st >= o - 10 * ms && st <= o + 3 * ms);
            }
            if (st != first && !bleed) {
                extraMs.push_back(1000.0 * double(st - at) / rate);
                extraRestarts.push_back(st - before < render.envLen);
            }
            count += st == first || !bleed;
            before = st;
        }
        const double hitMs = 1000.0 * double(hit.onset) / rate;
        if (first < 0) {
            ++f.missed;
            // Over the threshold and over what rang in the 20 ms before it
            // (dB), and whether an envelope was running (a restart missed).
            if (list)
                std::printf(
                    "  missed hit at %.1f ms (voice %d): %+.1f dB over the threshold, %+.1f "
                    "dB over the 20 ms before, %s\n",
                    hitMs, int(hit.voice), AmpDb(hit.band) - thresholdDb,
                    AmpDb(PeakOf(mid, hit.onset, hit.onset + span)) -
                        AmpDb(PeakOf(mid, hit.onset - span, hit.onset)),
                    before >= 0 && at - before < render.envLen ? "inside an envelope"
                                                               : "no envelope running");
            continue;
        }
        if (list) {
            const double off = 1000.0 * double(first - at) / rate;
            if (std::fabs(off) > 1.0 || !extraMs.empty()) {
                std::printf("  hit at %.1f ms (voice %d): start %+.2f ms", hitMs, int(hit.voice),
                            off);
                for (size_t k = 0; k < extraMs.size(); ++k)
                    std::printf(", extra at %+.1f ms (%s)", extraMs[k],
                                extraRestarts[k] ? "restart" : "after the envelope");
                ListHitsBefore(track, hit.onset);
                std::printf("\n");
            }
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
    // The energies of in[from..to) and out[from..to): above 5 kHz and in all.
    struct Energies {
        double inHigh = 1e-30, outHigh = 1e-30, inAll = 1e-30, outAll = 1e-30;
    };
    const auto energies = [&](int64_t from, int64_t to) {
        Energies e;
        for (int64_t i = std::max<int64_t>(from, 0); i < to && i < int64_t(in.size()); ++i) {
            e.inHigh += inHigh[size_t(i)] * inHigh[size_t(i)];
            e.outHigh += outHigh[size_t(i)] * outHigh[size_t(i)];
            e.inAll += in[size_t(i)] * in[size_t(i)];
            e.outAll += out[size_t(i)] * out[size_t(i)];
        }
        return e;
    };
    // Envelope k started while the one before it ran.
    const auto restarted = [&](size_t k) {
        const int64_t st = render.starts[k];
        return k > 0 && st >= 0 && render.starts[k - 1] >= 0 &&
               st - render.starts[k - 1] < render.envLen;
    };
    std::vector<double> attacks;
    for (size_t k = 0; k < render.starts.size(); ++k) {
        const int64_t st = render.starts[k];
        if (st < 0 || restarted(k)) continue;
        const Energies e = energies(st, st + 2 * ms);
        attacks.push_back(10.0 * std::log10(e.outHigh / e.inHigh));
    }
    if (!attacks.empty()) {
        std::sort(attacks.begin(), attacks.end());
        c.attacks = int(attacks.size());
        c.worstAttackDb = attacks.back();
        c.medianAttackDb = attacks[attacks.size() / 2];
    }
    for (size_t k = 1; k < render.starts.size(); ++k) {
        if (!restarted(k)) continue;
        const int64_t st = render.starts[k];
        ++c.restarts;
        const Energies e = energies(st - ms, st + ms);
        const double n = double(2 * ms);
        const double inDb = 10.0 * std::log10(e.inHigh / n);
        const double outDb = 10.0 * std::log10(e.outHigh / n);
        if (outDb - inDb > c.worstDb) {
            c.worstDb = outDb - inDb;
            c.outDbfs = outDb;
            c.inDbfs = inDb;
        }
        const double shareDb = 10.0 * std::log10((e.outHigh / e.outAll) / (e.inHigh / e.inAll));
        if (shareDb > c.worstShareDb) {
            c.worstShareDb = shareDb;
            c.worstShareAt = st - render.delay;
        }
    }
    return c;
}

// Keep in step with the tables in docs/manual.ms.
const std::vector<DrumRecipe>& ManualRecipes() {
    // name, piece, lo, hi, threshold under the loudest, length, strength,
    // gate, follow, the points, where the tail is measured and its bound.
    static const std::vector<DrumRecipe> recipes = {
        {"kick-tighter",
         kPieceKick,
         0,
         150,
         20,
         0.2,
         0.8,
         false,
         true,
         false,
         {{0.03, 1.0}, {0.1, 0.5}, {0.25, 0.0}, {1.0, 0.0}},
         150,
         -6.0},
        {"snare-shorter",
         kPieceSnare,
         150,
         3000,
         20,
         0.15,
         0.6,
         false,
         true,
         false,
         {{0.01, 1.0}, {0.08, 0.4}, {0.4, 0.1}, {1.0, 0.0}},
         100,
         -3.0},
        {"toms-less-ring",
         kPieceToms,
         60,
         600,
         20,
         0.35,
         0.7,
         false,
         true,
         false,
         {{0.01, 1.0}, {0.05, 0.4}, {0.3, 0.05}, {1.0, 0.0}},
         100,
         -2.0},
        {"bus-tighter",
         kPieceGroove,
         0,
         22000,
         12,
         0.1,
         0.3,
         false,
         true,
         false,
         {{0.02, 1.0}, {0.1, 0.5}, {0.5, 0.1}, {1.0, 0.0}},
         80,
         -0.5},
        {"room-gated",
         kPieceRoom,
         100,
         8000,
         24,
         0.4,
         0.8,
         true,
         true,
         false,
         {{0.005, 1.0}, {0.03, 0.3}, {0.3, 0.03}, {1.0, 0.0}},
         150,
         -6.0},
    };
    return recipes;
}

double RecipeThresholdDb(const DrumRecipe& r, const DrumTrack& track) {
    const DrumBand band = {r.name, r.lo, r.hi};
    double loudest = 0.0;
    for (const HeardHit& hit : HeardHits(track, band))
        loudest = std::max(loudest, hit.band);
    return std::max(-60.0, std::min(0.0, AmpDb(loudest) - r.belowLoudestDb));
}

std::vector<uint8_t> RecipeState(const DrumRecipe& r, double rate, double thresholdDb) {
    TestCore fx(rate);
    // The options as the editor's switches leave them.
    fx.SetFollowLevel(r.follow);
    fx.SetLookahead(r.lookahead);
    ByteBlock chunk;
    fx.SaveState(&chunk);
    std::vector<uint8_t> bytes(chunk.Bytes(), chunk.Bytes() + chunk.Size());
    const auto put = [&](size_t at, double v) {
        if (at + 8 <= bytes.size()) std::memcpy(&bytes[at], &v, 8);
    };
    put(4 + 8 * kParamLoFreq, r.lo);
    put(4 + 8 * kParamHiFreq, r.hi);
    put(4 + 8 * kParamThreshold, thresholdDb);
    put(4 + 8 * kParamEnvTime, r.length);
    put(4 + 8 * kParamStrength, r.strength);
    put(4 + 8 * kParamGate, r.gate ? 1.0 : 0.0);
    put(100, 1.0); // the shape's scale: 1 at the top
    put(116, DbToAmp(thresholdDb));
    for (int k = 0; k < 4; ++k) {
        put(124 + 16 * size_t(k), r.points[k][0]);
        put(132 + 16 * size_t(k), r.points[k][1]);
    }
    return bytes;
}

RecipeFigures CookRecipe(const DrumRecipe& r, const DrumTrack& track) {
    RecipeFigures f;
    f.thresholdDb = RecipeThresholdDb(r, track);
    TestCore fx(track.rate, 256);
    const std::vector<uint8_t> state = RecipeState(r, track.rate, f.thresholdDb);
    ByteBlock chunk;
    chunk.SetLength(int32_t(state.size()));
    std::memcpy(chunk.Bytes(), state.data(), state.size());
    if (!fx.LoadState(&chunk)) return f;
    fx.NotifyAllParams();
    if (const char* dir = std::getenv("KELO_DRUMS_OUT")) {
        // For listening and for kelo-render --load-state.
        const std::string path = std::string(dir) + "/" + r.name + ".state";
        if (FILE* file = std::fopen(path.c_str(), "wb")) {
            std::fwrite(state.data(), 1, state.size(), file);
            std::fclose(file);
        }
    }
    const Stereo in = ToStereo(track, 1.0);
    DrumRender render;
    Play(fx, in, 256, render);
    // Output frame i is input frame i - delay (none without the lookahead).
    const size_t delay = size_t(fx.Lookahead() ? fx.LookaheadSamples() : 0);
    const auto outAt = [&](size_t i, bool left) {
        const size_t j = i + delay;
        if (j >= in.size()) return 0.0;
        return left ? render.out.l[j] : render.out.r[j];
    };
    const size_t hitSpan = size_t(0.05 * track.rate), window = size_t(0.01 * track.rate);
    for (const DrumHit& hit : track.hits) {
        double inPeak = 0.0, outPeak = 0.0;
        for (size_t i = hit.frame; i < hit.frame + hitSpan && i + delay < in.size(); ++i) {
            inPeak = std::max(inPeak, std::max(std::fabs(in.l[i]), std::fabs(in.r[i])));
            outPeak =
                std::max(outPeak, std::max(std::fabs(outAt(i, true)), std::fabs(outAt(i, false))));
        }
        f.hitPeakDb = std::max(f.hitPeakDb, AmpDb(outPeak) - AmpDb(inPeak));
        ++f.hits;
    }
    double inMax = 0.0, outMax = 0.0;
    for (size_t i = 0; i + delay < in.size(); ++i) {
        const double x = std::max(std::fabs(in.l[i]), std::fabs(in.r[i]));
        const double y = std::max(std::fabs(outAt(i, true)), std::fabs(outAt(i, false)));
        inMax = std::max(inMax, x);
        outMax = std::max(outMax, y);
        // Over full scale where the input was not.
        f.over += y > 1.0 && x <= 1.0;
    }
    f.mixPeakDb = AmpDb(outMax) - AmpDb(inMax);
    double sum = 0.0;
    f.tailLowDb = 1e9;
    f.tailHighDb = -1e9;
    Stereo heard(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        heard.l[i] = outAt(i, true);
        heard.r[i] = outAt(i, false);
    }
    for (int64_t start : render.starts) {
        ++f.envelopes;
        if (start < int64_t(delay)) continue;
        const size_t from = size_t(start) - delay;
        const size_t at = from + size_t(r.tailMs * 0.001 * track.rate);
        if (at + window > in.size() || Rms(in, at, window) < DbToAmp(-70.0)) continue;
        // A tail is the ring of the hit that started the envelope: where
        // another hit sounds before the stretch ends, there is none to measure.
        bool another = false;
        for (const DrumHit& hit : track.hits)
            another = another || (hit.frame > from + 15 * window / 10 && hit.frame < at + window);
        if (another) continue;
        const double d =
            std::max(AmpDb(Rms(heard, at, window)) - AmpDb(Rms(in, at, window)), -60.0);
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
    // Three effects with the same settings: one finds where the envelopes
    // start (the shape has no say in that), one hears the stem up to the end
    // of the loudest hit's envelope and fits, one plays the stem again with
    // the fitted shape, so that the hit is heard in the same context, its
    // envelope starting on the same frame.
    auto setUp = [&](TestCore& fx) {
        fx.Set(kParamThreshold, thresholdDb);
        fx.Set(kParamHiFreq, band.hi);
        fx.Set(kParamLoFreq, band.lo);
        fx.Set(kParamStrength, 1.0);
        fx.Set(kParamEnvTime, envTime);
        fx.ResetProcessing();
    };
    const Stereo in = ToStereo(track, 1.0);
    const int block = 64;
    TestCore dry(track.rate, 256);
    setUp(dry);
    DrumRender render;
    Play(dry, in, block, render);
    const int64_t env = dry.EnvLen();
    // The loudest hit that starts an envelope of its own (within 20 ms after
    // its onset; a hit inside a running envelope that does not restart it
    // gives none), and that envelope, which runs to its length or to the
    // next start.
    std::vector<DrumHit> byPeak = track.hits;
    std::stable_sort(byPeak.begin(), byPeak.end(),
                     [](const DrumHit& a, const DrumHit& b) { return a.peak > b.peak; });
    const int64_t late = int64_t(0.02 * track.rate);
    int64_t start = -1, end = -1;
    for (const DrumHit& hit : byPeak) {
        const int64_t onset = int64_t(hit.frame);
        for (size_t k = 0; k < render.starts.size() && start < 0; ++k) {
            const int64_t s = render.starts[k];
            if (s < onset - late / 10 || s > onset + late) continue;
            start = s;
            end = start + env;
            if (k + 1 < render.starts.size() && render.starts[k + 1] >= 0)
                end = std::min(end, render.starts[k + 1]);
        }
        if (start >= 0) break;
    }
    if (start < 0 || end > int64_t(in.size())) return f; // no hit started an envelope
    TestCore fit(track.rate, 256);
    setUp(fit);
    Stereo out(in.size());
    for (int64_t i = 0; i < end; i += block) {
        const int n = int(std::min<int64_t>(end - i, block));
        fit.Block(&in.l[size_t(i)], &in.r[size_t(i)], &out.l[size_t(i)], &out.r[size_t(i)], n);
    }
    f.fitted = fit.AutoFit();
    if (!f.fitted) return f;
    ByteBlock state;
    fit.SaveState(&state);
    TestCore again(track.rate, 256);
    again.LoadState(&state);
    again.NotifyAllParams();
    again.ResetProcessing();
    DrumRender replay;
    Play(again, in, block, replay);
    if (replay.starts != render.starts) {
        f.fitted = false; // the fitted shape moved a start: not the same hit
        return f;
    }
    // From the envelope's second frame (at its first the onset ramp leaves
    // the input as it is) to its end.
    const size_t from = size_t(start + 1), to = size_t(end);
    const auto windowDb = [](const Stereo& s, size_t at, size_t n) { return AmpDb(Rms(s, at, n)); };
    const auto peak = [](const Stereo& s, size_t at, size_t n) {
        double p = 0.0;
        for (size_t k = at; k < at + n && k < s.size(); ++k)
            p = std::max(p, std::max(std::fabs(s.l[k]), std::fabs(s.r[k])));
        return p;
    };
    const size_t tenMs = size_t(0.01 * track.rate), window = size_t(0.005 * track.rate);
    f.peakDb = AmpDb(peak(replay.out, from, tenMs)) - AmpDb(peak(in, from, tenMs));
    f.wholeDb = windowDb(replay.out, from, to - from) - windowDb(in, from, to - from);
    for (size_t w = from; w + window <= to; w += window) {
        const double inDb = windowDb(in, w, window);
        f.stretchDb.push_back(0.0);
        if (inDb < -60.0) continue;
        const double d = windowDb(replay.out, w, window) - inDb;
        f.stretchDb.back() = d;
        if (std::fabs(d) > std::fabs(f.worstStretchDb)) {
            f.worstStretchDb = d;
            f.worstStretchAt = int(1000.0 * double(w - from) / track.rate + 0.5);
        }
    }
    for (size_t w = from; w + 4 * window <= to; w += 4 * window) {
        const double inDb = windowDb(in, w, 4 * window);
        if (inDb < -60.0) continue;
        const double d = windowDb(replay.out, w, 4 * window) - inDb;
        if (std::fabs(d) > std::fabs(f.worstSpanDb)) f.worstSpanDb = d;
    }
    return f;
}
