#include "ulxobj/cObject.h"

cObject::~cObject() = default;

const char* cObject::stateName(int state) {
    return state == OBJ_IO_STATE_SET ? "set" : state == OBJ_IO_STATE_CLEAR ? "clear" : "unknown";
}

cObjectPort::cObjectPort(eObjectTypes type)
    : cObject(type), mPortType(PORT_TYPE_NONE), mDeviceSerial(0), mPortId(0) {}

cObjectDOutput::cObjectDOutput() : cObjectPort(OBJ_PORT_DOUT), mOutputState(OBJ_IO_STATE_UNKNOWN) {
    setPortType(PORT_TYPE_DISCRETE_OUT);
}
