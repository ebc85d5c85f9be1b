#include "ulxobj/Backlog.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ulxobj {

namespace {

// Each message is stored behind a head of its own: when it was read (steady
// clock ticks, int64_t) and its wire size (uint32_t).
constexpr size_t kHeadBytes = sizeof(int64_t) + sizeof(uint32_t);

}  // namespace

cBacklog::cBacklog(size_t maxBytes) : mMax(maxBytes), mBytes(0), mPeak(0), mEpoch(0) {}

bool cBacklog::push(const uint8_t* bytes, size_t size, Clock::time_point readAt) {
    // The bound counts wire bytes only: the same messages fit whatever the
    // heads take.
    if (size > mMax - mBytes || size > UINT32_MAX) {
        return false;
    }
    const size_t stored = kHeadBytes + size;
    if (mQueue.empty() || mQueue.back().capacity() - mQueue.back().size() < stored) {
        if (mSpare.capacity() >= stored) {
            mQueue.push_back(std::move(mSpare));  // no allocation per message
            mSpare = std::vector<uint8_t>();
        } else {
            mQueue.emplace_back();
            mQueue.back().reserve(std::max(kChunk, stored));
        }
    }
    uint8_t head[kHeadBytes];
    int64_t ticks = readAt.time_since_epoch().count();
    uint32_t wireSize = static_cast<uint32_t>(size);
    memcpy(head, &ticks, sizeof(ticks));
    memcpy(head + sizeof(ticks), &wireSize, sizeof(wireSize));
    mQueue.back().insert(mQueue.back().end(), head, head + kHeadBytes);
    mQueue.back().insert(mQueue.back().end(), bytes, bytes + size);
    mBytes += size;
    mPeak = std::max(mPeak, mBytes);
    return true;
}

bool cBacklog::settle(Chunk& chunk) {
    bool drained = false;
    if (chunk.epoch != mEpoch) {
        chunk.bytes.clear();  // its backlog was discarded
        chunk.offset = 0;
        chunk.epoch = mEpoch;
    } else if (chunk.handled > 0) {
        mBytes -= chunk.handled;
        if (mBytes == 0 && mPeak > kTrim) {
            mPeak = 0;
            drained = true;
        }
    }
    chunk.handled = 0;
    return drained;
}

bool cBacklog::refill(Chunk& chunk) {
    if (chunk.offset < chunk.bytes.size() || mQueue.empty()) {
        return false;
    }
    if (mSpare.capacity() == 0 && chunk.bytes.capacity() <= kChunk) {
        chunk.bytes.clear();
        mSpare.swap(chunk.bytes);  // used up: its buffer takes the next messages
    }
    chunk.bytes = std::move(mQueue.front());
    mQueue.pop_front();
    chunk.offset = 0;
    chunk.epoch = mEpoch;
    return true;
}

bool cBacklog::next(Chunk& chunk, Message* msg) {
    if (chunk.offset + kHeadBytes > chunk.bytes.size()) {
        return false;
    }
    int64_t ticks = 0;
    uint32_t size = 0;
    const uint8_t* at = chunk.bytes.data() + chunk.offset;
    memcpy(&ticks, at, sizeof(ticks));
    memcpy(&size, at + sizeof(ticks), sizeof(size));
    msg->wire = at + kHeadBytes;
    msg->size = size;
    msg->readAt = Clock::time_point(Clock::duration(ticks));
    chunk.offset += kHeadBytes + size;
    chunk.handled = size;
    return true;
}

void cBacklog::discard() {
    mQueue.clear();
    mBytes = 0;
    mPeak = 0;
    ++mEpoch;
}

}  // namespace ulxobj
