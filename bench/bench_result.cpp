#include "bench/bench_result.h"

#include <algorithm>

namespace bench {

namespace {

template <typename Get>
double median(const std::vector<Result>& runs, Get get) {
    std::vector<double> v;
    v.reserve(runs.size());
    for (const Result& r : runs) {
        v.push_back(get(r));
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

Percentiles percentiles(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
    };
    return {at(0.50), at(0.90), at(0.99), v.back()};
}

size_t Result::floorMode() const {
    return static_cast<size_t>(std::min_element(rttP50.begin(), rttP50.end()) - rttP50.begin());
}

Result medianOf(const std::vector<Result>& runs) {
    Result m = runs[0];
    std::vector<double Result::*> fields = {&Result::eventsPerSecond, &Result::cpuMicrosPerEvent,
                                            &Result::steadyRssKb,     &Result::steadyPssKb,
                                            &Result::peakRssKb,       &Result::rssGrowthKb,
                                            &Result::lookupP50};
    std::vector<double Percentiles::*> pct = {&Percentiles::p50, &Percentiles::p90,
                                              &Percentiles::p99, &Percentiles::max};
    for (auto f : fields) {
        m.*f = median(runs, [f](const Result& r) { return r.*f; });
    }
    for (auto f : pct) {
        m.latency.*f = median(runs, [f](const Result& r) { return r.latency.*f; });
    }
    for (size_t i = 0; i < m.rttP50.size(); ++i) {
        m.rttP50[i] = median(runs, [i](const Result& r) { return r.rttP50[i]; });
    }
    return m;
}

}  // namespace bench
