// cObjectClient: the client side of the site object protocol.
//
// start() connects to the site daemon and starts two threads: a connecting
// thread that makes the connection again whenever it is lost, and an event
// thread that hands messages other than replies to the listeners, one at a
// time, in arrival order. A listener may therefore call get or set from
// inside handleObjectAction. The connection is read by the thread that waits
// on it: the event thread while it has nothing to deliver, a requesting
// thread while it waits for its reply; each reply goes to the request
// waiting for it, every other message to the queue. Queued messages are kept
// in their wire form with the time each was read (cObjectList::readAt), at
// most kMaxBacklogBytes of wire bytes; while the event
// thread is busy and no request waits, nothing is read, so the daemon's
// bytes wait in the socket. A message beyond the limit is logged at ERROR,
// the connection is dropped and made again, and the queue is discarded.
// A lost connection is made again once every Timings::reconnect for as long as the
// client runs; a connection that cannot be made is logged with its reason at
// WARN on the first failure, then at most once every Timings::failureLog while it
// lasts, and the connection that succeeds at INFO. Each connection made is
// announced to the listeners (handleConnected) before its messages, and the
// event thread ticks the listeners (handleTick) about once every Timings::tick.
// A request has one deadline, Timings::replyTimeout, for its send and its reply
// together; a request that the daemon does not take within it (it stopped
// reading) fails and the connection is dropped and made again. A request
// belongs to the connection it was sent on: a reply is taken only from that
// connection, with the request's sequence number, and of the request's own
// kind or an ERR whose TAG_ERR_MSGID is the request's id. The number of a
// request that timed out is not used again on that connection for
// Timings::heldSequence, so that its late reply cannot answer a later request; a
// reply that no request claims is delivered to the listeners. Requests made
// while the connection is down fail at once. While a request made from a
// listener call waits, the event thread tells the listeners it is alive
// (handleWaiting) about once every Timings::tick. The timings are
// vutil::Timings, given to the constructor (the defaults unless a test or
// dorvane-local shortens them).
//
// Threads: addListener, start, stop and the destructor belong to one thread
// (the owner's), which must not be the event thread. get, set and
// isConnected may be called from any thread, also from two at once (the
// owner's thread and the event thread). Nothing here throws but
// std::bad_alloc; failures are return values and log lines.
#ifndef DORVANE_PLATFORM_ULXOBJ_COBJECTCLIENT_H
#define DORVANE_PLATFORM_ULXOBJ_COBJECTCLIENT_H

#include <cstddef>
#include <memory>

#include "ulxobj/cObjectList.h"
#include "ulxobj/cObjectListener.h"
#include "vlog/cVlog.h"
#include "vutil/VTimings.h"

class cObjectClient : public cVlog {
public:
    // The wire bytes of messages waiting for the event thread (queued or
    // being handled); the buffers that hold them take at most twice that,
    // plus 12 bytes per message for its read time and size.
    static constexpr size_t kMaxBacklogBytes = 4u << 20;

    // How a request ended, for callers that must tell a site daemon that
    // refused from one that could not be reached.
    enum eRequestOutcome {
        REQUEST_ANSWERED = 0,   // the reply came (a get may still hold no object)
        REQUEST_REFUSED,        // the daemon answered ERR or the wrong kind, or not encodable
        REQUEST_NO_REPLY,       // no reply within replyTimeout, or every sequence
                                // number is in use or held back
        REQUEST_NO_CONNECTION,  // no connection, or it was lost before the reply came
                                // (also dropped: the daemon did not take the request in
                                // time)
    };

    // Unconnected, no thread; log category "ObjectClient"; timings copied.
    explicit cObjectClient(const vutil::Timings& timings = vutil::Timings());
    // Stops the threads (as stop()) and closes the connection; queued
    // messages that were not delivered are dropped. Must not run on the event
    // thread (from inside a listener call): it would wait for itself.
    ~cObjectClient() override;

    cObjectClient(const cObjectClient&) = delete;
    cObjectClient& operator=(const cObjectClient&) = delete;

    // Every message delivered after this call reaches listener; null is
    // ignored. The client does not own the listener, which must outlive the
    // client's threads. Call it before start(), on the owner's thread: the
    // event thread reads the listeners without a lock.
    void addListener(cObjectListener* listener);

    // Keeps a copy of host (null counts as ""), tries to connect once and
    // starts the threads. Returns true when the first attempt connected;
    // either way the client keeps trying and the reason of a failure is
    // logged. A second call does nothing and returns false.
    bool start(const char* host, unsigned short port);

    // Sends a GET made of the query's objects and waits for the reply. The
    // query stays the caller's and is only read. Returns a new list owned by
    // the caller (deleteObjects, then delete), or null for a null query, on
    // ERR or another kind of reply, timeout or a connection that is down.
    // When outcome is not null it receives how the request ended.
    cObjectList* get(const cObjectList* query, eRequestOutcome* outcome = nullptr);

    // GET for one object, which stays the caller's: the first object of the
    // reply, new and owned by the caller (delete it), or null when the get
    // above fails or its reply holds no object; outcome as above.
    cObject* get(cObject* query, eRequestOutcome* outcome = nullptr);

    // Sends the object's current values as a SET; the object stays the
    // caller's. Returns 0 when the daemon applied it: a SET reply holding one
    // object, for an output the same serial, port id and port type in the
    // state sent (any other object: one of its type); -1 for a null object,
    // no connection or no reply within replyTimeout; -2 for an ERR or any
    // other reply that is not a SET; -3 for a SET reply that holds no object,
    // more than one or another (one WARN line names what was sent and what
    // came back).
    int set(cObject* obj);

    // Stops the threads and closes the connection; the client cannot be
    // started again. A second call does nothing. Owner's thread only, never
    // the event thread.
    void stop();

    // True while a connection is up: a snapshot that may change at once.
    bool isConnected() const;

private:
    // The connection, the two threads, the queue and the waiting requests;
    // defined in cObjectClient.cpp.
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

#endif
