// The fleet link's configuration and the unit's state, against a real
// mosquitto broker on the test's own loopback address.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/fleet_support.h"
#include "tests/support/loopback.h"
#include "tests/test_util.h"

using namespace testutil;

namespace {

constexpr int kPort = 1883;
constexpr int kWaitMs = 20000;
const char* const kStatus = "dorvane/S1/U1/status";

// Whether a status message has the string member key with value (as JSON
// writes it: quotes escaped).
bool hasStatus(const std::vector<MqttMessage>& messages, const std::string& key,
               const std::string& value) {
    for (const MqttMessage& m : messages) {
        if (m.topic == kStatus &&
            m.payload.find("\"" + key + "\":\"" + value + "\"") != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

// A configuration the link refuses stops it at start with one line and
// exit status 2, before any connection: plain MQTT to a broker that is not
// on a loopback address among them.
TEST(FleetLinkConfig, RefusedConfigurationsStopWithStatus2) {
    TempDir dir;
    writeFile(dir.file("dorvane.conf"), "outbox=" + dir.path() + "/outbox\n");
    writeFile(dir.file("no-outbox.conf"), "host=127.0.0.1\n");
    const std::string base = "site=S1\nunit=U1\nstateDir=" + dir.path() +
                             "/state\nserviceConfig=" + dir.file("dorvane.conf") + "\n";
    const struct {
        std::string lines;
        std::string said;
    } cases[] = {
        {"broker=127.0.0.2\nbrokr=x\n", "unknown key brokr"},
        {"broker=127.0.0.2\nsite=S1\n", "missing required key unit"},
        {"site=S1\nunit=U1\n", "missing required key broker"},
        {"broker=127.0.0.2\nport=70000\n" + base, "value of port does not fit"},
        {"broker=127.0.0.2\nplainMqtt=maybe\n" + base, "value of plainMqtt does not fit"},
        {"broker=127.0.0.2\nheartbeat=0\n" + base, "value of heartbeat does not fit"},
        {"broker=127.0.0.2\nsite=a b\nunit=U1\n", "value of site does not fit"},
        {"broker=127.0.0.2\r\n" + base, "value of broker does not fit"},
        {"broker=127.0.0.2\ncaFile=" + dir.file("missing.crt") + "\n" + base, "caFile"},
        {"broker=127.0.0.2\nuser=u\npasswordFile=" + dir.file("missing") + "\n" + base,
         "passwordFile"},
        {"broker=192.0.2.1\n" + base, "refusing plain MQTT to 192.0.2.1"},
        {"broker=broker.example.org\n" + base, "refusing plain MQTT to broker.example.org"},
        {"broker=127.0.0.2\nsite=S1\nunit=U1\nstateDir=/tmp\nserviceConfig=" +
             dir.file("no-outbox.conf") + "\n",
         "names no outbox folder"},
    };
    for (const auto& c : cases) {
        writeFile(dir.file("link.conf"), c.lines);
        ToolRun run = runTool({DORVANE_MQTT_BIN, "--config", dir.file("link.conf")});
        EXPECT_EQ(run.status, 2) << c.lines;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << c.lines << run.err;
        EXPECT_EQ(splitLines(run.err).size(), 1U) << run.err;
    }
}

// The unit's state: online with the service's status, following it, "not
// running" once the service's status file is stale, "offline" from the
// broker (the will) when the link is killed, and from the link itself at a
// clean stop.
TEST(FleetLink, StatusFollowsTheServiceAndGoesOffline) {
    TempDir dir;
    std::string host = loopbackAddress(1);
    MqttBroker broker(dir.path(), host, kPort, "allow_anonymous true\n");
    broker.start();
    MqttSubscriber sub(host, kPort, kStatus, "viewer", false);
    std::string config = writeLinkConfig(dir.path(), host, kPort, "heartbeat=5\n");
    std::string statusFile = dir.file("outbox/status");
    std::mutex textMutex;
    std::string text = "running: 4 outputs, database open";
    std::atomic<bool> serviceRuns(true);
    std::thread service([&] {  // the service refreshes its status file
        while (serviceRuns) {
            {
                std::lock_guard<std::mutex> lock(textMutex);
                writeFile(statusFile + ".tmp", text + "\n");
            }
            rename((statusFile + ".tmp").c_str(), statusFile.c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    auto link = startLink(config);
    EXPECT_TRUE(sub.waitUntil(
        [](const auto& m) { return hasStatus(m, "service", "running: 4 outputs, database open"); },
        kWaitMs));
    std::vector<MqttMessage> first = sub.messages();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(jsonMember(first.back().payload, "state"), "online");
    EXPECT_EQ(jsonMember(first.back().payload, "heartbeat"), "5");
    {
        std::lock_guard<std::mutex> lock(textMutex);
        text = "degraded: \"site daemon\" not connected";
    }
    EXPECT_TRUE(sub.waitUntil(
        [](const auto& m) {
            return hasStatus(m, "service", "degraded: \\\"site daemon\\\" not connected");
        },
        kWaitMs));
    serviceRuns = false;
    service.join();
    EXPECT_TRUE(sub.waitUntil([](const auto& m) { return hasStatus(m, "service", "not running"); },
                              kWaitMs));
    kill(link->pid(), SIGKILL);
    link->wait(10000);
    EXPECT_TRUE(
        sub.waitUntil([](const auto& m) { return hasStatus(m, "state", "offline"); }, kWaitMs));
    EXPECT_EQ(sub.messages().back().payload, "{\"v\":1,\"state\":\"offline\"}");

    // Online again; a clean stop says offline itself, and the link ends with 0.
    size_t before = sub.messages().size();
    link = startLink(config);
    EXPECT_TRUE(sub.waitUntil(
        [&](const auto& m) {
            return m.size() > before && jsonMember(m.back().payload, "state") == "online";
        },
        kWaitMs));
    before = sub.messages().size();
    int status = link->stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(sub.waitUntil(
        [&](const auto& m) {
            return m.size() > before && m.back().payload == "{\"v\":1,\"state\":\"offline\"}";
        },
        kWaitMs));
}
