#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "tests/service_site.h"
#include "ulxobj/ObjectCodec.h"
#include "ulxobj/cObjectClient.h"
#include "vmsg/VWire.h"

using testutil::FakeDaemon;

namespace {

// Records what the client delivers, and on which thread.
class Recorder : public cObjectListener {
public:
    void handleObjectAction(cObjectList* rx) override {
        if (onMessage) {
            onMessage(rx);
        }
        std::lock_guard<std::mutex> lock(mutex);
        types.push_back(rx->getMsgType());
        seqs.push_back(rx->getMsgSeq());
        threads.push_back(std::this_thread::get_id());
        if (rx->size() > 0) {
            if (auto* a = dynamic_cast<cObjectAccess*>(rx->at(0))) {
                codes.push_back(a->getScanCode());
            }
        }
        cond.notify_all();
    }
    bool waitCount(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return types.size() >= n; });
    }
    std::function<void(cObjectList*)> onMessage;
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<int> types;
    std::vector<int> seqs;
    std::vector<std::thread::id> threads;
    std::vector<std::string> codes;
};

VMsg* scanMsg(uint8_t seq, const char* code) {
    VMsg* msg = new VMsg(vmsg::MSG_EVT, seq);
    cObjectAccess a;
    a.setDeviceSerial(12);
    a.setScanCode(code);
    ulxobj::appendObject(*msg, a);
    return msg;
}

// Replies to request with the given objects, under the request's id and seq.
void reply(FakeDaemon& d, const VMsg& request, const std::vector<cObject*>& objects, int id = -1) {
    cObjectList list;
    for (cObject* o : objects) {
        list.add(o);
    }
    std::unique_ptr<VMsg> msg(ulxobj::toMessage(
        list, id < 0 ? request.mMsgID : static_cast<uint8_t>(id), request.mMsgSeq));
    d.send(*msg);
}

// A client with rec as its listener and daemon as its peer on the process's
// own loopback address; a lost connection is made again within 100 ms.
struct Linked {
    Linked() : client(quick()) {}
    static vutil::Timings quick() {
        vutil::Timings t;
        t.reconnect = std::chrono::milliseconds(100);
        return t;
    }
    // Starts the client and accepts its connection.
    bool connect() {
        client.addListener(&rec);
        return client.start(testutil::loopbackAddress().c_str(), 60000) && daemon.accept();
    }

    FakeDaemon daemon;
    Recorder rec;
    cObjectClient client;
};

// A request of about 1 MB: 16 outputs with labels of 60,000 bytes. Six of
// them at once are more than the socket buffers of loopback hold.
struct BigRequest {
    BigRequest() {
        for (int i = 0; i < 16; ++i) {
            ports.emplace_back(new cObjectDOutput());
            ports.back()->setPortLabel(std::string(60000, 'x').c_str());
            list.add(ports.back().get());
        }
    }
    cObjectList list;
    std::vector<std::unique_ptr<cObjectDOutput>> ports;
};

TEST(Client, AgainstTheSimulator) {
    testutil::ServiceSite site;
    ASSERT_TRUE(
        site.startSim("port 12 1 dout RELAY_1 set\n"
                      "port 12 2 ain TEMP\n"
                      "port 12 3 dout \"LED 1\" clear\n"));
    cObjectClient client;
    ASSERT_TRUE(client.start(site.address().c_str(), 60000));

    // The port list.
    cObjectPort query;
    query.setPortType(cObjectPort::PORT_TYPE_DISCRETE_OUT);
    cObjectList tx;
    tx.add(&query);
    cObjectList* rx = client.get(&tx);
    ASSERT_NE(nullptr, rx);
    ASSERT_EQ(3u, rx->size());
    EXPECT_NE(nullptr, dynamic_cast<cObjectDOutput*>(rx->at(0)));
    EXPECT_EQ(cObject::OBJ_PORT_AIN, rx->at(1)->getType());
    EXPECT_STREQ("LED 1", dynamic_cast<cObjectPort*>(rx->at(2))->getPortLabel());
    rx->deleteObjects();
    delete rx;

    // A per-port get, a set and its reply.
    cObjectDOutput op;
    op.setDeviceSerial(12);
    op.setPortId(1);
    cObject* got = client.get(&op);
    auto* out = dynamic_cast<cObjectDOutput*>(got);
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(cObject::OBJ_IO_STATE_SET, out->getOutputState());
    EXPECT_STREQ("RELAY_1", out->getPortLabel());
    out->setOutputState(cObject::OBJ_IO_STATE_CLEAR);
    EXPECT_EQ(0, client.set(out));
    EXPECT_GE(site.sim().waitFor("SET serial=12 port=1 label=RELAY_1 state=clear"), 0);
    delete got;

    // ERR gives null, or a negative result.
    cObjectDOutput unknown;
    unknown.setDeviceSerial(12);
    unknown.setPortId(99);
    EXPECT_EQ(nullptr, client.get(&unknown));
    EXPECT_LT(client.set(&unknown), 0);
    cObjectDOutput badState;
    badState.setDeviceSerial(12);
    badState.setPortId(3);  // state unknown: neither set nor clear
    EXPECT_LT(client.set(&badState), 0);
}

TEST(Client, NoReplyGivesNullAfterTheTimeout) {
    FakeDaemon daemon;
    vutil::Timings timings;
    timings.replyTimeout = std::chrono::milliseconds(300);
    cObjectClient client(timings);
    ASSERT_TRUE(client.start(testutil::loopbackAddress().c_str(), 60000));
    ASSERT_TRUE(daemon.accept());
    cObjectDOutput op;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nullptr, client.get(&op));
    EXPECT_GE(std::chrono::steady_clock::now() - start, timings.replyTimeout);
    ASSERT_NE(nullptr, daemon.read());  // the request was sent
    // A late reply is a message no request claims: it reaches the listener.
}

// One deadline for the send and the reply: a daemon that takes large
// requests slowly (about 3 s for all) and then never answers leaves each
// reply only what is left of its request's deadline, not a fresh one.
TEST(Client, OneDeadlineForTheSendAndTheReply) {
    FakeDaemon daemon;
    daemon.setReceiveBuffer(4096);
    cObjectClient client;
    ASSERT_TRUE(client.start(testutil::loopbackAddress().c_str(), 60000));
    ASSERT_TRUE(daemon.accept());
    BigRequest big;
    // Six GETs of about 1 MB at once: more than the socket buffers hold, so
    // that the last send ends only when the daemon has taken most of them.
    const size_t kAskers = 6;
    std::vector<long> waited(kAskers);
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> askers;
    for (size_t i = 0; i < kAskers; ++i) {
        askers.emplace_back([&, i] {
            EXPECT_EQ(nullptr, client.get(&big.list));
            waited[i] = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count());
        });
    }
    daemon.drainSlowly(kAskers * 960000, 65536, 2);
    for (std::thread& asker : askers) {
        asker.join();
    }
    // The last sends end after about 1.5 s: a fresh deadline for their
    // replies would end after about 3.5 s. The margin is for a loaded machine.
    EXPECT_LT(*std::max_element(waited.begin(), waited.end()),
              static_cast<long>(vutil::Timings().replyTimeout.count()) + 1000)
        << "a reply waited for a deadline of its own";
}

TEST(Client, EventsFlowOnTheEventThreadWhileMainWaitsInGet) {
    Linked link;
    FakeDaemon& daemon = link.daemon;
    Recorder& rec = link.rec;
    cObjectClient& client = link.client;
    ASSERT_TRUE(link.connect());
    std::thread peer([&] {
        auto request = daemon.read();
        ASSERT_NE(nullptr, request);
        std::unique_ptr<VMsg> evt(scanMsg(41, "04A1"));
        daemon.send(*evt);
        ASSERT_TRUE(rec.waitCount(1));  // delivered while get still waits
        cObjectDOutput answer;
        answer.setPortLabel("R");
        reply(daemon, *request, {&answer});
    });
    cObjectDOutput op;
    cObject* got = client.get(&op);
    peer.join();
    ASSERT_NE(nullptr, got);
    EXPECT_STREQ("R", static_cast<cObjectPort*>(got)->getPortLabel());
    delete got;
    ASSERT_EQ(1u, rec.types.size());
    EXPECT_EQ(vmsg::MSG_EVT, rec.types[0]);
    EXPECT_EQ(41, rec.seqs[0]);
    EXPECT_EQ("04A1", rec.codes[0]);
    EXPECT_NE(std::this_thread::get_id(), rec.threads[0]);
}

TEST(Client, SetFromInsideTheListener) {
    Linked link;
    FakeDaemon& daemon = link.daemon;
    Recorder& rec = link.rec;
    cObjectClient& client = link.client;
    std::atomic<int> setResult{99};
    rec.onMessage = [&](cObjectList*) {
        cObjectDOutput out;
        out.setDeviceSerial(12);
        out.setPortId(1);
        out.setOutputState(cObject::OBJ_IO_STATE_SET);
        setResult = client.set(&out);
    };
    ASSERT_TRUE(link.connect());
    std::unique_ptr<VMsg> evt(scanMsg(1, "04A1"));
    daemon.send(*evt);
    auto request = daemon.read();
    ASSERT_NE(nullptr, request);
    EXPECT_EQ(vmsg::MSG_SET, request->mMsgID);
    std::unique_ptr<cObjectList> objs(ulxobj::fromMessage(*request));
    ASSERT_EQ(1u, objs->size());
    EXPECT_EQ(cObject::OBJ_IO_STATE_SET,
              dynamic_cast<cObjectDOutput*>(objs->at(0))->getOutputState());
    reply(daemon, *request, {objs->at(0)});
    ASSERT_TRUE(rec.waitCount(1));
    EXPECT_EQ(0, setResult.load());
    objs->deleteObjects();
}

TEST(Client, ReconnectsAfterADroppedConnectionAndAfterGarbage) {
    Linked link;
    FakeDaemon& daemon = link.daemon;
    Recorder& rec = link.rec;
    ASSERT_TRUE(link.connect());
    daemon.closeClient();
    ASSERT_TRUE(daemon.accept(3000));  // within the reconnect interval
    std::unique_ptr<VMsg> evt(scanMsg(2, "AFTER-DROP"));
    daemon.send(*evt);
    ASSERT_TRUE(rec.waitCount(1));
    // A malformed message: the client closes and connects again.
    daemon.sendRaw({9, 9, 9, 9, 9, 9, 9, 9});
    ASSERT_TRUE(daemon.accept(3000));
    std::unique_ptr<VMsg> evt2(scanMsg(3, "AFTER-GARBAGE"));
    daemon.send(*evt2);
    ASSERT_TRUE(rec.waitCount(2));
    EXPECT_EQ("AFTER-GARBAGE", rec.codes[1]);
}

TEST(Client, RequestsFailAtOnceWhileDisconnected) {
    cObjectClient client(Linked::quick());
    EXPECT_FALSE(client.start(testutil::loopbackAddress().c_str(), 60000));  // nobody listens
    cObjectDOutput op;
    EXPECT_EQ(nullptr, client.get(&op));
    EXPECT_LT(client.set(&op), 0);
    // The daemon comes up later: the client finds it.
    FakeDaemon daemon;
    EXPECT_TRUE(daemon.accept(3000));
}

TEST(Client, OtherMessagesReachTheListenerInArrivalOrder) {
    Linked link;
    FakeDaemon& daemon = link.daemon;
    Recorder& rec = link.rec;
    ASSERT_TRUE(link.connect());
    daemon.send(VMsg(9, 1));               // an unknown id
    daemon.send(VMsg(vmsg::MSG_GET, 77));  // a reply nobody waits for
    for (int i = 0; i < 50; ++i) {
        std::unique_ptr<VMsg> evt(scanMsg(static_cast<uint8_t>(i), "C"));
        daemon.send(*evt);
    }
    ASSERT_TRUE(rec.waitCount(52));
    EXPECT_EQ(9, rec.types[0]);
    EXPECT_EQ(vmsg::MSG_GET, rec.types[1]);
    EXPECT_EQ(77, rec.seqs[1]);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(i, rec.seqs[2 + i]);
    }
}

TEST(Client, KeepsItsOwnCopyOfTheHost) {
    FakeDaemon daemon;
    cObjectClient client(Linked::quick());
    char host[32];
    snprintf(host, sizeof(host), "%s", testutil::loopbackAddress().c_str());
    ASSERT_TRUE(client.start(host, 60000));
    ASSERT_TRUE(daemon.accept());
    strcpy(host, "garbage");
    daemon.closeClient();
    EXPECT_TRUE(daemon.accept(3000));  // reconnects to the address it was given
}

// A daemon that stays connected but reads nothing: requests end at their
// deadline instead of blocking in their send, the connection is dropped and
// made again, and no request of the old connection reaches the new one (a
// request belongs to the connection it was made on).
TEST(Client, RequestsTheDaemonDoesNotTakeEndAndTheConnectionIsMadeAgain) {
    Linked link;
    FakeDaemon& daemon = link.daemon;
    cObjectClient& client = link.client;
    daemon.setReceiveBuffer(4096);
    ASSERT_TRUE(link.connect());
    // Six GETs of about 1 MB from six threads: more than the socket buffers
    // hold (some 3 MB on loopback), so that a send blocks.
    BigRequest big;
    const size_t kAskers = 6;
    std::mutex mutex;
    std::condition_variable cond;
    size_t finished = 0;
    std::vector<cObjectClient::eRequestOutcome> outcomes(kAskers, cObjectClient::REQUEST_ANSWERED);
    std::vector<std::thread> askers;
    for (size_t i = 0; i < kAskers; ++i) {
        askers.emplace_back([&, i] {
            cObjectList* reply = client.get(&big.list, &outcomes[i]);
            EXPECT_EQ(nullptr, reply);
            std::lock_guard<std::mutex> lock(mutex);
            ++finished;
            cond.notify_all();
        });
    }
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        ended = cond.wait_for(lock, std::chrono::seconds(10), [&] { return finished == kAskers; });
    }
    if (!ended) {
        daemon.closeClient();  // frees a send blocked for good, so that the test can end
    }
    for (std::thread& asker : askers) {
        asker.join();
    }
    ASSERT_TRUE(ended) << "a request stayed blocked in its send";
    // The request that could not be written dropped the connection.
    EXPECT_GE(std::count(outcomes.begin(), outcomes.end(), cObjectClient::REQUEST_NO_CONNECTION),
              1);
    EXPECT_EQ(0, std::count(outcomes.begin(), outcomes.end(), cObjectClient::REQUEST_ANSWERED));

    // The connection is made again, and the first request on it is the next one.
    ASSERT_TRUE(daemon.accept(5000));
    for (int waited = 0; !client.isConnected() && waited < 5000; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // accepted, not yet adopted
    }
    std::thread peer([&] {
        auto request = daemon.read();
        ASSERT_NE(nullptr, request);
        std::unique_ptr<cObjectList> objs(ulxobj::fromMessage(*request));
        ASSERT_EQ(1u, objs->size());
        EXPECT_EQ(2u, dynamic_cast<cObjectPort*>(objs->at(0))->getPortId());
        reply(daemon, *request, {objs->at(0)});
        objs->deleteObjects();
    });
    cObjectDOutput next;
    next.setPortId(2);
    cObject* got = client.get(&next);
    peer.join();
    EXPECT_NE(nullptr, got);
    delete got;
}

TEST(Client, QueueRefusesTheMessageThatWouldPassItsBound) {
    Linked link;
    FakeDaemon& daemon = link.daemon;
    Recorder& rec = link.rec;
    cObjectClient& client = link.client;
    std::mutex mutex;
    std::condition_variable cond;
    bool entered = false, released = false;
    rec.onMessage = [&](cObjectList*) {  // holds the event thread on the first message
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        cond.notify_all();
        cond.wait(lock, [&] { return released; });
    };
    struct Release {  // lets the event thread go before the client stops
        std::function<void()> run;
        ~Release() { run(); }
    } release{[&] {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        cond.notify_all();
    }};
    ASSERT_TRUE(link.connect());
    daemon.send(VMsg(vmsg::MSG_EVT, 0));  // 8 bytes, held by the listener
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(cond.wait_for(lock, std::chrono::seconds(5), [&] { return entered; }));
    }
    // A request's wait reads the socket: events of wire size 4 bytes under the
    // bound, with the 8 held, are queued, and the reply comes through.
    auto getInThread = [&](cObject*& got) {
        return std::thread([&] {
            cObjectDOutput op;
            got = client.get(&op);
        });
    };
    cObject* got = nullptr;
    std::thread first = getInThread(got);
    auto request = daemon.read();
    ASSERT_NE(nullptr, request);
    size_t left = cObjectClient::kMaxBacklogBytes - 4 - vmsg::kHeaderSize;
    const size_t kOverhead = vmsg::kHeaderSize + vmsg::kTagHeaderSize;
    for (uint8_t seq = 1; left > 0; ++seq) {
        size_t size = left - kOverhead > 60000 + kOverhead ? 60000 + kOverhead : left;
        VMsg evt(vmsg::MSG_EVT, seq);
        evt.addTag(
            new VTagString(ulxobj::TAG_EVT_LOG_ENTRY, std::string(size - kOverhead, 'x').c_str()));
        daemon.send(evt);
        left -= size;
    }
    cObjectDOutput answer;
    reply(daemon, *request, {&answer});
    first.join();
    ASSERT_NE(nullptr, got);
    delete got;
    // One more message of 8 bytes would pass the bound: the connection goes
    // before the reply behind it is read, and is made again.
    std::thread second = getInThread(got);
    request = daemon.read();
    ASSERT_NE(nullptr, request);
    daemon.send(VMsg(vmsg::MSG_EVT, 200));
    reply(daemon, *request, {&answer});
    second.join();
    EXPECT_EQ(nullptr, got);
    delete got;
    EXPECT_TRUE(daemon.accept(3000));
}

}  // namespace
