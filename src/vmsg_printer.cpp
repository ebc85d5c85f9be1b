#include "src/vmsg_printer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vutil/VText.h"

namespace {

const char* const kMsgNames[] = {"SET:", "GET:", "ERR:", "EVT:", "DEL:"};

// Tag names for ids 0 to 59; 64 is TAG_VERSION; the rest are unknown.
const char* const kTagNames[60] = {"TAG_BUS_EVT",
                                   "TAG_ERR_MSGID",
                                   "TAG_ERR_TAGID",
                                   "TAG_ERR_UNKNOWN_TAGID",
                                   "TAG_ERR_UNKNOWN_MSGID",
                                   "TAG_DEV_CFG",
                                   "TAG_DEV_STATE",
                                   "TAG_DEV_STATUS",
                                   "TAG_DEV_ID",
                                   "TAG_DEV_LABEL",
                                   "TAG_DEV_TYPE",
                                   "TAG_DEV_NDISCINPUT",
                                   "TAG_DEV_NDISCOUTPUT",
                                   "TAG_DEV_NANALOGINPUT",
                                   "TAG_DEV_NANALOGOUTPUT",
                                   "TAG_IP_CFG",
                                   "TAG_OP_CFG",
                                   "TAG_IO_STATE",
                                   "TAG_IO_PNUM",
                                   "TAG_IO_TYPE",
                                   "TAG_IO_DEFAULT_STATE",
                                   "TAG_IO_LABEL",
                                   "TAG_IO_STATUS",
                                   "TAG_PORT_CFG",
                                   "TAG_PORT_TYPE",
                                   "TAG_PORT_PNUM",
                                   "TAG_PORT_LABEL",
                                   "TAG_PORT_STATE",
                                   "TAG_PORT_ALARM_STATUS",
                                   "TAG_SITE_CFG",
                                   "TAG_SITE_ID",
                                   "TAG_SITE_LABEL",
                                   "TAG_SITE_NMS_ADDRESS",
                                   "TAG_SITE_CURR_EVT_SEQ",
                                   "TAG_SITE_LAST_EVT_SEQ",
                                   "TAG_SITE_STATE",
                                   "TAG_EVT_LOG_ENTRY",
                                   "TAG_EVT_SEQ",
                                   "TAG_EVT_TYPE",
                                   "TAG_EVT_TIMESTAMP",
                                   "TAG_EVT_OBJTYPE",
                                   "TAG_EVT_ALARM_STATUS",
                                   "TAG_EVT_OP_STATE",
                                   "TAG_EVT_OPERATION_TYPE",
                                   "TAG_EVT_START_SEQ",
                                   "TAG_EVT_END_SEQ",
                                   "TAG_EVT_START_TIME",
                                   "TAG_EVT_END_TIME",
                                   "TAG_AI_CFG",
                                   "TAG_IO_SAMPLED_VALUE",
                                   "TAG_IO_OFFSET",
                                   "TAG_IO_GAIN",
                                   "TAG_AI_CALCULATED_VALUE",
                                   "TAG_AI_ALARM_LOW_WARN",
                                   "TAG_AI_ALARM_LOW_ERR",
                                   "TAG_AI_ALARM_HIGH_WARN",
                                   "TAG_AI_ALARM_HIGH_ERR",
                                   "TAG_AI_SAMPLE_RATE",
                                   "TAG_AI_REPORT_RATE",
                                   "TAG_AI_DISPLAY_UNIT"};

const char* tagName(uint8_t id) {
    if (id < 60) {
        return kTagNames[id];
    }
    return id == 64 ? "TAG_VERSION" : nullptr;
}

// The tag's 32 bits: its value for UINT32 and FLOAT tags (a VTagFloat is a
// VTagUInt32), the widened value for the narrower integers, 0 otherwise.
// Reading a tag of another class as a VTagUInt32 would read foreign memory.
uint32_t raw32(const VTag* tag) {
    if (const auto* u32 = dynamic_cast<const VTagUInt32*>(tag)) {
        return u32->getValue();
    }
    if (const auto* u16 = dynamic_cast<const VTagUInt16*>(tag)) {
        return u16->getValue();
    }
    if (const auto* u8 = dynamic_cast<const VTagUInt8*>(tag)) {
        return u8->getValue();
    }
    return 0;
}

}  // namespace

void showMessage(VMsg* msg) {
    if (msg == nullptr) {
        return;
    }
    if (msg->mMsgID > 4) {
        printf("ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=%d\n", msg->mMsgID);
        delete msg;
        return;
    }
    printf("%s\n", kMsgNames[msg->mMsgID]);
    msg->gotoFirst();
    for (const VTag* tag = msg->getTag(); tag != nullptr; tag = msg->getTag()) {
        showTag(tag);
    }
    printf("\n");
}

void showTag(const VTag* tag) {
    if (tag == nullptr) {
        return;
    }
    const char* name = tagName(tag->getTagID());
    if (name == nullptr) {
        printf("TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=%d ", tag->getTagID());
        return;
    }
    printf("%s", name);
    if (tag->getTagID() >= 49 && tag->getTagID() <= 56) {
        printFloatfromUint32(tag);
    } else {
        print_data(tag);
    }
}

void print_data(const VTag* tag) {
    switch (tag->getTagType()) {
        case VTag::VT_STRING: {
            char buffer[128];
            const VTagString* text = static_cast<const VTagString*>(tag);
            text->getValue(buffer, sizeof(buffer));
            // Every byte copied, also after a NUL inside (shown as \x00):
            // the value is never shown as a shorter text.
            size_t length = text->getString().size() < sizeof(buffer) ? text->getString().size()
                                                                      : sizeof(buffer) - 1;
            for (size_t i = 0; i < length; ++i) {
                if (buffer[i] == '\r' || buffer[i] == '\n' || buffer[i] == '\t') {
                    buffer[i] = ' ';
                } else if (buffer[i] == '"') {
                    buffer[i] = '\'';
                }
            }
            // Labels and codes come from the network: any other control
            // character is shown as \xHH so that it cannot drive a terminal.
            char escaped[sizeof(buffer) * 4];  // at most four bytes for each byte
            size_t used = 0;
            for (size_t i = 0; i < length;) {
                char one[vutil::kMaxEscapedChar];
                size_t n = 0;
                i += vutil::escapeNext(buffer + i, length - i, one, &n);
                memcpy(escaped + used, one, n);
                used += n;
            }
            escaped[used] = '\0';
            printf("=\"%s\" ", escaped);
            break;
        }
        case VTag::VT_UINT32:
            printf("=%08X ", static_cast<const VTagUInt32*>(tag)->getValue());
            break;
        case VTag::VT_UINT16:
            printf("=%04X ", static_cast<const VTagUInt16*>(tag)->getValue());
            break;
        case VTag::VT_UINT8:
            printf("=%02X ", static_cast<const VTagUInt8*>(tag)->getValue());
            break;
        default:
            printf(" ");
            break;
    }
    printf("\n");
}

void printFloatfromUint32(const VTag* tag) {
    uint32_t bits = raw32(tag);
    float value;
    memcpy(&value, &bits, sizeof(value));
    printf("=%f ", value);
}
