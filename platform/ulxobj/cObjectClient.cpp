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
// A waiting thread first spins this long before it sleeps: a loopback
// reply usually comes sooner, and a sleep and wake-up cost more. Only
// when the process may run on two CPUs or more (its affinity at start):
// on one CPU the spin keeps the thread that would answer off the CPU.
const int kSpinMicros = 50;
// Queued messages are stored in buffers of this size (or one message).
const size_t kBacklogChunk = 16u << 10;
// A backlog larger than this returns its memory once drained.
const size_t kTrimBacklog = 256u << 10;

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

}  // namespace

struct cObjectClient::Impl {
    struct Pending {
        uint8_t seq;
        std::atomic<bool> done;  // set once reply is in place (or the request failed)
        VMsg* reply;
        bool lost;  // the connection closed while waiting (guarded by mMutex)
    };

    // log: the client itself, whose buffer requesting threads share under
    // mLogMutex.
    explicit Impl(cVlog& log);

    bool start(const char* host, unsigned short port);
    void stop();
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

    cVlog& mLog;
    std::string mHost;
    std::string mHostShown;  // mHost with control characters escaped, for log lines
    unsigned short mPort;
    std::atomic<int> mFd;
    std::atomic<bool> mRunning;
    bool mStarted;

    int mSpinMicros;  // kSpinMicros, or 0 on one CPU; set by start()

    std::mutex
        mMutex;  // guards mPending, mNextSeq, mConnectNotice, mEvents, mBacklogPeak, mBacklogEpoch
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
    std::mutex mLogMutex;       // mLog's buffer, used by requesting threads
    std::string mFirstFailure;  // why start()'s attempt failed, logged by the reading thread
    unsigned mFailures;         // attempts failed in a row (reading thread)
    std::chrono::steady_clock::time_point mFailureLogged;
    cVlog mReadLog;  // the reading thread's own buffer
    // Written only before start(), then read by the event thread unlocked.
    std::vector<cObjectListener*> mListeners;
    std::thread mReader;
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
      mNextSeq(0),
      mConnectNotice(false),
      mEventsWaiting(false),
      mBacklogBytes(0),
      mBacklogPeak(0),
      mBacklogEpoch(0),
      mFailures(0),
      mReadLog("ObjectClient") {}

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
    mRunning = true;
    bool connected = connectOnce(&mFirstFailure);
    mReader = std::thread(&Impl::readLoop, this);
    mEventThread = std::thread(&Impl::eventLoop, this);
    return connected;
}

void cObjectClient::Impl::stop() {
    if (!mRunning.exchange(false)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopCond.notify_all();
        mEventCond.notify_all();
        mRoomCond.notify_all();
    }
    int fd = mFd.load();
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);  // ends a blocking recv of the reading thread
    }
    if (mReader.joinable()) {
        mReader.join();
    }
    if (mEventThread.joinable()) {
        mEventThread.join();
    }
    closeConnection();
}

bool cObjectClient::Impl::connectOnce(std::string* reason) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(mPort);
    int gai = getaddrinfo(mHost.c_str(), service.c_str(), &hints, &found);
    if (gai != 0 || found == nullptr) {
        *reason = gai != 0 ? gai_strerror(gai) : "no address";
        return false;
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
    if (fd < 0) {
        return false;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    mFd = fd;
    return true;
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
    mReplyCond.notify_all();
}

template <typename Ready>
void cObjectClient::Impl::spinUntil(Ready ready) {
    if (mSpinMicros == 0) {
        return;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(mSpinMicros);
    while (!ready() && std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
        __asm__ __volatile__("yield");
#endif
    }
}

bool cObjectClient::Impl::waitStopping(int ms) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mStopCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !mRunning; });
}

bool cObjectClient::Impl::sendAll(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mWriteMutex);
    int fd = mFd.load();
    return fd >= 0 && vwire::sendAll(fd, bytes);
}

void cObjectClient::Impl::noteAttempt(bool connected, const std::string& reason) {
    auto now = std::chrono::steady_clock::now();
    if (connected) {
        mFailures = 0;
        mReadLog.info("connected to %s port %u", mHostShown.c_str(), static_cast<unsigned>(mPort));
        // Announced before anything is read from the new connection.
        std::lock_guard<std::mutex> lock(mMutex);
        mConnectNotice = true;
        mEventCond.notify_one();
    } else if (mFailures++ == 0) {
        mFailureLogged = now;
        mReadLog.warn("cannot connect to \"%s\" port %u: %s", mHostShown.c_str(),
                      static_cast<unsigned>(mPort), reason.c_str());
    } else if (now - mFailureLogged >= std::chrono::milliseconds(kFailureLogMs)) {
        mFailureLogged = now;
        mReadLog.warn("still cannot connect to \"%s\" port %u: %s (%u attempts)",
                      mHostShown.c_str(), static_cast<unsigned>(mPort), reason.c_str(), mFailures);
    }
}

void cObjectClient::Impl::readLoop() {
    std::vector<uint8_t> buffer;
    noteAttempt(mFd.load() >= 0, mFirstFailure);
    while (mRunning) {
        int fd = mFd.load();
        if (fd < 0) {
            if (waitStopping(kReconnectMs)) {
                break;
            }
            std::string reason;
            bool connected = connectOnce(&reason);
            if (connected) {
                buffer.clear();
            }
            noteAttempt(connected, reason);
            continue;
        }
        waitForRoom();
        size_t old = buffer.size();
        buffer.resize(old + kReadChunk);
        ssize_t n = recv(fd, buffer.data() + old, kReadChunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            buffer.resize(old);
            continue;
        }
        if (n <= 0) {
            if (!mRunning) {
                break;
            }
            mReadLog.warn("connection to %s port %u lost", mHostShown.c_str(),
                          static_cast<unsigned>(mPort));
            buffer.clear();
            closeConnection();
            continue;
        }
        buffer.resize(old + static_cast<size_t>(n));
        if (!handOver(buffer)) {
            buffer.clear();
            closeConnection();
        }
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

void cObjectClient::Impl::waitForRoom() {
    if (mBacklogBytes.load(std::memory_order_relaxed) < kMaxBacklogBytes / 2) {
        return;
    }
    // A full queue with nobody waiting for a reply: leave the rest in the
    // socket until the event thread has caught up. A waiting request needs
    // its reply, which may only come after further events: read on.
    std::unique_lock<std::mutex> lock(mMutex);
    mRoomCond.wait(lock, [this] {
        return !mRunning || !mPending.empty() || mBacklogBytes.load() < kMaxBacklogBytes / 2;
    });
}

bool cObjectClient::Impl::dispatch(VMsg* msg, const uint8_t* bytes, size_t size) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (msg->mMsgID != vwire::MSG_EVT) {
        for (Pending* p : mPending) {
            if (!p->done.load(std::memory_order_relaxed) && p->seq == msg->mMsgSeq) {
                p->reply = msg;
                p->done.store(true, std::memory_order_release);
                mReplyCond.notify_all();
                return true;
            }
        }
    }
    delete msg;  // queued in wire form: a decoded message takes several times the memory
    size_t backlog = mBacklogBytes.load() + size;
    if (backlog > kMaxBacklogBytes) {
        return false;
    }
    if (mEvents.empty() || mEvents.back().capacity() - mEvents.back().size() < size) {
        mEvents.emplace_back();
        mEvents.back().reserve(std::max(kBacklogChunk, size));
    }
    mEvents.back().insert(mEvents.back().end(), bytes, bytes + size);
    mBacklogBytes.store(backlog);
    mBacklogPeak = std::max(mBacklogPeak, backlog);
    mEventsWaiting.store(true, std::memory_order_release);
    mEventCond.notify_one();
    return true;
}

void cObjectClient::Impl::discardBacklog() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEvents.clear();
        mEventsWaiting = false;
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
    auto nextTick = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTickMs);
    for (;;) {
        if (offset == chunk.size()) {
            spinUntil(
                [this] { return mEventsWaiting.load(std::memory_order_acquire) || !mRunning; });
        }
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
        auto now = std::chrono::steady_clock::now();
        if (now >= nextTick) {
            nextTick = now + std::chrono::milliseconds(kTickMs);
            for (cObjectListener* listener : mListeners) {
                listener->handleTick();
            }
        }
    }
}

bool cObjectClient::Impl::takeWork(std::vector<uint8_t>& chunk, size_t& offset, size_t& handled,
                                   unsigned& epoch, std::chrono::steady_clock::time_point nextTick,
                                   bool& connected) {
    bool drained = false;
    std::unique_lock<std::mutex> lock(mMutex);
    if (epoch != mBacklogEpoch) {
        chunk.clear();  // its backlog was discarded
        offset = 0;
    } else if (handled > 0) {
        size_t backlog = mBacklogBytes.load() - handled;
        mBacklogBytes.store(backlog);
        if (backlog < kMaxBacklogBytes / 2) {
            mRoomCond.notify_one();
        }
        if (backlog == 0 && mBacklogPeak > kTrimBacklog) {
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
    mEventCond.wait_until(lock, nextTick,
                          [this] { return !mRunning || !mEvents.empty() || mConnectNotice; });
    if (!mRunning) {
        return false;
    }
    if (mConnectNotice) {
        // Announced before any message of the new connection is handled.
        mConnectNotice = false;
        connected = true;
    } else if (!mEvents.empty()) {
        chunk = std::move(mEvents.front());
        mEvents.pop_front();
        mEventsWaiting.store(!mEvents.empty(), std::memory_order_release);
        offset = 0;
        epoch = mBacklogEpoch;
    }
    return true;
}

void cObjectClient::Impl::deliver(const std::vector<uint8_t>& chunk, size_t& offset,
                                  size_t& handled) {
    // The reading thread decoded these bytes once already.
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
    Pending pending;
    pending.seq = 0;
    pending.done = false;
    pending.reply = nullptr;
    pending.lost = false;
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
        mRoomCond.notify_one();  // its reply may lie behind a full queue's worth of events
    }
    std::vector<uint8_t> bytes;
    bool encoded = vwire::encode(*msg, bytes);
    uint8_t msgId = msg->mMsgID;
    delete msg;
    bool sent = encoded && sendAll(bytes);
    if (sent) {
        spinUntil([&pending] { return pending.done.load(std::memory_order_acquire); });
    }
    std::unique_lock<std::mutex> lock(mMutex);
    if (sent) {
        mReplyCond.wait_for(lock, std::chrono::milliseconds(kReplyTimeoutMs),
                            [&pending] { return pending.done.load(); });
    }
    mPending.erase(std::find(mPending.begin(), mPending.end(), &pending));
    bool lost = pending.lost;
    lock.unlock();
    if (!encoded) {
        *outcome = REQUEST_REFUSED;
        note(ERROR, "request %u not sent: a value is too long for the protocol",
             static_cast<unsigned>(msgId));
    } else if (!sent) {
        note(WARN, "request %u not sent: no connection", static_cast<unsigned>(msgId));
    } else if (pending.reply == nullptr) {
        *outcome = lost ? REQUEST_NO_CONNECTION : REQUEST_NO_REPLY;
        note(WARN, "request %u seq %u: no reply", static_cast<unsigned>(msgId),
             static_cast<unsigned>(pending.seq));
    } else {
        *outcome = REQUEST_ANSWERED;
    }
    return pending.reply;
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
