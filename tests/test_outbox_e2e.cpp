// The outbox end to end: the real service and the simulated site, every
// result word, codes and labels that the trail must escape or cut; each
// event is checked against the trail line of the same scan by a strict JSON
// parser (tests/data/check_events.py). No broker: the outbox is a folder.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/notify_listener.h"
#include "tests/service_site.h"

using testutil::repeated;
using testutil::ServiceSite;
using testutil::waitLines;

TEST(OutboxEndToEnd, EveryEventSaysWhatItsTrailLineSays) {
    const std::string label(64, 'L');
    const std::string rle = "\xe2\x80\xae";  // U+202E: escaped by the trail
    const std::string bidiReader = repeated(rle, 42);
    const std::string quoteReader = "Front door \\ 1";
    std::string invalid;
    for (int i = 0; i < 127; ++i) {
        invalid += static_cast<char>(i % 2 == 0 ? 0xff : 0xc0);
    }
    // A scan queued behind one whose SETs go unanswered waits past this bound.
    testutil::ServiceTimings expiry("scan_expiry=3000");
    ServiceSite site;
    site.pairs({{"Door1", "RELAY_1", "LED_1"},
                {"Lobby", "NONE", "NONE"},
                {"Typo", "RELAY_l", "LED_1"},
                {quoteReader, "RELAY_1", "LED_1"},
                {bidiReader, label, label}});
    // A table without a key, so that one code can name two readers.
    auto quote = [](const std::string& s) {
        std::string out = "'";
        for (char c : s) {
            out += c == '\'' ? std::string("''") : std::string(1, c);
        }
        return out + "'";
    };
    std::string sql =
        "CREATE TABLE codes (sc TEXT, reader TEXT); INSERT INTO codes VALUES "
        "('04A1','Door1'), ('0C0C','Ghost'), ('L1','Lobby'), ('T1','Typo'), "
        "('AMB','Door1'), ('AMB','Lobby'), ('T\xc3\xbcr-\xe6\xbc\xa2','Door1'), ";
    sql += "(" + quote("a\\b\"c") + "," + quote(quoteReader) + "), (cast(x'" +
           [&] {
               std::string hex;
               char h[3];
               for (unsigned char c : invalid) {
                   snprintf(h, sizeof(h), "%02x", c);
                   hex += h;
               }
               return hex;
           }() +
           "' as text)," + quote(bidiReader) + ");";
    testutil::execSql(site.file("access.db"), sql);
    const std::string kSite =
        "port 12 1 dout RELAY_1 clear\nport 12 2 dout LED_1 clear\n"
        "port 12 3 dout " +
        label + " clear\n";
    site.start(kSite, std::string("outbox=outbox\noutboxLimit=1048576\n") + testutil::kTrailToFile);

    site.sim().write(
        "seq 7\nscan 12 04A1\nscan 12 FFFF\nscan 3 0C0C\nscan 3 L1\nscan 3 T1\n"
        "scan 3 AMB\n");
    site.sim().write(testutil::rawCommand(*testutil::accessEvent(
        {"a \"b\"\nc", "a\\b\"c", "T\xc3\xbcr-\xe6\xbc\xa2", "x" + invalid, invalid, "b\\s\x01"},
        0x2B, 4)));
    ASSERT_EQ(12u, waitLines(site.file("trail.log"), 12).size());
    // The database gone: the lookup fails.
    ASSERT_EQ(0, unlink(site.file("access.db").c_str()));
    site.sim().write("scan 12 04A1\n");
    ASSERT_EQ(13u, waitLines(site.file("trail.log"), 13).size());
    testutil::execSql(site.file("access.db"), sql);
    // Neither SET answered: unconfirmed outputs.
    site.stopSim();
    ASSERT_TRUE(site.startSim(kSite, {"--no-set-reply"}));
    ASSERT_GE(site.sim().waitFor("CONNECTED"), 0);
    site.sim().write("seq 200\nscan 12 04A1\nscan 12 04A1\n");
    std::vector<std::string> trail = waitLines(site.file("trail.log"), 15);
    ASSERT_EQ(15u, trail.size());
    ASSERT_EQ(15u, waitLines(site.file("outbox/current"), 15).size());

    // Every result word the service writes is among them.
    std::string all;
    for (const std::string& line : trail) {
        all += line + "\n";
    }
    for (const char* word : {"toggled", "partly", "unknown-code", "ambiguous-code", "lookup-failed",
                             "no-pairing-record", "no-matching-output", "expired"}) {
        EXPECT_NE(std::string::npos, all.find(std::string("result=") + word)) << word;
    }
    EXPECT_NE(std::string::npos, all.find("...\" omitted=")) << all;
    EXPECT_NE(std::string::npos, all.find("(unconfirmed)")) << all;

    std::string checked =
        testutil::runShell("python3 " DORVANE_TEST_DATA "/check_events.py " +
                           site.file("trail.log") + " " + site.file("outbox/current"));
    EXPECT_EQ("CHECKED 15\n", checked);

    // The folder and its files, and the status beside them.
    struct stat st {};
    ASSERT_EQ(0, stat(site.file("outbox").c_str(), &st));
    EXPECT_EQ(02770u, st.st_mode & 07777u);
    ASSERT_EQ(0, stat(site.file("outbox/current").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777u);
    std::string status = testutil::readFile(site.file("outbox/status"));
    EXPECT_NE(std::string::npos, status.find("connected to the site daemon; 3 outputs known"))
        << status;
}

// An outbox path that is not a folder: the door goes on, one line says so and
// the status too; once the path is free, the service makes the folder, a
// line says how many events were lost, and a lost event names them before
// the next event.
TEST(OutboxEndToEnd, FolderThatCannotBeWrittenKeepsTheDoorGoing) {
    testutil::NotifyListener manager("0");
    ServiceSite site;
    site.files({{"Door1", "A", "B"}}, {{"04A1", "Door1"}});
    testutil::writeFile(site.file("outbox"), "in the way");
    site.start(testutil::kTwoOutputs, "outbox=outbox\n");
    site.sim().write("scan 12 04A1\nscan 12 04A1\n");
    ASSERT_TRUE(site.waitSets(4));
    EXPECT_GE(manager.waitFor("outbox cannot be written", 5000), 0);
    ASSERT_TRUE(site.waitLog("cannot be written (not a folder)", "Outbox"));
    EXPECT_EQ(1u, site.logCount("cannot be written", "Outbox"));

    ASSERT_EQ(0, unlink(site.file("outbox").c_str()));
    site.sim().write("scan 12 04A1\n");
    ASSERT_TRUE(site.waitSets(6));
    ASSERT_TRUE(site.waitLog("written again; 2 events were lost", "Outbox"));
    std::vector<std::string> lines = waitLines(site.file("outbox/current"), 2);
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("\"type\":\"lost\""));
    EXPECT_NE(std::string::npos, lines[0].find("\"reason\":\"unwritable\",\"count\":2,"));
    EXPECT_NE(std::string::npos, lines[1].find("\"result\":\"toggled\""));
    // The status file follows: written again, without the complaint.
    std::string status;
    for (int i = 0; i < 100; ++i) {
        status = testutil::readFile(site.file("outbox/status"));
        if (!status.empty() && status.find("outbox") == std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(std::string::npos, status.find("database open")) << status;
    EXPECT_EQ(std::string::npos, status.find("outbox cannot be written")) << status;
}
