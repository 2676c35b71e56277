// Autofit: the free points of the envelope shape - the times and levels of
// P2, P3 and P4, and the level of P6 - fitted to one recorded event, so that
// at strength 1 the event comes out as it went in: its attack's peak, and its
// level over each short stretch.
//
// At strength 1 a sample x leaves as s x / d, with s the shape's level and d
// the divisor: the level the processing divides by (the full-band follower,
// or the band's with "process only detected signal"), kept at least the
// louder shaped sample's magnitude and a share of the magnitude level. So the
// output's energy over a stretch is the sum of s^2 (x / d)^2 against the
// input's sum of x^2, and the attack's output peaks at the largest s |x| / d.
// The fit asks, by least squares of the errors in dB, for every 5 ms stretch
// of the envelope and every 20 ms span (about a period of a kick's low tone)
// to keep its level, and holds the attack's peak over its first 10 ms and the
// whole envelope's level within 0.5 dB. The shape is not linear in the points
// (P1 and P5 follow P2, P3 and P4), and the errors have several valleys, so
// the search (effect/least_squares.h) starts from a few kinds of shape and
// keeps the best bottom it finds.
//
// P0 stays at the threshold at time 0; P2, P3 and P4 stay in order, each in a
// plot column of its own, as dragging keeps them; levels stay within what a
// saved shape may hold (0 to twice the scale, P3 from minus twice the scale).
// Past the event's end (a hit the next one cut short) the shape holds the
// last level heard. The fit allocates nothing; its work is bounded (six
// searches of at most 50 steps): about 6 ms for an envelope of 0.2 s and
// 16 ms for one of 1 s at 96 kHz (bench/fit_bench.cpp).
//
// What no shape can give: d rides the waveform - on a low tone it falls
// between peaks, and a noisy attack's loudest sample stands above the divisor
// around it - so the level a 5 ms stretch asks of the shape swings from
// stretch to stretch by more than a smooth curve can follow (1.5-4 dB on most
// kicks' tails), and keeping a noisy attack's peak lifts its first stretch.
#pragma once

class ShapeModel;

// One event as the effect records it, by envelope position 0..count-1: the
// divisor level and the louder magnitude of the samples shaped there.
struct EventLevels {
    const double* level;
    const double* peak;
    int count;
};

// Fits model's free points to event; false, with model unchanged, when the
// event holds nothing to fit to (no samples, or none that are numbers above
// zero in its first 10 ms). The shape is not handed on.
bool FitShapeToEvent(ShapeModel& model, const EventLevels& event);
