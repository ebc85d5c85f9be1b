#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/test_util.h"
#include "vutil/VFile.h"
#include "vutil/VText.h"
#include "vutil/VTimings.h"

using testutil::TempDir;
using testutil::writeFile;

namespace {

TEST(VText, EscapesControlsBidiAndWhatIsNotUtf8) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"04A1", "04A1"},
        {"Door 1 \"east\" \\ é", "Door 1 \"east\" \\ é"},
        {"T\xc3\xbcr \xe6\xbc\xa2 \xf0\x9f\x98\x80 \xc2\xa0",
         "T\xc3\xbcr \xe6\xbc\xa2 \xf0\x9f\x98\x80 \xc2\xa0"},
        {"a\nb", "a\\x0ab"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"\r\t\x7f", "\\x0d\\x09\\x7f"},
        {std::string("a\0b", 3), "a\\x00b"},
        // C1 controls, first, CSI and last; U+00A0 after them is text.
        {"\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0", "\\xc2\\x80\\xc2\\x9b\\xc2\\x9f\xc2\xa0"},
        // The bidirectional controls, and their neighbours that stay.
        {"\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f", "\\xd8\\x9c\\xe2\\x80\\x8e\\xe2\\x80\\x8f"},
        {"\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9",
         "\\xe2\\x80\\xaa\\xe2\\x80\\xae\\xe2\\x81\\xa6\\xe2\\x81\\xa9"},
        {"\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xb0",
         "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xb0"},
        // The other format characters: they show nothing. A byte-order mark,
        // zero-width space and joiner, word joiner, soft hyphen, Mongolian
        // vowel separator, U+206A, interlinear annotation, tags.
        {"\xef\xbb\xbf"
         "05",
         "\\xef\\xbb\\xbf05"},
        {"0\xe2\x80\x8b"
         "5\xe2\x80\x8d\xe2\x81\xa0",
         "0\\xe2\\x80\\x8b5\\xe2\\x80\\x8d\\xe2\\x81\\xa0"},
        {"\xc2\xad\xe1\xa0\x8e\xe2\x81\xaa\xef\xbf\xb9",
         "\\xc2\\xad\\xe1\\xa0\\x8e\\xe2\\x81\\xaa\\xef\\xbf\\xb9"},
        {"\xf3\xa0\x80\x81\xf3\xa0\x81\xbf\xf3\xa0\x82\x80",
         "\\xf3\\xa0\\x80\\x81\\xf3\\xa0\\x81\\xbf\xf3\xa0\x82\x80"},
        // Not UTF-8: each byte that starts no valid character, alone.
        {"\xff\xfe", "\\xff\\xfe"},
        {"\x9b[31m", "\\x9b[31m"},                     // a bare C1 byte
        {"\xc0\xaf", "\\xc0\\xaf"},                    // overlong '/'
        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},           // overlong, three bytes
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
        {"\xe2\x82"
         "A\xe2\x82",
         "\\xe2\\x82"
         "A\\xe2\\x82"},  // cut short
        {"\xc3"
         "\xc3\xa9",
         "\\xc3\xc3\xa9"},  // then a whole one
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.out, vutil::escape(c.in.data(), c.in.size())) << c.out;
        if (c.in.find('\0') == std::string::npos) {
            EXPECT_EQ(c.in == c.out, vutil::isPrintable(c.in.c_str())) << c.out;
        }
    }
    EXPECT_EQ("", vutil::escape(nullptr));

    char small[8];
    // Cut at a whole escape or character, never half of one.
    EXPECT_STREQ("ab\\x0a", vutil::escapeInto("ab\ncd", small, 7));
    EXPECT_STREQ("ab", vutil::escapeInto("ab\ncd", small, 6));
    EXPECT_STREQ("a", vutil::escapeInto("a\xc3\xa9", small, 3));
    EXPECT_STREQ("a\xc3\xa9", vutil::escapeInto("a\xc3\xa9", small, 4));
}

// The rule on names people type: what would be escaped is named with its
// escape, then white space at either end; inner spaces are text.
TEST(VText, TypedTextFlawNamesWhatALookWouldMiss) {
    struct Case {
        std::string in, flaw;
    } cases[] = {
        {"04A1", ""},
        {"Door 1 \xc3\xa9", ""},
        {"Door\xc2\xa0"
         "1",
         ""},
        {"", ""},
        {" 05", "begins with white space"},
        {"05 ", "ends with white space"},
        {"\xc2\xa0"
         "05",
         "begins with white space"},
        {"05\xe3\x80\x80", "ends with white space"},
        {" ", "begins with white space"},
        {"05\t", "holds a control character (\\x09)"},
        {"0\xc2\x9b", "holds a control character (\\xc2\\x9b)"},
        {"\xef\xbb\xbf"
         "05",
         "holds a byte-order mark (\\xef\\xbb\\xbf)"},
        {"0\xe2\x80\x8b"
         "5",
         "holds an invisible format character (\\xe2\\x80\\x8b)"},
        {"Door\xe2\x80\xae"
         "1",
         "holds an invisible format character (\\xe2\\x80\\xae)"},
        {" 0\xff", "holds bytes that are not UTF-8 (\\xff)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.flaw, vutil::typedTextFlaw(c.in.data(), c.in.size())) << c.in;
    }
}

// Every text either changes exactly what it names or, refused, nothing.
TEST(VTimings, NamedValuesChangeAndAnyFaultChangesNothing) {
    using ms = vutil::Timings::ms;
    struct Case {
        const char* text;
        bool taken;
        ms replyTimeout, discoveryWait, scanExpiry;
    } cases[] = {
        {"", true, ms(2000), ms(1000), ms(5000)},
        {"scan_expiry=0", true, ms(2000), ms(1000), ms(0)},
        {"discovery_wait=0,reply_timeout=300", true, ms(300), ms(0), ms(5000)},
        {"scan_expiry=10,scan_expiry=20", true, ms(2000), ms(1000), ms(20)},
        {"reply_timeout=0", false, {}, {}, {}},
        {"reply_timeout=86400001", false, {}, {}, {}},
        {"scan_expiry=-1", false, {}, {}, {}},
        {"scan_expiry= 5", false, {}, {}, {}},
        {"scan_expiry=5ms", false, {}, {}, {}},
        {"scan_expiry", false, {}, {}, {}},
        {"scan=5", false, {}, {}, {}},
        {"scan_expiry=5,", false, {}, {}, {}},
        {"scan_expiry=99999999999999999999999", false, {}, {}, {}},
        {"first_retry=70000", false, {}, {}, {}},  // longer than longest_retry
        {"reply_timeout=300,tick=x", false, {}, {}, {}},
    };
    for (const Case& c : cases) {
        vutil::Timings t;
        std::string why;
        EXPECT_EQ(c.taken, vutil::parseTimings(c.text, &t, &why)) << c.text;
        if (c.taken) {
            EXPECT_EQ(c.replyTimeout, t.replyTimeout) << c.text;
            EXPECT_EQ(c.discoveryWait, t.discoveryWait) << c.text;
            EXPECT_EQ(c.scanExpiry, t.scanExpiry) << c.text;
        } else {
            EXPECT_FALSE(why.empty()) << c.text;
            EXPECT_EQ(ms(2000), t.replyTimeout) << c.text;
            EXPECT_EQ(ms(5000), t.scanExpiry) << c.text;
        }
    }
}

TEST(VFile, OnlyRegularFilesOfBoundedSizeAreRead) {
    TempDir dir;
    writeFile(dir.file("ok"), "host=1\n");
    writeFile(dir.file("big"), std::string(101, 'x'));
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));

    std::string text, why;
    EXPECT_TRUE(vutil::readBounded(dir.file("ok").c_str(), 100, &text, &why));
    EXPECT_EQ("host=1\n", text);
    EXPECT_TRUE(vutil::isRegularFile(dir.file("ok").c_str(), &why));

    struct Case {
        std::string path, why;
    } refused[] = {
        {dir.file("big"), "larger than 100 bytes"},
        {dir.file("fifo"), "not a regular file"},  // and it must not block
        {dir.path(), "a directory, not a regular file"},
        {"/dev/zero", "not a regular file"},
        {dir.file("missing"), "No such file or directory"},
        {"", "no file name"},
    };
    for (const Case& c : refused) {
        text = "left over";
        EXPECT_FALSE(vutil::readBounded(c.path.c_str(), 100, &text, &why)) << c.path;
        EXPECT_EQ(c.why, why) << c.path;
        EXPECT_EQ("", text);
        EXPECT_EQ(c.path == dir.file("big"), vutil::isRegularFile(c.path.c_str(), nullptr))
            << c.path;
    }
}

// Log files: a regular file, or none yet in an existing directory; the
// null device silences a category. Nothing else is opened, so nothing blocks.
TEST(VFile, LogTargetsThroughTheGate) {
    TempDir dir;
    writeFile(dir.file("old.log"), "before\n");
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    ASSERT_EQ(0, symlink("/dev/zero", dir.file("zero").c_str()));
    ASSERT_EQ(0, symlink("/dev/null", dir.file("null").c_str()));
    ASSERT_EQ(0, symlink(dir.file("nothing").c_str(), dir.file("dangling").c_str()));
    struct Case {
        std::string path, why;  // why "": accepted
    } cases[] = {
        {dir.file("old.log"), ""},
        {dir.file("new.log"), ""},
        {"/dev/null", ""},
        {dir.file("null"), ""},
        {dir.file("fifo"), "not a regular file"},
        {dir.path(), "a directory, not a regular file"},
        {dir.file("zero"), "not a regular file"},
        {dir.file("missing/new.log"), "no such directory"},
        {dir.file("old.log/new.log"), "Not a directory"},
        {dir.file("dangling"), "a link to nothing"},
        {"", "no file name"},
    };
    for (const Case& c : cases) {
        std::string why = "left over";
        int fd = vutil::openAppend(c.path.c_str(), false, &why);
        EXPECT_EQ(c.why.empty(), fd >= 0) << c.path;
        if (fd >= 0) {
            EXPECT_EQ(3, write(fd, "ok\n", 3)) << c.path;
            close(fd);
        } else {
            EXPECT_EQ(c.why, why) << c.path;
        }
    }
    EXPECT_EQ("before\nok\n", testutil::readFile(dir.file("old.log")));
    EXPECT_EQ("ok\n", testutil::readFile(dir.file("new.log")));
    int fd = vutil::openAppend(dir.file("old.log").c_str(), true, nullptr);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ("", testutil::readFile(dir.file("old.log")));  // emptied: append false
}

}  // namespace
