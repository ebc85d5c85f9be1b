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
#include <cerrno>
#include <chrono>
#include <cstring>

#include "ObjectCodec.h"
#include "VSocket.h"
#include "VText.h"
#include "VWire.h"

namespace {

const size_t kReadChunk = 65536;

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

template <typename... Args>
void cObjectClient::note(VlogPiority priority, const char* fmt, Args... args) {
    std::lock_guard<std::mutex> lock(mLogMutex);
    switch (priority) {
        case ERROR:
            error(fmt, args...);
            break;
        case WARN:
            warn(fmt, args...);
            break;
        case INFO:
            info(fmt, args...);
            break;
        default:
            debug(fmt, args...);
            break;
    }
}

cObjectClient::cObjectClient()
    : cVlog("ObjectClient"),
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

cObjectClient::~cObjectClient() {
    stop();
}

void cObjectClient::addListener(cObjectListener* listener) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (listener != nullptr) {
        mListeners.push_back(listener);
    }
}

bool cObjectClient::start(const char* host, unsigned short port) {
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
    mReader = std::thread(&cObjectClient::readLoop, this);
    mEventThread = std::thread(&cObjectClient::eventLoop, this);
    return connected;
}

void cObjectClient::stop() {
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

bool cObjectClient::connectOnce(std::string* reason) {
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

void cObjectClient::closeConnection() {
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
void cObjectClient::spinUntil(Ready ready) {
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

bool cObjectClient::waitStopping(int ms) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mStopCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !mRunning; });
}

bool cObjectClient::sendAll(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mWriteMutex);
    int fd = mFd.load();
    return fd >= 0 && vwire::sendAll(fd, bytes);
}

void cObjectClient::noteAttempt(bool connected, const std::string& reason) {
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

void cObjectClient::readLoop() {
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

bool cObjectClient::handOver(std::vector<uint8_t>& buffer) {
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

void cObjectClient::waitForRoom() {
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

bool cObjectClient::dispatch(VMsg* msg, const uint8_t* bytes, size_t size) {
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

void cObjectClient::discardBacklog() {
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

void cObjectClient::eventLoop() {
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

bool cObjectClient::takeWork(std::vector<uint8_t>& chunk, size_t& offset, size_t& handled,
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

void cObjectClient::deliver(const std::vector<uint8_t>& chunk, size_t& offset, size_t& handled) {
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

VMsg* cObjectClient::request(VMsg* msg, eRequestOutcome* outcome) {
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

cObjectList* cObjectClient::get(cObjectList* query, eRequestOutcome* outcome) {
    eRequestOutcome ignored;
    outcome = outcome != nullptr ? outcome : &ignored;
    *outcome = REQUEST_REFUSED;
    if (query == nullptr) {
        return nullptr;
    }
    VMsg* reply = request(objcodec::toMessage(*query, vwire::MSG_GET, 0), outcome);
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
        get(static_cast<cObjectList*>(nullptr), outcome);  // sets the outcome
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
    VMsg* reply = request(objcodec::toMessage(one, vwire::MSG_SET, 0), &outcome);
    if (reply == nullptr) {
        return -1;
    }
    int rc = reply->mMsgID == vwire::MSG_SET ? 0 : -2;
    delete reply;
    return rc;
}
