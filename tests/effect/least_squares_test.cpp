// The bounded least-squares search autofit runs on: it finds a valley's bottom
// from any start near it, stays within the bounds, and survives residuals
// that are not numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>

#include "effect/least_squares.h"
#include "tests/common/test_seed.h"

namespace {

// A decay a e^(-b t) + c sampled at 40 times, against a target made by the
// same law (so the bottom is at the target's values, with no error left).
class Decay : public SquaresProblem {
public:
    Decay(double a, double b, double c) : mA(a), mB(b), mC(c) {}
    int Values() const override { return 3; }
    int Residuals() const override { return 40; }
    void Evaluate(const double* x, double* r) const override {
        ++evaluations;
        for (int k = 0; k < 40; ++k) {
            const double t = 0.025 * k;
            r[k] = x[0] * std::exp(-x[1] * t) + x[2] - (mA * std::exp(-mB * t) + mC);
        }
    }
    double Lowest(int i) const override { return lo[i]; }
    double Highest(int i) const override { return hi[i]; }
    double Step(int) const override { return 1e-7; }

    double lo[3] = {-10.0, 0.0, -10.0}, hi[3] = {10.0, 20.0, 10.0};
    mutable int evaluations = 0;

private:
    double mA, mB, mC;
};

} // namespace

TEST(LeastSquares, FindsTheBottomOfTheValleyItStartsIn) {
    std::mt19937 random(TestSeed(29u));
    std::uniform_real_distribution<double> value(0.5, 2.0), rate(1.0, 6.0), offset(-1.0, 1.0);
    std::uniform_real_distribution<double> off(0.7, 1.3);
    for (int round = 0; round < 50; ++round) {
        const double a = value(random), b = rate(random), c = offset(random);
        Decay problem(a, b, c);
        // Started within 30% of the answer.
        double x[3] = {a * off(random), b * off(random), c + 0.3 * (off(random) - 1.0)};
        const double cost = MinimizeSquares(problem, x, 100);
        EXPECT_LT(cost, 1e-12) << round;
        EXPECT_NEAR(x[0], a, 1e-4) << round;
        EXPECT_NEAR(x[1], b, 1e-4) << round;
        EXPECT_NEAR(x[2], c, 1e-4) << round;
    }
}

TEST(LeastSquares, KeepsEveryValueWithinItsBoundsAndTheStepsWithinTheLimit) {
    // The bottom lies outside the box: the search ends on its wall, at a cost
    // no higher than where it started, after no more steps than allowed.
    Decay problem(2.0, 3.0, 0.5);
    problem.hi[0] = 1.0;
    problem.lo[2] = 0.8;
    double start[3] = {0.5, 1.0, 0.9}, x[3] = {0.5, 1.0, 0.9}, r[40];
    problem.Evaluate(start, r);
    double before = 0.0;
    for (double v : r)
        before += v * v;
    problem.evaluations = 0;
    int counted = 0;
    const double cost = MinimizeSquares(problem, x, 5, &counted);
    EXPECT_LE(cost, before);
    EXPECT_LE(x[0], 1.0);
    EXPECT_GE(x[2], 0.8);
    EXPECT_EQ(counted, problem.evaluations);
    // Each step evaluates one difference per value and tries damped steps.
    EXPECT_LE(counted, 1 + 5 * (3 + 40));
    // A start outside the box is brought inside first.
    double outside[3] = {50.0, -3.0, std::numeric_limits<double>::quiet_NaN()};
    MinimizeSquares(problem, outside, 0);
    EXPECT_EQ(outside[0], 1.0);
    EXPECT_EQ(outside[1], 0.0);
    EXPECT_EQ(outside[2], 0.8);
}

namespace {

// Residuals that are not numbers over part of the range (as a shape whose
// curve cannot be evaluated): the search keeps away from there.
class Holed : public SquaresProblem {
public:
    int Values() const override { return 1; }
    int Residuals() const override { return 1; }
    void Evaluate(const double* x, double* r) const override {
        r[0] = x[0] > 1.0 ? std::numeric_limits<double>::quiet_NaN() : x[0] - 2.0;
    }
    double Lowest(int) const override { return -5.0; }
    double Highest(int) const override { return 5.0; }
    double Step(int) const override { return 1e-6; }
};

} // namespace

TEST(LeastSquares, ResidualsThatAreNotNumbersCountAsHugeAndAreLeftAlone) {
    // From outside the hole the search ends at its edge, the least it can
    // reach; from inside, where every value looks alike, it stays where it
    // is, with a cost that is a number.
    Holed problem;
    double outside[1] = {-3.0};
    EXPECT_TRUE(std::isfinite(MinimizeSquares(problem, outside, 50)));
    EXPECT_LE(outside[0], 1.0);
    EXPECT_NEAR(outside[0], 1.0, 0.05);
    double inside[1] = {3.0};
    EXPECT_TRUE(std::isfinite(MinimizeSquares(problem, inside, 50)));
    EXPECT_EQ(inside[0], 3.0);
}
