// DatabaseHandler: finds rows of a SQLite database by a record's key fields.
//
// The handler keeps its own copy of the path. Construction never fails
// loudly: a database that cannot be opened (missing, or not a regular file:
// a FIFO or device there is refused without blocking) is logged and opened
// again at the next Find, so a site may install its database after
// start-up. Before every lookup the file at the path is compared with the
// one open (device, inode, size, modification and change times to the
// nanosecond): a file replaced, removed or rewritten in any way is opened
// afresh, so SQLite's page cache never answers for content that a copy in
// place (equal change counters) has replaced.
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
//
// Several rows of one key: sameAnswer is the rule. Rows stored alike give
// one answer; rows that differ in any column make the key ambiguous, and
// which of them SQLite yields first depends on its query plan, so a caller
// must act on none. Find keeps at most the two rows that show this.
//
// Failures: each is logged at ERROR once per reason until a lookup works
// again (then one INFO line), and Find and List also hand the reason to the
// caller. A hot journal (a write interrupted in the middle, which a
// read-only connection cannot roll back) is said with its remedy at ERROR
// the first time and at most once a minute while it lasts.
#ifndef DORVANE_PLATFORM_VDB_DATABASEHANDLER_H
#define DORVANE_PLATFORM_VDB_DATABASEHANDLER_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vdb/TableData.h"
#include "vdb/TabuloObj.h"
#include "vlog/cVlog.h"

struct sqlite3;
struct sqlite3_stmt;

class DatabaseHandler : public cVlog {
public:
    static constexpr int kBusyTimeoutMs = 300;
    // The longest string or blob a connection reads (SQLite's length limit):
    // a longer one fails the lookup or listing with "string or blob too
    // big" before SQLite reads it. SQLite's own limit, a billion bytes, let
    // one stored value take three times its size in memory.
    static constexpr int kLongestValue = 1 << 20;
    // The longest a lookup's statement may run, in ms (a wait for a writer's
    // lock, at most kBusyTimeoutMs, counts in it): a lookup by the code's
    // index takes microseconds, a scan of ten million rows without one
    // about 0.6 s on a PC. A view in place of the table can yield rows for
    // ever, each as costly as it likes, and the lookup would never end.
    static constexpr int kLookupLimitMs = 1000;
    // How often the hot-journal remedy is repeated while a hot journal lasts.
    static constexpr int kHotJournalRepeatSec = 60;

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

    // How the rows of one key answer it (see sameAnswer).
    enum eRowsAnswer { ROWS_NONE, ROWS_ONE_ANSWER, ROWS_AMBIGUOUS };

    // Find and List: one thread at a time (see above). The query stays the
    // caller's and is only read; a null query is a logged failure (-1).
    //
    // Looks up the rows of the query's table whose key columns (the primary
    // key columns of query->toDatabaseFormat()) equal the query's values.
    // Always writes *result: a new TableData with every column of
    // query->toSchemaCheck(), in that order, holding the first matching row
    // and, when a later matching row is not sameAnswer with it, that row
    // too (row 1), and no more; null when nothing matches, the query sets no
    // key field, or the lookup failed. Returns the number of rows kept: 0,
    // 1, or 2 when the key is ambiguous; -1 when the lookup could not run
    // (the file is missing or unreadable, locked past the busy timeout,
    // holds a hot journal, its schema cannot answer the query, or the
    // lookup would run longer than kLookupLimitMs), which is
    // not "no row": *why (when not null) gets the reason. Memory stays flat
    // whatever the number of matching rows.
    int Find(TabuloObj* query, TableData** result, std::string* why = nullptr);

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

    // The rule for rows that share a key (values as List gives them, every
    // column of the table): they give the same answer when every column is
    // stored alike, the same storage class and the same bytes. So a value
    // that textRefusal refuses is an answer of its own, and so is a text
    // stored once as text and once as a blob. Find and dorvanectl judge a
    // key's rows by this function alone. Thread-safe.
    static bool sameAnswer(const std::vector<StoredValue>& a, const std::vector<StoredValue>& b);
    // The rows that one key's lookup matches, judged by sameAnswer: none,
    // one answer (every row alike), or ambiguous. Thread-safe.
    static eRowsAnswer classifyRows(const std::vector<std::vector<StoredValue>>& rows);

    // The state of the database file's journal; changes nothing. WAL mode is
    // read from the file's header (a read-only connection could create the
    // -shm file); a journal beside the file is judged by SQLite itself
    // through a read-only connection, which never rolls it back.
    // JOURNAL_HOT: a rollback journal that holds an interrupted write and
    // that no writer holds (only a connection that may write can roll it
    // back); JOURNAL_WAL: the file is in WAL mode; JOURNAL_UNKNOWN: the file
    // cannot be read (or stays locked past kBusyTimeoutMs, or a file beside
    // it is no regular file: irregularCompanion). Thread-safe.
    enum eJournalState { JOURNAL_NONE, JOURNAL_HOT, JOURNAL_WAL, JOURNAL_UNKNOWN };
    static eJournalState journalState(const std::string& path);
    // What to do about a hot journal beside path, as one sentence.
    static std::string hotJournalRemedy(const std::string& path);

    // The SELECT that Find prepares for the query (for diagnosis, such as
    // EXPLAIN QUERY PLAN); "" when the query describes no table or sets no
    // key field.
    static std::string lookupSql(TabuloObj* query);

    // Why a value stored as `stored` with these bytes can never be taken for
    // a column declared SQL_TYPE_TEXT (isKey: a key column), as a phrase
    // such as "is stored as an integer, not as text" or "contains a NUL
    // byte"; null when it can be taken. Thread-safe.
    static const char* textRefusal(bool isKey, sqlType stored, const std::string& bytes);

    // True while a connection to the database is open (it stays open
    // through a lock or a hot journal: see isFailing). It does not open or
    // check the file; the next Find may still close a replaced one.
    bool isOpen() const { return mDb != nullptr; }
    // True when the last open, Find or List failed (what isOpen cannot
    // tell: an open database may be locked, hold a hot journal or lack the
    // table).
    bool isFailing() const { return !mFailure.empty(); }

private:
    // What identifies the file content open: any write or replacement
    // changes at least one field.
    struct FileIdentity {
        unsigned long dev, ino;
        long long size, mtimeSec, mtimeNsec, ctimeSec, ctimeNsec;
        bool operator==(const FileIdentity& o) const;
    };

    // SQLite opens the journal, WAL and shared-memory files beside the
    // database path with a blocking open(), whenever they exist: a FIFO
    // there would hold it for good. Why one of them is not a regular file
    // (or a link), or "" when none is; checked before every use.
    static std::string irregularCompanion(const std::string& path);
    // The identity of the file at path now; false when it cannot be read.
    static bool identityOf(const std::string& path, FileIdentity* id);
    bool ensureOpen(std::string* why);
    // Closes the connection when the file is no longer the one opened (and
    // says so; *quiet: a write in place by a writer, not worth INFO). False
    // when it is still the same.
    bool closeIfChanged(bool* quiet);
    void close();
    // Logs a failure (prefix says where it happened) unless it is the one
    // logged last; a hot journal is said with its remedy, at most once per
    // kHotJournalRepeatSec. Sets *why when not null.
    void noteFailure(const char* prefix, const std::string& reason, bool hotJournal,
                     std::string* why);
    // The last open, Find or List worked: ends a failure.
    void noteSuccess();
    // Whether the file at the path is still the one open; false when it
    // cannot be examined.
    bool sameFileAsOpen(bool* replaced) const;
    // A cached statement for sql, or null (failure noted, *why set).
    sqlite3_stmt* prepare(const std::string& sql, std::string* why);
    // Notes a failed step of stmt (which is reset) and closes the
    // connection unless the failure passes by itself (a lock, a hot journal
    // that a writer rolls back).
    void stepFailed(sqlite3_stmt* stmt, int rc, std::string* why);
    // Find's work once the query is turned into its table and key values.
    int findRows(const TableData* schema, const TableData* data, TableData** result,
                 std::string* why);
    // List's work on the query's table; why gets the reason of a failure.
    int listRows(const TableData* schema,
                 const std::function<void(const std::vector<StoredValue>&)>& row, std::string* why);

    DatabaseType mType;
    std::string mPath;
    std::string mPathShown;  // mPath with control characters escaped, for log lines
    std::string mFailure;    // the failure logged last; empty once a lookup works
    bool mCreate;
    bool mReadOnly;
    sqlite3* mDb;
    FileIdentity mOpened;         // the file as it was when opened
    long long mHotJournalSaidAt;  // CLOCK_MONOTONIC seconds; -1: not during this failure
    std::map<std::string, sqlite3_stmt*> mStatements;
};

#endif
