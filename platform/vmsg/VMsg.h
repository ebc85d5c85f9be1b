// VMsg and VTag: one protocol message of the site object service and its
// typed tags.
//
// A VMsg owns its tags and walks them with one cursor (gotoFirst, getTag).
// The class of a tag always matches its type: a VT_STRING tag is a
// VTagString, VT_UINT32 a VTagUInt32, and so on; a VT_FLOAT tag is a
// VTagFloat, which is a VTagUInt32 holding the float's 32 bits. So a caller
// may static_cast a tag by its getTagType().
//
// Tags are immutable values. A message is not thread-safe: one thread at a
// time uses it, even for reading, since getTag moves the shared cursor.
// Nothing here fails except by std::bad_alloc.
#ifndef DORVANE_PLATFORM_VMSG_VMSG_H
#define DORVANE_PLATFORM_VMSG_VMSG_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class VTag {
public:
    enum VTagType {
        VT_NULL = 0,
        VT_STRING = 1,
        VT_UINT32 = 2,
        VT_UINT16 = 3,
        VT_UINT8 = 4,
        VT_BYTES = 5,
        VT_FLOAT = 6
    };

    virtual ~VTag();
    uint8_t getTagID() const { return mTagID; }
    VTagType getTagType() const { return mTagType; }
    // A new copy of the same class, owned by the caller.
    virtual VTag* clone() const = 0;

protected:
    VTag(uint8_t id, VTagType type) : mTagID(id), mTagType(type) {}

private:
    uint8_t mTagID;
    VTagType mTagType;
};

class VTagNull : public VTag {
public:
    explicit VTagNull(uint8_t id) : VTag(id, VT_NULL) {}
    VTag* clone() const override { return new VTagNull(*this); }
};

class VTagString : public VTag {
public:
    VTagString(uint8_t id, const char* text);  // a copy; null is the empty text
    // A copy of length bytes at data, NULs included. REQUIRES: data points at
    // length readable bytes.
    VTagString(uint8_t id, const char* data, size_t length);
    VTag* clone() const override { return new VTagString(*this); }

    // Copies the text into buffer (size bytes), cut to size - 1 bytes and
    // always NUL-terminated. A null buffer or a size of 0 writes nothing. A
    // NUL inside the text is copied too, so the C text ends there.
    void getValue(char* buffer, unsigned short size) const;
    // The whole text, NULs included; valid while the tag lives.
    const std::string& getString() const { return mValue; }

private:
    std::string mValue;
};

class VTagUInt32 : public VTag {
public:
    VTagUInt32(uint8_t id, uint32_t value) : VTag(id, VT_UINT32), mValue(value) {}
    VTag* clone() const override { return new VTagUInt32(*this); }
    uint32_t getValue() const { return mValue; }

protected:
    VTagUInt32(uint8_t id, VTagType type, uint32_t bits) : VTag(id, type), mValue(bits) {}

private:
    uint32_t mValue;
};

// A float sent as its 32 bits; getValue() gives those bits.
class VTagFloat : public VTagUInt32 {
public:
    VTagFloat(uint8_t id, float value) : VTagUInt32(id, VT_FLOAT, toBits(value)) {}
    // A new tag holding these bits as they are, owned by the caller.
    static VTagFloat* fromBits(uint8_t id, uint32_t bits) { return new VTagFloat(id, bits); }
    VTag* clone() const override { return new VTagFloat(*this); }
    float getFloat() const;               // the bits read as a float
    static uint32_t toBits(float value);  // the float's bits, unchanged

private:
    VTagFloat(uint8_t id, uint32_t bits) : VTagUInt32(id, VT_FLOAT, bits) {}
};

class VTagUInt16 : public VTag {
public:
    VTagUInt16(uint8_t id, uint16_t value) : VTag(id, VT_UINT16), mValue(value) {}
    VTag* clone() const override { return new VTagUInt16(*this); }
    uint16_t getValue() const { return mValue; }

private:
    uint16_t mValue;
};

class VTagUInt8 : public VTag {
public:
    VTagUInt8(uint8_t id, uint8_t value) : VTag(id, VT_UINT8), mValue(value) {}
    VTag* clone() const override { return new VTagUInt8(*this); }
    uint8_t getValue() const { return mValue; }

private:
    uint8_t mValue;
};

class VTagBytes : public VTag {
public:
    // A copy of length bytes at data. REQUIRES: data points at length
    // readable bytes (it may be null only when length is 0).
    VTagBytes(uint8_t id, const uint8_t* data, size_t length);
    VTag* clone() const override { return new VTagBytes(*this); }
    const std::vector<uint8_t>& getBytes() const { return mValue; }  // valid while the tag lives

private:
    std::vector<uint8_t> mValue;
};

class VMsg {
public:
    VMsg(uint8_t msgID = 0, uint8_t msgSeq = 0);  // no tags, cursor on the first
    ~VMsg();                                      // deletes the tags
    VMsg(const VMsg&) = delete;
    VMsg& operator=(const VMsg&) = delete;

    // Appends tag and takes ownership of it: tag must have been created with
    // new and must not be deleted or added elsewhere. Null is ignored.
    void addTag(VTag* tag);

    // Puts the tag cursor on the first tag.
    void gotoFirst() { mCursor = 0; }
    // The tag under the cursor, moving the cursor on; null after the last.
    // The tag stays the message's and lives as long as the message.
    const VTag* getTag();

    // Random access without the cursor, for readers of a const message.
    // tagAt REQUIRES: index < tagCount(); the tag stays the message's.
    size_t tagCount() const { return mTags.size(); }
    const VTag* tagAt(size_t index) const { return mTags[index]; }

    // The message id (vmsg::MsgId on the wire) and sequence number.
    uint8_t mMsgID;
    uint8_t mMsgSeq;

private:
    std::vector<VTag*> mTags;
    size_t mCursor;
};

#endif
