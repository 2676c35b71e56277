#include "editor/frame_clock.h"

#include <chrono>

namespace {

class SteadyClock : public FrameClock {
public:
    int64_t NowMs() const override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
};

} // namespace

const FrameClock& SteadyFrameClock() {
    static const SteadyClock clock;
    return clock;
}
