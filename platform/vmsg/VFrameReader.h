// cFrameReader: the messages of the wire format (VWire.h) as they come from
// a stream socket, for the peers that read one message at a time: the
// simulated site, the tests' scripted daemon and the benchmark's daemon.
//
// It owns the bytes received and not yet taken. Taking the messages with
// next() after each receive bounds its memory by one message (kHeaderSize +
// kMaxBody) and one receive (kReceiveSize). One thread uses a reader at a
// time; the descriptor stays the caller's. Nothing throws.
#ifndef DORVANE_PLATFORM_VMSG_VFRAMEREADER_H
#define DORVANE_PLATFORM_VMSG_VFRAMEREADER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vmsg/VMsg.h"

namespace vmsg {

class cFrameReader {
public:
    using Clock = std::chrono::steady_clock;
    static const size_t kReceiveSize = 65536;

    enum eReceive {
        RECEIVED,     // bytes were added
        NOTHING_YET,  // a receive that does not wait found nothing (or EINTR)
        CLOSED,       // the peer closed, or the connection failed
    };

    cFrameReader();

    // One receive of at most kReceiveSize bytes from fd, waiting for bytes
    // when wait is true (and fd blocks).
    eReceive receive(int fd, bool wait);

    // The next whole message received, owned by the caller; null when only
    // part of one is here, or when the stream is malformed (malformed()
    // then stays true, and error() says why).
    std::unique_ptr<VMsg> next();

    // The next message from fd, waiting up to timeoutMs for it (< 0: no
    // limit). Null on timeout, a closed connection (closed()) or a
    // malformed message (malformed()).
    std::unique_ptr<VMsg> read(int fd, int timeoutMs);

    bool malformed() const { return mError != nullptr; }
    const char* error() const { return mError; }  // static text, or null
    bool closed() const { return mClosed; }

    // When the receive that brought the first byte of the message that
    // next() returned last came back.
    Clock::time_point firstByteTime() const { return mFirstByte; }

    // Forgets every byte and state, for a new connection.
    void clear();

private:
    // A receive's bytes end at end (an offset in mBuffer); they came at time.
    struct Arrival {
        size_t end;
        Clock::time_point time;
    };

    void compact();

    std::vector<uint8_t> mBuffer;  // bytes from mStart on are not framed yet
    size_t mStart;
    std::vector<Arrival> mArrivals;  // of the bytes from mStart on, oldest first
    Clock::time_point mFirstByte;
    const char* mError;
    bool mClosed;
};

}  // namespace vmsg

#endif
