// The outbox writer's file rules on real files: names, modes, rotation, the
// bound with its lost events, ids across starts, lines left cut short, and
// a folder that cannot be written, then can again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/test_util.h"
#include "vlog/cVlog.h"
#include "voutbox/cOutbox.h"

using voutbox::cOutbox;

namespace {

timespec aMoment() {
    return timespec{1797000000, 123456789};
}

// Members that make a line of about bytes.
std::string padded(size_t bytes, unsigned n) {
    return ",\"n\":" + std::to_string(n) + ",\"pad\":\"" + std::string(bytes, 'p') + "\"";
}

using testutil::jsonMember;
// The outbox's files that count, in the order they were written.
std::vector<std::string> outboxFiles(const std::string& dir) {
    std::vector<std::string> names = testutil::dirNames(dir, "closed-");
    if (access((dir + "/current").c_str(), F_OK) == 0) {
        names.push_back("current");
    }
    return names;
}

std::vector<std::string> allLines(const std::string& dir) {
    std::vector<std::string> lines;
    for (const std::string& name : outboxFiles(dir)) {
        for (const std::string& line :
             testutil::splitLines(testutil::readFile(dir + "/" += name))) {
            if (!line.empty()) {
                lines.push_back(line);
            }
        }
    }
    return lines;
}

uint64_t folderBytes(const std::string& dir) {
    uint64_t total = 0;
    for (const std::string& name : outboxFiles(dir)) {
        struct stat st {};
        if (stat((dir + "/" += name).c_str(), &st) == 0) {
            total += static_cast<uint64_t>(st.st_size);
        }
    }
    return total;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
    return st.st_mode & 07777;
}

}  // namespace

TEST(Outbox, LinesIdsNamesAndModes) {
    testutil::TempDir tmp;
    const std::string dir = tmp.file("box");  // missing: the writer makes it
    cOutbox box(dir, voutbox::kMinLimit);
    ASSERT_TRUE(box.open());
    EXPECT_EQ(02770, modeOf(dir));
    ASSERT_EQ(16u, box.startNumber().size());
    EXPECT_EQ(std::string::npos, box.startNumber().find_first_not_of("0123456789abcdef"));

    std::vector<std::string> ids;
    for (unsigned i = 0; i < 40; ++i) {
        std::string id;
        ASSERT_TRUE(box.append("access", padded(900, i), aMoment(), &id));
        ids.push_back(id);
        EXPECT_EQ(box.startNumber() + "-" + std::to_string(i + 1), id);
    }
    // Closed at closeSize: names numbered from 1 in the order written.
    std::vector<std::string> files = outboxFiles(dir);
    ASSERT_GE(files.size(), 3u);
    EXPECT_EQ("closed-00000000000000000001", files[0]);
    EXPECT_EQ("closed-00000000000000000002", files[1]);
    for (const std::string& name : files) {
        EXPECT_EQ(0640, modeOf(dir + "/" += name)) << name;
        struct stat st {};
        stat((dir + "/" += name).c_str(), &st);
        if (name != "current") {
            EXPECT_GE(static_cast<uint64_t>(st.st_size), box.closeSize());
            EXPECT_LT(static_cast<uint64_t>(st.st_size), box.closeSize() + voutbox::kMaxLine);
        }
    }
    std::vector<std::string> lines = allLines(dir);
    ASSERT_EQ(ids.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ("{\"v\":1,\"type\":\"access\",\"id\":\"" + ids[i] +
                      "\",\"time\":\"2026-12-11T14:40:00.123456Z\"" + padded(900, i) + "}",
                  lines[i]);
    }
    // Too long for one line: refused whole, no id spent.
    EXPECT_FALSE(box.append("access", padded(voutbox::kMaxLine, 0), aMoment()));
    std::string id;
    ASSERT_TRUE(box.append("access", padded(10, 0), aMoment(), &id));
    EXPECT_EQ(box.startNumber() + "-41", id);

    ASSERT_TRUE(box.writeStatus("running: 4 outputs"));
    EXPECT_EQ("running: 4 outputs\n", testutil::readFile(dir + "/status"));
    EXPECT_EQ(0640, modeOf(dir + "/status"));
    EXPECT_NE(0, access((dir + "/status.tmp").c_str(), F_OK));
}

// Writes events past the bound: the folder never passes it, and every id
// is either in the folder or named by exactly one overflow event, across
// two starts of the writer (the second removes the first one's files).
TEST(Outbox, BoundKeptAndEveryDroppedIdNamedExactly) {
    testutil::TempDir tmp;
    const std::string& dir = tmp.path();
    const uint64_t limit = voutbox::kMinLimit;
    std::vector<std::string> written;
    std::string firstStart;
    for (int start = 0; start < 2; ++start) {
        cOutbox box(dir, limit);
        ASSERT_TRUE(box.open());
        if (start == 0) {
            firstStart = box.startNumber();
        } else {
            EXPECT_NE(firstStart, box.startNumber());
        }
        for (unsigned i = 0; i < 150; ++i) {
            std::string id;
            ASSERT_TRUE(box.append("access", padded(700 + (i * 37) % 500, i), aMoment(), &id));
            written.push_back(id);
            ASSERT_LE(folderBytes(dir), limit) << "after " << id;
        }
    }
    std::set<std::string> present;
    std::vector<std::pair<std::string, std::string>> ranges;
    size_t repeats = 0;  // lost events told again when their file went
    for (const std::string& line : allLines(dir)) {
        if (jsonMember(line, "type") == "access") {
            present.insert(jsonMember(line, "id"));
            continue;
        }
        ASSERT_EQ("lost", jsonMember(line, "type")) << line;
        EXPECT_EQ("overflow", jsonMember(line, "reason"));
        repeats += !jsonMember(line, "of").empty();
        const std::string first = jsonMember(line, "first");
        const std::string last = jsonMember(line, "last");
        ASSERT_EQ(first.substr(0, 16), last.substr(0, 16)) << "one start per lost event";
        // The events between first and last are exactly count, none present.
        uint64_t count = 0;
        for (const std::string& id : written) {
            if (id.substr(0, 16) == first.substr(0, 16) &&
                testutil::idNumber(id) >= testutil::idNumber(first) &&
                testutil::idNumber(id) <= testutil::idNumber(last)) {
                EXPECT_EQ(0u, present.count(id)) << id;
                ++count;
            }
        }
        EXPECT_EQ(std::to_string(count), jsonMember(line, "count")) << line;
        ranges.emplace_back(first, last);
    }
    // Every id written is in the folder or in one range.
    size_t dropped = 0;
    for (const std::string& id : written) {
        size_t in = 0;
        for (const auto& r : ranges) {
            in += id.substr(0, 16) == r.first.substr(0, 16) &&
                  testutil::idNumber(id) >= testutil::idNumber(r.first) &&
                  testutil::idNumber(id) <= testutil::idNumber(r.second);
        }
        EXPECT_EQ(present.count(id) ? 0u : 1u, in) << id;
        dropped += in;
    }
    EXPECT_GT(dropped, 0u);
    EXPECT_GT(repeats, 0u);
    EXPECT_GT(present.size(), 0u);
    // The second start removed files of the first: a lost event names them.
    EXPECT_TRUE(std::any_of(ranges.begin(), ranges.end(),
                            [&](const auto& r) { return r.first.substr(0, 16) == firstStart; }));
}

// A file the reader removed is not lost; the bound counts the folder as it is.
TEST(Outbox, FilesTheReaderRemovedAreNotLost) {
    testutil::TempDir tmp;
    cOutbox box(tmp.path(), voutbox::kMinLimit);
    ASSERT_TRUE(box.open());
    for (unsigned i = 0; i < 300; ++i) {
        ASSERT_TRUE(box.append("access", padded(800, i), aMoment()));
        for (const std::string& name : outboxFiles(tmp.path())) {
            if (name != "current") {
                unlink(tmp.file(name).c_str());  // acknowledged at once
            }
        }
    }
    for (const std::string& line : allLines(tmp.path())) {
        EXPECT_EQ("access", jsonMember(line, "type")) << line;
    }
}

// A crash leaves a line cut short in `current`: the next start closes that
// file and never appends to it, and the cut line is not counted as an event.
TEST(Outbox, LineCutShortByACrashStaysInAClosedFile) {
    testutil::TempDir tmp;
    const std::string& dir = tmp.path();
    std::string before;
    {
        cOutbox box(dir, voutbox::kMinLimit);
        ASSERT_TRUE(box.open());
        ASSERT_TRUE(box.append("access", padded(20, 1), aMoment(), &before));
    }
    const std::string cut =
        "{\"v\":1,\"type\":\"access\",\"id\":\"" + before.substr(0, 17) + "2\",\"time\":\"2027";
    {
        FILE* f = fopen((dir + "/current").c_str(), "a");
        fputs(cut.c_str(), f);
        fclose(f);
    }
    const std::string closed = dir + "/closed-00000000000000000001";
    std::vector<cOutbox::Span> spans = cOutbox::readSpans(dir + "/current");
    ASSERT_EQ(1u, spans.size());
    EXPECT_EQ(1u, spans[0].count);

    cOutbox box(dir, voutbox::kMinLimit);
    ASSERT_TRUE(box.open());
    std::string after;
    ASSERT_TRUE(box.append("access", padded(20, 2), aMoment(), &after));
    EXPECT_EQ(testutil::readFile(closed).substr(testutil::readFile(closed).size() - cut.size()),
              cut);
    std::vector<std::string> now = testutil::splitLines(testutil::readFile(dir + "/current"));
    ASSERT_FALSE(now.empty());
    EXPECT_EQ(after, jsonMember(now[0], "id"));
    EXPECT_NE(before.substr(0, 16), after.substr(0, 16));
}

// Not a folder, then a folder again: one line at once, status says so, and
// a lost event of reason unwritable names exactly the events lost.
TEST(Outbox, FolderThatIsNotAFolderThenIs) {
    testutil::TempDir tmp;
    const std::string dir = tmp.file("box");
    testutil::writeFile(dir, "in the way");
    cVlog::init(tmp.file("no-such.conf").c_str());
    cOutbox box(dir, voutbox::kMinLimit);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(box.open());
    std::vector<std::string> lost;
    for (unsigned i = 0; i < 5; ++i) {
        EXPECT_FALSE(box.append("access", padded(20, i), aMoment()));
        EXPECT_TRUE(box.failing());
    }
    std::vector<std::string> said = testutil::splitLines(testing::internal::GetCapturedStderr());
    EXPECT_EQ(1u, testutil::countContaining(said, "cannot be written (not a folder)")) << said[0];

    ASSERT_EQ(0, unlink(dir.c_str()));
    testing::internal::CaptureStderr();
    std::string id;
    ASSERT_TRUE(box.append("access", padded(20, 9), aMoment(), &id));
    EXPECT_FALSE(box.failing());
    said = testutil::splitLines(testing::internal::GetCapturedStderr());
    EXPECT_EQ(1u, testutil::countContaining(said, "written again; 5 events were lost"));
    EXPECT_EQ(02770, modeOf(dir));
    std::vector<std::string> lines = allLines(dir);
    ASSERT_EQ(2u, lines.size());
    const std::string s = box.startNumber() + "-";
    EXPECT_EQ("lost", jsonMember(lines[0], "type"));
    EXPECT_EQ("unwritable", jsonMember(lines[0], "reason"));
    EXPECT_EQ("5", jsonMember(lines[0], "count"));
    EXPECT_EQ(s + "1", jsonMember(lines[0], "first"));
    EXPECT_EQ(s + "5", jsonMember(lines[0], "last"));
    EXPECT_EQ(s + "6", jsonMember(lines[0], "id"));
    EXPECT_EQ(s + "7", id);
    EXPECT_EQ(id, jsonMember(lines[1], "id"));
}

// A full disk (the file-size limit here) fails a write part way: the part
// is taken back, so every line in the file stands whole.
TEST(Outbox, FullDiskLosesWholeLinesOnly) {
    testutil::TempDir tmp;
    signal(SIGXFSZ, SIG_IGN);
    cOutbox box(tmp.path(), voutbox::kMinLimit);
    ASSERT_TRUE(box.open());
    ASSERT_TRUE(box.append("access", padded(100, 0), aMoment()));
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 300;  // the second line goes in part only
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    EXPECT_FALSE(box.append("access", padded(300, 1), aMoment()));
    EXPECT_FALSE(box.append("access", padded(300, 2), aMoment()));
    EXPECT_TRUE(box.failing());
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &old));
    std::string id;
    ASSERT_TRUE(box.append("access", padded(100, 3), aMoment(), &id));
    std::vector<std::string> lines = allLines(tmp.path());
    ASSERT_EQ(3u, lines.size());
    const std::string s = box.startNumber() + "-";
    EXPECT_EQ(s + "1", jsonMember(lines[0], "id"));
    EXPECT_EQ("unwritable", jsonMember(lines[1], "reason"));
    EXPECT_EQ(s + "2", jsonMember(lines[1], "first"));
    EXPECT_EQ(s + "3", jsonMember(lines[1], "last"));
    EXPECT_EQ("2", jsonMember(lines[1], "count"));
    EXPECT_EQ(s + "5", id);
    for (const std::string& line : lines) {
        EXPECT_EQ('{', line.front());
        EXPECT_EQ('}', line.back());
    }
}
