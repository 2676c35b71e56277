// The time a face paces its frames by: milliseconds of a steady clock. The
// faces read the system's; a test hands one it moves by hand, so that the
// number of frames in a stretch of time is exact however busy the machine is.
#pragma once

#include <cstdint>

class FrameClock {
public:
    virtual ~FrameClock() = default;
    // Milliseconds since some fixed moment; never goes back. Any thread.
    virtual int64_t NowMs() const = 0;
};

// The system's steady clock.
const FrameClock& SteadyFrameClock();
