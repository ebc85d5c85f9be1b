// dorvane-mqtt events: every unit's events as they come (see center.h).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "src/access_trail.h"
#include "src/verb_table.h"
#include "tools/dorvane-mqtt/center.h"
#include "tools/dorvane-mqtt/center_client.h"
#include "tools/dorvane-mqtt/json_value.h"
#include "vsign/VCodeSet.h"

namespace mqttlink {

namespace {

void usage(FILE* out) {
    fprintf(out, "Usage: dorvane-mqtt events [--config FILE] [--site S] [--json] [--session ID]\n");
}

int hexDigit(char c) {
    const char* digits = "0123456789abcdef";
    const char* at = c != '\0' ? strchr(digits, c | 0x20) : nullptr;
    return at != nullptr ? static_cast<int>(at - digits) : -1;
}

// An event's text in the trail's bytes: its escaped form (a backslash as
// \\, an escaped byte as \xHH) read back when the event says "escaped", and
// a cut mark taken off when it says "cut". False when the escaped form is
// broken.
bool trailText(const std::string& text, bool escaped, bool cut, cTrailText* out) {
    std::string bytes;
    if (!escaped) {
        bytes = text;
    } else {
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\\') {
                bytes += text[i];
            } else if (i + 1 < text.size() && text[i + 1] == '\\') {
                bytes += '\\';
                ++i;
            } else if (i + 3 < text.size() && text[i + 1] == 'x' && hexDigit(text[i + 2]) >= 0 &&
                       hexDigit(text[i + 3]) >= 0) {
                bytes += static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3]));
                i += 3;
            } else {
                return false;
            }
        }
    }
    // A text that ends in "..." in an event that cuts one is taken as cut (a
    // whole text ending so shows quoted: the only difference there can be).
    out->cut = cut && bytes.size() >= 3 && bytes.compare(bytes.size() - 3, 3, "...") == 0;
    out->kept = out->cut ? bytes.substr(0, bytes.size() - 3) : bytes;
    return true;
}

bool isWord(const std::string& text, const char* extra) {
    return !text.empty() && text.size() <= 64 &&
           std::all_of(text.begin(), text.end(), [extra](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      strchr(extra, c) != nullptr;
           });
}

// The access trail's line for an access event: the record the line is
// written from, read back from the event.
bool accessLine(const JsonValue& e, std::string* line) {
    cTrailRecord r;
    uint64_t seq = 0, serial = 0, omitted = 0;
    std::string result, code;
    const JsonValue* reader = e.member("reader");
    const JsonValue* outputs = e.member("outputs");
    const bool escaped = e.isTrue("escaped");
    const bool cut = e.isTrue("cut");
    if (!e.whole("seq", 0xFFFFFFFFu, &seq) || !e.whole("serial", 0xFFFFFFFFu, &serial) ||
        !e.string("code", &code) || !e.string("result", &result) || !isWord(result, "-") ||
        reader == nullptr ||
        (reader->kind != JsonValue::STRING && reader->kind != JsonValue::NUL) ||
        outputs == nullptr || outputs->kind != JsonValue::ARRAY ||
        (e.member("omitted") != nullptr && !e.whole("omitted", 1u << 20, &omitted)) ||
        !trailText(code, escaped, cut, &r.code)) {
        return false;
    }
    r.seq = static_cast<unsigned>(seq);
    r.serial = static_cast<unsigned>(serial);
    r.result = result.c_str();
    r.omitted = omitted;
    r.hasReader = reader->kind == JsonValue::STRING;
    if (r.hasReader && !trailText(reader->text, escaped, cut, &r.reader)) {
        return false;
    }
    for (const JsonValue& o : outputs->items) {
        std::string label, state;
        if (o.kind != JsonValue::OBJECT || !o.string("label", &label) ||
            !o.string("state", &state)) {
            return false;
        }
        cTrailOutput out{{}, nullptr, o.isTrue("confirmed")};
        for (const char* known : {"set", "clear", "no-output"}) {
            if (state == known) {
                out.state = known;
            }
        }
        if (out.state == nullptr || !trailText(label, escaped, cut, &out.label)) {
            return false;
        }
        r.outputs.push_back(out);
    }
    *line = cAccessTrail::lineOf(r);
    return true;
}

// A lost event's line: "lost reason=R count=N first=ID last=ID".
bool lostLine(const JsonValue& e, std::string* line) {
    std::string reason, first, last;
    uint64_t count = 0;
    if (!e.string("reason", &reason) || !isWord(reason, "-") ||
        !e.whole("count", UINT64_MAX, &count)) {
        return false;
    }
    *line = "lost reason=" + reason + " count=" + std::to_string(count);
    for (const char* key : {"first", "last"}) {
        std::string id;
        if (e.string(key, &id)) {
            if (!isWord(id, "-")) {
                return false;
            }
            *line += std::string(" ") + key + "=" + id;
        }
    }
    return true;
}

// "TIME LINE" for an event's payload; false when it is not an event.
bool eventLine(const std::string& payload, std::string* out) {
    JsonValue e;
    std::string type, time, id, line;
    if (!parseJson(payload, &e) || e.kind != JsonValue::OBJECT || !e.string("type", &type) ||
        !e.string("time", &time) || !isWord(time, ":.-+") || !e.string("id", &id)) {
        return false;
    }
    if (type == "access") {
        if (!accessLine(e, &line)) {
            return false;
        }
    } else if (type == "lost") {
        if (!lostLine(e, &line)) {
            return false;
        }
    } else if (isWord(type, "-") && isWord(id, "-")) {
        line = "type=" + type + " id=" + id;  // a kind this tool does not know yet
    } else {
        return false;
    }
    *out = time + " " + line;
    return true;
}

struct Options {
    CenterOptions common;
    bool json = false;
    std::string session;
};

// 0 when the command line fits; else the exit status.
int parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], why;
        if (parseCenterOption(argc, argv, &i, &o->common, &why)) {
            continue;
        }
        if (!why.empty()) {
            fprintf(stderr, "dorvane-mqtt events: %s\n", why.c_str());
            return kCenterRefused;
        }
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return -1;
        }
        if (arg == "--json") {
            o->json = true;
        } else if (readOption(argc, argv, &i, "--session", &o->session, &why)) {
            if (!vsign::isName(o->session)) {
                fprintf(stderr,
                        "dorvane-mqtt events: --session %s is not a client id (1 to 64 of A-Z "
                        "a-z 0-9 . _ -)\n",
                        verbs::shownWord(o->session).c_str());
                return kCenterRefused;
            }
        } else {
            if (why.empty()) {
                why = verbs::shownWord(arg) + " is not an option";
            }
            fprintf(stderr, "dorvane-mqtt events: %s\n", why.c_str());
            return kCenterRefused;
        }
    }
    return 0;
}

// One message as a line on standard output; false once standard output
// cannot be written (the reader is gone: events would only be lost).
bool printEvent(const LinkConfig& config, bool json, const std::string& topic,
                const std::string& payload) {
    std::string unit = unitOfTopic(config, topic, "events"), line;
    bool fits = !unit.empty() && payload.find_first_of("\r\n") == std::string::npos;
    if (fits && json) {
        JsonValue v;
        fits = parseJson(payload, &v) && v.kind == JsonValue::OBJECT;
        line = payload;
    } else if (fits) {
        fits = eventLine(payload, &line);
    }
    if (!fits) {
        fprintf(stderr, "dorvane-mqtt events: %s: not an event of the link, left out\n",
                topic.c_str());
        return true;
    }
    printf("%s %s\n", unit.c_str(), line.c_str());
    if (fflush(stdout) != 0) {
        fprintf(stderr, "dorvane-mqtt events: standard output cannot be written: %s\n",
                strerror(errno));
        return false;
    }
    return true;
}

// Works the connection until a stop or *outputFailed; a lost connection is
// made again (1 s doubling to 30 s): a consumer runs for good. Without a
// session, what was published meanwhile is not seen.
void follow(cCenterClient& client, const std::string& topic, const bool* outputFailed) {
    int backoff = 1;
    std::string why;
    while (!centerStopped() && !*outputFailed) {
        if (client.turn(500, &why)) {
            backoff = 1;
            continue;
        }
        while (!centerStopped()) {
            fprintf(stderr, "dorvane-mqtt events: %s; trying again in %d s\n", why.c_str(),
                    backoff);
            for (int i = 0; i < backoff * 10 && !centerStopped(); ++i) {
                usleep(100 * 1000);
            }
            if (centerStopped() || client.start({topic}, &why)) {
                break;
            }
            backoff = std::min(backoff * 2, 30);
        }
    }
}

}  // namespace

}  // namespace mqttlink

int centerEvents(int argc, char** argv) {
    using namespace mqttlink;
    Options o;
    int refused = parse(argc, argv, &o);
    if (refused != 0) {
        return refused < 0 ? kCenterOk : refused;
    }
    LinkConfig config;
    std::string why;
    if (!loadCenter(o.common, &config, &why)) {
        fprintf(stderr, "dorvane-mqtt events: %s\n", why.c_str());
        return kCenterRefused;
    }
    catchCenterStop();
    bool outputFailed = false;
    auto onMessage = [&](const std::string& topic, const std::string& payload) {
        outputFailed = outputFailed || !printEvent(config, o.json, topic, payload);
    };
    cCenterClient client(config, o.session, onMessage);
    const std::string topic = config.prefix + "/" + config.site + "/+/events";
    if (!client.start({topic}, &why)) {
        if (centerStopped()) {
            return kCenterOk;
        }
        fprintf(stderr, "dorvane-mqtt events: %s\n", why.c_str());
        return kCenterNoBroker;
    }
    fprintf(stderr, "dorvane-mqtt events: receiving %s from %s:%d\n", topic.c_str(),
            config.broker.c_str(), config.port);
    follow(client, topic, &outputFailed);
    client.stop();
    return outputFailed ? kCenterNoBroker : kCenterOk;
}
