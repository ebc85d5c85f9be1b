#include "ulxobj/cObjectClient.h"

#include <sched.h>
#include <sys/socket.h>

#include <algorithm>

#include "ulxobj/ClientImpl.h"
#include "ulxobj/ObjectCodec.h"
#include "ulxobj/PortMatch.h"
#include "vmsg/VWire.h"
#include "vutil/VText.h"

cObjectClient::Impl::Impl(cVlog& log, const vutil::Timings& timings)
    : mLog(log),
      mTimings(timings),
      mPort(0),
      mRunning(false),
      mStarted(false),
      mSpinMicros(ulxobj::kSpinMicros),
      mConnections(0),
      mReading(false),
      mWriting(false),
      mConnectNotice(false),
      mBacklog(kMaxBacklogBytes),
      mInputConnection(0),
      mReadLog("ObjectClient"),
      mFailures(0),
      mConnectLog("ObjectClient") {}

cObjectClient::cObjectClient(const vutil::Timings& timings)
    : cVlog("ObjectClient"), mImpl(new Impl(*this, timings)) {}

cObjectClient::~cObjectClient() {
    stop();
}

void cObjectClient::addListener(cObjectListener* listener) {
    vsync::cLock lock(mImpl->mMutex);
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
    return mImpl->connected();
}

bool cObjectClient::Impl::connected() {
    cLock lock(mMutex);
    return mConn != nullptr;
}

bool cObjectClient::Impl::start(const char* host, unsigned short port) {
    if (mStarted) {
        return false;
    }
    mStarted = true;
    mHost = host != nullptr ? host : "";
    mHostShown = vutil::escape(mHost.c_str(), mHost.size());
    mPort = port;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof(cpus), &cpus) == 0 && CPU_COUNT(&cpus) < 2) {
        mSpinMicros = 0;
    }
    mReceived.reset(new uint8_t[ulxobj::kReadChunk]);
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
        cLock lock(mMutex);
        if (!mRunning.exchange(false)) {
            return;
        }
        mCond.notify_all();
        mConnCond.notify_all();
        if (mConn != nullptr) {
            shutdown(mConn->fd, SHUT_RDWR);  // wakes the threads reading or writing it
        }
    }
    if (mConnector.joinable()) {
        mConnector.join();
    }
    if (mEventThread.joinable()) {
        mEventThread.join();
    }
    dropConnection(nullptr);
}

VMsg* cObjectClient::Impl::request(VMsg* msg, eRequestOutcome* outcome) {
    // One deadline for the send and the reply together.
    auto deadline = Clock::now() + mTimings.replyTimeout;
    uint8_t msgId = msg->mMsgID;
    Pending pending{0, msgId, 0, false, nullptr, false};
    ConnectionRef conn;  // the request belongs to the connection it is sent on
    {
        cLock lock(mMutex);
        if (mConn == nullptr || !mRunning) {
            delete msg;
            *outcome = REQUEST_NO_CONNECTION;
            return nullptr;
        }
        pending.connection = mConn->id;
        if (!mReplies.enter(&pending, Clock::now())) {
            delete msg;
            *outcome = REQUEST_NO_REPLY;
            note(ERROR,
                 "request %u not sent: all 256 sequence numbers wait for replies or are held "
                 "back after timeouts",
                 static_cast<unsigned>(msgId));
            return nullptr;
        }
        conn = mConn;
        msg->mMsgSeq = pending.seq;
    }
    std::vector<uint8_t> bytes;
    bool encoded = vmsg::encode(*msg, bytes);
    delete msg;
    eSend sent = encoded ? sendWithin(*conn, bytes, deadline) : SEND_FAILED;
    cLock lock(mMutex);
    Clock::time_point holdUntil;
    if (sent == SEND_DONE) {
        awaitReply(lock, pending, deadline);
        if (!pending.done && mConn == conn) {
            // Its reply may still come: the number waits before it is used
            // again, so that the late reply cannot answer a later request.
            holdUntil = Clock::now() + mTimings.heldSequence;
        }
    } else if (sent == SEND_LATE) {
        dropLocked(conn.get());  // a part of the message may be on the wire
    }
    mReplies.leave(&pending, holdUntil);
    bool lost = pending.lost;
    VMsg* reply = pending.done ? pending.reply : nullptr;
    lock.unlock();
    conn.reset();
    *outcome = !encoded ? REQUEST_REFUSED : outcomeOf(sent, reply != nullptr, lost);
    reportFailure(*outcome, sent, msgId, pending.seq);
    return reply;
}

cObjectClient::eRequestOutcome cObjectClient::Impl::outcomeOf(eSend sent, bool replied, bool lost) {
    if (sent != SEND_DONE || (!replied && lost)) {
        return REQUEST_NO_CONNECTION;  // a late send dropped the connection
    }
    return replied ? REQUEST_ANSWERED : REQUEST_NO_REPLY;
}

void cObjectClient::Impl::reportFailure(eRequestOutcome outcome, eSend sent, uint8_t msgId,
                                        uint8_t seq) {
    unsigned id = msgId;
    if (outcome == REQUEST_REFUSED) {
        note(ERROR, "request %u not sent: a value is too long for the protocol", id);
    } else if (sent == SEND_FAILED) {
        note(WARN, "request %u not sent: no connection", id);
    } else if (sent == SEND_LATE) {
        note(WARN,
             "request %u seq %u: the site daemon did not take it within %d ms; dropping the "
             "connection",
             id, static_cast<unsigned>(seq), static_cast<int>(mTimings.replyTimeout.count()));
    } else if (outcome == REQUEST_NO_CONNECTION) {
        note(WARN, "request %u seq %u: the connection was lost before the reply", id,
             static_cast<unsigned>(seq));
    } else if (outcome != REQUEST_ANSWERED) {
        note(WARN, "request %u seq %u: no reply", id, static_cast<unsigned>(seq));
    }
}

void cObjectClient::Impl::awaitReply(cLock& lock, Pending& pending, Clock::time_point deadline) {
    while (!pending.done && mRunning && Clock::now() < deadline) {
        // The event thread wakes about once a tick to say it is alive.
        auto wake = std::min(deadline, Clock::now() + mTimings.tick);
        if (!readIfFree(wake)) {
            mCond.wait_until(lock.native(), wake);
        }
        mMutex.unlock();
        stillWaiting();
        mMutex.lock();
    }
}

cObjectList* cObjectClient::get(const cObjectList* query, eRequestOutcome* outcome) {
    eRequestOutcome ignored;
    outcome = outcome != nullptr ? outcome : &ignored;
    *outcome = REQUEST_REFUSED;
    if (query == nullptr) {
        return nullptr;
    }
    VMsg* reply = mImpl->request(ulxobj::toMessage(*query, vmsg::MSG_GET, 0), outcome);
    if (reply == nullptr) {
        return nullptr;
    }
    cObjectList* list = nullptr;
    if (reply->mMsgID == vmsg::MSG_GET) {
        list = ulxobj::fromMessage(*reply);
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

namespace {

// Empty when applied is the reply to a SET of sent: one object, the same
// output (serial, port id, port type) in the state sent; else what it holds,
// for the WARN line. An object that is no output is answered by one object
// of its type.
std::string setReplyMismatch(const cObject& sent, const cObjectList& applied) {
    if (applied.size() != 1) {
        return applied.size() == 0 ? std::string("no object")
                                   : std::to_string(applied.size()) + " objects";
    }
    const cObject& got = *applied.at(0);
    const cObjectDOutput* out = dynamic_cast<const cObjectDOutput*>(&sent);
    if (out == nullptr) {
        return got.getType() == sent.getType() ? std::string() : ulxobj::describe(got);
    }
    if (!ulxobj::isSameOutput(*out, got)) {
        return ulxobj::describe(got);
    }
    int state = static_cast<const cObjectDOutput&>(got).getOutputState();
    if (state != out->getOutputState()) {
        return ulxobj::describe(got) + " in state " + cObject::stateName(state);
    }
    return std::string();
}

}  // namespace

int cObjectClient::set(cObject* obj) {
    if (obj == nullptr) {
        return -1;
    }
    cObjectList one;
    one.add(obj);
    eRequestOutcome outcome;
    VMsg* reply = mImpl->request(ulxobj::toMessage(one, vmsg::MSG_SET, 0), &outcome);
    if (reply == nullptr) {
        return -1;
    }
    if (reply->mMsgID != vmsg::MSG_SET) {
        delete reply;
        return -2;
    }
    std::unique_ptr<cObjectList> applied(ulxobj::fromMessage(*reply));
    delete reply;
    std::string what = setReplyMismatch(*obj, *applied);
    applied->deleteObjects();
    if (!what.empty()) {
        std::string sent = ulxobj::describe(*obj);
        if (const cObjectDOutput* out = dynamic_cast<const cObjectDOutput*>(obj)) {
            sent += std::string(" to ") + cObject::stateName(out->getOutputState());
        }
        mImpl->note(WARN, "the SET of %s was answered with %s, not that output; it is unconfirmed",
                    sent.c_str(), what.c_str());
        return -3;
    }
    return 0;
}
