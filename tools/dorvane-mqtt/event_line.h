// One line of the outbox read by the link: checked as a JSON object (the
// strict reader of json_value.h: a line cut short by a power loss, or anything that is not an
// event, is damaged), with the few members the link needs taken out.
//
// Pure functions on the caller's bytes: any thread, nothing kept, nothing
// throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_EVENT_LINE_H
#define DORVANE_TOOLS_DORVANE_MQTT_EVENT_LINE_H

#include <cstdint>
#include <string>

namespace mqttlink {

// An event id split: "9f86d081884c7d65-42" is start "9f86d081884c7d65",
// number 42.
struct EventId {
    std::string start;
    uint64_t number = 0;
};

// True when text is an id of that form (16 lower-case hex digits, "-", a
// decimal number from 1 without leading zeros); *id gets its parts.
bool parseEventId(const std::string& text, EventId* id);

struct EventLine {
    std::string type;  // "access", "lost", ...
    std::string id;    // as written
    EventId parsedId;
    std::string time;
    // Only for type "lost":
    std::string reason;
    uint64_t count = 0;
    std::string first, last;  // empty when null
    // A `lost` event the service wrote again (its file was dropped): the
    // id of the line it repeats; empty otherwise.
    std::string of;
};

// Reads line (without its "\n"). True when it is one JSON object, strictly
// formed, with "v":1, a string "type", an "id" of the event form and a
// string "time"; a "lost" event must also have a string "reason" and a
// whole "count" (and "first"/"last" strings or null). False: damaged.
bool parseEventLine(const std::string& line, EventLine* out);

// The text as a JSON string with its quotes; bytes that are not printable
// UTF-8 are written as the project's \xHH escapes first (so any bytes give
// valid JSON).
std::string jsonString(const std::string& text);

// The time now as RFC 3339 UTC with microseconds.
std::string nowRfc3339();

}  // namespace mqttlink

#endif
