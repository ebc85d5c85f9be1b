// The broker's callbacks of the link: each runs inside mosquitto_loop on
// the link's one thread and only records what happened; the loop acts on it.
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/dorvane-mqtt/broker.h"
#include "tools/dorvane-mqtt/link.h"

namespace mqttlink {

void cLink::onConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    auto* link = static_cast<cLink*>(self);
    if (rc != 0) {
        link->mLastLogError.clear();
        link->dropLater("the broker refused the connection: " + reasonText(rc));
        return;
    }
    link->mConnected = true;
    link->mConnectedAt = Clock::now();
    link->mHeld = false;
    // After a lost connection, a new one is news only once it works: a
    // broker that takes each connection and drops it at once is not
    // "connected" once a try.
    if (!link->mLostSinceWorked) {
        link->mSaidConnected = true;
        link->info("connected to %s:%d as %s", link->mConfig.broker.c_str(), link->mConfig.port,
                   link->mConfig.clientId().c_str());
    }
    link->mPending = link->mReader.countLinesFrom(link->mCursor.place);
    link->mService = link->serviceStatus();
    link->mCodes.refresh();
    link->publishStatus();
    // Without a keys folder no set is taken: nothing to ask for or to say.
    if (!link->mConfig.codesKeys.empty()) {
        link->publishCodes(true);
        for (const std::string* topic : {&link->mSiteCodesTopic, &link->mUnitCodesTopic}) {
            mosquitto_subscribe_v5(link->mMosq, nullptr, topic->c_str(), 1, 0, nullptr);
        }
    }
    link->mNextHeartbeat = Clock::now() + std::chrono::seconds(link->mConfig.heartbeat);
    link->notify();
}

void cLink::onMessage(mosquitto*, void* self, const mosquitto_message* msg,
                      const mosquitto_property*) {
    auto* link = static_cast<cLink*>(self);
    if (msg->topic == nullptr ||
        (link->mSiteCodesTopic != msg->topic && link->mUnitCodesTopic != msg->topic)) {
        return;
    }
    link->mCodes.receive(static_cast<const char*>(msg->payload),
                         static_cast<size_t>(msg->payloadlen > 0 ? msg->payloadlen : 0));
    link->publishCodes(false);
}

void cLink::onDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* link = static_cast<cLink*>(self);
    if (sStop == 0 && link->mMosq != nullptr && link->mConnected) {
        link->mLastLogError.clear();
        link->dropLater(disconnectText(rc));
    }
}

void cLink::onLog(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text != nullptr) {
        static_cast<cLink*>(self)->mLastLogError = text;
    }
}

void cLink::onPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
    static_cast<cLink*>(self)->acknowledge(mid, reason);
}

}  // namespace mqttlink
