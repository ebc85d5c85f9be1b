// dorvanectl's command line: its verbs (verbs.cpp, the table that help
// prints and that decides which verb runs) and their two readers (main.cpp).
#ifndef DORVANE_TOOLS_DORVANECTL_COMMAND_LINE_H
#define DORVANE_TOOLS_DORVANECTL_COMMAND_LINE_H

#include <cstddef>

#include "src/verb_table.h"

namespace ctl {

// The tool's verbs, for verbs::dispatch.
extern const verbs::Tool kTool;

// What a verb takes after its name: at least and at most so many words,
// and the options that not every verb takes.
enum : unsigned {
    kForce = 1,  // --force
    kPack = 2,   // codes pack's --site, --unit, --version, --output
    kLink = 4,   // --watch, --link-config
};
struct Shape {
    size_t least, most;
    unsigned options;
};

// Runs a verb: argv[0] is its name ("codes add"), then its arguments and
// options (--config FILE anywhere). Status 2 after one line on standard
// error for a command line that does not fit the verb's shape, before
// anything is read, written or connected to; else the verb's own status.
int verbCommand(const Shape& shape, int argc, char** argv);

// verbCommand as the handler in a verb's row of the table, which so holds
// the verb's shape beside its usage.
template <size_t least, size_t most, unsigned options = 0>
int shaped(int argc, char** argv) {
    return verbCommand(Shape{least, most, options}, argc, argv);
}

// Runs a command line of the options of old (--check, --lookup CODE,
// --ports, --watch, with --config FILE), which are aliases of the verbs
// check, lookup, ports and watch: the process's own argc and argv. Reads
// them with argParser (getopt_long): call it once per process.
int optionCommand(int argc, char** argv);

}  // namespace ctl

#endif
