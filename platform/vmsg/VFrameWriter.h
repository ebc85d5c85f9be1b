// cFrameWriter: messages in the wire format (VWire.h) queued for a stream
// socket and written as the socket takes them, for the simulated site, the
// tests' scripted daemon and the benchmark's daemon.
//
// It owns the bytes queued and not yet written; it bounds nothing itself
// (the caller looks at unsent() and decides). One thread uses a writer at a
// time; the descriptor stays the caller's. Writing never raises SIGPIPE.
// Nothing throws.
#ifndef DORVANE_PLATFORM_VMSG_VFRAMEWRITER_H
#define DORVANE_PLATFORM_VMSG_VFRAMEWRITER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vmsg/VMsg.h"

namespace vmsg {

class cFrameWriter {
public:
    using Clock = std::chrono::steady_clock;

    cFrameWriter();

    // Queues the wire form of msg; false, queuing nothing, when it does not
    // fit the format (see encode).
    bool add(const VMsg& msg);
    // Queues bytes as they are (whole messages or not).
    void addBytes(const uint8_t* bytes, size_t size);
    void addBytes(const std::vector<uint8_t>& bytes) { addBytes(bytes.data(), bytes.size()); }

    size_t unsent() const { return mBuffer.size() - mStart; }
    // When fd last took bytes, or when bytes were queued with none unsent.
    Clock::time_point lastTaken() const { return mLastTaken; }

    // Writes what fd takes now, without waiting. False when the connection
    // failed (what was not written stays queued).
    bool flush(int fd);
    // Writes until nothing is unsent, waiting whenever fd takes nothing, up
    // to stallMs each time (< 0: no limit). False when the connection
    // failed or fd took nothing for stallMs.
    bool flushAll(int fd, int stallMs);

    // Forgets the unsent bytes, for a new connection.
    void clear();

private:
    std::vector<uint8_t> mBuffer;  // bytes from mStart on are not written yet
    size_t mStart;
    Clock::time_point mLastTaken;
};

}  // namespace vmsg

#endif
