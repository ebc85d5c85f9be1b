#include <gtest/gtest.h>

#include <memory>

#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

using namespace ulxobj;

namespace {

// Encodes list, decodes it again through the wire form.
std::unique_ptr<cObjectList> roundTrip(cObjectList& list, uint8_t id = vmsg::MSG_GET,
                                       uint8_t seq = 5) {
    std::unique_ptr<VMsg> msg(toMessage(list, id, seq));
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(vmsg::encode(*msg, bytes));
    auto r = vmsg::decode(bytes.data(), bytes.size());
    EXPECT_EQ(vmsg::DecodeStatus::kOk, r.status);
    std::unique_ptr<VMsg> back(r.msg);
    return std::unique_ptr<cObjectList>(fromMessage(*back));
}

TEST(Objects, EveryObjectTypeRoundTrips) {
    cObjectList list;
    cObjectDOutput dout;
    dout.setDeviceSerial(12);
    dout.setPortId(3);
    dout.setPortLabel("RELAY 1");
    dout.setOutputState(cObject::OBJ_IO_STATE_CLEAR);
    cObjectPort ain(cObject::OBJ_PORT_AIN);
    ain.setDeviceSerial(0xFFFFFFFF);
    ain.setPortId(7);
    ain.setPortType(cObjectPort::PORT_TYPE_ANALOG_IN);
    ain.setPortLabel("TEMP");
    cObjectPort generic;  // OBJ_PORT
    generic.setPortType(cObjectPort::PORT_TYPE_DISCRETE_OUT);
    cObjectPort din(cObject::OBJ_PORT_DIN), aout(cObject::OBJ_PORT_AOUT);
    cObjectAccess access;
    access.setDeviceSerial(12);
    access.setScanCode(std::string(300, 'C').c_str());  // texts arrive whole
    cObjectEvent event(77);
    cObject device(cObject::OBJ_DEVICE), capability(cObject::OBJ_CAPABILITY);
    for (cObject* o : std::initializer_list<cObject*>{&dout, &ain, &generic, &din, &aout, &access,
                                                      &event, &device, &capability}) {
        list.add(o);
    }
    auto back = roundTrip(list, vmsg::MSG_EVT, 9);
    EXPECT_EQ(vmsg::MSG_EVT, back->getMsgType());
    EXPECT_EQ(9, back->getMsgSeq());
    ASSERT_EQ(9u, back->size());

    auto* d = dynamic_cast<cObjectDOutput*>(back->at(0));
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(12u, d->getDeviceSerial());
    EXPECT_EQ(3u, d->getPortId());
    EXPECT_STREQ("RELAY 1", d->getPortLabel());
    EXPECT_EQ(cObjectPort::PORT_TYPE_DISCRETE_OUT, d->getPortType());
    EXPECT_EQ(cObject::OBJ_IO_STATE_CLEAR, d->getOutputState());

    auto* a = dynamic_cast<cObjectPort*>(back->at(1));
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(nullptr, dynamic_cast<cObjectDOutput*>(back->at(1)));
    EXPECT_EQ(cObject::OBJ_PORT_AIN, a->getType());
    EXPECT_EQ(0xFFFFFFFFu, a->getDeviceSerial());
    EXPECT_EQ(cObjectPort::PORT_TYPE_ANALOG_IN, a->getPortType());
    EXPECT_STREQ("TEMP", a->getPortLabel());

    EXPECT_EQ(cObject::OBJ_PORT, back->at(2)->getType());
    EXPECT_EQ(cObjectPort::PORT_TYPE_DISCRETE_OUT,
              dynamic_cast<cObjectPort*>(back->at(2))->getPortType());
    EXPECT_EQ(cObject::OBJ_PORT_DIN, back->at(3)->getType());
    EXPECT_EQ(cObject::OBJ_PORT_AOUT, back->at(4)->getType());
    EXPECT_NE(nullptr, dynamic_cast<cObjectPort*>(back->at(4)));

    auto* acc = dynamic_cast<cObjectAccess*>(back->at(5));
    ASSERT_NE(nullptr, acc);
    EXPECT_EQ(12u, acc->getDeviceSerial());
    EXPECT_EQ(std::string(300, 'C'), acc->getScanCode());

    EXPECT_EQ(cObject::OBJ_EVENT, back->at(6)->getType());
    EXPECT_EQ(cObject::OBJ_DEVICE, back->at(7)->getType());
    EXPECT_EQ(cObject::OBJ_CAPABILITY, back->at(8)->getType());
    back->deleteObjects();
}

TEST(Objects, ReceiverTakesFieldsInAnyOrderLastOneCounts) {
    VMsg msg(vmsg::MSG_GET, 1);
    msg.addTag(new VTagUInt8(TAG_ERR_MSGID, 1));  // before the first object: the message's own
    msg.addTag(new VTagUInt8(TAG_EVT_OBJTYPE, cObject::OBJ_PORT_DOUT));
    msg.addTag(new VTagString(TAG_PORT_LABEL, "first"));
    msg.addTag(new VTagUInt8(TAG_IO_STATE, cObject::OBJ_IO_STATE_SET));
    msg.addTag(new VTagUInt32(TAG_PORT_PNUM, 4));
    msg.addTag(new VTagString(TAG_PORT_LABEL, "second"));
    msg.addTag(new VTagUInt16(TAG_DEV_ID, 99));          // listed tag, other type: skipped
    msg.addTag(new VTagString(TAG_EVT_LOG_ENTRY, "x"));  // not a port field: skipped
    msg.addTag(new VTagUInt8(TAG_EVT_OBJTYPE, cObject::OBJ_PORT_DOUT));  // missing fields
    msg.addTag(new VTagUInt8(TAG_EVT_OBJTYPE, cObject::OBJ_ACCESS));
    msg.addTag(new VTagUInt8(TAG_EVT_OBJTYPE, 200));  // a type with no name
    msg.addTag(new VTagUInt32(TAG_DEV_ID, 5));
    std::unique_ptr<cObjectList> list(fromMessage(msg));
    ASSERT_EQ(4u, list->size());
    auto* d = dynamic_cast<cObjectDOutput*>(list->at(0));
    ASSERT_NE(nullptr, d);
    EXPECT_STREQ("second", d->getPortLabel());
    EXPECT_EQ(4u, d->getPortId());
    EXPECT_EQ(0u, d->getDeviceSerial());
    EXPECT_EQ(cObject::OBJ_IO_STATE_SET, d->getOutputState());
    auto* empty = dynamic_cast<cObjectDOutput*>(list->at(1));
    ASSERT_NE(nullptr, empty);
    EXPECT_STREQ("", empty->getPortLabel());
    EXPECT_EQ(cObjectPort::PORT_TYPE_NONE, empty->getPortType());
    EXPECT_EQ(cObject::OBJ_IO_STATE_UNKNOWN, empty->getOutputState());
    auto* acc = dynamic_cast<cObjectAccess*>(list->at(2));
    ASSERT_NE(nullptr, acc);
    EXPECT_STREQ("", acc->getScanCode());
    EXPECT_EQ(200, static_cast<int>(list->at(3)->getType()));
    list->deleteObjects();
}

TEST(Objects, ListDoesNotOwnItsObjects) {
    cObjectDOutput onStack;
    {
        cObjectList list;
        list.add(&onStack);
        EXPECT_EQ(&onStack, list.first());
        EXPECT_EQ(nullptr, list.next());
        EXPECT_EQ(&onStack, list.first());
    }
    onStack.setPortLabel("still alive");
    EXPECT_STREQ("still alive", onStack.getPortLabel());

    auto* list = new cObjectList(3, 7);
    list->add(new cObjectAccess());
    list->add(new cObjectDOutput());
    list->deleteObjects();  // frees the objects once; the sanitizer builds check
    EXPECT_EQ(nullptr, list->first());
    delete list;
}

}  // namespace
