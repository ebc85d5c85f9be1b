// dorvanectl codes pack: the message of a signed code set, made at the
// center from a CSV file, for signify-openbsd -S -e to sign. The CSV is
// judged by the import's input rules before a byte is written (no pairing
// file is read: a site-wide set names readers that only some units pair).
// Exit status: 0 written, 1 refused or failed (nothing written).
#ifndef DORVANE_TOOLS_DORVANECTL_PACK_H
#define DORVANE_TOOLS_DORVANECTL_PACK_H

#include <cstdint>
#include <string>

namespace ctl {

struct PackCommand {
    std::string site, unit;  // unit "*": every unit of the site
    uint64_t version = 0;
    std::string file;    // the CSV ("-": standard input)
    std::string output;  // "" or "-": standard output
    bool force = false;  // a set without a code (it removes every code)
};

// Why the command line's values for pack do not fit (site, unit, version
// as the message must hold them), or "" with *version read.
std::string packRefusal(const std::string& site, const std::string& unit,
                        const std::string& version, uint64_t* parsed);

int pack(const PackCommand& cmd);

}  // namespace ctl

#endif
