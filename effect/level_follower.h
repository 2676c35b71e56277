// One-pole level follower with separate rise and fall coefficients.
#pragma once

// Returns the new level after input x, given the previous level. The follower
// takes the signed input, so the level rides on the positive peaks and decays
// between them; attack applies while the input is above the level, release
// otherwise (also when they are equal).
inline double FollowLevel(double level, double x, double attack, double release) {
    // Both candidates are computed and one is picked: the same result as picking
    // the coefficient first, but the comparison no longer delays the multiply.
    const double difference = level - x;
    const double rising = x + difference * attack;
    const double falling = x + difference * release;
    return level < x ? rising : falling;
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
