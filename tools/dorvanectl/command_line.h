// dorvanectl's command line: its verbs (verbs.cpp, the table that help
// prints and that decides which verb runs) and their two readers (main.cpp).
#ifndef DORVANE_TOOLS_DORVANECTL_COMMAND_LINE_H
#define DORVANE_TOOLS_DORVANECTL_COMMAND_LINE_H

#include "src/verb_table.h"

namespace ctl {

// The tool's verbs, for verbs::dispatch.
extern const verbs::Tool kTool;

// Runs a verb: argv[0] is its name ("codes add"), then its arguments and
// options (--config FILE anywhere). Status 2 after one line on standard
// error for a command line that does not fit the verb, before anything is
// read, written or connected to; else the verb's own status.
int verbCommand(int argc, char** argv);

// Runs a command line of the options of old (--check, --lookup CODE,
// --ports, --watch, with --config FILE), which are aliases of the verbs
// check, lookup, ports and watch: the process's own argc and argv. Reads
// them with argParser (getopt_long): call it once per process.
int optionCommand(int argc, char** argv);

}  // namespace ctl

#endif
