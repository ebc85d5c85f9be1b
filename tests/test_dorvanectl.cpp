#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/service_site.h"
#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

using testutil::FakeDaemon;
using testutil::Process;
using testutil::ServiceSite;

namespace {

// Runs dorvanectl with args in the site's directory; its output is added
// to *out, its exit status returned.
int run(ServiceSite& site, const std::vector<std::string>& args, std::string* out) {
    ServiceSite::CtlRun r = site.ctl(args, 15000);
    *out += r.text;
    return r.status;
}

TEST(Dorvanectl, ConsistentSitePasses) {
    ServiceSite site;
    site.files({{"Door1", "RELAY_1", "LED_1"}}, {{"04A1", "Door1"}, {"04A2", "Door1"}})
        .prepare("port 12 1 dout RELAY_1 clear\nport 12 2 dout LED_1 set\n");
    std::string out;
    EXPECT_EQ(0, run(site, {"--check"}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("Pairing file pairs.xml: 1 records")) << out;
    EXPECT_NE(std::string::npos, out.find("Database access.db: 2 codes")) << out;
    EXPECT_NE(std::string::npos, out.find("2 discrete outputs")) << out;
    EXPECT_NE(std::string::npos, out.find("OK: 0 problems")) << out;

    std::string lookup;
    EXPECT_EQ(0, run(site, {"--lookup", "04A1"}, &lookup)) << lookup;
    EXPECT_NE(std::string::npos, lookup.find("Code 04A1: reader Door1")) << lookup;
    EXPECT_NE(std::string::npos, lookup.find("toggles device 12 port 2 (LED_1), now set"))
        << lookup;
    // Last, the trail line a scan would write, from the service's own class.
    EXPECT_EQ("code=04A1 reader=Door1 result=would-toggle RELAY_1=set LED_1=clear",
              testutil::splitLines(lookup).back())
        << lookup;

    std::string ports;
    EXPECT_EQ(0, run(site, {"--ports"}, &ports)) << ports;
    EXPECT_NE(std::string::npos, ports.find("GET:\nTAG_EVT_OBJTYPE=03 \nTAG_DEV_ID=0000000C \n"))
        << ports;
}

// lookup finds the outputs as the service does at start-up: each output's
// state from its own GET (not the port list's), the list's label, and no
// port after the first object that is no port.
TEST(Dorvanectl, LookupAsksEachPortAsTheServiceDoes) {
    ServiceSite site;
    site.files({{"R", "A", "B"}}, {{"04A1", "R"}}).config();
    FakeDaemon daemon(site.address());
    Process p({DORVANE_CTL_BIN, "--config", site.file("dorvane.conf"), "lookup", "04A1"},
              site.file(""));
    ASSERT_TRUE(daemon.accept());
    auto send = [&](const VMsg& request, const std::vector<cObject*>& objects) {
        cObjectList list;
        for (cObject* o : objects) {
            list.add(o);
        }
        std::unique_ptr<VMsg> msg(ulxobj::toMessage(list, vmsg::MSG_GET, request.mMsgSeq));
        list.deleteObjects();
        daemon.send(*msg);
    };
    auto dout = [](uint32_t id, const char* label, cObject::eObjectIOState state) {
        auto* o = new cObjectDOutput();
        o->setDeviceSerial(5);
        o->setPortId(id);
        o->setPortLabel(label);
        o->setOutputState(state);
        return o;
    };
    auto listQuery = daemon.read();
    ASSERT_NE(nullptr, listQuery);
    send(*listQuery, {dout(1, "A", cObject::OBJ_IO_STATE_CLEAR), new cObject(cObject::OBJ_DEVICE),
                      dout(3, "A", cObject::OBJ_IO_STATE_CLEAR)});
    auto get1 = daemon.read();
    ASSERT_NE(nullptr, get1);
    send(*get1, {dout(1, "OTHER", cObject::OBJ_IO_STATE_SET)});
    EXPECT_EQ(nullptr, daemon.read(1000));  // port 3 is never asked for
    ASSERT_GE(p.wait(10000), 0);
    std::string out = p.text();
    EXPECT_NE(std::string::npos, out.find("toggles device 5 port 1 (A), now set\n")) << out;
    EXPECT_NE(std::string::npos, out.find("the service's own states may differ")) << out;
    EXPECT_EQ("code=04A1 reader=R result=would-toggle A=clear B=no-output",
              testutil::splitLines(out).back())
        << out;
}

TEST(Dorvanectl, InconsistentSiteFailsAndSaysWhy) {
    ServiceSite site;
    testutil::writeFile(site.file("pairs.xml"),
                        "<scl_connections>"
                        "<Reader name=\"Door1\"><IOlabel value=\"RELAY_1\"/>"
                        "<LEDlabel value=\"LED_1\"/></Reader>"
                        "<Reader name=\"Door1\"><IOlabel value=\"RELAY_9\"/>"
                        "<LEDlabel value=\"LED_9\"/></Reader>"
                        "<Reader name=\"Gate\"><IOlabel value=\"G\"/><LEDlabel value=\"\"/>"
                        "</Reader>"
                        "<Reader name=\"Unused\"><IOlabel value=\"RELAY_1\"/>"
                        "<LEDlabel value=\"LED_1\"/></Reader>"
                        "</scl_connections>");
    site.codes({{"04A1", "Door1"}, {"0C0C", "Lobby"}});
    site.prepare("port 12 1 dout RELAY_1 clear\nport 12 2 dout LED_1 set\n");
    std::string out;
    EXPECT_EQ(1, run(site, {"--check"}, &out)) << out;
    for (const char* expected :
         {"Reader #3 (\"Gate\") is left out: empty or missing LED label",
          "reader Door1 has 2 records; the last one wins (IO RELAY_9, LED LED_9)",
          "pairing label RELAY_9 is carried by no discrete output of the site",
          "code 04A1 toggles nothing: no discrete output carries RELAY_9 or LED_9",
          "code 0C0C toggles nothing: reader Lobby has no pairing record",
          "pairing record Unused is named by no code", "FAILED:"}) {
        EXPECT_NE(std::string::npos, out.find(expected)) << expected << "\n" << out;
    }
    std::string lookup;
    EXPECT_EQ(1, run(site, {"--lookup", "FFFF"}, &lookup));
    EXPECT_NE(std::string::npos, lookup.find("not in the database")) << lookup;
}

// A command line that is not understood whole stops the tool before it
// reads or connects to anything: the simulator of the configured site sees
// no client, and nothing is printed but the usage text.
TEST(Dorvanectl, BadCommandLinesAreRefusedBeforeAnythingStarts) {
    ServiceSite site;
    site.files({{"Door1", "RELAY_1", "LED_1"}}, {{"04A1", "Door1"}})
        .prepare("port 12 1 dout RELAY_1 clear\n");
    const std::string conf = site.file("dorvane.conf");
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--config", conf, "--check", "--bogus"}, "command line refused"},
        {{"--config", conf, "--ports", "stray"}, "unexpected argument 'stray'"},
        {{"--config", conf, "--check", "--ports"}, "give exactly one of --check, --lookup"},
        {{"--config", conf}, "no verb given"},
        {{"--config", conf, "--lookup"}, "command line refused"},
        {{"--config", conf, "--lookup="}, "--lookup needs a CODE"},
        {{"--config", conf, "--lookup", std::string(128, 'A')}, "argument not stored"},
        {{"--config", conf, "--config", std::string(4096, 'c'), "--watch"}, "argument not stored"},
        {{"--config=", "--check"}, "--config needs a FILE"},
        {{"--config", conf, "--ports", "--help"}, "--help takes no other option"},
        {{"--help", "--ports"}, "--help takes no other option"},
        {{"-hp"}, "--help takes no other option"},
        {{"--config", conf, "codes", "frob"}, "unknown verb 'codes frob'"},
        {{"--config", conf, "codes", "add", "04A1"}, "codes add takes 2 arguments"},
        {{"--config", conf, "codes", "remove", "04A1", "--force"}, "takes no --force"},
        {{"--config", conf, "codes", "list", "--bogus"}, "unknown option '--bogus'"},
        {{"--config", conf, "lookup", std::string(128, 'A')}, "128 bytes or more never matches"},
        {{"codes", "list", "--config"}, "--config needs a FILE"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {DORVANE_CTL_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testutil::ToolRun run = testutil::runTool(argv, 5000);
        std::string what = c.args.back().substr(0, 20);
        EXPECT_EQ(2, run.status) << what << "\n" << run.err;
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << what << "\n" << run.err;
        EXPECT_TRUE(run.out.empty() || run.out.compare(0, 7, "Usage:\n") == 0) << what << run.out;
    }
    EXPECT_EQ(-1, site.sim().waitFor("CONNECTED", 500));
}

// Codes the service can never match, and a table without "sc", are judged
// by the service's own handler and rules.
TEST(Dorvanectl, DecidesStoredCodesAsTheServiceDoes) {
    ServiceSite site;
    site.pairs({{"Door1", "RELAY_1", "LED_1"}, {"Sentinel", "S_IO", "S_LED"}});
    testutil::execSql(site.file("access.db"),
                      "CREATE TABLE codes (sc, reader);"
                      "INSERT INTO codes VALUES ('S1', 'Sentinel'), (1234, 'Door1'),"
                      "(CAST('B1' AS BLOB), 'Door1'), ('N1', 'Door1' || char(0) || 'junk'),"
                      "(printf('%.128c', 'K'), 'Door1');");
    site.prepare(
        "port 12 1 dout RELAY_1 clear\nport 12 2 dout LED_1 clear\n"
        "port 12 3 dout S_IO clear\nport 12 4 dout S_LED clear\n");
    std::string out;
    EXPECT_EQ(1, run(site, {"--check"}, &out));
    for (const char* expected :
         {"Database access.db: 5 codes",
          "code 1234 toggles nothing: the code is stored as an integer, not as text",
          "code B1 toggles nothing: the code is stored as a blob, not as text",
          "code N1 toggles nothing: the reader name contains a NUL byte",
          "toggles nothing: the code is longer than 127 characters",
          "FAILED: 4 problems, 4 of 5 codes toggle nothing"}) {
        EXPECT_NE(std::string::npos, out.find(expected)) << expected << "\n" << out;
    }
    for (const char* code : {"1234", "B1"}) {
        std::string lookup;
        EXPECT_EQ(1, run(site, {"--lookup", code}, &lookup));
        EXPECT_NE(std::string::npos, lookup.find("not in the database")) << lookup;
    }
    std::string lookup;
    EXPECT_EQ(1, run(site, {"--lookup", "N1"}, &lookup));
    EXPECT_NE(std::string::npos, lookup.find("Code N1: its row names no usable reader")) << lookup;

    ASSERT_EQ(0, unlink(site.file("access.db").c_str()));
    testutil::execSql(site.file("access.db"),
                      "CREATE TABLE codes (code, reader);"
                      "INSERT INTO codes VALUES ('sc', 'Door1');");
    out.clear();
    EXPECT_EQ(1, run(site, {"--check"}, &out));
    EXPECT_NE(std::string::npos,
              out.find("PROBLEM: database access.db cannot be read: no such column: sc"))
        << out;
    lookup.clear();
    EXPECT_EQ(1, run(site, {"--lookup", "sc"}, &lookup));
    EXPECT_NE(std::string::npos, lookup.find("Code sc: the database access.db cannot be searched"))
        << lookup;
}

// A code stored for two readers, a hot journal and WAL mode: found by the
// service's own rule and handler, said with what to do, and the trail line
// a scan would write says what the service would write.
TEST(Dorvanectl, AmbiguousCodesAndJournalsAreFound) {
    ServiceSite site;
    site.pairs({{"Door1", "RELAY_1", "LED_1"}, {"Door2", "RELAY_1", "LED_1"}});
    std::string db = site.file("access.db");
    testutil::execSql(db,
                      "CREATE TABLE codes (sc TEXT, reader);"
                      "INSERT INTO codes VALUES ('04A1', 'Door1'), ('04A1', 'Door2'),"
                      "('04A2', 'Door1'), ('04A2', 'Door1'), ('04A3', '5'), ('04A3', 5);");
    site.prepare("port 12 1 dout RELAY_1 clear\nport 12 2 dout LED_1 clear\n");
    std::string out, lookup;
    EXPECT_EQ(1, run(site, {"--check"}, &out));
    EXPECT_EQ(0, run(site, {"--lookup", "04A2"}, &lookup)) << lookup;
    EXPECT_EQ(1, run(site, {"--lookup", "04A1"}, &lookup));
    EXPECT_EQ("code=04A1 result=ambiguous-code", testutil::splitLines(lookup).back());
    for (const char* expected :
         {"PROBLEM: code 04A1 is stored for more than one reader (\"Door1\", \"Door2\"): a scan "
          "opens nothing",
          "PROBLEM: code 04A3 is stored for more than one reader (\"5\", \"5\")",
          "FAILED: 2 problems, 4 of 6 codes toggle nothing",
          "Code 04A1: stored for more than one reader (\"Door1\", \"Door2\"): nothing toggles"}) {
        EXPECT_NE(std::string::npos, (out + lookup).find(expected)) << expected << "\n"
                                                                    << out << lookup;
    }

    testutil::leaveHotJournal(db);
    out.clear();
    lookup.clear();
    EXPECT_EQ(1, run(site, {"--check"}, &out));
    EXPECT_EQ(1, run(site, {"--lookup", "04A2"}, &lookup));
    EXPECT_EQ("code=04A2 result=lookup-failed", testutil::splitLines(lookup).back());
    EXPECT_NE(std::string::npos,
              out.find("PROBLEM: database access.db cannot be read: an interrupted write left the "
                       "hot journal access.db-journal"))
        << out;
    EXPECT_NE(std::string::npos, out.find("sqlite3 access.db 'PRAGMA quick_check'")) << out;
    // Said once, by check itself, and not as if the database were empty.
    EXPECT_EQ(1u, testutil::countContaining(testutil::splitLines(out), "hot journal")) << out;
    EXPECT_EQ(0u, testutil::countContaining(testutil::splitLines(out), "ERROR")) << out;
    EXPECT_NE(std::string::npos, out.find("FAILED: 1 problem, the database could not be read\n"))
        << out;
    EXPECT_EQ(0, access((db + "-journal").c_str(), F_OK)) << "a reader rolled it back";

    testutil::execSql(db, "PRAGMA journal_mode = WAL;");
    out.clear();
    EXPECT_EQ(1, run(site, {"--check"}, &out));
    EXPECT_NE(
        std::string::npos,
        out.find("PROBLEM: database access.db is in WAL mode, which the service reads only when "
                 "it may create the -shm file beside it; to keep rollback-journal mode: "
                 "systemctl stop dorvane && sqlite3 access.db 'PRAGMA journal_mode=DELETE' "
                 "&& systemctl start dorvane"))
        << out;
}

// Codes, reader names and labels reach a terminal: control characters are
// escaped, printable text stays as it is.
TEST(Dorvanectl, ValuesArePrintedWithControlCharactersEscaped) {
    ServiceSite site;
    site.files({{"Door 1", "RELAY_1", "LED\x7f"}},  // XML holds no ESC
               {{"C\x1b[1m", "Gate\n"}, {"04A1", "Door 1"}})
        .prepare("port 12 1 dout RELAY_1 clear\n");
    std::string out, lookup;
    EXPECT_EQ(1, run(site, {"--check"}, &out)) << out;
    EXPECT_EQ(0, run(site, {"--lookup", "04A1"}, &lookup)) << lookup;
    EXPECT_EQ(1, run(site, {"--lookup", "C\x1b[1m"}, &lookup)) << lookup;
    for (const char* expected :
         {"code C\\x1b[1m toggles nothing: reader Gate\\x0a has no pairing record",
          "pairing label LED\\x7f is carried by no discrete output", "Code 04A1: reader Door 1\n",
          "LED label LED\\x7f\n", "Code C\\x1b[1m: reader Gate\\x0a\n"}) {
        EXPECT_NE(std::string::npos, (out + lookup).find(expected)) << expected << "\n"
                                                                    << out << lookup;
    }
    EXPECT_EQ(std::string::npos, (out + lookup).find_first_of("\x1b\x7f"));
}

TEST(Dorvanectl, FilesThatAreNoFilesNeitherHangNorPass) {
    ServiceSite site;
    site.codes({{"04A1", "Door1"}});
    site.config();
    // A pairing file that is a FIFO without a writer: refused, never opened.
    ASSERT_EQ(0, mkfifo(site.file("pairs.xml").c_str(), 0600));
    std::string out;
    EXPECT_EQ(1, run(site, {"--check"}, &out)) << out;
    EXPECT_NE(std::string::npos,
              out.find("PROBLEM: pairing file pairs.xml is refused whole: cannot be read: not a "
                       "regular file"))
        << out;
    // A configuration file without end: refused, the defaults are checked.
    ASSERT_EQ(0, unlink(site.file("dorvane.conf").c_str()));
    ASSERT_EQ(0, symlink("/dev/zero", site.file("dorvane.conf").c_str()));
    out.clear();
    EXPECT_EQ(1, run(site, {"--check"}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("Failed to load input file " + site.file("dorvane.conf") +
                                          ": not a regular file"))
        << out;
}

}  // namespace
