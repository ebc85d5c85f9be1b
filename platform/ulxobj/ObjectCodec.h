// The mapping between site objects and the tags of a message body: an
// object starts with tag 40 (its type, UINT8) and its fields follow, up to
// the next object tag. See docs/protocol.md.
//
// Pure functions: they touch nothing but their arguments, so any thread may
// call them at any time. They never fail; what they cannot map they leave
// out, as each says.
#ifndef DORVANE_PLATFORM_ULXOBJ_OBJECTCODEC_H
#define DORVANE_PLATFORM_ULXOBJ_OBJECTCODEC_H

#include "VMsg.h"
#include "cObjectList.h"

namespace objcodec {

enum TagId : uint8_t {
    TAG_ERR_MSGID = 1,
    TAG_ERR_TAGID = 2,
    TAG_DEV_ID = 8,
    TAG_IO_STATE = 17,
    TAG_PORT_TYPE = 24,
    TAG_PORT_PNUM = 25,
    TAG_PORT_LABEL = 26,
    TAG_EVT_LOG_ENTRY = 36,
    TAG_EVT_SEQ = 37,
    TAG_EVT_OBJTYPE = 40
};

// Appends obj's tags to msg, which owns them: the object tag, then every
// field of its type in the documented order.
void appendObject(VMsg& msg, const cObject& obj);

// A new message of id msgId and sequence seq holding the list's objects,
// owned by the caller (delete it). The list is only read; its cursor stays.
VMsg* toMessage(const cObjectList& list, uint8_t msgId, uint8_t seq);

// A new list of new objects decoded from msg, with its id as message type
// and its sequence number, owned by the caller: release it with
// deleteObjects() and delete. Fields come in any order; the last one
// counts; unknown tags and tags of another type are skipped; tags before the
// first object tag are left out. Never null; possibly empty.
cObjectList* fromMessage(const VMsg& msg);

}  // namespace objcodec

#endif
