// The site the benchmark runs the service on: a pairing file of kReaders
// readers over kOutputs outputs, a database of codes, a configuration.
#ifndef DORVANE_BENCH_BENCH_SITE_H
#define DORVANE_BENCH_BENCH_SITE_H

#include <string>

namespace bench {

const int kOutputs = 4;
const int kReaders = 1000;

// The label of output i, and the i-th code of the database.
std::string outputLabel(int i);
std::string code(int i);

// Writes the pairing file and the configuration (logging at priority to
// service.log, then extraConf's lines) in dir, and the database of codes
// codes unless dir has one (it is kept across runs of one size).
void makeSite(const std::string& dir, int codes, const std::string& priority,
              const std::string& extraConf = "");

}  // namespace bench

#endif
