#include "vmsg/VFrameWriter.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "vmsg/VWire.h"

namespace vmsg {

namespace {

// Written bytes at the front are given back once there are this many and
// no fewer than those still queued, so that each byte moves once at most.
const size_t kCompactFrom = 64 * 1024;

}  // namespace

cFrameWriter::cFrameWriter() : mStart(0) {}

bool cFrameWriter::add(const VMsg& msg) {
    size_t before = mBuffer.size();
    if (!encode(msg, mBuffer)) {
        return false;
    }
    if (before == mStart) {
        mLastTaken = Clock::now();
    }
    return true;
}

void cFrameWriter::addBytes(const uint8_t* bytes, size_t size) {
    if (unsent() == 0) {
        mLastTaken = Clock::now();
    }
    mBuffer.insert(mBuffer.end(), bytes, bytes + size);
}

bool cFrameWriter::flush(int fd) {
    bool sound = true;
    while (unsent() > 0) {
        ssize_t n = send(fd, mBuffer.data() + mStart, unsent(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            mStart += static_cast<size_t>(n);
            mLastTaken = Clock::now();
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            sound = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            break;
        }
    }
    if (mStart == mBuffer.size()) {
        mBuffer.clear();
        mStart = 0;
    } else if (mStart >= kCompactFrom && mStart >= unsent()) {
        mBuffer.erase(mBuffer.begin(), mBuffer.begin() + static_cast<std::ptrdiff_t>(mStart));
        mStart = 0;
    }
    return sound;
}

bool cFrameWriter::flushAll(int fd, int stallMs) {
    for (;;) {
        if (!flush(fd)) {
            return false;
        }
        if (unsent() == 0) {
            return true;
        }
        pollfd p{fd, POLLOUT, 0};
        int ready = poll(&p, 1, stallMs);
        if (ready == 0 || (ready < 0 && errno != EINTR)) {
            return false;
        }
    }
}

void cFrameWriter::clear() {
    mBuffer.clear();
    mStart = 0;
}

}  // namespace vmsg
