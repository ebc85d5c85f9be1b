// link_keys: every key the link's configuration file may hold; any other is
// refused (link_config.h). The one table of them: the reader checks each
// key of the file against it, and the manual page's check
// (scripts/check-man.sh) reads the quoted names here, one or more a line.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_LINK_KEYS_H
#define DORVANE_TOOLS_DORVANE_MQTT_LINK_KEYS_H

namespace mqttlink {

constexpr const char* kLinkKeys[] = {"broker",    "port",        "caFile",       "certFile",
                                     "keyFile",   "user",        "passwordFile", "plainMqtt",
                                     "site",      "unit",        "prefix",       "heartbeat",
                                     "codesKeys", "maxSetBytes", "stateDir",     "serviceConfig"};

}  // namespace mqttlink

#endif
