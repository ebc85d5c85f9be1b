// The client's connection: making it, writing to it within a deadline,
// dropping it. See ClientImpl.h for the lock rules.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ulxobj/ClientImpl.h"

namespace ulxobj {

namespace {

// Connects fd to addr within timeoutMs; fd is non-blocking during the call.
// Returns 0, or the errno value that says why not.
int connectWithTimeout(int fd, const sockaddr* addr, socklen_t len, int timeoutMs) {
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int err = connect(fd, addr, len) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, timeoutMs) == 1) {
            socklen_t errLen = sizeof(err);
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen);
        } else {
            err = ETIMEDOUT;
        }
    }
    fcntl(fd, F_SETFL, flags);
    return err;
}

}  // namespace

Connection::~Connection() {
    close(fd);
}

int millisUntil(Clock::time_point t) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(0, std::min<decltype(left)>(left, 60000)));
}

}  // namespace ulxobj

using ulxobj::Connection;

int cObjectClient::Impl::connectOnce(std::string* reason) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(mPort);
    int gai = getaddrinfo(mHost.c_str(), service.c_str(), &hints, &found);
    if (gai != 0 || found == nullptr) {
        *reason = gai != 0 ? gai_strerror(gai) : "no address";
        return -1;
    }
    int fd = -1;
    for (addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        int err = fd < 0 ? errno
                         : ulxobj::connectWithTimeout(fd, ai->ai_addr, ai->ai_addrlen,
                                                      static_cast<int>(mTimings.reconnect.count()));
        if (err != 0) {
            *reason = strerror(err);
            if (fd >= 0) {
                close(fd);
                fd = -1;
            }
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        timeval slice{0, ulxobj::kRecvSliceMs * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
    }
    return fd;
}

void cObjectClient::Impl::adopt(int fd) {
    cLock lock(mMutex);
    if (!mRunning) {
        close(fd);  // stop() has begun: nobody would read or close it
        return;
    }
    mConn = std::make_shared<Connection>(fd, ++mConnections);
    // Numbers held back were held on the connection that is gone.
    mReplies.newConnection();
    mConnectNotice = true;
    mCond.notify_all();
}

bool cObjectClient::Impl::dropConnection(const Connection* which) {
    cLock lock(mMutex);
    return dropLocked(which);
}

bool cObjectClient::Impl::dropLocked(const Connection* which) {
    if (mConn == nullptr || (which != nullptr && mConn.get() != which)) {
        return false;
    }
    // Wakes whoever is blocked on it, reading or writing; the descriptor is
    // closed when the last of them lets go.
    shutdown(mConn->fd, SHUT_RDWR);
    // Requests waiting on this connection fail at once.
    mReplies.loseConnection(mConn->id);
    mConn.reset();
    mCond.notify_all();
    mConnCond.notify_all();
    return true;
}

cObjectClient::Impl::eSend cObjectClient::Impl::sendWithin(const Connection& conn,
                                                           const std::vector<uint8_t>& bytes,
                                                           Clock::time_point deadline) {
    {
        cLock lock(mMutex);
        while (mWriting) {
            if (mWriteCond.wait_until(lock.native(), deadline) == std::cv_status::timeout &&
                mWriting) {
                return SEND_LATE;  // another request's write holds it up
            }
        }
        mWriting = true;
    }
    // Gives the write turn back on every way out.
    struct WriteTurn {
        Impl& client;
        ~WriteTurn() {
            cLock lock(client.mMutex);
            client.mWriting = false;
            client.mWriteCond.notify_one();
        }
    } turn{*this};
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n =
            ::send(conn.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return SEND_FAILED;
        }
        // The daemon does not take the bytes yet: wait for room, in slices
        // so that the event thread still says it is alive.
        int left = ulxobj::millisUntil(deadline);
        if (left == 0 || !mRunning) {
            return SEND_LATE;
        }
        pollfd p{conn.fd, POLLOUT, 0};
        poll(&p, 1, std::min(left, static_cast<int>(mTimings.tick.count())));
        stillWaiting();
    }
    return SEND_DONE;
}

void cObjectClient::Impl::connectLoop() {
    cLock lock(mMutex);
    while (mRunning) {
        if (mConn != nullptr) {
            mConnCond.wait(lock.native());  // woken when it is dropped or the client stops
            continue;
        }
        if (mConnCond.wait_for(lock.native(), mTimings.reconnect, [this] { return !mRunning; })) {
            break;
        }
        lock.unlock();
        std::string reason;
        int fd = connectOnce(&reason);
        noteAttempt(fd >= 0, reason);
        if (fd >= 0) {
            adopt(fd);
        }
        lock.lock();
    }
}

void cObjectClient::Impl::noteAttempt(bool connected, const std::string& reason) {
    auto now = Clock::now();
    if (connected) {
        mFailures = 0;
        mConnectLog.info("connected to %s port %u", mHostShown.c_str(),
                         static_cast<unsigned>(mPort));
    } else if (mFailures++ == 0) {
        mFailureLogged = now;
        mConnectLog.warn("cannot connect to \"%s\" port %u: %s", mHostShown.c_str(),
                         static_cast<unsigned>(mPort), reason.c_str());
    } else if (now - mFailureLogged >= mTimings.failureLog) {
        mFailureLogged = now;
        mConnectLog.warn("still cannot connect to \"%s\" port %u: %s (%u attempts)",
                         mHostShown.c_str(), static_cast<unsigned>(mPort), reason.c_str(),
                         mFailures);
    }
}
