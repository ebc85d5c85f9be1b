// What the benchmark prints: the table of figures, the floor's round trip
// in each mode, and the targets, on standard output and as a JSON file.
#ifndef DORVANE_BENCH_BENCH_REPORT_H
#define DORVANE_BENCH_BENCH_REPORT_H

#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_result.h"

namespace bench {

// The table and the round trips on standard output; json gets "{", the
// run count and the "results" array.
void printResults(const std::string& title, int runs, const std::vector<Result>& results,
                  std::ofstream& json);

// The targets, on each profile against the floor of the same run and
// profile: one line per target with its figure and whether it is met;
// json gets the "targets" array (the caller closes the object).
void printTargets(const std::vector<Result>& results, std::ofstream& json);

}  // namespace bench

#endif
