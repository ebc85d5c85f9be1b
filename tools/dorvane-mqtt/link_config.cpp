#include "tools/dorvane-mqtt/link_config.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "src/properties.h"
#include "src/settings.h"
#include "vutil/VFile.h"
#include "vutil/VText.h"

namespace mqttlink {

namespace {

// The longest password file read: a password is a line, not a document.
constexpr size_t kMaxPasswordFile = 4096;

const std::set<std::string>& knownKeys() {
    static const std::set<std::string> keys = {
        "broker",       "port",        "caFile",   "certFile",     "keyFile", "user",
        "passwordFile", "plainMqtt",   "site",     "unit",         "prefix",  "heartbeat",
        "codesKeys",    "maxSetBytes", "stateDir", "serviceConfig"};
    return keys;
}

// 1 to 64 bytes of A-Z a-z 0-9 . _ -
bool isName(const std::string& text) {
    if (text.empty() || text.size() > 64) {
        return false;
    }
    for (char c : text) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// A whole decimal number in [low, high].
bool readNumber(const std::string& text, long long low, long long high, long long* out) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    long long value = strtoll(text.c_str(), nullptr, 10);
    if (value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

// A path: not empty, no control characters (a CRLF file leaves "\r").
bool isPath(const std::string& text) {
    if (text.empty() || text[0] != '/') {
        return false;
    }
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
    }
    return true;
}

// A file named by key that must be readable now.
bool readableFile(const char* key, const std::string& path, std::string* why) {
    std::string reason;
    if (!isPath(path)) {
        *why = std::string("value of ") + key + " is not an absolute path";
        return false;
    }
    if (!vutil::isRegularFile(path.c_str(), &reason)) {
        *why = std::string(key) + " " + path + " cannot be read: " + reason;
        return false;
    }
    return true;
}

bool readPassword(const std::string& path, std::string* password, std::string* why) {
    std::string reason;
    if (!readableFile("passwordFile", path, why)) {
        return false;
    }
    if (!vutil::readBounded(path.c_str(), kMaxPasswordFile, password, &reason)) {
        *why = "passwordFile " + path + " cannot be read: " + reason;
        return false;
    }
    // One trailing line end is the file's, not the password's.
    if (!password->empty() && password->back() == '\n') {
        password->pop_back();
        if (!password->empty() && password->back() == '\r') {
            password->pop_back();
        }
    }
    return true;
}

// The outbox folder named by the service's configuration, read by the
// service's own settings.
bool readServiceOutbox(const std::string& path, std::string* outbox, std::string* why) {
    cProperties service;
    std::string reason;
    if (!vutil::isRegularFile(path.c_str(), &reason)) {
        *why = "serviceConfig " + path + " cannot be read: " + reason;
        return false;
    }
    if (!service.load(path.c_str())) {
        *why = "serviceConfig " + path + " cannot be read";
        return false;
    }
    *outbox = settings::outboxFolder(service);
    if (outbox->empty()) {
        *why = "serviceConfig " + path + " names no outbox folder (key " + settings::kOutboxKey +
               ")";
        return false;
    }
    return true;
}

}  // namespace

std::string LinkConfig::clientId() const {
    std::string id = prefix + "-" + site + "-" + unit;
    return id.size() > 64 ? id.substr(0, 64) : id;
}

bool isLoopbackHost(const std::string& host) {
    if (host == "localhost") {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool loadLinkConfig(const char* path, LinkConfig* config, std::string* why) {
    std::string reason;
    if (!vutil::isRegularFile(path, &reason)) {
        *why = std::string("configuration ") + path + " cannot be read: " + reason;
        return false;
    }
    cProperties props;
    if (!props.load(path)) {
        *why = std::string("configuration ") + path + " cannot be read";
        return false;
    }
    for (const std::string& key : props.keys()) {
        if (knownKeys().count(key) == 0) {
            *why = "unknown key " + vutil::escape(key.c_str()) + " in " + path;
            return false;
        }
    }
    auto get = [&](const char* key, const std::string& defval) {
        return std::string(props.getString(key, defval.c_str()));
    };
    auto unfit = [&](const char* key, const char* what) {
        *why = std::string("value of ") + key + " does not fit: " + what;
        return false;
    };
    LinkConfig c;
    c.broker = get("broker", "");
    if (c.broker.empty()) {
        *why = std::string("missing required key broker in ") + path;
        return false;
    }
    if (c.broker.size() > 253 || c.broker.find_first_of(" \t\r\n/") != std::string::npos) {
        return unfit("broker", "a host name or address");
    }
    c.site = get("site", "");
    c.unit = get("unit", "");
    for (const char* key : {"site", "unit"}) {
        const std::string& value = key[0] == 's' ? c.site : c.unit;
        if (value.empty()) {
            *why = std::string("missing required key ") + key + " in " + path;
            return false;
        }
        if (!isName(value)) {
            return unfit(key, "1 to 64 of A-Z a-z 0-9 . _ -");
        }
    }
    c.prefix = get("prefix", c.prefix);
    if (!isName(c.prefix)) {
        return unfit("prefix", "1 to 64 of A-Z a-z 0-9 . _ -");
    }
    c.caFile = get("caFile", "");
    if (!c.caFile.empty() && !readableFile("caFile", c.caFile, why)) {
        return false;
    }
    long long number = 0;
    std::string port = get("port", "");
    if (port.empty()) {
        c.port = c.caFile.empty() ? kPlainPort : kTlsPort;
    } else if (!readNumber(port, 1, 65535, &number)) {
        return unfit("port", "a port number from 1 to 65535");
    } else {
        c.port = static_cast<int>(number);
    }
    c.certFile = get("certFile", "");
    c.keyFile = get("keyFile", "");
    if (c.certFile.empty() != c.keyFile.empty()) {
        return unfit(c.certFile.empty() ? "keyFile" : "certFile",
                     "certFile and keyFile go together");
    }
    if (!c.certFile.empty() && (c.caFile.empty() || !readableFile("certFile", c.certFile, why) ||
                                !readableFile("keyFile", c.keyFile, why))) {
        return c.caFile.empty() ? unfit("certFile", "a client certificate needs caFile (TLS)")
                                : false;
    }
    c.user = get("user", "");
    std::string passwordFile = get("passwordFile", "");
    if (!passwordFile.empty()) {
        if (c.user.empty()) {
            return unfit("passwordFile", "a password needs user");
        }
        if (!readPassword(passwordFile, &c.password, why)) {
            return false;
        }
        c.hasPassword = true;
    }
    std::string plain = get("plainMqtt", "no");
    if (plain != "yes" && plain != "no") {
        return unfit("plainMqtt", "yes or no");
    }
    c.plainMqtt = plain == "yes";
    if (!readNumber(get("heartbeat", "60"), 1, 86400, &number)) {
        return unfit("heartbeat", "seconds from 1 to 86400");
    }
    c.heartbeat = static_cast<int>(number);
    c.codesKeys = get("codesKeys", "");
    if (!c.codesKeys.empty() && !isPath(c.codesKeys)) {
        return unfit("codesKeys", "an absolute path");
    }
    if (!readNumber(get("maxSetBytes", "67108864"), 1, 1LL << 40, &c.maxSetBytes)) {
        return unfit("maxSetBytes", "a number of bytes");
    }
    c.stateDir = get("stateDir", c.stateDir);
    if (!isPath(c.stateDir)) {
        return unfit("stateDir", "an absolute path");
    }
    c.serviceConfig = get("serviceConfig", DORVANE_INSTALLED_CONFIG_FILE);
    if (c.caFile.empty() && !c.plainMqtt && !isLoopbackHost(c.broker)) {
        *why = "refusing plain MQTT to " + c.broker +
               ", which is not a loopback address: set caFile for TLS, or plainMqtt=yes";
        return false;
    }
    if (!readServiceOutbox(c.serviceConfig, &c.outbox, why)) {
        return false;
    }
    *config = c;
    return true;
}

}  // namespace mqttlink
