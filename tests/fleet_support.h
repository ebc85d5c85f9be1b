// What the fleet link's tests share: a real mosquitto broker on the test's
// own loopback address, a subscriber that collects what reaches it, a writer
// of outbox files in the service's format, and the link as a process.
#ifndef DORVANE_TESTS_FLEET_SUPPORT_H
#define DORVANE_TESTS_FLEET_SUPPORT_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_daemon.h"

namespace testutil {

// A mosquitto broker with the configuration it writes into dir: a listener
// on host:port, persistence in dir (so a restart keeps the sessions and the
// retained messages), no limit on the messages queued for a client
// (mosquitto drops QoS 1 messages past 1000 by default), extra lines as given (allow_anonymous,
// acl_file, TLS). It runs as the test's own user (the `user` option names it), so the files the
// test writes are the broker's to read. Debian's broker of this machine, also in a cross build.
// Killed by pid with the test.
class MqttBroker {
public:
    MqttBroker(const std::string& dir, const std::string& host, int port, const std::string& extra);
    ~MqttBroker();

    void start();  // fails the test when it does not run within 10 s
    void stop();   // SIGTERM (the broker saves its sessions), then waits
    void setExtra(const std::string& extra) { mExtra = extra; }
    // What the broker has logged since it was last started (nothing once stopped).
    std::vector<std::string> lines() {
        return mProcess ? mProcess->lines() : std::vector<std::string>();
    }
    const std::string& host() const { return mHost; }
    int port() const { return mPort; }

private:
    std::string mDir, mHost, mExtra;
    int mPort;
    std::unique_ptr<Process> mProcess;
};

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain;
};

// An MQTT 5 subscriber at QoS 1 on a thread of its own. With a persistent
// session (a fixed client id, no clean start, an hour's session expiry) it
// receives what was published while it or the broker was away; it connects
// again (every 100 ms) whenever the connection fails.
class MqttSubscriber {
public:
    MqttSubscriber(const std::string& host, int port, const std::string& topic,
                   const std::string& clientId, bool persistent);
    ~MqttSubscriber();

    std::vector<MqttMessage> messages();
    // Waits up to timeoutMs until done(messages) holds; returns whether it did.
    bool waitUntil(const std::function<bool(const std::vector<MqttMessage>&)>& done, int timeoutMs);

private:
    void run();

    std::string mHost, mTopic, mClientId;
    int mPort;
    bool mPersistent;
    std::atomic<bool> mStop;
    std::mutex mMutex;
    std::vector<MqttMessage> mMessages;
    std::thread mThread;
};

// Writes an outbox folder as the service does: lines appended with one
// write on an O_APPEND descriptor to `current`, closed by rename to
// closed-NNNNNNNNNNNNNNNNNNNN, every line (lost events too) numbered.
class OutboxWriter {
public:
    OutboxWriter(const std::string& folder, const std::string& start);
    // Appends an access event; returns its id.
    std::string access();
    // Appends a lost event of the service (reason overflow or unwritable);
    // with of, the repeat of the lost line of that id (its file was dropped).
    std::string lost(const std::string& reason, uint64_t first, uint64_t last, uint64_t count,
                     const std::string& of = "");
    void raw(const std::string& bytes);  // appended as given
    void close();                        // renames `current` to the next closed name
    std::vector<std::string> closedFiles() const;
    std::string id(uint64_t number) const { return mStart + "-" + std::to_string(number); }
    uint64_t lastNumber() const { return mNumber; }

private:
    std::string mFolder, mStart;
    uint64_t mNumber;
};

// The link's configuration in dir: the link's (broker, site S1, unit U1,
// stateDir dir/state) with extra lines, reading the service's configuration
// serviceConfig, or when that is empty dir/dorvane.conf, written naming the
// folder dir/outbox. Returns the link's configuration file.
std::string writeLinkConfig(const std::string& dir, const std::string& broker, int port,
                            const std::string& extra, const std::string& serviceConfig = "");
// The link as a process reading config.
std::unique_ptr<Process> startLink(const std::string& config);

// The messages of messages on topic, in order.
std::vector<MqttMessage> onTopic(const std::vector<MqttMessage>& messages, const char* topic);

}  // namespace testutil

#endif
