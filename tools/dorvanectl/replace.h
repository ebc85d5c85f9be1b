// Replacing the whole set of codes the way a site must replace a SQLite
// database that a service reads: the new set is built in a new file beside
// the live one and checked, then renamed over it while the tool holds the
// live file's write lock and no -wal or -journal lies beside it. A scan sees
// the old set or the new one, never a mix or an error. One thread; nothing
// throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANECTL_REPLACE_H
#define DORVANE_TOOLS_DORVANECTL_REPLACE_H

#include <string>
#include <vector>

#include "src/csv.h"

namespace ctl {

// The codes of a set with the reader of each, in the order to store them.
using CodeRows = std::vector<csv::Line>;

// Makes rows the set of codes of the database at path (a new database when
// there is none): table codes from kCodesSchema, the live file's other
// tables copied, PRAGMA integrity_check and the service's rules on the new
// file, its mode (and as root its owner) from the live one, then the rename.
// REQUIRES: rows already checked (one reader per code). Prints what it does;
// returns 0 when done, 1 when nothing was changed (the new file removed).
int replaceDatabase(const std::string& path, const CodeRows& rows);

}  // namespace ctl

#endif
