// End-to-end tests: the real service binary, a real pairing file and SQLite
// database, and the simulated site daemon over loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "tests/service_site.h"
#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

using testutil::FakeDaemon;
using testutil::ServiceSite;

namespace {

// The manager's log lines of the first messages received (all by default).
std::vector<std::string> eventLog(ServiceSite& site, size_t messages = SIZE_MAX) {
    const std::string received = "DEBUG|Received Message from ulxd";
    std::vector<std::string> all = site.log();
    std::vector<std::string> out;
    for (auto it = std::find(all.begin(), all.end(), received); it != all.end(); ++it) {
        if (*it == received && messages-- == 0) {
            break;
        }
        out.push_back(*it);
    }
    return out;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

using testutil::kSentinel;
using testutil::kSentinelCode;
using testutil::kTwoOutputs;

TEST(Service, TraceOfOneAccessEvent) {
    ServiceSite site;
    site.files({{"R", "A", "B"}, kSentinel}, {{"04A1", "R"}, kSentinelCode}).start(kTwoOutputs);
    size_t mark = site.service().lineCount();
    site.sim().write("seq 7\nscan 12 04A1\n");
    ASSERT_GE(site.service().waitFor("04A1 | R", 5000, mark), 0);
    std::vector<std::string> out = site.service().lines();
    EXPECT_EQ((std::vector<std::string>{"scanCode:04A1", "table codes", "sc | reader", "04A1 | R"}),
              std::vector<std::string>(out.begin() + static_cast<long>(mark), out.end()));
    site.sim().write("scan 12 SENTINEL\n");
    ASSERT_TRUE(site.waitSets(4));
    // The sentinel's SETs come right after the event's: it did nothing more.
    EXPECT_EQ(testutil::setsOn12("A=clear B=set B=clear B=set"), site.sets());
    EXPECT_EQ(
        (std::vector<std::string>{"DEBUG|Received Message from ulxd", "DEBUG|Got MSG_EVT",
                                  "DEBUG|Got MSG_EVT:ACCESS SEQ(07) ", "DEBUG|Device serial: 12",
                                  "DEBUG|Scan_code: 04A1", "DEBUG|Found Reader R for scancode 04A1",
                                  "DEBUG|IN TOGGLE PORT: 2", "DEBUG|TEMP FOUND", "DEBUG|IF WORKS",
                                  "DEBUG|TEMP FOUND", "DEBUG|IN TOGGLE PORT: 2", "DEBUG|TEMP FOUND",
                                  "DEBUG|TEMP FOUND", "DEBUG|IF WORKS"}),
        eventLog(site, 1));
    // Start-up: settings logged, discovery progress on standard output.
    std::vector<std::string> log = site.log();
    EXPECT_TRUE(contains(log, "DEBUG|host:" + site.address() + "|"));
    EXPECT_TRUE(contains(log, "DEBUG|ioPairFile:pairs.xml|"));
    EXPECT_EQ((std::vector<std::string>{"Getting Device", "GOT THE Device"}),
              std::vector<std::string>(out.begin(), out.begin() + 2));
}

// The scan comes before the daemon answers the port list: start-up cannot
// have ended, whatever the timings.
TEST(Service, ScansDuringStartUpAreHeldBackNotDropped) {
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).config();
    const std::vector<testutil::SiteOutput>& outputs = testutil::kPlayedOutputs;
    FakeDaemon& daemon = site.startPlayed();
    auto listQuery = daemon.read();
    ASSERT_NE(nullptr, listQuery);
    ASSERT_TRUE(testutil::isPortListQuery(*listQuery));
    daemon.send(*testutil::accessEvent({"04A1"}, 1, 12));
    daemon.send(*testutil::siteReply(*listQuery, outputs));
    std::vector<std::string> sets;
    for (int request = 0; request < 4; ++request) {  // two GETs, then the two SETs
        auto next = daemon.read();
        ASSERT_NE(nullptr, next);
        if (next->mMsgID == vmsg::MSG_SET) {
            std::unique_ptr<cObjectList> set(ulxobj::fromMessage(*next));
            auto* out = dynamic_cast<cObjectDOutput*>(set->at(0));
            ASSERT_NE(nullptr, out);
            sets.push_back(std::string(out->getPortLabel()) + "=" +
                           (out->getOutputState() == cObject::OBJ_IO_STATE_SET ? "set" : "clear"));
            set->deleteObjects();
        }
        daemon.send(*testutil::siteReply(*next, outputs));
    }
    EXPECT_EQ((std::vector<std::string>{"A=clear", "B=set"}), sets);
    // Read during start-up, handled after it: the database was opened
    // before the lookup.
    ASSERT_TRUE(site.waitLog("code=04A1", "DorvaneAccess"));
    std::vector<std::string> out = site.service().lines();
    auto ready = std::find(out.begin(), out.end(), "GOT THE Device");
    auto scan = std::find(out.begin(), out.end(), "scanCode:04A1");
    EXPECT_LT(ready, scan);
}

TEST(Service, TogglesFollowTheHeldStatesAndEveryMatch) {
    ServiceSite site;
    site.files({{"Same", "X", "X"},
                {"Twice", "D", "Z"},
                {"Dup", "A", "A"},
                {"Dup", "U", "NONE"},
                {"Lobby2", "A", "B"}},
               {{"S1", "Same"}, {"T1", "Twice"}, {"D1", "Dup"}, {"L1", "lobby2"}, {"E1", ""}})
        .start(
            "port 1 1 dout X set\n"
            "port 1 2 dout D clear\n"
            "port 1 3 ain D\n"
            "port 1 4 dout D set\n"
            "port 1 5 dout U unknown\n");

    // IO and LED label name the same output: toggled twice, back where it was.
    site.sim().write("scan 9 S1\n");
    ASSERT_TRUE(site.waitSets(2));
    // Two outputs with the same label: both, in list order; the analog port
    // with that label was never kept.
    site.sim().write("scan 9 T1\n");
    ASSERT_TRUE(site.waitSets(4));
    // Two records for one reader: the later one wins; unknown becomes set.
    site.sim().write("scan 9 D1\n");
    ASSERT_TRUE(site.waitSets(5));
    // Same reader again: each toggle starts from the state the last one left.
    site.sim().write("scan 9 T1\n");
    ASSERT_TRUE(site.waitSets(7));
    EXPECT_EQ(
        (std::vector<std::string>{
            "SET serial=1 port=1 label=X state=clear", "SET serial=1 port=1 label=X state=set",
            "SET serial=1 port=2 label=D state=set", "SET serial=1 port=4 label=D state=clear",
            "SET serial=1 port=5 label=U state=set", "SET serial=1 port=2 label=D state=clear",
            "SET serial=1 port=4 label=D state=set"}),
        site.sets());

    // Case differs ("lobby2"), empty reader: no match, both info lines.
    site.sim().write("scan 9 L1\nscan 9 E1\nseq 10\nscan 9 S1\n");
    ASSERT_TRUE(site.waitSets(9));
    std::vector<std::string> log = site.log();
    for (std::string what :
         {"IO corresponding to ReaderName:lobby2", "LED corresponding to ReaderName:lobby2",
          "IO corresponding to ReaderName:"}) {
        EXPECT_TRUE(contains(log, "INFO|Error when trying to retrieve " + what)) << what;
    }
    EXPECT_TRUE(contains(log, "DEBUG|Got MSG_EVT:ACCESS SEQ(0A) "));  // sequence 10
    EXPECT_EQ(9u, site.sets().size());
}

TEST(Service, UnknownCodesOtherMessagesAndObjects) {
    ServiceSite site;
    site.files({{"R", "A", "B"}, kSentinel}, {{"04A1", "R"}, {"0C0C", "NoPair"}, kSentinelCode})
        .start(kTwoOutputs);

    // A message of type 1, an event without objects, an event object then an
    // access object, and two access objects in one message.
    site.sim().write("msg 1\nmsg 3\n");
    VMsg mixed(vmsg::MSG_EVT, 0x21);
    cObjectEvent event(5);
    cObjectAccess unknown, known, port;
    unknown.setDeviceSerial(3);
    unknown.setScanCode("FFFF");
    known.setDeviceSerial(4);
    known.setScanCode("04A1");
    ulxobj::appendObject(mixed, event);
    ulxobj::appendObject(mixed, cObjectPort());
    ulxobj::appendObject(mixed, unknown);
    ulxobj::appendObject(mixed, known);
    site.sim().write(testutil::rawCommand(mixed));
    site.sim().write("scan 12 0C0C\nscan 12 04A1\nscan 12 SENTINEL\n");
    ASSERT_TRUE(site.waitSets(6));
    // FFFF and 0C0C toggle nothing: the sentinel's SETs follow 04A1's twice.
    EXPECT_EQ(testutil::setsOn12("A=clear B=set A=set B=clear B=set B=clear"), site.sets());
    std::vector<std::string> log = eventLog(site);
    std::vector<std::string> head(log.begin(), log.begin() + 13);
    EXPECT_EQ(
        (std::vector<std::string>{
            "DEBUG|Received Message from ulxd", "DEBUG|Unknown Message Type 1",
            "DEBUG|Received Message from ulxd", "DEBUG|Got MSG_EVT",
            "DEBUG|Received Message from ulxd", "DEBUG|Got MSG_EVT", "DEBUG|Got MSG_EVT:EVENT",
            "DEBUG|Got MSG_EVT:ACCESS SEQ(21) ", "DEBUG|Device serial: 3", "DEBUG|Scan_code: FFFF",
            "DEBUG|No Scancode value found", "DEBUG|Got MSG_EVT:ACCESS SEQ(21) ",
            "DEBUG|Device serial: 4"}),
        head);
    for (std::string what : {"IO", "LED"}) {
        EXPECT_TRUE(contains(log, "INFO|Error when trying to retrieve " + what +
                                      " corresponding to ReaderName:NoPair"))
            << what;
    }
}

TEST(Service, DiscoveryKeepsWhatItCanAndTheListLabel) {
    testutil::ServiceTimings noRetry("first_retry=600000,longest_retry=600000");
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).config();
    FakeDaemon& daemon = site.startPlayed();
    auto listQuery = daemon.read();
    ASSERT_NE(nullptr, listQuery);
    std::unique_ptr<cObjectList> q(ulxobj::fromMessage(*listQuery));
    ASSERT_EQ(1u, q->size());
    EXPECT_EQ(cObject::OBJ_PORT, q->at(0)->getType());
    q->deleteObjects();

    auto dout = [](uint32_t id, const char* label) {
        auto* o = new cObjectDOutput();
        o->setDeviceSerial(5);
        o->setPortId(id);
        o->setPortLabel(label);
        return o;
    };
    cObjectList reply(vmsg::MSG_GET, listQuery->mMsgSeq);
    reply.add(dout(1, "A"));
    cObjectPort* ain = new cObjectPort(cObject::OBJ_PORT_AIN);
    ain->setPortType(cObjectPort::PORT_TYPE_ANALOG_IN);
    reply.add(ain);
    reply.add(dout(2, "B"));
    reply.add(new cObject(cObject::OBJ_DEVICE));  // not a port: the walk ends here
    reply.add(dout(3, "C"));
    std::unique_ptr<VMsg> replyMsg(ulxobj::toMessage(reply, vmsg::MSG_GET, reply.getMsgSeq()));
    reply.deleteObjects();
    daemon.send(*replyMsg);

    // Port 1: answered with another label and state set. Port 2: ERR.
    auto get1 = daemon.read(3000);
    ASSERT_NE(nullptr, get1);
    std::unique_ptr<cObjectList> g1(ulxobj::fromMessage(*get1));
    auto* asked = dynamic_cast<cObjectDOutput*>(g1->at(0));
    ASSERT_NE(nullptr, asked);
    EXPECT_EQ(1u, asked->getPortId());
    EXPECT_STREQ("A", asked->getPortLabel());
    g1->deleteObjects();
    cObjectList r1(vmsg::MSG_GET, get1->mMsgSeq);
    cObjectDOutput* answer = dout(1, "OTHER");
    answer->setOutputState(cObject::OBJ_IO_STATE_SET);
    r1.add(answer);
    std::unique_ptr<VMsg> r1Msg(ulxobj::toMessage(r1, vmsg::MSG_GET, get1->mMsgSeq));
    r1.deleteObjects();
    daemon.send(*r1Msg);
    auto get2 = daemon.read(3000);
    ASSERT_NE(nullptr, get2);
    VMsg err(vmsg::MSG_ERR, get2->mMsgSeq);
    err.addTag(new VTagUInt8(1, vmsg::MSG_GET));
    daemon.send(err);
    EXPECT_EQ(nullptr, daemon.read(1500));  // port 3 is never asked for

    ASSERT_GE(site.service().waitFor("The Return Output Port is NULL", 5000), 0);
    ASSERT_TRUE(site.waitReady());
    daemon.send(*testutil::accessEvent({"04A1"}));
    auto set = daemon.read(3000);
    ASSERT_NE(nullptr, set);
    EXPECT_EQ(vmsg::MSG_SET, set->mMsgID);
    std::unique_ptr<cObjectList> s(ulxobj::fromMessage(*set));
    auto* toggled = dynamic_cast<cObjectDOutput*>(s->at(0));
    ASSERT_NE(nullptr, toggled);
    EXPECT_EQ(1u, toggled->getPortId());
    EXPECT_STREQ("A", toggled->getPortLabel());  // the list reply's label
    EXPECT_EQ(cObject::OBJ_IO_STATE_CLEAR, toggled->getOutputState());
    s->deleteObjects();
    // No reply to the SET: the service goes on after the timeout; B is not
    // among the outputs (missing after its ERR until the retry, put off
    // here), so no second SET follows.
    EXPECT_EQ(nullptr, daemon.read(3000));
    std::vector<std::string> log = site.log();
    EXPECT_TRUE(contains(log, "DEBUG|IN TOGGLE PORT: 1"));
}

TEST(Service, NoDaemonNoFilesAndOverlongSettings) {
    ServiceSite site;
    site.config("host=" + std::string(40, '1') + "\n" + "ioPairFile=" + std::string(32, 'p') +
                "\n" +                                      // 32: one too many
                "dblocal=" + std::string(63, 'd') + "\n");  // 63: fits
    site.startService();
    // The refused host falls back to 127.0.0.1; nothing listens there on
    // port 60000 in the tests, so discovery gets no reply.
    ASSERT_GE(site.service().waitFor("Our pointer is NULL", 15000), 0);
    std::vector<std::string> out = site.service().lines();
    EXPECT_TRUE(contains(out,
                         "Configuration value of host is longer than 31 characters; "
                         "using the default 127.0.0.1"));
    EXPECT_TRUE(contains(out,
                         "Configuration value of ioPairFile is longer than 31 "
                         "characters; using the default /etc/ulx/dorvane.xml"));
    EXPECT_FALSE(contains(out,
                          "Configuration value of dblocal is longer than 63 characters; "
                          "using the default /var/ulx/access.db"));
    ASSERT_TRUE(site.waitReady());
    std::vector<std::string> log = site.log();
    EXPECT_TRUE(contains(log, "DEBUG|host:127.0.0.1|"));
    EXPECT_TRUE(contains(log, "DEBUG|ioPairFile:/etc/ulx/dorvane.xml|"));
    EXPECT_TRUE(contains(log,
                         "ERROR|configuration value of host is longer than 31 characters; "
                         "using the default 127.0.0.1"));
}

// One service per configuration file. A second one started with the same
// file (its directory reached through a symbolic link too) stops at once
// with one line on standard error and a non-zero status, before it connects
// or logs; one with a file of its own runs beside the first, against the
// same daemon.
TEST(Service, OneServicePerConfigurationFile) {
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).start(kTwoOutputs, "", "INFO");
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath(site.file("").c_str(), real));
    testutil::TempDir other;
    ASSERT_EQ(0, symlink(real, other.file("link").c_str()));
    const std::string refusal =
        "dorvane: another service already runs with the configuration file " + std::string(real) +
        "/dorvane.conf; this one stops";
    for (const std::string& dir : {site.file(""), other.file("link")}) {
        SCOPED_TRACE(dir);
        size_t logSize = testutil::readFile(site.file("service.log")).size();
        testutil::Process second({DORVANE_SERVICE_BIN}, dir);
        ASSERT_GE(second.waitFor("dorvane: ", 10000), 0);
        int status = second.wait(10000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
        EXPECT_EQ(std::vector<std::string>{refusal}, second.lines());
        EXPECT_EQ(logSize, testutil::readFile(site.file("service.log")).size());
    }
    ServiceSite beside(site.address());
    beside.files({{"R", "A", "B"}}, {{"04A1", "R"}}).config("", "INFO");
    beside.startService();
    ASSERT_TRUE(beside.waitReady());
    ASSERT_TRUE(site.syncSim());
    std::vector<std::string> simLines = site.sim().lines();
    EXPECT_EQ(1, std::count(simLines.begin(), simLines.end(), "CONNECTED clients=1"));
    EXPECT_EQ(1, std::count(simLines.begin(), simLines.end(), "CONNECTED clients=2"));
    EXPECT_TRUE(site.service().running());
    EXPECT_TRUE(beside.service().running());
}

// Another user cannot keep the service from starting. User nobody, first,
// tries every way to hold the lock: the abstract socket name that an older
// service locked by, and the lock file, which it may not open. The service
// starts all the same, and a lock file left with a looser mode is narrowed
// to 0600.
TEST(Service, AnotherUserCannotTakeTheLock) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "acting as user nobody needs root";
    }
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).prepare(kTwoOutputs, "", "INFO");
    int made = open(site.file("dorvane.lock").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(made, 0);
    ASSERT_EQ(0, fchmod(made, 0644));
    close(made);
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath(site.file("").c_str(), real));
    const std::string abstractName = std::string("dorvane:") + real + "/dorvane.conf";
    const std::string lockFile = site.file("dorvane.lock");
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t squatter = fork();
    if (squatter == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // dies with the test
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(1);
        }
        int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path + 1, abstractName.data(), abstractName.size());
        // Held when it can be: the name an older service refused to start on.
        (void)bind(
            sock, reinterpret_cast<sockaddr*>(&addr),
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + abstractName.size()));
        int fd = open(lockFile.c_str(), O_RDONLY | O_CREAT, 0666);
        if (fd >= 0) {
            flock(fd, LOCK_EX | LOCK_NB);
        }
        char said = fd >= 0 ? 'y' : 'n';
        (void)!write(ready[1], &said, 1);
        pause();
        _exit(0);
    }
    ASSERT_GT(squatter, 0);
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } reaper{squatter};
    char opened = 0;
    ASSERT_EQ(1, read(ready[0], &opened, 1));
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ('n', opened);  // nobody could not even open the lock file

    site.startService();
    ASSERT_TRUE(site.waitReady());
    site.sim().write("scan 12 04A1\n");
    ASSERT_TRUE(site.waitSets(2));
    EXPECT_TRUE(site.service().running());
    struct stat st {};
    ASSERT_EQ(0, stat(lockFile.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST(Service, UnusableConfigurationUsesTheDefaults) {
    // Missing; a directory; a FIFO without a writer and a device without end,
    // which must neither block the start nor be read into memory.
    const std::pair<const char*, const char*> cases[] = {{"", "No such file or directory"},
                                                         {"dir", "a directory, not a regular file"},
                                                         {"fifo", "not a regular file"},
                                                         {"/dev/zero", "not a regular file"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        testutil::TempDir dir;
        std::string conf = dir.file("dorvane.conf");
        if (std::string(c.first) == "dir") {
            ASSERT_EQ(0, mkdir(conf.c_str(), 0700));
        } else if (std::string(c.first) == "fifo") {
            ASSERT_EQ(0, mkfifo(conf.c_str(), 0600));
        } else if (c.first[0] != '\0') {
            ASSERT_EQ(0, symlink(c.first, conf.c_str()));
        }
        testutil::Process service({DORVANE_SERVICE_BIN}, dir.path());
        ASSERT_GE(service.waitFor("Our pointer is NULL", 15000), 0);
        long peak = testutil::peakKb(service.pid());
        std::vector<std::string> out = service.lines();
        EXPECT_EQ(std::string("Failed to load input file dorvane.conf: ") + c.second, out[0]);
        EXPECT_TRUE(contains(out, "Getting Device"));
        EXPECT_TRUE(contains(out, "GOT THE Device"));
        EXPECT_GT(peak, 0);
        EXPECT_LT(peak, 256 * 1024) << "the configuration was read into memory";
    }
}

}  // namespace
