// NotifyListener: the service manager's end of NOTIFY_SOCKET for end-to-end
// tests, so that a test reads the READY, STATUS and WATCHDOG messages the
// real service sends.
#ifndef DORVANE_TESTS_NOTIFY_LISTENER_H
#define DORVANE_TESTS_NOTIFY_LISTENER_H

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace testutil {

// The service manager's end of NOTIFY_SOCKET: a datagram socket in a
// temporary directory, named in this process's environment so that the
// service started next inherits it.
class NotifyListener {
public:
    explicit NotifyListener(const std::string& watchdogUsec) {
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = mDir.file("notify");
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        EXPECT_EQ(0, bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
        setenv("WATCHDOG_USEC", watchdogUsec.c_str(), 1);
    }
    ~NotifyListener() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        close(mFd);
    }
    // Every datagram received so far, one per entry, in order.
    const std::vector<std::string>& messages() {
        char buf[4096];
        ssize_t n;
        while ((n = recv(mFd, buf, sizeof(buf), MSG_DONTWAIT)) > 0) {
            mMessages.emplace_back(buf, static_cast<size_t>(n));
        }
        return mMessages;
    }
    // Index of the first message from 'from' on that contains text, waiting
    // up to timeoutMs; -1 when none came.
    int waitFor(const std::string& text, int timeoutMs, size_t from = 0) {
        for (int waited = 0; waited <= timeoutMs; waited += 50) {
            const std::vector<std::string>& all = messages();
            for (size_t i = from; i < all.size(); ++i) {
                if (all[i].find(text) != std::string::npos) {
                    return static_cast<int>(i);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

private:
    testutil::TempDir mDir;
    int mFd;
    std::vector<std::string> mMessages;
};

}  // namespace testutil

#endif
