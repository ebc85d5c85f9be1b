#include "tools/dorvane-mqtt/broker.h"

#include <mqtt_protocol.h>

#include <cerrno>
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

std::string mqttErrorText(int rc) {
    return rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
}

}  // namespace mqttlink
