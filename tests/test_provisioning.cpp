// dorvanectl codes: provisioning the access database end to end, on real
// SQLite files, and an import while the real service scans at full rate.
// (dorvanectl's diagnosis: test_dorvanectl.cpp.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/service_site.h"

using testutil::Process;
using testutil::ServiceSite;

namespace {

using CtlRun = ServiceSite::CtlRun;

// The names in the site's directory: what a refused write must not leave.
std::vector<std::string> names(ServiceSite& site) {
    return testutil::dirNames(site.file(""));
}

// SQLite's error for sql on the database, or "" when it runs.
std::string sqlError(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    char* err = nullptr;
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    std::string text = err != nullptr ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    return text;
}

const char* kSite =
    "port 12 1 dout RELAY_1 clear\nport 12 2 dout LED_1 clear\n"
    "port 12 3 dout RELAY_2 clear\nport 12 4 dout LED_2 clear\n";

// The site's readers Door1 and Door2, and its configuration (extra, at priority).
void readers(ServiceSite& site, const std::string& extra = "",
             const std::string& priority = "DEBUG") {
    site.pairs({{"Door1", "RELAY_1", "LED_1"}, {"Door2", "RELAY_2", "LED_2"}});
    site.config(extra, priority);
}

// Every refusal names why, exits 1 and leaves the database and its
// directory exactly as they were.
TEST(Provisioning, RefusalsWriteNothing) {
    ServiceSite site;
    readers(site,
            "log4cpp.category.DorvaneAccess=INFO, TRAIL\n"
            "log4cpp.appender.TRAIL=RollingFileAppender\n"
            "log4cpp.appender.TRAIL.fileName=trail.log\n"
            "log4cpp.appender.TRAIL.maxBackupIndex=2\n");
    testutil::writeFile(site.file("trail.log"), "seq=01 serial=12 code=04A1\n");
    testutil::writeFile(site.file("trail.log.2"), "seq=01 serial=12 code=04A0\n");
    ASSERT_EQ(0, mkfifo(site.file("fifo.csv").c_str(), 0600));
    ASSERT_EQ(0, symlink("/dev/null", site.file("null.csv").c_str()));
    testutil::writeFile(site.file("set.csv"), "04A1,Door1\n");
    ASSERT_EQ(0, site.ctl({"codes", "import", "set.csv"}).status);
    testutil::writeFile(site.file("bad.csv"),
                        "code,reader\n\"04B2\",Door2\na,b,Door1\n04C3\n\n05E5,Door1\x1b[1m\n" +
                            std::string(128, 'K') +
                            ",Door1\n04D4,Door2\n04D4,Door1\n"
                            "\xff\xfe,Door1\n06F6,Door9\n07A7,Door1\r\r\n");
    testutil::writeFile(site.file("good.csv"), "04A1,Door2\n");
    // Two files saved with byte-order marks and joined with cat.
    testutil::writeFile(site.file("joined.csv"),
                        "\xef\xbb\xbf"
                        "code,reader\n04A5,Door1\n\xef\xbb\xbf"
                        "05,Door1\n06 ,Door1\n0\xe2\x81\xa0"
                        "7,Door1\n08,\xe3\x80\x80"
                        "Door1\n");
    testutil::writeFile(site.file("empty.csv"),
                        "\xef\xbb\xbf"
                        "code,reader\r\n");
    struct Case {
        std::vector<std::string> args;
        std::vector<const char*> says;
        const char* beside;  // a file put beside the database first
    } cases[] = {
        {{"codes", "add", "A\tB", "Door1"}, {"the code holds a control character (\\x09)"}, ""},
        {{"codes", "add", std::string(128, 'K'), "Door1"}, {"longer than 127"}, ""},
        {{"codes", "add", "", "Door1"}, {"the code is empty"}, ""},
        {{"codes", "add", "0X", "Door1\x7f"}, {"reader name holds a control character"}, ""},
        {{"codes", "add", "0X\xc2\x9b", "Door1"},
         {"the code holds a control character (\\xc2"},
         ""},
        // Two codes that look the same: what shows nothing, or white space at an end.
        {{"codes", "add",
          "\xef\xbb\xbf"
          "05",
          "Door1"},
         {"the code holds a byte-order mark (\\xef\\xbb\\xbf)"},
         ""},
        {{"codes", "add",
          "0\xe2\x80\x8b"
          "5",
          "Door1"},
         {"the code holds an invisible format character (\\xe2\\x80\\x8b)"},
         ""},
        {{"codes", "add", "05",
          "Door\xc2\xad"
          "1"},
         {"the reader name holds an invisible format character (\\xc2\\xad)"},
         ""},
        {{"codes", "add", " 05", "Door1"}, {"the code begins with white space"}, ""},
        {{"codes", "add", "05\xc2\xa0", "Door1"}, {"the code ends with white space"}, ""},
        {{"codes", "add", "05", "Door1 "}, {"the reader name ends with white space"}, ""},
        {{"codes", "import", "joined.csv"},
         {"line 3: the code holds a byte-order mark (\\xef\\xbb\\xbf)",
          "line 4: the code ends with white space",
          "line 5: the code holds an invisible format character (\\xe2\\x81\\xa0)",
          "line 6: the reader name begins with white space", "nothing written"},
         ""},
        {{"codes", "add", "0X\xff", "Door1"}, {"bytes that are not UTF-8 (\\xff)"}, ""},
        {{"codes", "add", "0X", "Lobby"},
         {"reader Lobby has no record in the pairing file pairs.xml: a scan of this code would "
          "toggle nothing"},
         ""},
        {{"codes", "add", "04A1", "Door2"}, {"code 04A1 is already given to reader Door1"}, ""},
        {{"codes", "remove", "FFFF"}, {"code FFFF is not in the database"}, ""},
        {{"codes", "remove", "--", "-h"}, {"code -h is not in the database"}, ""},
        // Every file the configuration names, there or not yet, and what is
        // no regular file: an export there would truncate it or block.
        {{"codes", "export", "access.db"}, {"access.db is the database: nothing written"}, ""},
        {{"codes", "export", "dorvane.conf"}, {"dorvane.conf is the configuration file"}, ""},
        {{"codes", "export", "./pairs.xml"}, {"pairs.xml is the pairing file"}, ""},
        {{"codes", "export", "access.db-journal"}, {"is the database's journal"}, ""},
        {{"codes", "export", "access.db-journal"}, {"is the database's journal"}, "-journal"},
        {{"codes", "export", "access.db-wal"}, {"is the database's -wal file"}, ""},
        {{"codes", "export", "trail.log"}, {"is the log file of appender TRAIL"}, ""},
        {{"codes", "export", "trail.log.2"}, {"is a rolled-over log file of appender TRAIL"}, ""},
        {{"codes", "export", "trail.log.1"}, {"is a rolled-over log file of appender TRAIL"}, ""},
        {{"codes", "export", "service.log"}, {"is the log file of appender F"}, ""},
        {{"codes", "export", "fifo.csv"}, {"fifo.csv cannot be written (", "nothing written"}, ""},
        {{"codes", "export", "."}, {". cannot be written (", "nothing written"}, ""},
        {{"codes", "export", "null.csv"}, {"null.csv is not a regular file: nothing written"}, ""},
        {{"codes", "import", "bad.csv"},
         {"line 2: a double quote", "line 3: more than one comma", "line 4: no comma",
          "line 5: an empty line", "line 6: the reader name holds a control character (\\x1b)",
          "line 7: the code is longer than 127",
          "line 9: code 04D4 is given to reader Door2 on line 8", "line 10: not valid UTF-8",
          "line 11: reader Door9 has no record",
          "line 12: the reader name holds a control character (\\x0d)", "nothing written"},
         ""},
        {{"codes", "import", "empty.csv"},
         {"empty.csv holds no code: importing it would remove every code"},
         ""},
        {{"codes", "import", "good.csv"}, {"a -wal file lies beside the database"}, "-wal"},
        {{"codes", "add", "0Y", "Door1"}, {"a -wal file lies beside the database"}, "-wal"},
    };
    const std::string db = site.file("access.db");
    for (const Case& c : cases) {
        if (c.beside[0] != '\0') {
            testutil::writeFile(db + c.beside, "");
        }
        std::string before = testutil::readFile(db);
        std::vector<std::string> files = names(site);
        struct stat st;
        const std::string target = c.args.size() > 2 ? site.file(c.args[2]) : "";
        bool regular = stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        std::string targetBefore = regular ? testutil::readFile(target) : "";
        CtlRun r = site.ctl(c.args);
        std::string what = c.args[1] + " " + c.args[2].substr(0, 12);
        EXPECT_EQ(1, r.status) << what << "\n" << r.text;
        for (const char* says : c.says) {
            EXPECT_NE(std::string::npos, r.text.find(says)) << what << ": " << says << "\n"
                                                            << r.text;
        }
        EXPECT_TRUE(before == testutil::readFile(db)) << what;
        EXPECT_EQ(files, names(site)) << what;
        EXPECT_TRUE(!regular || targetBefore == testutil::readFile(target)) << what;
        if (c.beside[0] != '\0') {
            unlink((db + c.beside).c_str());
        }
    }
    // An interrupted writer's journal: refused (rolling it into a file that
    // replaced the one it belongs to would change codes), and said once, by
    // the tool itself, by every command that reads the codes.
    testutil::leaveHotJournal(db);
    std::string before = testutil::readFile(db);
    const std::vector<std::vector<std::string>> readers = {{"codes", "import", "good.csv"},
                                                           {"check"},
                                                           {"codes", "list"},
                                                           {"codes", "export"},
                                                           {"--lookup", "04A1"}};
    for (const std::vector<std::string>& args : readers) {
        CtlRun r = site.ctl(args);
        std::vector<std::string> lines = testutil::splitLines(r.text);
        EXPECT_EQ(1, r.status) << r.text;
        EXPECT_EQ(1u, testutil::countContaining(lines, "an interrupted write left the hot journal"))
            << r.text;
        EXPECT_EQ(0u, testutil::countContaining(lines, "ERROR")) << r.text;
    }
    EXPECT_TRUE(before == testutil::readFile(db));
}

// The names in the site's directory that imports make beside the database.
std::vector<std::string> importNames(ServiceSite& site) {
    return testutil::dirNames(site.file(""), ".access.db.new-");
}

// The site's readers, "04A1,Door1" imported (the live database), and an
// import of 200,000 codes started (import.big.csv); *mine: its new file.
std::unique_ptr<Process> bigImport(ServiceSite& site, std::string* mine) {
    readers(site);
    testutil::writeFile(site.file("good.csv"), "04A1,Door1\n");
    EXPECT_EQ(0, site.ctl({"codes", "import", "good.csv"}).status);
    std::string big;
    for (int i = 0; i < 200000; ++i) {
        big += "C" + std::to_string(i) + (i % 2 == 0 ? ",Door1\n" : ",Door2\n");
    }
    testutil::writeFile(site.file("big.csv"), big);
    std::unique_ptr<Process> import(new Process(
        {DORVANE_CTL_BIN, "--config", site.file("dorvane.conf"), "codes", "import", "big.csv"},
        site.file("")));
    *mine = site.file(".access.db.new-" + std::to_string(import->pid()));
    return import;
}

// An import killed while it writes leaves its new file and journal; check
// names them, and the next import removes them, but never the file of an
// import that still runs (it holds the file's lock).
TEST(Provisioning, KilledImportsLeaveNothingForGood) {
    ServiceSite site;
    {
        std::string mine;
        std::unique_ptr<Process> import = bigImport(site, &mine);
        struct stat st;
        // Killed once it writes rows: its journal is there, or the file has grown.
        while (import->wait(1) == -1 && access((mine + "-journal").c_str(), F_OK) != 0 &&
               !(stat(mine.c_str(), &st) == 0 && st.st_size > 0)) {
        }
        ASSERT_EQ(0, kill(import->pid(), SIGKILL)) << "the import ended before it was killed";
        import->wait(10000);
    }
    // One held by a running import (this test holds its lock).
    const std::string running = site.file(".access.db.new-1");
    int held = open(running.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(0, flock(held, LOCK_EX));
    std::vector<std::string> left = importNames(site);
    ASSERT_GE(left.size(), 2u);
    CtlRun r = site.ctl({"check"});
    for (const std::string& n : left) {
        const char* says = n == ".access.db.new-1" ? "): an import is at work on it"
                                                   : ") was left by an import that no longer runs";
        EXPECT_EQ(1u, testutil::countContaining(testutil::splitLines(r.text), "NOTE: " + n + " ("))
            << n << "\n"
            << r.text;
        size_t at = r.text.find("NOTE: " + n + " (");
        EXPECT_NE(std::string::npos, r.text.substr(at, r.text.find('\n', at) - at).find(says))
            << n << "\n"
            << r.text;
    }
    r = site.ctl({"codes", "import", "good.csv"});
    EXPECT_EQ(0, r.status) << r.text;
    EXPECT_EQ(std::vector<std::string>{".access.db.new-1"}, importNames(site)) << r.text;
    EXPECT_NE(std::string::npos, r.text.find("removed, left by an import that no longer runs"))
        << r.text;
    close(held);
    EXPECT_EQ(0, site.ctl({"codes", "import", "good.csv"}).status);
    EXPECT_TRUE(importNames(site).empty());
}

// What comes to lie beside the database while an import builds its set
// (another program turns it to WAL mode): seen again under the write lock,
// so the import renames nothing over it.
TEST(Provisioning, ImportLooksAgainUnderTheLock) {
    ServiceSite site;
    std::string mine;
    std::unique_ptr<Process> started = bigImport(site, &mine);
    Process& import = *started;
    while (import.wait(1) == -1 && access(mine.c_str(), F_OK) != 0) {
    }
    // The import has looked beside the database and builds its file now.
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(site.file("access.db").c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other,
                                      "PRAGMA journal_mode = WAL; INSERT INTO codes VALUES "
                                      "('W1', 'Door1')",
                                      nullptr, nullptr, nullptr))
        << "the import took the lock before the database changed mode";
    int status = import.wait(60000);
    std::string text = import.text();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << text;
    EXPECT_NE(std::string::npos, text.find("a -wal file lies beside the database")) << text;
    EXPECT_TRUE(importNames(site).empty());
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(SQLITE_OK,
              sqlite3_prepare_v2(other, "SELECT count(*) FROM codes", -1, &stmt, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
    EXPECT_EQ(2, sqlite3_column_int(stmt, 0));  // 04A1 and W1: the database as it was
    sqlite3_finalize(stmt);
    sqlite3_close(other);
}

// A database reached through a link: the import replaces the file the
// link names, beside it, and the link stays.
TEST(Provisioning, ImportThroughALinkReplacesTheFileItNames) {
    ServiceSite site;
    readers(site);
    ASSERT_EQ(0, mkdir(site.file("data").c_str(), 0755));
    testutil::writeFile(site.file("one.csv"), "04A1,Door1\n");
    testutil::writeFile(site.file("two.csv"), "04A2,Door2\n");
    ASSERT_EQ(0, symlink("data/real.db", site.file("access.db").c_str()));
    for (const char* file : {"one.csv", "two.csv"}) {
        CtlRun r = site.ctl({"codes", "import", file});
        EXPECT_EQ(0, r.status) << r.text;
        struct stat st;
        ASSERT_EQ(0, lstat(site.file("access.db").c_str(), &st)) << file;
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << file;
        ASSERT_EQ(0, lstat(site.file("data/real.db").c_str(), &st)) << file;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << file;
    }
    EXPECT_EQ("code,reader\n04A2,Door2\n", site.ctl({"codes", "export"}).text);
}

// As a user other than root, an import keeps the old file's group when
// the user belongs to it (the owner it cannot keep).
TEST(Provisioning, ImportByAnotherUserKeepsTheGroup) {
    if (access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "no setpriv to run the tool as another user";
    }
    ServiceSite site;
    readers(site);
    testutil::writeFile(site.file("good.csv"), "04A1,Door1\n");
    ASSERT_EQ(0, site.ctl({"codes", "import", "good.csv"}).status);
    const gid_t kGroup = 4242;  // any number: no such group need exist
    const std::string db = site.file("access.db");
    ASSERT_EQ(0, chown(db.c_str(), 0, kGroup));
    ASSERT_EQ(0, chmod(db.c_str(), 0660));
    ASSERT_EQ(0, chmod(site.file("").c_str(), 0777));
    std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--groups=4242"};
    for (const std::string& w :
         testutil::withEmulator({DORVANE_CTL_BIN, "--config", site.file("dorvane.conf"), "codes",
                                 "import", "good.csv"})) {
        argv.push_back(w);
    }
    Process p(argv, site.file(""), false, true);
    int status = p.wait(30000);
    std::string text = p.text();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_NE(std::string::npos, text.find("mode 660 and group kept")) << text;
    struct stat st;
    ASSERT_EQ(0, stat(db.c_str(), &st));
    EXPECT_EQ(kGroup, st.st_gid);
    EXPECT_EQ(65534u, st.st_uid);
}

// A writer that keeps the lock past the tool's wait: the import refuses
// and the database stays as it was.
TEST(Provisioning, ImportWaitsForAWriterAndRefusesWhenItDoesNotLetGo) {
    // The wait shortened, as dorvanectl lets a test do (the installed 5 s
    // would make this the suite's longest case).
    ASSERT_EQ(0, setenv("DORVANE_CTL_WRITE_WAIT_MS", "300", 1));
    ServiceSite site;
    readers(site);
    testutil::writeFile(site.file("set.csv"), "04A1,Door2\n");
    ASSERT_EQ(0, site.ctl({"codes", "add", "04A1", "Door1"}).status);
    sqlite3* writer = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(site.file("access.db").c_str(), &writer));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(writer,
                                      "BEGIN IMMEDIATE; INSERT INTO codes VALUES "
                                      "('W1', 'Door1')",
                                      nullptr, nullptr, nullptr));
    std::vector<std::string> files = names(site);
    CtlRun r = site.ctl({"codes", "import", "set.csv"});
    EXPECT_EQ(1, r.status) << r.text;
    EXPECT_NE(std::string::npos,
              r.text.find("another writer has held it locked for more than 300 milliseconds"))
        << r.text;
    EXPECT_EQ(files, names(site));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr));
    sqlite3_close(writer);
    r = site.ctl({"codes", "export"});
    EXPECT_EQ("code,reader\n04A1,Door1\nW1,Door1\n", r.text);
}

TEST(Provisioning, RoundTrip) {
    ServiceSite site;
    readers(site);
    // An old database (no checks in its schema) with a table of its own.
    testutil::execSql(site.file("access.db"),
                      "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);"
                      "INSERT INTO codes VALUES ('OLD', 'Door1');"
                      "CREATE TABLE audit (id INTEGER PRIMARY KEY AUTOINCREMENT, what TEXT);"
                      "INSERT INTO audit (what) VALUES ('kept');");
    ASSERT_EQ(0, chmod(site.file("access.db").c_str(), 0640));
    EXPECT_NE(std::string::npos, site.ctl({"check"}).text.find("NOTE: table codes of access.db "
                                                               "was not made by codes.sql"));
    CtlRun r = site.ctl({"codes", "add", "04A2", "Door2"});
    EXPECT_EQ(0, r.status) << r.text;

    testutil::writeFile(
        site.file("set.csv"),
        "\xef\xbb\xbf"
        "code,reader\r\n04A1,Door1\r\n04B2,Door2\r\n04A1,Door1\r\n\xc3\xa9t\xc3\xa9,Door2");
    r = site.ctl({"codes", "import", "set.csv"});
    EXPECT_EQ(0, r.status) << r.text;
    EXPECT_NE(std::string::npos, r.text.find("copied table audit (1 rows)")) << r.text;
    struct stat st;
    ASSERT_EQ(0, stat(site.file("access.db").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ("", sqlError(site.file("access.db"), "SELECT what FROM audit"));
    EXPECT_EQ(std::string::npos, site.ctl({"check"}).text.find("was not made by codes.sql"));

    EXPECT_EQ(0, site.ctl({"codes", "add", "0C0C", "Door1"}).status);
    EXPECT_EQ(0, site.ctl({"codes", "remove", "04B2"}).status);
    // A code stored by hand that the tool would not take in can still be taken out.
    testutil::execSql(site.file("access.db"), "INSERT INTO codes VALUES ('T' || char(9), 'Door1')");
    EXPECT_EQ(0, site.ctl({"codes", "remove", "T\t"}).status);
    // One with a byte-order mark: shown escaped, never exported as if it were "05".
    testutil::execSql(site.file("access.db"),
                      "INSERT INTO codes VALUES (char(65279) || '05', 'Door1')");
    r = site.ctl({"codes", "list"});
    EXPECT_NE(std::string::npos, r.text.find("\\xef\\xbb\\xbf05 ")) << r.text;
    r = site.ctl({"codes", "export"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.text.find("code \\xef\\xbb\\xbf05 left out: the code holds a byte-order mark"))
        << r.text;
    EXPECT_EQ(std::string::npos, r.text.find("\xef\xbb\xbf")) << r.text;
    EXPECT_EQ(0, site.ctl({"codes", "remove",
                           "\xef\xbb\xbf"
                           "05"})
                     .status);
    r = site.ctl({"codes", "export"});
    EXPECT_EQ("code,reader\n04A1,Door1\n\xc3\xa9t\xc3\xa9,Door2\n0C0C,Door1\n", r.text);
    r = site.ctl({"codes", "list", "Door1"});
    EXPECT_NE(std::string::npos, r.text.find("2 codes of reader Door1")) << r.text;
    EXPECT_EQ(0, site.ctl({"codes", "export", "again.csv"}).status);
    EXPECT_EQ(0, site.ctl({"codes", "import", "again.csv"}).status);
    EXPECT_EQ(r.text, site.ctl({"codes", "list", "Door1"}).text);
    // White space at the end of a code stored by hand shows nothing in a
    // column: its row must not read as the row of the code without it.
    testutil::execSql(
        site.file("access.db"),
        "INSERT INTO codes VALUES ('0C0C ', 'Door1'), ('0C0C' || char(160), 'Door1')");
    std::vector<std::string> shown;
    std::istringstream lines(site.ctl({"codes", "list"}).text);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 4, "0C0C") == 0) {
            shown.push_back(line);
        }
    }
    ASSERT_EQ(3u, shown.size());
    size_t said = 0;
    for (const std::string& line : shown) {
        said += line.find("(the code ends with white space)") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(2u, said) << shown[0] << "\n" << shown[1] << "\n" << shown[2];
}

// The schema of codes.sql refuses what the service would never match, on
// any SQLite that opens the file.
TEST(Provisioning, SchemaRefusesRowsTheServiceNeverMatches) {
    ServiceSite site;
    readers(site);
    ASSERT_EQ(0, site.ctl({"codes", "add", "04A1", "Door1"}).status);
    const std::string db = site.file("access.db");
    struct {
        const char* values;
        const char* error;
    } cases[] = {
        {"CAST('B1' AS BLOB), 'Door1'", "code_is_text_of_1_to_127_bytes_without_nul"},
        {"'04A1', 'Door2'", "UNIQUE constraint failed: codes.sc"},
        {"'', 'Door1'", "code_is_text"},
        {"printf('%.128c', 'K'), 'Door1'", "code_is_text"},
        {"'N1' || char(0), 'Door1'", "code_is_text"},
        {"'N2', 'Door1' || char(0) || 'x'", "reader_is_text"},
        {"'N3', NULL", "NOT NULL constraint failed: codes.reader"},
    };
    for (const auto& c : cases) {
        EXPECT_NE(
            std::string::npos,
            sqlError(db, std::string("INSERT INTO codes VALUES (") + c.values + ")").find(c.error))
            << c.values;
    }
    EXPECT_EQ("", sqlError(db, "INSERT INTO codes VALUES (printf('%.127c', 'K'), 'Door2')"));
}

// While the real service scans at full rate, imports switch the code's
// reader back and forth: every scan finds the old reader or the new one,
// and none fails.
TEST(Provisioning, ImportUnderFullRateScans) {
    ServiceSite site;
    readers(site, "", "INFO");
    testutil::writeFile(site.file("one.csv"), "C,Door1\nS,Door1\n");
    testutil::writeFile(site.file("two.csv"), "C,Door2\nS,Door1\n");
    ASSERT_EQ(0, site.ctl({"codes", "import", "one.csv"}).status);
    site.start(kSite, "", "INFO");
    // Scans go in batches faster than the service handles them, so that it
    // is busy scanning while each import builds, checks and renames.
    const int kBatches = 16, kBatch = 200, kScans = kBatches * kBatch;
    std::string batch;
    for (int i = 0; i < kBatch; ++i) {
        batch += "scan 12 C\n";
    }
    for (int i = 0; i < kBatches; ++i) {
        site.sim().write(batch);
        CtlRun r = site.ctl({"codes", "import", i % 2 == 0 ? "two.csv" : "one.csv"});
        ASSERT_EQ(0, r.status) << r.text;
    }
    site.sim().write("scan 12 S\n");
    ASSERT_TRUE(site.waitLog("code=S ", "DorvaneAccess", 60000));
    std::vector<std::string> trail = site.log("DorvaneAccess");
    // The reader found is what counts here; a SET that the loaded machine
    // confirmed late ("partly") is not the database's doing.
    size_t door1 = testutil::countContaining(trail, "code=C reader=Door1 result=");
    size_t door2 = testutil::countContaining(trail, "code=C reader=Door2 result=");
    EXPECT_EQ(size_t(kScans), testutil::countContaining(trail, "code=C "));
    EXPECT_EQ(size_t(kScans), door1 + door2);
    printf("%d imports during %d scans: %zu found Door1, %zu Door2\n", kBatches, kScans, door1,
           door2);
    EXPECT_GT(door1, 0u);
    EXPECT_GT(door2, 0u);
    EXPECT_EQ(0u, site.logCount("ERROR|", "DatabaseHandler"));
    EXPECT_GE(site.logCount("was removed or replaced", "DatabaseHandler"), size_t(kBatches / 2));
}

}  // namespace
