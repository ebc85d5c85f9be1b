// dorvane_bench: measures the real service binary against a site daemon
// that the benchmark plays itself over the real protocol, and against the
// physical floor measured in the same run: one prepared SQLite point lookup
// plus one loopback TCP round trip of the same frame sizes.
//
// Usage: dorvane_bench [--quick] [--codes N] [--profile one|all|both]
//                      [--runs N] [--json FILE] [--service PATH]
//   --quick    1,000 codes, 1,000 timed events, a flood of 2,000 (for CI)
//   --codes N  only a database of N codes (default: 1,000, 100,000, 1,000,000)
//   --profile  the CPUs the service, its daemon (this program) and the floor
//              may use: one CPU, all of them, or both in turn (default)
//   --runs N   repeat everything N times and report the median of each figure
//              (the machine is shared: single runs vary by 10 to 20 %)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ObjectCodec.h"
#include "VSocket.h"
#include "VWire.h"
#include "loopback.h"
#include "repeated_code.h"

namespace {

using Clock = std::chrono::steady_clock;
const int kOutputs = 4;
const int kReaders = 1000;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

[[noreturn]] void die(const std::string& why) {
    fprintf(stderr, "dorvane_bench: %s\n", why.c_str());
    exit(1);
}

// One peer connection with a receive buffer.
class Conn {
public:
    explicit Conn(int fd) : mFd(fd) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    ~Conn() { close(mFd); }
    int fd() const { return mFd; }
    void sendBytes(const std::vector<uint8_t>& b) {
        if (!vwire::sendAll(mFd, b))
            die("send failed");
    }
    void send(const VMsg& msg) {
        std::vector<uint8_t> b;
        vwire::encode(msg, b);
        sendBytes(b);
    }
    // The next message; timeoutMs < 0 waits for ever. *firstByte, when
    // given, is when its first byte was read.
    std::unique_ptr<VMsg> read(int timeoutMs = 10000, Clock::time_point* firstByte = nullptr) {
        for (;;) {
            if (mOff < mBuf.size()) {
                auto r = vwire::decode(mBuf.data() + mOff, mBuf.size() - mOff);
                if (r.status == vwire::DecodeStatus::kOk) {
                    mOff += r.consumed;
                    if (firstByte)
                        *firstByte = mFirst;
                    mFirstValid = mOff < mBuf.size();
                    return std::unique_ptr<VMsg>(r.msg);
                }
                if (r.status == vwire::DecodeStatus::kMalformed)
                    die("malformed message");
            }
            if (mOff > 0) {
                mBuf.erase(mBuf.begin(), mBuf.begin() + static_cast<long>(mOff));
                mOff = 0;
            }
            pollfd p{mFd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) != 1)
                return nullptr;
            uint8_t tmp[65536];
            ssize_t n = recv(mFd, tmp, sizeof(tmp), 0);
            if (n <= 0)
                return nullptr;
            if (mBuf.empty() || !mFirstValid) {
                mFirst = Clock::now();
                mFirstValid = true;
            }
            mBuf.insert(mBuf.end(), tmp, tmp + n);
        }
    }

private:
    int mFd;
    std::vector<uint8_t> mBuf;
    size_t mOff = 0;
    Clock::time_point mFirst;
    bool mFirstValid = false;
};

int listenOn(const char* address, unsigned short port) {
    std::string why;
    int fd = vwire::listenOn(address, port, 4, &why);
    if (fd < 0) {
        die(std::string("cannot listen on ") + address + ": " + why);
    }
    return fd;
}

int acceptOne(int listener, int timeoutMs) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        die("the service did not connect");
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

std::string outputLabel(int i) {
    return "OUT_" + std::to_string(i);
}
std::string code(int i) {
    char b[16];
    snprintf(b, sizeof(b), "C%07d", i);
    return b;
}

// extraConf: configuration lines added after the logging lines.
void makeSite(const std::string& dir, int codes, const std::string& priority,
              const std::string& extraConf = "") {
    std::ofstream pairs(dir + "/pairs.xml");
    pairs << "<scl_connections>\n";
    for (int r = 0; r < kReaders; ++r) {
        pairs << "<Reader name=\"R" << r << "\"><IOlabel value=\"" << outputLabel(r % kOutputs)
              << "\"/><LEDlabel value=\"" << outputLabel((r + 1) % kOutputs) << "\"/></Reader>\n";
    }
    pairs << "</scl_connections>\n";
    std::ofstream conf(dir + "/dorvane.conf");
    conf << "host=" << testutil::loopbackAddress(0) << "\nioPairFile=pairs.xml\ndblocal=access.db\n"
         << "log4cpp.rootCategory=" << priority << ", F\n"
         << "log4cpp.appender.F=FileAppender\nlog4cpp.appender.F.fileName=service.log\n"
         << "log4cpp.appender.F.layout=PatternLayout\n"
         << "log4cpp.appender.F.layout.ConversionPattern=%d %p %c: %m%n\n"
         << extraConf;
    std::string db = dir + "/access.db";
    struct stat;
    if (access(db.c_str(), F_OK) == 0)
        return;  // reused across runs of one size
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_exec(h,
                 "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;"
                 "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h, "INSERT INTO codes VALUES (?, ?)", -1, &st, nullptr);
    for (int i = 0; i < codes; ++i) {
        std::string c = code(i), r = "R" + std::to_string(i % kReaders);
        sqlite3_bind_text(st, 1, c.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, r.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(h, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(h);
}

std::vector<uint8_t> eventBytes(uint8_t seq, const std::string& scanCode) {
    VMsg msg(vwire::MSG_EVT, seq);
    cObjectAccess a;
    a.setDeviceSerial(12);
    a.setScanCode(scanCode.c_str());
    objcodec::appendObject(msg, a);
    std::vector<uint8_t> b;
    vwire::encode(msg, b);
    return b;
}

void replyTo(Conn& c, const VMsg& request) {
    VMsg reply(request.mMsgID, request.mMsgSeq);
    for (size_t i = 0; i < request.tagCount(); ++i)
        reply.addTag(request.tagAt(i)->clone());
    c.send(reply);
}

// kB of a "Key:" line of /proc/pid/FILE (status: VmRSS:, VmHWM:; smaps_rollup: Rss:, Pss:).
long procKb(pid_t pid, const char* file, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, strlen(key), key) == 0)
            return atol(line.c_str() + strlen(key));
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
        if (i == 14)
            ut = std::stoul(f);
        if (i == 15)
            st = std::stoul(f);
    }
    return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Percentiles {
    double p50, p90, p99, max;
};

Percentiles percentiles(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
    };
    return {at(0.50), at(0.90), at(0.99), v.back()};
}

struct Result {
    std::string profile;
    int codes = 0;
    std::string priority;
    Percentiles latency{};
    double eventsPerSecond = 0, cpuMicrosPerEvent = 0;
    // Steady: after the latency run, nothing queued. Peak: after the flood.
    double steadyRssKb = 0, steadyPssKb = 0, peakRssKb = 0, rssGrowthKb = 0;
    double lookupP50 = 0, rttP50 = 0;
    double floor() const { return lookupP50 + rttP50; }
};

// The median of each figure over repeated runs of one configuration.
Result medianOf(const std::vector<Result>& runs) {
    Result m = runs[0];
    std::vector<double Result::*> fields = {&Result::eventsPerSecond, &Result::cpuMicrosPerEvent,
                                            &Result::steadyRssKb,     &Result::steadyPssKb,
                                            &Result::peakRssKb,       &Result::rssGrowthKb,
                                            &Result::lookupP50,       &Result::rttP50};
    std::vector<double Percentiles::*> pct = {&Percentiles::p50, &Percentiles::p90,
                                              &Percentiles::p99, &Percentiles::max};
    auto median = [&](auto get) {
        std::vector<double> v;
        v.reserve(runs.size());
        for (const Result& r : runs)
            v.push_back(get(r));
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    for (auto f : fields)
        m.*f = median([f](const Result& r) { return r.*f; });
    for (auto f : pct)
        m.latency.*f = median([f](const Result& r) { return r.latency.*f; });
    return m;
}

// Pins this thread (and so every thread and child it starts later) to the
// profile's CPUs: the first allowed CPU for "one", all allowed for "all".
void pinProfile(const std::string& profile, const cpu_set_t& allowed) {
    cpu_set_t set = allowed;
    if (profile == "one") {
        CPU_ZERO(&set);
        for (int c = 0; c < CPU_SETSIZE; ++c) {
            if (CPU_ISSET(c, &allowed)) {
                CPU_SET(c, &set);
                break;
            }
        }
    }
    if (sched_setaffinity(0, sizeof(set), &set) != 0)
        die(std::string("sched_setaffinity: ") + strerror(errno));
}

// The service against the benchmark's daemon.
// NOLINTNEXTLINE(readability-function-size): to be split into its phases
void runService(const std::string& service, const std::string& dir, int latencyEvents,
                int floodEvents, Result& res) {
    int listener = listenOn(testutil::loopbackAddress(0).c_str(), 60000);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        int out = open("service.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        execl(service.c_str(), service.c_str(), nullptr);
        _exit(127);
    }
    Conn conn(acceptOne(listener, 10000));
    // Discovery: the port list, then one GET per discrete output.
    auto list = conn.read();
    if (!list || list->mMsgID != vwire::MSG_GET)
        die("expected the port list query");
    cObjectList ports(vwire::MSG_GET, list->mMsgSeq);
    for (int i = 0; i < kOutputs; ++i) {
        auto* o = new cObjectDOutput();
        o->setDeviceSerial(12);
        o->setPortId(static_cast<uint32_t>(i + 1));
        o->setPortLabel(outputLabel(i).c_str());
        o->setOutputState(cObject::OBJ_IO_STATE_CLEAR);
        ports.add(o);
    }
    std::unique_ptr<VMsg> reply(objcodec::toMessage(ports, vwire::MSG_GET, list->mMsgSeq));
    conn.send(*reply);
    for (int i = 0; i < kOutputs; ++i) {
        auto get = conn.read();
        if (!get)
            die("expected a port query");
        std::unique_ptr<cObjectList> q(objcodec::fromMessage(*get));
        auto* asked = dynamic_cast<cObjectDOutput*>(q->at(0));
        cObjectList one(vwire::MSG_GET, get->mMsgSeq);
        one.add(ports.at(asked->getPortId() - 1));
        std::unique_ptr<VMsg> r(objcodec::toMessage(one, vwire::MSG_GET, get->mMsgSeq));
        conn.send(*r);
        q->deleteObjects();
    }
    ports.deleteObjects();
    // Ready once the database is open (logged at INFO).
    for (int i = 0; i < 200; ++i) {
        std::ifstream log(dir + "/service.log");
        std::string all((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        if (all.find("opened database") != std::string::npos)
            break;
        usleep(50000);
    }
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> pick(0, res.codes - 1);
    uint8_t seq = 0;
    auto oneEvent = [&](double* latency) {
        std::vector<uint8_t> ev = eventBytes(seq++, code(pick(rng)));
        conn.sendBytes(ev);
        Clock::time_point sent = Clock::now(), first;
        for (int s = 0; s < 2; ++s) {
            auto set = conn.read(10000, s == 0 ? &first : nullptr);
            if (!set || set->mMsgID != vwire::MSG_SET)
                die("expected a SET");
            replyTo(conn, *set);
        }
        if (latency)
            *latency = micros(first - sent);
    };
    for (int i = 0; i < 1000; ++i)
        oneEvent(nullptr);  // warm-up
    std::vector<double> lat(static_cast<size_t>(latencyEvents));
    for (double& l : lat)
        oneEvent(&l);
    res.latency = percentiles(lat);
    usleep(100000);  // let the service settle: no backlog, nothing in flight
    res.steadyRssKb = procKb(pid, "smaps_rollup", "Rss:");
    res.steadyPssKb = procKb(pid, "smaps_rollup", "Pss:");

    if (floodEvents > 0) {
        long rssBefore = procKb(pid, "status", "VmRSS:");
        double cpuBefore = cpuSeconds(pid);
        std::vector<std::vector<uint8_t>> events;
        events.reserve(static_cast<size_t>(floodEvents));
        for (int i = 0; i < floodEvents; ++i)
            events.push_back(eventBytes(seq++, code(pick(rng))));
        auto start = Clock::now();
        std::thread writer([&] {
            std::vector<uint8_t> all;
            for (auto& e : events)
                all.insert(all.end(), e.begin(), e.end());
            conn.sendBytes(all);
        });
        for (int s = 0; s < 2 * floodEvents; ++s) {
            auto set = conn.read(20000);
            if (!set)
                die("the flood lost SETs");
            replyTo(conn, *set);
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        writer.join();
        usleep(200000);
        res.eventsPerSecond = floodEvents / seconds;
        res.cpuMicrosPerEvent = (cpuSeconds(pid) - cpuBefore) * 1e6 / floodEvents;
        res.rssGrowthKb = static_cast<double>(procKb(pid, "status", "VmRSS:") - rssBefore);
    }
    res.peakRssKb = static_cast<double>(procKb(pid, "status", "VmHWM:"));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(listener);
}

// The floor: a prepared point lookup, and a loopback round trip of an
// event-sized frame answered by a SET-sized frame.
void runFloor(const std::string& dir, Result& res, int samples) {
    sqlite3* db = nullptr;
    sqlite3_open_v2((dir + "/access.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT sc, reader FROM codes WHERE sc = ?", -1, &st, nullptr);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(0, res.codes - 1);
    std::vector<double> look;
    for (int i = 0; i < samples; ++i) {
        std::string c = code(pick(rng));
        auto t0 = Clock::now();
        sqlite3_bind_text(st, 1, c.c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_ROW)
            die("floor lookup found nothing");
        sqlite3_reset(st);
        look.push_back(micros(Clock::now() - t0));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    res.lookupP50 = percentiles(look).p50;

    int listener = listenOn(testutil::loopbackAddress(1).c_str(), 60001);
    std::vector<uint8_t> ev = eventBytes(1, code(0));
    VMsg set(vwire::MSG_SET, 1);
    cObjectDOutput out;
    out.setPortLabel(outputLabel(0).c_str());
    objcodec::appendObject(set, out);
    std::vector<uint8_t> setBytes;
    vwire::encode(set, setBytes);
    std::thread server([&] {
        Conn c(acceptOne(listener, 5000));
        for (int i = 0; i < samples; ++i) {
            if (!c.read())
                return;
            c.sendBytes(setBytes);
        }
    });
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(60001);
    inet_pton(AF_INET, testutil::loopbackAddress(1).c_str(), &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
        die("floor connect");
    Conn client(fd);
    std::vector<double> rtt;
    for (int i = 0; i < samples; ++i) {
        auto t0 = Clock::now();
        client.sendBytes(ev);
        Clock::time_point first;
        if (!client.read(5000, &first))
            die("floor round trip");
        rtt.push_back(micros(first - t0));
    }
    server.join();
    close(listener);
    res.rttP50 = percentiles(rtt).p50;
}

// The targets, on each profile against the floor of the same run: one line
// per target with its figure and whether it is met.
void printTargets(const std::vector<Result>& results, std::ofstream& json) {
    json << "  \"targets\": [\n";
    bool firstJson = true;
    auto target = [&](const Result& r, const std::string& what, double value, double limit,
                      bool atLeast = false) {
        bool met = atLeast ? value >= limit : value <= limit;
        const char* rel = atLeast ? (met ? ">=" : "< ") : (met ? "<=" : "> ");
        printf("  %-4s %-9d %-30s %8.2f %s %-6.2f %s\n", r.profile.c_str(), r.codes, what.c_str(),
               value, rel, limit, met ? "met" : "NOT MET");
        json << (firstJson ? "" : ",\n") << "    {\"profile\": \"" << r.profile
             << "\", \"codes\": " << r.codes << ", \"target\": \"" << what
             << "\", \"value\": " << value << ", \"limit\": " << limit
             << ", \"met\": " << (met ? "true" : "false") << "}";
        firstJson = false;
    };
    printf("\ntargets (against the floor of the same run and profile):\n");
    for (const Result& r : results) {
        if (r.priority != "INFO")
            continue;
        target(r, "p50/floor", r.latency.p50 / r.floor(), 1.5);
        target(r, "p99/floor", r.latency.p99 / r.floor(), 3.0);
        // Each event costs one lookup and two round trips: the floor's
        // rate is 1 / (lookup + 2 rtt); the service must reach 60 % of it.
        if (r.eventsPerSecond > 0)
            target(r, "events/s x (lookup + 2 rtt)",
                   r.eventsPerSecond * (r.lookupP50 + 2 * r.rttP50) / 1e6, 0.6, true);
        if (r.profile == "one" && r.cpuMicrosPerEvent > 0)
            target(r, "CPU us/event", r.cpuMicrosPerEvent, 60);
        if (r.codes == 1000 || r.codes == 1000000)
            target(r, "steady RSS MiB", r.steadyRssKb / 1024, r.codes == 1000 ? 8 : 16);
        if (r.codes == 1000000) {
            for (const Result& small : results) {
                if (small.profile == r.profile && small.codes == 1000 && small.priority == "INFO")
                    target(r, "p50 / p50 at 1,000 codes", r.latency.p50 / small.latency.p50, 1.2);
            }
        }
    }
    json << "\n  ]\n";
}

// What the command line asks for.
struct Options {
    bool quick = false;
    int only = 0;
    int runs = 1;
    std::string json = "bench-results.json";
    std::string service = DORVANE_BENCH_SERVICE;
    std::vector<std::string> profiles = {"one", "all"};
};

// Reads the command line into *opt; returns -1 to go on, or the status to
// leave with after the usage line (0 for --help, 2 for anything not understood).
int parseOptions(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string next = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--quick") {
            opt.quick = true;
        } else if (a == "--json" && !next.empty()) {
            opt.json = argv[++i];
        } else if (a == "--service" && !next.empty()) {
            opt.service = argv[++i];
        } else if (a == "--codes" && !next.empty()) {
            opt.only = atoi(argv[++i]);
        } else if (a == "--runs" && atoi(next.c_str()) > 0) {
            opt.runs = atoi(argv[++i]);
        } else if (a == "--profile" && (next == "one" || next == "all" || next == "both")) {
            opt.profiles = next == "both" ? opt.profiles : std::vector<std::string>{next};
            ++i;
        } else {
            printf(
                "usage: dorvane_bench [--quick] [--codes N] [--profile one|all|both] "
                "[--runs N] [--json FILE] [--service PATH]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    return -1;
}

// One configuration: a profile, a size, a log priority.
struct Config {
    std::string profile;
    int codes;
    std::string priority;
};

// Every size at INFO, then the first size at DEBUG and with the access trail
// (on in every other row) silenced, for its cost; for each profile in turn.
std::vector<Config> configsFor(const Options& opt) {
    std::vector<int> sizes =
        opt.quick ? std::vector<int>{1000} : std::vector<int>{1000, 100000, 1000000};
    if (opt.only > 0)
        sizes = {opt.only};
    std::vector<Config> configs;
    for (const std::string& profile : opt.profiles) {
        for (int n : sizes)
            configs.push_back({profile, n, "INFO"});
        configs.push_back({profile, sizes[0], "DEBUG"});
        configs.push_back({profile, sizes[0], "silent"});
    }
    return configs;
}

// Runs every configuration opt.runs times, each on a site under root, and
// returns the median of each configuration's figures.
std::vector<Result> measureAll(const Options& opt, const std::vector<Config>& configs,
                               const std::string& root, const cpu_set_t& allowed) {
    int latencyEvents = opt.quick ? 1000 : 10000;
    int floodEvents = opt.quick ? 2000 : 100000;
    std::vector<std::vector<Result>> samples(configs.size());
    for (int run = 0; run < opt.runs; ++run) {
        for (size_t c = 0; c < configs.size(); ++c) {
            const Config& cfg = configs[c];
            pinProfile(cfg.profile, allowed);
            std::string dir = root + "/" + std::to_string(cfg.codes);
            mkdir(dir.c_str(), 0755);
            const bool silent = cfg.priority == "silent";
            makeSite(dir, cfg.codes, silent ? "INFO" : cfg.priority,
                     silent ? "log4cpp.category.DorvaneAccess=WARN\n" : "");
            Result r;
            r.profile = cfg.profile;
            r.codes = cfg.codes;
            r.priority = cfg.priority;
            fprintf(stderr, "run %d/%d: %s CPU(s), %d codes at %s...\n", run + 1, opt.runs,
                    cfg.profile.c_str(), cfg.codes, cfg.priority.c_str());
            runService(opt.service, dir, latencyEvents, cfg.priority != "DEBUG" ? floodEvents : 0,
                       r);
            runFloor(dir, r, latencyEvents);
            samples[c].push_back(r);
        }
    }
    pinProfile("all", allowed);
    std::vector<Result> results;
    results.reserve(samples.size());
    for (const auto& s : samples)
        results.push_back(medianOf(s));
    return results;
}

// The table on standard output and the same figures as the JSON file's
// "results" array.
void printResults(const Options& opt, const std::vector<Result>& results, std::ofstream& out) {
    printf("%s; %d run(s), medians\n", opt.quick ? "quick" : "full", opt.runs);
    printf("%-4s %-8s %-6s %7s %7s %7s %8s %7s %6s %8s %6s %8s %8s %8s %8s %7s %6s\n", "cpus",
           "codes", "log", "p50us", "p90us", "p99us", "maxus", "floorus", "p50/f", "events/s",
           "cpuus", "rssKiB", "pssKiB", "peakKiB", "growKiB", "lookup", "rtt");
    out << "{\n  \"runs\": " << opt.runs << ",\n  \"results\": [\n";
    for (size_t i = 0; i < results.size(); ++i) {
        const Result& r = results[i];
        printf(
            "%-4s %-8d %-6s %7.1f %7.1f %7.1f %8.1f %7.1f %6.2f %8.0f %6.1f %8.0f %8.0f %8.0f "
            "%8.0f %7.2f %6.1f\n",
            r.profile.c_str(), r.codes, r.priority.c_str(), r.latency.p50, r.latency.p90,
            r.latency.p99, r.latency.max, r.floor(), r.latency.p50 / r.floor(), r.eventsPerSecond,
            r.cpuMicrosPerEvent, r.steadyRssKb, r.steadyPssKb, r.peakRssKb, r.rssGrowthKb,
            r.lookupP50, r.rttP50);
        out << "    {\"profile\": \"" << r.profile << "\", \"codes\": " << r.codes
            << ", \"log\": \"" << r.priority << "\", \"p50_us\": " << r.latency.p50
            << ", \"p90_us\": " << r.latency.p90 << ", \"p99_us\": " << r.latency.p99
            << ", \"max_us\": " << r.latency.max << ", \"floor_us\": " << r.floor()
            << ", \"lookup_p50_us\": " << r.lookupP50 << ", \"rtt_p50_us\": " << r.rttP50
            << ", \"p50_over_floor\": " << r.latency.p50 / r.floor()
            << ", \"events_per_s\": " << r.eventsPerSecond
            << ", \"cpu_us_per_event\": " << r.cpuMicrosPerEvent
            << ", \"steady_rss_kib\": " << r.steadyRssKb
            << ", \"steady_pss_kib\": " << r.steadyPssKb << ", \"peak_rss_kib\": " << r.peakRssKb
            << ", \"rss_growth_kib\": " << r.rssGrowthKb << "}"
            << (i + 1 < results.size() ? "," : "") << "\n";
    }
    out << "  ],\n";
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    Options opt;
    int status = parseOptions(argc, argv, opt);
    if (status >= 0)
        return status;
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0)
        die(std::string("sched_getaffinity: ") + strerror(errno));
    std::vector<Config> configs = configsFor(opt);
    char tmpl[] = "/tmp/dorvane-bench-XXXXXX";
    std::string root = mkdtemp(tmpl);
    // First: the peak RSS it reports is this process's own.
    RepeatedCodeResult repeated = measureRepeatedCode(root, opt.quick ? 10000 : 100000, 5);
    std::vector<Result> results = measureAll(opt, configs, root, allowed);
    std::ofstream out(opt.json);
    printResults(opt, results, out);
    printTargets(results, out);
    writeRepeatedCode(repeated, out);
    out << "}\n";
    std::string cmd = "rm -rf '" + root + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", root.c_str());
    printf("results written to %s\n", opt.json.c_str());
    return 0;
}
