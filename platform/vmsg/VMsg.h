// VMsg and VTag: one protocol message of the site object service and its
// typed tags.
//
// A VMsg owns its tags and walks them with one cursor (gotoFirst, getTag).
// The class of a tag always matches its type: a VT_STRING tag is a
// VTagString, VT_UINT32 a VTagUInt32, and so on; a VT_FLOAT tag is a
// VTagFloat, which is a VTagUInt32 holding the float's 32 bits.
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
    VTagString(uint8_t id, const char* text);  // null is the empty text
    VTagString(uint8_t id, const char* data, size_t length);
    VTag* clone() const override { return new VTagString(*this); }

    // Copies the text into buffer (size bytes), cut to size - 1 bytes and
    // always NUL-terminated. A size of 0 writes nothing.
    void getValue(char* buffer, unsigned short size) const;
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
    static VTagFloat* fromBits(uint8_t id, uint32_t bits) { return new VTagFloat(id, bits); }
    VTag* clone() const override { return new VTagFloat(*this); }
    float getFloat() const;
    static uint32_t toBits(float value);

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
    VTagBytes(uint8_t id, const uint8_t* data, size_t length);
    VTag* clone() const override { return new VTagBytes(*this); }
    const std::vector<uint8_t>& getBytes() const { return mValue; }

private:
    std::vector<uint8_t> mValue;
};

class VMsg {
public:
    VMsg(uint8_t msgID = 0, uint8_t msgSeq = 0);
    ~VMsg();  // deletes the tags
    VMsg(const VMsg&) = delete;
    VMsg& operator=(const VMsg&) = delete;

    // Appends tag and takes ownership of it.
    void addTag(VTag* tag);

    // Puts the tag cursor on the first tag.
    void gotoFirst() { mCursor = 0; }
    // The tag under the cursor, moving the cursor on; null after the last.
    const VTag* getTag();

    size_t tagCount() const { return mTags.size(); }
    const VTag* tagAt(size_t index) const { return mTags[index]; }

    uint8_t mMsgID;
    uint8_t mMsgSeq;

private:
    std::vector<VTag*> mTags;
    size_t mCursor;
};

#endif
