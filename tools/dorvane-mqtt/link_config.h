// The link's configuration: the key=value file dorvane-mqtt reads at start,
// through the project's key reader and file gate, and the outbox folder that
// the service's own configuration names (read by the service's settings).
//
// Threads: loadLinkConfig runs once, on the main thread, before any other.
// Failure: it returns false with *why set to one line naming the key or the
// file; the caller says it and exits with status 2. Nothing throws but
// std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_LINK_CONFIG_H
#define DORVANE_TOOLS_DORVANE_MQTT_LINK_CONFIG_H

#include <string>

namespace mqttlink {

// The configuration file read when no --config is given.
constexpr const char* kDefaultConfigFile = "/etc/ulx/dorvane-mqtt.conf";
// Ports when none is given: plain MQTT and MQTT over TLS.
constexpr int kPlainPort = 1883;
constexpr int kTlsPort = 8883;

struct LinkConfig {
    std::string broker;
    int port = kPlainPort;
    std::string caFile;    // empty: plain MQTT
    std::string certFile;  // client certificate and its key, both or neither
    std::string keyFile;
    std::string user;
    std::string password;  // read from passwordFile, one trailing line end dropped
    bool hasPassword = false;
    bool plainMqtt = false;  // plain MQTT allowed to a broker not on loopback
    std::string site;
    std::string unit;
    std::string prefix = "dorvane";
    int heartbeat = 60;  // seconds
    std::string codesKeys;
    long long maxSetBytes = 67108864;
    std::string stateDir = "/var/lib/dorvane-mqtt";
    std::string serviceConfig;  // the service's configuration file
    std::string outbox;         // from serviceConfig: the outbox folder

    // PREFIX/SITE/UNIT: the start of the unit's topics.
    std::string topicBase() const { return prefix + "/" + site + "/" + unit; }
    // PREFIX-SITE-UNIT cut to 64 bytes: the MQTT client id.
    std::string clientId() const;
};

// Reads path into *config. False with *why set (one line) when the file
// cannot be read, a key is unknown, a required key is missing, a value does
// not fit, a named file cannot be read, or plain MQTT would go to a broker
// not on a loopback address without plainMqtt=yes. readFiles false leaves
// the TLS and password files unread (the code-set applier, which runs as
// another user, needs none of them).
bool loadLinkConfig(const char* path, LinkConfig* config, std::string* why, bool readFiles = true);

// The same file read for the center's tools (dorvane-mqtt status and
// events): broker, transport, credentials, prefix and site as for the link;
// unit may be left out, and the service's configuration is not read.
bool loadCenterConfig(const char* path, LinkConfig* config, std::string* why);

// True when text is a name of a site, a unit or the prefix: 1 to 64 bytes
// of A-Z a-z 0-9 . _ -
bool isName(const std::string& text);

// True when host is a loopback address (127.0.0.0/8, ::1) written as
// numbers, or the name "localhost"; no name is looked up.
bool isLoopbackHost(const std::string& host);

}  // namespace mqttlink

#endif
