// Autofit: the free levels of the envelope shape (P2, P3, P4 and P6) and P2's
// time fitted to one recorded event, so that at strength 1 the event comes out
// as it went in.
//
// At strength 1 a sample's gain is |shape| / d, with d the divisor level: the
// level the processing divides by (the full-band follower, or the band's with
// "process only detected signal"), kept at least the louder shaped sample's
// magnitude and a share of the magnitude level. The event is kept when the shape equals d; d
// ripples with the signal, so the fit asks, for each short stretch of the envelope, for the level
// that gives the stretch its own energy back (sqrt(sum x^2 / sum (x/d)^2) with x the sample's
// magnitude), and minimises the shape's error relative to those levels by least squares over the
// free levels (a Huber loss, every frame weighted by the square root of its level), so that errors
// count in dB and a stretch no shape can follow does not pull the rest off. P0 stays at the
// threshold and the first curve climbs from it to P2, and no sample is lifted above the shape: a
// hit whose attack peaks before P2 would lose it. So P2's column is chosen too, among a few
// between P0 and P3, each with its levels fitted (the best fit is kept); the other times stay
// (they are the user's). The levels are kept within 0 .. twice the scale.
#pragma once

class ShapeModel;

// One event as the effect records it, by envelope position 0..count-1: the
// divisor level and the louder magnitude of the samples shaped there.
struct EventLevels {
    const double* level;
    const double* peak;
    int count;
};

// What a fit decides: P2's plot column (-1: it stays where it is) and the
// levels of P2, P3, P4 and P6, in this order.
struct ShapeFit {
    int column = -1;
    double levels[4] = {};
};

// Fits the free levels of model, as it is, to event (model is left alone, so
// the fit can work on copies while the originals change); false when the
// event holds nothing to fit to.
bool ComputeShapeFit(const ShapeModel& model, const EventLevels& event, ShapeFit& fit);
// Gives model the fit's column and levels. The shape is not handed on.
void ApplyShapeFit(ShapeModel& model, const ShapeFit& fit);
// Both in one: false, with model unchanged, when the event holds nothing to
// fit to.
bool FitShapeToEvent(ShapeModel& model, const EventLevels& event);
