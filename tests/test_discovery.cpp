// Discovery against a site daemon that misbehaves, end to end with the real
// service and a scripted daemon: a reply that names another port, a refused
// GET, a label holding a NUL byte, a port list given too early. Each case
// says what the first answers do, the line that shows the service saw it
// and the status that follows; then a scan, the daemon mends (at the retry
// or on a new connection), and a last scan toggles A on port 1 and B on
// port 2 from the service's own states. No SET ever names a door on
// another port.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/notify_listener.h"
#include "tests/service_site.h"
#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

using testutil::FakeDaemon;
using testutil::ServiceSite;
using testutil::SiteOutput;

namespace {

const int kClear = cObject::OBJ_IO_STATE_CLEAR;
const SiteOutput kA = {12, 1, "A", kClear};
const SiteOutput kB = {12, 2, "B", kClear};
const std::vector<SiteOutput> kSite = {kA, kB};

// What the daemon has been asked so far, this request included.
struct Asked {
    int connection = 0;  // 0 for the first
    int lists = 0;
    std::map<uint32_t, int> gets;  // by port id
    uint32_t port = 0;             // the port id of this GET; 0 for other requests
};

// A misbehaving answer to request, or null to answer as a sound daemon.
using Answer = std::function<std::unique_ptr<VMsg>(const VMsg& request, const Asked& asked)>;

struct Case {
    const char* name;
    Answer answer;
    std::string seen;    // the log line (its start) that shows the service saw it
    std::string status;  // then in the STATUS line
    bool reconnect;      // mended on a new connection, else at the retry
    bool knowsB;         // B is known before the daemon mends: the first scan toggles it
};

// The GET of port 1, answered the first time with out as the reply.
Answer firstGetOfA(const SiteOutput& out, int portType = cObjectPort::PORT_TYPE_DISCRETE_OUT) {
    return [out, portType](const VMsg& request, const Asked& asked) -> std::unique_ptr<VMsg> {
        if (request.mMsgID != vmsg::MSG_GET || asked.port != 1 || asked.gets.at(1) != 1) {
            return nullptr;
        }
        cObjectDOutput o;
        o.setDeviceSerial(out.serial);
        o.setPortId(out.port);
        o.setPortLabel(out.label);
        o.setPortType(static_cast<cObjectPort::ePortType>(portType));
        cObjectList reply;
        reply.add(&o);
        return std::unique_ptr<VMsg>(ulxobj::toMessage(reply, vmsg::MSG_GET, request.mMsgSeq));
    };
}

// The port list on the first connection (or only the first one asked),
// naming these outputs.
Answer earlyList(const std::vector<SiteOutput>& named, bool firstOnly) {
    return [named, firstOnly](const VMsg& request, const Asked& asked) -> std::unique_ptr<VMsg> {
        bool early = firstOnly ? asked.lists == 1 : asked.connection == 0;
        if (!testutil::isPortListQuery(request) || !early) {
            return nullptr;
        }
        return testutil::siteReply(request, named);
    };
}

const std::string kNulLabel("A\0x", 3);
const std::string kGetOfA = "WARN|discovery: the GET of serial 12 port 1 (A) was answered with ";

const Case kCases[] = {
    {"ReplyOfAnotherPortId", firstGetOfA({12, 3, "A", kClear}),
     kGetOfA + "serial 12 port 3 (A) of port type 2, not that port; that output stays missing",
     "; 1 outputs known (discovery pending);", false, true},
    {"ReplyOfAnotherSerial", firstGetOfA({13, 1, "A", kClear}),
     kGetOfA + "serial 13 port 1 (A) of port type 2, not that port", "(discovery pending)", true,
     true},
    {"ReplyOfAnotherPortType", firstGetOfA(kA, cObjectPort::PORT_TYPE_ANALOG_OUT),
     kGetOfA + "serial 12 port 1 (A) of port type 4, not that port", "(discovery pending)", true,
     true},
    {"RefusedGet",
     [](const VMsg& request, const Asked& asked) -> std::unique_ptr<VMsg> {
         if (request.mMsgID != vmsg::MSG_GET || asked.port != 1 || asked.gets.at(1) != 1) {
             return nullptr;
         }
         return testutil::refusal(request);
     },
     "WARN|discovery incomplete, missing 1 of 2 discrete outputs: serial 12 port 1 (A); it runs "
     "again while the site daemon is connected",
     "; 1 outputs known (discovery pending);", false, true},
    {"NulInAListLabel", earlyList({{12, 1, kNulLabel, kClear}, kB}, true),
     "WARN|discovery: the port list names serial 12 port 1 (A\\x00x) with a port label holding a "
     "NUL byte; that output stays missing and the list is asked again",
     "; 1 outputs known (discovery pending);", false, true},
    {"NulInAReplyLabel", firstGetOfA({12, 1, kNulLabel, kClear}),
     kGetOfA + "a port label holding a NUL byte (A\\x00x), not that port", "(discovery pending)",
     true, true},
    {"EmptyListThenAFullerOne", earlyList({}, false),
     "WARN|discovery incomplete, missing the port list (it named no discrete output); it runs "
     "again while the site daemon is connected",
     "; 0 outputs known (discovery pending);", true, false},
    {"EarlyListThenAFullerOne", earlyList({kB}, false),
     "INFO|start-up finished: connected to the site daemon; 1 outputs known;", "; 1 outputs known;",
     true, true},
};

class MisbehavingDaemon : public testing::TestWithParam<Case> {};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// Answers the daemon's requests until done holds; false after timeoutMs.
// Every SET is applied and recorded as "serial/port label state".
bool serveUntil(FakeDaemon& daemon, const Case& c, Asked& asked, std::vector<std::string>& sets,
                const std::function<bool()>& done, int timeoutMs = 30000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::unique_ptr<VMsg> request = daemon.read(100);
        if (request == nullptr) {
            continue;
        }
        std::unique_ptr<cObjectList> objects(ulxobj::fromMessage(*request));
        auto* port = objects->size() > 0 ? dynamic_cast<cObjectPort*>(objects->at(0)) : nullptr;
        asked.port = 0;
        if (testutil::isPortListQuery(*request)) {
            ++asked.lists;
        } else if (request->mMsgID == vmsg::MSG_GET && port != nullptr) {
            asked.port = port->getPortId();
            ++asked.gets[asked.port];
        } else if (request->mMsgID == vmsg::MSG_SET && port != nullptr) {
            auto* out = static_cast<cObjectDOutput*>(port);
            sets.push_back(std::to_string(out->getDeviceSerial()) + "/" +
                           std::to_string(out->getPortId()) + " " + out->getPortLabel() + " " +
                           cObject::stateName(out->getOutputState()));
        }
        objects->deleteObjects();
        std::unique_ptr<VMsg> reply = c.answer(*request, asked);
        daemon.send(reply != nullptr ? *reply : *testutil::siteReply(*request, kSite));
    }
    return true;
}

TEST_P(MisbehavingDaemon, DiscoveryMendsAndNoDoorIsWrong) {
    const Case& c = GetParam();
    testutil::NotifyListener manager("0");
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).config("", "INFO");
    FakeDaemon& daemon = site.startPlayed();
    Asked asked;
    std::vector<std::string> sets;
    auto logged = [&site](const std::string& line) {
        return [&site, line] { return site.logCount(line) > 0; };
    };
    auto trail = [&site](const std::string& seq) {
        return [&site, seq] { return site.logCount("seq=" + seq, "DorvaneAccess") > 0; };
    };
    // Served until start-up has finished (its database opened).
    ASSERT_TRUE(serveUntil(daemon, c, asked, sets, [&] {
        return site.logCount(c.seen) > 0 && site.logCount("opened database", "DatabaseHandler") > 0;
    }));
    EXPECT_GE(manager.waitFor(c.status, 5000), 0);
    daemon.send(*testutil::accessEvent({"04A1"}, 1, 12));
    ASSERT_TRUE(serveUntil(daemon, c, asked, sets, trail("01")));

    if (c.reconnect) {
        daemon.closeClient();
        ASSERT_TRUE(daemon.accept());
        asked.connection = 1;
    }
    ASSERT_TRUE(serveUntil(daemon, c, asked, sets, logged("INFO|discovery found 2 outputs")));
    daemon.send(*testutil::accessEvent({"04A1"}, 2, 12));
    ASSERT_TRUE(serveUntil(daemon, c, asked, sets, trail("02")));
    // The service's own state of B counts, not the daemon's "clear".
    std::vector<std::string> expected = {"12/1 A set", "12/2 B set"};
    if (c.knowsB) {
        expected = {"12/2 B set", "12/1 A set", "12/2 B clear"};
    }
    EXPECT_EQ(expected, sets);
    EXPECT_EQ(1, asked.gets[2]);  // a known output is never fetched again
    EXPECT_GE(manager.waitFor("; 2 outputs known;", 5000), 0);
}

INSTANTIATE_TEST_SUITE_P(Discovery, MisbehavingDaemon, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
