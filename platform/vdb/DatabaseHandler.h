// DatabaseHandler: finds rows of a SQLite database by a record's key fields.
//
// The handler keeps its own copy of the path. Construction never fails
// loudly: a database that cannot be opened (missing, or not a regular file:
// a FIFO or device there is refused without blocking) is logged and opened
// again at the next Find, so a site may install its database after
// start-up; a file that was replaced (removed and put back) is reopened too.
// Every value travels as a bound parameter, never as SQL text, and every
// connection refuses double-quoted string literals, so a column that the
// table lacks is an error, never a text. A writer holding the database
// locked makes Find wait up to kBusyTimeoutMs before it gives up. Nothing
// throws. One handler is used by one thread at a time.
//
// Matching: a key column that the record declares SQL_TYPE_TEXT matches only
// a value stored as text and equal to the key byte for byte, whatever type
// the table declares for the column (so no numeric conversion, collation or
// blob comparison can widen a match). A value of a TEXT column that a
// ColumnDataList cannot hold whole (a NUL byte inside, or longer than 1023
// bytes) is refused: as a key it never matches, otherwise it reads as "".
// textRefusal states this rule; Find and every caller that explains a
// stored value use it.
#ifndef DORVANE_PLATFORM_VDB_DATABASEHANDLER_H
#define DORVANE_PLATFORM_VDB_DATABASEHANDLER_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TableData.h"
#include "TabuloObj.h"
#include "cVlog.h"

struct sqlite3;
struct sqlite3_stmt;

class DatabaseHandler : public cVlog {
public:
    static constexpr int kBusyTimeoutMs = 300;

    // One value as the database stores it: its storage class and its bytes
    // (SQLite's text form for numbers; empty for NULL).
    struct StoredValue {
        sqlType type;
        std::string bytes;
    };

    // createIfMissing: true creates the file (and opens it read-write) when it
    //   does not exist; false never creates it.
    // readOnly: true opens the database read-only; then createIfMissing has
    //   no effect, since a read-only open cannot create a file.
    // The service passes (false, true): an existing file, read-only.
    // path is copied; a null path counts as "", which never opens (logged at
    // each attempt). A type other than SQLITE3 is logged and never opens.
    DatabaseHandler(DatabaseType type, const char* path, bool createIfMissing, bool readOnly);
    ~DatabaseHandler() override;

    DatabaseHandler(const DatabaseHandler&) = delete;
    DatabaseHandler& operator=(const DatabaseHandler&) = delete;

    // Find and List: one thread at a time (see above). The query stays the
    // caller's and is only read; a null query is a logged failure (-1).
    //
    // Looks up the rows of the query's table whose key columns (the primary
    // key columns of query->toDatabaseFormat()) equal the query's values.
    // Always writes *result: a new TableData holding the matching rows with
    // every column of query->toSchemaCheck(), in that order, or null when
    // nothing matches, the query sets no key field, or the lookup failed.
    // Returns the number of rows, or -1 on a failure (which is logged; a
    // query the database's schema cannot answer is logged once per opened
    // database).
    int Find(TabuloObj* query, TableData** result);

    // Lists every row of the query's table with the columns of
    // query->toSchemaCheck(), as stored: row(values) is called once per row
    // with one value per column, in that order. Lists only; decides nothing
    // (textRefusal does). row runs on the caller's thread, inside this call,
    // while a statement of the handler is open: it must not call back into
    // the handler. The values are valid only during the call. Returns the
    // number of rows, or -1 on a failure, which is logged and also left in
    // *why when why is not null.
    int List(TabuloObj* query, const std::function<void(const std::vector<StoredValue>&)>& row,
             std::string* why);

    // The SELECT that Find prepares for the query (for diagnosis, such as
    // EXPLAIN QUERY PLAN); "" when the query describes no table or sets no
    // key field.
    static std::string lookupSql(TabuloObj* query);

    // Why a value stored as `stored` with these bytes can never be taken for
    // a column declared SQL_TYPE_TEXT (isKey: a key column), as a phrase
    // such as "is stored as an integer, not as text" or "contains a NUL
    // byte"; null when it can be taken. Thread-safe.
    static const char* textRefusal(bool isKey, sqlType stored, const std::string& bytes);

    // True while a connection to the database is open: the last attempt (at
    // construction or at a Find or List) succeeded. It does not open or
    // check the file; the next Find may still close a replaced one.
    bool isOpen() const { return mDb != nullptr; }

private:
    bool ensureOpen(std::string* why);
    void close();
    // Logs an open failure unless it is the one logged last.
    void noteOpenFailure(const std::string& why);
    bool fileReplaced() const;
    sqlite3_stmt* prepare(const std::string& sql, std::string* why);
    // Find's work once the query is turned into its table and key values.
    int findRows(const TableData* schema, const TableData* data, TableData** result);
    // List's work on the query's table; why gets the reason of a failure.
    int listRows(const TableData* schema,
                 const std::function<void(const std::vector<StoredValue>&)>& row, std::string* why);

    DatabaseType mType;
    std::string mPath;
    std::string mPathShown;    // mPath with control characters escaped, for log lines
    std::string mOpenFailure;  // the open failure logged last; empty once open
    bool mCreate;
    bool mReadOnly;
    sqlite3* mDb;
    unsigned long mDev;
    unsigned long mIno;
    bool mSchemaErrorLogged;  // for the connection open now
    std::map<std::string, sqlite3_stmt*> mStatements;
};

#endif
