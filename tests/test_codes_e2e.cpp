// The access database as a hostile site may build it, end to end with the
// real service (dorvanectl's view of it: test_dorvanectl.cpp): codes stored as numbers or blobs,
// texts with a NUL byte, a table without the "sc" column, a FIFO in place of the file, a file
// copied over in place, a code stored for two readers, lookups that cannot run. Every
// wrong-door case toggles nothing: a sentinel scan sent afterwards shows only its own outputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/notify_listener.h"
#include "tests/service_site.h"
#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

using testutil::NotifyListener;
using testutil::ServiceSite;

namespace {

const char* kSite =
    "port 12 1 dout RELAY_1 clear\n"
    "port 12 2 dout LED_1 clear\n"
    "port 12 3 dout S_IO clear\n"
    "port 12 4 dout S_LED clear\n"
    "port 12 5 dout RELAY_2 clear\n"
    "port 12 6 dout LED_2 clear\n";

void pairs(ServiceSite& site) {
    site.pairs({{"Door1", "RELAY_1", "LED_1"},
                {"Door2", "RELAY_2", "LED_2"},
                {"5", "RELAY_1", "LED_1"},
                {"Sentinel", "S_IO", "S_LED"}});
}

// Builds the database from sql beside access.db and renames it into place,
// as a site replaces its database.
void putDatabase(ServiceSite& site, const std::string& sql) {
    std::string next = site.file("next.db");
    unlink(next.c_str());
    testutil::execSql(next, sql);
    ASSERT_EQ(0, rename(next.c_str(), site.file("access.db").c_str()));
}

// Sends the codes in one event, then the sentinel scan S1; true when the
// only outputs toggled since are the sentinel's two.
bool onlySentinelToggles(ServiceSite& site, const std::vector<std::string>& codes) {
    size_t before = site.sets().size();
    site.sim().write(testutil::rawCommand(*testutil::accessEvent(codes)));
    site.sim().write("scan 12 S1\n");
    if (!site.waitSets(before + 2)) {
        return false;
    }
    usleep(200000);
    std::vector<std::string> all = site.sets();
    return all.size() == before + 2 && all[before].find("label=S_IO ") != std::string::npos &&
           all[before + 1].find("label=S_LED ") != std::string::npos;
}

TEST(CodesEndToEnd, CodesThatAreNotTheSameTextOpenNothing) {
    ServiceSite site;
    pairs(site);
    putDatabase(site,
                "CREATE TABLE codes (sc INTEGER UNIQUE, reader TEXT);"
                "INSERT INTO codes VALUES (1234, 'Door1'), ('S1', 'Sentinel');");
    site.start(kSite);
    EXPECT_TRUE(
        onlySentinelToggles(site, {"01234", " 1234", "1234.0", "1.234e3", "+1234", "1234"}));

    putDatabase(site,
                "CREATE TABLE codes (sc NUMERIC PRIMARY KEY, reader TEXT);"
                "INSERT INTO codes VALUES ('0042', 'Door1'), (CAST('B1' AS BLOB), 'Door1'),"
                "('N1', 'Door1' || char(0) || 'junk'), ('S1', 'Sentinel');");
    EXPECT_TRUE(onlySentinelToggles(site, {"42", "0042", "B1", "N1"}));
    EXPECT_EQ(1u, site.logCount("the reader of the row found contains a NUL byte; it is refused",
                                "DatabaseHandler"));

    // Without a column "sc" the lookup is an error, said once for this
    // database, however many scans follow.
    putDatabase(site,
                "CREATE TABLE codes (code TEXT, reader TEXT);"
                "INSERT INTO codes VALUES ('sc', 'Door1'), ('S1', 'Sentinel');");
    site.sim().write("scan 12 sc\nscan 12 sc\nscan 12 S1\n");
    ASSERT_GE(site.service().waitFor("scanCode:S1"), 0);
    usleep(300000);
    EXPECT_EQ(1u, site.logCount("no such column: sc", "DatabaseHandler"));
    putDatabase(site,
                "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);"
                "INSERT INTO codes VALUES ('S1', 'Sentinel');");
    EXPECT_TRUE(onlySentinelToggles(site, {"sc"}));
}

TEST(CodesEndToEnd, FifoAtTheDatabasePathBlocksNothing) {
    ServiceSite site;
    pairs(site);
    ASSERT_EQ(0, mkfifo(site.file("access.db").c_str(), 0600));
    site.start(kSite);
    EXPECT_GE(site.logCount("access.db: not a regular file", "DatabaseHandler"), 1u);
    site.sim().write("scan 12 S1\n");
    ASSERT_GE(site.service().waitFor("scanCode:S1"), 0);
    ASSERT_EQ(0, unlink(site.file("access.db").c_str()));
    putDatabase(site,
                "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);"
                "INSERT INTO codes VALUES ('S1', 'Sentinel');");
    EXPECT_TRUE(onlySentinelToggles(site, {}));
}

// The labels of the SETs after the first 'from', in order.
std::vector<std::string> labelsSet(ServiceSite& site, size_t from) {
    std::vector<std::string> labels;
    std::vector<std::string> sets = site.sets();
    for (size_t i = from; i < sets.size(); ++i) {
        const std::string& set = sets[i];
        size_t at = set.find("label=");
        labels.push_back(set.substr(at + 6, set.find(' ', at) - at - 6));
    }
    return labels;
}

// Waits until n lines of the category contain text.
bool waitCount(ServiceSite& site, const std::string& text, const std::string& category, size_t n) {
    testutil::waitUntil([&] { return site.logCount(text, category) >= n; });
    return site.logCount(text, category) == n;
}

// A scan of code toggles exactly the outputs labelled io and led.
bool opens(ServiceSite& site, const std::string& code, const std::string& io,
           const std::string& led) {
    size_t before = site.sets().size();
    site.sim().write("scan 12 " + code + "\n");
    return site.waitSets(before + 2) &&
           labelsSet(site, before) == std::vector<std::string>{io, led};
}

// A provisioning tool copies a new database over the live one (cp: same
// inode). Both were made by the same number of transactions, so SQLite's
// change counter is the same and only the file's times tell them apart.
TEST(CodesEndToEnd, DatabaseCopiedOverInPlaceIsReadAfresh) {
    ServiceSite site;
    pairs(site);
    std::string db = site.file("access.db");
    std::string next = site.file("next.db");
    const char* table = "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);";
    testutil::execSql(db, std::string(table) +
                              "INSERT INTO codes VALUES ('04A1', 'Door1'), ('0C0C', 'Door1'),"
                              "('S1', 'Sentinel');");
    testutil::execSql(next, std::string(table) +
                                "INSERT INTO codes VALUES ('04A1', 'Door2'), ('S1', 'Sentinel');");
    std::string oldBytes = testutil::readFile(db), newBytes = testutil::readFile(next);
    ASSERT_EQ(oldBytes.size(), newBytes.size());
    ASSERT_EQ(oldBytes.substr(24, 4), newBytes.substr(24, 4)) << "change counters differ";
    site.start(kSite);
    ASSERT_TRUE(opens(site, "04A1", "RELAY_1", "LED_1"));  // the old content is cached

    struct stat before, after;
    ASSERT_EQ(0, stat(db.c_str(), &before));
    testutil::writeFile(db, newBytes);
    // Its old times given back (cp --preserve=timestamps, rsync -t): only
    // the change time, which no one can set, tells the files apart.
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(0, utimensat(AT_FDCWD, db.c_str(), times, 0));
    ASSERT_EQ(0, stat(db.c_str(), &after));
    ASSERT_EQ(before.st_ino, after.st_ino);
    ASSERT_EQ(before.st_size, after.st_size);
    ASSERT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    ASSERT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_TRUE(opens(site, "04A1", "RELAY_2", "LED_2"));
    EXPECT_TRUE(onlySentinelToggles(site, {"0C0C"}));  // revoked
}

// Rows of one code that name different readers (a table without a key):
// which row SQLite yields first depends on its plan, which an index
// changes, so no door opens, whichever. A refused reader value counts as a
// reader of its own; rows that agree still open their door.
TEST(CodesEndToEnd, CodeStoredForTwoReadersOpensNothing) {
    ServiceSite site;
    pairs(site);
    const char* rows =
        "CREATE TABLE codes (sc TEXT, reader TEXT);"
        "INSERT INTO codes VALUES ('04A1', 'Door2'), ('04A1', 'Door1'), ('0C0C', 'Door1'),"
        "('0C0C', 'Door1' || char(0) || 'x'), ('0D0D', 'Door1'), ('0D0D', 'Door1'),"
        "('S1', 'Sentinel');";
    putDatabase(site, rows);
    site.start(kSite);
    size_t ambiguous = 0;
    for (const char* index : {"", "CREATE INDEX codes_sc ON codes (sc, reader);"}) {
        SCOPED_TRACE(index);
        putDatabase(site, std::string(rows) + index);
        EXPECT_TRUE(onlySentinelToggles(site, {"04A1", "0C0C"}));
        ambiguous += 2;
        EXPECT_EQ(ambiguous, site.logCount("result=ambiguous-code", "DorvaneAccess"));
        EXPECT_TRUE(opens(site, "0D0D", "RELAY_1", "LED_1"));
    }
    EXPECT_EQ(2u, site.logCount("INFO|Scancode 04A1 is stored for more than one reader"));
    EXPECT_EQ(2u, site.logCount("\"Door1\", \"\"): nothing toggles"));
    EXPECT_EQ(0u, site.logCount("Found Reader Door2"));
    EXPECT_EQ(0u, site.logCount("Found Reader Door1 for scancode 04A1"));

    // Rows that agree only in their bytes: a reader stored as text and as
    // an integer (a column without affinity) are two answers, not one.
    putDatabase(site,
                "CREATE TABLE codes (sc TEXT, reader);"
                "INSERT INTO codes VALUES ('0E0E', '5'), ('0E0E', 5), ('S1', 'Sentinel');");
    EXPECT_TRUE(onlySentinelToggles(site, {"0E0E"}));
    EXPECT_EQ(1u, site.logCount("code=0E0E result=ambiguous-code", "DorvaneAccess"));
}

// A lookup that could not run is written as such, with its reason, never
// as an unknown card; it opens nothing, and once the cause is gone the next
// scan works. A hot journal is explained with its remedy once, not at every
// scan, and the status says the database cannot be read meanwhile.
TEST(CodesEndToEnd, LookupThatCannotRunIsNotAnUnknownCard) {
    NotifyListener manager("0");
    ServiceSite site;
    pairs(site);
    const std::string good =
        "CREATE TABLE codes (sc TEXT PRIMARY KEY, reader TEXT);"
        "INSERT INTO codes VALUES ('04A1', 'Door1'), ('S1', 'Sentinel');";
    putDatabase(site, good);
    site.start(kSite);
    std::string db = site.file("access.db");
    sqlite3* writer = nullptr;
    struct Cause {
        const char* name;
        std::function<void()> make, mend;
        const char* reason;
    } causes[] = {
        {"locked past the busy timeout",
         [&] {
             ASSERT_EQ(SQLITE_OK, sqlite3_open(db.c_str(), &writer));
             ASSERT_EQ(SQLITE_OK,
                       sqlite3_exec(writer, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
         },
         [&] { sqlite3_close(writer); }, "database is locked"},
        {"deleted", [&] { ASSERT_EQ(0, unlink(db.c_str())); }, [&] { putDatabase(site, good); },
         "No such file or directory"},
        {"not a database", [&] { testutil::writeFile(db, std::string(4096, 'j')); },
         [&] {
             ASSERT_EQ(0, unlink(db.c_str()));
             putDatabase(site, good);
         },
         "file is not a database"},
        {"broken schema",
         [&] { putDatabase(site, "CREATE TABLE codes (code TEXT, reader TEXT);"); },
         [&] { putDatabase(site, good); }, "no such column: sc"},
        {"hot journal", [&] { testutil::leaveHotJournal(db); },
         [&] { testutil::execSql(db, "PRAGMA quick_check"); },
         "an interrupted write left a hot journal"},
    };
    const std::string failure = "ERROR|lookup of scancode 04A1 failed, nothing toggles: ";
    size_t failed = 0;
    for (const Cause& c : causes) {
        SCOPED_TRACE(c.name);
        size_t mark = manager.messages().size();
        c.make();
        site.sim().write("scan 12 04A1\nscan 12 04A1\n");
        failed += 2;
        ASSERT_TRUE(waitCount(site, "code=04A1 result=lookup-failed", "DorvaneAccess", failed));
        std::vector<std::string> lines = site.log();
        EXPECT_EQ(failed, testutil::countContaining(lines, failure));
        EXPECT_EQ(2u, testutil::countContaining(lines, std::string(failure) + c.reason));
        EXPECT_GE(manager.waitFor("database cannot be read", 3000, mark), 0);
        if (std::string(c.name) == "hot journal") {  // the remedy: once, not at each scan
            EXPECT_EQ(1u, site.logCount("ERROR|cannot read database access.db: an interrupted "
                                        "write left the hot journal access.db-journal",
                                        "DatabaseHandler"));
        }
        mark = manager.messages().size();
        c.mend();
        EXPECT_TRUE(onlySentinelToggles(site, {}));
        EXPECT_GE(manager.waitFor("database open", 3000, mark), 0);
    }
    EXPECT_TRUE(opens(site, "04A1", "RELAY_1", "LED_1"));
    EXPECT_EQ(0u, site.logCount("result=unknown-code", "DorvaneAccess"));
}

}  // namespace
