// The access database as a hostile site may build it, end to end with the
// real service (dorvanectl's view of it: test_dorvanectl.cpp): codes stored as numbers or blobs,
// texts with a NUL byte, a table without the "sc" column, a FIFO in place of the file. Every
// wrong-door case toggles nothing: a sentinel scan sent afterwards shows only its own outputs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ObjectCodec.h"
#include "VWire.h"
#include "service_site.h"

using testutil::ServiceSite;

namespace {

const char* kSite =
    "port 12 1 dout RELAY_1 clear\n"
    "port 12 2 dout LED_1 clear\n"
    "port 12 3 dout S_IO clear\n"
    "port 12 4 dout S_LED clear\n";

void pairs(ServiceSite& site) {
    site.pairs({{"Door1", "RELAY_1", "LED_1"}, {"Sentinel", "S_IO", "S_LED"}});
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

}  // namespace
