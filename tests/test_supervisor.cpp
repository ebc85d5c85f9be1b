// The supervisor's datagrams, in process: an abstract-namespace socket (as
// a service manager may name it with "@"), and the watchdog asked for
// another process.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "src/supervisor.h"

namespace {

std::string receive(int fd) {
    char buf[512];
    ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// A datagram socket bound to the abstract name "@<tag>-<pid>", made the
// service manager's socket (NOTIFY_SOCKET); -1 when it cannot be bound.
int listenAsManager(const std::string& tag) {
    std::string name = "@" + tag + "-" + std::to_string(getpid());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    name.copy(addr.sun_path + 1, name.size() - 1, 1);
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    return fd;
}

TEST(Supervisor, AbstractSocketAndTheWatchdogOfThisProcessOnly) {
    int fd = listenAsManager("dorvane-supervisor-test");
    ASSERT_GE(fd, 0);
    setenv("WATCHDOG_USEC", "1000000", 1);

    struct Case {
        std::string pid, expected;
    } cases[] = {
        {std::to_string(getpid() + 1), "READY=1\nSTATUS=up"},  // another process's watchdog
        {std::to_string(getpid()), "READY=1\nSTATUS=up\nWATCHDOG=1"},
        {"", "READY=1\nSTATUS=up\nWATCHDOG=1"},
        {"12x", "READY=1\nSTATUS=up"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("WATCHDOG_PID=" + c.pid);
        setenv("WATCHDOG_PID", c.pid.c_str(), 1);
        cSupervisor supervisor;
        supervisor.ready("up");
        EXPECT_EQ(c.expected, receive(fd));
    }
    // An interval of ages: a quarter of it has not passed right after READY.
    setenv("WATCHDOG_PID", "", 1);
    setenv("WATCHDOG_USEC", "18446744073709551614", 1);
    {
        cSupervisor longWatch;
        longWatch.ready("up");
        EXPECT_EQ("READY=1\nSTATUS=up\nWATCHDOG=1", receive(fd));
        longWatch.watchdog();
        EXPECT_EQ("", receive(fd));
    }
    setenv("NOTIFY_SOCKET", "relative/name", 1);  // neither a path nor "@": nothing sent
    cSupervisor refused;
    refused.ready("up");
    EXPECT_EQ("", receive(fd));
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    close(fd);
}

// A service manager that stops reading its socket: once its queue is full a
// datagram waits a moment and is dropped, instead of holding up the calling
// thread (the event thread ticks the supervisor).
TEST(Supervisor, ASocketThatIsNotReadNeverHoldsTheCaller) {
    int fd = listenAsManager("dorvane-supervisor-full");
    ASSERT_GE(fd, 0);
    cSupervisor supervisor;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        // Until a call had to wait: the queue is full from then on.
        for (int i = 0; i < 5000; ++i) {
            auto start = std::chrono::steady_clock::now();
            supervisor.status(i % 2 == 0 ? "a" : "b");
            if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300)) {
                break;
            }
        }
        done = true;
    });
    for (int waited = 0; waited < 5000 && !done; waited += 10) {
        usleep(10000);
    }
    EXPECT_TRUE(done.load());
    close(fd);  // a sender still blocked gets ECONNREFUSED and returns
    caller.join();
    unsetenv("NOTIFY_SOCKET");
}

}  // namespace
