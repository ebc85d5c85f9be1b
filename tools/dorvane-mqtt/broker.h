// What every connection of dorvane-mqtt to the broker shares, the link's
// and the center's tools' alike: MQTT 5, TLS with the client certificate,
// user and password from the configuration's keys, one keep-alive.
//
// Threads: the thread that owns mosq. Nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_BROKER_H
#define DORVANE_TOOLS_DORVANE_MQTT_BROKER_H

#include <mosquitto.h>

#include <cstdint>
#include <string>

#include "tools/dorvane-mqtt/link_config.h"

namespace mqttlink {

// Sets mosq (fresh, its callbacks and will already set by the caller) to
// MQTT 5 with config's TLS and credentials, and starts connecting to
// config's broker, asking it to send no packet larger than maxPacket; a
// sessionExpiry above 0 asks for a session that outlives the connection by
// that many seconds. Returns libmosquitto's code (MOSQ_ERR_SUCCESS: the
// answer is to come through the connect callback).
int connectBroker(mosquitto* mosq, const LinkConfig& config, uint32_t maxPacket,
                  uint32_t sessionExpiry = 0);

// A broker's reason code as text with its number: "Not authorized (0x87)".
std::string reasonText(int reason);

// Why a connection ended, from the disconnect callback's rc: below 0x80
// libmosquitto's own error (the socket), from 0x80 the reason of the
// broker's DISCONNECT.
std::string disconnectText(int rc);

// libmosquitto's code rc as one line that says what happened (errno's text
// for MOSQ_ERR_ERRNO; the number where the library has no text).
std::string mqttErrorText(int rc);

}  // namespace mqttlink

#endif
