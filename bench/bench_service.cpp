#include "bench/bench_service.h"

#include <fcntl.h>
#include <signal.h>
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
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        int out = open("service.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        // The flood's events wait behind each other by design: none may
        // expire, or the figures would measure scans that open nothing.
        setenv(timings::kScanExpiryVariable, "0", 1);
        execl(service.c_str(), service.c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

// Discovery: the port list, then one GET per discrete output.
void answerDiscovery(Conn& conn) {
    auto list = conn.read();
    if (!list || list->mMsgID != vmsg::MSG_GET) {
        die("expected the port list query");
    }
    cObjectList ports(vmsg::MSG_GET, list->mMsgSeq);
    for (int i = 0; i < kOutputs; ++i) {
        auto* o = new cObjectDOutput();
        o->setDeviceSerial(12);
        o->setPortId(static_cast<uint32_t>(i + 1));
        o->setPortLabel(outputLabel(i).c_str());
        o->setOutputState(cObject::OBJ_IO_STATE_CLEAR);
        ports.add(o);
    }
    std::unique_ptr<VMsg> reply(ulxobj::toMessage(ports, vmsg::MSG_GET, list->mMsgSeq));
    conn.send(*reply);
    for (int i = 0; i < kOutputs; ++i) {
        auto get = conn.read();
        if (!get) {
            die("expected a port query");
        }
        std::unique_ptr<cObjectList> q(ulxobj::fromMessage(*get));
        auto* asked = dynamic_cast<cObjectDOutput*>(q->at(0));
        cObjectList one(vmsg::MSG_GET, get->mMsgSeq);
        one.add(ports.at(asked->getPortId() - 1));
        std::unique_ptr<VMsg> r(ulxobj::toMessage(one, vmsg::MSG_GET, get->mMsgSeq));
        conn.send(*r);
        q->deleteObjects();
    }
    ports.deleteObjects();
}

// Ready once the database is open (logged at INFO).
void waitReady(const std::string& dir) {
    for (int i = 0; i < 200; ++i) {
        std::ifstream log(dir + "/service.log");
        std::string all((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        if (all.find("opened database") != std::string::npos) {
            return;
        }
        usleep(50000);
    }
}

// One event and its two SETs, answered; the microseconds from the event
// written to the first byte of its first SET received.
double oneEvent(Conn& conn, Scans& scans) {
    conn.sendBytes(scans.next());
    Clock::time_point sent = Clock::now(), first;
    for (int s = 0; s < 2; ++s) {
        auto set = conn.read(10000, s == 0 ? &first : nullptr);
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
        auto set = conn.read(20000);
        if (!set) {
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
        answerDiscovery(conn);
        waitReady(dir);
        Scans scans(res.codes);
        measureLatency(conn, scans, latencyEvents, pid, res);
        if (floodEvents > 0) {
            measureFlood(conn, scans, floodEvents, pid, res);
        }
        res.peakRssKb = static_cast<double>(procKb(pid, "status", "VmHWM:"));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(listener);
}

}  // namespace bench
