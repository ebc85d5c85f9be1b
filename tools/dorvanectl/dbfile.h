// The access database as a file beside the service: who may read it, what
// lies beside it, which schema made it, and who owns a file the tool makes.
// Nothing here writes the database; one thread; nothing throws but
// std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANECTL_DBFILE_H
#define DORVANE_TOOLS_DORVANECTL_DBFILE_H

#include <string>
#include <vector>

namespace ctl {

// share/codes.sql, built into the tool: the one text that makes table codes.
extern const char* const kCodesSchema;

// What keeps the service user (settings::kServiceUser) from reading the
// database at path: a directory on the way it cannot search, a file it
// cannot read. Empty when it can, or when there is no such user on this
// machine (then *unchecked, when not null, says so). Mode bits only, no
// ACLs.
std::vector<std::string> serviceUserProblems(const std::string& path, std::string* unchecked);

// What must not lie beside or inside the database at path when the tool
// writes it: a -wal file, a hot journal, WAL mode (journalAdvice says the
// last two, with their remedies). Empty when none.
std::vector<std::string> journalProblems(const std::string& path);

// A note when table codes of the database at path was not made by
// kCodesSchema (it lacks the checks that refuse rows the service never
// matches); "" when it was, or when the schema cannot be read.
std::string schemaNote(const std::string& path);

// Gives the file at path the mode and ownership a new database gets: as
// root, root:<service group> 0640 when that group exists, else 0644; as
// another user, 0644 and the user's own. Returns what was done, as a
// sentence; false with *why when it fails.
bool ownNewDatabase(const std::string& path, std::string* done, std::string* why);

// Gives the file at path the mode of the file like (and, as root, its owner
// and group). Returns what was done; false with *why when it fails.
bool ownLike(const std::string& path, const std::string& like, std::string* done, std::string* why);

}  // namespace ctl

#endif
