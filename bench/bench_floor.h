// The floor an event cannot beat on the same machine and CPUs: one
// prepared SQLite point lookup plus one loopback round trip of an event's
// frame answered by a SET's frame.
//
// The round trip is measured in every mode the profile allows, and the
// floor takes the lowest: on one CPU, both threads on it, both waiting by
// spinning or both by sleeping; on all CPUs, both threads on the same CPU
// or on two, the end that receives the event always sleeping in a blocking
// read (as the service's idle event thread must: a door controller that
// spins while it waits for a scan burns a core), and the end that receives
// the reply waiting by spinning or by sleeping.
#ifndef DORVANE_BENCH_BENCH_FLOOR_H
#define DORVANE_BENCH_BENCH_FLOOR_H

#include <string>
#include <vector>

#include "bench/bench_result.h"

namespace bench {

struct FloorMode {
    bool twoCpus;    // the two ends on two CPUs, else on one
    bool eventSpin;  // the end receiving the event polls its socket before it sleeps
    bool replySpin;  // the end receiving the reply polls its socket before it sleeps
    std::string name;
};

// The modes of profile ("one" or "all") on the CPUs this thread may use
// now, in the order of Result::rttP50.
std::vector<FloorMode> floorModes(const std::string& profile);

// Measures res's floor with samples lookups in the database of dir (res.codes
// codes) and samples round trips in each mode.
void runFloor(const std::string& dir, Result& res, int samples);

}  // namespace bench

#endif
