// The fleet link with the service's own outbox writer (voutbox::cOutbox)
// overflowing while the broker is down and the link is killed: every access
// event either arrives or is counted, exactly once, by a `lost` event.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <map>
#include <set>

#include "tests/fleet_support.h"
#include "tests/support/loopback.h"
#include "tests/test_util.h"
#include "voutbox/cOutbox.h"

using namespace testutil;

namespace {

constexpr int kPort = 1883;
constexpr int kWaitMs = 60000;
const char* const kEvents = "dorvane/S1/U1/events";

}  // namespace

TEST(FleetLink, RealWriterOverflowCountsEveryEventNotDelivered) {
    TempDir dir;
    std::string host = loopbackAddress(1);
    MqttBroker broker(dir.path(), host, kPort, "allow_anonymous true\n");
    broker.start();
    MqttSubscriber sub(host, kPort, kEvents, "center", true);
    std::string config = writeLinkConfig(dir.path(), host, kPort, "");
    voutbox::cOutbox writer(dir.file("outbox"), voutbox::kMinLimit);
    ASSERT_TRUE(writer.open());
    std::vector<std::string> access;
    auto append = [&](int n) {
        for (int i = 0; i < n; ++i) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::string id;
            ASSERT_TRUE(writer.append("access",
                                      ",\"seq\":1,\"serial\":12,\"code\":\"04A1\",\"reader\":"
                                      "\"Door1\",\"result\":\"toggled\",\"outputs\":[]",
                                      now, &id));
            access.push_back(id);
        }
    };
    auto link = startLink(config);
    append(50);
    auto arrived = [&](const std::string& id) {
        return [id](const std::vector<MqttMessage>& m) {
            for (const MqttMessage& message : m) {
                if (jsonMember(message.payload, "id") == id) {
                    return true;
                }
            }
            return false;
        };
    };
    ASSERT_TRUE(sub.waitUntil(arrived(access.back()), kWaitMs));
    // The link knows the broker took them (a PUBACK lost with the broker
    // would leave them unacknowledged: counted lost, though delivered).
    std::string cursor = dir.file("state/cursor");
    for (int i = 0; i < 200 && readFile(cursor).find("id " + access.back()) == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    broker.stop();
    append(400);  // far past the 64 KiB bound: the oldest files go
    kill(link->pid(), SIGKILL);
    link->wait(10000);
    link = startLink(config);
    append(400);
    broker.start();
    ASSERT_TRUE(sub.waitUntil(arrived(access.back()), kWaitMs));

    std::set<uint64_t> delivered;
    std::map<std::string, std::string> lost;  // by the link's id: duplicates count once
    for (const MqttMessage& m : sub.messages()) {
        if (jsonMember(m.payload, "type") == "lost") {
            lost[jsonMember(m.payload, "id")] = m.payload;
        } else {
            delivered.insert(testutil::idNumber(jsonMember(m.payload, "id")));
        }
    }
    ASSERT_FALSE(lost.empty());
    uint64_t counted = 0;
    std::map<uint64_t, int> coveredBy;
    for (const auto& entry : lost) {
        const std::string& payload = entry.second;
        EXPECT_EQ(jsonMember(payload, "reason"), "overflow") << payload;
        counted += std::stoull(jsonMember(payload, "count"));
        uint64_t first = testutil::idNumber(jsonMember(payload, "first"));
        uint64_t last = testutil::idNumber(jsonMember(payload, "last"));
        for (uint64_t n = first; n <= last; ++n) {
            ++coveredBy[n];
        }
    }
    uint64_t missing = 0;
    for (const std::string& id : access) {
        uint64_t n = testutil::idNumber(id);
        bool got = delivered.count(n) != 0;
        int told = coveredBy.count(n) != 0 ? coveredBy[n] : 0;
        EXPECT_TRUE(got != (told == 1)) << id << " delivered " << got << ", told lost " << told;
        missing += got ? 0 : 1;
    }
    EXPECT_EQ(counted, missing);
    std::cout << access.size() << " events, " << missing << " lost in " << lost.size()
              << " lost events" << std::endl;
}
