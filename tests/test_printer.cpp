#include <gtest/gtest.h>

#include <string>

#include "src/vmsg_printer.h"
#include "tests/test_util.h"
#include "vmsg/VWire.h"

using testutil::StdoutCapture;

namespace {

std::string show(VMsg* msg) {
    StdoutCapture out;
    showMessage(msg);
    return out.text();
}

std::string tagText(const VTag& tag) {
    StdoutCapture out;
    showTag(&tag);
    return out.text();
}

TEST(Printer, NullAndEmptyMessages) {
    EXPECT_EQ("", show(nullptr));
    VMsg get(vmsg::MSG_GET, 0);
    EXPECT_EQ("GET:\n\n", show(&get));
    const char* headers[] = {"SET:\n\n", "GET:\n\n", "ERR:\n\n", "EVT:\n\n", "DEL:\n\n"};
    for (uint8_t id = 0; id <= 4; ++id) {
        VMsg msg(id, 0);
        EXPECT_EQ(headers[id], show(&msg));
    }
}

TEST(Printer, StringsAreCleanedAndCut) {
    VMsg set(vmsg::MSG_SET, 0);
    set.addTag(new VTagString(21, "a\tb\"c\rd\ne"));
    set.addTag(new VTagString(26, std::string(300, 'x').c_str()));
    EXPECT_EQ(
        "SET:\nTAG_IO_LABEL=\"a b'c d e\" \nTAG_PORT_LABEL=\"" + std::string(127, 'x') + "\" \n\n",
        show(&set));
}

// Text from the daemon cannot send escape sequences to a terminal: control
// characters other than the three turned into spaces show as \xHH, even when
// every byte of a full buffer needs it; printable text and UTF-8 stay.
TEST(Printer, ControlCharactersAreEscaped) {
    VMsg evt(vmsg::MSG_EVT, 0);
    evt.addTag(new VTagString(9, "\x1b]0;x\x07ok\x7f \xc3\xa9\\"));
    evt.addTag(new VTagString(31, std::string(200, '\x01').c_str()));
    evt.addTag(new VTagString(36, "04\0A1", 5));  // shown whole, never as "04"
    std::string ones;
    for (int i = 0; i < 127; ++i) {
        ones += "\\x01";
    }
    EXPECT_EQ("EVT:\nTAG_DEV_LABEL=\"\\x1b]0;x\\x07ok\\x7f \xc3\xa9\\\" \nTAG_SITE_LABEL=\"" +
                  ones + "\" \nTAG_EVT_LOG_ENTRY=\"04\\x00A1\" \n\n",
              show(&evt));
}

TEST(Printer, ValuesByType) {
    EXPECT_EQ("TAG_IO_PNUM=000A \n", tagText(VTagUInt16(18, 10)));
    EXPECT_EQ("TAG_DEV_ID=0000000C \n", tagText(VTagUInt32(8, 12)));
    EXPECT_EQ("TAG_EVT_OBJTYPE=0A \n", tagText(VTagUInt8(40, 10)));
    const uint8_t bytes[] = {1, 2};
    EXPECT_EQ("TAG_DEV_CFG \n", tagText(VTagBytes(5, bytes, 2)));
    EXPECT_EQ("TAG_BUS_EVT \n", tagText(VTagNull(0)));
    EXPECT_EQ("TAG_VERSION \n", tagText(VTagFloat(64, 2.0f)));
    EXPECT_EQ("TAG_SITE_ID=DEADBEEF \n", tagText(VTagUInt32(30, 0xDEADBEEF)));
}

TEST(Printer, FloatsAndUnknownTagsKeepTheLineOpen) {
    VMsg msg(vmsg::MSG_EVT, 0);
    msg.addTag(VTagFloat::fromBits(49, 0x3F800000));
    msg.addTag(new VTagUInt8(60, 1));
    msg.addTag(new VTagUInt32(56, 0xC0200000));      // -2.5 sent as a UINT32
    msg.addTag(new VTagString(50, "not a number"));  // a string read as a float: 0
    msg.addTag(new VTagUInt8(255, 1));
    msg.addTag(new VTagUInt8(17, 2));
    EXPECT_EQ(
        "EVT:\nTAG_IO_SAMPLED_VALUE=1.000000 TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=60 "
        "TAG_AI_ALARM_HIGH_ERR=-2.500000 TAG_IO_OFFSET=0.000000 "
        "TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=255 TAG_IO_STATE=02 \n\n",
        show(&msg));
}

TEST(Printer, UnknownMessageIdIsReportedAndDestroyed) {
    VMsg* msg = new VMsg(9, 0);
    msg->addTag(new VTagUInt8(8, 1));
    EXPECT_EQ("ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=9\n", show(msg));
    VMsg* last = new VMsg(255, 0);
    EXPECT_EQ("ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=255\n", show(last));
    // Both were deleted by the printer; the sanitizer builds catch a leak.
}

// Names run to the end of the table (59); past it only TAG_VERSION (64) has
// one. The float tags are 49 to 56, not their neighbours.
TEST(Printer, TagNamesAtTheEdgesOfTheTable) {
    struct Name {
        uint8_t id;
        const char* name;
    } names[] = {{0, "TAG_BUS_EVT"},
                 {48, "TAG_AI_CFG"},
                 {57, "TAG_AI_SAMPLE_RATE"},
                 {59, "TAG_AI_DISPLAY_UNIT"},
                 {64, "TAG_VERSION"}};
    for (const Name& n : names) {
        EXPECT_EQ(std::string(n.name) + "=01 \n", tagText(VTagUInt8(n.id, 1))) << int(n.id);
    }
    for (uint8_t id : {60, 63, 65, 128}) {
        EXPECT_EQ("TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=" + std::to_string(id) + " ",
                  tagText(VTagUInt8(id, 1)));
    }
}

TEST(Printer, PrintDataAndFloatDirectly) {
    StdoutCapture out;
    VTagUInt16 u16(1, 0xFFFF);
    print_data(&u16);
    VTagFloat f(1, 0.5f);
    printFloatfromUint32(&f);
    EXPECT_EQ("=FFFF \n=0.500000 ", out.text());
}

}  // namespace
