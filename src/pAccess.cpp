#include "src/pAccess.h"

#include <cstdio>
#include <cstring>

#include "vdb/DatabaseHandler.h"

namespace {

const char kTable[] = "codes";
const char kScanCodeColumn[] = "sc";
const char kReaderColumn[] = "reader";

// A field holds a text of this many bytes whole.
bool fits(size_t n) {
    return n < pAccess::FIELD_SIZE;
}
static_assert(pAccess::FIELD_SIZE == 128, "refusal() names the limit");

// Copies text into a field of pAccess::FIELD_SIZE bytes, or empties the
// field when the text does not fit whole.
void setField(char* field, const char* text) {
    size_t n = text != nullptr ? strnlen(text, pAccess::FIELD_SIZE) : 0;
    if (!fits(n)) {
        n = 0;
    }
    if (n > 0) {
        memcpy(field, text, n);
    }
    field[n] = '\0';
}

}  // namespace

pAccess::pAccess() {
    mScanCode[0] = '\0';
    mReadlerLabel[0] = '\0';
}

pAccess::pAccess(const TableData* tableData, int rowNum) : TabuloObj(tableData, rowNum) {
    mScanCode[0] = '\0';
    mReadlerLabel[0] = '\0';
    toObjectFormat(tableData, rowNum);
}

pAccess::~pAccess() = default;

void pAccess::setScanCode(const char* scanCode) {
    setField(mScanCode, scanCode);
}

void pAccess::setReaderLabel(const char* readerLabel) {
    setField(mReadlerLabel, readerLabel);
}

const char* pAccess::refusal(const char* column, sqlType stored, const std::string& bytes) {
    bool key = column != nullptr && strcmp(column, kScanCodeColumn) == 0;
    if (!key && (column == nullptr || strcmp(column, kReaderColumn) != 0)) {
        return "is not a column of table codes";
    }
    const char* refused = DatabaseHandler::textRefusal(key, stored, bytes);
    if (refused != nullptr) {
        return refused;
    }
    if (!fits(bytes.size())) {
        return "is longer than 127 characters";
    }
    if (key && bytes.empty()) {
        return "is empty";  // a query without a scan code matches nothing
    }
    return nullptr;
}

bool pAccess::allPrimaryKeyFieldsSet() {
    return mScanCode[0] != '\0';
}

TableData* pAccess::toSchemaCheck() {
    TableData* table = new TableData();
    table->setTableName(kTable);
    table->addColumn(kScanCodeColumn, SQL_TYPE_TEXT, true);
    table->addColumn(kReaderColumn, SQL_TYPE_TEXT, false);
    return table;
}

TableData* pAccess::toDatabaseFormat() {
    TableData* table = new TableData();
    table->setTableName(kTable);
    RowList* row = table->addRow();
    if (mScanCode[0] != '\0') {
        table->addColumn(kScanCodeColumn, SQL_TYPE_TEXT, true);
        TableData::addText(row, mScanCode);
    }
    if (mReadlerLabel[0] != '\0') {
        table->addColumn(kReaderColumn, SQL_TYPE_TEXT, false);
        TableData::addText(row, mReadlerLabel);
    }
    return table;
}

void pAccess::toObjectFormat(const TableData* tableData, int rowNum) {
    if (tableData == nullptr) {
        return;
    }
    const RowList* row = tableData->headRowList;
    for (int i = 0; i < rowNum && row != nullptr; ++i) {
        row = row->next;
    }
    if (row == nullptr) {
        return;
    }
    const ColumnNameList* col = tableData->headColNames;
    const ColumnDataList* value = row->head;
    for (; col != nullptr && value != nullptr; col = col->next, value = value->next) {
        // The name field may lack its NUL in a hand-built table: compare within it.
        bool text = col->type == SQL_TYPE_TEXT;
        if (text && strncmp(col->name, kScanCodeColumn, sizeof(col->name)) == 0) {
            setField(mScanCode, value->value.valT);
        } else if (text && strncmp(col->name, kReaderColumn, sizeof(col->name)) == 0) {
            setField(mReadlerLabel, value->value.valT);
        } else {
            printf("Don't know what to do with col %.*s(%d)\n", static_cast<int>(sizeof(col->name)),
                   col->name, static_cast<int>(col->type));
        }
    }
}
