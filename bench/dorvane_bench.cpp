// dorvane_bench: measures the real service binary against a site daemon
// that the benchmark plays itself over the real protocol (bench_service.h),
// and against the floor measured in the same run and CPU profile
// (bench_floor.h): one prepared SQLite point lookup plus one loopback TCP
// round trip of the same frame sizes, the lowest of the ways the profile
// can run it.
//
// Usage: dorvane_bench [--quick] [--codes N] [--profile one|all|both]
//                      [--runs N] [--json FILE] [--service PATH]
//   --quick    1,000 codes, 1,000 timed events, a flood of 2,000 (for CI)
//   --codes N  only a database of N codes (default: 1,000, 100,000, 1,000,000)
//   --profile  the CPUs the service, its daemon (this program) and the floor
//              may use: one CPU, all of them, or both in turn (default)
//   --runs N   repeat everything N times and report the median of each figure
//              (the machine is shared: single runs vary by 10 to 20 %)
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_floor.h"
#include "bench/bench_peer.h"
#include "bench/bench_report.h"
#include "bench/bench_result.h"
#include "bench/bench_service.h"
#include "bench/bench_site.h"
#include "bench/repeated_code.h"

namespace bench {
namespace {

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

// Every size at INFO, then the first size at DEBUG, with the access trail
// (on in every other row) silenced, and at INFO with the outbox on (row
// "outbox"), for their cost; for each profile in turn.
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
        configs.push_back({profile, sizes[0], "outbox"});
    }
    return configs;
}

// Measures one configuration once, on a site in dir.
Result measureOne(const Options& opt, const Config& cfg, const std::string& dir) {
    int latencyEvents = opt.quick ? 1000 : 10000;
    int floodEvents = opt.quick ? 2000 : 100000;
    const bool silent = cfg.priority == "silent";
    const bool outbox = cfg.priority == "outbox";
    std::string extra = silent ? "log4cpp.category.DorvaneAccess=WARN\n" : "";
    if (outbox) {
        // A fresh folder at its default bound: the flood passes the bound,
        // so closed files are removed and lost events written as on a unit
        // whose link is away.
        std::string cmd = "rm -rf '" + dir + "/outbox'";
        if (system(cmd.c_str()) != 0) {
            die("cannot remove " + dir + "/outbox");
        }
        extra = "outbox=outbox\n";
    }
    makeSite(dir, cfg.codes, silent || outbox ? "INFO" : cfg.priority, extra);
    Result r;
    r.profile = cfg.profile;
    r.codes = cfg.codes;
    r.priority = cfg.priority;
    runService(opt.service, dir, latencyEvents, cfg.priority != "DEBUG" ? floodEvents : 0, r);
    runFloor(dir, r, latencyEvents);
    return r;
}

// Runs every configuration opt.runs times, each on a site under root, and
// returns the median of each configuration's figures.
std::vector<Result> measureAll(const Options& opt, const std::vector<Config>& configs,
                               const std::string& root, const cpu_set_t& allowed) {
    std::vector<std::vector<Result>> samples(configs.size());
    for (int run = 0; run < opt.runs; ++run) {
        for (size_t c = 0; c < configs.size(); ++c) {
            const Config& cfg = configs[c];
            pinProfile(cfg.profile, allowed);
            std::string dir = root + "/" + std::to_string(cfg.codes);
            mkdir(dir.c_str(), 0755);
            fprintf(stderr, "run %d/%d: %s CPU(s), %d codes at %s...\n", run + 1, opt.runs,
                    cfg.profile.c_str(), cfg.codes, cfg.priority.c_str());
            samples[c].push_back(measureOne(opt, cfg, dir));
        }
    }
    pinProfile("all", allowed);
    std::vector<Result> results;
    results.reserve(samples.size());
    for (const auto& s : samples) {
        results.push_back(medianOf(s));
    }
    return results;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    signal(SIGPIPE, SIG_IGN);
    cleanUpOnSignals();
    Options opt;
    int status = parseOptions(argc, argv, opt);
    if (status >= 0) {
        return status;
    }
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        die(std::string("sched_getaffinity: ") + strerror(errno));
    }
    std::vector<Config> configs = configsFor(opt);
    char tmpl[] = "/tmp/dorvane-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        die(std::string("mkdtemp: ") + strerror(errno));
    }
    std::string root = tmpl;
    ownFolder(root);
    // First: the peak RSS it reports is this process's own.
    RepeatedCodeResult repeated = measureRepeatedCode(root, opt.quick ? 10000 : 100000, 5);
    std::vector<Result> results = measureAll(opt, configs, root, allowed);
    std::ofstream out(opt.json);
    printResults(opt.quick ? "quick" : "full", opt.runs, results, out);
    printTargets(results, out);
    writeRepeatedCode(repeated, out);
    out << "}\n";
    cleanUp();
    printf("results written to %s\n", opt.json.c_str());
    return 0;
}
