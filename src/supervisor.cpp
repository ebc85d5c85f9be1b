#include "src/supervisor.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// The longest one datagram waits for room in the manager's socket.
const int kSendWaitMs = 1000;
// How often the status sink gets the same text again: well under a second,
// so that a tick about once a second always renews it.
const std::chrono::milliseconds kSinkInterval(500);

// Sends text as one datagram to the service manager's socket: a path, or
// "@name" for a name in the abstract namespace. 0, or the errno value.
int notifyDatagram(const std::string& socketName, const std::string& text) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketName.size() < 2 || socketName.size() > sizeof(addr.sun_path) ||
        (socketName[0] != '/' && socketName[0] != '@')) {
        return EINVAL;
    }
    memcpy(addr.sun_path, socketName.data(), socketName.size());
    if (addr.sun_path[0] == '@') {
        addr.sun_path[0] = '\0';
    }
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketName.size());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return errno;
    }
    // A full queue is waited for, briefly: the manager's socket is shared by
    // every service and may fill for a moment, but a manager that stops
    // reading must not hold up the thread that reports (EAGAIN then).
    timeval wait{kSendWaitMs / 1000, (kSendWaitMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof(wait));
    ssize_t sent = sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&addr), len);
    int err = sent < 0 ? errno : 0;
    close(fd);
    return err;
}

// The watchdog interval the service manager asks for (WATCHDOG_USEC, when
// WATCHDOG_PID is unset or names this process), or 0 for none.
uint64_t watchdogInterval() {
    const char* usec = getenv("WATCHDOG_USEC");
    const char* pid = getenv("WATCHDOG_PID");
    char* end = nullptr;
    if (usec == nullptr || usec[0] < '0' || usec[0] > '9') {
        return 0;
    }
    errno = 0;
    unsigned long long interval = strtoull(usec, &end, 10);
    if (errno != 0 || *end != '\0') {
        return 0;
    }
    if (pid != nullptr && pid[0] != '\0') {
        errno = 0;
        unsigned long long owner = strtoull(pid, &end, 10);
        if (errno != 0 || *end != '\0' || owner != static_cast<unsigned long long>(getpid())) {
            return 0;
        }
    }
    return interval;
}

}  // namespace

cSupervisor::cSupervisor()
    : cVlog("Supervisor"), mEnabled(false), mWatchdogUsec(0), mReady(false), mSendFailed(false) {
    const char* socket = getenv("NOTIFY_SOCKET");
    mEnabled = socket != nullptr && socket[0] != '\0';
    if (mEnabled) {
        mSocket = socket;
        mWatchdogUsec = watchdogInterval();
    }
}

cSupervisor::~cSupervisor() = default;

void cSupervisor::send(const std::string& text) {
    int err = notifyDatagram(mSocket, text);
    if (err != 0 && !mSendFailed) {
        mSendFailed = true;  // once: a broken socket stays broken
        warn("cannot notify the service manager: %s", strerror(err));
    }
}

void cSupervisor::setStatusSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(mMutex);
    mSink = std::move(sink);
}

void cSupervisor::toSink(const std::string& status) {
    if (!mSink) {
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (status != mSinkStatus || now - mLastSink >= kSinkInterval) {
        mSinkStatus = status;
        mLastSink = now;
        mSink(status);
    }
}

void cSupervisor::ready(const std::string& status) {
    std::lock_guard<std::mutex> lock(mMutex);
    toSink(status);
    if (!mEnabled || mReady) {
        return;
    }
    mReady = true;
    mLastStatus = status;
    mLastPing = std::chrono::steady_clock::now();
    send("READY=1\nSTATUS=" + status + (mWatchdogUsec != 0 ? "\nWATCHDOG=1" : ""));
}

void cSupervisor::status(const std::string& status) {
    std::lock_guard<std::mutex> lock(mMutex);
    toSink(status);
    if (!mEnabled || status == mLastStatus) {
        return;
    }
    mLastStatus = status;
    send("STATUS=" + status);
}

void cSupervisor::extendStart(uint64_t usec) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mEnabled || mReady) {
        return;
    }
    send("EXTEND_TIMEOUT_USEC=" + std::to_string(usec));
}

void cSupervisor::watchdog() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mSinkStatus.empty()) {
        toSink(mSinkStatus);  // the last text again when due: the thread is alive
    }
    if (!mEnabled || mWatchdogUsec == 0) {
        return;
    }
    auto now = std::chrono::steady_clock::now();
    // Compared in microseconds as given: a huge interval would overflow in
    // the clock's finer unit.
    auto since = std::chrono::duration_cast<std::chrono::microseconds>(now - mLastPing).count();
    if (since >= 0 && static_cast<uint64_t>(since) < mWatchdogUsec / 4) {
        return;
    }
    mLastPing = now;
    send("WATCHDOG=1");
}

void cSupervisor::reloading() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mEnabled && mReady) {
        send("RELOADING=1");
    }
}

void cSupervisor::reloaded() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mEnabled && mReady) {
        send("READY=1");
    }
}
