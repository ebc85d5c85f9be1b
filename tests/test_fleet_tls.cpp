// The fleet link over TLS to a real mosquitto broker with a CA made by the
// test: the right CA and credentials work; a wrong CA and a wrong password
// are refused with one clear line, however often the link tries again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/fleet_support.h"
#include "tests/support/loopback.h"
#include "tests/test_util.h"

using namespace testutil;

namespace {

constexpr int kPort = 8883;

void run(const std::vector<std::string>& argv) {
    ToolRun result = runTool(argv, 60000);
    ASSERT_EQ(result.status, 0) << argv[0] << " " << argv[1] << ": " << result.err;
}

// A CA named name in dir: name.key, name.crt.
void makeCa(const std::string& dir, const std::string& name) {
    run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
         "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", dir + "/" + name + ".key", "-out",
         dir + "/" + name + ".crt", "-days", "2", "-subj", "/CN=" + name});
}

// The broker's key and certificate for address host, signed by the CA ca.
void makeServerCert(const std::string& dir, const std::string& ca, const std::string& host) {
    writeFile(dir + "/ext", "subjectAltName=IP:" + host + "\n");
    run({"/usr/bin/openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", dir + "/server.key", "-out", dir + "/server.csr", "-subj",
         "/CN=broker"});
    run({"/usr/bin/openssl", "x509", "-req", "-in", dir + "/server.csr", "-CA",
         dir + "/" + ca + ".crt", "-CAkey", dir + "/" + ca + ".key", "-CAcreateserial", "-out",
         dir + "/server.crt", "-days", "2", "-extfile", dir + "/ext"});
}

}  // namespace

TEST(FleetLink, TlsWithATestCaAndRefusalsSaidOnce) {
    TempDir dir;
    std::string host = loopbackAddress(1);
    makeCa(dir.path(), "ca");
    makeCa(dir.path(), "other");
    makeServerCert(dir.path(), "ca", host);
    run({"/usr/bin/mosquitto_passwd", "-b", "-c", dir.file("passwd"), "unit1", "s3cret"});
    MqttBroker broker(dir.path(), host, kPort,
                      "cafile " + dir.file("ca.crt") + "\ncertfile " + dir.file("server.crt") +
                          "\nkeyfile " + dir.file("server.key") +
                          "\nallow_anonymous false\npassword_file " + dir.file("passwd") + "\n");
    broker.start();
    // The password file ends with a line end, which is not the password's.
    writeFile(dir.file("good-password"), "s3cret\n");
    writeFile(dir.file("bad-password"), "wrong\n");

    const struct {
        std::string name, ca, password, said;
    } cases[] = {
        {"wrong-ca", "other", "good-password", "certificate verify failed"},
        {"wrong-password", "ca", "bad-password", "the broker refused the connection"},
        {"right", "ca", "good-password", "connected to " + host},
    };
    for (const auto& c : cases) {
        std::string sub = dir.file(c.name);
        mkdir(sub.c_str(), 0700);
        std::string config =
            writeLinkConfig(sub, host, kPort,
                            "caFile=" + dir.file(c.ca + ".crt") +
                                "\nuser=unit1\npasswordFile=" + dir.file(c.password) + "\n");
        OutboxWriter out(sub + "/outbox", "0123456789abcdef");
        out.access();
        auto link = startLink(config);
        EXPECT_GE(link->waitFor(c.said, 20000), 0) << c.name;
        if (c.name == "right") {
            // The broker acknowledged the event: the cursor moved past it.
            bool acked = false;
            for (int i = 0; i < 200 && !acked; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                acked =
                    readFile(sub + "/state/cursor").find("id " + out.id(1)) != std::string::npos;
            }
            EXPECT_TRUE(acked);
            EXPECT_EQ(countContaining(link->lines(), "cannot connect"), 0U);
            continue;
        }
        // Two more tries (after 1 s and 2 s) say nothing more.
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        std::vector<std::string> lines = link->lines();
        EXPECT_EQ(countContaining(lines, "cannot connect"), 1U) << c.name;
        EXPECT_EQ(countContaining(lines, c.said), 1U) << c.name;
    }
}
