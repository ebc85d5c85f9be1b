// Table records exchanged with the database handler.
//
// A TableData names a table, describes its columns (ColumnNameList) and may
// carry rows (RowList), each a list of values (ColumnDataList) in column
// order; which member of a value's union holds it is the column's type. Every
// list node is allocated with new; a TableData and all it holds, the tables
// chained after it by next included, are released together with free() or
// TableData::freeObj(), never with delete (the destructor is private, so a
// TableData lives on the heap only). Not thread-safe: one thread at a time
// uses a table. Allocation failure throws std::bad_alloc; nothing else fails.
#ifndef DORVANE_PLATFORM_VDB_TABLEDATA_H
#define DORVANE_PLATFORM_VDB_TABLEDATA_H

enum DatabaseType { SQLITE3 = 0 };

enum sqlType {
    SQL_TYPE_ERROR = 0,
    SQL_TYPE_INTEGER = 1,
    SQL_TYPE_TEXT = 2,
    SQL_TYPE_FLOAT = 3,
    SQL_TYPE_BLOB = 4,
    SQL_TYPE_NULL = 5
};

struct ColumnNameList {
    char name[128];
    sqlType type;
    bool isPrimaryKey;
    ColumnNameList* next;
};

struct ColumnDataList {
    union {
        long valI;
        double valF;
        char valT[1024];  // up to 1023 characters and the NUL
        unsigned char valB[1024];
        void* valN;
    } value;
    ColumnDataList* next;
};

struct RowList {
    ColumnDataList* head;
    RowList* next;
};

class TableData {
public:
    char tableName[128];
    ColumnNameList* headColNames;
    RowList* headRowList;
    TableData* next;

    // An empty table: no name, no columns, no rows.
    TableData();

    // Convenience builders. Each appends at the end of its list and returns
    // the new node, which the table owns; names and texts longer than their
    // fields are cut (127 and 1023 bytes) and null reads as "". addText and
    // addValue REQUIRE: row is a row of a live table.
    void setTableName(const char* name);
    ColumnNameList* addColumn(const char* name, sqlType type, bool isPrimaryKey);
    RowList* addRow();
    static ColumnDataList* addText(RowList* row, const char* text);
    static ColumnDataList* addValue(RowList* row);  // zeroed value

    // Writes the table (not the tables chained after it) to standard
    // output: "table <name>", a line of column names, then one line per row.
    // Names and texts are escaped (vutil::escape); a value beyond the last column
    // prints as "?".
    void print() const;

    // Frees table, its further tables (next) and all their lists. Null is
    // allowed.
    static void freeObj(TableData* table);

    // freeObj(this), so the tables chained after it go too: the table must
    // have been created with new and is not usable afterwards.
    void free();

private:
    ~TableData() = default;  // only freeObj releases a table
};

#endif
