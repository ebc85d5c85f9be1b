// The client's socketless parts, fed messages directly: which request a
// reply answers and which sequence numbers are free (cReplyMatch), and the
// bounded queue for the listeners (cBacklog).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ulxobj/Backlog.h"
#include "ulxobj/ObjectCodec.h"
#include "ulxobj/ReplyMatch.h"
#include "vmsg/VWire.h"

using ulxobj::cBacklog;
using ulxobj::cReplyMatch;
using Clock = std::chrono::steady_clock;

namespace {

cReplyMatch::Pending request(uint8_t msgId, unsigned connection) {
    return cReplyMatch::Pending{0, msgId, connection, false, nullptr, false};
}

// A message of id and seq; an ERR names refusedId (-1: none), after the
// first object when late.
std::unique_ptr<VMsg> message(uint8_t id, uint8_t seq, int refusedId = -1, bool late = false) {
    std::unique_ptr<VMsg> msg(new VMsg(id, seq));
    if (late) {
        msg->addTag(new VTagUInt8(ulxobj::TAG_EVT_OBJTYPE, cObject::OBJ_PORT_DOUT));
    }
    if (refusedId >= 0) {
        msg->addTag(new VTagUInt8(ulxobj::TAG_ERR_MSGID, static_cast<uint8_t>(refusedId)));
    }
    return msg;
}

}  // namespace

TEST(ReplyMatch, ReplyClaimedOnlyByItsRequest) {
    const uint8_t get = vmsg::MSG_GET, set = vmsg::MSG_SET;
    struct Case {
        const char* what;
        uint8_t id;
        int seqOffset;
        unsigned connection;
        int refusedId;
        bool late;
        bool claimed;
    } cases[] = {
        {"its reply", get, 0, 1, -1, false, true},
        {"its reply on another connection", get, 0, 2, -1, false, false},
        {"another number", get, 1, 1, -1, false, false},
        {"another kind", set, 0, 1, -1, false, false},
        {"an event of its number", vmsg::MSG_EVT, 0, 1, -1, false, false},
        {"an ERR naming it", vmsg::MSG_ERR, 0, 1, get, false, true},
        {"an ERR naming another kind", vmsg::MSG_ERR, 0, 1, set, false, false},
        {"an ERR naming nothing", vmsg::MSG_ERR, 0, 1, -1, false, false},
        {"an ERR whose id is an object's", vmsg::MSG_ERR, 0, 1, get, true, false},
    };
    for (const Case& c : cases) {
        cReplyMatch match;
        cReplyMatch::Pending other = request(set, 1);
        cReplyMatch::Pending asked = request(get, 1);
        ASSERT_TRUE(match.enter(&other, Clock::now()));
        ASSERT_TRUE(match.enter(&asked, Clock::now()));
        auto msg =
            message(c.id, static_cast<uint8_t>(asked.seq + c.seqOffset), c.refusedId, c.late);
        EXPECT_EQ(c.claimed ? &asked : nullptr, match.claimant(*msg, c.connection)) << c.what;
        asked.done = true;  // answered: a second reply finds no claimant
        EXPECT_EQ(nullptr, match.claimant(*msg, c.connection)) << c.what;
    }
}

TEST(ReplyMatch, NumbersOfWaitingAndTimedOutRequestsAreNotGivenAgain) {
    cReplyMatch match;
    auto now = Clock::now();
    std::vector<cReplyMatch::Pending> all(257, request(vmsg::MSG_GET, 1));
    for (int i = 0; i < 256; ++i) {
        ASSERT_TRUE(match.enter(&all[i], now));
    }
    EXPECT_FALSE(match.enter(&all[256], now)) << "every number waits for a reply";

    // One timed out and is held back: not given until its hold ends.
    uint8_t held = all[7].seq;
    match.leave(&all[7], now + std::chrono::seconds(60));
    EXPECT_FALSE(match.enter(&all[256], now + std::chrono::seconds(59)));
    ASSERT_TRUE(match.enter(&all[256], now + std::chrono::seconds(61)));
    EXPECT_EQ(held, all[256].seq);

    // One answered leaves without a hold: its number is free at once.
    auto later = now + std::chrono::seconds(61);
    match.leave(&all[256]);
    ASSERT_TRUE(match.enter(&all[256], later));
    EXPECT_EQ(held, all[256].seq);

    // A new connection frees what was held on the one before.
    match.leave(&all[256], later + std::chrono::seconds(60));
    match.newConnection();
    ASSERT_TRUE(match.enter(&all[256], later));
    EXPECT_EQ(held, all[256].seq);
}

TEST(ReplyMatch, LostConnectionEndsOnlyItsOwnRequests) {
    cReplyMatch match;
    cReplyMatch::Pending first = request(vmsg::MSG_GET, 1), second = request(vmsg::MSG_GET, 2);
    ASSERT_TRUE(match.enter(&first, Clock::now()));
    ASSERT_TRUE(match.enter(&second, Clock::now()));
    match.loseConnection(1);
    EXPECT_TRUE(first.done && first.lost);
    EXPECT_FALSE(second.done || second.lost);
    EXPECT_EQ(&second, match.claimant(*message(vmsg::MSG_GET, second.seq), 2));
}

namespace {

// What the reader takes out of backlog until it is empty: each message's
// first byte and size, with its read time.
struct Taken {
    std::vector<std::pair<uint8_t, size_t>> messages;
    std::vector<Clock::time_point> readAt;
    int trims = 0;
};

void drain(cBacklog& backlog, cBacklog::Chunk& chunk, Taken* taken) {
    for (;;) {
        taken->trims += backlog.settle(chunk) ? 1 : 0;
        cBacklog::Message msg;
        if (!cBacklog::next(chunk, &msg) &&
            !(backlog.refill(chunk) && cBacklog::next(chunk, &msg))) {
            return;
        }
        taken->messages.emplace_back(msg.wire[0], msg.size);
        taken->readAt.push_back(msg.readAt);
    }
}

}  // namespace

TEST(Backlog, MessagesComeOutWholeInOrderWithTheirReadTimes) {
    cBacklog backlog(1u << 20);
    cBacklog::Chunk chunk;
    const size_t sizes[] = {1, 100, cBacklog::kChunk, 7, cBacklog::kChunk + 5, 3, 2000};
    std::vector<std::pair<uint8_t, size_t>> pushed;
    std::vector<Clock::time_point> times;
    auto t0 = Clock::now();
    for (int round = 0; round < 3; ++round) {  // buffers reused after the first round
        for (size_t size : sizes) {
            auto tag = static_cast<uint8_t>(pushed.size());
            std::vector<uint8_t> bytes(size, tag);
            times.push_back(t0 + std::chrono::microseconds(pushed.size()));
            ASSERT_TRUE(backlog.push(bytes.data(), size, times.back()));
            pushed.emplace_back(tag, size);
        }
        Taken taken;
        drain(backlog, chunk, &taken);
        std::vector<std::pair<uint8_t, size_t>> expected(pushed.end() - 7, pushed.end());
        EXPECT_EQ(expected, taken.messages);
        EXPECT_EQ(std::vector<Clock::time_point>(times.end() - 7, times.end()), taken.readAt);
        EXPECT_EQ(0u, backlog.bytes());
    }
}

TEST(Backlog, BoundCountsWhatTheReaderHoldsAndRefusesWhatWouldPassIt) {
    std::vector<uint8_t> bytes(400, 1);
    cBacklog backlog(1000);
    cBacklog::Chunk chunk;
    ASSERT_TRUE(backlog.push(bytes.data(), 400, Clock::now()));
    ASSERT_TRUE(backlog.push(bytes.data(), 400, Clock::now()));
    EXPECT_FALSE(backlog.push(bytes.data(), 201, Clock::now())) << "1001 bytes";
    ASSERT_TRUE(backlog.push(bytes.data(), 200, Clock::now())) << "exactly the bound";
    EXPECT_EQ(1000u, backlog.bytes());

    // Taken by the reader, the messages still count until it gives them back.
    ASSERT_TRUE(backlog.refill(chunk));
    cBacklog::Message msg;
    ASSERT_TRUE(cBacklog::next(chunk, &msg));
    EXPECT_FALSE(backlog.push(bytes.data(), 1, Clock::now()));
    backlog.settle(chunk);
    EXPECT_EQ(600u, backlog.bytes());
    EXPECT_TRUE(backlog.push(bytes.data(), 400, Clock::now()));
}

TEST(Backlog, DiscardDropsTheQueueAndWhatTheReaderHolds) {
    std::vector<uint8_t> old(10, 1), fresh(10, 2);
    cBacklog backlog(1000);
    cBacklog::Chunk chunk;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(backlog.push(old.data(), old.size(), Clock::now()));
    }
    ASSERT_TRUE(backlog.refill(chunk));
    cBacklog::Message msg;
    ASSERT_TRUE(cBacklog::next(chunk, &msg));  // the reader handles the first
    backlog.discard();
    EXPECT_EQ(0u, backlog.bytes());
    ASSERT_TRUE(backlog.push(fresh.data(), fresh.size(), Clock::now()));
    Taken taken;
    drain(backlog, chunk, &taken);
    EXPECT_EQ((std::vector<std::pair<uint8_t, size_t>>{{2, 10}}), taken.messages);
    EXPECT_EQ(0u, backlog.bytes());
}

TEST(Backlog, FloodSaysOnceWhenItHasDrained) {
    std::vector<uint8_t> bytes(1000, 3);
    cBacklog backlog(1u << 20);
    cBacklog::Chunk chunk;
    struct Case {
        size_t messages;
        int trims;
    } cases[] = {{10, 0}, {cBacklog::kTrim / 1000 + 1, 1}, {10, 0}};
    for (const Case& c : cases) {
        for (size_t i = 0; i < c.messages; ++i) {
            ASSERT_TRUE(backlog.push(bytes.data(), bytes.size(), Clock::now()));
        }
        Taken taken;
        drain(backlog, chunk, &taken);
        EXPECT_EQ(c.messages, taken.messages.size());
        EXPECT_EQ(c.trims, taken.trims) << c.messages << " messages";
    }
}
