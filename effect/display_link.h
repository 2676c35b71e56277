// What the effect and its displays know of each other, without the effect
// knowing the editor: the displays are marked dirty through DisplayLink (from
// the audio path and the parameter hooks), and read the levels of the current
// event through DetectionSource.
#pragma once

#include <cstdint>

class DisplayLink {
public:
    virtual ~DisplayLink() = default;
    // Asks for a redraw; drawing happens later on the editor thread. Any
    // thread, the audio thread included: it never waits and never allocates.
    virtual void MarkDirty() = 0;
};

// Where a display pulls the levels of the current event from (the effect).
class DetectionSource {
public:
    virtual ~DetectionSource() = default;
    // The detector and output levels the current event recorded past what the
    // reader has. event and start come in as the reader's event and the
    // position it has read up to; when the current event is another one, it
    // starts from position 0. Out: the current event, and start. The levels of
    // positions start.. are written to levelDst and outDst at those positions
    // (positions from capacity on are not written). Returns how many positions
    // past start it delivered (0 when nothing is new or nothing is there); a
    // source may deliver a slice at a time, and the reader asks again.
    virtual int ReadDetection(double* levelDst, double* outDst, int capacity, uint64_t& event,
                              int& start) = 0;
};
