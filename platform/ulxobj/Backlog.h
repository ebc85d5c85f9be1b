// cBacklog: the client's queue of messages for its listeners, bounded in
// wire bytes. No socket, no thread: the client calls it under its mutex,
// and tests feed it messages.
//
// Messages are kept in their wire form (a decoded message takes several
// times the memory), each behind a head with the time it was read and its
// size, whole messages packed in buffers of kChunk bytes (or one message).
// The one reader (the event thread) takes a whole buffer at a time, reads
// its messages without the lock and gives their bytes back as it handles
// them; so the bound counts the messages queued and those the reader holds.
//
// Invariants it owns: bytes() never passes the bound, a message beyond it
// is refused whole; messages come out in the order they went in; after
// discard() nothing queued before it comes out, also not what the reader
// holds; a backlog that grew past kTrim says so once it is drained, so that
// its memory is given back. Not thread-safe; nothing throws but
// std::bad_alloc.
#ifndef DORVANE_PLATFORM_ULXOBJ_BACKLOG_H
#define DORVANE_PLATFORM_ULXOBJ_BACKLOG_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace ulxobj {

class cBacklog {
public:
    using Clock = std::chrono::steady_clock;
    // Queued messages are stored in buffers of this size (or one message).
    static constexpr size_t kChunk = 16u << 10;
    // A backlog larger than this returns its memory once drained.
    static constexpr size_t kTrim = 256u << 10;

    // The reader's buffer of whole messages and where it is in it.
    struct Chunk {
        std::vector<uint8_t> bytes;
        size_t offset = 0;   // the next message in bytes
        size_t handled = 0;  // wire bytes of the message read last, not yet given back
        unsigned epoch = 0;  // the backlog's epoch when the buffer was taken
    };

    // One message read out of a Chunk; wire points into the chunk.
    struct Message {
        const uint8_t* wire;
        size_t size;
        Clock::time_point readAt;
    };

    // maxBytes: the bound of wire bytes queued and held by the reader.
    explicit cBacklog(size_t maxBytes);

    // Queues a copy of one message's size wire bytes, read at readAt. False,
    // with nothing queued, when the backlog would pass its bound.
    bool push(const uint8_t* bytes, size_t size, Clock::time_point readAt);

    // The reader gives back what it handled last (chunk.handled); chunk is
    // emptied when its backlog was discarded since it was taken. True when
    // a backlog that grew past kTrim has just drained: the caller frees the
    // chunk's buffer and gives memory back to the system.
    bool settle(Chunk& chunk);

    // When chunk is used up and a buffer waits: the buffer becomes chunk
    // (the used-up one is kept for the next messages); true. False when
    // chunk still holds messages or none wait.
    bool refill(Chunk& chunk);

    // The next message of chunk, after which chunk.offset moves on and
    // chunk.handled holds its size; false when chunk is used up.
    static bool next(Chunk& chunk, Message* msg);

    // Drops every queued message; what the reader holds goes at its next
    // settle.
    void discard();

    size_t bytes() const { return mBytes; }  // queued or held by the reader
    bool waiting() const { return !mQueue.empty(); }

private:
    const size_t mMax;
    std::deque<std::vector<uint8_t>> mQueue;  // whole messages per buffer, in order
    std::vector<uint8_t> mSpare;              // a used buffer of kChunk at most, for reuse
    size_t mBytes;
    size_t mPeak;  // the largest mBytes since the backlog was last empty
    unsigned mEpoch;
};

}  // namespace ulxobj

#endif
