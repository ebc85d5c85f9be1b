// pAccess: one row of table "codes": a scan code ("sc", the primary key) and
// the label of the reader it belongs to ("reader").
//
// Both fields hold at most 127 characters. A longer text is refused, not
// cut: the field is left empty, since a cut scan code could equal another
// code and open the wrong door. The scan code is a key declared
// SQL_TYPE_TEXT: DatabaseHandler matches it only to a stored text of exactly
// its bytes, never to a number or blob that SQLite would compare as equal.
//
// A plain value: one thread at a time uses a record. The TableData that
// toSchemaCheck and toDatabaseFormat return is new and the caller's (release
// it with TableData::freeObj); they never return null and fail only by
// std::bad_alloc.
#ifndef DORVANE_SRC_PACCESS_H
#define DORVANE_SRC_PACCESS_H

#include <string>

#include "vdb/TabuloObj.h"

class pAccess : public TabuloObj {
public:
    enum { FIELD_SIZE = 128 };

    pAccess();  // both fields empty
    // Both fields empty, then filled from the columns "sc" and "reader" of
    // row rowNum (0 or less: the first) of tableData, which stays the
    // caller's. A null table or a missing row leaves both empty; an overlong
    // text leaves its field empty. Note: a column of another name or type is
    // reported with a line on standard output ("Don't know what to do with
    // col ..."), not in the log.
    pAccess(const TableData* tableData, int rowNum);

    // Table "codes" with "sc" (TEXT, the key) and "reader" (TEXT).
    TableData* toSchemaCheck() override;
    // Table "codes", one row with the non-empty fields of sc and reader.
    TableData* toDatabaseFormat() override;
    // True when the scan code is not empty.
    bool allPrimaryKeyFieldsSet() override;
    ~pAccess() override;

    // Copy text into the field; a null or overlong text leaves it empty.
    void setScanCode(const char* scanCode);
    void setReaderLabel(const char* readerLabel);

    // Why a value stored in column `column` of "codes" ("sc" or "reader")
    // can never serve as that field, as a phrase ("is stored as a blob, not
    // as text", "contains a NUL byte", "is longer than 127 characters", "is
    // empty"), or null when it can. It is DatabaseHandler::textRefusal for
    // the column as toSchemaCheck declares it, then this record's own limits;
    // the lookup applies the same rules. Thread-safe.
    static const char* refusal(const char* column, sqlType stored, const std::string& bytes);

    // The field itself (never null, NUL-terminated within FIELD_SIZE), owned
    // by the record and valid as long as it lives. Writable, but a write must
    // keep the NUL within FIELD_SIZE bytes.
    char* getScanCode() { return mScanCode; }
    char* getReaderLabel() { return mReadlerLabel; }

protected:
    void toObjectFormat(const TableData* tableData, int rowNum) override;

    char mScanCode[FIELD_SIZE];
    char mReadlerLabel[FIELD_SIZE];
};

#endif
