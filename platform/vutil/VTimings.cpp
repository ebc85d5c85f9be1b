#include "vutil/VTimings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vutil {

namespace {

struct Field {
    const char* name;
    Timings::ms Timings::*member;
    bool zeroAllowed;  // 0 lifts the bound rather than making a busy loop
};

const Field kFields[] = {
    {"reply_timeout", &Timings::replyTimeout, false},
    {"reconnect", &Timings::reconnect, false},
    {"tick", &Timings::tick, false},
    {"failure_log", &Timings::failureLog, false},
    {"held_sequence", &Timings::heldSequence, false},
    {"discovery_wait", &Timings::discoveryWait, true},
    {"first_retry", &Timings::firstRetry, false},
    {"longest_retry", &Timings::longestRetry, false},
    {"scan_expiry", &Timings::scanExpiry, true},
};

constexpr unsigned long kDayMs = 24UL * 3600 * 1000;

}  // namespace

bool parseTimings(const char* text, Timings* timings, std::string* why) {
    Timings read = *timings;
    std::string rest = text != nullptr ? text : "";
    size_t at = rest.empty() ? 1 : 0;  // an empty text changes nothing
    while (at <= rest.size()) {
        size_t comma = rest.find(',', at);
        std::string item =
            rest.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        at = comma == std::string::npos ? rest.size() + 1 : comma + 1;
        size_t eq = item.find('=');
        const Field* field = nullptr;
        for (const Field& f : kFields) {
            if (eq != std::string::npos && item.compare(0, eq, f.name) == 0 &&
                strlen(f.name) == eq) {
                field = &f;
            }
        }
        if (field == nullptr) {
            *why = "names no timing (name=milliseconds, separated by commas)";
            return false;
        }
        const char* value = item.c_str() + eq + 1;
        char* end = nullptr;
        errno = 0;
        unsigned long ms = strtoul(value, &end, 10);
        if (value[0] < '0' || value[0] > '9' || *end != '\0' || errno != 0 || ms > kDayMs ||
            (ms == 0 && !field->zeroAllowed)) {
            *why = std::string("gives ") + field->name + " no number of milliseconds up to a day" +
                   (field->zeroAllowed ? "" : " above 0");
            return false;
        }
        read.*(field->member) = Timings::ms(ms);
    }
    if (read.longestRetry < read.firstRetry) {
        *why = "gives a longest_retry shorter than first_retry";
        return false;
    }
    *timings = read;
    return true;
}

}  // namespace vutil
