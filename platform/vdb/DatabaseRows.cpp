#include "vdb/DatabaseRows.h"

#include <sqlite3.h>

#include <cstring>

#include "vlog/cVlog.h"

namespace vdb {

namespace {

const size_t kTextMax = sizeof(ColumnDataList::value.valT) - 1;

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

bool bindValue(sqlite3_stmt* stmt, int index, const Key& key) {
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
        default:  // texts are taken from their stored value, after textRefusal
            break;
    }
}

// SQL equality may convert, collate or compare a blob: a text key matches
// only the stored text of exactly its bytes. values holds the row's stored
// values by column position. Every key that differs is logged.
bool keysMatch(cVlog& log, const std::string& path, const std::vector<Key>& keys,
               const std::vector<DatabaseHandler::StoredValue>& values) {
    bool match = true;
    for (const Key& k : keys) {
        if (k.type != SQL_TYPE_TEXT) {
            continue;
        }
        const DatabaseHandler::StoredValue& v = values[static_cast<size_t>(k.index)];
        const char* refused = DatabaseHandler::textRefusal(true, v.type, v.bytes);
        const char* key = k.value->value.valT;
        if (refused != nullptr ||
            v.bytes.compare(0, std::string::npos, key, strnlen(key, kTextMax)) != 0) {
            if (log.isEnabled(cVlog::DEBUG)) {
                log.debug("Find in %s: a row whose %s %s does not match", path.c_str(),
                          k.column->name, refused != nullptr ? refused : "differs");
            }
            match = false;
        }
    }
    return match;
}

// Appends the statement's current row to table: texts as stored (values,
// by column position) unless refused, which reads as "".
void addFoundRow(cVlog& log, const std::string& path, sqlite3_stmt* stmt, TableData* table,
                 const std::vector<DatabaseHandler::StoredValue>& values) {
    RowList* row = table->addRow();
    int index = 0;
    for (const ColumnNameList* c = table->headColNames; c != nullptr; c = c->next) {
        ColumnDataList* value = TableData::addValue(row);
        if (c->type != SQL_TYPE_TEXT) {
            readColumn(stmt, index++, c->type, value);
            continue;
        }
        const DatabaseHandler::StoredValue& v = values[static_cast<size_t>(index++)];
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

}  // namespace

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
        keys->push_back({c, c->type, value, index});
    }
    if (keys->empty()) {
        return true;
    }
    // Equality on the column itself lets SQLite use its index; the exact
    // rule for text keys is applied to the rows it yields.
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

bool bindKeys(sqlite3_stmt* stmt, const std::vector<Key>& keys) {
    bool bound = true;
    for (size_t i = 0; i < keys.size(); ++i) {
        bound = bound && bindValue(stmt, static_cast<int>(i + 1), keys[i]);
    }
    return bound;
}

void resetStatement(sqlite3_stmt* stmt) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
}

TableData* emptyTableLike(const TableData* schema) {
    TableData* table = new TableData();
    table->setTableName(schema->tableName);
    for (const ColumnNameList* c = schema->headColNames; c != nullptr; c = c->next) {
        table->addColumn(c->name, c->type, c->isPrimaryKey);
    }
    return table;
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

int stepRows(cVlog& log, const std::string& path, sqlite3_stmt* stmt, const std::vector<Key>& keys,
             TableData* table, int* rc) {
    int columns = sqlite3_column_count(stmt);
    std::vector<DatabaseHandler::StoredValue> values(static_cast<size_t>(columns));
    std::vector<DatabaseHandler::StoredValue> first;
    int rows = 0;
    // Each row costs the same whatever came before (the table keeps two rows
    // at most), so a code stored 100,000 times costs SQLite's own time.
    while (rows < 2 && (*rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int i = 0; i < columns; ++i) {
            values[static_cast<size_t>(i)] = readStored(stmt, i);
        }
        if (!keysMatch(log, path, keys, values) ||
            (rows == 1 && DatabaseHandler::sameAnswer(first, values))) {
            continue;
        }
        addFoundRow(log, path, stmt, table, values);
        if (rows++ == 0) {
            first = values;
        }
    }
    return rows;
}

}  // namespace vdb

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
    if (bytes.size() > vdb::kTextMax) {
        return "is longer than 1023 bytes";
    }
    return nullptr;
}

bool DatabaseHandler::sameAnswer(const std::vector<StoredValue>& a,
                                 const std::vector<StoredValue>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].type != b[i].type || a[i].bytes != b[i].bytes) {
            return false;
        }
    }
    return true;
}

DatabaseHandler::eRowsAnswer DatabaseHandler::classifyRows(
    const std::vector<std::vector<StoredValue>>& rows) {
    if (rows.empty()) {
        return ROWS_NONE;
    }
    for (const std::vector<StoredValue>& row : rows) {
        if (!sameAnswer(rows.front(), row)) {
            return ROWS_AMBIGUOUS;
        }
    }
    return ROWS_ONE_ANSWER;
}
