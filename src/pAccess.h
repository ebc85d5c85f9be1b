// pAccess: one row of table "codes": a scan code ("sc", the primary key) and
// the label of the reader it belongs to ("reader").
//
// Both fields hold at most 127 characters. A longer text is refused, not
// cut: the field is left empty, since a cut scan code could equal another
// code and open the wrong door.
#ifndef DORVANE_SRC_PACCESS_H
#define DORVANE_SRC_PACCESS_H

#include "TabuloObj.h"

class pAccess : public TabuloObj {
public:
    enum { FIELD_SIZE = 128 };

    pAccess();  // both fields empty
    // Both fields empty, then filled from row rowNum (0 or less: the first).
    pAccess(const TableData* tableData, int rowNum);

    TableData* toSchemaCheck() override;
    TableData* toDatabaseFormat() override;
    bool allPrimaryKeyFieldsSet() override;
    ~pAccess() override;

    // Copy text into the field; a null or overlong text leaves it empty.
    void setScanCode(const char* scanCode);
    void setReaderLabel(const char* readerLabel);

    char* getScanCode() { return mScanCode; }
    char* getReaderLabel() { return mReadlerLabel; }

protected:
    void toObjectFormat(const TableData* tableData, int rowNum) override;

    char mScanCode[FIELD_SIZE];
    char mReadlerLabel[FIELD_SIZE];
};

#endif
