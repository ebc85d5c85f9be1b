#include "tools/dorvane-mqtt/center_client.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "src/verb_table.h"
#include "tools/dorvane-mqtt/broker.h"
#include "tools/dorvane-mqtt/json_value.h"
#include "vsign/VCodeSet.h"

namespace mqttlink {

namespace {

volatile std::sig_atomic_t sStopped = 0;

void onStopSignal(int) {
    sStopped = 1;
}

// A persistent session that the broker never ends on its own (MQTT 5: the
// largest Session Expiry Interval); a broker may bound it
// (mosquitto's persistent_client_expiration).
constexpr uint32_t kSessionNeverExpires = 0xFFFFFFFFu;

// Room for a packet's own fields beside its payload.
constexpr size_t kPacketMargin = 64 * 1024;

}  // namespace

bool readOption(int argc, char** argv, int* i, const char* name, std::string* value,
                std::string* why) {
    why->clear();
    std::string arg = argv[*i];
    size_t len = strlen(name);
    if (arg.compare(0, len, name) != 0 || (arg.size() > len && arg[len] != '=')) {
        return false;
    }
    if (arg.size() > len) {
        *value = arg.substr(len + 1);
    } else if (*i + 1 < argc) {
        *value = argv[++*i];
    } else {
        value->clear();
    }
    if (value->empty()) {
        *why = std::string(name) + " needs a value";
        return false;
    }
    return true;
}

bool parseCenterOption(int argc, char** argv, int* i, CenterOptions* options, std::string* why) {
    if (readOption(argc, argv, i, "--config", &options->config, why)) {
        return true;
    }
    if (!why->empty() || !readOption(argc, argv, i, "--site", &options->site, why)) {
        return false;
    }
    if (!vsign::isName(options->site)) {
        *why = "--site " + verbs::shownWord(options->site) +
               " is not a name (1 to 64 of A-Z a-z 0-9 . _ -)";
        return false;
    }
    return true;
}

bool loadCenter(const CenterOptions& options, LinkConfig* config, std::string* why) {
    if (!loadCenterConfig(options.config.c_str(), config, why)) {
        return false;
    }
    if (!options.site.empty()) {
        config->site = options.site;
    }
    return true;
}

void catchStop(void (*onStop)(int)) {
    struct sigaction stop {};
    stop.sa_handler = onStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void catchCenterStop() {
    catchStop(onStopSignal);
}

bool centerStopped() {
    return sStopped != 0;
}

std::string unitOfTopic(const LinkConfig& config, const std::string& topic,
                        const std::string& tail) {
    std::string head = config.prefix + "/" + config.site + "/";
    std::string end = "/" + tail;
    if (topic.size() <= head.size() + end.size() || topic.compare(0, head.size(), head) != 0 ||
        topic.compare(topic.size() - end.size(), end.size(), end) != 0) {
        return "";
    }
    std::string unit = topic.substr(head.size(), topic.size() - head.size() - end.size());
    return vsign::isName(unit) ? unit : "";
}

cCenterClient::cCenterClient(const LinkConfig& config, const std::string& session,
                             OnMessage onMessage)
    : mConfig(config),
      mSession(session),
      mOnMessage(std::move(onMessage)),
      mMosq(nullptr),
      mConnectRc(-1),
      mSubscribed(0),
      mSubscribeRefused(false),
      mLost(false) {}

cCenterClient::~cCenterClient() {
    if (mMosq != nullptr) {
        mosquitto_destroy(mMosq);
    }
}

bool cCenterClient::connectClient(std::string* why) {
    if (mMosq != nullptr) {
        mosquitto_destroy(mMosq);
    }
    mConnectRc = -1;
    mSubscribed = 0;
    mSubscribeRefused = false;
    mLost = false;
    const bool persistent = !mSession.empty();
    mMosq = mosquitto_new(persistent ? mSession.c_str() : nullptr, !persistent, this);
    if (mMosq == nullptr) {
        *why = "cannot make an MQTT client: " + std::string(strerror(errno));
        return false;
    }
    mosquitto_connect_v5_callback_set(mMosq, onConnect);
    mosquitto_subscribe_v5_callback_set(mMosq, onSubscribe);
    mosquitto_disconnect_v5_callback_set(mMosq, onDisconnect);
    mosquitto_message_v5_callback_set(mMosq, onMessage);
    // The link's messages are small (an event at most 4 KiB): a larger
    // packet never reaches the tool, whatever is published.
    int rc = connectBroker(mMosq, mConfig, static_cast<uint32_t>(kMaxJsonBytes + kPacketMargin),
                           persistent ? kSessionNeverExpires : 0);
    std::string where = mConfig.broker + ":" + std::to_string(mConfig.port);
    if (rc != MOSQ_ERR_SUCCESS) {
        *why = "cannot connect to " + where + ": " + mqttErrorText(rc);
        return false;
    }
    return true;
}

bool cCenterClient::start(const std::vector<std::string>& topics, std::string* why) {
    if (!connectClient(why)) {
        return false;
    }
    std::string where = mConfig.broker + ":" + std::to_string(mConfig.port);
    if (!waitFor([this] { return mConnectRc >= 0; }, why)) {
        *why = "cannot connect to " + where + ": " + *why;
        return false;
    }
    if (mConnectRc != 0) {
        *why = "the broker at " + where +
               " refused the connection: " + mosquitto_reason_string(mConnectRc);
        return false;
    }
    for (const std::string& topic : topics) {
        int rc = mosquitto_subscribe_v5(mMosq, nullptr, topic.c_str(), 1, 0, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *why = "cannot subscribe to " + topic + ": " + mqttErrorText(rc);
            return false;
        }
    }
    int want = static_cast<int>(topics.size());
    if (!waitFor([this, want] { return mSubscribeRefused || mSubscribed == want; }, why)) {
        *why = "no answer from " + where + " to the subscription: " + *why;
        return false;
    }
    if (mSubscribeRefused) {
        *why = "the broker at " + where + " refused the subscription (its access control?)";
        return false;
    }
    return true;
}

bool cCenterClient::waitFor(const std::function<bool()>& done, std::string* why) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kAnswerSeconds);
    while (!done()) {
        if (mLost) {
            *why = mLostWhy;
            return false;
        }
        if (centerStopped()) {
            *why = "stopped";
            return false;
        }
        if (std::chrono::steady_clock::now() > until) {
            *why = "no answer within " + std::to_string(kAnswerSeconds) + " s";
            return false;
        }
        int rc = mosquitto_loop(mMosq, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS && !mLost) {
            mLost = true;
            mLostWhy = mqttErrorText(rc);
        }
    }
    return true;
}

bool cCenterClient::turn(int ms, std::string* why) {
    int rc = mMosq == nullptr || mLost ? MOSQ_ERR_NO_CONN : mosquitto_loop(mMosq, ms, 1);
    if (rc != MOSQ_ERR_SUCCESS && !mLost) {
        mLost = true;
        mLostWhy = mqttErrorText(rc);
    }
    if (mLost) {
        *why = "lost the connection to " + mConfig.broker + ":" + std::to_string(mConfig.port) +
               ": " + mLostWhy;
        return false;
    }
    return true;
}

void cCenterClient::stop() {
    if (mMosq == nullptr || mLost) {
        return;
    }
    mosquitto_disconnect_v5(mMosq, 0, nullptr);
    // The DISCONNECT is written by the loop.
    for (int i = 0; i < 10 && mosquitto_loop(mMosq, 50, 1) == MOSQ_ERR_SUCCESS; ++i) {
    }
}

void cCenterClient::onConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    static_cast<cCenterClient*>(self)->mConnectRc = rc;
}

void cCenterClient::onSubscribe(mosquitto*, void* self, int, int count, const int* granted,
                                const mosquitto_property*) {
    auto* client = static_cast<cCenterClient*>(self);
    for (int i = 0; i < count; ++i) {
        if (granted[i] >= 0x80) {
            client->mSubscribeRefused = true;
        }
    }
    ++client->mSubscribed;
}

void cCenterClient::onDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* client = static_cast<cCenterClient*>(self);
    if (!client->mLost) {
        client->mLost = true;
        client->mLostWhy = disconnectText(rc);
    }
}

void cCenterClient::onMessage(mosquitto*, void* self, const mosquitto_message* msg,
                              const mosquitto_property*) {
    auto* client = static_cast<cCenterClient*>(self);
    std::string payload;
    if (msg->payload != nullptr && msg->payloadlen > 0) {
        payload.assign(static_cast<const char*>(msg->payload),
                       static_cast<size_t>(msg->payloadlen));
    }
    client->mOnMessage(msg->topic, payload);
}

}  // namespace mqttlink
