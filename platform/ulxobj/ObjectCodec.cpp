#include "ulxobj/ObjectCodec.h"

namespace ulxobj {

namespace {

bool isPortType(int type) {
    return type == cObject::OBJ_PORT || type == cObject::OBJ_PORT_DIN ||
           type == cObject::OBJ_PORT_DOUT || type == cObject::OBJ_PORT_AIN ||
           type == cObject::OBJ_PORT_AOUT;
}

cObject* newObject(uint8_t type) {
    if (type == cObject::OBJ_PORT_DOUT) {
        auto* out = new cObjectDOutput();
        out->setPortType(cObjectPort::PORT_TYPE_NONE);  // a missing field keeps 0
        return out;
    }
    if (isPortType(type)) {
        return new cObjectPort(static_cast<cObject::eObjectTypes>(type));
    }
    if (type == cObject::OBJ_ACCESS) {
        return new cObjectAccess();
    }
    return new cObject(static_cast<cObject::eObjectTypes>(type));
}

// Applies one field tag to obj; tags the type does not list are skipped.
void applyField(cObject* obj, const VTag* tag) {
    const uint8_t id = tag->getTagID();
    const VTag::VTagType type = tag->getTagType();
    if (auto* port = dynamic_cast<cObjectPort*>(obj)) {
        if (id == TAG_DEV_ID && type == VTag::VT_UINT32) {
            port->setDeviceSerial(static_cast<const VTagUInt32*>(tag)->getValue());
        } else if (id == TAG_PORT_PNUM && type == VTag::VT_UINT32) {
            port->setPortId(static_cast<const VTagUInt32*>(tag)->getValue());
        } else if (id == TAG_PORT_TYPE && type == VTag::VT_UINT8) {
            port->setPortType(static_cast<cObjectPort::ePortType>(
                static_cast<const VTagUInt8*>(tag)->getValue()));
        } else if (id == TAG_PORT_LABEL && type == VTag::VT_STRING) {
            port->setPortLabel(static_cast<const VTagString*>(tag)->getString());
        } else if (id == TAG_IO_STATE && type == VTag::VT_UINT8) {
            if (auto* out = dynamic_cast<cObjectDOutput*>(obj)) {
                out->setOutputState(static_cast<cObject::eObjectIOState>(
                    static_cast<const VTagUInt8*>(tag)->getValue()));
            }
        }
    } else if (auto* access = dynamic_cast<cObjectAccess*>(obj)) {
        if (id == TAG_DEV_ID && type == VTag::VT_UINT32) {
            access->setDeviceSerial(static_cast<const VTagUInt32*>(tag)->getValue());
        } else if (id == TAG_EVT_LOG_ENTRY && type == VTag::VT_STRING) {
            access->setScanCode(static_cast<const VTagString*>(tag)->getString());
        }
    }
}

}  // namespace

void appendObject(VMsg& msg, const cObject& obj) {
    msg.addTag(new VTagUInt8(TAG_EVT_OBJTYPE, static_cast<uint8_t>(obj.getType())));
    if (const auto* port = dynamic_cast<const cObjectPort*>(&obj)) {
        msg.addTag(new VTagUInt32(TAG_DEV_ID, port->getDeviceSerial()));
        msg.addTag(new VTagUInt32(TAG_PORT_PNUM, port->getPortId()));
        msg.addTag(new VTagUInt8(TAG_PORT_TYPE, static_cast<uint8_t>(port->getPortType())));
        const std::string& label = port->getPortLabelBytes();
        msg.addTag(new VTagString(TAG_PORT_LABEL, label.data(), label.size()));
        if (const auto* out = dynamic_cast<const cObjectDOutput*>(&obj)) {
            msg.addTag(new VTagUInt8(TAG_IO_STATE, static_cast<uint8_t>(out->getOutputState())));
        }
    } else if (const auto* access = dynamic_cast<const cObjectAccess*>(&obj)) {
        msg.addTag(new VTagUInt32(TAG_DEV_ID, access->getDeviceSerial()));
        const std::string& code = access->getScanCodeBytes();
        msg.addTag(new VTagString(TAG_EVT_LOG_ENTRY, code.data(), code.size()));
    } else if (const auto* event = dynamic_cast<const cObjectEvent*>(&obj)) {
        msg.addTag(new VTagUInt32(TAG_EVT_SEQ, event->getNumber()));
    }
}

VMsg* toMessage(const cObjectList& list, uint8_t msgId, uint8_t seq) {
    VMsg* msg = new VMsg(msgId, seq);
    for (size_t i = 0; i < list.size(); ++i) {
        appendObject(*msg, *list.at(i));
    }
    return msg;
}

cObjectList* fromMessage(const VMsg& msg) {
    auto* list = new cObjectList(msg.mMsgID, msg.mMsgSeq);
    cObject* current = nullptr;
    for (size_t i = 0; i < msg.tagCount(); ++i) {
        const VTag* tag = msg.tagAt(i);
        if (tag->getTagID() == TAG_EVT_OBJTYPE) {
            if (tag->getTagType() != VTag::VT_UINT8) {
                continue;  // an object tag of another type is skipped like any other
            }
            current = newObject(static_cast<const VTagUInt8*>(tag)->getValue());
            list->add(current);
        } else if (current != nullptr) {
            applyField(current, tag);
        }
    }
    return list;
}

}  // namespace ulxobj
