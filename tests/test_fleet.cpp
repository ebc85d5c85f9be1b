// The fleet link against a real mosquitto broker on the test's own loopback
// address: what it guarantees, end to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>

#include "tests/fleet_support.h"
#include "tests/support/loopback.h"
#include "tests/test_util.h"

using namespace testutil;

namespace {

constexpr int kPort = 1883;  // on the test's own address, never 127.0.0.1
constexpr int kWaitMs = 60000;
const char* const kStart = "0123456789abcdef";
const char* const kEvents = "dorvane/S1/U1/events";

// The ids of the events received on the events topic, in order.
std::vector<std::string> eventIds(const std::vector<MqttMessage>& messages) {
    std::vector<std::string> ids;
    for (const MqttMessage& m : messages) {
        if (m.topic == kEvents) {
            ids.push_back(jsonMember(m.payload, "id"));
        }
    }
    return ids;
}

// Every id of numbers 1..last (but skip) received, whatever the duplicates.
bool allArrived(const std::vector<MqttMessage>& messages, uint64_t last,
                const std::set<uint64_t>& skip = {}) {
    std::set<std::string> seen;
    for (const std::string& id : eventIds(messages)) {
        seen.insert(id);
    }
    for (uint64_t n = 1; n <= last; ++n) {
        if (skip.count(n) == 0 && seen.count(std::string(kStart) + "-" + std::to_string(n)) == 0) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> containing(const std::vector<std::string>& lines,
                                    const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        if (line.find(text) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

// The times (the broker's clock, whole seconds) at which the link connected,
// from the broker's log.
std::vector<long> linkConnections(const std::vector<std::string>& brokerLines) {
    std::vector<long> times;
    for (const std::string& line : containing(brokerLines, "New client connected")) {
        if (line.find(" as dorvane-S1-U1 ") != std::string::npos) {
            times.push_back(std::atol(line.c_str()));
        }
    }
    return times;
}

// The link's warnings said more than once (each kind of failure is said once
// until the link works again), one a line.
std::string repeatedWarnings(const std::vector<std::string>& lines) {
    std::map<std::string, int> said;
    std::string repeated;
    for (const std::string& line : lines) {
        size_t warn = line.find(" WARN ");
        if (warn != std::string::npos && ++said[line.substr(warn)] == 2) {
            repeated += line.substr(warn) + "\n";
        }
    }
    return repeated;
}

void killLink(std::unique_ptr<Process>& link) {
    kill(link->pid(), SIGKILL);
    link->wait(10000);
    link.reset();
}

}  // namespace

// A flood reaches the broker complete and in order (first arrivals), each
// event at least once, while the broker is stopped and started several
// times and the link is killed with SIGKILL at random moments; closed files
// go once acknowledged.
TEST(FleetLink, FloodArrivesCompleteAndInOrderThroughRestartsAndKills) {
    TempDir dir;
    std::string host = loopbackAddress(1);
    MqttBroker broker(dir.path(), host, kPort, "allow_anonymous true\n");
    broker.start();
    MqttSubscriber sub(host, kPort, kEvents, "center", true);
    std::string config = writeLinkConfig(dir.path(), host, kPort, "");
    OutboxWriter out(dir.file("outbox"), kStart);
    auto link = startLink(config);

    const uint64_t total = 6000;

    std::mt19937 random(static_cast<unsigned>(getpid()));
    std::thread writer([&] {
        for (uint64_t n = 1; n <= total; ++n) {
            out.access();
            if (n % 250 == 0) {
                out.close();
            }
            if (n % 50 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            }
        }
    });
    for (int round = 0; round < 4; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 400));
        killLink(link);
        link = startLink(config);
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 400));
        broker.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
        broker.start();
    }
    writer.join();
    bool all = sub.waitUntil([&](const auto& m) { return allArrived(m, total); }, kWaitMs);
    if (!all) {
        std::set<std::string> seen;
        for (const std::string& id : eventIds(sub.messages())) {
            seen.insert(id);
        }
        for (uint64_t n = 1; n <= total; ++n) {
            if (seen.count(std::string(kStart) + "-" + std::to_string(n)) == 0) {
                std::cout << "missing " << n << std::endl;
            }
        }
    }
    ASSERT_TRUE(all);

    std::vector<std::string> ids = eventIds(sub.messages());
    std::set<std::string> seen;
    uint64_t previous = 0, duplicates = 0;
    for (const std::string& id : ids) {
        if (!seen.insert(id).second) {
            ++duplicates;
            continue;
        }
        uint64_t number = std::stoull(id.substr(17));
        EXPECT_EQ(number, previous + 1) << "first arrivals out of order at " << id;
        previous = number;
    }
    EXPECT_EQ(seen.size(), total);
    std::cout << "events " << total << ", arrivals " << ids.size() << ", duplicates " << duplicates
              << std::endl;
    // Everything is acknowledged: no closed file stays.
    for (int i = 0; i < 100 && !out.closedFiles().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(out.closedFiles().empty());
}

// A topic the broker's access control refuses. Debian 12's mosquitto with
// its default queue limit answers the publish with PUBACK 0x87; without a
// queue limit (as "nothing lost" wants it) it also closes the connection,
// and the PUBACK is mostly lost with it. Either way the events stay in the
// outbox, the link says once that the broker refused them and once each
// kind of failure (though it tries again and again), the tries back off,
// and the events arrive once the broker takes them.
TEST(FleetLink, RefusedTopicKeepsTheEventsAndSaysSo) {
    const struct {
        const char* name;
        const char* queue;  // the broker's queue limit
        bool dropped;       // the broker closes the connection
    } cases[] = {
        {"no queue limit", "", true},
        {"the default queue limit", "max_queued_messages 1000\n", false},
    };
    unsigned address = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string host = loopbackAddress(address++);
        writeFile(dir.file("acl"), "topic write dorvane/+/+/status\ntopic read #\n");
        MqttBroker broker(dir.path(), host, kPort,
                          "allow_anonymous true\nacl_file " + dir.file("acl") + "\n" + c.queue);
        broker.start();
        MqttSubscriber sub(host, kPort, "dorvane/#", "center", true);
        OutboxWriter out(dir.file("outbox"), kStart);
        std::string config = writeLinkConfig(dir.path(), host, kPort, "");
        for (int i = 0; i < 5; ++i) {
            out.access();
        }
        out.close();
        auto link = startLink(config);
        ASSERT_GE(link->waitFor("the broker refused", 20000), 0);
        if (c.dropped) {
            // Tries at 0, 1, 3 and 7 s: a connection dropped at once does
            // not start the back-off again (the broker logs whole seconds).
            std::vector<long> tries;
            for (int i = 0; i < 300 && tries.size() < 4; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                tries = linkConnections(broker.lines());
            }
            ASSERT_GE(tries.size(), 4U);
            EXPECT_GE(tries[3] - tries[2], 3);
        } else {
            // Three more tries (1 s, 2 s of back-off) say nothing more.
            std::this_thread::sleep_for(std::chrono::seconds(4));
        }
        std::vector<std::string> lines = link->lines();
        std::vector<std::string> refused = containing(lines, "the broker refused");
        // The PUBACK's reason when it came, else the closed connection:
        // each said once.
        ASSERT_LE(refused.size(), c.dropped ? 2U : 1U);
        EXPECT_NE(refused[0].find(" event " + out.id(1) + " on " + kEvents + ": "),
                  std::string::npos);
        size_t puback = countContaining(lines, "Not authorized (0x87)");
        size_t closed = countContaining(lines, "its access control may refuse the topic");
        EXPECT_EQ(puback + closed, refused.size());
        if (!c.dropped) {
            EXPECT_EQ(puback, 1U);
        }
        EXPECT_EQ(repeatedWarnings(lines), "");
        EXPECT_EQ(countContaining(lines, "INFO DorvaneMqtt: connected to "), 1U);
        EXPECT_EQ(out.closedFiles().size(), 1U);
        EXPECT_TRUE(eventIds(sub.messages()).empty());

        writeFile(dir.file("acl"), "topic readwrite #\n");
        size_t mark = link->lineCount();
        broker.stop();
        broker.start();
        EXPECT_GE(link->waitFor("the broker takes events again", kWaitMs, mark), 0);
        EXPECT_GE(link->waitFor("works again", kWaitMs, mark), 0);
        // Every event acknowledged: the closed file goes.
        for (int i = 0; i < 100 && !out.closedFiles().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(out.closedFiles().empty());
        EXPECT_TRUE(sub.waitUntil([&](const auto& m) { return allArrived(m, 5); }, kWaitMs));
    }
}

// An outbox that overflowed while the link was away: the service dropped a
// file and wrote a `lost` event for it; the link says only what it had not
// published (exact ids and count), then everything after arrives, and
// damaged lines in a row are skipped and reported as one lost event.
TEST(FleetLink, OverflowAndDamagedLinesYieldExactLostEvents) {
    TempDir dir;
    std::string host = loopbackAddress(1);
    MqttBroker broker(dir.path(), host, kPort, "allow_anonymous true\n");
    broker.start();
    MqttSubscriber sub(host, kPort, kEvents, "center", true);
    OutboxWriter out(dir.file("outbox"), kStart);
    std::string config = writeLinkConfig(dir.path(), host, kPort, "");
    auto link = startLink(config);
    for (int i = 0; i < 5; ++i) {
        out.access();  // 1..5: published and acknowledged
    }
    ASSERT_TRUE(sub.waitUntil([&](const auto& m) { return allArrived(m, 5); }, kWaitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the cursor is saved
    killLink(link);
    for (int i = 0; i < 5; ++i) {
        out.access();  // 6..10, in the same file as 1..5
    }
    out.close();  // closed-1: 1..10
    for (int i = 0; i < 10; ++i) {
        out.access();  // 11..20
    }
    out.close();  // closed-2
    std::string firstFile = out.closedFiles().front();
    ASSERT_EQ(unlink(dir.file("outbox/" + firstFile).c_str()), 0);  // the bound
    std::string lostId = out.lost("overflow", 1, 10, 10);           // 21
    out.raw("{\"v\":1,\"type\":\"access\",\"id\":\"cut short");     // a power loss
    out.raw("\n\n{\"v\":2}\n");  // and two more damaged lines: one lost event of 3
    out.access();                // 22
    link = startLink(config);
    ASSERT_TRUE(sub.waitUntil(
        [&](const auto& m) {
            return allArrived(m, 22, {6, 7, 8, 9, 10, 21});
        },
        kWaitMs));
    std::vector<MqttMessage> received = onTopic(sub.messages(), kEvents);
    auto lostOf = [](const std::vector<MqttMessage>& events) {
        std::vector<std::string> found;
        for (const MqttMessage& m : events) {
            if (jsonMember(m.payload, "type") == "lost") {
                found.push_back(m.payload);
            }
        }
        return found;
    };
    std::vector<std::string> lost = lostOf(received);
    ASSERT_EQ(lost.size(), 2U);
    EXPECT_EQ(jsonMember(lost[0], "reason"), "overflow");
    EXPECT_EQ(jsonMember(lost[0], "count"), "5");
    EXPECT_EQ(jsonMember(lost[0], "first"), out.id(6));
    EXPECT_EQ(jsonMember(lost[0], "last"), out.id(10));
    EXPECT_EQ(jsonMember(lost[0], "id").compare(0, 5, "link-"), 0);
    EXPECT_EQ(jsonMember(lost[1], "reason"), "damaged");
    EXPECT_EQ(jsonMember(lost[1], "count"), "3");
    EXPECT_NE(lost[1].find("\"first\":null,\"last\":null"), std::string::npos);
    EXPECT_EQ(countContaining(link->lines(), "damaged line"), 1U);
    // In order: 20, the overflow, the damaged line, 22.
    std::vector<std::string> ids = eventIds(received);
    auto at = [&](const std::string& id) {
        return std::find(ids.begin(), ids.end(), id) - ids.begin();
    };
    EXPECT_LT(at(out.id(20)), at(jsonMember(lost[0], "id")));
    EXPECT_LT(at(jsonMember(lost[1], "id")), at(out.id(22)));

    // The service repeats the `lost` lines of a file it dropped: a repeat of
    // one published is skipped, one never published goes out without "of".
    out.lost("overflow", 1, 10, 10, lostId);                  // 23
    out.lost("unwritable", 30, 31, 2, "fedcba9876543210-3");  // 24
    out.access();                                             // 25
    ASSERT_TRUE(sub.waitUntil(
        [&](const auto& m) {
            return allArrived(m, 25, {6, 7, 8, 9, 10, 21, 23, 24});
        },
        kWaitMs));
    lost = lostOf(onTopic(sub.messages(), kEvents));
    ASSERT_EQ(lost.size(), 3U);
    EXPECT_EQ(jsonMember(lost[2], "reason"), "unwritable");
    EXPECT_EQ(jsonMember(lost[2], "count"), "2");
    EXPECT_EQ(lost[2].find("\"of\""), std::string::npos);

    // A damaged line the last acknowledged, then a stop: the next start
    // goes on after it, and does not report it again.
    out.raw("{\"v\":1,\"type\"\n");
    ASSERT_TRUE(sub.waitUntil(
        [&](const auto& m) { return lostOf(onTopic(m, kEvents)).size() == 4; }, kWaitMs));
    link->stop();
    link = startLink(config);
    out.access();  // 26
    ASSERT_TRUE(sub.waitUntil(
        [&](const auto& m) {
            return allArrived(m, 26, {6, 7, 8, 9, 10, 21, 23, 24});
        },
        kWaitMs));
    EXPECT_EQ(lostOf(onTopic(sub.messages(), kEvents)).size(), 4U);
    EXPECT_EQ(countContaining(link->lines(), "damaged line"), 0U);
}
