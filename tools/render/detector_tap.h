// What the plug-in's own detector did during a render, asked of it after
// every block, and the detected events as CSV.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "effect/detect_log.h"
#include "tools/host/host.h"
#include "tools/render/plot.h"

// The detector's levels and events, asked of the plug-in through Kelo's
// vendor-specific request (effect/detect_log.h) after every block: the tool
// sees what the plug-in's own detector did, whatever its options, and never
// detects anything itself.
class DetectorTap {
public:
    // Starts the plug-in's log for blocks of up to block frames; false when the
    // plug-in does not keep one.
    bool Start(PluginInstance& plugin, int32_t block);
    // Takes what the log holds; last: the render's end, where an event still
    // running is handed out as cut short. False, with a reason, when levels
    // went missing.
    bool Drain(PluginInstance& plugin, bool last, std::string& error);
    // Frees the plug-in's log; what was taken stays.
    void Stop(PluginInstance& plugin);
    // Whether the plug-in keeps the log (and the events are known).
    bool On() const { return mOn; }

    std::vector<float> band; // the band's level, one per frame rendered
    std::vector<PlotEvent> events;
    double threshold = 0.0;

private:
    static constexpr int32_t kEventsPerRead = 1024;
    bool mOn = false;
    std::vector<double> mLevels;
    std::vector<DetectLogEvent> mEvents;
};

// The events as CSV: start (seconds and frame), peak band level (dBFS and as
// a level) and whether the envelope ran its whole length.
std::string EventsCsv(const std::vector<PlotEvent>& events, double rate);
