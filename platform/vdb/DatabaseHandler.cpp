#include "DatabaseHandler.h"

#include <errno.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "VFile.h"
#include "VText.h"

namespace {

// Quotes an identifier for SQL: "name", with inner quotes doubled.
void appendIdentifier(std::string& sql, const char* name) {
    sql += '"';
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '"') {
            sql += '"';
        }
        sql += *p;
    }
    sql += '"';
}

struct KeyValue {
    sqlType type;
    const ColumnDataList* value;
};

bool bindValue(sqlite3_stmt* stmt, int index, const KeyValue& key) {
    int rc = SQLITE_MISUSE;
    const auto& v = key.value->value;
    switch (key.type) {
        case SQL_TYPE_TEXT:
            rc = sqlite3_bind_text(stmt, index, v.valT,
                                   static_cast<int>(strnlen(v.valT, sizeof(v.valT) - 1)),
                                   SQLITE_STATIC);
            break;
        case SQL_TYPE_INTEGER:
            rc = sqlite3_bind_int64(stmt, index, v.valI);
            break;
        case SQL_TYPE_FLOAT:
            rc = sqlite3_bind_double(stmt, index, v.valF);
            break;
        case SQL_TYPE_BLOB:
            rc = sqlite3_bind_blob(stmt, index, v.valB, sizeof(v.valB), SQLITE_STATIC);
            break;
        case SQL_TYPE_NULL:
            rc = sqlite3_bind_null(stmt, index);
            break;
        default:
            break;
    }
    return rc == SQLITE_OK;
}

// A query's key column: where it stands in the SELECT list, and its value.
struct Key {
    const ColumnNameList* column;
    KeyValue value;
    int index;
};

// "SELECT <columns of schema> FROM <table>".
std::string selectAll(const TableData* schema) {
    std::string sql = "SELECT ";
    const char* sep = "";
    for (const ColumnNameList* c = schema->headColNames; c != nullptr; c = c->next) {
        sql += sep;
        appendIdentifier(sql, c->name);
        sep = ", ";
    }
    sql += " FROM ";
    appendIdentifier(sql, schema->tableName);
    return sql;
}

// Sets *sql to the lookup of the rows matching data's key columns ("" when
// data sets no key field) and fills *keys. False when a key column is not
// one of schema's columns of the same type: its match could not be checked.
bool lookupFor(const TableData* schema, const TableData* data, std::vector<Key>* keys,
               std::string* sql) {
    sql->clear();
    const ColumnDataList* value = data->headRowList != nullptr ? data->headRowList->head : nullptr;
    for (const ColumnNameList* c = data->headColNames; c != nullptr && value != nullptr;
         c = c->next, value = value->next) {
        if (!c->isPrimaryKey) {
            continue;
        }
        int index = 0;
        const ColumnNameList* s = schema->headColNames;
        for (; s != nullptr && strncmp(s->name, c->name, sizeof(s->name)) != 0; s = s->next) {
            ++index;
        }
        if (s == nullptr || s->type != c->type) {
            return false;
        }
        keys->push_back({c, KeyValue{c->type, value}, index});
    }
    if (keys->empty()) {
        return true;
    }
    // Equality on the column itself lets SQLite use its index; the exact
    // rule for text keys is applied to the few rows it yields.
    *sql = selectAll(schema) + " WHERE ";
    for (size_t i = 0; i < keys->size(); ++i) {
        if (i > 0) {
            *sql += " AND ";
        }
        appendIdentifier(*sql, (*keys)[i].column->name);
        *sql += " = ?";
    }
    return true;
}

sqlType storageClass(int sqliteType) {
    switch (sqliteType) {
        case SQLITE_INTEGER:
            return SQL_TYPE_INTEGER;
        case SQLITE_FLOAT:
            return SQL_TYPE_FLOAT;
        case SQLITE_TEXT:
            return SQL_TYPE_TEXT;
        case SQLITE_BLOB:
            return SQL_TYPE_BLOB;
        default:
            return SQL_TYPE_NULL;
    }
}

DatabaseHandler::StoredValue readStored(sqlite3_stmt* stmt, int index) {
    // The storage class first: it is only defined before a conversion.
    DatabaseHandler::StoredValue v{storageClass(sqlite3_column_type(stmt, index)), {}};
    const unsigned char* bytes = sqlite3_column_text(stmt, index);
    int n = sqlite3_column_bytes(stmt, index);
    if (bytes != nullptr && n > 0) {
        v.bytes.assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    }
    return v;
}

void readColumn(sqlite3_stmt* stmt, int index, sqlType type, ColumnDataList* out) {
    auto& v = out->value;
    switch (type) {
        case SQL_TYPE_INTEGER:
            v.valI = static_cast<long>(sqlite3_column_int64(stmt, index));
            break;
        case SQL_TYPE_FLOAT:
            v.valF = sqlite3_column_double(stmt, index);
            break;
        case SQL_TYPE_BLOB: {
            const void* blob = sqlite3_column_blob(stmt, index);
            int bytes = sqlite3_column_bytes(stmt, index);
            size_t n = blob != nullptr ? static_cast<size_t>(bytes) : 0;
            if (n > sizeof(v.valB)) {
                n = sizeof(v.valB);
            }
            if (n > 0) {
                memcpy(v.valB, blob, n);
            }
            break;
        }
        default:  // texts are read by Find, which applies textRefusal
            break;
    }
}

const size_t kTextMax = sizeof(ColumnDataList::value.valT) - 1;

}  // namespace

namespace {

bool bindKeys(sqlite3_stmt* stmt, const std::vector<Key>& keys) {
    bool bound = true;
    for (size_t i = 0; i < keys.size(); ++i) {
        bound = bound && bindValue(stmt, static_cast<int>(i + 1), keys[i].value);
    }
    return bound;
}

// Makes a cached statement ready for its next use.
void resetStatement(sqlite3_stmt* stmt) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
}

// A new table with the name and columns of schema and no row.
TableData* emptyTableLike(const TableData* schema) {
    TableData* table = new TableData();
    table->setTableName(schema->tableName);
    for (const ColumnNameList* c = schema->headColNames; c != nullptr; c = c->next) {
        table->addColumn(c->name, c->type, c->isPrimaryKey);
    }
    return table;
}

// SQL equality may convert, collate or compare a blob: a text key matches
// only the stored text of exactly its bytes. texts holds the row's stored
// values by column position. Every key that differs is logged.
bool keysMatch(cVlog& log, const std::string& path, const std::vector<Key>& keys,
               const std::vector<DatabaseHandler::StoredValue>& texts) {
    bool match = true;
    for (const Key& k : keys) {
        if (k.value.type != SQL_TYPE_TEXT) {
            continue;
        }
        const DatabaseHandler::StoredValue& v = texts[static_cast<size_t>(k.index)];
        const char* refused = DatabaseHandler::textRefusal(true, v.type, v.bytes);
        const char* key = k.value.value->value.valT;
        if (refused != nullptr || v.bytes != std::string(key, strnlen(key, kTextMax))) {
            log.debug("Find in %s: a row whose %s %s does not match", path.c_str(), k.column->name,
                      refused != nullptr ? refused : "differs");
            match = false;
        }
    }
    return match;
}

// Appends the statement's current row to table: texts (read before, by
// column position) as stored unless refused, which reads as "".
void addFoundRow(cVlog& log, const std::string& path, sqlite3_stmt* stmt, TableData* table,
                 const std::vector<DatabaseHandler::StoredValue>& texts) {
    RowList* row = table->addRow();
    int index = 0;
    for (const ColumnNameList* c = table->headColNames; c != nullptr; c = c->next) {
        ColumnDataList* value = TableData::addValue(row);
        if (c->type != SQL_TYPE_TEXT) {
            readColumn(stmt, index++, c->type, value);
            continue;
        }
        const DatabaseHandler::StoredValue& v = texts[static_cast<size_t>(index++)];
        const char* refused = DatabaseHandler::textRefusal(c->isPrimaryKey, v.type, v.bytes);
        if (refused != nullptr) {
            log.warn("Find in %s: the %s of the row found %s; it is refused", path.c_str(), c->name,
                     refused);
        } else {
            memcpy(value->value.valT, v.bytes.data(), v.bytes.size());
            value->value.valT[v.bytes.size()] = '\0';
        }
    }
}

// Steps the bound statement to its end and adds the rows whose text keys
// match exactly to table. Returns how many; *rc gets the last step's code
// (SQLITE_DONE when every row was read).
int stepRows(cVlog& log, const std::string& path, sqlite3_stmt* stmt, const std::vector<Key>& keys,
             TableData* table, int* rc) {
    size_t columns = 0;
    for (const ColumnNameList* c = table->headColNames; c != nullptr; c = c->next) {
        ++columns;
    }
    std::vector<DatabaseHandler::StoredValue> texts(columns);
    int rows = 0;
    while ((*rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        int index = 0;
        for (const ColumnNameList* c = table->headColNames; c != nullptr; c = c->next) {
            if (c->type == SQL_TYPE_TEXT) {
                texts[static_cast<size_t>(index)] = readStored(stmt, index);
            }
            ++index;
        }
        if (keysMatch(log, path, keys, texts)) {
            addFoundRow(log, path, stmt, table, texts);
            ++rows;
        }
    }
    return rows;
}

}  // namespace

DatabaseHandler::DatabaseHandler(DatabaseType type, const char* path, bool createIfMissing,
                                 bool readOnly)
    : cVlog("DatabaseHandler"),
      mType(type),
      mPath(path != nullptr ? path : ""),
      mPathShown(vtext::escape(mPath.data(), mPath.size())),
      mCreate(createIfMissing),
      mReadOnly(readOnly),
      mDb(nullptr),
      mDev(0),
      mIno(0),
      mSchemaErrorLogged(false) {
    if (mType != SQLITE3) {
        error("unsupported database type %d", static_cast<int>(mType));
        return;
    }
    ensureOpen(nullptr);
}

DatabaseHandler::~DatabaseHandler() {
    close();
}

void DatabaseHandler::noteOpenFailure(const std::string& why) {
    // Once per reason: a database that stays missing is retried at every
    // scan, and the same line each time would bury the others.
    if (why != mOpenFailure) {
        mOpenFailure = why;
        error("cannot open database %s: %s", mPathShown.c_str(),
              vtext::escape(why.c_str()).c_str());
    }
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

bool DatabaseHandler::fileReplaced() const {
    struct stat st;
    if (stat(mPath.c_str(), &st) != 0) {
        return true;
    }
    return static_cast<unsigned long>(st.st_dev) != mDev ||
           static_cast<unsigned long>(st.st_ino) != mIno;
}

bool DatabaseHandler::ensureOpen(std::string* why) {
    if (mType != SQLITE3) {
        if (why != nullptr) {
            *why = "unsupported database type";
        }
        return false;
    }
    if (mDb != nullptr && fileReplaced()) {
        info("database %s was removed or replaced; opening it again", mPathShown.c_str());
        close();
    }
    if (mDb != nullptr) {
        return true;
    }
    // SQLite opens the file with a blocking open(): a FIFO or device there
    // would stop this thread for good. Only a missing file that this handler
    // may create is let through.
    struct stat st;
    bool creating = mCreate && !mReadOnly && stat(mPath.c_str(), &st) != 0 && errno == ENOENT;
    std::string refusal;
    if (!creating && !vfile::isRegularFile(mPath.c_str(), &refusal)) {
        noteOpenFailure(refusal);
        if (why != nullptr) {
            *why = refusal;
        }
        return false;
    }
    int flags = mReadOnly ? SQLITE_OPEN_READONLY
                          : (SQLITE_OPEN_READWRITE | (mCreate ? SQLITE_OPEN_CREATE : 0));
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(mPath.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        refusal = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        noteOpenFailure(refusal);
        if (why != nullptr) {
            *why = refusal;
        }
        sqlite3_close(db);
        return false;
    }
    // "sc" must name a column: with double-quoted string literals on, a
    // table that lacks it would compare the text 'sc' and match any row.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // SQLite's default page cache (about 2 MB) is kept: at 1,000,000 codes
    // a 16 MiB one bought no clear gain in latency and cost its size in RSS.
    if (stat(mPath.c_str(), &st) == 0) {
        mDev = static_cast<unsigned long>(st.st_dev);
        mIno = static_cast<unsigned long>(st.st_ino);
    }
    mDb = db;
    mSchemaErrorLogged = false;
    mOpenFailure.clear();
    info("opened database %s", mPathShown.c_str());
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
        *why = sqlite3_errmsg(mDb);
        sqlite3_finalize(stmt);
        // A lock passes; a schema that lacks the table or a column (or a
        // file that is no database) stays until the file changes: said once
        // for this connection, tried again at every lookup.
        bool transient = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
        if (transient || !mSchemaErrorLogged) {
            error("cannot prepare lookup in %s: %s", mPathShown.c_str(), why->c_str());
        }
        mSchemaErrorLogged = mSchemaErrorLogged || !transient;
        return nullptr;
    }
    mStatements.emplace(sql, stmt);
    return stmt;
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
        lookupFor(schema, data, &keys, &sql);
    }
    TableData::freeObj(schema);
    TableData::freeObj(data);
    return sql;
}

const char* DatabaseHandler::textRefusal(bool isKey, sqlType stored, const std::string& bytes) {
    if (isKey && stored != SQL_TYPE_TEXT) {
        switch (stored) {
            case SQL_TYPE_INTEGER:
                return "is stored as an integer, not as text";
            case SQL_TYPE_FLOAT:
                return "is stored as a real number, not as text";
            case SQL_TYPE_BLOB:
                return "is stored as a blob, not as text";
            default:
                return "is NULL, not text";
        }
    }
    if (bytes.find('\0') != std::string::npos) {
        return "contains a NUL byte";
    }
    if (bytes.size() > kTextMax) {
        return "is longer than 1023 bytes";
    }
    return nullptr;
}

int DatabaseHandler::Find(TabuloObj* query, TableData** result) {
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
    int found = findRows(schema, data, result);
    TableData::freeObj(schema);
    TableData::freeObj(data);
    return found;
}

int DatabaseHandler::findRows(const TableData* schema, const TableData* data, TableData** result) {
    if (schema == nullptr || schema->headColNames == nullptr || data == nullptr) {
        error("Find: the query describes no table");
        return -1;
    }
    std::vector<Key> keys;
    std::string sql;
    if (!lookupFor(schema, data, &keys, &sql)) {
        error("Find: a key column of the query is not a column of its table");
        return -1;
    }
    if (sql.empty()) {
        debug("Find: the query sets no key field; nothing matches");
        return 0;
    }
    std::string why;
    sqlite3_stmt* stmt = ensureOpen(&why) ? prepare(sql, &why) : nullptr;
    if (stmt == nullptr) {
        return -1;
    }
    if (!bindKeys(stmt, keys)) {
        error("Find: cannot bind a key value");
        resetStatement(stmt);
        return -1;
    }
    TableData* table = emptyTableLike(schema);
    int rc = SQLITE_DONE;
    int rows = stepRows(*this, mPathShown, stmt, keys, table, &rc);
    if (rc != SQLITE_DONE) {
        error("Find in %s failed: %s", mPathShown.c_str(), sqlite3_errmsg(mDb));
        table->free();
        resetStatement(stmt);
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) {
            close();
        }
        return -1;
    }
    resetStatement(stmt);
    if (rows == 0) {
        table->free();
    } else {
        *result = table;
    }
    return rows;
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
    sqlite3_stmt* stmt = ensureOpen(why) ? prepare(selectAll(schema), why) : nullptr;
    if (stmt == nullptr) {
        return -1;
    }
    int columns = sqlite3_column_count(stmt);
    std::vector<StoredValue> values(static_cast<size_t>(columns));
    int rc;
    int rows = 0;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int i = 0; i < columns; ++i) {
            values[static_cast<size_t>(i)] = readStored(stmt, i);
        }
        row(values);
        ++rows;
    }
    if (rc != SQLITE_DONE) {
        *why = sqlite3_errmsg(mDb);
        error("List in %s failed: %s", mPathShown.c_str(), why->c_str());
        rows = -1;
    }
    sqlite3_reset(stmt);
    return rows;
}
