#include "effect/shape_fit.h"

#include <cmath>

#include "effect/envelope_shape.h"
#include "effect/least_squares.h"
#include "effect/shape_model.h"

namespace {

// The ear judges a hit's level over stretches this long, and its attack by its
// peak over the first kAttackSeconds.
const double kStretchSeconds = 0.005;
const double kAttackSeconds = 0.01;
// The shape is taken once per piece of a stretch: pieces this long within the
// attack, where the shape climbs and turns fast, half a stretch after it.
const double kFineSeconds = 0.0001;
const int kMostPieces = 640;
const int kMostStretches = 256;
// Within the attack, the samples where the output may peak: one per piece.
const int kMostCandidates = kMostPieces;
// Levels this far under the attack's peak (70 dB) are silence for the ear.
const double kQuietest = 3e-4;

// What one event asks of the shape. At strength 1 a sample x leaves as
// s x / d (s the shape's level, d the divisor the gain law takes, never below
// |x|): over a stretch the output's energy is the sum of s^2 (x / d)^2 against
// the input's sum of x^2, and the attack's output peaks at the largest
// s |x| / d. (The event holds the louder channel's magnitude, which stands for
// both.)
struct Demands {
    int length = 0; // the envelope's, in samples
    // Pieces: the mean position (weighted by (x / d)^2), the sum of (x / d)^2
    // and the stretch each lies in.
    int pieces = 0;
    double at[kMostPieces];
    double shaped[kMostPieces];
    int stretchOf[kMostPieces];
    // Stretches: the input's energy and frames, and whether it is quieter
    // than the quiet level (where levels count as the quiet level).
    int stretches = 0;
    double energy[kMostStretches];
    int frames[kMostStretches];
    bool quiet[kMostStretches];
    double quietLevel = 0.0;
    // Past the event's end (a hit the next one cut short) nothing is heard:
    // there the shape is asked to hold the last stretch's level.
    int heard = 0;
    double lastLevel = 0.0;
    // The attack: the input's peak and where it lies, and per piece the
    // sample the output can peak at (the largest |x| / d, of those the
    // loudest): its position and |x| / d.
    double attackPeak = 0.0;
    int attackPeakAt = 0;
    int candidates = 0;
    double candidateAt[kMostCandidates];
    double candidateGain[kMostCandidates];
};

// The louder shaped sample's magnitude at p, and the divisor as the gain law
// takes it: the recorded level, but never less than that magnitude. Samples
// that are not numbers are silence.
double MagnitudeAt(const EventLevels& e, int p) {
    const double x = std::fabs(e.peak[p]);
    return std::isfinite(x) ? x : 0.0;
}
double DivisorAt(const EventLevels& e, int p) {
    const double level = e.level[p], x = MagnitudeAt(e, p);
    const double d = level > x ? level : x;
    return std::isfinite(d) ? d : 0.0;
}

// The level a flat shape would need over stretch j to give it its energy back
// (the quiet level over a quiet one).
double LevelOf(const Demands& d, int j) {
    double shaped = 0.0;
    for (int k = 0; k < d.pieces; ++k)
        if (d.stretchOf[k] == j) shaped += d.shaped[k];
    return d.quiet[j] || !(shaped > 0.0) ? d.quietLevel : std::sqrt(d.energy[j] / shaped);
}

bool Gather(const EventLevels& e, int length, double rate, Demands& d) {
    const int end = e.count < length ? e.count : length;
    if (!e.level || !e.peak || end <= 0 || !(rate > 0.0)) return false;
    d.length = length;
    int stretch = int(kStretchSeconds * rate + 0.5);
    if (stretch < 2) stretch = 2;
    if ((end + stretch - 1) / stretch > kMostStretches)
        stretch = (end + kMostStretches - 1) / kMostStretches;
    d.stretches = (end + stretch - 1) / stretch;
    int attack = int(kAttackSeconds * rate);
    if (attack < 1) attack = 1;
    if (attack > end) attack = end;
    d.attackPeak = 0.0;
    for (int p = 0; p < attack; ++p)
        if (MagnitudeAt(e, p) > d.attackPeak) {
            d.attackPeak = MagnitudeAt(e, p);
            d.attackPeakAt = p;
        }
    if (!(d.attackPeak > 0.0)) return false;
    d.quietLevel = kQuietest * d.attackPeak;
    // Fine pieces within the attack, half stretches after it, never more than
    // kMostPieces of them (a few more where pieces meet a stretch's end).
    int fine = int(kFineSeconds * rate);
    if (fine < 1) fine = 1;
    while ((attack + fine - 1) / fine + 2 * d.stretches + 4 > kMostPieces)
        ++fine;
    const int coarse = (stretch + 1) / 2;
    for (int j = 0; j < d.stretches; ++j) {
        d.energy[j] = 0.0;
        d.frames[j] = 0;
    }
    d.pieces = 0;
    d.candidates = 0;
    for (int from = 0; from < end;) {
        const int j = from / stretch;
        int to = from + (from < attack ? fine : coarse);
        if (from < attack && to > attack) to = attack;
        if (to > (j + 1) * stretch) to = (j + 1) * stretch;
        if (to > end) to = end;
        double shaped = 0.0, moment = 0.0, most = 0.0, mostLevel = 0.0;
        int mostAt = -1;
        for (int p = from; p < to; ++p) {
            const double x = MagnitudeAt(e, p), div = DivisorAt(e, p);
            d.energy[j] += x * x;
            ++d.frames[j];
            if (!(div > 0.0)) continue;
            const double g = (x / div) * (x / div);
            shaped += g;
            moment += g * p;
            if (g > most || (g == most && x > mostLevel)) {
                most = g;
                mostLevel = x;
                mostAt = p;
            }
        }
        if (from < attack && mostAt >= 0 && d.candidates < kMostCandidates) {
            d.candidateAt[d.candidates] = mostAt;
            d.candidateGain[d.candidates] = std::sqrt(most);
            ++d.candidates;
        }
        if (shaped > 0.0 && d.pieces < kMostPieces) {
            d.at[d.pieces] = moment / shaped;
            d.shaped[d.pieces] = shaped;
            d.stretchOf[d.pieces] = j;
            ++d.pieces;
        }
        from = to;
    }
    for (int j = 0; j < d.stretches; ++j)
        d.quiet[j] = !(d.energy[j] > d.quietLevel * d.quietLevel * d.frames[j]);
    d.heard = end;
    d.lastLevel = LevelOf(d, d.stretches - 1);
    return d.pieces > 0 && d.candidates > 0;
}

// The free values, in the order the search takes them: P2's time, the gaps
// from P2 to P3 and from P3 to P4 (fractions of the length, so the points stay
// in order), and the levels of P2, P3, P4 and P6.
enum Value { kTime2, kGap3, kGap4, kLevel2, kLevel3, kLevel4, kLevel6, kValues };
const int kLevelPoints[] = {2, 3, 4, 6};

// The fit as a least-squares problem: the errors of the output for some free
// values, in nepers, in this order:
// - per stretch, its level against the input's (levels under the quiet level
//   count as the quiet level: silence matches silence, a hole where the input
//   sounds counts);
// - per span of kSpan stretches (20 ms, a period of a kick's lowest tone: the
//   level the ear hears of it), likewise;
// - past the event's end, the shape against the last stretch's level;
// - the attack's peak and the whole envelope's level, each free within
//   kMargin and counted kMarginFactor times beyond it.
class ShapeProblem : public SquaresProblem {
public:
    ShapeProblem(const ShapeModel& base, const Demands& d) : mBase(base), mD(d) {
        mBase.SetSink(nullptr);
        const double column = 1.0 / ShapeModel::kColumns, scale = base.Scale();
        for (int i = kTime2; i <= kGap4; ++i) {
            // P2 from column 1 on; a gap of a column at least keeps P3 and P4
            // in columns of their own.
            mLo[i] = column * (i == kTime2 ? 1.0 : 1.0001);
            mHi[i] = 1.0 - 3.0 * column;
            mStep[i] = 1e-4;
        }
        for (int i = kLevel2; i <= kLevel6; ++i) {
            // As far as a loaded shape may go; P3, a control point, may go
            // under the centre line and pull the curve down faster.
            mLo[i] = i == kLevel3 ? -2.0 * scale : 0.0;
            mHi[i] = 2.0 * scale;
            mStep[i] = 1e-5 * scale;
        }
    }

    int Values() const override { return kValues; }
    int Residuals() const override { return mD.stretches + Spans() + Beyond() + 2; }
    double Lowest(int i) const override { return mLo[i]; }
    double Highest(int i) const override { return mHi[i]; }
    double Step(int i) const override { return mStep[i]; }

    void Evaluate(const double* x, double* r) const override {
        ShapeModel work = mBase;
        ApplyTo(x, work);
        EnvelopeShape shape;
        ShapePoint points[EnvelopeShape::kPoints];
        for (int i = 0; i < EnvelopeShape::kPoints; ++i)
            points[i] = ShapePoint{work.PointAt(i).time, work.PointAt(i).level};
        shape.Set(points);
        // The output's energy per stretch, and the quiet level's.
        double out[kMostStretches], quiet[kMostStretches];
        for (int j = 0; j < mD.stretches; ++j) {
            out[j] = 0.0;
            quiet[j] = mD.quietLevel * mD.quietLevel * mD.frames[j];
        }
        for (int k = 0; k < mD.pieces; ++k) {
            const double s = shape.At(mD.at[k]);
            out[mD.stretchOf[k]] += s * s * mD.shaped[k];
        }
        double* stretchErrors = r;
        double* spanErrors = stretchErrors + mD.stretches;
        double* beyondErrors = spanErrors + Spans();
        double* marginErrors = beyondErrors + Beyond();
        for (int j = 0; j < mD.stretches; ++j)
            stretchErrors[j] = LevelError(out[j], mD.energy[j], quiet[j]);
        for (int k = 0; k < Spans(); ++k) {
            double o = 0.0, e = 0.0, q = 0.0;
            for (int j = k * kSpan; j < (k + 1) * kSpan && j < mD.stretches; ++j) {
                o += out[j];
                e += mD.energy[j];
                q += quiet[j];
            }
            spanErrors[k] = LevelError(o, e, q);
        }
        for (int k = 0; k < Beyond(); ++k) {
            const double p = mD.heard + (k + 0.5) * (mD.length - mD.heard) / kBeyond;
            beyondErrors[k] =
                std::log((shape.At(p) + mD.quietLevel) / (mD.lastLevel + mD.quietLevel));
        }
        double peak = 0.0;
        for (int k = 0; k < mD.candidates; ++k) {
            const double o = shape.At(mD.candidateAt[k]) * mD.candidateGain[k];
            peak = o > peak ? o : peak;
        }
        marginErrors[0] = Outside(std::log((peak + 1e-300) / mD.attackPeak));
        double o = 0.0, e = 0.0, q = 0.0;
        for (int j = 0; j < mD.stretches; ++j) {
            o += out[j];
            e += mD.energy[j];
            q += quiet[j];
        }
        marginErrors[1] = Outside(LevelError(o, e, q));
    }

    // How many times a stretch's error the margins' errors count.
    void SetMarginFactor(double factor) { mMarginFactor = factor; }

    // Writes the free values x into model (its times and levels).
    void ApplyTo(const double* x, ShapeModel& model) const {
        const double times[3] = {x[kTime2], x[kTime2] + x[kGap3], x[kTime2] + x[kGap3] + x[kGap4]};
        model.SetInnerTimes(times);
        for (int j = 0; j < 4; ++j)
            model.SetPointLevel(kLevelPoints[j], x[kLevel2 + j]);
    }

private:
    static constexpr int kSpan = 4;
    static constexpr int kBeyond = 8;
    // 0.5 dB, in nepers.
    static constexpr double kMargin = 0.5 / 8.685889638;

    int Spans() const { return (mD.stretches + kSpan - 1) / kSpan; }
    int Beyond() const { return mD.heard < mD.length ? kBeyond : 0; }
    // The error of an output energy against an input energy, in nepers, with
    // both taken as at least quiet.
    static double LevelError(double out, double in, double quiet) {
        return 0.5 * std::log((out + quiet) / (in + quiet));
    }
    double Outside(double e) const {
        return mMarginFactor * (e > kMargin ? e - kMargin : e < -kMargin ? e + kMargin : 0.0);
    }

    ShapeModel mBase;
    const Demands& mD;
    double mLo[kValues], mHi[kValues], mStep[kValues];
    double mMarginFactor = 1.0;
};

// The level a flat shape would need at position p: that of the stretch
// there, or the last one's past the event's end.
double LevelAt(const Demands& d, double p) {
    if (p >= d.heard) return d.lastLevel;
    int j = 0;
    double nearest = -1.0;
    for (int k = 0; k < d.pieces; ++k)
        if (nearest < 0.0 || std::fabs(d.at[k] - p) < nearest) {
            nearest = std::fabs(d.at[k] - p);
            j = d.stretchOf[k];
        }
    return LevelOf(d, j);
}

// Where the search starts: P4's time, P3's place between P2 and P4 (0: a
// column after P2) and whether P3 starts on the centre line. The shapes that
// fit hits best come in a few kinds: a fast fall from the peak that slows
// (P3 low, just after P2), a body held before the fall (P3 further on, at the
// level there), and a fall within a few milliseconds with a long tail (P4
// early); each kind is started where its valley usually lies, and the best
// bottom found is kept.
struct Start {
    double p4, p3;
    bool low;
};
const Start kStarts[] = {{0.25, 0.0, true}, {0.6, 0.0, true},  {0.15, 0.0, true},
                         {0.1, 0.5, false}, {0.4, 0.5, false}, {0.85, 0.3, false}};
// Steps of each search, and how many times a stretch's error an error beyond
// the margins counts, first mildly, then firmly.
const int kMostSteps = 40;
const int kFirmSteps = 10;
const double kMildMargins = 10.0;
const double kFirmMargins = 30.0;

} // namespace

bool FitShapeToEvent(ShapeModel& model, const EventLevels& event) {
    Demands d;
    if (!Gather(event, model.Length(), model.SampleRate(), d)) return false;
    ShapeProblem problem(model, d);
    const double length = d.length, column = 1.0 / ShapeModel::kColumns;
    double best[kValues] = {}, bestCost = -1.0;
    for (const Start& s : kStarts) {
        // P2 starts at the attack's loudest sample, at its level.
        double x[kValues];
        x[kTime2] = d.attackPeakAt / length;
        const double p3 = x[kTime2] + column + s.p3 * (s.p4 - x[kTime2] - column);
        x[kGap3] = p3 - x[kTime2];
        x[kGap4] = s.p4 - p3;
        x[kLevel2] = d.attackPeak;
        x[kLevel3] = s.low ? 0.0 : LevelAt(d, p3 * length);
        x[kLevel4] = LevelAt(d, s.p4 * length);
        x[kLevel6] = LevelAt(d, length);
        // Down the valley with the margins mild, then with them firm: held
        // firm from the start, the search stops short on its way down.
        problem.SetMarginFactor(kMildMargins);
        MinimizeSquares(problem, x, kMostSteps);
        problem.SetMarginFactor(kFirmMargins);
        const double cost = MinimizeSquares(problem, x, kFirmSteps);
        if (bestCost < 0.0 || cost < bestCost) {
            bestCost = cost;
            for (int i = 0; i < kValues; ++i)
                best[i] = x[i];
        }
    }
    problem.ApplyTo(best, model);
    return true;
}
