// timings: the service's timings. Every wait the service makes is one of
// vutil::Timings (platform/vutil/VTimings.h), the one place that holds their
// values; the installed service runs on its defaults.
#ifndef DORVANE_SRC_TIMINGS_H
#define DORVANE_SRC_TIMINGS_H

#include <cstdint>

#include "vutil/VTimings.h"

namespace timings {

// A discovery step waits at most for one reply and then discoveryWait: the
// start timeout the service manager is asked to extend by, per step. Larger
// than the defaults' reply deadline and wait together, with room to spare.
constexpr uint64_t kDiscoveryStepUsec = 10 * 1000 * 1000;

// dorvane-local (the demo, the tests, the benchmark) takes timings from this
// environment variable when it is set, in the form vutil::parseTimings reads
// ("scan_expiry=0", "discovery_wait=10,first_retry=200"); the installed
// service never reads it.
constexpr const char* kVariable = "DORVANE_TIMINGS";

}  // namespace timings

#endif
