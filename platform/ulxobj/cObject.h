// The site object model exchanged with the site daemon: cObject and the
// port, discrete output and access classes. Objects are polymorphic; callers
// tell them apart with dynamic_cast (the type number alone does not say the
// class: a decoded OBJ_EVENT object is a plain cObject).
//
// Plain values: every text is the object's own copy, a getter's pointer is
// valid until that field is set again or the object is destroyed, and a
// setter given null stores "". A text read off the wire may hold a NUL byte
// (the protocol's STRING allows it in its framing, not as a value): such a
// text is invalid, never a shorter one, so a reader asks ...HoldsNul()
// before it uses the C text (which ends at the NUL), and the ...Bytes()
// getter gives every byte (for an escaped line). Not thread-safe: one thread at a time uses an
// object. Nothing here fails except by std::bad_alloc. Copying is protected:
// a copy through a base class would slice.
#ifndef DORVANE_PLATFORM_ULXOBJ_COBJECT_H
#define DORVANE_PLATFORM_ULXOBJ_COBJECT_H

#include <cstdint>
#include <string>

class cObject {
public:
    // Fixed underlying type: a type number read from the wire that has no
    // name here is still a valid value.
    enum eObjectTypes : int {
        OBJ_DEVICE = 0,
        OBJ_PORT = 1,
        OBJ_PORT_DIN = 2,
        OBJ_PORT_DOUT = 3,
        OBJ_PORT_AIN = 4,
        OBJ_EVENT = 5,
        OBJ_MSG_INFO = 6,
        OBJ_SITE_CFG = 7,
        OBJ_TREND_EVENT = 8,
        OBJ_ANALOG_SAMPLE = 9,
        OBJ_ACCESS = 10,
        OBJ_PORT_AOUT = 11,
        OBJ_CAPABILITY = 12,
        OBJ_ADHOC_EVENT = 13,
        OBJ_NUM_OBJECT_TYPES = 14
    };

    enum eObjectIOState : int {
        OBJ_IO_STATE_UNKNOWN = 0,
        OBJ_IO_STATE_SET = 1,
        OBJ_IO_STATE_CLEAR = 2
    };

    // Any value of type is kept, also one without a name above.
    // The word for an output state as people read it: "set", "clear", or
    // "unknown" for every other value. A static text; thread-safe.
    static const char* stateName(int state);

    explicit cObject(eObjectTypes type) : mType(type) {}
    virtual ~cObject();

    eObjectTypes getType() const { return mType; }

protected:
    cObject(const cObject&) = default;

private:
    eObjectTypes mType;
};

class cObjectPort : public cObject {
public:
    enum ePortType : int {
        PORT_TYPE_NONE = 0,
        PORT_TYPE_DISCRETE_IN = 1,
        PORT_TYPE_DISCRETE_OUT = 2,
        PORT_TYPE_ANALOG_IN = 3,
        PORT_TYPE_ANALOG_OUT = 4
    };

    // A port of object type OBJ_PORT (the generic port) unless given another;
    // port type PORT_TYPE_NONE, empty label, serial and port id 0.
    explicit cObjectPort(eObjectTypes type = OBJ_PORT);

    ePortType getPortType() const { return mPortType; }
    void setPortType(ePortType type) { mPortType = type; }
    const char* getPortLabel() const { return mPortLabel.c_str(); }
    void setPortLabel(const char* label) { mPortLabel = label != nullptr ? label : ""; }
    // The label as read off the wire, NUL bytes included.
    void setPortLabel(const std::string& label) { mPortLabel = label; }
    const std::string& getPortLabelBytes() const { return mPortLabel; }
    bool portLabelHoldsNul() const { return mPortLabel.find('\0') != std::string::npos; }
    uint32_t getDeviceSerial() const { return mDeviceSerial; }
    void setDeviceSerial(uint32_t serial) { mDeviceSerial = serial; }
    uint32_t getPortId() const { return mPortId; }
    void setPortId(uint32_t id) { mPortId = id; }

protected:
    cObjectPort(const cObjectPort&) = default;

private:
    ePortType mPortType;
    std::string mPortLabel;
    uint32_t mDeviceSerial;
    uint32_t mPortId;
};

// A discrete output: object type OBJ_PORT_DOUT, port type
// PORT_TYPE_DISCRETE_OUT unless set otherwise (a decoded output keeps the
// port type its message gave, PORT_TYPE_NONE when none).
class cObjectDOutput : public cObjectPort {
public:
    cObjectDOutput();  // output state OBJ_IO_STATE_UNKNOWN

    eObjectIOState getOutputState() const { return mOutputState; }
    // Changes the local object only; cObjectClient::set sends it.
    void setOutputState(eObjectIOState state) { mOutputState = state; }

protected:
    cObjectDOutput(const cObjectDOutput&) = default;

private:
    eObjectIOState mOutputState;
};

// A scan at a reader: the reporting device's serial and the scan code.
class cObjectAccess : public cObject {
public:
    cObjectAccess() : cObject(OBJ_ACCESS), mDeviceSerial(0) {}

    uint32_t getDeviceSerial() const { return mDeviceSerial; }
    void setDeviceSerial(uint32_t serial) { mDeviceSerial = serial; }
    const char* getScanCode() const { return mScanCode.c_str(); }
    void setScanCode(const char* code) { mScanCode = code != nullptr ? code : ""; }
    // The code as read off the wire, NUL bytes included.
    void setScanCode(const std::string& code) { mScanCode = code; }
    const std::string& getScanCodeBytes() const { return mScanCode; }
    bool scanCodeHoldsNul() const { return mScanCode.find('\0') != std::string::npos; }

protected:
    cObjectAccess(const cObjectAccess&) = default;

private:
    uint32_t mDeviceSerial;
    std::string mScanCode;
};

// An event object (OBJ_EVENT) as a sender builds it, with its event number.
// Received event objects are plain cObject of type OBJ_EVENT.
class cObjectEvent : public cObject {
public:
    explicit cObjectEvent(uint32_t number) : cObject(OBJ_EVENT), mNumber(number) {}
    uint32_t getNumber() const { return mNumber; }

protected:
    cObjectEvent(const cObjectEvent&) = default;

private:
    uint32_t mNumber;
};

#endif
