// What the center's tools (dorvane-mqtt status, dorvane-mqtt events) share:
// their command line's common options, the link's configuration read for
// them, and one MQTT 5 subscriber connection made as the link makes its own
// (TLS, client certificate, user and password from the same keys).
//
// Threads: the calling thread only; the message callback runs inside
// turn(). Failure: false with *why set to one line; nothing throws but
// std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_CENTER_CLIENT_H
#define DORVANE_TOOLS_DORVANE_MQTT_CENTER_CLIENT_H

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "tools/dorvane-mqtt/link_config.h"

namespace mqttlink {

// Exit statuses of the center's tools.
enum { kCenterOk = 0, kCenterNoBroker = 1, kCenterRefused = 2 };

// The options both tools take: --config FILE, --site S (each also as
// --config=FILE, as readOption reads them). parseCenterOption
// looks at argv[*i]: true when it was one of them (*i moved past its value);
// false with *why set when it was one of them but its value is missing or
// unfit; false with *why empty when it is another option.
struct CenterOptions {
    std::string config = kDefaultConfigFile;
    std::string site;  // empty: the configuration's
};
bool parseCenterOption(int argc, char** argv, int* i, CenterOptions* options, std::string* why);

// Reads the configuration the options name, with --site over its site.
bool loadCenter(const CenterOptions& options, LinkConfig* config, std::string* why);

// Looks at argv[*i] for the option name ("--config"), given as NAME VALUE
// or NAME=VALUE: true with *value set when it is (*i moved to its last
// word); false with *why set when it is but its value is missing or empty;
// false with *why empty when it is another word. For every verb of the
// program (the link's run too), so that each reads an option alike.
bool readOption(int argc, char** argv, int* i, const char* name, std::string* value,
                std::string* why);

// SIGTERM and SIGINT call onStop (installed without SA_RESTART, so a wait
// for the network ends at once); SIGPIPE is ignored. For every verb.
void catchStop(void (*onStop)(int));
// catchStop with a handler that sets centerStopped().
void catchCenterStop();
bool centerStopped();

// UNIT when topic is PREFIX/SITE/UNIT/tail (tail without its leading "/")
// for the configuration's prefix and site and UNIT is a name; "" otherwise.
std::string unitOfTopic(const LinkConfig& config, const std::string& topic,
                        const std::string& tail);

class cCenterClient {
public:
    using OnMessage = std::function<void(const std::string& topic, const std::string& payload)>;

    // session empty: a clean session under an id the library draws; else a
    // persistent session (clean start off, a session that never expires)
    // under that client id. config must outlive the object.
    cCenterClient(const LinkConfig& config, const std::string& session, OnMessage onMessage);
    ~cCenterClient();
    cCenterClient(const cCenterClient&) = delete;
    cCenterClient& operator=(const cCenterClient&) = delete;

    // Connects and subscribes to topics with QoS 1, waiting for the
    // broker's answers at most kAnswerSeconds (or until a stop). False with
    // *why when the broker cannot be reached, refuses the connection or a
    // subscription.
    bool start(const std::vector<std::string>& topics, std::string* why);
    // Works the connection for up to ms milliseconds, handing messages to
    // onMessage. False with *why when the connection is lost.
    bool turn(int ms, std::string* why);
    // Disconnects cleanly (a persistent session stays at the broker).
    void stop();

    static constexpr int kAnswerSeconds = 10;

private:
    static void onConnect(mosquitto*, void* self, int rc, int flags, const mosquitto_property*);
    static void onSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                            const mosquitto_property*);
    static void onDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* msg,
                          const mosquitto_property*);
    // A fresh client, its options set, connecting (the answer not awaited).
    bool connectClient(std::string* why);
    bool waitFor(const std::function<bool()>& done, std::string* why);

    const LinkConfig& mConfig;
    std::string mSession;
    OnMessage mOnMessage;
    mosquitto* mMosq;
    int mConnectRc;  // -1 until the broker answered the connection
    int mSubscribed;
    bool mSubscribeRefused;
    bool mLost;
    std::string mLostWhy;
};

}  // namespace mqttlink

#endif
