// Peers for tests that speak the site object protocol over real loopback
// sockets: FakeDaemon, a daemon the test drives message by message;
// Process, a child process (the simulator, the service) whose standard
// output the test reads line by line; and runTool, which runs one of the
// project's programs to its end with standard output and error apart.
#ifndef DORVANE_TESTS_TEST_DAEMON_H
#define DORVANE_TESTS_TEST_DAEMON_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "vmsg/VFrameReader.h"
#include "vmsg/VFrameWriter.h"
#include "vmsg/VMsg.h"

namespace testutil {

class FakeDaemon {
public:
    // Listens on address:port (by default the process's own loopback
    // address); a failure to listen fails the test.
    explicit FakeDaemon(const std::string& address = loopbackAddress(),
                        unsigned short port = 60000);
    ~FakeDaemon();

    // The receive buffer of the connections accepted from now on (a daemon
    // that holds little of what it does not read).
    void setReceiveBuffer(int bytes);
    // Waits for a client; closes the previous connection, if any.
    bool accept(int timeoutMs = 5000);
    // The next message from the client, or null on timeout or a closed
    // connection.
    std::unique_ptr<VMsg> read(int timeoutMs = 5000);
    void send(const VMsg& msg);
    void sendRaw(const std::vector<uint8_t>& bytes);
    // Sends bytes unless the client closes, or stops reading for timeoutMs;
    // false then (a peer that is expected to drop the connection).
    bool offer(const std::vector<uint8_t>& bytes, int timeoutMs = 5000);
    void closeClient();
    // Reads and drops what the client sends, chunk bytes at a time with
    // pauseMs between reads, until bytes were read or the client closes;
    // returns how many were read (a daemon that takes a request slowly).
    size_t drainSlowly(size_t bytes, size_t chunk, int pauseMs);

private:
    int mListen;
    int mClient;
    vmsg::cFrameReader mIn;
    vmsg::cFrameWriter mOut;
};

class Process {
public:
    // Starts argv[0] with the given arguments in directory dir (empty: the
    // current one); its standard input is a pipe, standard output and
    // standard error are read by a thread of this object. The child is
    // killed (SIGKILL) when the thread that made this object ends, so make
    // it on the test's own thread; the test's death never leaves it running.
    // With closedOutput the child starts with standard output and error
    // closed, as some launchers start services (nothing is read then). A
    // program of the build runs under a cross build's emulator; with host,
    // argv[0] is a program of this machine (a broker) and runs as it is.
    Process(const std::vector<std::string>& argv, const std::string& dir = "",
            bool closedOutput = false, bool host = false);
    ~Process();  // kills the process if it still runs

    bool running() const { return mPid > 0; }
    int pid() const { return mPid; }
    void write(const std::string& text);
    // Waits until a line containing text has been printed since the mark
    // (0 by default); returns the index of the line, or -1 on timeout.
    int waitFor(const std::string& text, int timeoutMs = 10000, size_t from = 0);
    size_t lineCount();
    std::vector<std::string> lines();
    // The lines so far, each ended by a newline.
    std::string text();
    // Waits up to timeoutMs for the process to end by itself; returns its
    // wait status, or -1 when it still runs.
    int wait(int timeoutMs);
    // Sends SIGTERM, then SIGKILL, and waits.
    int stop();

private:
    void readLoop();

    int mPid;
    int mStatus;
    int mIn;
    int mOut;
    std::thread mReader;
    std::mutex mMutex;
    std::condition_variable mCond;
    std::vector<std::string> mLines;
    std::string mPartial;
};

struct ToolRun {
    int status = -1;  // the exit status; -1 when it had to be killed
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs argv (argv[0] a path; under the cross build's emulator when there is
// one, unless host: a program of this machine, such as signify) with
// standard input from /dev/null. A run that has not ended after timeoutMs is
// killed, and so is the program when the test process dies.
ToolRun runTool(const std::vector<std::string>& argv, int timeoutMs = 10000, bool host = false);

// argv behind the words of the cross build's emulator (argv itself
// natively): a program of the build started by a program of this machine,
// such as setpriv, which is then started with Process's host.
std::vector<std::string> withEmulator(const std::vector<std::string>& argv);

}  // namespace testutil

#endif
