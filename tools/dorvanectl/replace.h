// Replacing the whole set of codes the way a site must replace a SQLite
// database that a service reads: the new set is built in a new file beside
// the live one and checked, then renamed over it while the tool holds the
// live file's write lock and no -wal or -journal lies beside it. A scan sees
// the old set or the new one, never a mix or an error. One thread; nothing
// throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANECTL_REPLACE_H
#define DORVANE_TOOLS_DORVANECTL_REPLACE_H

#include <cstdint>
#include <string>
#include <vector>

#include "src/csv.h"

namespace ctl {

// The codes of a set with the reader of each, in the order to store them.
using CodeRows = std::vector<csv::Line>;

// A signed set being applied: its version and digest go into the new file
// with its codes (set_record.h).
struct SignedSet {
    uint64_t version = 0;
    std::string sha256;
};

// Why a replacement did not happen, for a caller that retries.
struct ReplaceFailure {
    // A reason that passes (another writer held the lock, a journal lies
    // beside the database, the disk is full): trying again later may work.
    bool passing = false;
    std::string why;
};

// Makes rows the set of codes of the database at path (a new database when
// there is none): table codes from kCodesSchema, the live file's other
// tables copied, the set's record (set: the signed set's; null: by hand),
// PRAGMA integrity_check and the service's rules on the new file, its mode
// (and as root its owner) from the live one, then the rename.
// REQUIRES: rows already checked (one reader per code). Prints what it does;
// returns 0 when done, 1 when nothing was changed (the new file removed;
// *failure, when not null, says why).
int replaceDatabase(const std::string& path, const CodeRows& rows, const SignedSet* set = nullptr,
                    ReplaceFailure* failure = nullptr);

}  // namespace ctl

#endif
