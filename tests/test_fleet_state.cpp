// The fleet link's configuration, and the link end to end with the real
// service and the simulator against a real mosquitto broker on the test's
// own loopback address. Also the smoke test of the link under the
// sanitizers and qemu-arm.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/fleet_support.h"
#include "tests/service_site.h"
#include "tests/support/loopback.h"
#include "tests/test_util.h"

using namespace testutil;

namespace {

constexpr int kPort = 1883;
constexpr int kWaitMs = 20000;
const char* const kStatus = "dorvane/S1/U1/status";
const char* const kEvents = "dorvane/S1/U1/events";

// Whether a status message has the string member key with value (as JSON
// writes it: quotes escaped).
bool hasStatus(const std::vector<MqttMessage>& messages, const std::string& key,
               const std::string& value) {
    std::string member = "\"" + key;
    member += "\":\"";
    member += value;
    member += "\"";
    for (const MqttMessage& m : messages) {
        if (m.topic == kStatus && m.payload.find(member) != std::string::npos) {
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
    // The center's tools read the same file (no unit, no service) and
    // refuse their own command lines the same way.
    const struct {
        std::string lines;
        std::string said;
        std::vector<std::string> verb = {};
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
        {"broker=127.0.0.2\nunit=U1\n", "missing required key site", {"status"}},
        {"broker=192.0.2.1\nsite=S1\n", "refusing plain MQTT to 192.0.2.1", {"events"}},
        {"broker=127.0.0.2\nsite=S1\n", "--wait x needs a number", {"status", "--wait", "x"}},
        {"broker=127.0.0.2\nsite=S1\n", "--site a/b is not a name", {"status", "--site", "a/b"}},
        {"broker=127.0.0.2\nsite=S1\n",
         "--session a+b is not a client id",
         {"events", "--session", "a+b"}},
        {"broker=127.0.0.2\nsite=S1\n", "--all is not an option", {"events", "--all"}},
        // A word from a paste: one line, escaped, cut; never echoed whole.
        {"broker=127.0.0.2\nsite=S1\n",
         "--site a\\x0ab\\x1b[2J is not",
         {"status", "--site", "a\nb\x1b[2J"}},
        {"broker=127.0.0.2\nsite=S1\n",
         "--session " + std::string(79, 'a') + "... is not",
         {"events", "--session", std::string(5000, 'a')}},
        {"broker=127.0.0.2\nsite=S1\n", "--a\\x0al is not an option", {"events", "--a\nl"}},
        {"broker=127.0.0.2\nsite=S1\n", " x\\x0a is not an option", {"status", "x\n"}},
        {"broker=127.0.0.2\nsite=S1\n", "--wait \\x0a needs", {"status", "--wait", "\n"}},
        {"broker=127.0.0.2\n" + base, "unknown argument -\\x0a (see", {"run", "-\n"}},
    };
    for (const auto& c : cases) {
        writeFile(dir.file("link.conf"), c.lines);
        std::vector<std::string> argv = {DORVANE_MQTT_BIN};
        argv.insert(argv.end(), c.verb.begin(), c.verb.end());
        argv.insert(argv.end(), {"--config", dir.file("link.conf")});
        ToolRun run = runTool(argv);
        EXPECT_EQ(run.status, 2) << c.lines;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << c.lines << run.err;
        EXPECT_EQ(splitLines(run.err).size(), 1U) << run.err;
    }
}

// The real service, the simulator and the link against a real broker: a
// scan's event arrives saying what its trail line says; the unit's state is
// online with the service's status text and follows it, says "not running"
// once the service is stopped, passes a text the link has never seen
// escaped, and turns "offline" from the broker (the will) when the link is
// killed, and from the link itself at a clean stop.
TEST(FleetEndToEnd, ScanArrivesAndTheStateFollowsTheService) {
    ServiceSite site;
    site.files({{"Door1", "A", "B"}}, {{"04A1", "Door1"}});
    const std::string outbox = site.file("outbox");
    site.start(kTwoOutputs, "outbox=" + outbox + "\n" + kTrailToFile);
    TempDir dir;
    std::string host = loopbackAddress(1);
    MqttBroker broker(dir.path(), host, kPort, "allow_anonymous true\n");
    broker.start();
    MqttSubscriber sub(host, kPort, "dorvane/#", "viewer", false);
    std::string config =
        writeLinkConfig(dir.path(), host, kPort, "heartbeat=5\n", site.file("dorvane.conf"));
    auto link = startLink(config);

    // Online, with the text the service gives its supervisor.
    const std::string statusFile = outbox + "/status";
    ASSERT_TRUE(sub.waitUntil(
        [&](const auto& m) {
            std::vector<std::string> text = splitLines(readFile(statusFile));
            return !text.empty() && hasStatus(m, "service", text[0]);
        },
        kWaitMs));
    MqttMessage online = onTopic(sub.messages(), kStatus).back();
    EXPECT_EQ(jsonMember(online.payload, "state"), "online");
    EXPECT_EQ(jsonMember(online.payload, "heartbeat"), "5");
    EXPECT_EQ(jsonMember(online.payload, "service").rfind("connected to the site daemon; 2 ", 0),
              0U)
        << online.payload;

    {  // Retained: a viewer that comes later is told at once.
        MqttSubscriber late(host, kPort, kStatus, "late", false);
        ASSERT_TRUE(late.waitUntil([](const auto& m) { return !m.empty(); }, kWaitMs));
        EXPECT_TRUE(late.messages()[0].retain);
        EXPECT_EQ(jsonMember(late.messages()[0].payload, "state"), "online");
    }

    // The center's consumers, in the trail's form and as received.
    Process trail({DORVANE_MQTT_BIN, "events", "--config", config});
    Process json({DORVANE_MQTT_BIN, "events", "--config", config, "--json", "--session", "c1"});
    ASSERT_GE(trail.waitFor("receiving dorvane/S1/+/events", kWaitMs), 0);
    ASSERT_GE(json.waitFor("receiving dorvane/S1/+/events", kWaitMs), 0);

    // A scan: its event arrives and says what its trail line says.
    site.sim().write("scan 12 04A1\n");
    ASSERT_TRUE(site.waitSets(2));
    ASSERT_TRUE(sub.waitUntil([](const auto& m) { return !onTopic(m, kEvents).empty(); }, kWaitMs));
    std::vector<MqttMessage> events = onTopic(sub.messages(), kEvents);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_FALSE(events[0].retain);
    writeFile(dir.file("events"), events[0].payload + "\n");
    EXPECT_EQ(runShell("python3 " DORVANE_TEST_DATA "/check_events.py " + site.file("trail.log") +
                       " " + dir.file("events")),
              "CHECKED 1\n");
    EXPECT_EQ(jsonMember(events[0].payload, "result"), "toggled");
    ASSERT_GE(json.waitFor("U1 {", kWaitMs), 0);
    EXPECT_EQ(json.lines().back(), "U1 " + events[0].payload);
    ASSERT_GE(trail.waitFor("U1 " + jsonMember(events[0].payload, "time") + " seq=", kWaitMs), 0);
    std::string line = trail.lines().back();
    std::string trailText = line.substr(line.find(" seq=") + 1);
    EXPECT_NE(readFile(site.file("trail.log")).find(trailText + "\n"), std::string::npos) << line;
    for (Process* center : {&trail, &json}) {
        int status = center->stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    // The site daemon gone: the service's text says so, and the state follows.
    site.stopSim();
    EXPECT_TRUE(sub.waitUntil(
        [](const auto& m) {
            return jsonMember(onTopic(m, kStatus).back().payload, "service")
                       .rfind("not connected to the site daemon", 0) == 0;
        },
        kWaitMs));
    site.service().stop();
    EXPECT_TRUE(sub.waitUntil([](const auto& m) { return hasStatus(m, "service", "not running"); },
                              kWaitMs));
    // Any text in the status file goes out as a JSON string.
    writeFile(statusFile + ".tmp", "degraded: \"site daemon\" \\ not connected\n");
    ASSERT_EQ(rename((statusFile + ".tmp").c_str(), statusFile.c_str()), 0);
    EXPECT_TRUE(sub.waitUntil(
        [](const auto& m) {
            return hasStatus(m, "service", "degraded: \\\"site daemon\\\" \\\\ not connected");
        },
        kWaitMs));

    kill(link->pid(), SIGKILL);
    link->wait(10000);
    EXPECT_TRUE(
        sub.waitUntil([](const auto& m) { return hasStatus(m, "state", "offline"); }, kWaitMs));
    EXPECT_EQ(onTopic(sub.messages(), kStatus).back().payload, "{\"v\":1,\"state\":\"offline\"}");

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
