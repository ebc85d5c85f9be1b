// timings: the service's own timings, in one place. The client's reply
// deadline and reconnect interval are the client's (cObjectClient).
#ifndef DORVANE_SRC_TIMINGS_H
#define DORVANE_SRC_TIMINGS_H

#include <chrono>
#include <cstdint>

namespace timings {

// A discovery step waits at most for one reply and then one second: the
// start timeout the service manager is asked to extend by, per step.
constexpr uint64_t kDiscoveryStepUsec = 10 * 1000 * 1000;
// A rerun of discovery that leaves something missing is followed by the next
// one after kFirstRetry, then after twice as long each time, at most
// kLongestRetry.
constexpr std::chrono::seconds kFirstRetry(10);
constexpr std::chrono::seconds kLongestRetry(60);

// An access object whose message was read off the connection longer ago
// than this when its handling starts opens nothing (result=expired). A
// person at a door waits a few seconds; a door that opens later may open
// for the next person, or after the badge was shown again (and a second
// toggle undoes the first). 5 s lets a scan that waited behind one other,
// whose two SETs went unanswered (two reply deadlines of 2 s), still open,
// and ends a queue that a daemon which stopped answering has built up.
// Scans held back during start-up (a second per output) count the same.
constexpr std::chrono::milliseconds kScanExpiry(5000);
// dorvane-local (the demo, the tests, the benchmark) takes the bound in
// milliseconds from this environment variable when it is set: 0 lifts it.
// The installed service never reads it.
constexpr const char* kScanExpiryVariable = "DORVANE_SCAN_EXPIRY_MS";

}  // namespace timings

#endif
