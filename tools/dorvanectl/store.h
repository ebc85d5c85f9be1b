// Writes to the access database, made so that the service never sees one
// half done: add and remove are one transaction each on the live file (in
// the rollback-journal mode the service reads), a whole set is built beside
// it and renamed over it (replace.h). Every write is decided by the
// service's own lookup (DatabaseHandler::Find through pAccess) and checked
// by it afterwards. One thread; nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANECTL_STORE_H
#define DORVANE_TOOLS_DORVANECTL_STORE_H

#include <string>
#include <vector>

#include "tools/dorvanectl/dbfile.h"

struct sqlite3;

namespace ctl {

// How long a write waits for another writer to let go of the database.
constexpr int kWriteBusyTimeoutMs = 5000;

// The tests take the wait from this environment variable (milliseconds),
// the way dorvane-local takes its timings (src/timings.h), so that a test of
// the refusal does not sit out the installed wait. It may only shorten it.
constexpr const char* kWriteWaitVariable = "DORVANE_CTL_WRITE_WAIT_MS";

// The wait for a lock: kWriteBusyTimeoutMs, or a shorter one from
// kWriteWaitVariable when that is a whole number from 1 up to it (anything
// else is ignored). Reads the environment; no other effect.
int writeBusyTimeoutMs();

// A read-write connection for the tool's writes: it never creates the file,
// waits writeBusyTimeoutMs() for a lock, and refuses double-quoted strings.
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Opens path (create: a new file may be made); false with *why.
    bool open(const std::string& path, bool create, std::string* why);
    // Runs sql (no rows expected); false with *why (SQLite's message).
    bool exec(const char* sql, std::string* why);
    // BEGIN IMMEDIATE: the write lock, waited for; false with *why (saying
    // how long another writer held it, when it did).
    bool lock(std::string* why);
    // Runs sql with the texts bound as ?1, ?2...; the number of rows changed,
    // or -1 with *why.
    int run(const char* sql, const std::vector<std::string>& texts, std::string* why);
    sqlite3* db() const { return mDb; }
    void close();

private:
    sqlite3* mDb = nullptr;
};

// The reader names that the service's lookup finds for code in the database
// at path: none, one, or two when the code is ambiguous (its rows do not
// give one answer: DatabaseHandler::sameAnswer); "" stands for a stored
// name that the service refuses. False with *why when the lookup cannot run.
bool readersOf(const std::string& path, const std::string& code, std::vector<std::string>* readers,
               std::string* why);

// Gives code to reader (a new database is made first when there is none).
// Refused when another reader has it, or when it is ambiguous; done again
// for the same reader, it changes nothing. Prints what happened; returns 0 when the database now
// gives code to reader, 1 otherwise (nothing written).
int addCode(const std::string& path, const std::string& code, const std::string& reader);

// Removes code: the rows that the service's lookup would find. Returns 0
// when the lookup finds it no more, 1 when it was not there or could not be
// removed (nothing written).
int removeCode(const std::string& path, const std::string& code);

}  // namespace ctl

#endif
