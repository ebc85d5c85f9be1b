#include "cObjectClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ObjectCodec.h"
#include "VMsg.h"
#include "VSocket.h"
#include "VText.h"
#include "VWire.h"

namespace {

const size_t kReadChunk = 65536;
// A thread about to sleep on the connection first tries it this long: a
// loopback reply usually comes sooner, and a sleep and wake-up cost more.
// Only when the process may run on two CPUs or more (its affinity at
// start): on one CPU the spin keeps the peer that would answer off the CPU.
const int kSpinMicros = 50;
// A read that sleeps in recv returns after this long at most (SO_RCVTIMEO),
// so that its thread sees its deadline: one system call per message instead
// of poll and recv. The last part of a wait, shorter than this, polls.
const int kRecvSliceMs = 200;
// Queued messages are stored in buffers of this size (or one message).
const size_t kBacklogChunk = 16u << 10;
// A backlog larger than this returns its memory once drained.
const size_t kTrimBacklog = 256u << 10;

using Clock = std::chrono::steady_clock;

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

// Milliseconds from now until t, rounded up, at least 0: a poll timeout
// that never ends early.
int millisUntil(Clock::time_point t) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(0, std::min<decltype(left)>(left, 60000)));
}

}  // namespace

// The connection is read by whichever thread waits on it: the event thread
// while it has nothing to deliver, a requesting thread while it waits for
// its reply. One thread at a time holds the read turn (mReading); it hands
// what it read over (each reply to its request, every other message to the
// queue) and gives the turn back. A thread that needs the connection while
// another reads sleeps until that one hands something over or gives the
// turn back. So a reply or an event wakes the thread that waits for it
// directly, with no thread in between: on one CPU that saves two context
// switches per message. The connecting thread only makes connections.
struct cObjectClient::Impl {
    struct Pending {
        uint8_t seq;
        bool done;    // the reply is in place, or the request failed
        VMsg* reply;  // owned by the request once done
        bool lost;    // the connection closed while waiting
    };

    // log: the client itself, whose buffer requesting threads share under
    // mLogMutex.
    explicit Impl(cVlog& log);

    bool start(const char* host, unsigned short port);
    void stop();
    // Sends msg (whose sequence number is assigned here) and waits for the
    // reply. Returns the reply message or null; the caller owns it.
    VMsg* request(VMsg* msg, eRequestOutcome* outcome);
    // Waits, reading the connection when the turn is free, until pending is
    // done, the deadline passes or the client stops. lock holds mMutex.
    void awaitReply(std::unique_lock<std::mutex>& lock, Pending& pending);
    // One connection attempt: the connected socket, or -1 and *reason.
    int connectOnce(std::string* reason);
    // Logs an attempt as the class comment says; the owner's thread in
    // start(), then the connecting thread only.
    void noteAttempt(bool connected, const std::string& reason);
    // Makes fd the connection and announces it to the event thread, in one
    // step, so that no message of it can be handled before the announcement.
    void adopt(int fd);
    void closeConnection();
    bool sendAll(const std::vector<uint8_t>& bytes);
    void connectLoop();
    // Takes the read turn when it is free and there is a connection, reads
    // once (waiting until deadline at most) and gives the turn back. False
    // when the turn was not free. lock holds mMutex, also on return.
    bool readIfFree(std::unique_lock<std::mutex>& lock, Clock::time_point deadline);
    // Reads fd once, waiting until deadline at most, and hands over what
    // came. Holder of the read turn only, without mMutex.
    void readTurn(int fd, Clock::time_point deadline);
    // recv on fd, spinning first (see kSpinMicros), then sleeping until it
    // is readable or deadline passes (then -1 with EAGAIN).
    ssize_t receive(int fd, Clock::time_point deadline);
    // Hands the whole messages at the front of buffer on (replies to their
    // requests, the rest to the queue). False, with an ERROR line, when the
    // stream is malformed or the queue is full: the connection must go.
    bool handOver(std::vector<uint8_t>& buffer);
    void eventLoop();
    // The event thread's next piece of work, under mMutex: what is left of
    // chunk, a connection to announce, or a new buffer; reads the connection
    // while there is none and waits until nextTick at most. False when the
    // client stops.
    bool takeWork(std::vector<uint8_t>& chunk, size_t& offset, size_t& handled, unsigned& epoch,
                  Clock::time_point nextTick, bool& connected);
    // Hands the message at chunk[offset] to the listeners.
    void deliver(const std::vector<uint8_t>& chunk, size_t& offset, size_t& handled);
    // Hands a reply to its request or queues the message's wire bytes;
    // false when the queue would pass kMaxBacklogBytes.
    bool dispatch(VMsg* msg, const uint8_t* bytes, size_t size);
    void discardBacklog();
    template <typename... Args>
    void note(VlogPiority priority, const char* fmt, Args... args);

    cVlog& mLog;
    std::string mHost;
    std::string mHostShown;  // mHost with control characters escaped, for log lines
    unsigned short mPort;
    std::atomic<int> mFd;  // written under mMutex
    std::atomic<bool> mRunning;
    bool mStarted;

    int mSpinMicros;  // kSpinMicros, or 0 on one CPU; set by start()

    std::mutex mMutex;  // guards the members up to mInput
    // A reply in place, a message queued, the read turn free, a connection
    // made or lost, the client stopping.
    std::condition_variable mCond;
    std::condition_variable mConnCond;  // the connecting thread: connection lost, stopping
    bool mReading;                      // a thread holds the read turn
    std::vector<Pending*> mPending;
    uint8_t mNextSeq;
    bool mConnectNotice;  // a connection was made; the event thread announces it
    // Wire bytes of queued messages, whole messages per buffer, in order.
    std::deque<std::vector<uint8_t>> mEvents;
    std::vector<uint8_t> mSpare;  // a handled buffer of kBacklogChunk at most, for reuse
    // Bytes received and not yet handled (queued or held by the event
    // thread), the largest since the queue was last empty, and the number
    // of discarded backlogs (the event thread drops what it holds from one).
    size_t mBacklogBytes;
    size_t mBacklogPeak;
    unsigned mBacklogEpoch;

    // Used by the holder of the read turn only.
    std::vector<uint8_t> mInput;           // received bytes not yet handed over
    std::unique_ptr<uint8_t[]> mReceived;  // one recv's bytes (not zero-filled)
    cVlog mReadLog;

    std::mutex mWriteMutex;  // one writer at a time; taken before mMutex
    std::mutex mLogMutex;    // mLog's buffer, used by requesting threads
    unsigned mFailures;      // attempts failed in a row (connecting thread)
    Clock::time_point mFailureLogged;
    cVlog mConnectLog;  // the connecting thread's own buffer
    // Written only before start(), then read by the event thread unlocked.
    std::vector<cObjectListener*> mListeners;
    std::thread mConnector;
    std::thread mEventThread;
};

template <typename... Args>
void cObjectClient::Impl::note(VlogPiority priority, const char* fmt, Args... args) {
    std::lock_guard<std::mutex> lock(mLogMutex);
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

cObjectClient::Impl::Impl(cVlog& log)
    : mLog(log),
      mPort(0),
      mFd(-1),
      mRunning(false),
      mStarted(false),
      mSpinMicros(kSpinMicros),
      mReading(false),
      mNextSeq(0),
      mConnectNotice(false),
      mBacklogBytes(0),
      mBacklogPeak(0),
      mBacklogEpoch(0),
      mReadLog("ObjectClient"),
      mFailures(0),
      mConnectLog("ObjectClient") {}

cObjectClient::cObjectClient() : cVlog("ObjectClient"), mImpl(new Impl(*this)) {}

cObjectClient::~cObjectClient() {
    stop();
}

void cObjectClient::addListener(cObjectListener* listener) {
    std::lock_guard<std::mutex> lock(mImpl->mMutex);
    if (listener != nullptr) {
        mImpl->mListeners.push_back(listener);
    }
}

bool cObjectClient::start(const char* host, unsigned short port) {
    return mImpl->start(host, port);
}

void cObjectClient::stop() {
    mImpl->stop();
}

bool cObjectClient::isConnected() const {
    return mImpl->mFd.load() >= 0;
}

bool cObjectClient::Impl::start(const char* host, unsigned short port) {
    if (mStarted) {
        return false;
    }
    mStarted = true;
    mHost = host != nullptr ? host : "";
    mHostShown = vtext::escape(mHost.c_str(), mHost.size());
    mPort = port;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof(cpus), &cpus) == 0 && CPU_COUNT(&cpus) < 2) {
        mSpinMicros = 0;
    }
    mReceived.reset(new uint8_t[kReadChunk]);
    mRunning = true;
    std::string reason;
    int fd = connectOnce(&reason);
    noteAttempt(fd >= 0, reason);  // before the connecting thread exists
    if (fd >= 0) {
        adopt(fd);
    }
    mConnector = std::thread(&Impl::connectLoop, this);
    mEventThread = std::thread(&Impl::eventLoop, this);
    return fd >= 0;
}

void cObjectClient::Impl::stop() {
    {
        // Under the lock: a thread that saw the client running has taken
        // its read turn before the shutdown below, and no connection is
        // adopted after it.
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mRunning.exchange(false)) {
            return;
        }
        mCond.notify_all();
        mConnCond.notify_all();
        // Also under the lock, which every close takes: a reader that has
        // just seen the connection end cannot close the descriptor (and let
        // another part of the process reuse its number) in between.
        int fd = mFd.load();
        if (fd >= 0) {
            shutdown(fd, SHUT_RDWR);  // wakes the thread reading it
        }
    }
    if (mConnector.joinable()) {
        mConnector.join();
    }
    if (mEventThread.joinable()) {
        mEventThread.join();
    }
    closeConnection();
}

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
        int err =
            fd < 0 ? errno : connectWithTimeout(fd, ai->ai_addr, ai->ai_addrlen, kReconnectMs);
        if (err != 0) {
            *reason = strerror(err);
            if (fd >= 0) {
                close(fd);
            }
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        timeval slice{0, kRecvSliceMs * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
    }
    return fd;
}

void cObjectClient::Impl::adopt(int fd) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mRunning) {
        close(fd);  // stop() has begun: nobody would read or close it
        return;
    }
    mFd = fd;
    mConnectNotice = true;
    mCond.notify_all();
}

void cObjectClient::Impl::closeConnection() {
    std::lock_guard<std::mutex> writeLock(mWriteMutex);
    std::lock_guard<std::mutex> lock(mMutex);
    int fd = mFd.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
    // Requests waiting on this connection fail at once.
    for (Pending* p : mPending) {
        p->lost = !p->done;
        p->done = true;
    }
    mCond.notify_all();
    mConnCond.notify_all();
}

bool cObjectClient::Impl::sendAll(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mWriteMutex);
    int fd = mFd.load();
    return fd >= 0 && vwire::sendAll(fd, bytes);
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
    } else if (now - mFailureLogged >= std::chrono::milliseconds(kFailureLogMs)) {
        mFailureLogged = now;
        mConnectLog.warn("still cannot connect to \"%s\" port %u: %s (%u attempts)",
                         mHostShown.c_str(), static_cast<unsigned>(mPort), reason.c_str(),
                         mFailures);
    }
}

void cObjectClient::Impl::connectLoop() {
    std::unique_lock<std::mutex> lock(mMutex);
    while (mRunning) {
        if (mFd.load() >= 0) {
            mConnCond.wait(lock, [this] { return !mRunning || mFd.load() < 0; });
            continue;
        }
        if (mConnCond.wait_for(lock, std::chrono::milliseconds(kReconnectMs),
                               [this] { return !mRunning; })) {
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

bool cObjectClient::Impl::readIfFree(std::unique_lock<std::mutex>& lock,
                                     Clock::time_point deadline) {
    int fd = mFd.load();
    if (mReading || fd < 0) {
        return false;
    }
    mReading = true;
    lock.unlock();
    readTurn(fd, deadline);
    lock.lock();
    mReading = false;
    mCond.notify_all();  // whoever waited for the turn
    return true;
}

ssize_t cObjectClient::Impl::receive(int fd, Clock::time_point deadline) {
    auto spinEnd = Clock::now() + std::chrono::microseconds(mSpinMicros);
    for (;;) {
        int flags = MSG_DONTWAIT;
        if (mSpinMicros == 0 || Clock::now() >= spinEnd) {
            int left = millisUntil(deadline);
            if (left >= kRecvSliceMs) {
                flags = 0;  // sleeps in recv itself, one slice at most
            } else {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, left) == 0) {
                    errno = EAGAIN;
                    return -1;
                }
            }
        }
        ssize_t n = recv(fd, mReceived.get(), kReadChunk, flags);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return n;
        }
        if (Clock::now() >= deadline || !mRunning) {
            return -1;
        }
    }
}

void cObjectClient::Impl::readTurn(int fd, Clock::time_point deadline) {
    ssize_t n = receive(fd, deadline);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;  // nothing came in time
    }
    if (n <= 0) {
        if (mRunning) {
            mReadLog.warn("connection to %s port %u lost", mHostShown.c_str(),
                          static_cast<unsigned>(mPort));
            mInput.clear();
            closeConnection();
        }
        return;
    }
    mInput.insert(mInput.end(), mReceived.get(), mReceived.get() + n);
    if (!handOver(mInput)) {
        mInput.clear();
        closeConnection();
    }
}

bool cObjectClient::Impl::handOver(std::vector<uint8_t>& buffer) {
    bool full = false;
    const char* why = nullptr;
    bool sound = vwire::drainFrames(
        buffer,
        [&](std::unique_ptr<VMsg> msg, const uint8_t* bytes, size_t size) {
            full = !dispatch(msg.release(), bytes, size);
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

bool cObjectClient::Impl::dispatch(VMsg* msg, const uint8_t* bytes, size_t size) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (msg->mMsgID != vwire::MSG_EVT) {
        for (Pending* p : mPending) {
            if (!p->done && p->seq == msg->mMsgSeq) {
                p->reply = msg;
                p->done = true;
                mCond.notify_all();
                return true;
            }
        }
    }
    delete msg;  // queued in wire form: a decoded message takes several times the memory
    size_t backlog = mBacklogBytes + size;
    if (backlog > kMaxBacklogBytes) {
        return false;
    }
    if (mEvents.empty() || mEvents.back().capacity() - mEvents.back().size() < size) {
        if (mSpare.capacity() >= size) {
            mEvents.push_back(std::move(mSpare));  // no allocation per message
            mSpare = std::vector<uint8_t>();
        } else {
            mEvents.emplace_back();
            mEvents.back().reserve(std::max(kBacklogChunk, size));
        }
    }
    mEvents.back().insert(mEvents.back().end(), bytes, bytes + size);
    mBacklogBytes = backlog;
    mBacklogPeak = std::max(mBacklogPeak, backlog);
    mCond.notify_all();
    return true;
}

void cObjectClient::Impl::discardBacklog() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEvents.clear();
        mBacklogBytes = 0;
        mBacklogPeak = 0;
        ++mBacklogEpoch;  // the event thread drops what it holds
    }
    malloc_trim(0);
}

void cObjectClient::Impl::eventLoop() {
    std::vector<uint8_t> chunk;  // a buffer of whole messages, taken from the queue
    size_t offset = 0;           // the next message in chunk
    size_t handled = 0;          // bytes of the message handled last
    unsigned epoch = 0;          // mBacklogEpoch when chunk was taken
    auto nextTick = Clock::now() + std::chrono::milliseconds(kTickMs);
    for (;;) {
        bool connected = false;
        if (!takeWork(chunk, offset, handled, epoch, nextTick, connected)) {
            return;
        }
        if (connected) {
            for (cObjectListener* listener : mListeners) {
                listener->handleConnected();
            }
        }
        if (offset < chunk.size()) {
            deliver(chunk, offset, handled);
        }
        auto now = Clock::now();
        if (now >= nextTick) {
            nextTick = now + std::chrono::milliseconds(kTickMs);
            for (cObjectListener* listener : mListeners) {
                listener->handleTick();
            }
        }
    }
}

bool cObjectClient::Impl::takeWork(std::vector<uint8_t>& chunk, size_t& offset, size_t& handled,
                                   unsigned& epoch, Clock::time_point nextTick, bool& connected) {
    bool drained = false;
    std::unique_lock<std::mutex> lock(mMutex);
    if (epoch != mBacklogEpoch) {
        chunk.clear();  // its backlog was discarded
        offset = 0;
    } else if (handled > 0) {
        mBacklogBytes -= handled;
        if (mBacklogBytes == 0 && mBacklogPeak > kTrimBacklog) {
            mBacklogPeak = 0;
            drained = true;
        }
    }
    handled = 0;
    if (offset < chunk.size()) {
        return true;  // the rest of the buffer first
    }
    if (drained) {
        // A flood has been worked off: give its memory back.
        std::vector<uint8_t>().swap(chunk);
        lock.unlock();
        malloc_trim(0);
        lock.lock();
    }
    while (mRunning) {
        if (mConnectNotice) {
            // Announced before any message of the new connection is handled.
            mConnectNotice = false;
            connected = true;
            return true;
        }
        if (!mEvents.empty()) {
            if (mSpare.capacity() == 0 && chunk.capacity() <= kBacklogChunk) {
                chunk.clear();
                mSpare.swap(chunk);  // handled: its buffer takes the next message
            }
            chunk = std::move(mEvents.front());
            mEvents.pop_front();
            offset = 0;
            epoch = mBacklogEpoch;
            return true;
        }
        if (Clock::now() >= nextTick) {
            return true;
        }
        // Nothing to deliver: read the connection, or wait for whoever does.
        if (!readIfFree(lock, nextTick)) {
            mCond.wait_until(lock, nextTick);
        }
    }
    return false;
}

void cObjectClient::Impl::deliver(const std::vector<uint8_t>& chunk, size_t& offset,
                                  size_t& handled) {
    // Decoded once already when they were read, to tell events from replies.
    vwire::DecodeResult r = vwire::decode(chunk.data() + offset, chunk.size() - offset);
    if (r.status != vwire::DecodeStatus::kOk) {
        handled = chunk.size() - offset;
        offset = chunk.size();
        return;
    }
    offset += r.consumed;
    handled = r.consumed;
    cObjectList* list = objcodec::fromMessage(*r.msg);
    delete r.msg;
    for (cObjectListener* listener : mListeners) {
        listener->handleObjectAction(list);
    }
    list->deleteObjects();
    delete list;
}

VMsg* cObjectClient::Impl::request(VMsg* msg, eRequestOutcome* outcome) {
    Pending pending{0, false, nullptr, false};
    *outcome = REQUEST_NO_CONNECTION;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mFd.load() < 0 || !mRunning) {
            delete msg;
            return nullptr;
        }
        // A sequence number that no waiting request uses.
        for (int tries = 0; tries < 256; ++tries) {
            uint8_t seq = mNextSeq++;
            bool used = std::any_of(mPending.begin(), mPending.end(),
                                    [seq](const Pending* p) { return p->seq == seq; });
            if (!used) {
                pending.seq = seq;
                break;
            }
        }
        msg->mMsgSeq = pending.seq;
        mPending.push_back(&pending);
    }
    std::vector<uint8_t> bytes;
    bool encoded = vwire::encode(*msg, bytes);
    uint8_t msgId = msg->mMsgID;
    delete msg;
    bool sent = encoded && sendAll(bytes);
    std::unique_lock<std::mutex> lock(mMutex);
    if (sent) {
        awaitReply(lock, pending);
    }
    mPending.erase(std::find(mPending.begin(), mPending.end(), &pending));
    bool lost = pending.lost;
    VMsg* reply = pending.done ? pending.reply : nullptr;
    lock.unlock();
    if (!encoded) {
        *outcome = REQUEST_REFUSED;
        note(ERROR, "request %u not sent: a value is too long for the protocol",
             static_cast<unsigned>(msgId));
    } else if (!sent) {
        note(WARN, "request %u not sent: no connection", static_cast<unsigned>(msgId));
    } else if (reply == nullptr) {
        *outcome = lost ? REQUEST_NO_CONNECTION : REQUEST_NO_REPLY;
        note(WARN, "request %u seq %u: no reply", static_cast<unsigned>(msgId),
             static_cast<unsigned>(pending.seq));
    } else {
        *outcome = REQUEST_ANSWERED;
    }
    return reply;
}

void cObjectClient::Impl::awaitReply(std::unique_lock<std::mutex>& lock, Pending& pending) {
    auto deadline = Clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    while (!pending.done && mRunning && Clock::now() < deadline) {
        if (!readIfFree(lock, deadline)) {
            mCond.wait_until(lock, deadline);
        }
    }
}

cObjectList* cObjectClient::get(const cObjectList* query, eRequestOutcome* outcome) {
    eRequestOutcome ignored;
    outcome = outcome != nullptr ? outcome : &ignored;
    *outcome = REQUEST_REFUSED;
    if (query == nullptr) {
        return nullptr;
    }
    VMsg* reply = mImpl->request(objcodec::toMessage(*query, vwire::MSG_GET, 0), outcome);
    if (reply == nullptr) {
        return nullptr;
    }
    cObjectList* list = nullptr;
    if (reply->mMsgID == vwire::MSG_GET) {
        list = objcodec::fromMessage(*reply);
    } else {
        *outcome = REQUEST_REFUSED;
    }
    delete reply;
    return list;
}

cObject* cObjectClient::get(cObject* query, eRequestOutcome* outcome) {
    if (query == nullptr) {
        get(static_cast<const cObjectList*>(nullptr), outcome);  // sets the outcome
        return nullptr;
    }
    cObjectList one;
    one.add(query);
    cObjectList* reply = get(&one, outcome);
    if (reply == nullptr) {
        return nullptr;
    }
    cObject* first = reply->size() > 0 ? reply->at(0) : nullptr;
    for (size_t i = 1; i < reply->size(); ++i) {
        delete reply->at(i);
    }
    delete reply;
    return first;
}

int cObjectClient::set(cObject* obj) {
    if (obj == nullptr) {
        return -1;
    }
    cObjectList one;
    one.add(obj);
    eRequestOutcome outcome;
    VMsg* reply = mImpl->request(objcodec::toMessage(one, vwire::MSG_SET, 0), &outcome);
    if (reply == nullptr) {
        return -1;
    }
    int rc = reply->mMsgID == vwire::MSG_SET ? 0 : -2;
    delete reply;
    return rc;
}
