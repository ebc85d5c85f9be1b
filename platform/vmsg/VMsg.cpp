#include "vmsg/VMsg.h"

#include <cstring>

VTag::~VTag() = default;

VTagString::VTagString(uint8_t id, const char* text)
    : VTag(id, VT_STRING), mValue(text != nullptr ? text : "") {}

VTagString::VTagString(uint8_t id, const char* data, size_t length)
    : VTag(id, VT_STRING), mValue(data, length) {}

void VTagString::getValue(char* buffer, unsigned short size) const {
    if (buffer == nullptr || size == 0) {
        return;
    }
    size_t n = mValue.size() < size ? mValue.size() : size - 1u;
    memcpy(buffer, mValue.data(), n);
    buffer[n] = '\0';
}

uint32_t VTagFloat::toBits(float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof(bits));
    return bits;
}

float VTagFloat::getFloat() const {
    uint32_t bits = getValue();
    float value;
    memcpy(&value, &bits, sizeof(value));
    return value;
}

VTagBytes::VTagBytes(uint8_t id, const uint8_t* data, size_t length)
    : VTag(id, VT_BYTES), mValue(data, data + length) {}

VMsg::VMsg(uint8_t msgID, uint8_t msgSeq) : mMsgID(msgID), mMsgSeq(msgSeq), mCursor(0) {}

VMsg::~VMsg() {
    for (VTag* tag : mTags) {
        delete tag;
    }
}

void VMsg::addTag(VTag* tag) {
    if (tag != nullptr) {
        mTags.push_back(tag);
    }
}

const VTag* VMsg::getTag() {
    if (mCursor >= mTags.size()) {
        return nullptr;
    }
    return mTags[mCursor++];
}
