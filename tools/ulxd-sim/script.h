// The command script of ulxd-sim: the lines a person or a test writes to
// its standard input ("scan 12 04A1", "drop", "quit"; type "help").
//
// A command line longer than kMaxCommandLine is dropped with a message and
// skipped up to its line feed, so input without line feeds cannot grow
// memory.
#ifndef DORVANE_TOOLS_ULXD_SIM_SCRIPT_H
#define DORVANE_TOOLS_ULXD_SIM_SCRIPT_H

#include <cstddef>
#include <string>

#include "tools/ulxd-sim/server.h"

namespace ulxdsim {

const size_t kMaxCommandLine = 64 * 1024;  // a raw message of 32 KiB

// The site file's format and the commands, as --help and "help" print them.
extern const char* const kUsageExtra;

// Standard input, split into command lines.
struct Input {
    std::string pending;
    bool skipping = false;  // dropping the rest of a line that was too long
};

// Runs the complete command lines that the n bytes (the next ones of
// standard input) complete; false when one says quit.
bool takeInput(Sim& sim, Input& in, const char* bytes, size_t n);

}  // namespace ulxdsim

#endif
