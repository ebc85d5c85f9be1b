// TabuloObj: the base class of database record classes.
//
// A record describes its table (toSchemaCheck), carries its set fields as a
// one-row table (toDatabaseFormat) and fills itself from a row of a result
// (toObjectFormat). Every TableData returned is new and belongs to the
// caller, who releases it with TableData::freeObj. A record is a plain value
// (copyable); one thread at a time uses it. The operations do not fail
// (except by std::bad_alloc): what a row does not give stays unset.
#ifndef DORVANE_PLATFORM_VDB_TABULOOBJ_H
#define DORVANE_PLATFORM_VDB_TABULOOBJ_H

#include "vdb/TableData.h"

class TabuloObj {
public:
    TabuloObj();
    TabuloObj(const TabuloObj& other);
    // A derived class fills itself from the row in its own constructor: the
    // base cannot call toObjectFormat before the derived part exists.
    TabuloObj(const TableData* tableData, int rowNum);
    TabuloObj& operator=(const TabuloObj&) = default;

    // The table's name and columns, no rows. Never null.
    virtual TableData* toSchemaCheck() = 0;
    // The table's name and one row made of the record's set fields, in table
    // order, with a column for each (an unset field has neither). Never null.
    virtual TableData* toDatabaseFormat() = 0;
    // True when every key field has a value, so a lookup can match.
    virtual bool allPrimaryKeyFieldsSet() = 0;
    virtual ~TabuloObj();

protected:
    // Sets the fields that row rowNum of tableData gives (tableData may be
    // null: nothing is set). tableData stays the caller's.
    virtual void toObjectFormat(const TableData* tableData, int rowNum) = 0;
};

#endif
