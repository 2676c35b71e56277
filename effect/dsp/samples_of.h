// Lengths in samples from lengths in seconds.
#pragma once

#include <cmath>

// Samples in seconds at rate, truncated toward zero, except that a product
// within rounding of a whole number counts as that number: a length handed out
// as seconds ("env time" from the length slider) comes back unchanged.
inline int SamplesOf(double seconds, double rate) {
    const double n = seconds * rate;
    if (!(n > 0.0)) return 0;
    if (n >= 2147483647.0) return 2147483647;
    const double whole = std::round(n);
    return int(std::fabs(n - whole) <= 1e-9 * (whole > 1.0 ? whole : 1.0) ? whole : n);
}
