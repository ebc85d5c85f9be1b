// cSCLpairIndex: the pairing record that counts for each reader of a list of
// cSCL records (as cSCLpairs::getSCLpairsLst returns it), found without
// walking the list. The record that counts is the reader's last one in list
// order, since a later record replaces an earlier one; this class is the one
// place that rule lives, for the service and for dorvanectl alike.
//
// The index is built once per list and holds one pointer per reader (the
// records are not copied), sorted by name: a lookup is a binary search.
// Ownership: the records and the list stay the caller's; the index must be
// dropped or replaced before the list it was built from is deleted, and the
// records' names must not change meanwhile. Threads: building needs the
// list not to change meanwhile (its cursor is not used); a built index is
// only read by find, so any number of threads may look up at once. Failure:
// none but std::bad_alloc while building, which the service does not catch.
#ifndef DORVANE_SRC_PAIRING_INDEX_H
#define DORVANE_SRC_PAIRING_INDEX_H

#include <cstddef>
#include <vector>

#include "vlist/VList.h"

class cSCL;

class cSCLpairIndex {
public:
    cSCLpairIndex() = default;  // indexes no record
    // Indexes the records of list; null or empty: no record. Null elements
    // and records without a name are left out.
    explicit cSCLpairIndex(const VList* list);

    // Movable, so that an index travels with its list; not copyable.
    cSCLpairIndex(cSCLpairIndex&&) noexcept = default;
    cSCLpairIndex& operator=(cSCLpairIndex&&) noexcept = default;
    cSCLpairIndex(const cSCLpairIndex&) = delete;
    cSCLpairIndex& operator=(const cSCLpairIndex&) = delete;

    // The last record of the list named readerName (exact bytes), or null
    // when none is or readerName is null. The record stays the list's owner.
    const cSCL* find(const char* readerName) const;

    // How many distinct readers have a record.
    size_t readers() const { return mByName.size(); }

private:
    std::vector<const cSCL*> mByName;  // one per reader, sorted by name
};

#endif
