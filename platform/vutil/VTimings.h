// VTimings: every wait the service makes, in one set of values. The
// installed service runs on the defaults below; dorvane-local (the demo, the
// tests, the benchmark) may shorten or lift them (see src/timings.h).
//
// Contract: a plain value, copied by whoever needs it; nothing here blocks,
// allocates but for parseTimings's refusal text, or throws but
// std::bad_alloc.
#ifndef DORVANE_PLATFORM_VUTIL_VTIMINGS_H
#define DORVANE_PLATFORM_VUTIL_VTIMINGS_H

#include <chrono>
#include <string>

namespace vutil {

struct Timings {
    using ms = std::chrono::milliseconds;

    // The site daemon's connection (cObjectClient). A request has one
    // deadline for its send and its reply together.
    ms replyTimeout{2000};
    // A lost connection is made again this often; also the bound of one
    // connection attempt.
    ms reconnect{1000};
    // The event thread ticks its listeners (status, watchdog) this often.
    ms tick{1000};
    // A connection that cannot be made is logged at most this often.
    ms failureLog{60000};
    // The sequence number of a request that timed out is not used again on
    // its connection for this long, so that its late reply answers nothing.
    ms heldSequence{60000};

    // Discovery waits this long after each reply of the site daemon (it
    // answers a burst of requests badly while it loads its modules).
    ms discoveryWait{1000};
    // A rerun of discovery that leaves something missing is followed by the
    // next one after firstRetry, then after twice as long each time, at most
    // longestRetry.
    ms firstRetry{10000};
    ms longestRetry{60000};

    // An access object whose message was read off the connection longer ago
    // than this when its handling starts opens nothing (result=expired); 0:
    // no bound. A person at a door waits a few seconds; a door that opens
    // later may open for the next person, or after the badge was shown again
    // (and a second toggle undoes the first). 5 s lets a scan that waited
    // behind one other, whose two SETs went unanswered (two reply deadlines),
    // still open, and ends a queue that a daemon which stopped answering has
    // built up. Scans held back during start-up count the same.
    ms scanExpiry{5000};
};

// Reads text, "name=milliseconds" pairs separated by commas (names as the
// members above, in snake case: reply_timeout, reconnect, tick, failure_log,
// held_sequence, discovery_wait, first_retry, longest_retry, scan_expiry),
// over *timings. Each value is at most a day; only scan_expiry may be 0.
// On any fault returns false with one line in *why and leaves *timings as it
// was.
bool parseTimings(const char* text, Timings* timings, std::string* why);

}  // namespace vutil

#endif
