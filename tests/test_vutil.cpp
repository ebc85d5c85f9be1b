#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "VFile.h"
#include "VText.h"
#include "test_util.h"

using testutil::TempDir;
using testutil::writeFile;

namespace {

TEST(VText, EscapesControlBytesOnly) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"04A1", "04A1"},
        {"Door 1 \"east\" \\ é", "Door 1 \"east\" \\ é"},
        {"a\nb", "a\\x0ab"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"\r\t\x7f", "\\x0d\\x09\\x7f"},
        {std::string("a\0b", 3), "a\\x00b"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.out, vtext::escape(c.in.data(), c.in.size())) << c.out;
    }
    EXPECT_EQ("", vtext::escape(nullptr));

    char small[8];
    // Cut at a whole escape, never half of one.
    EXPECT_STREQ("ab\\x0a", vtext::escapeInto("ab\ncd", small, 7));
    EXPECT_STREQ("ab", vtext::escapeInto("ab\ncd", small, 6));
}

TEST(VFile, OnlyRegularFilesOfBoundedSizeAreRead) {
    TempDir dir;
    writeFile(dir.file("ok"), "host=1\n");
    writeFile(dir.file("big"), std::string(101, 'x'));
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));

    std::string text, why;
    EXPECT_TRUE(vfile::readBounded(dir.file("ok").c_str(), 100, &text, &why));
    EXPECT_EQ("host=1\n", text);
    EXPECT_TRUE(vfile::isRegularFile(dir.file("ok").c_str(), &why));

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
        EXPECT_FALSE(vfile::readBounded(c.path.c_str(), 100, &text, &why)) << c.path;
        EXPECT_EQ(c.why, why) << c.path;
        EXPECT_EQ("", text);
        EXPECT_EQ(c.path == dir.file("big"), vfile::isRegularFile(c.path.c_str(), nullptr))
            << c.path;
    }
}

}  // namespace
