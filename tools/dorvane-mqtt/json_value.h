// The one strict JSON reader of dorvane-mqtt: the link reads the outbox's
// lines with it, the center's tools the link's messages (events, status,
// codes/applied). It takes RFC 8259 JSON and nothing else: UTF-8 only, no
// duplicate member, at most kMaxJsonMembers members in an object, nesting
// at most kMaxJsonDepth deep, at most kMaxJsonBytes.
//
// Pure functions on the caller's bytes: any thread, nothing kept, nothing
// throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_JSON_VALUE_H
#define DORVANE_TOOLS_DORVANE_MQTT_JSON_VALUE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mqttlink {

constexpr int kMaxJsonDepth = 16;
// Each member is checked against those before it: an object of a message's
// 100 000 short members would take the reader most of a minute.
constexpr size_t kMaxJsonMembers = 64;
constexpr size_t kMaxJsonBytes = 1 << 20;

struct JsonValue {
    enum eKind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    // STRING: its bytes, escapes decoded; NUMBER: as written; BOOL: "true"
    // or "false".
    std::string text;
    bool escaped = false;  // STRING: written with at least one escape
    std::vector<std::pair<std::string, JsonValue>> members;  // OBJECT, in order
    std::vector<JsonValue> items;                            // ARRAY

    // The member named key of an object, or null.
    const JsonValue* member(const std::string& key) const;
    // True when a member key is a string; *out gets its bytes.
    bool string(const std::string& key, std::string* out) const;
    // True when a member key is a whole number from 0 to max; *out gets it.
    bool whole(const std::string& key, uint64_t max, uint64_t* out) const;
    // True when a member key is true (false when absent or anything else).
    bool isTrue(const std::string& key) const;
};

// True when digits is a whole decimal number without a sign or leading
// zeros, at most 19 digits (so it fits); *out gets it.
bool parseWhole(const std::string& digits, uint64_t* out);

// Reads text as one JSON value (white space around allowed). False when it
// is not strict JSON or passes the bounds above.
bool parseJson(const std::string& text, JsonValue* out);

}  // namespace mqttlink

#endif
