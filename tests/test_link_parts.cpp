// Parts of the link alone, without a broker: what a hostile broker's code
// set payloads cost it, and how its failures read.
#include <gtest/gtest.h>
#include <malloc.h>

#include <string>

#include "tests/test_util.h"
#include "tools/dorvane-mqtt/broker.h"
#include "tools/dorvane-mqtt/code_inbox.h"

namespace {

// A broker that sends ever new junk on a code topic: each payload is
// refused (and said), and the link's memory stays as it was.
TEST(CodeInbox, EndlessNewRefusalsKeepMemoryBounded) {
    cVlog::setRootPriority(cVlog::ERROR);  // not the 20 000 lines themselves
    testutil::TempDir dir;
    mqttlink::LinkConfig config;
    config.site = "S1";
    config.unit = "U1";
    config.codesKeys = dir.file("keys");
    config.stateDir = dir.file("state");
    ASSERT_EQ(0, mkdir(config.codesKeys.c_str(), 0755));
    cVlog log("DorvaneMqtt");
    mqttlink::cCodeInbox inbox(config, log);
    ASSERT_TRUE(inbox.prepare());
    auto junk = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            std::string payload = "not a code set " + std::to_string(i);
            inbox.receive(payload.data(), payload.size());
        }
    };
    junk(0, 1000);
    size_t before = mallinfo2().uordblks;
    junk(1000, 21000);
    size_t after = mallinfo2().uordblks;
    EXPECT_LT(after, before + 256 * 1024) << "grew by " << after - before << " bytes";
    EXPECT_TRUE(inbox.refresh());
    EXPECT_NE(std::string::npos, inbox.appliedMessage().find("not a signed code set"))
        << inbox.appliedMessage();
}

// The spool's outcomes are read again only once a change could not share
// the change time last seen: also when the clock is behind it (a unit
// without a real-time clock), where they were read four times a second.
TEST(CodeInbox, SpoolStampSettledEitherSideOfTheClock) {
    struct {
        time_t changed, clock;
        bool settled;
    } cases[] = {{100, 102, true}, {100, 101, false}, {100, 100, false},
                 {100, 99, false}, {100, 98, true},   {1800000000, 1000, true}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.settled, mqttlink::stampSettled({c.changed, 500}, {c.clock, 0}))
            << c.changed << " " << c.clock;
    }
}

// Every way a connection can end reads as what happened: a broker that
// stops answering (a half-open connection) is not an "Unknown error."
TEST(BrokerText, EveryFailureSaysWhatHappened) {
    for (int rc = MOSQ_ERR_NOMEM; rc <= MOSQ_ERR_TOPIC_ALIAS_INVALID; ++rc) {
        std::string text = mqttlink::mqttErrorText(rc);
        EXPECT_FALSE(text.empty()) << rc;
        EXPECT_EQ(std::string::npos, text.find("Unknown error")) << rc;
    }
    EXPECT_NE(std::string::npos, mqttlink::mqttErrorText(MOSQ_ERR_KEEPALIVE).find("keep-alive"));
    // A connection that ends, the link's and the center tools' alike: the
    // socket's own error below 0x80 (was "Unknown reason" in the tools), the
    // broker's reason from 0x80.
    EXPECT_EQ("The connection was lost.", mqttlink::disconnectText(MOSQ_ERR_CONN_LOST));
    EXPECT_EQ("Not authorized (0x87)", mqttlink::disconnectText(0x87));
    EXPECT_EQ("disconnected", mqttlink::disconnectText(0));
}

}  // namespace
