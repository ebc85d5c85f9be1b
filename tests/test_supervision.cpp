// Boot order, daemon restarts, supervision and reload: the real service
// against the simulator, with a private service-manager socket; and the
// client's connection notices, ticks and request outcomes underneath.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "tests/notify_listener.h"
#include "tests/service_site.h"
#include "ulxobj/ObjectCodec.h"
#include "ulxobj/cObjectClient.h"
#include "vmsg/VWire.h"

using testutil::FakeDaemon;
using testutil::NotifyListener;
using testutil::ServiceSite;

namespace {

long countOf(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

using testutil::kTwoOutputs;
const std::vector<std::string> kBothToggled = testutil::setsOn12("A=clear B=set");

// The site daemon starts after the service is ready: start-up finishes without
// outputs, the failed connection is logged once, and discovery runs again on
// the first connection, so that a scan toggles both outputs. The service
// manager hears of each step.
TEST(Supervision, StartedBeforeTheSiteDaemon) {
    NotifyListener manager("2000000");
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).config("", "INFO");
    site.startService();
    ASSERT_TRUE(site.waitReady());
    int ready = manager.waitFor("READY=1", 5000);
    ASSERT_GE(ready, 0);
    EXPECT_EQ(
        "READY=1\nSTATUS=not connected to the site daemon; 0 outputs known (discovery "
        "pending); 1 pairing records; database open\nWATCHDOG=1",
        manager.messages()[static_cast<size_t>(ready)]);
    EXPECT_EQ("EXTEND_TIMEOUT_USEC=10000000", manager.messages()[0]);
    ASSERT_TRUE(site.waitLog("cannot connect", "ObjectClient"));
    ASSERT_TRUE(site.startSim(kTwoOutputs));

    ASSERT_TRUE(site.waitLog("INFO|discovery found 2 outputs"));
    site.sim().write("scan 12 04A1\n");
    ASSERT_TRUE(site.waitSets(2));
    EXPECT_EQ(kBothToggled, site.sets());
    EXPECT_GE(manager.waitFor("STATUS=connected to the site daemon; 2 outputs known; 1 pairing "
                              "records; database open",
                              3000, static_cast<size_t>(ready)),
              0);
    // Pings keep coming from the idle event thread.
    int ping = manager.waitFor("WATCHDOG=1", 5000, manager.messages().size());
    ASSERT_GE(ping, 0);
    EXPECT_GE(manager.waitFor("WATCHDOG=1", 5000, static_cast<size_t>(ping) + 1), 0);

    std::vector<std::string> log = site.log();
    EXPECT_EQ(1, countOf(log,
                         "WARN|discovery incomplete, missing the port list; it runs again while "
                         "the site daemon is connected"));
    EXPECT_EQ(1, countOf(log,
                         "INFO|discovery runs again for what is missing (the site daemon is "
                         "connected)"));
    std::vector<std::string> client = site.log("ObjectClient");
    EXPECT_EQ(1, countOf(client, "WARN|cannot connect to \"" + site.address() +
                                     "\" port 60000: Connection refused"));
    EXPECT_EQ(1, countOf(client, "INFO|connected to " + site.address() + " port 60000"));
    std::vector<std::string> out = site.service().lines();
    EXPECT_EQ(2, countOf(out, "Getting Device"));
}

// The site daemon restarts after the port list came and before the outputs
// were fetched: discovery runs again, whole, once the daemon is back.
TEST(Supervision, SiteDaemonRestartedDuringDiscovery) {
    // Five outputs and half a second after each reply: the last is fetched
    // two seconds after "GOT THE Device", so the kill lands inside discovery
    // even on a loaded machine.
    testutil::ServiceTimings slow("discovery_wait=500");
    const std::string site5 = std::string(kTwoOutputs) +
                              "port 12 3 dout C clear\nport 12 4 dout D clear\n"
                              "port 12 5 dout E clear\n";
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).prepare(site5, "", "INFO");
    site.startService();
    ASSERT_GE(site.service().waitFor("GOT THE Device"), 0);
    kill(site.sim().pid(), SIGKILL);  // gone at once, before the last port is fetched
    site.stopSim();
    ASSERT_TRUE(site.startSim(site5));
    ASSERT_TRUE(site.waitLog("INFO|discovery found 5 outputs", "DorvaneManager", 20000));
    site.sim().write("scan 12 04A1\n");
    ASSERT_TRUE(site.waitSets(2));
    EXPECT_EQ(kBothToggled, site.sets());
}

// Discovery that did not learn every output runs again while the
// connection lasts, and at each new connection, for what is missing only;
// scans meanwhile name the labels that matched no known output. The daemon
// first answers no GET, then refuses the port list, then leaves one
// per-port GET unanswered.
TEST(Supervision, DiscoveryRunsAgainForWhatIsMissing) {
    const std::vector<testutil::SiteOutput>& outputs = testutil::kPlayedOutputs;
    testutil::ServiceTimings quick("reply_timeout=700");  // two requests go unanswered
    NotifyListener manager("0");
    ServiceSite site;
    site.files({{"R", "A", "B"}, {"Typo", "A", "LED_X"}}, {{"04A1", "R"}, {"0BAD", "Typo"}})
        .config("", "INFO");
    FakeDaemon& daemon = site.startPlayed();
    auto silent = daemon.read();  // the port list, never answered
    ASSERT_TRUE(silent != nullptr && testutil::isPortListQuery(*silent));
    ASSERT_TRUE(site.waitReady());
    EXPECT_TRUE(
        site.waitLog("WARN|discovery incomplete, missing the port list; it runs again "
                     "while the site daemon is connected"));
    EXPECT_GE(manager.waitFor("; 0 outputs known (discovery pending);", 3000), 0);
    daemon.send(*testutil::accessEvent({"04A1"}, 1));
    ASSERT_TRUE(site.waitLog("code=04A1", "DorvaneAccess"));

    // Asked again on the same connection; refused this time.
    auto refused = daemon.read(15000);
    ASSERT_TRUE(refused != nullptr && testutil::isPortListQuery(*refused));
    daemon.send(*testutil::refusal(*refused));
    // The same list is missing: no new line; a new connection runs it at once.
    int startUp = site.service().waitFor("Our pointer is NULL", 1000);
    ASSERT_GE(site.service().waitFor("Our pointer is NULL", 5000, startUp + 1), 0);
    daemon.closeClient();
    ASSERT_TRUE(daemon.accept(5000));
    ASSERT_TRUE(testutil::answerNext(daemon, outputs));  // the list
    ASSERT_TRUE(testutil::answerNext(daemon, outputs));  // A
    auto getB = daemon.read();                           // B: never answered
    ASSERT_NE(nullptr, getB);
    EXPECT_TRUE(
        site.waitLog("WARN|discovery incomplete, missing 1 of 2 discrete outputs: serial "
                     "12 port 2 (B); it runs again while the site daemon is connected"));
    ASSERT_GE(manager.waitFor("; 1 outputs known (discovery pending);", 5000), 0);
    daemon.send(*testutil::accessEvent({"04A1"}, 2));
    ASSERT_TRUE(testutil::answerNext(daemon, outputs));  // A's SET

    // Only B is asked for again; then both outputs toggle.
    auto againB = daemon.read(15000);
    ASSERT_NE(nullptr, againB);
    EXPECT_FALSE(testutil::isPortListQuery(*againB));
    daemon.send(*testutil::siteReply(*againB, outputs));
    ASSERT_TRUE(site.waitLog("INFO|discovery found 2 outputs"));
    ASSERT_GE(manager.waitFor("; 2 outputs known;", 5000), 0);
    daemon.send(*testutil::accessEvent({"04A1", "0BAD"}, 3));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(testutil::answerNext(daemon, outputs));
    }
    ASSERT_TRUE(site.waitLog("code=0BAD", "DorvaneAccess"));
    EXPECT_EQ((std::vector<std::string>{
                  "INFO|seq=01 serial=0 code=04A1 reader=R result=no-matching-output A=no-output "
                  "B=no-output",
                  "INFO|seq=02 serial=0 code=04A1 reader=R result=partly A=clear B=no-output",
                  "INFO|seq=03 serial=0 code=04A1 reader=R result=toggled A=set B=set",
                  "INFO|seq=03 serial=0 code=0BAD reader=Typo result=partly A=clear "
                  "LED_X=no-output"}),
              site.log("DorvaneAccess"));
    std::vector<std::string> out = site.service().lines();
    EXPECT_EQ(3, countOf(out, "Getting Device"));  // start-up, again, new connection
    EXPECT_EQ(1, countOf(out, "The Return Output Port is NULL"));
    EXPECT_EQ(1u, site.logCount("WARN|discovery incomplete, missing the port list"));
}

// The discovery thread and the event thread log at the same time, each
// through a log object of its own (one formats into one buffer): the port
// list is never given, so discovery runs again at every new connection,
// while the scans sent on it are handled. Under ThreadSanitizer a shared
// log object shows as a race in the service's standard error.
TEST(Supervision, DiscoveryAndEventThreadsLogAtOnce) {
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).config("", "DEBUG");
    FakeDaemon& daemon = site.startPlayed();
    auto silent = daemon.read();  // the port list, never answered
    ASSERT_TRUE(silent != nullptr && testutil::isPortListQuery(*silent));
    ASSERT_TRUE(site.waitReady());
    const int kRounds = 4;
    for (int round = 1; round <= kRounds; ++round) {
        daemon.closeClient();
        ASSERT_TRUE(daemon.accept(5000));
        daemon.send(*testutil::accessEvent(std::vector<std::string>(20, "04A1"),
                                           static_cast<uint8_t>(round)));
        auto list = daemon.read(5000);  // discovery, at once on the new connection
        ASSERT_TRUE(list != nullptr && testutil::isPortListQuery(*list));
        daemon.send(*testutil::refusal(*list));
    }
    testutil::waitUntil([&] { return site.logCount("result=", "DorvaneAccess") >= 20u * kRounds; },
                        20000);
    EXPECT_EQ(20u * kRounds, site.logCount("result=no-matching-output", "DorvaneAccess"));
    EXPECT_EQ(static_cast<size_t>(kRounds),
              site.logCount("INFO|discovery runs again for what is missing (the site daemon is "
                            "connected)"));
    EXPECT_EQ(0u, testutil::countContaining(site.service().lines(), "ThreadSanitizer"));
    EXPECT_TRUE(site.service().running());
}

// While the event thread waits for SET replies that never come (one event
// of two access objects, four SETs of a reply deadline each, a second here:
// four times the watchdog's quarter), it still pings the watchdog.
TEST(Supervision, WatchdogPingedWhileTheEventThreadWaitsForReplies) {
    testutil::ServiceTimings quick("reply_timeout=1000");
    const std::vector<testutil::SiteOutput>& outputs = testutil::kPlayedOutputs;
    NotifyListener manager("1000000");
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).config("", "INFO");
    FakeDaemon& daemon = site.startPlayed(outputs);
    ASSERT_GE(manager.waitFor("READY=1", 10000), 0);
    daemon.send(*testutil::accessEvent({"04A1", "04A1"}));
    ASSERT_NE(nullptr, daemon.read(3000));
    size_t mark = manager.messages().size();
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(nullptr, daemon.read(5000));  // each after the last one's timeout
    }
    const std::vector<std::string>& later = manager.messages();
    EXPECT_GE(
        countOf(std::vector<std::string>(later.begin() + static_cast<long>(mark), later.end()),
                "WATCHDOG=1"),
        3);
}

// A reload asked for the moment the service holds its lock (the init script
// learns the pid from the lock and may send one at once) waits for the end
// of start-up and is done; it never ends the service.
TEST(Supervision, ReloadRightAfterTheLockIsTaken) {
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).prepare(kTwoOutputs, "", "INFO");
    site.startService();
    const std::string pid = std::to_string(site.service().pid());
    auto holdsLock = [&] {
        std::ifstream locks("/proc/locks");
        std::string line;
        while (std::getline(locks, line)) {
            std::istringstream fields(line);
            std::string number, kind, mode, access, holder;
            fields >> number >> kind >> mode >> access >> holder;
            if (kind == "FLOCK" && holder == pid) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(testutil::waitUntil(holdsLock));
    kill(site.service().pid(), SIGHUP);
    ASSERT_TRUE(site.waitReady());
    ASSERT_TRUE(site.waitLog("INFO|reload: pairing file"));
    site.sim().write("scan 12 04A1\n");
    ASSERT_TRUE(site.waitSets(2));
    EXPECT_EQ(kBothToggled, site.sets());
    EXPECT_TRUE(site.service().running());
}

// SIGHUP re-reads the pairing file and changes what a scan toggles, with no
// new discovery and on the same connection; a broken file changes nothing.
// Each reader the loader drops is named in a WARN line, at start-up and at
// every reload; past 20 of them one line says how many more.
TEST(Supervision, ReloadSwapsThePairingRecords) {
    NotifyListener manager("0");
    ServiceSite site;
    site.codes({{"04A1", "R"}});
    std::string nameless;
    for (int i = 0; i < 21; ++i) {
        nameless += "<Reader><IOlabel value=\"A\"/><LEDlabel value=\"B\"/></Reader>";
    }
    testutil::writeFile(site.file("pairs.xml"),
                        "<scl_connections><Reader name=\"R\"><IOlabel value=\"A\"/><LEDlabel "
                        "value=\"B\"/></Reader>" +
                            nameless + "</scl_connections>");
    site.start(kTwoOutputs + std::string("port 12 3 dout C clear\n"), "", "INFO");
    ASSERT_GE(manager.waitFor("READY=1", 5000), 0);
    std::vector<std::string> dropped;
    for (const std::string& line : site.log()) {
        if (line.find("pairing file pairs.xml") != std::string::npos) {
            dropped.push_back(line);
        }
    }
    EXPECT_EQ(20u, testutil::countContaining(dropped, "(no name) dropped: empty or missing name"));
    EXPECT_EQ(
        "WARN|pairing file pairs.xml: reader number 21 (no name) dropped: empty or missing name",
        dropped[19]);
    EXPECT_EQ("WARN|pairing file pairs.xml: 1 more dropped readers are not named", dropped[20]);

    // Reloads, waits for the line that says what came of it, then scans.
    auto reloadAndScan = [&site](const std::string& line, size_t setsAfter) {
        kill(site.service().pid(), SIGHUP);
        ASSERT_TRUE(site.waitLog(line));
        site.sim().write("scan 12 04A1\n");
        ASSERT_TRUE(site.waitSets(setsAfter));
    };
    testutil::writeFile(site.file("pairs.xml"),
                        "<scl_connections><Reader name=\"R\"><IOlabel value=\"C\"/><LEDlabel "
                        "value=\"C\"/></Reader><Reader name=\"Gate\"><IOlabel value=\"A\"/>"
                        "</Reader><Reader name=\"Q\"><IOlabel value=\"A\"/><LEDlabel "
                        "value=\"B\"/></Reader><Reader name=\"Typo\"><IOlabel value=\"A\"/>"
                        "<LEDlabel valeu=\"B\"/></Reader></scl_connections>");
    size_t mark = site.log().size();
    ASSERT_NO_FATAL_FAILURE(reloadAndScan(
        "INFO|reload: pairing file pairs.xml gave 2 records; they replace the ones in force", 2));
    std::vector<std::string> reloaded = site.log();
    EXPECT_EQ((std::vector<std::string>{
                  "WARN|pairing file pairs.xml: reader \"Gate\" (number 2) dropped: empty or "
                  "missing LED label",
                  "WARN|pairing file pairs.xml: reader \"Typo\" (number 4) dropped: empty or "
                  "missing LED label",
                  "INFO|reload: pairing file pairs.xml gave 2 records; they replace the ones in "
                  "force"}),
              std::vector<std::string>(reloaded.begin() + static_cast<long>(mark),
                                       reloaded.begin() + static_cast<long>(mark) + 3));
    EXPECT_EQ((std::vector<std::string>{"SET serial=12 port=3 label=C state=set",
                                        "SET serial=12 port=3 label=C state=clear"}),
              site.sets());
    int reloading = manager.waitFor("RELOADING=1", 2000);
    ASSERT_GE(reloading, 0);
    EXPECT_GE(manager.waitFor("READY=1", 2000, static_cast<size_t>(reloading)), 0);
    EXPECT_GE(manager.waitFor("STATUS=connected to the site daemon; 3 outputs known; 2 pairing "
                              "records; database open",
                              3000, static_cast<size_t>(reloading)),
              0);

    testutil::writeFile(site.file("pairs.xml"), "<scl_connections><Reader name=\"R\">");
    ASSERT_NO_FATAL_FAILURE(reloadAndScan(
        "WARN|reload: pairing file pairs.xml could not be loaded or gave no record; the pairing "
        "records in force are kept",
        4));
    EXPECT_EQ("SET serial=12 port=3 label=C state=set", site.sets()[2]);

    EXPECT_EQ(1, countOf(site.service().lines(), "Getting Device"));
    EXPECT_EQ(1, countOf(site.sim().lines(), "CONNECTED clients=1"));
    EXPECT_TRUE(site.service().running());
}

// Underneath: the client announces each connection before its messages,
// ticks only while no listener call runs, and tells a lost connection from
// a refusal.
class Recorder : public cObjectListener {
public:
    // Each message call is held until release().
    void handleObjectAction(cObjectList*) override {
        std::unique_lock<std::mutex> lock(mMutex);
        mTrace.push_back("message");
        mInCall = true;
        mCond.notify_all();
        mCond.wait(lock, [this] { return !mHold; });
        mInCall = false;
    }
    void handleConnected() override {
        std::lock_guard<std::mutex> lock(mMutex);
        mTrace.push_back("connected");
        mCond.notify_all();
    }
    void handleTick() override { ++mTicks; }

    void release() {
        std::lock_guard<std::mutex> lock(mMutex);
        mHold = false;
        mCond.notify_all();
    }
    // Waits, 10 s at most, until done holds (called under the lock).
    bool waitUntil(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> lock(mMutex);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= until) {
                return false;
            }
            mCond.wait_for(lock, std::chrono::milliseconds(10));  // ticks do not notify
        }
        return true;
    }

    std::mutex mMutex;
    std::condition_variable mCond;
    std::vector<std::string> mTrace;
    bool mInCall = false;
    bool mHold = true;
    std::atomic<int> mTicks{0};
};

TEST(Supervision, ClientNoticesTicksAndOutcomes) {
    FakeDaemon daemon;
    Recorder recorder;
    vutil::Timings timings;
    timings.tick = std::chrono::milliseconds(50);
    timings.reconnect = std::chrono::milliseconds(100);
    cObjectClient client(timings);
    client.addListener(&recorder);
    ASSERT_TRUE(client.start(testutil::loopbackAddress().c_str(), 60000));
    ASSERT_TRUE(daemon.accept());
    daemon.send(VMsg(vmsg::MSG_EVT, 1));
    ASSERT_TRUE(recorder.waitUntil([&] { return recorder.mInCall; }));
    int ticksBefore = recorder.mTicks;
    // Ticks fall due while the call runs: none comes until it returns.
    auto due = std::chrono::steady_clock::now() + 3 * timings.tick;
    while (std::chrono::steady_clock::now() < due) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ticksBefore, recorder.mTicks.load());
    recorder.release();
    EXPECT_TRUE(recorder.waitUntil([&] { return recorder.mTicks > ticksBefore; }));

    // ERR is a refusal; a connection closed while waiting is not.
    cObjectPort port;
    cObjectClient::eRequestOutcome outcome = cObjectClient::REQUEST_ANSWERED;
    std::thread asker([&] { EXPECT_EQ(nullptr, client.get(&port, &outcome)); });
    std::unique_ptr<VMsg> query = daemon.read();
    ASSERT_NE(nullptr, query);
    VMsg err(vmsg::MSG_ERR, query->mMsgSeq);
    err.addTag(new VTagUInt8(ulxobj::TAG_ERR_MSGID, vmsg::MSG_GET));
    daemon.send(err);
    asker.join();
    EXPECT_EQ(cObjectClient::REQUEST_REFUSED, outcome);
    asker = std::thread([&] { EXPECT_EQ(nullptr, client.get(&port, &outcome)); });
    ASSERT_NE(nullptr, daemon.read());
    daemon.closeClient();
    asker.join();
    EXPECT_EQ(cObjectClient::REQUEST_NO_CONNECTION, outcome);
    EXPECT_EQ(nullptr, client.get(&port, &outcome));
    EXPECT_EQ(cObjectClient::REQUEST_NO_CONNECTION, outcome);

    ASSERT_TRUE(daemon.accept());
    daemon.send(VMsg(vmsg::MSG_EVT, 2));
    ASSERT_TRUE(recorder.waitUntil([&] { return recorder.mTrace.size() >= 4; }));
    client.stop();
    EXPECT_EQ((std::vector<std::string>{"connected", "message", "connected", "message"}),
              recorder.mTrace);
}

// The file-size limit, lowered for the processes started while this object
// lives (they inherit it; the test itself writes nothing meanwhile).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &mSaved);
        rlimit lowered = mSaved;
        lowered.rlim_cur = bytes;
        EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &lowered));
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &mSaved); }

private:
    rlimit mSaved;
};

// The access trail on a full disk (its file at the service's file-size
// limit): the loss is said on standard error at once, once, and in the
// status; the doors go on working; once the file can be written again, a
// line says so and how many lines were lost.
TEST(Supervision, TrailThatCannotBeWrittenIsSaidAndDoorsGoOn) {
    NotifyListener manager("0");
    ServiceSite site;
    const rlim_t kLimit = 1 << 20;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}})
        .prepare(kTwoOutputs,
                 testutil::logRoute("DorvaneAccess", "TRAIL") +
                     testutil::logAppender("TRAIL", "RollingFileAppender", "trail.log", "%m%n",
                                           {"maxFileSize=4194304"}),
                 "INFO");
    testutil::writeFile(site.file("trail.log"), std::string(kLimit, 'x'));
    {
        FileSizeLimit limit(kLimit);
        site.startService();
    }
    ASSERT_TRUE(site.waitReady());
    const std::string status =
        "STATUS=connected to the site daemon; 2 outputs known; 1 pairing records; database open";
    site.sim().write("scan 12 04A1\nscan 12 04A1\n");
    ASSERT_TRUE(site.waitSets(4));
    const std::string cannot =
        "dorvane: cannot write to log file trail.log (appender TRAIL) (File too large); its "
        "lines are lost until it can be written again";
    ASSERT_GE(site.service().waitFor(cannot), 0);
    int failing = manager.waitFor(status + "; access trail cannot be written", 5000);
    ASSERT_GE(failing, 0);

    ASSERT_EQ(0, truncate(site.file("trail.log").c_str(), 0));  // room again
    site.sim().write("seq 9\nscan 12 04A1\n");
    ASSERT_TRUE(site.waitSets(6));
    ASSERT_GE(site.service().waitFor(
                  "dorvane: log file trail.log (appender TRAIL) written again; 2 lines were lost"),
              0);
    EXPECT_EQ("seq=09 serial=12 code=04A1 reader=R result=toggled A=clear B=set\n",
              testutil::readFile(site.file("trail.log")));
    EXPECT_EQ(1, countOf(site.service().lines(), cannot));
    bool cleared = false;
    for (int waited = 0; waited < 5000 && !cleared; waited += 100) {
        const std::vector<std::string>& all = manager.messages();
        cleared = std::find(all.begin() + failing, all.end(), status) != all.end();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(cleared);
}

}  // namespace
