#include "tools/dorvane-mqtt/event_line.h"

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tools/dorvane-mqtt/json_value.h"
#include "vutil/VText.h"

namespace mqttlink {

namespace {

// A member the link reads (an id, a word, a time) into *out: absent (or
// null, where orNull) leaves it empty; one that is not a string, or is
// written with escapes, is damage (false).
bool plainText(const JsonValue& event, const char* key, std::string* out, bool orNull = false) {
    const JsonValue* v = event.member(key);
    if (v == nullptr || (orNull && v->kind == JsonValue::NUL)) {
        return true;
    }
    if (v->kind != JsonValue::STRING || v->escaped) {
        return false;
    }
    *out = v->text;
    return true;
}

}  // namespace

bool parseEventId(const std::string& text, EventId* id) {
    size_t dash = text.find('-');
    if (dash != 16) {
        return false;
    }
    for (size_t i = 0; i < 16; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    uint64_t number = 0;
    if (!parseWhole(text.substr(17), &number) || number == 0) {
        return false;
    }
    id->start = text.substr(0, 16);
    id->number = number;
    return true;
}

bool parseEventLine(const std::string& line, EventLine* out) {
    JsonValue json;
    EventLine event;
    if (!parseJson(line, &json) || json.kind != JsonValue::OBJECT) {
        return false;
    }
    const JsonValue* version = json.member("v");
    bool hasCount = json.whole("count", UINT64_MAX, &event.count);
    if (version == nullptr || version->kind != JsonValue::NUMBER || version->text != "1" ||
        !plainText(json, "type", &event.type) || !plainText(json, "id", &event.id) ||
        !plainText(json, "time", &event.time) || !plainText(json, "reason", &event.reason) ||
        !plainText(json, "of", &event.of) || !plainText(json, "first", &event.first, true) ||
        !plainText(json, "last", &event.last, true)) {
        return false;
    }
    if (event.type.empty() || event.time.empty() || !parseEventId(event.id, &event.parsedId)) {
        return false;
    }
    if (event.type == "lost" && (event.reason.empty() || !hasCount)) {
        return false;
    }
    *out = event;
    return true;
}

std::string jsonString(const std::string& text) {
    std::string printable = vutil::escape(text.data(), text.size());
    std::string out = "\"";
    for (char c : printable) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

std::string nowRfc3339() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", parts.tm_year + 1900,
             parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
             static_cast<long>(now.tv_nsec / 1000));
    return text;
}

}  // namespace mqttlink
