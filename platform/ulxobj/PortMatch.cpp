#include "ulxobj/PortMatch.h"

#include "vutil/VText.h"

std::string ulxobj::portName(uint32_t serial, uint32_t id, const std::string& label) {
    return "serial " + std::to_string(serial) + " port " + std::to_string(id) + " (" +
           vutil::escape(label.data(), label.size()) + ")";
}

std::string ulxobj::describe(const cObject& got) {
    const cObjectPort* port = dynamic_cast<const cObjectPort*>(&got);
    if (port == nullptr) {
        return "an object of type " + std::to_string(static_cast<int>(got.getType()));
    }
    return portName(port->getDeviceSerial(), port->getPortId(), port->getPortLabelBytes()) +
           " of port type " + std::to_string(static_cast<int>(port->getPortType()));
}

bool ulxobj::isSameOutput(const cObjectDOutput& asked, const cObject& got) {
    const cObjectDOutput* out = dynamic_cast<const cObjectDOutput*>(&got);
    return out != nullptr && out->getDeviceSerial() == asked.getDeviceSerial() &&
           out->getPortId() == asked.getPortId() && out->getPortType() == asked.getPortType();
}
