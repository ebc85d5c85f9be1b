#include "tools/dorvane-mqtt/broker.h"

#include <mqtt_protocol.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mqttlink {

namespace {

constexpr int kKeepalive = 30;  // seconds

}  // namespace

int connectBroker(mosquitto* mosq, const LinkConfig& config, uint32_t maxPacket,
                  uint32_t sessionExpiry) {
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    int rc = MOSQ_ERR_SUCCESS;
    if (!config.caFile.empty()) {
        rc = mosquitto_tls_set(mosq, config.caFile.c_str(), nullptr,
                               config.certFile.empty() ? nullptr : config.certFile.c_str(),
                               config.keyFile.empty() ? nullptr : config.keyFile.c_str(), nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && !config.user.empty()) {
        rc = mosquitto_username_pw_set(mosq, config.user.c_str(),
                                       config.hasPassword ? config.password.c_str() : nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        return rc;
    }
    mosquitto_property* props = nullptr;
    mosquitto_property_add_int32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE, maxPacket);
    if (sessionExpiry > 0) {
        mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, sessionExpiry);
    }
    rc = mosquitto_connect_bind_v5(mosq, config.broker.c_str(), config.port, kKeepalive, nullptr,
                                   props);
    mosquitto_property_free_all(&props);
    return rc;
}

std::string reasonText(int reason) {
    char hex[8];
    snprintf(hex, sizeof hex, "%02x", reason & 0xFF);
    return std::string(mosquitto_reason_string(reason)) + " (0x" + hex + ")";
}

std::string disconnectText(int rc) {
    return rc == 0 ? "disconnected" : rc >= 0x80 ? reasonText(rc) : mqttErrorText(rc);
}

std::string mqttErrorText(int rc) {
    // libmosquitto 2.0.11 has no text of its own for these but "Unknown error."
    switch (rc) {
        case MOSQ_ERR_ERRNO:
            return strerror(errno);
        case MOSQ_ERR_KEEPALIVE:
            return "the broker did not answer within the keep-alive of " +
                   std::to_string(kKeepalive) + " s";
        case MOSQ_ERR_MALFORMED_PACKET:
            return "the broker sent a malformed packet";
        case MOSQ_ERR_LOOKUP:
            return "the broker's name cannot be looked up";
        case MOSQ_ERR_TIMEOUT:
            return "timed out";
        default:
            break;
    }
    std::string text = mosquitto_strerror(rc);
    return text == "Unknown error." ? "libmosquitto error " + std::to_string(rc) : text;
}

}  // namespace mqttlink
