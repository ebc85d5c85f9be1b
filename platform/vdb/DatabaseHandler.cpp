#include "vdb/DatabaseHandler.h"

#include <errno.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "vdb/DatabaseRows.h"
#include "vutil/VFile.h"
#include "vutil/VText.h"

using vdb::Key;

namespace {

const char kCannotOpen[] = "cannot open database";
const char kCannotRead[] = "cannot read database";
// A writer that commits between the checks before and after a lookup makes
// it run again on a fresh connection; a file still changing after this many
// is being copied over, and the lookup fails.
const int kLookupAttempts = 3;

// The rollback journal beside the file holds an interrupted write that this
// read-only connection cannot roll back.
bool isHotJournal(sqlite3* db) {
    return db != nullptr && sqlite3_extended_errcode(db) == SQLITE_READONLY_ROLLBACK;
}

// SQLite's progress handler is called after this many of its steps: one
// step may be costly (a text of a megabyte), a clock reading is not.
const int kStepsPerCheck = 100;

// Ends the statement (SQLITE_INTERRUPT) once the deadline has passed.
int stopAtDeadline(void* deadline) {
    return std::chrono::steady_clock::now() >
           *static_cast<std::chrono::steady_clock::time_point*>(deadline);
}

// vdb::stepRows for DatabaseHandler::kLookupLimitMs at most: past it SQLite
// stops the statement, and *rc is SQLITE_INTERRUPT.
int stepWithinLimit(cVlog& log, const std::string& path, sqlite3* db, sqlite3_stmt* stmt,
                    const std::vector<Key>& keys, TableData* table, int* rc) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(DatabaseHandler::kLookupLimitMs);
    sqlite3_progress_handler(db, kStepsPerCheck, stopAtDeadline, &deadline);
    int rows = vdb::stepRows(log, path, stmt, keys, table, rc);
    sqlite3_progress_handler(db, 0, nullptr, nullptr);
    return rows;
}

std::string lookupTooLong() {
    return "the lookup ran longer than " + std::to_string(DatabaseHandler::kLookupLimitMs) +
           " ms (a view, or a table of millions of rows without an index on the code)";
}

long long monotonicSec() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec);
}

}  // namespace

bool DatabaseHandler::FileIdentity::operator==(const FileIdentity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtimeSec == o.mtimeSec &&
           mtimeNsec == o.mtimeNsec && ctimeSec == o.ctimeSec && ctimeNsec == o.ctimeNsec;
}

bool DatabaseHandler::identityOf(const std::string& path, FileIdentity* id) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    *id = FileIdentity{
        static_cast<unsigned long>(st.st_dev),      static_cast<unsigned long>(st.st_ino),
        static_cast<long long>(st.st_size),         static_cast<long long>(st.st_mtim.tv_sec),
        static_cast<long long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
        static_cast<long long>(st.st_ctim.tv_nsec)};
    return true;
}

DatabaseHandler::DatabaseHandler(DatabaseType type, const char* path, bool createIfMissing,
                                 bool readOnly)
    : cVlog("DatabaseHandler"),
      mType(type),
      mPath(path != nullptr ? path : ""),
      mPathShown(vutil::escape(mPath.data(), mPath.size())),
      mCreate(createIfMissing),
      mReadOnly(readOnly),
      mDb(nullptr),
      mOpened(),
      mHotJournalSaidAt(-1) {
    if (mType != SQLITE3) {
        error("unsupported database type %d", static_cast<int>(mType));
        return;
    }
    ensureOpen(nullptr);
}

DatabaseHandler::~DatabaseHandler() {
    close();
}

void DatabaseHandler::noteFailure(const char* prefix, const std::string& reason, bool hotJournal,
                                  std::string* why) {
    if (why != nullptr) {
        *why = hotJournal
                   ? "an interrupted write left a hot journal that only a writer can roll back"
                   : reason;
    }
    if (hotJournal) {
        // Said while it lasts, but not at every scan.
        long long now = monotonicSec();
        if (mHotJournalSaidAt < 0 || now - mHotJournalSaidAt >= kHotJournalRepeatSec) {
            mHotJournalSaidAt = now;
            error("%s %s: %s", prefix, mPathShown.c_str(),
                  vutil::escape(hotJournalRemedy(mPath).c_str()).c_str());
        }
        mFailure = "hot journal";
        return;
    }
    // Once per reason: a database that stays missing or locked is tried at
    // every scan, and the same line each time would bury the others.
    std::string failure = std::string(prefix) + ": " + reason;
    if (failure != mFailure) {
        mFailure = failure;
        error("%s %s: %s", prefix, mPathShown.c_str(), vutil::escape(reason.c_str()).c_str());
    }
}

void DatabaseHandler::noteSuccess() {
    if (!mFailure.empty()) {
        info("database %s can be read again", mPathShown.c_str());
    }
    mFailure.clear();
    mHotJournalSaidAt = -1;
}

void DatabaseHandler::close() {
    for (auto& entry : mStatements) {
        sqlite3_finalize(entry.second);
    }
    mStatements.clear();
    if (mDb != nullptr) {
        sqlite3_close(mDb);
        mDb = nullptr;
    }
}

bool DatabaseHandler::sameFileAsOpen(bool* replaced) const {
    FileIdentity now;
    if (!identityOf(mPath, &now)) {
        *replaced = true;
        return false;
    }
    *replaced = now.dev != mOpened.dev || now.ino != mOpened.ino;
    return now == mOpened;
}

bool DatabaseHandler::closeIfChanged(bool* quiet) {
    bool replaced = false;
    if (sameFileAsOpen(&replaced)) {
        return false;
    }
    // A copy in place may keep SQLite's change counter: the page cache must
    // not outlive any write to the file.
    if (replaced) {
        info("database %s was removed or replaced; opening it again", mPathShown.c_str());
    } else {
        debug("database %s was written to; opening it afresh", mPathShown.c_str());
        *quiet = mFailure.empty();
    }
    close();
    return true;
}

std::string DatabaseHandler::irregularCompanion(const std::string& path) {
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        const std::string companion = path + suffix;
        struct stat st;
        if (lstat(companion.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            return vutil::escape(companion.c_str()) + " is not a regular file";
        }
    }
    return "";
}

bool DatabaseHandler::ensureOpen(std::string* why) {
    if (mType != SQLITE3) {
        noteFailure(kCannotOpen, "unsupported database type", false, why);
        return false;
    }
    std::string irregular = irregularCompanion(mPath);
    if (!irregular.empty()) {
        noteFailure(kCannotOpen, irregular, false, why);
        return false;
    }
    bool quiet = false;
    if (mDb != nullptr && !closeIfChanged(&quiet)) {
        return true;
    }
    // SQLite opens the file with a blocking open(): a FIFO or device there
    // would stop this thread for good. Only a missing file that this handler
    // may create is let through.
    struct stat st;
    bool creating = mCreate && !mReadOnly && stat(mPath.c_str(), &st) != 0 && errno == ENOENT;
    std::string refusal;
    if (!creating && !vutil::isRegularFile(mPath.c_str(), &refusal)) {
        noteFailure(kCannotOpen, refusal, false, why);
        return false;
    }
    // Taken before the open: a write after it shows at the next lookup.
    FileIdentity opened{};
    bool known = identityOf(mPath, &opened);
    int flags = mReadOnly ? SQLITE_OPEN_READONLY
                          : (SQLITE_OPEN_READWRITE | (mCreate ? SQLITE_OPEN_CREATE : 0));
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(mPath.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        noteFailure(kCannotOpen, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc), false,
                    why);
        sqlite3_close(db);
        return false;
    }
    // "sc" must name a column: with double-quoted string literals on, a
    // table that lacks it would compare the text 'sc' and match any row.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kLongestValue);
    // SQLite's default page cache (about 2 MB) is kept: at 1,000,000 codes
    // a 16 MiB one bought no clear gain in latency and cost its size in RSS.
    if (!known) {
        identityOf(mPath, &opened);  // created just now
    }
    mOpened = opened;
    mDb = db;
    if (quiet) {
        debug("opened database %s", mPathShown.c_str());
    } else {
        info("opened database %s", mPathShown.c_str());
    }
    return true;
}

sqlite3_stmt* DatabaseHandler::prepare(const std::string& sql, std::string* why) {
    auto found = mStatements.find(sql);
    if (found != mStatements.end()) {
        return found->second;
    }
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(mDb, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (rc != SQLITE_OK) {
        // A lock or a hot journal passes; a schema that lacks the table or a
        // column (or a file that is no database) stays until the file
        // changes. Either way it is tried again at the next lookup.
        noteFailure(kCannotRead, sqlite3_errmsg(mDb), isHotJournal(mDb), why);
        sqlite3_finalize(stmt);
        return nullptr;
    }
    mStatements.emplace(sql, stmt);
    return stmt;
}

void DatabaseHandler::stepFailed(sqlite3_stmt* stmt, int rc, std::string* why) {
    std::string reason = sqlite3_errmsg(mDb);
    bool hot = isHotJournal(mDb);
    vdb::resetStatement(stmt);
    noteFailure(kCannotRead, reason, hot, why);
    int primary = rc & 0xff;
    if (primary != SQLITE_BUSY && primary != SQLITE_LOCKED && !hot) {
        close();
    }
}

std::string DatabaseHandler::lookupSql(TabuloObj* query) {
    if (query == nullptr) {
        return "";
    }
    TableData* schema = query->toSchemaCheck();
    TableData* data = query->toDatabaseFormat();
    std::vector<Key> keys;
    std::string sql;
    if (schema != nullptr && schema->headColNames != nullptr && data != nullptr) {
        vdb::lookupFor(schema, data, &keys, &sql);
    }
    TableData::freeObj(schema);
    TableData::freeObj(data);
    return sql;
}

int DatabaseHandler::Find(TabuloObj* query, TableData** result, std::string* why) {
    if (result == nullptr) {
        error("Find called without a result pointer");
        return -1;
    }
    *result = nullptr;
    if (query == nullptr) {
        error("Find called without a query");
        return -1;
    }
    TableData* schema = query->toSchemaCheck();
    TableData* data = query->toDatabaseFormat();
    int found = findRows(schema, data, result, why);
    TableData::freeObj(schema);
    TableData::freeObj(data);
    return found;
}

int DatabaseHandler::findRows(const TableData* schema, const TableData* data, TableData** result,
                              std::string* why) {
    if (schema == nullptr || schema->headColNames == nullptr || data == nullptr) {
        error("Find: the query describes no table");
        return -1;
    }
    std::vector<Key> keys;
    std::string sql;
    if (!vdb::lookupFor(schema, data, &keys, &sql)) {
        error("Find: a key column of the query is not a column of its table");
        return -1;
    }
    if (sql.empty()) {
        debug("Find: the query sets no key field; nothing matches");
        return 0;
    }
    // A file written while it was read (a copy in place) may have given a
    // mix of old and new pages: its answer is not taken.
    for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
        sqlite3_stmt* stmt = ensureOpen(why) ? prepare(sql, why) : nullptr;
        if (stmt == nullptr) {
            return -1;
        }
        if (!vdb::bindKeys(stmt, keys)) {
            vdb::resetStatement(stmt);
            noteFailure(kCannotRead, "cannot bind a key value", false, why);
            return -1;
        }
        TableData* table = vdb::emptyTableLike(schema);
        int rc = SQLITE_DONE;
        int rows = stepWithinLimit(*this, mPathShown, mDb, stmt, keys, table, &rc);
        if (rc == SQLITE_INTERRUPT) {
            table->free();
            vdb::resetStatement(stmt);
            noteFailure(kCannotRead, lookupTooLong(), false, why);
            return -1;
        }
        if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
            table->free();
            stepFailed(stmt, rc, why);
            return -1;
        }
        vdb::resetStatement(stmt);
        bool replaced = false;
        if (!sameFileAsOpen(&replaced)) {
            table->free();
            continue;
        }
        noteSuccess();
        if (rows == 0) {
            table->free();
        } else {
            *result = table;
        }
        return rows;
    }
    noteFailure(kCannotRead, "the file kept changing while it was read", false, why);
    return -1;
}

int DatabaseHandler::List(TabuloObj* query,
                          const std::function<void(const std::vector<StoredValue>&)>& row,
                          std::string* why) {
    std::string reason;
    TableData* schema = query != nullptr ? query->toSchemaCheck() : nullptr;
    int rows = listRows(schema, row, &reason);
    TableData::freeObj(schema);
    if (rows < 0 && why != nullptr) {
        *why = reason;
    }
    return rows;
}

int DatabaseHandler::listRows(const TableData* schema,
                              const std::function<void(const std::vector<StoredValue>&)>& row,
                              std::string* why) {
    if (schema == nullptr || schema->headColNames == nullptr) {
        *why = "the query describes no table";
        error("List: %s", why->c_str());
        return -1;
    }
    sqlite3_stmt* stmt = ensureOpen(why) ? prepare(vdb::selectAll(schema), why) : nullptr;
    if (stmt == nullptr) {
        return -1;
    }
    int columns = sqlite3_column_count(stmt);
    std::vector<StoredValue> values(static_cast<size_t>(columns));
    int rc;
    int rows = 0;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int i = 0; i < columns; ++i) {
            values[static_cast<size_t>(i)] = vdb::readStored(stmt, i);
        }
        row(values);
        ++rows;
    }
    if (rc != SQLITE_DONE) {
        stepFailed(stmt, rc, why);
        return -1;
    }
    sqlite3_reset(stmt);
    noteSuccess();
    return rows;
}
