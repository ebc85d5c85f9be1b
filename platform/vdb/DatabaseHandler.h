// DatabaseHandler: finds rows of a SQLite database by a record's key fields.
//
// The handler keeps its own copy of the path. Construction never fails
// loudly: a database that cannot be opened is logged and opened again at the
// next Find, so a site may install its database after start-up; a file that
// was replaced (removed and put back) is reopened too. Every value travels as
// a bound parameter, never as SQL text. A writer holding the database locked
// makes Find wait up to kBusyTimeoutMs before it gives up. Nothing throws.
// One handler is used by one thread at a time.
#ifndef DORVANE_PLATFORM_VDB_DATABASEHANDLER_H
#define DORVANE_PLATFORM_VDB_DATABASEHANDLER_H

#include <map>
#include <string>

#include "TableData.h"
#include "TabuloObj.h"
#include "cVlog.h"

struct sqlite3;
struct sqlite3_stmt;

class DatabaseHandler : public cVlog {
public:
    static constexpr int kBusyTimeoutMs = 300;

    // createIfMissing: true creates the file (and opens it read-write) when it
    //   does not exist; false never creates it.
    // readOnly: true opens the database read-only; then createIfMissing has
    //   no effect, since a read-only open cannot create a file.
    // The service passes (false, true): an existing file, read-only.
    DatabaseHandler(DatabaseType type, const char* path, bool createIfMissing, bool readOnly);
    ~DatabaseHandler() override;

    DatabaseHandler(const DatabaseHandler&) = delete;
    DatabaseHandler& operator=(const DatabaseHandler&) = delete;

    // Looks up the rows of the query's table whose key columns (the primary
    // key columns of query->toDatabaseFormat()) equal the query's values.
    // Always writes *result: a new TableData holding the matching rows with
    // every column of query->toSchemaCheck(), in that order, or null when
    // nothing matches, the query sets no key field, or the lookup failed.
    // Returns the number of rows, or -1 on a failure (which is logged).
    int Find(TabuloObj* query, TableData** result);

    bool isOpen() const { return mDb != nullptr; }

private:
    bool ensureOpen();
    void close();
    bool fileReplaced() const;
    sqlite3_stmt* prepare(const std::string& sql);

    DatabaseType mType;
    std::string mPath;
    bool mCreate;
    bool mReadOnly;
    sqlite3* mDb;
    unsigned long mDev;
    unsigned long mIno;
    std::map<std::string, sqlite3_stmt*> mStatements;
};

#endif
