// The client's read turn: one thread at a time reads the connection and
// hands over what came. See ClientImpl.h for the lock rules.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "ulxobj/ClientImpl.h"
#include "vmsg/VWire.h"

bool cObjectClient::Impl::readIfFree(Clock::time_point deadline) {
    if (mReading || mConn == nullptr) {
        return false;
    }
    ConnectionRef conn = mConn;  // keeps the descriptor open while it is read
    mReading = true;
    mMutex.unlock();
    mReadTurn.take();
    readTurn(conn, deadline);
    mReadTurn.give();
    conn.reset();
    mMutex.lock();
    mReading = false;
    mCond.notify_all();  // whoever waited for the turn
    return true;
}

ssize_t cObjectClient::Impl::receive(int fd, Clock::time_point deadline) {
    auto spinEnd = Clock::now() + std::chrono::microseconds(mSpinMicros);
    for (;;) {
        int flags = MSG_DONTWAIT;
        if (mSpinMicros == 0 || Clock::now() >= spinEnd) {
            int left = ulxobj::millisUntil(deadline);
            if (left >= ulxobj::kRecvSliceMs) {
                flags = 0;  // sleeps in recv itself, one slice at most
            } else {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, left) == 0) {
                    errno = EAGAIN;
                    return -1;
                }
            }
        }
        ssize_t n = recv(fd, mReceived.get(), ulxobj::kReadChunk, flags);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return n;
        }
        if (Clock::now() >= deadline || !mRunning) {
            return -1;
        }
    }
}

void cObjectClient::Impl::readTurn(const ConnectionRef& conn, Clock::time_point deadline) {
    if (mInputConnection != conn->id) {
        mInput.clear();  // a part of a message of a connection that is gone
        mInputConnection = conn->id;
    }
    ssize_t n = receive(conn->fd, deadline);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;  // nothing came in time
    }
    if (n <= 0) {
        mInput.clear();
        // Said only when it was still the connection: a request that dropped
        // it (or stop()) has said why.
        if (mRunning && dropConnection(conn.get())) {
            mReadLog.warn("connection to %s port %u lost", mHostShown.c_str(),
                          static_cast<unsigned>(mPort));
        }
        return;
    }
    mInput.insert(mInput.end(), mReceived.get(), mReceived.get() + n);
    if (!handOver(conn->id)) {
        mInput.clear();
        dropConnection(conn.get());
    }
}

bool cObjectClient::Impl::handOver(unsigned connection) {
    bool full = false;
    const char* why = nullptr;
    bool sound = vmsg::drainFrames(
        mInput,
        [&](std::unique_ptr<VMsg> msg, const uint8_t* bytes, size_t size) {
            full = !dispatch(msg.release(), bytes, size, connection);
            return !full;
        },
        &why);
    if (!sound) {
        mReadLog.error("malformed message from %s port %u (%s); reconnecting", mHostShown.c_str(),
                       static_cast<unsigned>(mPort), why);
        return false;
    }
    if (full) {
        mReadLog.error(
            "more than %zu bytes of messages from %s port %u wait to be handled; "
            "dropping them and reconnecting",
            kMaxBacklogBytes, mHostShown.c_str(), static_cast<unsigned>(mPort));
        discardBacklog();
        return false;
    }
    return true;
}
