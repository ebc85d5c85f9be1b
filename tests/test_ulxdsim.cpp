// The simulator's own command line, site file and clients.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/service_site.h"
#include "ulxobj/ObjectCodec.h"
#include "ulxobj/cObject.h"
#include "vmsg/VFrameReader.h"
#include "vmsg/VWire.h"

using testutil::Process;
using testutil::TempDir;

namespace {

const char* kSim = DORVANE_SIM_BIN;

TEST(UlxdSim, BadCommandLinesAndSiteFilesAreRefused) {
    TempDir dir;
    const std::string good = dir.file("good.txt"), bad = dir.file("bad.txt");
    testutil::writeFile(good, "port 12 1 dout A clear\n");
    testutil::writeFile(bad, "port 12 1 dout A\nport x 1 dout B\n# fine\nport 12 2 din C set\n");
    testutil::writeFile(dir.file("none.txt"), "# no port\n\n");
    struct Case {
        std::vector<std::string> args;  // after --host and --site of a good site
        std::vector<std::string> messages;
        bool usage;
    } cases[] = {
        {{"--port", "70000"}, {"--port must be a whole number from 1 to 65535, not '70000'"}, 0},
        {{"--port", "abc"}, {"not 'abc'"}, 0},
        {{"-p", "-1"}, {"not '-1'"}, 0},
        {{"--port=0"}, {"not '0'"}, 0},
        {{"--host", "127.0.14"}, {"--host must be an IPv4 address such as 127.0.0.1"}, 0},
        {{"--host", std::string(64, '1')}, {"argument not stored", "command line refused"}, 1},
        {{"--bogus"}, {"command line refused"}, 1},
        {{"stray"}, {"unexpected argument: stray"}, 1},
        {{"--site"}, {"command line refused"}, 1},
        {{"--site", dir.path()}, {"a directory, not a regular file"}, 0},
        {{"--site", "/dev/zero"}, {"not a regular file"}, 0},
        {{"--site", bad},
         {"bad.txt:2: SERIAL and PORT_ID must be whole numbers",
          "bad.txt:4: only a dout port has a STATE", "has 2 bad lines"},
         0},
        {{"--site", dir.file("none.txt")}, {"has no port line"}, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kSim, "--host", testutil::loopbackAddress(1), "--site",
                                         good};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testutil::ToolRun run = testutil::runTool(argv, 5000);
        std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(2, run.status) << what << "\n" << run.err;
        for (const std::string& m : c.messages) {
            EXPECT_NE(std::string::npos, run.err.find(m)) << what << ": " << m << "\n" << run.err;
        }
        EXPECT_EQ(std::string::npos, run.out.find("LISTENING")) << what;
        EXPECT_EQ(c.usage, run.out.find("Usage:") != std::string::npos) << what << run.out;
    }
}

int connectTo(const char* address, int receiveBuffer) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(60000);
    inet_pton(AF_INET, address, &addr.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads messages from fd until one of the given id comes; false on timeout.
bool receive(int fd, uint8_t msgId, int timeoutMs) {
    vmsg::cFrameReader in;
    for (std::unique_ptr<VMsg> msg; (msg = in.read(fd, timeoutMs));) {
        if (msg->mMsgID == msgId) {
            return true;
        }
    }
    return false;
}

TEST(UlxdSim, ClientThatNeverReadsIsDroppedAndTheOthersAreServed) {
    std::string ports;
    for (int i = 1; i <= 200; ++i) {
        ports += "port 12 " + std::to_string(i) + " dout LABEL_" + std::to_string(i) + "\n";
    }
    testutil::ServiceSite site(testutil::loopbackAddress(2));
    ASSERT_TRUE(site.startSim(ports));
    Process& sim = site.sim();
    int slow = connectTo(site.address().c_str(), 4096);
    int other = connectTo(site.address().c_str(), 0);
    ASSERT_GE(slow, 0);
    ASSERT_GE(other, 0);
    ASSERT_GE(sim.waitFor("CONNECTED clients=2"), 0);

    // A thousand requests for every port, whose replies (megabytes) the slow
    // client never reads.
    cObjectPort query;
    cObjectList tx;
    tx.add(&query);
    std::vector<uint8_t> requests;
    for (int i = 0; i < 1000; ++i) {
        std::unique_ptr<VMsg> get(ulxobj::toMessage(tx, vmsg::MSG_GET, static_cast<uint8_t>(i)));
        ASSERT_TRUE(vmsg::encode(*get, requests));
    }
    for (size_t sent = 0; sent < requests.size();) {
        ssize_t n = send(slow, requests.data() + sent, requests.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;  // dropped already
        }
        sent += static_cast<size_t>(n);
    }
    EXPECT_GE(sim.waitFor("DROP a client that does not read"), 0);
    sim.write("event 7\n");
    EXPECT_TRUE(receive(other, vmsg::MSG_EVT, 10000));
    close(slow);
    close(other);
}

}  // namespace
