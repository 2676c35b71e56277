#include "effect/least_squares.h"

#include <cmath>

namespace {

const int kN = SquaresProblem::kMostValues;
const int kM = SquaresProblem::kMostResiduals;
// A residual that is not a number stands for this one.
const double kHuge = 1e150;

double Bounded(const SquaresProblem& p, int i, double v) {
    const double lo = p.Lowest(i), hi = p.Highest(i);
    if (!(v >= lo)) return lo; // NaN too
    return v > hi ? hi : v;
}

double Evaluate(const SquaresProblem& p, const double* x, double* r, int m, int* count) {
    p.Evaluate(x, r);
    if (count) ++*count;
    double sum = 0.0;
    for (int k = 0; k < m; ++k) {
        if (!std::isfinite(r[k])) r[k] = kHuge;
        sum += r[k] * r[k];
    }
    return sum;
}

// Solves a y = b for y (n x n) by elimination with pivoting; false when a is
// singular.
bool Solve(double a[kN][kN], double* b, double* y, int n) {
    for (int c = 0; c < n; ++c) {
        int pivot = c;
        for (int r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        if (!(std::fabs(a[pivot][c]) > 0.0)) return false;
        if (pivot != c) {
            for (int k = 0; k < n; ++k) {
                const double s = a[c][k];
                a[c][k] = a[pivot][k];
                a[pivot][k] = s;
            }
            const double s = b[c];
            b[c] = b[pivot];
            b[pivot] = s;
        }
        for (int r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            for (int k = c; k < n; ++k)
                a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        double v = b[r];
        for (int k = r + 1; k < n; ++k)
            v -= a[r][k] * y[k];
        y[r] = v / a[r][r];
    }
    return true;
}

} // namespace

double MinimizeSquares(const SquaresProblem& p, double* x, int mostSteps, int* evaluations) {
    const int n = p.Values() < kN ? p.Values() : kN;
    const int m = p.Residuals() < kM ? p.Residuals() : kM;
    for (int i = 0; i < n; ++i)
        x[i] = Bounded(p, i, x[i]);
    double r[kM], trial[kM], jac[kN][kM];
    double cost = Evaluate(p, x, r, m, evaluations);
    // The damping: small, the step is Gauss-Newton's; large, a short step down
    // the slope, each value scaled by its own curvature.
    double damping = 1e-3;
    for (int step = 0; step < mostSteps; ++step) {
        for (int i = 0; i < n; ++i) {
            double moved[kN];
            for (int k = 0; k < n; ++k)
                moved[k] = x[k];
            // The difference taken toward the inside of the range.
            const double h = x[i] + p.Step(i) <= p.Highest(i) ? p.Step(i) : -p.Step(i);
            moved[i] = x[i] + h;
            Evaluate(p, moved, trial, m, evaluations);
            for (int k = 0; k < m; ++k)
                jac[i][k] = (trial[k] - r[k]) / h;
        }
        double jtj[kN][kN], jtr[kN], trace = 0.0;
        for (int i = 0; i < n; ++i) {
            jtr[i] = 0.0;
            for (int k = 0; k < m; ++k)
                jtr[i] += jac[i][k] * r[k];
            for (int j = 0; j <= i; ++j) {
                double s = 0.0;
                for (int k = 0; k < m; ++k)
                    s += jac[i][k] * jac[j][k];
                jtj[i][j] = jtj[j][i] = s;
            }
            trace += jtj[i][i];
        }
        bool improved = false;
        while (damping < 1e10) {
            double a[kN][kN], b[kN], delta[kN], next[kN];
            for (int i = 0; i < n; ++i) {
                for (int j = 0; j < n; ++j)
                    a[i][j] = jtj[i][j];
                // A value the residuals do not depend on (its curvature 0)
                // still gets a little: it then stays where it is.
                a[i][i] += damping * (jtj[i][i] + 1e-9 * trace) + 1e-300;
                b[i] = -jtr[i];
            }
            if (!Solve(a, b, delta, n)) break;
            for (int i = 0; i < n; ++i)
                next[i] = Bounded(p, i, x[i] + delta[i]);
            const double nextCost = Evaluate(p, next, trial, m, evaluations);
            if (nextCost < cost) {
                improved = cost - nextCost > 1e-6 * cost;
                for (int i = 0; i < n; ++i)
                    x[i] = next[i];
                for (int k = 0; k < m; ++k)
                    r[k] = trial[k];
                cost = nextCost;
                damping = damping * 0.3 > 1e-9 ? damping * 0.3 : 1e-9;
                break;
            }
            damping *= 4.0;
        }
        if (!improved) break;
    }
    return cost;
}
