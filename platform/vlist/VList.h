// VList: a singly linked list of untyped element pointers with one cursor.
//
// The list never owns or deletes its elements; the destructor frees only its
// own nodes. mNodeCount is 16 bits wide, so a list holds at most 65,535
// elements: an add beyond that is refused with a log line. Not thread-safe,
// not even for two readers: the cursor is shared by every walk, so a walk
// must not call a function that walks the same list. The members are public
// for reading (the service reads mNodeCount); only these operations change
// them.
#ifndef DORVANE_PLATFORM_VLIST_VLIST_H
#define DORVANE_PLATFORM_VLIST_VLIST_H

#include <cstdint>

#include "vlog/cVlog.h"

struct VListNode {
    void* mData;
    VListNode* mNext;
};

class VList : public cVlog {
public:
    enum { MAX_NODES = 65535 };

    VList();  // category "Vlist", empty, cursor null
    ~VList() override;

    VList(const VList&) = delete;
    VList& operator=(const VList&) = delete;

    // Appends data (null is stored too) at the end without copying it; the
    // caller keeps ownership. Returns false, and logs, when the list already
    // holds MAX_NODES elements or no node can be allocated. The cursor stays.
    bool add(void* data);

    // Puts the cursor on the first node (null for an empty list).
    void reset();

    // The element under the cursor, or null when the cursor is past the end
    // (or was never reset). The element stays the caller's.
    void* get() const;

    // Moves the cursor to the next node. Returns false when the cursor was
    // already past the end.
    bool step();

    VListNode* mStart;
    VListNode* mCurrent;
    VListNode* mEnd;
    uint16_t mNodeCount;
};

#endif
