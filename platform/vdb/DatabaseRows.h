// The handler's SQL and row reading, kept apart from its connection
// handling (DatabaseHandler.cpp). Internal to libvdb: nothing outside
// DatabaseHandler uses it. Every function is thread-safe on distinct
// statements and tables; none throws but std::bad_alloc.
#ifndef DORVANE_PLATFORM_VDB_DATABASEROWS_H
#define DORVANE_PLATFORM_VDB_DATABASEROWS_H

#include <string>
#include <vector>

#include "vdb/DatabaseHandler.h"
#include "vdb/TableData.h"

struct sqlite3_stmt;
class cVlog;

namespace vdb {

// A query's key column: its descriptor, its type and value, and where it
// stands in the SELECT list.
struct Key {
    const ColumnNameList* column;
    sqlType type;
    const ColumnDataList* value;
    int index;
};

// "SELECT <columns of schema> FROM <table>", identifiers quoted.
std::string selectAll(const TableData* schema);

// Sets *sql to the lookup of the rows matching data's key columns ("" when
// data sets no key field) and fills *keys. False when a key column is not
// one of schema's columns of the same type: its match could not be checked.
bool lookupFor(const TableData* schema, const TableData* data, std::vector<Key>* keys,
               std::string* sql);

// Binds the keys' values to stmt's parameters 1..n; false when one fails.
bool bindKeys(sqlite3_stmt* stmt, const std::vector<Key>& keys);

// Makes a cached statement ready for its next use.
void resetStatement(sqlite3_stmt* stmt);

// A new table with the name and columns of schema and no row.
TableData* emptyTableLike(const TableData* schema);

// Column index of stmt's current row as stored: its storage class first,
// then its bytes (SQLite's text form for numbers; empty for NULL).
DatabaseHandler::StoredValue readStored(sqlite3_stmt* stmt, int index);

// Steps the bound statement and adds to table the rows whose text keys match
// exactly (log and path name the database in DEBUG and WARN lines). Keeps
// the first such row and the first later one that is not sameAnswer with
// it, then stops: at most two rows, whatever the table holds. Returns how
// many were kept; *rc gets the last step's code (SQLITE_DONE or SQLITE_ROW
// when it ended as it should).
int stepRows(cVlog& log, const std::string& path, sqlite3_stmt* stmt, const std::vector<Key>& keys,
             TableData* table, int* rc);

}  // namespace vdb

#endif
