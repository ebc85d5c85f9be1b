// ServiceSite: a site for end-to-end tests of the real service binary: a
// working directory with dorvane.conf (logging to service.log as
// "category|priority|message"), a pairing file and an access database, the
// simulator on the test's own loopback address, and the service itself.
#ifndef DORVANE_TESTS_SERVICE_SITE_H
#define DORVANE_TESTS_SERVICE_SITE_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/test_daemon.h"
#include "tests/test_util.h"
#include "ulxobj/cObject.h"

namespace testutil {

struct Pairing {
    std::string reader, io, led;
};
using Codes = std::vector<std::pair<std::string, std::string>>;  // (code, reader) rows

// The sentinel: its reader has B as IO and LED label, so its two SETs toggle
// B there and back. Scanned after the event under test it is handled after
// it: once its SETs are in, that event has had all its effects.
const Pairing kSentinel = {"Sentinel", "B", "B"};
const std::pair<std::string, std::string> kSentinelCode = {"SENTINEL", "Sentinel"};
// Device 12 with output A (set) on port 1 and B (clear) on port 2.
const char* const kTwoOutputs =
    "port 12 1 dout A set\n"
    "port 12 2 dout B clear\n";
// Configuration lines that send the access trail, and only it, to the file
// trail.log in the working directory, one bare line per scan.
const char* const kTrailToFile =
    "log4cpp.category.DorvaneAccess=INFO, TRAIL\n"
    "log4cpp.additivity.DorvaneAccess=false\n"
    "log4cpp.appender.TRAIL=FileAppender\n"
    "log4cpp.appender.TRAIL.fileName=trail.log\n"
    "log4cpp.appender.TRAIL.layout=PatternLayout\n"
    "log4cpp.appender.TRAIL.layout.ConversionPattern=%m%n\n";

// Timings for the services a test starts from now on (dorvane-local reads
// them from its environment; see src/timings.h), added to the test
// timings, for the life of the object. extra: "name=ms" pairs, as
// vutil::parseTimings reads them.
class ServiceTimings {
public:
    explicit ServiceTimings(const std::string& extra);
    ~ServiceTimings();
    ServiceTimings(const ServiceTimings&) = delete;
    ServiceTimings& operator=(const ServiceTimings&) = delete;

private:
    bool mHad;
    std::string mBefore;
};

// One discrete output of a site that a test's FakeDaemon plays.
struct SiteOutput {
    uint32_t serial;
    uint32_t port;
    std::string label;
    int state;  // cObject::eObjectIOState
};
// Device 12's A (set) and B (clear), as a FakeDaemon plays them.
const std::vector<SiteOutput> kPlayedOutputs = {{12, 1, "A", cObject::OBJ_IO_STATE_SET},
                                                {12, 2, "B", cObject::OBJ_IO_STATE_CLEAR}};

class ServiceSite {
public:
    // The simulator listens, and the service connects, on address (by
    // default the process's own loopback address).
    explicit ServiceSite(const std::string& address = loopbackAddress());

    // Writes pairs.xml with the given readers.
    void pairs(const std::vector<Pairing>& readers);
    // Writes access.db with the given (code, reader) rows.
    void codes(const Codes& rows);
    // Both of the above; for chaining, as in site.files(...).start(...).
    ServiceSite& files(const std::vector<Pairing>& readers, const Codes& rows);
    // Writes dorvane.conf: host, files and log routing at the given
    // priority, with extra lines in front.
    void config(const std::string& extra = "", const std::string& priority = "DEBUG");
    // Starts the simulator with the given site file text (again, after
    // stopSim, with the same site); false, with a failure recorded, when it
    // does not listen.
    [[nodiscard]] bool startSim(const std::string& siteText,
                                const std::vector<std::string>& extraArgs = {});
    void stopSim();
    // Starts the service in the working directory.
    void startService();
    // Waits until the service has finished start-up.
    bool waitReady(int timeoutMs = 20000);
    // Starts the service against a FakeDaemon on the site's address, which
    // the test plays, and accepts the service's connection (none: a fatal
    // failure, which ends the test). The daemon lives as long as the site.
    FakeDaemon& startPlayed();
    // startPlayed(), then discovery answered with outputs (the port list,
    // then each output; a request that does not come is a fatal failure);
    // the caller awaits start-up as it needs.
    FakeDaemon& startPlayed(const std::vector<SiteOutput>& outputs);
    // config(extraConfig, priority), then the simulator with siteText and
    // simArgs; a simulator that does not listen is a fatal failure, which
    // ends the test (see test_main.cpp).
    void prepare(const std::string& siteText, const std::string& extraConfig = "",
                 const std::string& priority = "DEBUG",
                 const std::vector<std::string>& simArgs = {});
    // The usual start of a test: prepare(...), the service, and its start-up
    // awaited; a service that never gets ready is a fatal failure.
    void start(const std::string& siteText, const std::string& extraConfig = "",
               const std::string& priority = "DEBUG", const std::vector<std::string>& simArgs = {});

    // Lines of service.log of the category, without the category prefix, in
    // order ("DEBUG|text"); blank message lines are left out.
    std::vector<std::string> log(const std::string& category = "DorvaneManager");
    // How many of those lines contain text.
    size_t logCount(const std::string& text, const std::string& category = "DorvaneManager");
    // The SET lines the simulator printed, from line 'from' on.
    std::vector<std::string> sets(size_t from = 0);
    // Waits until the simulator printed n SET lines in all.
    bool waitSets(size_t n, int timeoutMs = 10000);
    // Waits until a line of the category in service.log contains text.
    bool waitLog(const std::string& text, const std::string& category = "DorvaneManager",
                 int timeoutMs = 10000);
    // Waits until every line the simulator printed before the call has been
    // read (a "states" round trip); the current states then follow.
    bool syncSim(int timeoutMs = 10000);

    // A run of dorvanectl: its exit status (-1 when it had to be killed) and
    // its output, standard output and error, line by line.
    struct CtlRun {
        int status;
        std::string text;
    };
    // Runs dorvanectl --config dorvane.conf args in the working directory.
    CtlRun ctl(const std::vector<std::string>& args, int timeoutMs = 30000);

    const std::string& address() const { return mAddress; }
    std::string file(const std::string& name) const { return mDir.file(name); }
    Process& sim() { return *mSim; }
    Process& service() { return *mService; }

private:
    std::string mAddress;
    TempDir mDir;
    std::unique_ptr<Process> mSim;
    std::unique_ptr<Process> mService;
    std::unique_ptr<FakeDaemon> mDaemon;
};

// The SET lines the simulator prints for states on device 12 of kTwoOutputs,
// in order: "A=set B=clear" (A is port 1, B port 2).
std::vector<std::string> setsOn12(const std::string& states);

// The standard output of a shell command line of this machine (never under
// a cross build's emulator), such as the events' checker
// tests/data/check_events.py; empty when it cannot run.
std::string runShell(const std::string& command);

// The wire form of msg as the simulator's "raw" command takes it.
std::string rawCommand(const VMsg& msg);
// An event of sequence seq with one access object per code, of device serial.
std::unique_ptr<VMsg> accessEvent(const std::vector<std::string>& codes, uint8_t seq = 1,
                                  uint32_t serial = 0);

// True when request is the GET of the port list (one generic port object).
bool isPortListQuery(const VMsg& request);
// What a daemon with these outputs answers to request: the port list, the
// ports asked for, or a SET's objects as applied, under the request's id
// and sequence number.
std::unique_ptr<VMsg> siteReply(const VMsg& request, const std::vector<SiteOutput>& outputs);
// An ERR that refuses request, naming its id.
std::unique_ptr<VMsg> refusal(const VMsg& request);
// Reads the next request and answers it as siteReply does; false, with a
// failure recorded, when none came within timeoutMs.
bool answerNext(FakeDaemon& daemon, const std::vector<SiteOutput>& outputs, int timeoutMs = 5000);

}  // namespace testutil

#endif
