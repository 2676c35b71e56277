#include "base/db.h"

#include <cmath>
#include <cstdio>

const double kDbToLn = std::log(10.0) / 20.0;

double DbToAmp(double db) {
    return std::exp(db * kDbToLn);
}

double AmpToDb(double amp) {
    return 20.0 * std::log10(amp);
}

void FormatDb(double db, char* text, int capacity, bool withUnit) {
    if (!text || capacity <= 0) return;
    const char* unit = withUnit ? " dB" : "";
    if (std::isnan(db) || db < -144.0)
        std::snprintf(text, size_t(capacity), "-oo%s", unit);
    else
        std::snprintf(text, size_t(capacity), db >= 0.0 ? "+%.1f%s" : "%.1f%s", db, unit);
}
