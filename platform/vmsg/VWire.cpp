#include "vmsg/VWire.h"

namespace vmsg {

namespace {

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t get32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

DecodeResult malformed(const char* why) {
    return DecodeResult{DecodeStatus::kMalformed, 0, nullptr, why};
}

// The fixed value length of a type, or -1 for the variable ones.
int fixedLength(uint8_t type) {
    switch (type) {
        case VTag::VT_NULL:
            return 0;
        case VTag::VT_UINT32:
        case VTag::VT_FLOAT:
            return 4;
        case VTag::VT_UINT16:
            return 2;
        case VTag::VT_UINT8:
            return 1;
        default:
            return -1;
    }
}

VTag* makeTag(uint8_t id, uint8_t type, const uint8_t* value, uint16_t length) {
    switch (type) {
        case VTag::VT_NULL:
            return new VTagNull(id);
        case VTag::VT_STRING:
            return new VTagString(id, reinterpret_cast<const char*>(value), length);
        case VTag::VT_UINT32:
            return new VTagUInt32(id, get32(value));
        case VTag::VT_UINT16:
            return new VTagUInt16(id, get16(value));
        case VTag::VT_UINT8:
            return new VTagUInt8(id, value[0]);
        case VTag::VT_BYTES:
            return new VTagBytes(id, value, length);
        case VTag::VT_FLOAT:
            return VTagFloat::fromBits(id, get32(value));
        default:
            return nullptr;
    }
}

// Appends a variable-length value (length, then the bytes); false when it
// is longer than a tag can say.
template <typename Bytes>
bool appendVariable(const Bytes& value, std::vector<uint8_t>& out) {
    if (value.size() > 0xFFFF) {
        return false;
    }
    put16(out, static_cast<uint16_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    return true;
}

// Appends the wire form of tag; false when its value does not fit the
// format (the caller drops what was appended).
bool appendTag(const VTag& tag, std::vector<uint8_t>& out) {
    out.push_back(tag.getTagID());
    out.push_back(static_cast<uint8_t>(tag.getTagType()));
    switch (tag.getTagType()) {
        case VTag::VT_NULL:
            put16(out, 0);
            return true;
        case VTag::VT_STRING: {
            // Written byte for byte: a NUL inside breaks no framing (the
            // receiver refuses the value, not the message).
            return appendVariable(static_cast<const VTagString&>(tag).getString(), out);
        }
        case VTag::VT_UINT32:
        case VTag::VT_FLOAT:
            put16(out, 4);
            put32(out, static_cast<const VTagUInt32&>(tag).getValue());
            return true;
        case VTag::VT_UINT16:
            put16(out, 2);
            put16(out, static_cast<const VTagUInt16&>(tag).getValue());
            return true;
        case VTag::VT_UINT8:
            put16(out, 1);
            out.push_back(static_cast<const VTagUInt8&>(tag).getValue());
            return true;
        case VTag::VT_BYTES:
            return appendVariable(static_cast<const VTagBytes&>(tag).getBytes(), out);
    }
    return true;
}

}  // namespace

DecodeResult decode(const uint8_t* data, size_t size) {
    if (size >= 1 && data[0] != kVersion) {
        return malformed("unsupported protocol version");
    }
    if (size < kHeaderSize) {
        return DecodeResult{DecodeStatus::kNeedMore, 0, nullptr, nullptr};
    }
    uint32_t bodyLength = get32(data + 4);
    if (bodyLength > kMaxBody) {
        return malformed("body length over the limit");
    }
    if (size - kHeaderSize < bodyLength) {
        return DecodeResult{DecodeStatus::kNeedMore, 0, nullptr, nullptr};
    }
    const uint8_t* body = data + kHeaderSize;
    // Validate the whole body before building anything.
    size_t pos = 0;
    while (pos < bodyLength) {
        if (bodyLength - pos < kTagHeaderSize) {
            return malformed("tag header runs past the body");
        }
        uint8_t type = body[pos + 1];
        uint16_t length = get16(body + pos + 2);
        if (type > VTag::VT_FLOAT) {
            return malformed("unknown value type");
        }
        int fixed = fixedLength(type);
        if (fixed >= 0 && length != fixed) {
            return malformed("fixed-size value with another length");
        }
        if (bodyLength - pos - kTagHeaderSize < length) {
            return malformed("tag value runs past the body");
        }
        pos += kTagHeaderSize + length;
    }
    VMsg* msg = new VMsg(data[1], data[2]);
    for (pos = 0; pos < bodyLength;) {
        uint16_t length = get16(body + pos + 2);
        msg->addTag(makeTag(body[pos], body[pos + 1], body + pos + kTagHeaderSize, length));
        pos += kTagHeaderSize + length;
    }
    return DecodeResult{DecodeStatus::kOk, kHeaderSize + bodyLength, msg, nullptr};
}

bool encode(const VMsg& msg, std::vector<uint8_t>& out) {
    size_t start = out.size();
    out.push_back(kVersion);
    out.push_back(msg.mMsgID);
    out.push_back(msg.mMsgSeq);
    out.push_back(0);
    put32(out, 0);  // body length, filled in below
    bool fits = true;
    for (size_t i = 0; i < msg.tagCount() && fits; ++i) {
        fits = appendTag(*msg.tagAt(i), out);
    }
    size_t bodyLength = out.size() - start - kHeaderSize;
    if (!fits || bodyLength > kMaxBody) {
        out.resize(start);
        return false;
    }
    out[start + 4] = static_cast<uint8_t>(bodyLength >> 24);
    out[start + 5] = static_cast<uint8_t>(bodyLength >> 16);
    out[start + 6] = static_cast<uint8_t>(bodyLength >> 8);
    out[start + 7] = static_cast<uint8_t>(bodyLength);
    return true;
}

bool drainFrames(std::vector<uint8_t>& buffer,
                 const std::function<bool(std::unique_ptr<VMsg> msg, const uint8_t* bytes,
                                          size_t size)>& onMessage,
                 const char** error) {
    size_t offset = 0;
    bool sound = true;
    while (offset < buffer.size()) {
        DecodeResult r = decode(buffer.data() + offset, buffer.size() - offset);
        if (r.status == DecodeStatus::kNeedMore) {
            break;
        }
        if (r.status == DecodeStatus::kMalformed) {
            if (error != nullptr) {
                *error = r.error;
            }
            sound = false;
            break;
        }
        const uint8_t* bytes = buffer.data() + offset;
        offset += r.consumed;
        if (!onMessage(std::unique_ptr<VMsg>(r.msg), bytes, r.consumed)) {
            break;
        }
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    return sound;
}

}  // namespace vmsg
