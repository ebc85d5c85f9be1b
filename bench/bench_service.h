// The real service against the benchmark's daemon: latency, throughput,
// CPU time and memory.
#ifndef DORVANE_BENCH_BENCH_SERVICE_H
#define DORVANE_BENCH_BENCH_SERVICE_H

#include <string>

#include "bench/bench_result.h"

namespace bench {

// Starts service in dir (its site made by makeSite, res.codes codes),
// plays its site daemon through discovery, times latencyEvents events one
// at a time, then sends floodEvents (none: no flood) back to back, and
// stops it. The figures go to res; a failure ends the benchmark.
void runService(const std::string& service, const std::string& dir, int latencyEvents,
                int floodEvents, Result& res);

}  // namespace bench

#endif
