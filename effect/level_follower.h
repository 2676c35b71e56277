// One-pole level follower with separate rise and fall coefficients.
#pragma once

// Sets dst to a where pick holds and to b elsewhere: the plain choice for one
// double...
inline void Pick(double& dst, bool pick, double a, double b) {
    dst = pick ? a : b;
}
// ...and a choice by bit masks for vectors of doubles, whose comparisons give
// lanes of all ones or all zeros: no branch, which on noisy input would often
// be mispredicted. Vectors go by reference, so they pass the same way on
// targets without vector registers.
template <typename Mask, typename T>
inline void Pick(T& dst, const Mask& pick, const T& a, const T& b) {
    dst = (T)(((Mask)a & pick) | ((Mask)b & ~pick));
}

// Moves level on by input x. The follower takes the signed input, so the level
// rides on the positive peaks and decays between them; attack applies while
// the input is above the level, release otherwise (also when they are equal).
// T is double, or a vector of doubles that runs several followers side by
// side, each lane as the double would.
template <typename T>
inline void FollowLevelStep(T& level, const T& x, const T& attack, const T& release) {
    // Both candidates are computed and one is picked: the same result as picking
    // the coefficient first, but the comparison no longer delays the multiply.
    const T difference = level - x;
    const T rising = x + difference * attack;
    const T falling = x + difference * release;
    Pick(level, level < x, rising, falling);
}

// Returns the new level after input x, given the previous level.
inline double FollowLevel(double level, double x, double attack, double release) {
    FollowLevelStep(level, x, attack, release);
    return level;
}

// Follows levels through src[0..n-1] into dst, starting from level; returns the
// last level.
inline double FollowLevels(double level, const double* src, double* dst, int n, double attack,
                           double release) {
    for (int i = 0; i < n; ++i) {
        level = FollowLevel(level, src[i], attack, release);
        dst[i] = level;
    }
    return level;
}
