#include "tests/test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testutil {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base ? base : "/tmp") + "/dorvane-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    mPath = buf.data();
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + mPath + "'";
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", mPath.c_str());
    }
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<std::string> waitLines(const std::string& path, size_t n, int timeoutMs) {
    std::vector<std::string> lines;
    waitUntil([&] { return (lines = splitLines(readFile(path))).size() >= n; }, timeoutMs);
    return lines;
}

size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
    size_t n = 0;
    for (const std::string& line : lines) {
        n += line.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

std::string repeated(const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += text;
    }
    return out;
}

std::vector<std::string> dirNames(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
        if (std::string(e->d_name).compare(0, prefix.size(), prefix) == 0) {
            names.push_back(e->d_name);
        }
    }
    if (d != nullptr) {
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string logAppender(const std::string& name, const std::string& type, const std::string& file,
                        const std::string& pattern, const std::vector<std::string>& settings) {
    const std::string at = "log4cpp.appender." + name;
    std::string lines = at + "=" + type + "\n" + at + ".fileName=" + file + "\n";
    for (const std::string& setting : settings) {
        lines.append(at).append(".").append(setting).append("\n");
    }
    return lines + at + ".layout=PatternLayout\n" + at + ".layout.ConversionPattern=" + pattern +
           "\n";
}

std::string logRoute(const std::string& category, const std::string& appender,
                     const std::string& priority) {
    return "log4cpp.category." + category + "=" + priority + ", " + appender +
           "\nlog4cpp.additivity." + category + "=false\n";
}

std::string jsonMember(const std::string& json, const std::string& key) {
    std::string needle = "\"" + key + "\":";
    size_t at = json.find(needle);
    if (at == std::string::npos) {
        return "";
    }
    at += needle.size();
    if (json[at] == '"') {
        size_t end = json.find('"', at + 1);
        return json.substr(at + 1, end - at - 1);
    }
    size_t end = json.find_first_of(",}", at);
    return json.substr(at, end - at);
}

long peakKb(int pid) {
    for (const std::string& line :
         splitLines(readFile("/proc/" + std::to_string(pid) + "/status"))) {
        if (line.compare(0, 7, "VmHWM:\t") == 0) {
            return atol(line.c_str() + 7);
        }
    }
    return -1;
}

StdoutCapture::StdoutCapture() : mDone(false) {
    fflush(stdout);
    char tmpl[] = "/tmp/dorvane-out-XXXXXX";
    int fd = mkstemp(tmpl);
    mPath = tmpl;
    mSaved = dup(1);
    dup2(fd, 1);
    close(fd);
}

std::string StdoutCapture::text() {
    if (!mDone) {
        fflush(stdout);
        dup2(mSaved, 1);
        close(mSaved);
        mText = readFile(mPath);
        unlink(mPath.c_str());
        mDone = true;
    }
    return mText;
}

StdoutCapture::~StdoutCapture() {
    text();
}

std::string entityBomb(const std::string& body) {
    std::string text = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\">";
    for (char c = 'b'; c <= 'j'; ++c) {
        text += std::string("<!ENTITY ") + c + " \"";
        for (int i = 0; i < 10; ++i) {
            text += std::string("&") + static_cast<char>(c - 1) + ";";
        }
        text += "\">";
    }
    return text + "]><scl_connections>" + body + "</scl_connections>";
}

void execSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    char* err = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(SQLITE_OK, rc) << (err ? err : "") << " in " << sql;
    sqlite3_free(err);
    sqlite3_close(db);
}

void leaveHotJournal(const std::string& path) {
    std::string work = path + ".work";
    writeFile(work, readFile(path));
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(work.c_str(), &db));
    // A one-page cache spills the write to the file before the commit, so
    // that the journal is hot (a smaller write leaves it with a zero header).
    // Names of 100 bytes: codes.sql refuses longer ones.
    ASSERT_EQ(SQLITE_OK,
              sqlite3_exec(db,
                           "PRAGMA cache_size = 1; BEGIN; UPDATE codes SET reader = 'Intruder';"
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                           "WHERE i < 2000) INSERT INTO codes SELECT 'X' || i, "
                           "printf('%.100c', 'r') FROM n;",
                           nullptr, nullptr, nullptr));
    // The files as a crash would leave them, copied while the write is open.
    writeFile(path + "-journal.new", readFile(work + "-journal"));
    writeFile(path + ".new", readFile(work));
    sqlite3_close(db);  // rolls the work copy back
    unlink(work.c_str());
    ASSERT_EQ(0, rename((path + "-journal.new").c_str(), (path + "-journal").c_str()));
    ASSERT_EQ(0, rename((path + ".new").c_str(), path.c_str()));
}

void makeCodesDb(const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& rows) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "CREATE TABLE IF NOT EXISTS codes "
                                      "(sc TEXT PRIMARY KEY, reader TEXT);",
                                      nullptr, nullptr, nullptr));
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(SQLITE_OK,
              sqlite3_prepare_v2(db, "INSERT INTO codes VALUES (?, ?)", -1, &st, nullptr));
    for (const auto& row : rows) {
        sqlite3_bind_text(st, 1, row.first.data(), static_cast<int>(row.first.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, row.second.data(), static_cast<int>(row.second.size()),
                          SQLITE_TRANSIENT);
        EXPECT_EQ(SQLITE_DONE, sqlite3_step(st));
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
}

}  // namespace testutil
