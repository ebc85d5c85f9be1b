#include "vdb/TableData.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "vutil/VText.h"

namespace {

// Prints at most max bytes of text, control characters escaped: names and
// values come from the database file and must not forge an output line.
void printText(const char* text, size_t max) {
    printf("%s", vutil::escape(text, strnlen(text, max)).c_str());
}

void copyField(char* dst, size_t size, const char* src) {
    size_t n = src != nullptr ? strnlen(src, size - 1) : 0;
    if (n > 0) {
        memcpy(dst, src, n);
    }
    dst[n] = '\0';
}

void printValue(sqlType type, const ColumnDataList* value) {
    switch (type) {
        case SQL_TYPE_INTEGER:
            printf("%ld", value->value.valI);
            break;
        case SQL_TYPE_FLOAT:
            printf("%g", value->value.valF);
            break;
        case SQL_TYPE_TEXT:
            printText(value->value.valT, 1023);
            break;
        case SQL_TYPE_BLOB:
            printf("<blob>");
            break;
        case SQL_TYPE_NULL:
            printf("NULL");
            break;
        default:
            printf("?");
            break;
    }
}

}  // namespace

TableData::TableData() : headColNames(nullptr), headRowList(nullptr), next(nullptr) {
    tableName[0] = '\0';
}

void TableData::setTableName(const char* name) {
    copyField(tableName, sizeof(tableName), name);
}

ColumnNameList* TableData::addColumn(const char* name, sqlType type, bool isPrimaryKey) {
    auto* col = new ColumnNameList;
    copyField(col->name, sizeof(col->name), name);
    col->type = type;
    col->isPrimaryKey = isPrimaryKey;
    col->next = nullptr;
    ColumnNameList** tail = &headColNames;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = col;
    return col;
}

RowList* TableData::addRow() {
    auto* row = new RowList{nullptr, nullptr};
    RowList** tail = &headRowList;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = row;
    return row;
}

ColumnDataList* TableData::addValue(RowList* row) {
    auto* value = new ColumnDataList;
    memset(&value->value, 0, sizeof(value->value));
    value->next = nullptr;
    ColumnDataList** tail = &row->head;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = value;
    return value;
}

ColumnDataList* TableData::addText(RowList* row, const char* text) {
    ColumnDataList* value = addValue(row);
    copyField(value->value.valT, sizeof(value->value.valT), text);
    return value;
}

void TableData::print() const {
    printf("table ");
    printText(tableName, 127);
    printf("\n");
    const char* sep = "";
    for (const ColumnNameList* c = headColNames; c != nullptr; c = c->next) {
        printf("%s", sep);
        printText(c->name, 127);
        sep = " | ";
    }
    printf("\n");
    for (const RowList* r = headRowList; r != nullptr; r = r->next) {
        sep = "";
        const ColumnNameList* c = headColNames;
        for (const ColumnDataList* v = r->head; v != nullptr; v = v->next) {
            printf("%s", sep);
            printValue(c != nullptr ? c->type : SQL_TYPE_ERROR, v);
            sep = " | ";
            if (c != nullptr) {
                c = c->next;
            }
        }
        printf("\n");
    }
}

namespace {

// Deletes every node of a list linked through "next".
template <typename Node>
void deleteChain(Node* node) {
    while (node != nullptr) {
        Node* next = node->next;
        delete node;
        node = next;
    }
}

}  // namespace

void TableData::freeObj(TableData* table) {
    while (table != nullptr) {
        deleteChain(table->headColNames);
        for (RowList* r = table->headRowList; r != nullptr; r = r->next) {
            deleteChain(r->head);
        }
        deleteChain(table->headRowList);
        TableData* n = table->next;
        delete table;
        table = n;
    }
}

void TableData::free() {
    freeObj(this);
}
