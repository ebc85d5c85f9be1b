// Signed code sets from the broker to the unit's codes, end to end: a real
// mosquitto broker on the test's own loopback address, keys and signatures
// made here with signify-openbsd, sets published retained with
// mosquitto_pub (MQTT 5, QoS 1), the link, and the applier
// (dorvanectl codes apply-signed) as processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "tests/fleet_support.h"
#include "tests/service_site.h"
#include "tests/signify_keys.h"
#include "tests/support/loopback.h"
#include "tests/test_util.h"

using namespace testutil;

namespace {

constexpr int kPort = 1883;
constexpr int kWaitMs = 60000;
const char* const kApplied = "dorvane/S1/U1/codes/applied";
const char* const kStatus = "dorvane/S1/U1/status";
const char* const kSiteTopic = "dorvane/S1/codes";
const char* const kUnitTopic = "dorvane/S1/U1/codes";

int shell(const std::string& command) {
    return system((command + " >/dev/null 2>&1").c_str());
}

// One unit's files: the link's and the service's configuration, key "a"
// in its keys folder and key "b" that only the center has.
class Unit {
public:
    explicit Unit(const std::string& host, const std::string& extra = "") : mHost(host) {
        makeSignifyKeys(dir.path());
        linkConfig = writeLinkConfig(dir.path(), host, kPort,
                                     "codesKeys=" + dir.file("keys") + "\n" + extra);
        writeFile(dir.file("dorvane.conf"), "outbox=" + dir.file("outbox") +
                                                "\ndblocal=" + dir.file("access.db") +
                                                "\nioPairFile=" + dir.file("pairs.xml") + "\n");
    }

    // The signed set of csv for site and unit at version, as published.
    std::string set(const std::string& site, const std::string& unit, int version,
                    const std::string& csv, const std::string& key = "a") {
        writeFile(dir.file("set.csv"), csv);
        EXPECT_EQ(0, runTool({DORVANE_CTL_BIN, "codes", "pack", "--site", site, "--unit", unit,
                              "--version", std::to_string(version), "--force", "-o",
                              dir.file("set.msg"), dir.file("set.csv")})
                         .status);
        std::string out = dir.file("set-" + std::to_string(++mSets) + ".sig");
        signifySign(dir.path(), key, dir.file("set.msg"), out);
        return out;
    }
    void publish(const char* topic, const std::string& file) {
        ASSERT_EQ(0, shell("mosquitto_pub -V mqttv5 -r -q 1 -h " + mHost + " -p " +
                           std::to_string(kPort) + " -t " + topic + " -f " + file));
    }
    std::unique_ptr<Process> applier() {
        return std::unique_ptr<Process>(
            new Process({DORVANE_CTL_BIN, "--config", dir.file("dorvane.conf"), "codes",
                         "apply-signed", "--watch", "--link-config", linkConfig}));
    }
    // dorvanectl codes with args on the unit's files.
    ToolRun codes(const std::vector<std::string>& args, int timeoutMs = 10000) {
        std::vector<std::string> argv = {DORVANE_CTL_BIN, "--config", dir.file("dorvane.conf"),
                                         "codes"};
        argv.insert(argv.end(), args.begin(), args.end());
        return runTool(argv, timeoutMs);
    }
    // codes list: the codes, and the set in force.
    std::string list() { return codes({"list"}).out; }

    TempDir dir;
    std::string linkConfig;

private:
    std::string mHost;
    int mSets = 0;
};

// The last message on topic ("" when none).
std::string lastOn(const std::vector<MqttMessage>& messages, const std::string& topic) {
    std::string last;
    for (const MqttMessage& m : messages) {
        if (m.topic == topic) {
            last = m.payload;
        }
    }
    return last;
}

// The last codes/applied message's member (applied, pending, refused) as text.
std::string lastApplied(const std::vector<MqttMessage>& messages) {
    return lastOn(messages, kApplied);
}

std::function<bool(const std::vector<MqttMessage>&)> saying(const std::string& text) {
    return [text](const std::vector<MqttMessage>& m) {
        return lastApplied(m).find(text) != std::string::npos;
    };
}

// The applier takes only keys that root owns.
class FleetCodes : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "keys must be root's: run as root";
        }
    }
};

}  // namespace

// A site-wide set (readers this unit does not pair), then this unit's set
// with a higher version while the site's stays retained, then an empty
// set: each applied with its version; the retained sets delivered again at
// a reconnect change nothing.
TEST_F(FleetCodes, AppliedForSiteAndUnitHighestVersionAndEmpty) {
    std::string host = loopbackAddress(1);
    Unit u(host);
    MqttBroker broker(u.dir.path(), host, kPort, "allow_anonymous true\n");
    broker.start();
    MqttSubscriber sub(host, kPort, "dorvane/S1/U1/#", "center", false);
    auto link = startLink(u.linkConfig);
    auto applier = u.applier();

    u.publish(kSiteTopic, u.set("S1", "*", 43, "code,reader\n04A1,Door1\n04B2,Door2\n"));
    ASSERT_TRUE(sub.waitUntil(saying("\"applied\":{\"version\":43,"), kWaitMs))
        << lastApplied(sub.messages());
    EXPECT_NE(std::string::npos, lastApplied(sub.messages()).find("\"count\":2,\"unpaired\":2"));
    std::string listed = u.list();
    EXPECT_NE(std::string::npos, listed.find("04B2                 Door2")) << listed;
    EXPECT_NE(std::string::npos, listed.find("in force: version 43")) << listed;

    u.publish(kUnitTopic, u.set("S1", "U1", 44, "0C0C,Lobby\n"));
    ASSERT_TRUE(sub.waitUntil(saying("\"applied\":{\"version\":44,"), kWaitMs));
    listed = u.list();
    EXPECT_NE(std::string::npos, listed.find("1 codes")) << listed;
    EXPECT_NE(std::string::npos, listed.find("in force: version 44")) << listed;
    EXPECT_EQ("44", readFile(u.dir.file("state/mark")).substr(0, 2));

    // Both topics hold a set: at a reconnect the older one is not let back in.
    link->stop();
    link = startLink(u.linkConfig);
    ASSERT_TRUE(sub.waitUntil(saying("version 43 is not above 44"), kWaitMs))
        << lastApplied(sub.messages());
    listed = u.list();
    EXPECT_NE(std::string::npos, listed.find("0C0C                 Lobby")) << listed;
    EXPECT_NE(std::string::npos, listed.find("in force: version 44")) << listed;

    u.publish(kSiteTopic, u.set("S1", "*", 45, "code,reader\n"));
    ASSERT_TRUE(sub.waitUntil(saying("\"applied\":{\"version\":45,"), kWaitMs));
    listed = u.list();
    EXPECT_NE(std::string::npos, listed.find("0 codes")) << listed;
    // A change by hand keeps the mark, and says so.
    ASSERT_EQ(0, u.codes({"add", "0D0D", "Door9", "--force"}).status);
    EXPECT_NE(std::string::npos, u.list().find("by hand, after version 45"));
    // The unit's status says so too (the link cannot read the database),
    // and the center's view shows it.
    const std::string byHand = "\"codes\":{\"version\":0,\"sha256\":\"\",\"mark\":45}";
    ASSERT_TRUE(sub.waitUntil(
        [&](const std::vector<MqttMessage>& m) {
            return !m.empty() && lastOn(m, kStatus).find(byHand) != std::string::npos;
        },
        kWaitMs))
        << lastOn(sub.messages(), kStatus);
    ToolRun status = runTool({DORVANE_MQTT_BIN, "status", "--config", u.linkConfig});
    EXPECT_EQ(0, status.status) << status.err;
    EXPECT_EQ(0u, status.out.find("U1 online service=")) << status.out;
    EXPECT_NE(std::string::npos, status.out.find(" codes=0 mark=45 pending=0 lost=0\n"))
        << status.out;
}

// Refused whole, the codes unchanged and the reason published: a key not
// in the keys folder, another site; a set larger than the unit takes
// never reaches it.
TEST_F(FleetCodes, RefusedAndTooLarge) {
    std::string host = loopbackAddress(1);
    Unit u(host, "maxSetBytes=1000\n");
    MqttBroker broker(u.dir.path(), host, kPort, "allow_anonymous true\n");
    broker.start();
    MqttSubscriber sub(host, kPort, "dorvane/S1/U1/#", "center", false);
    auto link = startLink(u.linkConfig);
    auto applier = u.applier();
    u.publish(kSiteTopic, u.set("S1", "*", 10, "04A1,Door1\n"));
    ASSERT_TRUE(sub.waitUntil(saying("\"applied\":{\"version\":10,"), kWaitMs));

    struct Row {
        std::string site, key, reason;
    };
    const std::vector<Row> rows = {
        {"S1", "b", "not in the keys folder"},
        {"S2", "a", "S2"},
    };
    int version = 11;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.reason);
        u.publish(kUnitTopic, u.set(r.site, "U1", version++, "0C0C,Door2\n", r.key));
        ASSERT_TRUE(sub.waitUntil(saying(r.reason), kWaitMs)) << lastApplied(sub.messages());
        EXPECT_NE(std::string::npos, u.list().find("in force: version 10"));
    }
    // Far larger than maxSetBytes and the packet's margin: the broker keeps
    // it from the link, which never says a word of it.
    std::string big = "code,reader\n";
    for (int i = 0; i < 8000; ++i) {
        big += "C" + std::to_string(100000 + i) + ",Door1\n";
    }
    std::string bigSet = u.set("S1", "*", 20, big);
    u.publish(kSiteTopic, bigSet);
    u.publish(kUnitTopic, u.set("S1", "U1", 15, "0E0E,Door3\n"));
    ASSERT_TRUE(sub.waitUntil(saying("\"applied\":{\"version\":15,"), kWaitMs));
    EXPECT_EQ(std::string::npos, lastApplied(sub.messages()).find("\"version\":20"));
    for (const std::string& line : link->lines()) {
        EXPECT_EQ(std::string::npos, line.find("larger than maxSetBytes")) << line;
    }
    EXPECT_NE(std::string::npos, u.list().find("in force: version 15"));
}

// A held write lock when the set comes: pending, said so, then applied
// once the lock is let go.
TEST_F(FleetCodes, PendingThenApplied) {
    std::string host = loopbackAddress(1);
    Unit u(host);
    MqttBroker broker(u.dir.path(), host, kPort, "allow_anonymous true\n");
    broker.start();
    MqttSubscriber sub(host, kPort, "dorvane/S1/U1/#", "center", false);
    ASSERT_EQ(0, u.codes({"add", "0000", "Door0", "--force"}).status);
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(u.dir.file("access.db").c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    auto link = startLink(u.linkConfig);
    auto applier = u.applier();
    u.publish(kSiteTopic, u.set("S1", "*", 7, "04A1,Door1\n"));
    ASSERT_TRUE(sub.waitUntil(saying("\"pending\":{\"version\":7,"), kWaitMs))
        << lastApplied(sub.messages());
    EXPECT_NE(std::string::npos, u.list().find("0000                 Door0"));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_TRUE(sub.waitUntil(saying("\"applied\":{\"version\":7,"), kWaitMs));
    EXPECT_NE(std::string::npos, lastApplied(sub.messages()).find("\"pending\":null"));
    EXPECT_NE(std::string::npos, u.list().find("04A1                 Door1"));
}

// The applier killed with SIGKILL at random moments of its work: the unit
// holds the old set or the new one, each with its own version, and a run
// to the end leaves the new one.
TEST_F(FleetCodes, ApplierKilledHoldsOldOrNew) {
    Unit u(loopbackAddress(1));
    mkdir(u.dir.file("state").c_str(), 0755);
    mkdir(u.dir.file("state/spool").c_str(), 0755);
    ASSERT_EQ(0, u.codes({"add", "0000", "Door0", "--force"}).status);
    std::mt19937 random(std::random_device{}());
    std::string csv;
    for (int i = 0; i < 20000; ++i) {
        csv += "K" + std::to_string(i) + ",Door1\n";
    }
    for (int version = 1; version <= 4; ++version) {
        SCOPED_TRACE(version);
        // Each version's set differs in its last reader, so the codes say
        // which set is in force.
        std::string file =
            u.set("S1", "*", version, csv + "LAST,V" + std::to_string(version) + "\n");
        std::string digest =
            runTool({"/usr/bin/sha256sum", u.dir.file("set.msg")}).out.substr(0, 16);
        std::string spooled =
            u.dir.file("state/spool/" + std::to_string(version) + "-" + digest + ".set");
        writeFile(spooled, readFile(file));
        for (int kill = 0; kill < 3; ++kill) {
            Process run({DORVANE_CTL_BIN, "--config", u.dir.file("dorvane.conf"), "codes",
                         "apply-signed", "--link-config", u.linkConfig});
            usleep(std::uniform_int_distribution<int>(0, 400000)(random));
            ::kill(run.pid(), SIGKILL);
            run.wait(10000);
            std::string listed = u.list();
            bool old = listed.find("in force: version " + std::to_string(version - 1)) !=
                           std::string::npos ||
                       (version == 1 && listed.find("in force: by hand") != std::string::npos);
            bool now =
                listed.find("in force: version " + std::to_string(version)) != std::string::npos;
            ASSERT_TRUE(old || now) << listed.substr(listed.size() > 200 ? listed.size() - 200 : 0);
            if (version > 1 || now) {
                std::string reader = "V" + std::to_string(now ? version : version - 1);
                EXPECT_NE(std::string::npos, listed.find("LAST                 " + reader));
            }
        }
        ToolRun done = u.codes({"apply-signed", "--link-config", u.linkConfig}, 60000);
        ASSERT_EQ(0, done.status) << done.err;
        EXPECT_NE(std::string::npos, u.list().find("in force: version " + std::to_string(version)));
    }
}

// What the link never leaves in the spool (a fifo, a symlink, a folder
// named as a set) is no set: said and removed, never pending for ever,
// and the set beside it is applied.
TEST_F(FleetCodes, SpoolJunkIsNoSetPending) {
    Unit u(loopbackAddress(1));
    const std::string spool = u.dir.file("state/spool/");
    mkdir(u.dir.file("state").c_str(), 0755);
    mkdir(spool.c_str(), 0755);
    std::string file = u.set("S1", "*", 3, "04A1,Door1\n");
    std::string digest = runTool({"/usr/bin/sha256sum", u.dir.file("set.msg")}).out.substr(0, 16);
    writeFile(spool + "3-" + digest + ".set", readFile(file));
    ASSERT_EQ(0, mkfifo((spool + "4-aaaaaaaaaaaaaaaa.set").c_str(), 0644));
    ASSERT_EQ(0, symlink(file.c_str(), (spool + "5-aaaaaaaaaaaaaaaa.set").c_str()));
    ASSERT_EQ(0, mkdir((spool + "6-aaaaaaaaaaaaaaaa.set").c_str(), 0755));
    ToolRun run = u.codes({"apply-signed", "--link-config", u.linkConfig});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, u.list().find("in force: version 3"));
    for (const char* junk : {"4", "5", "6"}) {
        std::string base = spool + junk + "-aaaaaaaaaaaaaaaa";
        EXPECT_NE(0, access((base + ".json").c_str(), F_OK)) << readFile(base + ".json");
        EXPECT_NE(0, access((base + ".set").c_str(), F_OK)) << junk;
        EXPECT_NE(std::string::npos,
                  run.err.find(base + ".set is not a file: no code set; removed"))
            << run.err;
    }
}

// While the real service scans at full rate, signed sets from the broker
// switch a code's reader back and forth: every scan finds the old reader or
// the new one, and none fails.
TEST_F(FleetCodes, AppliedUnderFullRateScans) {
    std::string host = loopbackAddress(1);
    Unit u(host);
    ServiceSite site;
    site.pairs({{"Door1", "RELAY_1", "LED_1"}, {"Door2", "RELAY_2", "LED_2"}});
    site.codes({{"C", "Door1"}, {"S", "Door1"}});
    site.start(
        "port 12 1 dout RELAY_1 clear\nport 12 2 dout LED_1 clear\n"
        "port 12 3 dout RELAY_2 clear\nport 12 4 dout LED_2 clear\n",
        "", "INFO");
    MqttBroker broker(u.dir.path(), host, kPort, "allow_anonymous true\n");
    broker.start();
    MqttSubscriber sub(host, kPort, kApplied, "center", false);
    auto link = startLink(u.linkConfig);
    Process applier({DORVANE_CTL_BIN, "--config", site.file("dorvane.conf"), "codes",
                     "apply-signed", "--watch", "--link-config", u.linkConfig},
                    site.file(""));
    // Scans go in batches faster than the service handles them, so that it
    // is busy scanning while each set is verified, built and renamed in.
    const int kSets = 8, kBatch = 200;
    std::string batch;
    for (int i = 0; i < kBatch; ++i) {
        batch += "scan 12 C\n";
    }
    for (int version = 1; version <= kSets; ++version) {
        site.sim().write(batch);
        std::string reader = version % 2 == 1 ? "Door2" : "Door1";
        u.publish(kUnitTopic, u.set("S1", "U1", version, "C," + reader + "\nS,Door1\n"));
        ASSERT_TRUE(sub.waitUntil(
            saying("\"applied\":{\"version\":" + std::to_string(version) + ","), kWaitMs))
            << lastApplied(sub.messages());
    }
    site.sim().write("scan 12 S\n");
    ASSERT_TRUE(site.waitLog("code=S ", "DorvaneAccess", kWaitMs));
    std::vector<std::string> trail = site.log("DorvaneAccess");
    // The reader found is what counts; a SET the loaded machine confirmed
    // late ("partly") is not the database's doing.
    size_t door1 = countContaining(trail, "code=C reader=Door1 result=");
    size_t door2 = countContaining(trail, "code=C reader=Door2 result=");
    EXPECT_EQ(size_t(kSets * kBatch), countContaining(trail, "code=C "));
    EXPECT_EQ(size_t(kSets * kBatch), door1 + door2);
    EXPECT_GT(door1, 0u);
    EXPECT_GT(door2, 0u);
    EXPECT_EQ(0u, countContaining(trail, "lookup-failed"));
}
