#include "cObjectClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "ObjectCodec.h"
#include "VSocket.h"
#include "VWire.h"

namespace {

const size_t kReadChunk = 65536;

// Connects fd to addr within timeoutMs; fd is non-blocking during the call.
bool connectWithTimeout(int fd, const sockaddr* addr, socklen_t len, int timeoutMs) {
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = connect(fd, addr, len);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        rc = poll(&p, 1, timeoutMs) == 1 ? 0 : -1;
        if (rc == 0) {
            int err = 0;
            socklen_t errLen = sizeof(err);
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen);
            rc = err == 0 ? 0 : -1;
        }
    }
    fcntl(fd, F_SETFL, flags);
    return rc == 0;
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
      mNextSeq(0),
      mEventCount(0),
      mEventPeak(0),
      mReadLog("ObjectClient") {}

cObjectClient::~cObjectClient() {
    stop();
    for (VMsg* msg : mEvents) {
        delete msg;
    }
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
    mPort = port;
    mRunning = true;
    bool connected = connectOnce();
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

bool cObjectClient::connectOnce() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(mPort);
    if (getaddrinfo(mHost.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    int fd = -1;
    for (addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            continue;
        }
        if (!connectWithTimeout(fd, ai->ai_addr, ai->ai_addrlen, kReconnectMs)) {
            close(fd);
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
        p->done = true;
    }
    mReplyCond.notify_all();
}

template <typename Ready>
void cObjectClient::spinUntil(Ready ready) {
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicros);
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

void cObjectClient::readLoop() {
    std::vector<uint8_t> buffer;
    bool wasConnected = mFd.load() >= 0;
    if (wasConnected) {
        mReadLog.info("connected to %s port %u", mHost.c_str(), static_cast<unsigned>(mPort));
    }
    while (mRunning) {
        int fd = mFd.load();
        if (fd < 0) {
            if (waitStopping(kReconnectMs)) {
                break;
            }
            if (connectOnce()) {
                buffer.clear();
                mReadLog.info("connected to %s port %u", mHost.c_str(),
                              static_cast<unsigned>(mPort));
            }
            continue;
        }
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
            mReadLog.warn("connection to %s port %u lost", mHost.c_str(),
                          static_cast<unsigned>(mPort));
            buffer.clear();
            closeConnection();
            continue;
        }
        buffer.resize(old + static_cast<size_t>(n));
        size_t offset = 0;
        bool broken = false;
        while (offset < buffer.size()) {
            vwire::DecodeResult r = vwire::decode(buffer.data() + offset, buffer.size() - offset);
            if (r.status == vwire::DecodeStatus::kNeedMore) {
                break;
            }
            if (r.status == vwire::DecodeStatus::kMalformed) {
                mReadLog.error("malformed message from %s port %u (%s); reconnecting",
                               mHost.c_str(), static_cast<unsigned>(mPort), r.error);
                broken = true;
                break;
            }
            offset += r.consumed;
            dispatch(r.msg);
        }
        if (broken) {
            buffer.clear();
            closeConnection();
        } else {
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
        }
    }
}

void cObjectClient::dispatch(VMsg* msg) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (msg->mMsgID != vwire::MSG_EVT) {
        for (Pending* p : mPending) {
            if (!p->done.load(std::memory_order_relaxed) && p->seq == msg->mMsgSeq) {
                p->reply = msg;
                p->done.store(true, std::memory_order_release);
                mReplyCond.notify_all();
                return;
            }
        }
    }
    mEvents.push_back(msg);
    mEventCount.store(mEvents.size(), std::memory_order_release);
    mEventPeak = std::max(mEventPeak, mEvents.size());
    mEventCond.notify_one();
}

void cObjectClient::eventLoop() {
    for (;;) {
        spinUntil([this] { return mEventCount.load(std::memory_order_acquire) > 0 || !mRunning; });
        VMsg* msg = nullptr;
        bool drained = false;
        {
            std::unique_lock<std::mutex> lock(mMutex);
            mEventCond.wait(lock, [this] { return !mRunning || !mEvents.empty(); });
            if (!mRunning) {
                return;
            }
            msg = mEvents.front();
            mEvents.pop_front();
            mEventCount.store(mEvents.size(), std::memory_order_release);
            if (mEvents.empty() && mEventPeak > kTrimBacklog) {
                mEventPeak = 0;
                drained = true;
            }
        }
        if (drained) {
            // A flood has been worked off: give its memory back to the system.
            malloc_trim(0);
        }
        cObjectList* list = objcodec::fromMessage(*msg);
        delete msg;
        for (cObjectListener* listener : mListeners) {
            listener->handleObjectAction(list);
        }
        list->deleteObjects();
        delete list;
    }
}

VMsg* cObjectClient::request(VMsg* msg) {
    Pending pending;
    pending.seq = 0;
    pending.done = false;
    pending.reply = nullptr;
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
    if (sent) {
        spinUntil([&pending] { return pending.done.load(std::memory_order_acquire); });
    }
    std::unique_lock<std::mutex> lock(mMutex);
    if (sent) {
        mReplyCond.wait_for(lock, std::chrono::milliseconds(kReplyTimeoutMs),
                            [&pending] { return pending.done.load(); });
    }
    mPending.erase(std::find(mPending.begin(), mPending.end(), &pending));
    lock.unlock();
    if (!encoded) {
        note(ERROR, "request %u not sent: a value is too long for the protocol",
             static_cast<unsigned>(msgId));
    } else if (!sent) {
        note(WARN, "request %u not sent: no connection", static_cast<unsigned>(msgId));
    } else if (pending.reply == nullptr) {
        note(WARN, "request %u seq %u: no reply", static_cast<unsigned>(msgId),
             static_cast<unsigned>(pending.seq));
    }
    return pending.reply;
}

cObjectList* cObjectClient::get(cObjectList* query) {
    if (query == nullptr) {
        return nullptr;
    }
    VMsg* reply = request(objcodec::toMessage(*query, vwire::MSG_GET, 0));
    if (reply == nullptr) {
        return nullptr;
    }
    cObjectList* list = nullptr;
    if (reply->mMsgID == vwire::MSG_GET) {
        list = objcodec::fromMessage(*reply);
    }
    delete reply;
    return list;
}

cObject* cObjectClient::get(cObject* query) {
    if (query == nullptr) {
        return nullptr;
    }
    cObjectList one;
    one.add(query);
    cObjectList* reply = get(&one);
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
    VMsg* reply = request(objcodec::toMessage(one, vwire::MSG_SET, 0));
    if (reply == nullptr) {
        return -1;
    }
    int rc = reply->mMsgID == vwire::MSG_SET ? 0 : -2;
    delete reply;
    return rc;
}
