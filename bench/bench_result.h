// The figures of one configuration (a CPU profile, a number of codes, a log
// priority), and their medians over repeated runs.
#ifndef DORVANE_BENCH_BENCH_RESULT_H
#define DORVANE_BENCH_BENCH_RESULT_H

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

struct Percentiles {
    double p50, p90, p99, max;
};

Percentiles percentiles(std::vector<double> v);

struct Result {
    std::string profile;
    int codes = 0;
    std::string priority;
    Percentiles latency{};
    double eventsPerSecond = 0, cpuMicrosPerEvent = 0;
    // Steady: after the latency run, nothing queued. Peak: after the flood.
    double steadyRssKb = 0, steadyPssKb = 0, peakRssKb = 0, rssGrowthKb = 0;
    // The floor: the lookup, and the round trip in each mode of the
    // profile (floorModes), in that order.
    double lookupP50 = 0;
    std::vector<double> rttP50;
    std::vector<std::string> rttModes;  // the name of each mode

    // The mode of the lowest round trip, which the floor takes.
    size_t floorMode() const;
    std::string floorModeName() const { return rttModes.empty() ? "" : rttModes[floorMode()]; }
    double rtt() const { return rttP50.empty() ? 0 : rttP50[floorMode()]; }
    double floor() const { return lookupP50 + rtt(); }
};

// The median of each figure over runs of one configuration.
Result medianOf(const std::vector<Result>& runs);

}  // namespace bench

#endif
