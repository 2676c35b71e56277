// Decibel helpers shared by the parameters, the effect and the displays.
#pragma once

// ln(10)/20, computed once when the module loads: amplitude = exp(dB * kDbToLn).
extern const double kDbToLn;

// dB -> linear amplitude factor.
double DbToAmp(double db);
// Linear amplitude -> dB (20 log10); 0 gives -infinity.
double AmpToDb(double amp);

// Writes the dB text of db into text (capacity bytes, always terminated):
// "%.1f", "+%.1f" at 0 dB and above, "-oo" below -144 dB (and for NaN),
// with " dB" appended when withUnit is set.
void FormatDb(double db, char* text, int capacity, bool withUnit);
