#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "src/properties.h"
#include "src/settings.h"
#include "tests/test_util.h"
#include "vutil/VFile.h"

using testutil::StdoutCapture;
using testutil::TempDir;
using testutil::writeFile;

namespace {

// Properties loaded from a file of text, which must load.
struct Loaded : cProperties {
    explicit Loaded(const std::string& text) {
        writeFile(dir.file("p"), text);
        EXPECT_TRUE(load(dir.file("p").c_str()));
    }
    TempDir dir;
};

const char* kWorkedExample =
    "# site settings\n"
    "host=127.0.0.1\n"
    "ioPairFile=/data/pairs.xml  # local copy\n"
    "dblocal = /data/access.db\n"
    "dblocal=/tmp/other.db\n"
    "mode=a=b\n"
    "mode=c\n"
    "=orphan\n"
    "empty=\n"
    "just some words\n"
    "   # indented comment\n";

TEST(Properties, WorkedExample) {
    Loaded props(kWorkedExample);
    const char* def = "DEFAULT";
    EXPECT_STREQ("127.0.0.1", props.getString("host", def));
    EXPECT_STREQ("/data/pairs.xml  ", props.getString("ioPairFile", def));
    EXPECT_STREQ(" /data/access.db", props.getString("dblocal ", def));
    EXPECT_STREQ("/tmp/other.db", props.getString("dblocal", def));
    EXPECT_STREQ("a=b", props.getString("mode", def));
    EXPECT_STREQ("orphan", props.getString("", def));
    EXPECT_STREQ("", props.getString("empty", def));
    EXPECT_EQ(def, props.getString("just some words", def));
    EXPECT_EQ(def, props.getString("   ", def));
    EXPECT_EQ(0, props.getInt("mode", 5));
    EXPECT_EQ(5, props.getInt("absent", 5));
}

TEST(Properties, UnreadablePathsSayWhyAndKeepEarlierEntries) {
    TempDir dir;
    writeFile(dir.file("p.conf"), "a=1\n");
    std::string large = dir.file("large.conf");
    writeFile(large, "");
    ASSERT_EQ(0, truncate(large.c_str(), vutil::kMaxTextFile + 1));
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    cProperties props;
    ASSERT_TRUE(props.load(dir.file("p.conf").c_str()));
    // None of these may block or be read: a FIFO without a writer, a device
    // without end, a directory, a file beyond the bound.
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("nope.conf"), "No such file or directory"},
        {dir.path(), "a directory, not a regular file"},
        {dir.file("fifo"), "not a regular file"},
        {"/dev/zero", "not a regular file"},
        {large, "larger than 4194304 bytes"}};
    for (const auto& c : cases) {
        StdoutCapture out;
        EXPECT_FALSE(props.load(c.first.c_str()));
        EXPECT_EQ("Failed to load input file " + c.first + ": " + c.second + "\n", out.text());
        EXPECT_STREQ("1", props.getString("a", "x"));
    }
}

TEST(Properties, SecondLoadReplacesEverything) {
    TempDir dir;
    writeFile(dir.file("one"), "a=1\nb=2\n");
    writeFile(dir.file("two"), "b=3\n");
    cProperties props;
    ASSERT_TRUE(props.load(dir.file("one").c_str()));
    ASSERT_TRUE(props.load(dir.file("two").c_str()));
    EXPECT_STREQ("x", props.getString("a", "x"));
    EXPECT_STREQ("3", props.getString("b", "x"));
}

// Files read as they stand: a byte order mark is no part of the first key,
// nothing is trimmed, a NUL cuts its line, a line of 255 bytes is kept even
// without a newline. Each value is what getString gives with default "d".
TEST(Properties, ValuesAsTheyStandInTheFile) {
    const struct {
        std::string text;
        std::vector<std::pair<std::string, std::string>> values;  // key, value
    } cases[] = {
        {"\xEF\xBB\xBFhost=h\nk=v\n", {{"host", "h"}, {"k", "v"}}},
        {"host = x\r\nv=keep  # c\r\nw=crlf\r\nlast=no newline",
         {{"host", "d"},
          {"host ", " x\r"},
          {"v", "keep  "},
          {"w", "crlf\r"},
          {"last", "no newline"}}},
        {std::string("a=1\0=b=2\nk\0=v\nz=9\n", 18),
         {{"a", "1"}, {"k", "d"}, {"", "d"}, {"z", "9"}}},
        {"k=" + std::string(253, 'a'), {{"k", std::string(253, 'a')}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        StdoutCapture out;
        Loaded props(c.text);
        for (const auto& v : c.values) {
            EXPECT_STREQ(v.second.c_str(), props.getString(v.first.c_str(), "d")) << v.first;
        }
        EXPECT_EQ("", out.text());
    }
}

TEST(Properties, LongLineIsSkippedAndLoadingGoesOn) {
    TempDir dir;
    std::string line255 = "k255=" + std::string(250, 'a');  // 255 bytes
    std::string line256 = "k256=" + std::string(251, 'b');  // 256 bytes
    ASSERT_EQ(255u, line255.size());
    ASSERT_EQ(256u, line256.size());
    std::string huge = "huge=" + std::string(100000, 'c');
    writeFile(dir.file("p"), "first=1\n" + line255 + "\n" + line256 + "\nafter=2\n" + huge +
                                 "\nlast=3\n" + line256);
    cProperties props;
    StdoutCapture out;
    ASSERT_TRUE(props.load(dir.file("p").c_str()));
    std::string printed = out.text();
    EXPECT_STREQ("1", props.getString("first", "d"));
    EXPECT_EQ(std::string(250, 'a'), props.getString("k255", "d"));
    EXPECT_STREQ("d", props.getString("k256", "d"));
    EXPECT_STREQ("2", props.getString("after", "d"));
    EXPECT_STREQ("d", props.getString("huge", "d"));
    EXPECT_STREQ("3", props.getString("last", "d"));
    std::string p = dir.file("p");
    EXPECT_EQ("Skipping line 3 of " + p + ": longer than 255 bytes\n" + "Skipping line 5 of " + p +
                  ": longer than 255 bytes\n" + "Skipping line 7 of " + p +
                  ": longer than 255 bytes\n",
              printed);
}

TEST(Properties, FirstDefinitionWinsAndEmptyFile) {
    Loaded props("a=first\na=second\n=\n");
    writeFile(props.dir.file("empty"), "");
    EXPECT_STREQ("first", props.getString("a", "d"));
    EXPECT_STREQ("", props.getString("", "d"));
    ASSERT_TRUE(props.load(props.dir.file("empty").c_str()));
    EXPECT_STREQ("d", props.getString("a", "d"));
}

TEST(Properties, GetInt) {
    Loaded props("a=42\nb= 42\nc=42abc\nd=-7\ne=\nf=abc\ng=0x10\nh=99999999999\ni=-99999999999\n");
    EXPECT_EQ(42, props.getInt("a", 1));
    EXPECT_EQ(42, props.getInt("b", 1));
    EXPECT_EQ(42, props.getInt("c", 1));
    EXPECT_EQ(-7, props.getInt("d", 1));
    EXPECT_EQ(0, props.getInt("e", 1));
    EXPECT_EQ(0, props.getInt("f", 1));
    EXPECT_EQ(0, props.getInt("g", 1));
    EXPECT_EQ(2147483647, props.getInt("h", 1));
    EXPECT_EQ(-2147483647 - 1, props.getInt("i", 1));
    EXPECT_EQ(1, props.getInt("absent", 1));
}

TEST(Properties, BinaryJunkNeverCrashes) {
    std::string junk;
    for (int i = 0; i < 5000; ++i) {
        junk += static_cast<char>((i * 131 + 7) % 256);
    }
    testutil::StdoutCapture out;
    Loaded props(junk);
}

}  // namespace

// The outbox keys: read only when present; a bound that is not a whole
// number of bytes in range is refused for the default, with one reason.
TEST(Properties, OutboxKeys) {
    struct Case {
        const char* lines;
        std::string folder;
        uint64_t limit;
        bool refused;
    } cases[] = {
        {"host=h\n", "", settings::kOutboxLimitDefault, false},
        {"outbox=\noutboxLimit=65536\n", "", 65536, false},
        {"outbox=/var/spool/o x\n", "/var/spool/o x", settings::kOutboxLimitDefault, false},
        {"outboxLimit=1099511627776\n", "", 1099511627776ULL, false},
        {"outboxLimit=65535\n", "", settings::kOutboxLimitDefault, true},
        {"outboxLimit=1099511627777\n", "", settings::kOutboxLimitDefault, true},
        {"outboxLimit=99999999999999999999999\n", "", settings::kOutboxLimitDefault, true},
        {"outboxLimit= 65536\n", "", settings::kOutboxLimitDefault, true},
        {"outboxLimit=16M\n", "", settings::kOutboxLimitDefault, true},
        {"outboxLimit=-1\n", "", settings::kOutboxLimitDefault, true},
        {"outboxLimit=\n", "", settings::kOutboxLimitDefault, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        Loaded props(c.lines);
        std::string refusal;
        EXPECT_EQ(c.folder, settings::outboxFolder(props));
        EXPECT_EQ(c.limit, settings::outboxLimit(props, &refusal));
        EXPECT_EQ(c.refused ? "value of outboxLimit is not a number of bytes from 65536 to "
                              "1099511627776; using the default 16777216"
                            : "",
                  refusal);
    }
}
