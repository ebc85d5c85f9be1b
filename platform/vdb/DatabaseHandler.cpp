#include "DatabaseHandler.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

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

void readColumn(sqlite3_stmt* stmt, int index, sqlType type, ColumnDataList* out) {
    auto& v = out->value;
    switch (type) {
        case SQL_TYPE_TEXT: {
            const unsigned char* text = sqlite3_column_text(stmt, index);
            int bytes = sqlite3_column_bytes(stmt, index);
            size_t n = text != nullptr ? static_cast<size_t>(bytes) : 0;
            if (n > sizeof(v.valT) - 1) {
                n = sizeof(v.valT) - 1;
            }
            if (n > 0) {
                memcpy(v.valT, text, n);
            }
            v.valT[n] = '\0';  // a NUL inside the value ends the text there
            break;
        }
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
        default:
            break;
    }
}

}  // namespace

DatabaseHandler::DatabaseHandler(DatabaseType type, const char* path, bool createIfMissing,
                                 bool readOnly)
    : cVlog("DatabaseHandler"),
      mType(type),
      mPath(path != nullptr ? path : ""),
      mCreate(createIfMissing),
      mReadOnly(readOnly),
      mDb(nullptr),
      mDev(0),
      mIno(0) {
    if (mType != SQLITE3) {
        error("unsupported database type %d", static_cast<int>(mType));
        return;
    }
    ensureOpen();
}

DatabaseHandler::~DatabaseHandler() {
    close();
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

bool DatabaseHandler::ensureOpen() {
    if (mType != SQLITE3) {
        return false;
    }
    if (mDb != nullptr && fileReplaced()) {
        info("database %s was removed or replaced; opening it again", mPath.c_str());
        close();
    }
    if (mDb != nullptr) {
        return true;
    }
    int flags = mReadOnly ? SQLITE_OPEN_READONLY
                          : (SQLITE_OPEN_READWRITE | (mCreate ? SQLITE_OPEN_CREATE : 0));
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(mPath.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        error("cannot open database %s: %s", mPath.c_str(),
              db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // SQLite's default page cache (about 2 MB) is kept: at 1,000,000 codes
    // a 16 MiB one bought no clear gain in latency and cost its size in RSS.
    struct stat st;
    if (stat(mPath.c_str(), &st) == 0) {
        mDev = static_cast<unsigned long>(st.st_dev);
        mIno = static_cast<unsigned long>(st.st_ino);
    }
    mDb = db;
    info("opened database %s", mPath.c_str());
    return true;
}

sqlite3_stmt* DatabaseHandler::prepare(const std::string& sql) {
    auto found = mStatements.find(sql);
    if (found != mStatements.end()) {
        return found->second;
    }
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(mDb, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (rc != SQLITE_OK) {
        error("cannot prepare lookup in %s: %s", mPath.c_str(), sqlite3_errmsg(mDb));
        sqlite3_finalize(stmt);
        return nullptr;
    }
    mStatements.emplace(sql, stmt);
    return stmt;
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
    int found = -1;
    do {
        if (schema == nullptr || schema->headColNames == nullptr || data == nullptr) {
            error("Find: the query describes no table");
            break;
        }
        // Key columns of the query, paired with their values.
        std::vector<std::pair<const ColumnNameList*, KeyValue>> keys;
        const ColumnDataList* value =
            data->headRowList != nullptr ? data->headRowList->head : nullptr;
        for (const ColumnNameList* c = data->headColNames; c != nullptr && value != nullptr;
             c = c->next, value = value->next) {
            if (c->isPrimaryKey) {
                keys.push_back({c, KeyValue{c->type, value}});
            }
        }
        if (keys.empty()) {
            debug("Find: the query sets no key field; nothing matches");
            found = 0;
            break;
        }
        std::string sql = "SELECT ";
        const char* sep = "";
        for (const ColumnNameList* c = schema->headColNames; c != nullptr; c = c->next) {
            sql += sep;
            appendIdentifier(sql, c->name);
            sep = ", ";
        }
        sql += " FROM ";
        appendIdentifier(sql, schema->tableName);
        sql += " WHERE ";
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i > 0) {
                sql += " AND ";
            }
            appendIdentifier(sql, keys[i].first->name);
            sql += " = ?";
        }
        if (!ensureOpen()) {
            break;
        }
        sqlite3_stmt* stmt = prepare(sql);
        if (stmt == nullptr) {
            close();  // a file that is not (yet) a database: try afresh next time
            break;
        }
        bool bound = true;
        for (size_t i = 0; i < keys.size(); ++i) {
            bound = bound && bindValue(stmt, static_cast<int>(i + 1), keys[i].second);
        }
        if (!bound) {
            error("Find: cannot bind a key value");
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
            break;
        }
        TableData* table = new TableData();
        table->setTableName(schema->tableName);
        for (const ColumnNameList* c = schema->headColNames; c != nullptr; c = c->next) {
            table->addColumn(c->name, c->type, c->isPrimaryKey);
        }
        int rows = 0;
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            RowList* row = table->addRow();
            int index = 0;
            for (const ColumnNameList* c = table->headColNames; c != nullptr; c = c->next) {
                readColumn(stmt, index++, c->type, TableData::addValue(row));
            }
            ++rows;
        }
        if (rc != SQLITE_DONE) {
            error("Find in %s failed: %s", mPath.c_str(), sqlite3_errmsg(mDb));
            table->free();
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
            if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) {
                close();
            }
            break;
        }
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        if (rows == 0) {
            table->free();
        } else {
            *result = table;
        }
        found = rows;
    } while (false);
    TableData::freeObj(schema);
    TableData::freeObj(data);
    return found;
}
