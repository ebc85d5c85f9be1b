// cLink's side of the unit's state: the service's status as its status file
// tells it, the retained status message, and the line for systemd.
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/stat.h>
#include <time.h>

#include "src/supervisor.h"
#include "tools/dorvane-mqtt/event_line.h"
#include "tools/dorvane-mqtt/link.h"
#include "vutil/VFile.h"

namespace mqttlink {

namespace {

constexpr size_t kMaxStatusFile = 4096;
// The service rewrites its status file at least once a second: older than
// this, it is not running.
constexpr int kServiceStaleSeconds = 3;
constexpr const char* kNotRunning = "not running";

}  // namespace

std::string cLink::serviceStatus() const {
    std::string path = mConfig.outbox + "/status";
    struct stat st {};
    std::string text;
    if (stat(path.c_str(), &st) != 0 ||
        !vutil::readBounded(path.c_str(), kMaxStatusFile, &text, nullptr)) {
        return kNotRunning;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec - st.st_mtim.tv_sec > kServiceStaleSeconds) {
        return kNotRunning;
    }
    size_t nl = text.find('\n');
    return nl == std::string::npos ? text : text.substr(0, nl);
}

void cLink::publishStatus() {
    if (!mConnected || mMosq == nullptr) {
        return;
    }
    std::string payload = "{\"v\":1,\"state\":\"online\",\"time\":\"" + nowRfc3339() +
                          "\",\"heartbeat\":" + std::to_string(mConfig.heartbeat) +
                          ",\"service\":" + jsonString(mService) +
                          ",\"codes\":" + mCodes.statusCodes() +
                          ",\"outbox\":{\"pending\":" + std::to_string(mPending) +
                          ",\"lost\":" + std::to_string(mLost) + "}}";
    mosquitto_property* props = nullptr;
    mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL,
                                 static_cast<uint32_t>(3 * mConfig.heartbeat));
    mosquitto_publish_v5(mMosq, nullptr, mStatusTopic.c_str(), static_cast<int>(payload.size()),
                         payload.data(), 1, true, props);
    mosquitto_property_free_all(&props);
}

void cLink::publishCodes(bool force) {
    bool changed = mCodes.refresh();
    if (!mConnected || mMosq == nullptr || !(changed || force) || mConfig.codesKeys.empty()) {
        return;
    }
    const std::string& payload = mCodes.appliedMessage();
    mosquitto_publish_v5(mMosq, nullptr, mAppliedTopic.c_str(), static_cast<int>(payload.size()),
                         payload.data(), 1, true, nullptr);
    if (changed) {
        publishStatus();  // the status carries the set in force and the mark
    }
}

void cLink::checkStatus(bool heartbeat) {
    publishCodes(false);
    std::string service = serviceStatus();
    if (heartbeat) {
        mPending = mReader.countLinesFrom(mCursor.place);
    }
    if (heartbeat || service != mService) {
        mService = service;
        publishStatus();
    }
}

void cLink::notify() {
    std::string text;
    if (!mConnected) {
        text = "not connected to " + mConfig.broker + ":" + std::to_string(mConfig.port) +
               (mLastFailure.empty() ? "" : ": " + mLastFailure);
    } else {
        text = "connected to " + mConfig.broker + ":" + std::to_string(mConfig.port);
    }
    // A broker that drops the connection at each refused event leaves the
    // link mostly not connected: the refusal is what tells why.
    if (!mLastRefusal.empty()) {
        text += "; the broker refuses events: " + mLastRefusal;
    }
    mSupervisor.status(text);
}

}  // namespace mqttlink
