// TabuloObj: the base class of database record classes.
//
// A record describes its table (toSchemaCheck), carries its set fields as a
// one-row table (toDatabaseFormat) and fills itself from a row of a result
// (toObjectFormat). Every TableData returned belongs to the caller.
#ifndef DORVANE_PLATFORM_VDB_TABULOOBJ_H
#define DORVANE_PLATFORM_VDB_TABULOOBJ_H

#include "TableData.h"

class TabuloObj {
public:
    TabuloObj();
    TabuloObj(const TabuloObj& other);
    // A derived class fills itself from the row in its own constructor: the
    // base cannot call toObjectFormat before the derived part exists.
    TabuloObj(const TableData* tableData, int rowNum);
    TabuloObj& operator=(const TabuloObj&) = default;

    // The table's name and columns, no rows.
    virtual TableData* toSchemaCheck() = 0;
    // One row made of the record's set fields, in table order.
    virtual TableData* toDatabaseFormat() = 0;
    virtual bool allPrimaryKeyFieldsSet() = 0;
    virtual ~TabuloObj();

protected:
    virtual void toObjectFormat(const TableData* tableData, int rowNum) = 0;
};

#endif
