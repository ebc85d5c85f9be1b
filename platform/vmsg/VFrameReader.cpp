#include "vmsg/VFrameReader.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "vmsg/VWire.h"

namespace vmsg {

cFrameReader::cFrameReader() : mStart(0), mError(nullptr), mClosed(false) {}

cFrameReader::eReceive cFrameReader::receive(int fd, bool wait) {
    // On the stack, not in mBuffer: growing the vector first would clear
    // the whole chunk before every receive.
    uint8_t chunk[kReceiveSize];
    ssize_t n = recv(fd, chunk, sizeof(chunk), wait ? 0 : MSG_DONTWAIT);
    Clock::time_point now = Clock::now();
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        return NOTHING_YET;
    }
    if (n <= 0) {
        mClosed = true;
        return CLOSED;
    }
    compact();
    mBuffer.insert(mBuffer.end(), chunk, chunk + n);
    mArrivals.push_back(Arrival{mBuffer.size(), now});
    return RECEIVED;
}

std::unique_ptr<VMsg> cFrameReader::next() {
    if (mError != nullptr || mStart == mBuffer.size()) {
        return nullptr;
    }
    DecodeResult r = decode(mBuffer.data() + mStart, mBuffer.size() - mStart);
    if (r.status == DecodeStatus::kMalformed) {
        mError = r.error;
        return nullptr;
    }
    if (r.status == DecodeStatus::kNeedMore) {
        return nullptr;
    }
    // mArrivals starts with the receive that holds mStart.
    mFirstByte = mArrivals.front().time;
    mStart += r.consumed;
    size_t done = 0;
    while (done < mArrivals.size() && mArrivals[done].end <= mStart) {
        ++done;
    }
    mArrivals.erase(mArrivals.begin(), mArrivals.begin() + static_cast<std::ptrdiff_t>(done));
    if (mStart == mBuffer.size()) {
        mBuffer.clear();
        mStart = 0;
    }
    return std::unique_ptr<VMsg>(r.msg);
}

std::unique_ptr<VMsg> cFrameReader::read(int fd, int timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::unique_ptr<VMsg> msg = next();
        if (msg || mError != nullptr || mClosed || fd < 0) {
            return msg;
        }
        int left = -1;
        if (timeoutMs >= 0) {
            left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count());
            if (left <= 0) {
                return nullptr;
            }
        }
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready != 1 || receive(fd, false) == CLOSED) {
            return nullptr;
        }
    }
}

void cFrameReader::clear() {
    mBuffer.clear();
    mStart = 0;
    mArrivals.clear();
    mError = nullptr;
    mClosed = false;
}

void cFrameReader::compact() {
    if (mStart == 0) {
        return;
    }
    mBuffer.erase(mBuffer.begin(), mBuffer.begin() + static_cast<std::ptrdiff_t>(mStart));
    for (Arrival& a : mArrivals) {
        a.end -= mStart;
    }
    mStart = 0;
}

}  // namespace vmsg
