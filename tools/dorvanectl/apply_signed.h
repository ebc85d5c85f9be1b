// dorvanectl codes apply-signed: applies the signed code sets that the
// fleet link left in its spool folder. Runs as the database's owner; reads
// site, unit, codesKeys, maxSetBytes and stateDir from the link's
// configuration (by the link's own reader), judges each spooled set again
// by code_sets::decide against the mark (the higher of the one kept with the
// codes and STATEDIR/mark), applies it by the import's replacement
// (replace.h) with its version and digest, keeps the mark in both places and
// leaves VERSION-DIGEST16.json beside the set (code_spool.h), removing the
// set once its outcome is final (applied or refused). A set that
// meets a passing reason (busy, hot journal, full disk) is left pending and
// tried again with back-off. One thread; nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANECTL_APPLY_SIGNED_H
#define DORVANE_TOOLS_DORVANECTL_APPLY_SIGNED_H

#include <string>

namespace ctl {

struct ApplyCommand {
    bool watch = false;      // keep watching the spool until SIGTERM or SIGINT
    std::string config;      // the service's configuration (dblocal, ioPairFile)
    std::string linkConfig;  // the link's configuration
};

// Exit status: 0 every spooled set has its outcome (or, watching, a clean
// stop); 1 a set is still pending, or the spool cannot be read; 2 a
// configuration that does not fit (one line says which).
int applySigned(const ApplyCommand& cmd);

}  // namespace ctl

#endif
