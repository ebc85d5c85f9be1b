// The mapping between site objects and the tags of a message body: an
// object starts with tag 40 (its type, UINT8) and its fields follow, up to
// the next object tag. See docs/protocol.md. Texts are mapped whole, NUL
// bytes included, both ways (cObject.h says how a reader tells them).
//
// Pure functions: they touch nothing but their arguments, so any thread may
// call them, on arguments that no other thread changes meanwhile. They do not
// fail (except by std::bad_alloc); what they cannot map they leave out, as
// each says.
#ifndef DORVANE_PLATFORM_ULXOBJ_OBJECTCODEC_H
#define DORVANE_PLATFORM_ULXOBJ_OBJECTCODEC_H

#include "ulxobj/cObjectList.h"
#include "vmsg/VMsg.h"

namespace ulxobj {

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
// field of its class in the documented order (a port's serial, port id, port
// type and label, and an output's state; an access object's serial and scan
// code; an event's number). An object of another class gets the object tag
// only.
void appendObject(VMsg& msg, const cObject& obj);

// A new message of id msgId and sequence seq holding the list's objects,
// owned by the caller (delete it). The list is only read; its cursor stays.
VMsg* toMessage(const cObjectList& list, uint8_t msgId, uint8_t seq);

// A new list of new objects decoded from msg, with its id as message type
// and its sequence number, owned by the caller: release it with
// deleteObjects() and delete. Fields come in any order; the last one
// counts; unknown tags and tags of another type are skipped; tags before the
// first object tag are left out. A port type becomes a cObjectPort
// (OBJ_PORT_DOUT a cObjectDOutput), OBJ_ACCESS a cObjectAccess, any other
// type a plain cObject with no fields: an event's number is not read back.
// The message's cursor stays. Never null; possibly empty.
cObjectList* fromMessage(const VMsg& msg);

}  // namespace ulxobj

#endif
