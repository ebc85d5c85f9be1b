#include "bench/bench_report.h"

#include <cstdio>

namespace bench {

namespace {

void printRow(const Result& r) {
    printf(
        "%-4s %-8d %-6s %7.1f %7.1f %7.1f %8.1f %7.1f %6.2f %8.0f %6.1f %8.0f %8.0f %8.0f "
        "%8.0f %7.2f %6.1f  %s\n",
        r.profile.c_str(), r.codes, r.priority.c_str(), r.latency.p50, r.latency.p90, r.latency.p99,
        r.latency.max, r.floor(), r.latency.p50 / r.floor(), r.eventsPerSecond, r.cpuMicrosPerEvent,
        r.steadyRssKb, r.steadyPssKb, r.peakRssKb, r.rssGrowthKb, r.lookupP50, r.rtt(),
        r.floorModeName().c_str());
}

void jsonRow(const Result& r, std::ofstream& out) {
    out << "    {\"profile\": \"" << r.profile << "\", \"codes\": " << r.codes << ", \"log\": \""
        << r.priority << "\", \"p50_us\": " << r.latency.p50 << ", \"p90_us\": " << r.latency.p90
        << ", \"p99_us\": " << r.latency.p99 << ", \"max_us\": " << r.latency.max
        << ", \"floor_us\": " << r.floor() << ", \"floor_mode\": \"" << r.floorModeName()
        << "\", \"lookup_p50_us\": " << r.lookupP50 << ", \"rtt_p50_us\": " << r.rtt()
        << ", \"rtt_p50_us_by_mode\": {";
    for (size_t m = 0; m < r.rttP50.size(); ++m) {
        out << (m > 0 ? ", " : "") << "\"" << r.rttModes[m] << "\": " << r.rttP50[m];
    }
    out << "}, \"p50_over_floor\": " << r.latency.p50 / r.floor()
        << ", \"events_per_s\": " << r.eventsPerSecond
        << ", \"cpu_us_per_event\": " << r.cpuMicrosPerEvent
        << ", \"steady_rss_kib\": " << r.steadyRssKb << ", \"steady_pss_kib\": " << r.steadyPssKb
        << ", \"peak_rss_kib\": " << r.peakRssKb << ", \"rss_growth_kib\": " << r.rssGrowthKb
        << "}";
}

// The floor's round trip of each row in every mode, the lowest marked.
void printRoundTrips(const std::vector<Result>& results) {
    printf("\nfloor round trip p50 us by mode (* the floor's):\n");
    for (const Result& r : results) {
        printf("  %-4s %-8d %-6s", r.profile.c_str(), r.codes, r.priority.c_str());
        for (size_t m = 0; m < r.rttP50.size(); ++m) {
            printf("  %s %.1f%s", r.rttModes[m].c_str(), r.rttP50[m],
                   m == r.floorMode() ? "*" : "");
        }
        printf("\n");
    }
}

// Prints and records one target; atLeast: the value must reach the limit.
class Targets {
public:
    explicit Targets(std::ofstream& json) : mJson(json), mFirst(true) {}
    void add(const Result& r, const std::string& what, double value, double limit,
             bool atLeast = false) {
        bool met = atLeast ? value >= limit : value <= limit;
        const char* rel = atLeast ? (met ? ">=" : "< ") : (met ? "<=" : "> ");
        printf("  %-4s %-9d %-30s %8.2f %s %-6.2f %s\n", r.profile.c_str(), r.codes, what.c_str(),
               value, rel, limit, met ? "met" : "NOT MET");
        mJson << (mFirst ? "" : ",\n") << "    {\"profile\": \"" << r.profile
              << "\", \"codes\": " << r.codes << ", \"target\": \"" << what
              << "\", \"value\": " << value << ", \"limit\": " << limit
              << ", \"met\": " << (met ? "true" : "false") << "}";
        mFirst = false;
    }

private:
    std::ofstream& mJson;
    bool mFirst;
};

void targetsOf(const Result& r, const std::vector<Result>& results, Targets& t) {
    t.add(r, "p50/floor", r.latency.p50 / r.floor(), 1.5);
    t.add(r, "p99/floor", r.latency.p99 / r.floor(), 3.0);
    // Each event costs one lookup and two round trips: the floor's rate is
    // 1 / (lookup + 2 rtt); the service must reach 60 % of it.
    if (r.eventsPerSecond > 0) {
        t.add(r, "events/s x (lookup + 2 rtt)",
              r.eventsPerSecond * (r.lookupP50 + 2 * r.rtt()) / 1e6, 0.6, true);
    }
    if (r.profile == "one" && r.cpuMicrosPerEvent > 0) {
        t.add(r, "CPU us/event", r.cpuMicrosPerEvent, 60);
    }
    if (r.codes == 1000 || r.codes == 1000000) {
        t.add(r, "steady RSS MiB", r.steadyRssKb / 1024, r.codes == 1000 ? 8 : 16);
    }
    if (r.codes == 1000000) {
        for (const Result& small : results) {
            if (small.profile == r.profile && small.codes == 1000 && small.priority == "INFO") {
                t.add(r, "p50 / p50 at 1,000 codes", r.latency.p50 / small.latency.p50, 1.2);
            }
        }
    }
}

}  // namespace

void printResults(const std::string& title, int runs, const std::vector<Result>& results,
                  std::ofstream& json) {
    printf("%s; %d run(s), medians\n", title.c_str(), runs);
    printf("%-4s %-8s %-6s %7s %7s %7s %8s %7s %6s %8s %6s %8s %8s %8s %8s %7s %6s  %s\n", "cpus",
           "codes", "log", "p50us", "p90us", "p99us", "maxus", "floorus", "p50/f", "events/s",
           "cpuus", "rssKiB", "pssKiB", "peakKiB", "growKiB", "lookup", "rtt", "floor mode");
    json << "{\n  \"runs\": " << runs << ",\n  \"results\": [\n";
    for (size_t i = 0; i < results.size(); ++i) {
        printRow(results[i]);
        jsonRow(results[i], json);
        json << (i + 1 < results.size() ? "," : "") << "\n";
    }
    json << "  ],\n";
    printRoundTrips(results);
}

// The outbox's cost on one CPU: against the row of the same size without it.
void outboxTargets(const Result& r, const std::vector<Result>& results, Targets& t) {
    for (const Result& off : results) {
        if (off.profile == r.profile && off.codes == r.codes && off.priority == "INFO") {
            t.add(r, "CPU us/event more, outbox", r.cpuMicrosPerEvent - off.cpuMicrosPerEvent, 3);
            if (off.eventsPerSecond > 0) {
                t.add(r, "events/s outbox / without", r.eventsPerSecond / off.eventsPerSecond, 0.9,
                      true);
            }
        }
    }
}

void printTargets(const std::vector<Result>& results, std::ofstream& json) {
    json << "  \"targets\": [\n";
    printf("\ntargets (against the floor of the same run and profile):\n");
    Targets targets(json);
    for (const Result& r : results) {
        if (r.priority == "INFO") {
            targetsOf(r, results, targets);
        } else if (r.priority == "outbox" && r.profile == "one") {
            outboxTargets(r, results, targets);
        }
    }
    json << "\n  ]\n";
}

}  // namespace bench
