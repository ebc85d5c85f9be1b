#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "vmsg/VFrameReader.h"
#include "vmsg/VWire.h"

using vmsg::DecodeStatus;

namespace {

std::vector<uint8_t> encodeMsg(const VMsg& msg) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(vmsg::encode(msg, out));
    return out;
}

// Decodes exactly the given bytes (copied into a buffer of their own size,
// so a read past the end is caught by the sanitizer builds).
vmsg::DecodeResult decodeExact(const std::vector<uint8_t>& bytes) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + 1]);
    if (!bytes.empty()) {
        memcpy(copy.get(), bytes.data(), bytes.size());
    }
    return vmsg::decode(copy.get(), bytes.size());
}

std::vector<uint8_t> frame(uint8_t id, uint8_t seq, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out = {1, id, seq, 0};
    uint32_t n = static_cast<uint32_t>(body.size());
    out.push_back(static_cast<uint8_t>(n >> 24));
    out.push_back(static_cast<uint8_t>(n >> 16));
    out.push_back(static_cast<uint8_t>(n >> 8));
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

TEST(Wire, RoundTripOfEveryTagType) {
    VMsg msg(vmsg::MSG_SET, 200);
    const uint8_t bytes[] = {0, 1, 0xFF};
    msg.addTag(new VTagNull(0));
    msg.addTag(new VTagString(21, "label with \"quotes\""));
    msg.addTag(new VTagString(22, ""));
    msg.addTag(new VTagUInt32(8, 0xDEADBEEF));
    msg.addTag(new VTagUInt16(18, 0xBEEF));
    msg.addTag(new VTagUInt8(40, 0xAB));
    msg.addTag(new VTagBytes(5, bytes, sizeof(bytes)));
    msg.addTag(new VTagFloat(49, 1.5f));
    auto r = decodeExact(encodeMsg(msg));
    ASSERT_EQ(DecodeStatus::kOk, r.status);
    std::unique_ptr<VMsg> back(r.msg);
    EXPECT_EQ(vmsg::MSG_SET, back->mMsgID);
    EXPECT_EQ(200, back->mMsgSeq);
    ASSERT_EQ(8u, back->tagCount());
    EXPECT_EQ(VTag::VT_NULL, back->tagAt(0)->getTagType());
    EXPECT_EQ("label with \"quotes\"", static_cast<const VTagString*>(back->tagAt(1))->getString());
    EXPECT_EQ("", static_cast<const VTagString*>(back->tagAt(2))->getString());
    EXPECT_EQ(0xDEADBEEFu, static_cast<const VTagUInt32*>(back->tagAt(3))->getValue());
    EXPECT_EQ(0xBEEF, static_cast<const VTagUInt16*>(back->tagAt(4))->getValue());
    EXPECT_EQ(0xAB, static_cast<const VTagUInt8*>(back->tagAt(5))->getValue());
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 3),
              static_cast<const VTagBytes*>(back->tagAt(6))->getBytes());
    ASSERT_EQ(VTag::VT_FLOAT, back->tagAt(7)->getTagType());
    EXPECT_EQ(1.5f, static_cast<const VTagFloat*>(back->tagAt(7))->getFloat());
    EXPECT_EQ(0x3FC00000u, static_cast<const VTagUInt32*>(back->tagAt(7))->getValue());
    // The tag cursor visits each tag once, in order.
    back->gotoFirst();
    int n = 0;
    while (back->getTag() != nullptr) {
        ++n;
    }
    EXPECT_EQ(8, n);
}

TEST(Wire, ExampleScanByteForByte) {
    VMsg msg(vmsg::MSG_EVT, 7);
    msg.addTag(new VTagUInt8(40, 10));
    msg.addTag(new VTagUInt32(8, 12));
    msg.addTag(new VTagString(36, "04A1"));
    std::vector<uint8_t> expected = {0x01, 0x03, 0x07, 0x00, 0x00, 0x00, 0x00, 0x15, 0x28, 0x04,
                                     0x00, 0x01, 0x0A, 0x08, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00,
                                     0x0C, 0x24, 0x01, 0x00, 0x04, 0x30, 0x34, 0x41, 0x31};
    EXPECT_EQ(expected, encodeMsg(msg));
}

TEST(Wire, EveryPrefixNeedsMoreAndTwoMessagesDecodeInTurn) {
    VMsg msg(vmsg::MSG_GET, 1);
    msg.addTag(new VTagString(26, "RELAY_1"));
    msg.addTag(new VTagUInt32(25, 3));
    std::vector<uint8_t> bytes = encodeMsg(msg);
    for (size_t n = 0; n < bytes.size(); ++n) {
        auto r = decodeExact(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n));
        EXPECT_EQ(DecodeStatus::kNeedMore, r.status) << n;
        EXPECT_EQ(nullptr, r.msg);
    }
    std::vector<uint8_t> two = bytes;
    two.insert(two.end(), bytes.begin(), bytes.end());
    auto r = decodeExact(two);
    ASSERT_EQ(DecodeStatus::kOk, r.status);
    EXPECT_EQ(bytes.size(), r.consumed);
    delete r.msg;
}

// Draining hands over whole messages in order and keeps the rest: a partial
// message for later, or, after a malformed one, the bytes from it on.
TEST(Wire, DrainFramesHandsOverWholeMessagesInOrder) {
    std::vector<uint8_t> one = encodeMsg(VMsg(vmsg::MSG_EVT, 1));
    std::vector<uint8_t> two = encodeMsg(VMsg(vmsg::MSG_EVT, 2));
    const std::vector<uint8_t> bad = {2, 0, 0, 0};  // an unknown version
    struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> parts;
        size_t stopAfter;  // onMessage returns false after this many
        bool sound;
        std::vector<uint8_t> seqs;
        std::vector<uint8_t> left;
    } cases[] = {
        {"two and a partial", {one, two, {1, 3}}, 9, true, {1, 2}, {1, 3}},
        {"malformed after one", {one, bad, two}, 9, false, {1}, bad},
        {"stopped after one", {one, two}, 1, true, {1}, two},
        {"empty", {}, 9, true, {}, {}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer;
        for (const auto& part : c.parts) {
            buffer.insert(buffer.end(), part.begin(), part.end());
        }
        std::vector<uint8_t> seqs;
        const char* error = nullptr;
        bool sound = vmsg::drainFrames(
            buffer,
            [&](std::unique_ptr<VMsg> msg, const uint8_t*, size_t) {
                seqs.push_back(msg->mMsgSeq);
                return seqs.size() < c.stopAfter;
            },
            &error);
        EXPECT_EQ(c.sound, sound) << c.name;
        EXPECT_EQ(c.sound, error == nullptr) << c.name;
        EXPECT_EQ(c.seqs, seqs) << c.name;
        std::vector<uint8_t> left(buffer.begin(),
                                  buffer.begin() + std::min(buffer.size(), c.left.size()));
        EXPECT_EQ(c.left, left) << c.name;
        if (c.sound) {
            EXPECT_EQ(c.left.size(), buffer.size()) << c.name;
        }
    }
}

// The framed reader over a real stream, its bytes cut into two receives at
// every offset: each message comes out whole and in order, stamped with
// the receive that brought its first byte; then a malformed message stops
// it, and a closed peer is told apart from a timeout.
TEST(Wire, FrameReaderTakesWholeMessagesWhereverTheReceivesCut) {
    VMsg second(vmsg::MSG_SET, 2);
    second.addTag(new VTagString(5, "OUT_1"));
    std::vector<uint8_t> first = encodeMsg(VMsg(vmsg::MSG_EVT, 1));
    std::vector<uint8_t> bytes = first;
    std::vector<uint8_t> rest = encodeMsg(second);
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    for (size_t cut = 1; cut < bytes.size(); ++cut) {
        int sv[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
        vmsg::cFrameReader reader;
        std::vector<std::pair<uint8_t, vmsg::cFrameReader::Clock::time_point>> taken;
        vmsg::cFrameReader::Clock::time_point between{};
        for (size_t from : {size_t{0}, cut}) {
            size_t to = from == 0 ? cut : bytes.size();
            ASSERT_EQ(static_cast<ssize_t>(to - from),
                      write(sv[0], bytes.data() + from, to - from));
            ASSERT_EQ(vmsg::cFrameReader::RECEIVED, reader.receive(sv[1], true));
            for (std::unique_ptr<VMsg> msg; (msg = reader.next());) {
                taken.push_back({msg->mMsgSeq, reader.firstByteTime()});
            }
            if (from == 0) {
                between = vmsg::cFrameReader::Clock::now();
            }
        }
        std::vector<std::pair<uint8_t, bool>> got;  // seq, stamped by the first receive
        got.reserve(taken.size());
        for (const auto& t : taken) {
            got.push_back({t.first, t.second < between});
        }
        bool secondStartsEarly = cut > first.size();
        std::vector<std::pair<uint8_t, bool>> want = {{1, true}, {2, secondStartsEarly}};
        EXPECT_EQ(want, got) << "cut at " << cut;
        const uint8_t bad[] = {2, 0, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(8, write(sv[0], bad, sizeof(bad)));
        EXPECT_EQ(nullptr, reader.read(sv[1], 5000));
        EXPECT_TRUE(reader.malformed());
        EXPECT_STREQ("unsupported protocol version", reader.error());
        reader.clear();
        EXPECT_EQ(nullptr, reader.read(sv[1], 0));  // nothing more: a timeout
        EXPECT_FALSE(reader.closed());
        close(sv[0]);
        EXPECT_EQ(nullptr, reader.read(sv[1], 5000));
        EXPECT_TRUE(reader.closed());
        close(sv[1]);
    }
}

TEST(Wire, MalformedMessagesAreRefused) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"version 2", {2, 3, 0, 0, 0, 0, 0, 0}},
        {"version 0, short", {0}},
        {"body over the limit", {1, 3, 0, 0, 0x00, 0x10, 0x00, 0x01}},
        {"body of 4 GiB", {1, 3, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"tag header cut", frame(3, 0, {40, 4, 0})},
        {"type 7", frame(3, 0, {40, 7, 0, 0})},
        {"type 255", frame(3, 0, {40, 255, 0, 0})},
        {"UINT8 of 2 bytes", frame(3, 0, {40, 4, 0, 2, 1, 2})},
        {"UINT16 of 1 byte", frame(3, 0, {18, 3, 0, 1, 1})},
        {"UINT32 of 2 bytes", frame(3, 0, {8, 2, 0, 2, 1, 2})},
        {"FLOAT of 8 bytes", frame(3, 0, {49, 6, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8})},
        {"NULL of 1 byte", frame(3, 0, {0, 0, 0, 1, 0})},
        {"string past the body", frame(3, 0, {36, 1, 0, 9, 'a', 'b'})},
        {"bytes past the body", frame(3, 0, {5, 5, 0xFF, 0xFF, 1})},
        // Past the body by 1 and by 4 bytes: the tag header counts too.
        {"bytes 1 byte past the body", frame(3, 0, {5, 5, 0, 3, 1, 2})},
        {"bytes 4 bytes past the body", frame(3, 0, {5, 5, 0, 6, 1, 2})},
    };
    for (const Case& c : cases) {
        auto r = decodeExact(c.bytes);
        EXPECT_EQ(DecodeStatus::kMalformed, r.status) << c.what;
        EXPECT_EQ(nullptr, r.msg) << c.what;
        EXPECT_NE(nullptr, r.error) << c.what;
    }
}

TEST(Wire, UnknownMessageIdAndFlagsAreNotMalformed) {
    std::vector<uint8_t> bytes = frame(200, 9, {});
    bytes[3] = 0xFF;  // flags are ignored when received
    auto r = decodeExact(bytes);
    ASSERT_EQ(DecodeStatus::kOk, r.status);
    EXPECT_EQ(200, r.msg->mMsgID);
    EXPECT_EQ(0u, r.msg->tagCount());
    delete r.msg;
}

TEST(Wire, LongestValuesAndWhatCannotBeEncoded) {
    VMsg longest(vmsg::MSG_SET, 0);
    longest.addTag(new VTagString(26, std::string(65535, 'x').c_str()));
    auto r = decodeExact(encodeMsg(longest));
    ASSERT_EQ(DecodeStatus::kOk, r.status);
    EXPECT_EQ(65535u, static_cast<const VTagString*>(r.msg->tagAt(0))->getString().size());
    delete r.msg;

    VMsg tooLong(vmsg::MSG_SET, 0);
    tooLong.addTag(new VTagString(26, std::string(65536, 'x').c_str()));
    std::vector<uint8_t> out = {9};
    EXPECT_FALSE(vmsg::encode(tooLong, out));
    EXPECT_EQ(std::vector<uint8_t>{9}, out);  // nothing appended
}

// A NUL inside a STRING breaks no framing: the value comes whole, NUL
// included, and the message behind it in the same buffer is read too.
TEST(Wire, NulInsideAStringIsAWholeValue) {
    VMsg withNul(vmsg::MSG_EVT, 1);
    withNul.addTag(new VTagString(36, "a\0b", 3));
    std::vector<uint8_t> stream = encodeMsg(withNul);
    EXPECT_EQ(frame(3, 1, {36, 1, 0, 3, 'a', 0, 'b'}), stream);
    std::vector<uint8_t> behind = frame(3, 2, {});
    stream.insert(stream.end(), behind.begin(), behind.end());
    std::vector<std::string> values;
    std::vector<int> seqs;
    EXPECT_TRUE(vmsg::drainFrames(stream, [&](std::unique_ptr<VMsg> msg, const uint8_t*, size_t) {
        seqs.push_back(msg->mMsgSeq);
        if (msg->tagCount() > 0) {
            values.push_back(static_cast<const VTagString*>(msg->tagAt(0))->getString());
        }
        return true;
    }));
    EXPECT_EQ((std::vector<int>{1, 2}), seqs);
    EXPECT_EQ(std::vector<std::string>{std::string("a\0b", 3)}, values);
    EXPECT_TRUE(stream.empty());
}

TEST(Wire, StringValueIsCutToTheCallersBuffer) {
    VTagString tag(21, "abcdef");
    char buf[4] = {'x', 'x', 'x', 'x'};
    tag.getValue(buf, 4);
    EXPECT_STREQ("abc", buf);
    char one[1] = {'x'};
    tag.getValue(one, 1);
    EXPECT_EQ('\0', one[0]);
}

}  // namespace
