// The private implementation of cObjectClient, shared by its source files:
//   cObjectClient.cpp     the public operations, requests and their replies
//   ClientConnection.cpp  the connection: making it, bounded sends, dropping it
//   ClientReader.cpp      the read turn: the input buffer and received frames
//   ClientEvents.cpp      the hand-over to the backlog, the event thread
//   ReplyMatch.cpp        which request a reply answers, sequence numbers (no socket)
//   Backlog.cpp           the queue for the listeners and its bound (no socket)
//
// The connection is read by whichever thread waits on it: the event thread
// while it has nothing to deliver, a requesting thread while it waits for
// its reply. One thread at a time holds the read turn (mReading); it hands
// what it read over (each reply to its request, every other message to the
// queue) and gives the turn back. A thread that needs the connection while
// another reads sleeps until that one hands something over or gives the
// turn back. So a reply or an event wakes the thread that waits for it
// directly, with no thread in between: on one CPU that saves two context
// switches per message. The connecting thread only makes connections.
//
// Lock rules, checked by clang's thread-safety analysis (vsync/VLocks.h).
// mMutex guards the connection pointer, the waiting requests, the sequence
// numbers, the queue, and the flags of the two turns: the read turn
// (mReading) and the write turn (mWriting: one writer at a time, waited for
// only for as long as a request's deadline allows). A turn is held without
// mMutex. What the reader uses (mInput, the received bytes) is guarded by
// mReadTurn, the capability that the winner of the read turn takes. mMutex
// is the innermost lock: nothing else is taken while it is held but the log
// buffer's mLogMutex. A descriptor is closed only when the last thread that
// uses it lets go of its Connection; dropping a connection shuts it down
// first, which wakes a thread blocked on it.
#ifndef DORVANE_PLATFORM_ULXOBJ_CLIENTIMPL_H
#define DORVANE_PLATFORM_ULXOBJ_CLIENTIMPL_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ulxobj/Backlog.h"
#include "ulxobj/ReplyMatch.h"
#include "ulxobj/cObjectClient.h"
#include "vmsg/VMsg.h"
#include "vsync/VLocks.h"

namespace ulxobj {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 65536;
// A thread about to sleep on the connection first tries it this long: a
// loopback reply usually comes sooner, and a sleep and wake-up cost more.
// Only when the process may run on two CPUs or more (its affinity at
// start): on one CPU the spin keeps the peer that would answer off the CPU.
constexpr int kSpinMicros = 50;
// A read that sleeps in recv returns after this long at most (SO_RCVTIMEO),
// so that its thread sees its deadline: one system call per message instead
// of poll and recv. The last part of a wait, shorter than this, polls.
constexpr int kRecvSliceMs = 200;

// One connection made: the descriptor is closed when the last holder of the
// connection lets it go, so no thread ever uses a number that was reused.
struct Connection {
    Connection(int descriptor, unsigned number) : fd(descriptor), id(number) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const int fd;
    const unsigned id;  // counts the connections made, from 1
};
using ConnectionRef = std::shared_ptr<Connection>;

// Milliseconds from now until t, rounded up, between 0 and 60000: a poll
// timeout that never ends early.
int millisUntil(Clock::time_point t);

}  // namespace ulxobj

struct cObjectClient::Impl {
    using Clock = ulxobj::Clock;
    using ConnectionRef = ulxobj::ConnectionRef;
    using cLock = vsync::cLock;

    // A request waiting for its reply (see ReplyMatch.h).
    using Pending = ulxobj::cReplyMatch::Pending;

    // How a bounded send ended.
    enum eSend { SEND_DONE, SEND_FAILED, SEND_LATE };

    // log: the client itself, whose buffer requesting threads share under
    // mLogMutex.
    Impl(cVlog& log, const vutil::Timings& timings);

    bool start(const char* host, unsigned short port);
    void stop();
    bool connected();

    // Requests (cObjectClient.cpp).
    // Sends msg (whose sequence number is assigned here) and waits for the
    // reply. Returns the reply message or null; the caller owns it.
    VMsg* request(VMsg* msg, eRequestOutcome* outcome);
    // Waits, reading the connection when the turn is free, until pending is
    // done, the deadline passes or the client stops. lock holds mMutex.
    void awaitReply(cLock& lock, Pending& pending, Clock::time_point deadline) REQUIRES(mMutex);
    // How a request ended, from its send, whether a reply came and whether
    // its connection was lost; and the line that says why it failed.
    static eRequestOutcome outcomeOf(eSend sent, bool replied, bool lost);
    void reportFailure(eRequestOutcome outcome, eSend sent, uint8_t msgId, uint8_t seq);
    // On the event thread, about once every tick of a bounded wait: tells
    // the listeners that the thread is alive. Without mMutex.
    void stillWaiting() EXCLUDES(mMutex);

    // The connection (ClientConnection.cpp).
    // One connection attempt: the connected socket, or -1 and *reason.
    int connectOnce(std::string* reason);
    // Logs an attempt as the class comment says; the owner's thread in
    // start(), then the connecting thread only.
    void noteAttempt(bool connected, const std::string& reason);
    // Makes fd the connection and announces it to the event thread, in one
    // step, so that no message of it can be handled before the announcement.
    void adopt(int fd) EXCLUDES(mMutex);
    // Drops the connection when it is still which (null: whichever): shuts
    // it down and fails the requests waiting on it. True when it dropped it.
    bool dropConnection(const ulxobj::Connection* which) EXCLUDES(mMutex);
    // The same, with mMutex held by the caller.
    bool dropLocked(const ulxobj::Connection* which) REQUIRES(mMutex);
    // Writes bytes to conn, taking the write turn, until deadline at most.
    eSend sendWithin(const ulxobj::Connection& conn, const std::vector<uint8_t>& bytes,
                     Clock::time_point deadline) EXCLUDES(mMutex);
    void connectLoop() EXCLUDES(mMutex);

    // The read turn (ClientReader.cpp).
    // Takes the read turn when it is free and there is a connection, reads
    // once (waiting until deadline at most) and gives the turn back. False
    // when the turn was not free. mMutex is held on entry and on return,
    // and let go while it reads.
    bool readIfFree(Clock::time_point deadline) REQUIRES(mMutex);
    // Reads conn once, waiting until deadline at most, and hands over what
    // came. Holder of the read turn only, without mMutex.
    void readTurn(const ConnectionRef& conn, Clock::time_point deadline) REQUIRES(mReadTurn)
        EXCLUDES(mMutex);
    // recv on fd, spinning first (see kSpinMicros), then sleeping until it
    // is readable or deadline passes (then -1 with EAGAIN).
    ssize_t receive(int fd, Clock::time_point deadline) REQUIRES(mReadTurn);
    // Hands the whole messages at the front of mInput on (replies to their
    // requests, the rest to the queue). False, with an ERROR line, when the
    // stream is malformed or the queue is full: the connection must go.
    bool handOver(unsigned connection) REQUIRES(mReadTurn) EXCLUDES(mMutex);

    // The backlog and the event thread (ClientEvents.cpp).
    // Hands a reply to its request or queues the message's wire bytes;
    // false when the queue would pass kMaxBacklogBytes.
    bool dispatch(VMsg* msg, const uint8_t* bytes, size_t size, unsigned connection)
        EXCLUDES(mMutex);
    void discardBacklog() EXCLUDES(mMutex);
    void eventLoop() EXCLUDES(mMutex);
    // The event thread's next piece of work, under mMutex: what is left of
    // chunk, a connection to announce, or a new buffer; reads the connection
    // while there is none and waits until nextTick at most. False when the
    // client stops.
    bool takeWork(ulxobj::cBacklog::Chunk& chunk, Clock::time_point nextTick, bool& connected)
        EXCLUDES(mMutex);
    // Hands chunk's next message, if any, to the listeners.
    void deliver(ulxobj::cBacklog::Chunk& chunk);

    template <typename... Args>
    void note(VlogPiority priority, const char* fmt, Args... args);

    cVlog& mLog GUARDED_BY(mLogMutex);
    const vutil::Timings mTimings;
    std::string mHost;
    std::string mHostShown;  // mHost with control characters escaped, for log lines
    unsigned short mPort;
    std::atomic<bool> mRunning;
    bool mStarted;
    int mSpinMicros;  // kSpinMicros, or 0 on one CPU; set by start()

    vsync::cMutex mMutex;
    // A reply in place, a message queued, the read turn free, a connection
    // made or lost, the client stopping.
    std::condition_variable mCond;
    std::condition_variable mConnCond;         // the connecting thread: connection lost, stopping
    ConnectionRef mConn GUARDED_BY(mMutex);    // null while there is none
    unsigned mConnections GUARDED_BY(mMutex);  // connections made so far
    bool mReading GUARDED_BY(mMutex);          // a thread holds the read turn
    bool mWriting GUARDED_BY(mMutex);          // a thread holds the write turn
    std::condition_variable mWriteCond;        // the write turn is free
    // The requests waiting for replies and their sequence numbers.
    ulxobj::cReplyMatch mReplies GUARDED_BY(mMutex);
    bool mConnectNotice GUARDED_BY(mMutex);  // a connection was made; the event thread announces it
    // Messages waiting for the event thread, at most kMaxBacklogBytes.
    ulxobj::cBacklog mBacklog GUARDED_BY(mMutex);

    // Used by the holder of the read turn only.
    vsync::cTurn mReadTurn;
    std::vector<uint8_t> mInput GUARDED_BY(mReadTurn);  // received, not yet handed over
    unsigned mInputConnection GUARDED_BY(mReadTurn);    // the connection mInput came from
    // One recv's bytes (not zero-filled); allocated by start().
    std::unique_ptr<uint8_t[]> mReceived;
    cVlog mReadLog;

    vsync::cMutex mLogMutex;  // mLog's buffer, used by requesting threads
    unsigned mFailures;       // attempts failed in a row (connecting thread)
    Clock::time_point mFailureLogged;
    cVlog mConnectLog;  // the connecting thread's own buffer
    // Written only before start(), then read by the event thread unlocked.
    std::vector<cObjectListener*> mListeners;
    Clock::time_point mNextAlive;  // the event thread's next stillWaiting call
    std::thread mConnector;
    std::thread mEventThread;
};

template <typename... Args>
void cObjectClient::Impl::note(VlogPiority priority, const char* fmt, Args... args) {
    cLock lock(mLogMutex);
    switch (priority) {
        case ERROR:
            mLog.error(fmt, args...);
            break;
        case WARN:
            mLog.warn(fmt, args...);
            break;
        case INFO:
            mLog.info(fmt, args...);
            break;
        default:
            mLog.debug(fmt, args...);
            break;
    }
}

#endif
