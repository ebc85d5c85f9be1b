// The hand-over of messages to the backlog (ulxobj::cBacklog) and the event
// thread that empties it. See ClientImpl.h for the lock rules.
#include <malloc.h>

#include "ulxobj/ClientImpl.h"
#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

namespace {

// The client whose event thread this is, if any.
thread_local const void* tEventThreadOf = nullptr;

}  // namespace

void cObjectClient::Impl::stillWaiting() {
    if (tEventThreadOf != this) {
        return;  // another thread's wait says nothing of the event thread
    }
    auto now = Clock::now();
    if (now < mNextAlive) {
        return;
    }
    mNextAlive = now + mTimings.tick;
    for (cObjectListener* listener : mListeners) {
        listener->handleWaiting();
    }
}

bool cObjectClient::Impl::dispatch(VMsg* msg, const uint8_t* bytes, size_t size,
                                   unsigned connection) {
    cLock lock(mMutex);
    if (Pending* p = mReplies.claimant(*msg, connection)) {
        p->reply = msg;
        p->done = true;
        mCond.notify_all();
        return true;
    }
    delete msg;  // queued in wire form: a decoded message takes several times the memory
    if (!mBacklog.push(bytes, size, Clock::now())) {
        return false;
    }
    mCond.notify_all();
    return true;
}

void cObjectClient::Impl::discardBacklog() {
    {
        cLock lock(mMutex);
        mBacklog.discard();  // the event thread drops what it holds
    }
    malloc_trim(0);
}

void cObjectClient::Impl::eventLoop() {
    tEventThreadOf = this;
    ulxobj::cBacklog::Chunk chunk;  // a buffer of whole messages, taken from the queue
    auto nextTick = Clock::now() + mTimings.tick;
    for (;;) {
        bool connected = false;
        if (!takeWork(chunk, nextTick, connected)) {
            return;
        }
        if (connected) {
            for (cObjectListener* listener : mListeners) {
                listener->handleConnected();
            }
        }
        deliver(chunk);
        auto now = Clock::now();
        if (now >= nextTick) {
            nextTick = now + mTimings.tick;
            for (cObjectListener* listener : mListeners) {
                listener->handleTick();
            }
        }
    }
}

bool cObjectClient::Impl::takeWork(ulxobj::cBacklog::Chunk& chunk, Clock::time_point nextTick,
                                   bool& connected) {
    cLock lock(mMutex);
    bool drained = mBacklog.settle(chunk);
    if (chunk.offset < chunk.bytes.size()) {
        return true;  // the rest of the buffer first
    }
    if (drained) {
        // A flood has been worked off: give its memory back.
        std::vector<uint8_t>().swap(chunk.bytes);
        chunk.offset = 0;
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
        if (mBacklog.refill(chunk)) {
            return true;
        }
        if (Clock::now() >= nextTick) {
            return true;
        }
        // Nothing to deliver: read the connection, or wait for whoever does.
        if (!readIfFree(nextTick)) {
            mCond.wait_until(lock.native(), nextTick);
        }
    }
    return false;
}

void cObjectClient::Impl::deliver(ulxobj::cBacklog::Chunk& chunk) {
    ulxobj::cBacklog::Message message;
    if (!ulxobj::cBacklog::next(chunk, &message)) {
        return;
    }
    // Decoded once already when they were read, to tell events from replies.
    vmsg::DecodeResult r = vmsg::decode(message.wire, message.size);
    if (r.status != vmsg::DecodeStatus::kOk) {
        return;
    }
    cObjectList* list = ulxobj::fromMessage(*r.msg);
    delete r.msg;
    list->setReadAt(message.readAt);
    for (cObjectListener* listener : mListeners) {
        listener->handleObjectAction(list);
    }
    list->deleteObjects();
    delete list;
}
