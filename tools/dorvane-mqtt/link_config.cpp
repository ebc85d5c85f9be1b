#include "tools/dorvane-mqtt/link_config.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

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
        *why =
            "serviceConfig " + path + " names no outbox folder (key " + settings::kOutboxKey + ")";
        return false;
    }
    return true;
}

}  // namespace

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

namespace {

// The keys of one configuration file, read into a LinkConfig part by part;
// each part returns false with *why set at the first key that does not fit.
class KeyReader {
public:
    KeyReader(const cProperties& props, const char* path, bool files, bool center, LinkConfig* c,
              std::string* why)
        : mProps(props), mPath(path), mFiles(files), mCenter(center), mC(*c), mWhy(*why) {}

    bool identity() {
        mC.broker = get("broker", "");
        if (mC.broker.empty()) {
            return missing("broker");
        }
        if (mC.broker.size() > 253 || mC.broker.find_first_of(" \t\r\n/") != std::string::npos) {
            return unfit("broker", "a host name or address");
        }
        mC.site = get("site", "");
        mC.unit = get("unit", "");
        mC.prefix = get("prefix", mC.prefix);
        const char* names = "1 to 64 of A-Z a-z 0-9 . _ -";
        if (mC.site.empty() || (mC.unit.empty() && !mCenter)) {
            return missing(mC.site.empty() ? "site" : "unit");
        }
        if (!isName(mC.site) || (!isName(mC.unit) && !mCenter) || !isName(mC.prefix)) {
            return unfit(!isName(mC.site) ? "site" : !isName(mC.unit) ? "unit" : "prefix", names);
        }
        return true;
    }

    bool transport() {
        mC.caFile = get("caFile", "");
        if (mFiles && !mC.caFile.empty() && !readableFile("caFile", mC.caFile, &mWhy)) {
            return false;
        }
        long long number = 0;
        std::string port = get("port", "");
        if (port.empty()) {
            mC.port = mC.caFile.empty() ? kPlainPort : kTlsPort;
        } else if (!readNumber(port, 1, 65535, &number)) {
            return unfit("port", "a port number from 1 to 65535");
        } else {
            mC.port = static_cast<int>(number);
        }
        mC.certFile = get("certFile", "");
        mC.keyFile = get("keyFile", "");
        if (mC.certFile.empty() != mC.keyFile.empty()) {
            return unfit(mC.certFile.empty() ? "keyFile" : "certFile",
                         "certFile and keyFile go together");
        }
        if (!mC.certFile.empty()) {
            if (mC.caFile.empty()) {
                return unfit("certFile", "a client certificate needs caFile (TLS)");
            }
            if (mFiles && (!readableFile("certFile", mC.certFile, &mWhy) ||
                           !readableFile("keyFile", mC.keyFile, &mWhy))) {
                return false;
            }
        }
        return credentials();
    }

    bool rest() {
        std::string plain = get("plainMqtt", "no");
        if (plain != "yes" && plain != "no") {
            return unfit("plainMqtt", "yes or no");
        }
        mC.plainMqtt = plain == "yes";
        long long number = 0;
        if (!readNumber(get("heartbeat", std::to_string(mC.heartbeat)), 1, 86400, &number)) {
            return unfit("heartbeat", "seconds from 1 to 86400");
        }
        mC.heartbeat = static_cast<int>(number);
        mC.codesKeys = get("codesKeys", "");
        if (!mC.codesKeys.empty() && !isPath(mC.codesKeys)) {
            return unfit("codesKeys", "an absolute path");
        }
        if (!readNumber(get("maxSetBytes", std::to_string(mC.maxSetBytes)), 1, 1LL << 40,
                        &mC.maxSetBytes)) {
            return unfit("maxSetBytes", "a number of bytes");
        }
        mC.stateDir = get("stateDir", mC.stateDir);
        if (!isPath(mC.stateDir)) {
            return unfit("stateDir", "an absolute path");
        }
        mC.serviceConfig = get("serviceConfig", DORVANE_INSTALLED_CONFIG_FILE);
        return true;
    }

private:
    bool credentials() {
        mC.user = get("user", "");
        std::string passwordFile = get("passwordFile", "");
        if (passwordFile.empty()) {
            return true;
        }
        if (mC.user.empty()) {
            return unfit("passwordFile", "a password needs user");
        }
        if (!mFiles) {
            return true;
        }
        mC.hasPassword = readPassword(passwordFile, &mC.password, &mWhy);
        return mC.hasPassword;
    }

    std::string get(const char* key, const std::string& defval) const {
        return mProps.getString(key, defval.c_str());
    }
    bool missing(const char* key) {
        mWhy = std::string("missing required key ") + key + " in " + mPath;
        return false;
    }
    bool unfit(const char* key, const char* what) {
        mWhy = std::string("value of ") + key + " does not fit: " + what;
        return false;
    }

    const cProperties& mProps;
    const char* mPath;
    bool mFiles;   // the named files are read (the link), or left alone (the applier)
    bool mCenter;  // the center's tools: no unit, no service
    LinkConfig& mC;
    std::string& mWhy;
};

}  // namespace

namespace {

bool load(const char* path, bool readFiles, bool center, LinkConfig* config, std::string* why) {
    std::string reason;
    cProperties props;
    if (!vutil::isRegularFile(path, &reason) || !props.load(path)) {
        *why = std::string("configuration ") + path + " cannot be read: " + reason;
        return false;
    }
    for (const std::string& key : props.keys()) {
        if (knownKeys().count(key) == 0) {
            *why = "unknown key " + vutil::escape(key.c_str()) + " in " + path;
            return false;
        }
    }
    LinkConfig c;
    KeyReader keys(props, path, readFiles, center, &c, why);
    if (!keys.identity() || !keys.transport() || !keys.rest()) {
        return false;
    }
    if (c.caFile.empty() && !c.plainMqtt && !isLoopbackHost(c.broker)) {
        *why = "refusing plain MQTT to " + c.broker +
               ", which is not a loopback address: set caFile for TLS, or plainMqtt=yes";
        return false;
    }
    if (!center && !readServiceOutbox(c.serviceConfig, &c.outbox, why)) {
        return false;
    }
    *config = std::move(c);
    return true;
}

}  // namespace

bool loadLinkConfig(const char* path, LinkConfig* config, std::string* why, bool readFiles) {
    return load(path, readFiles, false, config, why);
}

bool loadCenterConfig(const char* path, LinkConfig* config, std::string* why) {
    return load(path, true, true, config, why);
}

}  // namespace mqttlink
