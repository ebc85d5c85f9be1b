#include "tests/fleet_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "tests/test_util.h"

namespace testutil {

namespace {

std::string userName() {
    passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : "root";
}

}  // namespace

MqttBroker::MqttBroker(const std::string& dir, const std::string& host, int port,
                       const std::string& extra)
    : mDir(dir), mHost(host), mExtra(extra), mPort(port) {}

MqttBroker::~MqttBroker() {
    stop();
}

void MqttBroker::start() {
    std::string conf = mDir + "/mosquitto.conf";
    writeFile(conf, "listener " + std::to_string(mPort) + " " + mHost + "\n" + "user " +
                        userName() + "\n" + "persistence true\n" + "persistence_location " + mDir +
                        "/\n" +
                        // The central consumer's queue without a limit, as
                        // "nothing lost" needs past the acknowledgement.
                        "max_queued_messages 0\n" + mExtra);
    mProcess.reset(new Process({"/usr/sbin/mosquitto", "-c", conf}, "", false, true));
    ASSERT_GE(mProcess->waitFor(" running", 10000), 0) << "mosquitto did not start";
}

void MqttBroker::stop() {
    if (mProcess) {
        mProcess->stop();
        mProcess.reset();
    }
}

MqttSubscriber::MqttSubscriber(const std::string& host, int port, const std::string& topic,
                               const std::string& clientId, bool persistent)
    : mHost(host),
      mTopic(topic),
      mClientId(clientId),
      mPort(port),
      mPersistent(persistent),
      mStop(false) {
    mosquitto_lib_init();
    mThread = std::thread([this] { run(); });
}

MqttSubscriber::~MqttSubscriber() {
    mStop = true;
    mThread.join();
}

void MqttSubscriber::run() {
    while (!mStop) {
        mosquitto* m = mosquitto_new(mClientId.c_str(), !mPersistent, this);
        mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_connect_v5_callback_set(
            m, [](mosquitto* mosq, void* self, int rc, int, const mosquitto_property*) {
                if (rc == 0) {
                    auto* s = static_cast<MqttSubscriber*>(self);
                    mosquitto_subscribe_v5(mosq, nullptr, s->mTopic.c_str(), 1, 0, nullptr);
                }
            });
        mosquitto_message_v5_callback_set(
            m, [](mosquitto*, void* self, const mosquitto_message* msg, const mosquitto_property*) {
                auto* s = static_cast<MqttSubscriber*>(self);
                std::lock_guard<std::mutex> lock(s->mMutex);
                s->mMessages.push_back({msg->topic,
                                        std::string(static_cast<const char*>(msg->payload),
                                                    static_cast<size_t>(msg->payloadlen)),
                                        msg->retain});
            });
        mosquitto_property* props = nullptr;
        if (mPersistent) {
            mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
        }
        if (mosquitto_connect_bind_v5(m, mHost.c_str(), mPort, 30, nullptr, props) ==
            MOSQ_ERR_SUCCESS) {
            while (!mStop && mosquitto_loop(m, 100, 1) == MOSQ_ERR_SUCCESS) {
            }
            mosquitto_disconnect(m);
        }
        mosquitto_property_free_all(&props);
        mosquitto_destroy(m);
        if (!mStop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

std::vector<MqttMessage> MqttSubscriber::messages() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mMessages;
}

bool MqttSubscriber::waitUntil(const std::function<bool(const std::vector<MqttMessage>&)>& done,
                               int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done(messages())) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

OutboxWriter::OutboxWriter(const std::string& folder, const std::string& start)
    : mFolder(folder), mStart(start), mNumber(0) {}

void OutboxWriter::raw(const std::string& bytes) {
    std::string path = mFolder + "/current";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

std::string OutboxWriter::access() {
    std::string id = this->id(++mNumber);
    raw("{\"v\":1,\"type\":\"access\",\"id\":\"" + id +
        "\",\"time\":\"2026-12-09T17:25:45.123456Z\",\"seq\":" + std::to_string(mNumber % 256) +
        ",\"serial\":12,\"code\":\"04A1\",\"reader\":\"Door1\",\"result\":\"toggled\","
        "\"outputs\":[{\"label\":\"RELAY_1\",\"state\":\"set\",\"confirmed\":true}]}\n");
    return id;
}

std::string OutboxWriter::lost(const std::string& reason, uint64_t first, uint64_t last,
                               uint64_t count, const std::string& of) {
    std::string id = this->id(++mNumber);
    raw("{\"v\":1,\"type\":\"lost\",\"id\":\"" + id +
        "\",\"time\":\"2026-12-09T17:25:46.000001Z\",\"reason\":\"" + reason + "\",\"count\":" +
        std::to_string(count) + ",\"first\":\"" + this->id(first) + "\",\"last\":\"" +
        this->id(last) + "\"" + (of.empty() ? "" : ",\"of\":\"" + of + "\"") + "}\n");
    return id;
}

std::vector<std::string> OutboxWriter::closedFiles() const {
    return dirNames(mFolder, "closed-");
}

void OutboxWriter::close() {
    std::vector<std::string> names = closedFiles();
    unsigned long long next = 1;
    if (!names.empty()) {
        next = std::stoull(names.back().substr(7)) + 1;
    }
    char name[32];
    snprintf(name, sizeof name, "closed-%020llu", next);
    ASSERT_EQ(rename((mFolder + "/current").c_str(), (mFolder + "/" + name).c_str()), 0);
}

std::string writeLinkConfig(const std::string& dir, const std::string& broker, int port,
                            const std::string& extra, const std::string& serviceConfig) {
    std::string service = serviceConfig;
    if (service.empty()) {
        service = dir + "/dorvane.conf";
        mkdir((dir + "/outbox").c_str(), 0770);
        writeFile(service, "outbox=" + dir + "/outbox\n");
    }
    std::string path = dir + "/dorvane-mqtt.conf";
    writeFile(path, "broker=" + broker + "\nport=" + std::to_string(port) +
                        "\nsite=S1\nunit=U1\nstateDir=" + dir + "/state\nserviceConfig=" + service +
                        "\n" + extra);
    return path;
}

std::unique_ptr<Process> startLink(const std::string& config) {
    return std::unique_ptr<Process>(new Process({DORVANE_MQTT_BIN, "--config", config}));
}

std::vector<MqttMessage> onTopic(const std::vector<MqttMessage>& messages, const char* topic) {
    std::vector<MqttMessage> found;
    for (const MqttMessage& m : messages) {
        if (m.topic == topic) {
            found.push_back(m);
        }
    }
    return found;
}

}  // namespace testutil
