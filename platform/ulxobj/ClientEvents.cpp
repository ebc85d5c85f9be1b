// The client's backlog (the queue of messages for the listeners, its byte
// bound and its epoch) and the event thread that empties it. See
// ClientImpl.h for the lock rules.
#include <malloc.h>

#include <algorithm>
#include <cstring>

#include "ulxobj/ClientImpl.h"
#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

namespace {

// The client whose event thread this is, if any.
thread_local const void* tEventThreadOf = nullptr;

// Each queued message is stored behind a head of its own: when it was read
// (steady clock ticks, int64_t) and its wire size (uint32_t).
constexpr size_t kHeadBytes = sizeof(int64_t) + sizeof(uint32_t);

}  // namespace

void cObjectClient::Impl::stillWaiting() {
    if (tEventThreadOf != this) {
        return;  // another thread's wait says nothing of the event thread
    }
    auto now = Clock::now();
    if (now < mNextAlive) {
        return;
    }
    mNextAlive = now + std::chrono::milliseconds(kTickMs);
    for (cObjectListener* listener : mListeners) {
        listener->handleWaiting();
    }
}

bool cObjectClient::Impl::dispatch(VMsg* msg, const uint8_t* bytes, size_t size,
                                   unsigned connection) {
    cLock lock(mMutex);
    if (Pending* p = claimant(*msg, connection)) {
        p->reply = msg;
        p->done = true;
        mCond.notify_all();
        return true;
    }
    delete msg;  // queued in wire form: a decoded message takes several times the memory
    // The bound counts wire bytes only: the same messages fit whatever the
    // head records take.
    size_t backlog = mBacklogBytes + size;
    if (backlog > kMaxBacklogBytes) {
        return false;
    }
    const size_t stored = kHeadBytes + size;
    if (mEvents.empty() || mEvents.back().capacity() - mEvents.back().size() < stored) {
        if (mSpare.capacity() >= stored) {
            mEvents.push_back(std::move(mSpare));  // no allocation per message
            mSpare = std::vector<uint8_t>();
        } else {
            mEvents.emplace_back();
            mEvents.back().reserve(std::max(ulxobj::kBacklogChunk, stored));
        }
    }
    uint8_t head[kHeadBytes];
    int64_t readAt = Clock::now().time_since_epoch().count();
    uint32_t wireSize = static_cast<uint32_t>(size);  // at most kMaxBacklogBytes
    memcpy(head, &readAt, sizeof(readAt));
    memcpy(head + sizeof(readAt), &wireSize, sizeof(wireSize));
    mEvents.back().insert(mEvents.back().end(), head, head + kHeadBytes);
    mEvents.back().insert(mEvents.back().end(), bytes, bytes + size);
    mBacklogBytes = backlog;
    mBacklogPeak = std::max(mBacklogPeak, backlog);
    mCond.notify_all();
    return true;
}

void cObjectClient::Impl::discardBacklog() {
    {
        cLock lock(mMutex);
        mEvents.clear();
        mBacklogBytes = 0;
        mBacklogPeak = 0;
        ++mBacklogEpoch;  // the event thread drops what it holds
    }
    malloc_trim(0);
}

void cObjectClient::Impl::eventLoop() {
    tEventThreadOf = this;
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
    cLock lock(mMutex);
    if (epoch != mBacklogEpoch) {
        chunk.clear();  // its backlog was discarded
        offset = 0;
    } else if (handled > 0) {
        mBacklogBytes -= handled;
        if (mBacklogBytes == 0 && mBacklogPeak > ulxobj::kTrimBacklog) {
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
            if (mSpare.capacity() == 0 && chunk.capacity() <= ulxobj::kBacklogChunk) {
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
        if (!readIfFree(nextTick)) {
            mCond.wait_until(lock.native(), nextTick);
        }
    }
    return false;
}

void cObjectClient::Impl::deliver(const std::vector<uint8_t>& chunk, size_t& offset,
                                  size_t& handled) {
    int64_t readAt = 0;
    uint32_t size = 0;
    memcpy(&readAt, chunk.data() + offset, sizeof(readAt));
    memcpy(&size, chunk.data() + offset + sizeof(readAt), sizeof(size));
    const uint8_t* wire = chunk.data() + offset + kHeadBytes;
    offset += kHeadBytes + size;
    handled = size;
    // Decoded once already when they were read, to tell events from replies.
    vmsg::DecodeResult r = vmsg::decode(wire, size);
    if (r.status != vmsg::DecodeStatus::kOk) {
        return;
    }
    cObjectList* list = ulxobj::fromMessage(*r.msg);
    delete r.msg;
    list->setReadAt(Clock::time_point(Clock::duration(readAt)));
    for (cObjectListener* listener : mListeners) {
        listener->handleObjectAction(list);
    }
    list->deleteObjects();
    delete list;
}
