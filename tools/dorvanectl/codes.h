// dorvanectl codes: provisioning the access database. Every code and reader
// name given is judged before anything is written, by the service's own
// rules (pAccess::refusal: text, at most 127 bytes, no NUL) and, stricter
// for input, without control characters; the reader must have a record in
// the pairing file unless forced. Exit status: 0 done, 1 refused or failed
// (nothing written).
#ifndef DORVANE_TOOLS_DORVANECTL_CODES_H
#define DORVANE_TOOLS_DORVANECTL_CODES_H

#include <string>

namespace ctl {

struct CodesCommand {
    std::string verb;    // add, remove, list, import, export
    std::string code;    // add, remove
    std::string reader;  // add; list (optional)
    std::string file;    // import ("-": standard input), export ("" or "-": standard output)
    bool force = false;  // add, import: a reader without a pairing record is let in
    std::string config;  // the configuration file
};

int codes(const CodesCommand& cmd);

}  // namespace ctl

#endif
