// cObjectClient: the client side of the site object protocol.
//
// start() connects to the site daemon and starts two threads: a reading
// thread that decodes messages, hands each reply to the request waiting for
// it and queues every other message; and an event thread that hands the
// queued messages to the listeners, one at a time, in arrival order. A
// listener may therefore call get or set from inside handleObjectAction.
// Queued messages are kept in their wire form, at most kMaxBacklogBytes of
// them: the reading thread stops reading while the queue is half full and no
// request waits for a reply; a message beyond the limit is logged at ERROR,
// the connection is dropped and made again, and the queue is discarded.
// A lost connection is made again once a second for as long as the client
// runs; a connection that cannot be made is logged with its reason at WARN
// on the first failure, then at most once every kFailureLogMs while it
// lasts, and the connection that succeeds at INFO. Each connection made is
// announced to the listeners (handleConnected) before its messages, and the
// event thread ticks the listeners (handleTick) about once every kTickMs.
// Requests wait at most kReplyTimeoutMs for their reply; requests made
// while the connection is down fail at once.
//
// get and set may be called from any thread, also from two at once (the
// main thread and the event thread). Nothing here throws.
#ifndef DORVANE_PLATFORM_ULXOBJ_COBJECTCLIENT_H
#define DORVANE_PLATFORM_ULXOBJ_COBJECTCLIENT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VMsg.h"
#include "cObjectList.h"
#include "cObjectListener.h"
#include "cVlog.h"

class cObjectClient : public cVlog {
public:
    static constexpr int kReplyTimeoutMs = 2000;
    static constexpr int kReconnectMs = 1000;
    // A waiting thread first spins this long before it sleeps: a loopback
    // reply usually comes sooner, and a sleep and wake-up cost more. Only
    // when the process may run on two CPUs or more (its affinity at start):
    // on one CPU the spin keeps the thread that would answer off the CPU.
    static constexpr int kSpinMicros = 50;
    // The wire bytes of messages waiting for the event thread (queued or
    // being handled); the buffers that hold them take at most twice that.
    static constexpr size_t kMaxBacklogBytes = 4u << 20;
    // Queued messages are stored in buffers of this size (or one message).
    static constexpr size_t kBacklogChunk = 16u << 10;
    // A backlog larger than this returns its memory once drained.
    static constexpr size_t kTrimBacklog = 256u << 10;
    static constexpr int kTickMs = 1000;
    static constexpr int kFailureLogMs = 60000;

    // How a request ended, for callers that must tell a site daemon that
    // refused from one that could not be reached.
    enum eRequestOutcome {
        REQUEST_ANSWERED = 0,   // the reply came (a get may still hold no object)
        REQUEST_REFUSED,        // the daemon answered ERR or the wrong kind, or not encodable
        REQUEST_NO_REPLY,       // sent on a live connection; no reply within kReplyTimeoutMs
        REQUEST_NO_CONNECTION,  // no connection, or it was lost before the reply came
    };

    cObjectClient();  // unconnected; log category "ObjectClient"
    // Stops the threads and closes the connection; queued messages that were
    // not delivered are dropped.
    ~cObjectClient() override;

    cObjectClient(const cObjectClient&) = delete;
    cObjectClient& operator=(const cObjectClient&) = delete;

    // Every message delivered after this call reaches listener. Call before
    // start(); the listener must outlive the client's threads.
    void addListener(cObjectListener* listener);

    // Keeps a copy of host, tries to connect once and starts the threads.
    // Returns true when the first attempt connected; either way the client
    // keeps trying. A second call does nothing and returns false.
    bool start(const char* host, unsigned short port);

    // Sends a GET made of the query's objects and waits for the reply.
    // Returns a new list owned by the caller (deleteObjects, then delete),
    // or null on ERR, timeout or a connection that is down. When outcome is
    // not null it receives how the request ended.
    cObjectList* get(cObjectList* query, eRequestOutcome* outcome = nullptr);

    // GET for one object: the first object of the reply, new and owned by
    // the caller, or null; outcome as above.
    cObject* get(cObject* query, eRequestOutcome* outcome = nullptr);

    // Sends the object's current values as a SET. Returns 0 when the daemon
    // applied it, a negative value on ERR, timeout or no connection.
    int set(cObject* obj);

    // Stops the threads; the client cannot be started again.
    void stop();

    bool isConnected() const { return mFd.load() >= 0; }

private:
    struct Pending {
        uint8_t seq;
        std::atomic<bool> done;  // set once reply is in place (or the request failed)
        VMsg* reply;
        bool lost;  // the connection closed while waiting (guarded by mMutex)
    };

    // Sends msg (whose sequence number is assigned here) and waits for the
    // reply. Returns the reply message or null; the caller owns it.
    VMsg* request(VMsg* msg, eRequestOutcome* outcome);
    // One connection attempt; on failure *reason says why.
    bool connectOnce(std::string* reason);
    // Logs an attempt as the class comment says; reading thread only.
    void noteAttempt(bool connected, const std::string& reason);
    void closeConnection();
    bool sendAll(const std::vector<uint8_t>& bytes);
    void readLoop();
    // Hands the whole messages at the front of buffer on (replies to their
    // requests, the rest to the queue). False, with an ERROR line, when the
    // stream is malformed or the queue is full: the connection must go.
    bool handOver(std::vector<uint8_t>& buffer);
    void eventLoop();
    // The event thread's next piece of work, under mMutex: what is left of
    // chunk, a connection to announce, or a new buffer; waits until
    // nextTick at most. False when the client stops.
    bool takeWork(std::vector<uint8_t>& chunk, size_t& offset, size_t& handled, unsigned& epoch,
                  std::chrono::steady_clock::time_point nextTick, bool& connected);
    // Hands the message at chunk[offset] to the listeners.
    void deliver(const std::vector<uint8_t>& chunk, size_t& offset, size_t& handled);
    // Hands a reply to its request or queues the message's wire bytes;
    // false when the queue would pass kMaxBacklogBytes.
    bool dispatch(VMsg* msg, const uint8_t* bytes, size_t size);
    void discardBacklog();
    void waitForRoom();
    bool waitStopping(int ms);
    template <typename Ready>
    void spinUntil(Ready ready);
    template <typename... Args>
    void note(VlogPiority priority, const char* fmt, Args... args);

    std::string mHost;
    std::string mHostShown;  // mHost with control characters escaped, for log lines
    unsigned short mPort;
    std::atomic<int> mFd;
    std::atomic<bool> mRunning;
    bool mStarted;

    int mSpinMicros;  // kSpinMicros, or 0 on one CPU; set by start()

    std::mutex mMutex;  // guards mPending, mNextSeq, mEvents, mBacklog*, mStopping
    std::condition_variable mReplyCond;
    std::condition_variable mEventCond;
    std::condition_variable mStopCond;
    std::condition_variable mRoomCond;  // the reading thread may read on
    std::vector<Pending*> mPending;
    uint8_t mNextSeq;
    bool mConnectNotice;  // a connection was made; the event thread announces it
    // Wire bytes of queued messages, whole messages per buffer, in order.
    std::deque<std::vector<uint8_t>> mEvents;
    std::atomic<bool> mEventsWaiting;  // !mEvents.empty(), readable without the lock
    // Bytes received and not yet handled (queued or held by the event
    // thread), the largest since the queue was last empty, and the number
    // of discarded backlogs (the event thread drops what it holds from one).
    std::atomic<size_t> mBacklogBytes;
    size_t mBacklogPeak;
    unsigned mBacklogEpoch;

    std::mutex mWriteMutex;     // one writer at a time; taken before mMutex
    std::mutex mLogMutex;       // the base cVlog buffer, used by requesting threads
    std::string mFirstFailure;  // why start()'s attempt failed, logged by the reading thread
    unsigned mFailures;         // attempts failed in a row (reading thread)
    std::chrono::steady_clock::time_point mFailureLogged;
    cVlog mReadLog;  // the reading thread's own buffer
    std::vector<cObjectListener*> mListeners;
    std::thread mReader;
    std::thread mEventThread;
};

#endif
