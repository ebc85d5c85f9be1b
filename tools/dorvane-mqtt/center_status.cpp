// dorvane-mqtt status: every unit of a site from the broker's retained
// messages (see center.h).
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "src/verb_table.h"
#include "tools/dorvane-mqtt/center.h"
#include "tools/dorvane-mqtt/center_client.h"
#include "tools/dorvane-mqtt/event_line.h"
#include "tools/dorvane-mqtt/json_value.h"

namespace mqttlink {

namespace {

constexpr int kDefaultWaitSeconds = 2;
constexpr long long kMaxWaitSeconds = 600;
// The longest version a set may have (2^53 - 1), as the link writes it.
constexpr uint64_t kMaxVersion = 9007199254740991ULL;

void usage(FILE* out) {
    fprintf(out,
            "Usage: dorvane-mqtt status [--config FILE] [--site S] [--wait SECONDS]   "
            "(default %d s)\n",
            kDefaultWaitSeconds);
}

// What the broker holds of one unit.
struct Unit {
    bool hasStatus = false;
    std::string state = "unknown";  // online, offline, unknown
    std::string service;
    bool hasCodes = false;
    uint64_t version = 0, mark = 0;
    std::string sha256;
    bool hasOutbox = false;
    uint64_t pending = 0, lost = 0;
    // From codes/applied: a set waiting for a passing reason, the last refused.
    std::string waiting, refused;
};

bool isDigest(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Reads a status payload into *u; false when it is not the link's.
bool readStatus(const std::string& payload, Unit* u) {
    JsonValue s;
    std::string state;
    if (!parseJson(payload, &s) || s.kind != JsonValue::OBJECT || !s.string("state", &state) ||
        (state != "online" && state != "offline")) {
        return false;
    }
    Unit read;
    read.hasStatus = true;
    read.state = state;
    if (state == "online") {
        const JsonValue* codes = s.member("codes");
        const JsonValue* outbox = s.member("outbox");
        if (!s.string("service", &read.service)) {
            return false;
        }
        if (codes != nullptr && codes->kind == JsonValue::OBJECT) {
            read.hasCodes = codes->whole("version", kMaxVersion, &read.version) &&
                            codes->whole("mark", kMaxVersion, &read.mark) &&
                            codes->string("sha256", &read.sha256) &&
                            (read.sha256.empty() || isDigest(read.sha256));
        }
        if (outbox != nullptr && outbox->kind == JsonValue::OBJECT) {
            read.hasOutbox = outbox->whole("pending", UINT64_MAX, &read.pending) &&
                             outbox->whole("lost", UINT64_MAX, &read.lost);
        }
    }
    read.waiting = u->waiting;
    read.refused = u->refused;
    *u = read;
    return true;
}

// codes/applied's member key as VERSION:DIGEST16 ("" when null or absent).
// A set whose signature did not verify has version 0: its header is not read.
std::string setOf(const JsonValue& applied, const char* key) {
    const JsonValue* set = applied.member(key);
    uint64_t version = 0;
    std::string sha256;
    if (set == nullptr || set->kind != JsonValue::OBJECT ||
        !set->whole("version", kMaxVersion, &version) || !set->string("sha256", &sha256) ||
        !isDigest(sha256)) {
        return "";
    }
    return std::to_string(version) + ":" + sha256.substr(0, 16);
}

bool readApplied(const std::string& payload, Unit* u) {
    JsonValue a;
    if (!parseJson(payload, &a) || a.kind != JsonValue::OBJECT) {
        return false;
    }
    u->waiting = setOf(a, "pending");
    u->refused = setOf(a, "refused");
    return true;
}

// UNIT STATE [service="..." codes=VERSION[:DIGEST16] mark=M pending=P lost=L]
// [waiting=VERSION:DIGEST16] [refused=VERSION:DIGEST16]
std::string lineOf(const std::string& name, const Unit& u) {
    std::string line = name + " " + u.state;
    if (u.state == "online") {
        line += " service=" + jsonString(u.service);
        if (u.hasCodes) {
            line += " codes=" + std::to_string(u.version);
            if (u.version != 0 && !u.sha256.empty()) {
                line += ":" + u.sha256.substr(0, 16);
            }
            line += " mark=" + std::to_string(u.mark);
        } else {
            line += " codes=-";
        }
        if (u.hasOutbox) {
            line += " pending=" + std::to_string(u.pending) + " lost=" + std::to_string(u.lost);
        }
    }
    if (!u.waiting.empty()) {
        line += " waiting=" + u.waiting;
    }
    if (!u.refused.empty()) {
        line += " refused=" + u.refused;
    }
    return line;
}

// 0 when the command line fits (-1 after --help); else the exit status.
int parse(int argc, char** argv, CenterOptions* options, long long* wait) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], why;
        if (parseCenterOption(argc, argv, &i, options, &why)) {
            continue;
        }
        if (!why.empty()) {
            fprintf(stderr, "dorvane-mqtt status: %s\n", why.c_str());
            return kCenterRefused;
        }
        char* end = nullptr;
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return -1;
        }
        if (arg == "--wait" && i + 1 < argc && argv[i + 1][0] >= '0' && argv[i + 1][0] <= '9' &&
            (*wait = strtoll(argv[i + 1], &end, 10), *end == '\0') && *wait <= kMaxWaitSeconds) {
            ++i;
            continue;
        }
        if (arg == "--wait") {
            fprintf(stderr,
                    "dorvane-mqtt status: --wait %s needs a number of seconds from 0 to %lld\n",
                    verbs::shownWord(i + 1 < argc ? argv[i + 1] : "").c_str(), kMaxWaitSeconds);
        } else {
            fprintf(stderr, "dorvane-mqtt status: %s is not an option\n",
                    verbs::shownWord(argv[i]).c_str());
        }
        return kCenterRefused;
    }
    return 0;
}

}  // namespace

}  // namespace mqttlink

int centerStatus(int argc, char** argv) {
    using namespace mqttlink;
    CenterOptions options;
    long long wait = kDefaultWaitSeconds;
    int refused = parse(argc, argv, &options, &wait);
    if (refused != 0) {
        return refused < 0 ? kCenterOk : refused;
    }
    LinkConfig config;
    std::string why;
    if (!loadCenter(options, &config, &why)) {
        fprintf(stderr, "dorvane-mqtt status: %s\n", why.c_str());
        return kCenterRefused;
    }
    catchCenterStop();
    std::map<std::string, Unit> units;
    auto onMessage = [&](const std::string& topic, const std::string& payload) {
        std::string unit = unitOfTopic(config, topic, "status");
        bool fits = false;
        if (!unit.empty()) {
            fits = readStatus(payload, &units[unit]);
        } else if (!(unit = unitOfTopic(config, topic, "codes/applied")).empty()) {
            fits = readApplied(payload, &units[unit]);
        }
        if (!fits) {
            fprintf(stderr, "dorvane-mqtt status: %s: not a message of the link, left out\n",
                    topic.c_str());
        }
    };
    cCenterClient client(config, "", onMessage);
    const std::string base = config.prefix + "/" + config.site + "/+/";
    if (!client.start({base + "status", base + "codes/applied"}, &why)) {
        if (centerStopped()) {
            return kCenterOk;
        }
        fprintf(stderr, "dorvane-mqtt status: %s\n", why.c_str());
        return kCenterNoBroker;
    }
    // The retained messages follow the subscription's answer at once; the
    // wait is for a slow broker or network.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(wait);
    while (!centerStopped() && std::chrono::steady_clock::now() < until) {
        if (!client.turn(100, &why)) {
            fprintf(stderr, "dorvane-mqtt status: %s\n", why.c_str());
            return kCenterNoBroker;
        }
    }
    client.stop();
    for (const auto& unit : units) {
        printf("%s\n", lineOf(unit.first, unit.second).c_str());
    }
    fflush(stdout);
    return kCenterOk;
}
