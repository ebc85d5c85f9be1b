#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "service_site.h"

using testutil::Process;
using testutil::ServiceSite;

namespace {

// Runs dorvanectl with args in the site's directory; returns its exit status.
int run(ServiceSite& site, const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> argv = {DORVANE_BIN_DIR "/tools/dorvanectl", "--config",
                                     site.file("dorvane.conf")};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(argv, site.file(""));
    int status = p.wait(15000);
    for (const std::string& l : p.lines()) {
        *out += l + "\n";
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Dorvanectl, ConsistentSitePasses) {
    ServiceSite site("127.0.3.2");
    site.pairs({{"Door1", "RELAY_1", "LED_1"}});
    site.codes({{"04A1", "Door1"}, {"04A2", "Door1"}});
    site.config();
    site.startSim("port 12 1 dout RELAY_1 clear\nport 12 2 dout LED_1 set\n");
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

TEST(Dorvanectl, InconsistentSiteFailsAndSaysWhy) {
    ServiceSite site("127.0.3.3");
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
    site.config();
    site.startSim("port 12 1 dout RELAY_1 clear\nport 12 2 dout LED_1 set\n");
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

}  // namespace
