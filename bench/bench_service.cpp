#include "bench/bench_service.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/bench_peer.h"
#include "bench/bench_site.h"
#include "src/timings.h"
#include "tests/support/loopback.h"
#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

namespace bench {

namespace {

const int kWarmUpEvents = 1000;
const int kFloodChunk = 100;  // events per write: replies go between writes

// kB of a "Key:" line of /proc/pid/FILE (status: VmRSS:, VmHWM:; smaps_rollup: Rss:, Pss:).
long procKb(pid_t pid, const char* file, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, strlen(key), key) == 0) {
            return atol(line.c_str() + strlen(key));
        }
    }
    return -1;
}

double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t p = all.rfind(')');
    std::istringstream fields(all.substr(p + 2));
    std::string f;
    unsigned long ut = 0, st = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) {
            ut = std::stoul(f);
        }
        if (i == 15) {
            st = std::stoul(f);
        }
    }
    return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Access events of random codes of the database, in sequence.
class Scans {
public:
    explicit Scans(int codes) : mRng(42), mPick(0, codes - 1), mSeq(0) {}
    std::vector<uint8_t> next() { return eventBytes(mSeq++, code(mPick(mRng))); }

private:
    std::mt19937 mRng;
    std::uniform_int_distribution<int> mPick;
    uint8_t mSeq;
};

pid_t startService(const std::string& service, const std::string& dir) {
    pid_t pid = fork();
    if (pid == 0) {
        // Dies with the benchmark, however that ends (cleanUp covers the
        // rest: a benchmark that stops stops its service).
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        int out = open("service.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        // The flood's events wait behind each other by design: none may
        // expire, or the figures would measure scans that open nothing.
        setenv(timings::kVariable, "scan_expiry=0", 1);
        execl(service.c_str(), service.c_str(), nullptr);
        _exit(127);
    }
    if (pid < 0) {
        die(std::string("fork: ") + strerror(errno));
    }
    ownService(pid);
    return pid;
}

// The site's discrete outputs as the daemon holds them (states clear).
cObjectDOutput* siteOutput(int i) {
    auto* o = new cObjectDOutput();
    o->setDeviceSerial(12);
    o->setPortId(static_cast<uint32_t>(i + 1));
    o->setPortLabel(outputLabel(i).c_str());
    o->setOutputState(cObject::OBJ_IO_STATE_CLEAR);
    return o;
}

// Answers a GET as the daemon does, whenever it comes: the port list (a
// generic port asked for), or each output asked for by its port id.
void answerGet(Conn& conn, const VMsg& get) {
    std::unique_ptr<cObjectList> asked(ulxobj::fromMessage(get));
    cObjectList reply(vmsg::MSG_GET, get.mMsgSeq);
    for (size_t a = 0; a < asked->size(); ++a) {
        auto* port = dynamic_cast<cObjectPort*>(asked->at(a));
        if (port == nullptr) {
            continue;
        }
        if (asked->at(a)->getType() == cObject::OBJ_PORT) {
            for (int i = 0; i < kOutputs; ++i) {
                reply.add(siteOutput(i));
            }
        } else if (port->getPortId() >= 1 && port->getPortId() <= kOutputs) {
            reply.add(siteOutput(static_cast<int>(port->getPortId()) - 1));
        }
    }
    asked->deleteObjects();
    std::unique_ptr<VMsg> r(ulxobj::toMessage(reply, vmsg::MSG_GET, get.mMsgSeq));
    reply.deleteObjects();
    conn.send(*r);
}

// The next SET within timeoutMs, or null; every GET before it is answered
// (discovery asks again for what a reply it deemed late did not give).
std::unique_ptr<VMsg> nextSet(Conn& conn, int timeoutMs, Clock::time_point* firstByte = nullptr) {
    for (;;) {
        auto msg = conn.read(timeoutMs, firstByte);
        if (!msg || msg->mMsgID != vmsg::MSG_GET) {
            return msg;
        }
        answerGet(conn, *msg);
    }
}

bool ready(const std::string& dir) {
    std::ifstream log(dir + "/service.log");
    std::string all((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    return all.find("opened database") != std::string::npos;
}

// Discovery: every GET answered until the service is ready (the database
// opened, logged at INFO), 10 s at most.
void answerDiscovery(Conn& conn, const std::string& dir) {
    Clock::time_point until = Clock::now() + std::chrono::seconds(10);
    while (!ready(dir)) {
        if (Clock::now() > until) {
            die("the service did not finish start-up");
        }
        auto msg = conn.read(50);
        if (msg && msg->mMsgID != vmsg::MSG_GET) {
            die("expected a discovery request");
        }
        if (msg) {
            answerGet(conn, *msg);
        }
    }
}

// One event and its two SETs, answered; the microseconds from the event
// written to the first byte of its first SET received.
double oneEvent(Conn& conn, Scans& scans) {
    conn.sendBytes(scans.next());
    Clock::time_point sent = Clock::now(), first;
    for (int s = 0; s < 2; ++s) {
        auto set = nextSet(conn, 10000, s == 0 ? &first : nullptr);
        if (!set || set->mMsgID != vmsg::MSG_SET) {
            die("expected a SET");
        }
        replyTo(conn, *set);
    }
    return micros(first - sent);
}

void measureLatency(Conn& conn, Scans& scans, int events, pid_t pid, Result& res) {
    for (int i = 0; i < kWarmUpEvents; ++i) {
        oneEvent(conn, scans);
    }
    std::vector<double> lat(static_cast<size_t>(events));
    for (double& l : lat) {
        l = oneEvent(conn, scans);
    }
    res.latency = percentiles(lat);
    usleep(100000);  // let the service settle: no backlog, nothing in flight
    res.steadyRssKb = static_cast<double>(procKb(pid, "smaps_rollup", "Rss:"));
    res.steadyPssKb = static_cast<double>(procKb(pid, "smaps_rollup", "Pss:"));
}

// events back to back, written by a thread of their own while this one
// answers the SETs.
void measureFlood(Conn& conn, Scans& scans, int events, pid_t pid, Result& res) {
    long rssBefore = procKb(pid, "status", "VmRSS:");
    double cpuBefore = cpuSeconds(pid);
    std::vector<std::vector<uint8_t>> chunks;
    for (int i = 0; i < events; ++i) {
        if (i % kFloodChunk == 0) {
            chunks.emplace_back();
        }
        std::vector<uint8_t> e = scans.next();
        chunks.back().insert(chunks.back().end(), e.begin(), e.end());
    }
    Clock::time_point start = Clock::now();
    std::thread writer([&] {
        for (const std::vector<uint8_t>& chunk : chunks) {
            conn.sendBytes(chunk);
        }
    });
    for (int s = 0; s < 2 * events; ++s) {
        auto set = nextSet(conn, 20000);
        if (!set || set->mMsgID != vmsg::MSG_SET) {
            die("the flood lost SETs");
        }
        replyTo(conn, *set);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    usleep(200000);
    res.eventsPerSecond = events / seconds;
    res.cpuMicrosPerEvent = (cpuSeconds(pid) - cpuBefore) * 1e6 / events;
    res.rssGrowthKb = static_cast<double>(procKb(pid, "status", "VmRSS:") - rssBefore);
}

}  // namespace

void runService(const std::string& service, const std::string& dir, int latencyEvents,
                int floodEvents, Result& res) {
    int listener = listenOn(testutil::loopbackAddress(0).c_str(), 60000);
    pid_t pid = startService(service, dir);
    {
        Conn conn(acceptOne(listener, 10000));
        answerDiscovery(conn, dir);
        Scans scans(res.codes);
        measureLatency(conn, scans, latencyEvents, pid, res);
        if (floodEvents > 0) {
            measureFlood(conn, scans, floodEvents, pid, res);
        }
        res.peakRssKb = static_cast<double>(procKb(pid, "status", "VmHWM:"));
        ownService(0);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(listener);
}

}  // namespace bench
