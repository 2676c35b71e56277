// Bounded nonlinear least squares: the values x within lo..hi that make the
// sum of squares of a problem's residuals least, by Levenberg-Marquardt steps
// from a given start, derivatives by differences. A local search: it finds the
// bottom of the valley it starts in. Everything it needs is on the stack, so
// it allocates nothing.
#pragma once

class SquaresProblem {
public:
    static constexpr int kMostValues = 8;
    static constexpr int kMostResiduals = 352;

    virtual ~SquaresProblem() = default;
    // How many values and residuals (at most kMostValues and kMostResiduals).
    virtual int Values() const = 0;
    virtual int Residuals() const = 0;
    // Writes the residuals at x (within the bounds). A residual that is not a
    // number counts as a very large one.
    virtual void Evaluate(const double* x, double* residuals) const = 0;
    // The range of value i and the step its derivative is taken over.
    virtual double Lowest(int i) const = 0;
    virtual double Highest(int i) const = 0;
    virtual double Step(int i) const = 0;
};

// Moves x (within the bounds on return) to a local least sum of squares,
// taking at most mostSteps steps; returns that sum. evaluations, when given,
// is increased by the number of times the residuals were evaluated.
double MinimizeSquares(const SquaresProblem& problem, double* x, int mostSteps,
                       int* evaluations = nullptr);
