// What dorvanectl says about the access database beyond its single rows:
// codes whose rows name different readers, and a journal that stops or may
// stop the service's lookups. Each decides by the service's own code
// (DatabaseHandler::classifyRows, DatabaseHandler::journalState). Plain
// functions of their arguments; nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANECTL_CODES_CHECK_H
#define DORVANE_TOOLS_DORVANECTL_CODES_CHECK_H

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "vdb/DatabaseHandler.h"

// A code that a scan can match whose rows do not give one answer, with its
// readers as stored (distinct, in row order; control characters escaped).
struct AmbiguousCode {
    std::string code;
    std::vector<std::string> readers;
};

// The ambiguous codes among rows, each row as DatabaseHandler::List gives
// it for pAccess (the values of "sc" and "reader"), in order of their first
// row. Rows whose code the service never matches (pAccess::refusal) are
// left out: no scan reaches them.
std::vector<AmbiguousCode> ambiguousCodes(
    const std::vector<std::vector<DatabaseHandler::StoredValue>>& rows);

// "A", "B" for the readers of an ambiguous code.
std::string readerList(const AmbiguousCode& code);

// What the journal state of the database at path means for the service, as
// one sentence with what to do, or "" when there is nothing to say. *stops
// (when not null) is set when no lookup can work until it is done (a hot
// journal); a WAL-mode database is read only when the service may create
// its -shm file.
std::string journalAdvice(const std::string& path, bool* stops);

// check's part on the rows of a database (as for ambiguousCodes): one
// problem per ambiguous code. Returns the ambiguous codes, as shown.
std::set<std::string> checkCodeRows(
    const std::vector<std::vector<DatabaseHandler::StoredValue>>& rows,
    const std::function<void(const std::string&)>& problem);

// How to turn a WAL-mode database at path back to rollback-journal mode,
// whether or not the service holds it open.
std::string walRemedy(const std::string& path);

#endif
