#include "tools/render/detector_tap.h"

#include <cmath>
#include <cstdio>

bool DetectorTap::Start(PluginInstance& plugin, int32_t block) {
    DetectLogSetup setup{int32_t(sizeof(DetectLogSetup)), block, kEventsPerRead};
    mOn = plugin.Dispatch(kVstOpVendorSpecific, kDetectLogTag, kDetectLogStart, &setup) == 1;
    mLevels.assign(size_t(block), 0.0);
    mEvents.resize(size_t(kEventsPerRead));
    return mOn;
}

bool DetectorTap::Drain(PluginInstance& plugin, bool last, std::string& error) {
    if (!mOn) return true;
    for (;;) {
        DetectLogRead read{};
        read.size = int32_t(sizeof(DetectLogRead));
        read.closeOpen = last ? 1 : 0;
        read.levels = mLevels.data();
        read.levelCapacity = int32_t(mLevels.size());
        read.events = mEvents.data();
        read.eventCapacity = int32_t(mEvents.size());
        if (plugin.Dispatch(kVstOpVendorSpecific, kDetectLogTag, kDetectLogRead, &read) != 1) {
            error = "the plug-in stopped answering for its detector";
            return false;
        }
        if (read.levelCount > 0 && read.levelStart != int64_t(band.size())) {
            error = "the plug-in's detector levels start at frame " +
                    std::to_string(read.levelStart) + ", not " + std::to_string(band.size());
            return false;
        }
        if (read.levelsDropped > 0 || read.eventsDropped > 0) {
            error = "the plug-in's detector log overflowed";
            return false;
        }
        band.insert(band.end(), mLevels.begin(), mLevels.begin() + read.levelCount);
        for (int32_t i = 0; i < read.eventCount; ++i) {
            const DetectLogEvent& e = mEvents[size_t(i)];
            events.push_back(PlotEvent{e.start, e.length, e.peak, e.full != 0});
        }
        threshold = read.threshold;
        if (read.levelCount < read.levelCapacity && read.eventCount < read.eventCapacity)
            return true;
    }
}

void DetectorTap::Stop(PluginInstance& plugin) {
    if (mOn) plugin.Dispatch(kVstOpVendorSpecific, kDetectLogTag, kDetectLogStop, nullptr);
}

std::string EventsCsv(const std::vector<PlotEvent>& events, double rate) {
    std::string csv = "start_s,start_frame,peak_db,peak,full_length\n";
    char line[160];
    for (const PlotEvent& e : events) {
        std::snprintf(line, sizeof line, "%.6f,%lld,%.2f,%.9g,%s\n", double(e.start) / rate,
                      static_cast<long long>(e.start), 20.0 * std::log10(e.peak), e.peak,
                      e.full ? "yes" : "no");
        csv += line;
    }
    return csv;
}
