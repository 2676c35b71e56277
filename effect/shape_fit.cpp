#include "effect/shape_fit.h"

#include <cmath>
#include <cstdint>

#include "effect/envelope_shape.h"
#include "effect/shape_model.h"

namespace {

// The envelope is cut into this many stretches (fewer when it is shorter), each
// summed into one weighted target: the shape changes little within one.
const int kBins = 256;
const int kFree = 4;
const int kFreePoints[kFree] = {2, 3, 4, 6};
// Levels this far below the event's loudest are silence for the ear: the
// shape is asked for this level there, not for their own (which would only add
// noise to a relative fit).
const double kQuietest = 1e-3;
const int kMostSteps = 60;
// Half the span the target levels are pooled over.
const double kPoolSeconds = 0.0125;
// Relative errors up to this (about 1 dB) count by their square, larger ones
// linearly.
const double kHuber = 0.12;

// What one stretch of the event asks of the shape: the level s that gives the
// stretch its own energy back (the output's energy is s^2 * sum (x / d)^2, the
// input's sum x^2), the weight of its relative error, and its mean position.
struct Bins {
    int count = 0;
    double weight[kBins];
    double target[kBins];
    double position[kBins];
};

bool Gather(const EventLevels& event, int length, double rate, Bins& bins) {
    const int end = event.count < length ? event.count : length;
    if (!event.level || !event.peak || end <= 0) return false;
    auto divisorAt = [&event](int p) {
        // As the gain law takes it: the recorded level, but never less than the
        // louder shaped sample's magnitude.
        const double level = event.level[p], louder = event.peak[p];
        return level > louder ? level : louder;
    };
    double loudest = 0.0;
    for (int p = 0; p < end; ++p) {
        const double d = divisorAt(p);
        if (std::isfinite(d) && d > loudest) loudest = d;
    }
    if (!(loudest > 0.0)) return false;
    const int n = length < kBins ? length : kBins;
    double energy[kBins] = {}, shaped[kBins] = {}, positions[kBins] = {};
    int counts[kBins] = {}, quiet[kBins] = {};
    const double floor = kQuietest * loudest;
    for (int p = 0; p < end; ++p) {
        const double d = divisorAt(p), x = event.peak[p];
        const int k = int(int64_t(p) * n / length);
        if (!(d >= floor) || !std::isfinite(d) || !std::isfinite(x)) {
            ++quiet[k];
            continue;
        }
        energy[k] += x * x;
        shaped[k] += x * x / (d * d);
        positions[k] += p;
        ++counts[k];
    }
    // The ratio of two sums over a few milliseconds swings with the phase of a
    // low tone; pooled over kPoolSeconds on either side it is the level the
    // ear hears.
    const double binFrames = double(length) / n;
    const int reach = int(kPoolSeconds * rate / binFrames + 0.5);
    bins.count = 0;
    for (int k = 0; k < n; ++k) {
        // A stretch of silence asks for a level as low as the quietest heard.
        if (counts[k] == 0 && quiet[k] > 0) {
            bins.weight[bins.count] = quiet[k];
            bins.target[bins.count] = floor;
            bins.position[bins.count] = (k + 0.5) * binFrames;
            ++bins.count;
            continue;
        }
        if (counts[k] == 0) continue;
        double e = 0.0, sh = 0.0;
        for (int j = k - reach < 0 ? 0 : k - reach; j <= k + reach && j < n; ++j) {
            e += energy[j];
            sh += shaped[j];
        }
        if (!(sh > 0.0) || !(e > 0.0) || !std::isfinite(sh)) continue;
        // Every frame counts, the louder ones a little more (by the square
        // root of their level): what is heard of a hit is its loud part.
        bins.weight[bins.count] = counts[k] * std::sqrt(std::sqrt(e / sh) / loudest);
        bins.target[bins.count] = std::sqrt(e / sh);
        bins.position[bins.count] = positions[k] / counts[k];
        ++bins.count;
    }
    return bins.count > 0;
}

// The model with the free levels set, as the processing would evaluate it.
void ShapeOf(const ShapeModel& base, const double* levels, ShapeModel& work, EnvelopeShape& shape) {
    work = base;
    work.SetSink(nullptr);
    for (int j = 0; j < kFree; ++j)
        work.SetPointLevel(kFreePoints[j], levels[j]);
    ShapePoint points[EnvelopeShape::kPoints];
    for (int i = 0; i < EnvelopeShape::kPoints; ++i)
        points[i] = ShapePoint{work.PointAt(i).time, work.PointAt(i).level};
    shape.Set(points);
}

// Weighted residuals of the bins; returns their sum of squares.
double Residuals(const ShapeModel& base, const double* levels, const Bins& bins, double* res) {
    ShapeModel work;
    EnvelopeShape shape;
    ShapeOf(base, levels, work, shape);
    double sum = 0.0;
    for (int k = 0; k < bins.count; ++k) {
        double s = std::fabs(shape.At(bins.position[k]));
        if (!std::isfinite(s)) s = 0.0;
        // The relative error, by a Huber loss: beyond kHuber it counts linearly,
        // so that a stretch no shape can follow (the rise from the threshold
        // at P0 to a loud hit) does not pull the rest of the envelope off.
        const double e = (s - bins.target[k]) / bins.target[k];
        const double m = std::fabs(e) <= kHuber
                             ? e
                             : std::copysign(std::sqrt(kHuber * (2.0 * std::fabs(e) - kHuber)), e);
        res[k] = std::sqrt(bins.weight[k]) * m;
        sum += res[k] * res[k];
    }
    return sum;
}

// Solves a x = b for a 4 x 4 system by elimination with pivoting; false when
// it is singular.
bool Solve(double a[kFree][kFree], double* b, double* x) {
    for (int c = 0; c < kFree; ++c) {
        int pivot = c;
        for (int r = c + 1; r < kFree; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        if (!(std::fabs(a[pivot][c]) > 0.0)) return false;
        if (pivot != c) {
            for (int k = 0; k < kFree; ++k) {
                const double t = a[c][k];
                a[c][k] = a[pivot][k];
                a[pivot][k] = t;
            }
            const double t = b[c];
            b[c] = b[pivot];
            b[pivot] = t;
        }
        for (int r = c + 1; r < kFree; ++r) {
            const double f = a[r][c] / a[c][c];
            for (int k = c; k < kFree; ++k)
                a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    for (int r = kFree - 1; r >= 0; --r) {
        double v = b[r];
        for (int k = r + 1; k < kFree; ++k)
            v -= a[r][k] * x[k];
        x[r] = v / a[r][r];
    }
    return true;
}

// Fits the free levels of model (its times as they are) to the bins from
// levels on by damped Gauss-Newton steps (Levenberg-Marquardt), with
// differences for the derivatives: the derived points P1 and P5 move with the
// levels, so the shape is not linear in them. Returns the final cost.
double FitLevels(const ShapeModel& model, const Bins& b, double top, double* levels) {
    auto bounded = [top](double v) { return v < 0.0 ? 0.0 : v > top ? top : v; };
    double res[kBins], trial[kBins], jac[kFree][kBins];
    double cost = Residuals(model, levels, b, res);
    double damping = 1e-3;
    for (int step = 0; step < kMostSteps; ++step) {
        const double h = 1e-6 * top;
        for (int j = 0; j < kFree; ++j) {
            double moved[kFree];
            for (int i = 0; i < kFree; ++i)
                moved[i] = levels[i];
            // Differences taken toward the inside of the range.
            const double d = moved[j] + h <= top ? h : -h;
            moved[j] += d;
            Residuals(model, moved, b, trial);
            for (int k = 0; k < b.count; ++k)
                jac[j][k] = (trial[k] - res[k]) / d;
        }
        double jtj[kFree][kFree], jtr[kFree];
        for (int i = 0; i < kFree; ++i) {
            jtr[i] = 0.0;
            for (int k = 0; k < b.count; ++k)
                jtr[i] += jac[i][k] * res[k];
            for (int j = 0; j < kFree; ++j) {
                jtj[i][j] = 0.0;
                for (int k = 0; k < b.count; ++k)
                    jtj[i][j] += jac[i][k] * jac[j][k];
            }
        }
        double trace = 0.0;
        for (int i = 0; i < kFree; ++i)
            trace += jtj[i][i];
        bool improved = false;
        while (damping < 1e12) {
            double a[kFree][kFree], rhs[kFree], delta[kFree], next[kFree];
            for (int i = 0; i < kFree; ++i) {
                for (int j = 0; j < kFree; ++j)
                    a[i][j] = jtj[i][j];
                // Scaled by the curvature, with a floor for a level the event
                // does not reach (it then stays where it is).
                a[i][i] += damping * (jtj[i][i] + 1e-12 * trace) + 1e-300;
                rhs[i] = -jtr[i];
            }
            if (!Solve(a, rhs, delta)) break;
            for (int i = 0; i < kFree; ++i)
                next[i] = bounded(levels[i] + delta[i]);
            const double nextCost = Residuals(model, next, b, trial);
            if (nextCost < cost) {
                const double gain = cost - nextCost;
                for (int i = 0; i < kFree; ++i)
                    levels[i] = next[i];
                for (int k = 0; k < b.count; ++k)
                    res[k] = trial[k];
                cost = nextCost;
                damping = damping * 0.3 > 1e-9 ? damping * 0.3 : 1e-9;
                improved = gain > 1e-12 * cost;
                break;
            }
            damping *= 4.0;
        }
        if (!improved) break;
    }
    return cost;
}

} // namespace

bool ComputeShapeFit(const ShapeModel& model, const EventLevels& event, ShapeFit& fit) {
    Bins b;
    if (!Gather(event, model.Length(), model.SampleRate(), b)) return false;
    const double top = 2.0 * model.Scale();
    auto bounded = [top](double v) { return v < 0.0 ? 0.0 : v > top ? top : v; };

    // Start from the target under each point (its own level where the event
    // has none).
    double start[kFree];
    for (int j = 0; j < kFree; ++j) {
        const double time = model.PointAt(kFreePoints[j]).time;
        int nearest = 0;
        for (int k = 1; k < b.count; ++k)
            if (std::fabs(b.position[k] - time) < std::fabs(b.position[nearest] - time))
                nearest = k;
        const bool reached = std::fabs(b.position[nearest] - time) <= double(model.Length()) / 64;
        start[j] = bounded(reached ? b.target[nearest] : model.PointAt(kFreePoints[j]).level);
    }
    // P0 stays at the threshold, and the first curve climbs from it to P2: with
    // P2 where the user left it, a hit whose attack peaks before P2 is cut to
    // the curve there (the gain never lifts a sample above the shape). So P2's
    // column is fitted too, among a few from the first one to P3's, each with
    // its levels fitted, and the best fit is kept.
    const int last = model.ColumnOf(3) - 1;
    double best = -1.0, bestLevels[kFree] = {};
    int bestColumn = model.ColumnOf(2);
    for (int column = 1; column <= last; column = column < 4 ? column + 1 : column + column / 4) {
        ShapeModel trial = model;
        trial.SetSink(nullptr);
        trial.SetPointColumn(2, column);
        double levels[kFree];
        for (int j = 0; j < kFree; ++j)
            levels[j] = start[j];
        const double cost = FitLevels(trial, b, top, levels);
        if (best < 0.0 || cost < best) {
            best = cost;
            bestColumn = column;
            for (int j = 0; j < kFree; ++j)
                bestLevels[j] = levels[j];
        }
    }
    fit.column = -1;
    if (best < 0.0) {
        // No column between P0 and P3 to try: the levels alone.
        for (int j = 0; j < kFree; ++j)
            bestLevels[j] = start[j];
        FitLevels(model, b, top, bestLevels);
    } else {
        fit.column = bestColumn;
    }
    for (int j = 0; j < kFree; ++j)
        fit.levels[j] = bestLevels[j];
    return true;
}

void ApplyShapeFit(ShapeModel& model, const ShapeFit& fit) {
    if (fit.column >= 0) model.SetPointColumn(2, fit.column);
    for (int j = 0; j < kFree; ++j)
        model.SetPointLevel(kFreePoints[j], fit.levels[j]);
}

bool FitShapeToEvent(ShapeModel& model, const EventLevels& event) {
    ShapeFit fit;
    if (!ComputeShapeFit(model, event, fit)) return false;
    ApplyShapeFit(model, fit);
    return true;
}
