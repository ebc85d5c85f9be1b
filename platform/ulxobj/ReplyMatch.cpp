#include "ulxobj/ReplyMatch.h"

#include <algorithm>

#include "ulxobj/ObjectCodec.h"
#include "vmsg/VWire.h"

namespace ulxobj {

namespace {

// The message id an ERR names (its TAG_ERR_MSGID before the first object),
// or -1 when it names none.
int refusedId(const VMsg& err) {
    for (size_t i = 0; i < err.tagCount(); ++i) {
        const VTag* tag = err.tagAt(i);
        if (tag->getTagID() == TAG_EVT_OBJTYPE) {
            break;
        }
        if (tag->getTagID() == TAG_ERR_MSGID && tag->getTagType() == VTag::VT_UINT8) {
            return static_cast<const VTagUInt8*>(tag)->getValue();
        }
    }
    return -1;
}

}  // namespace

cReplyMatch::cReplyMatch() : mNextSeq(0), mHeldUntil() {}

bool cReplyMatch::enter(Pending* p, Clock::time_point now) {
    for (int tries = 0; tries < 256; ++tries) {
        uint8_t candidate = mNextSeq++;
        bool used = mHeldUntil[candidate] > now ||
                    std::any_of(mPending.begin(), mPending.end(),
                                [candidate](const Pending* q) { return q->seq == candidate; });
        if (!used) {
            p->seq = candidate;
            mPending.push_back(p);
            return true;
        }
    }
    return false;
}

void cReplyMatch::leave(Pending* p, Clock::time_point holdUntil) {
    auto at = std::find(mPending.begin(), mPending.end(), p);
    if (at == mPending.end()) {
        return;
    }
    mPending.erase(at);
    mHeldUntil[p->seq] = std::max(mHeldUntil[p->seq], holdUntil);
}

cReplyMatch::Pending* cReplyMatch::claimant(const VMsg& msg, unsigned connection) const {
    if (msg.mMsgID == vmsg::MSG_EVT) {
        return nullptr;
    }
    int refused = msg.mMsgID == vmsg::MSG_ERR ? refusedId(msg) : -1;
    for (Pending* p : mPending) {
        if (!p->done && p->connection == connection && p->seq == msg.mMsgSeq &&
            (msg.mMsgID == p->msgId || refused == p->msgId)) {
            return p;
        }
    }
    return nullptr;
}

void cReplyMatch::loseConnection(unsigned connection) {
    for (Pending* p : mPending) {
        if (p->connection == connection && !p->done) {
            p->lost = true;
            p->done = true;
        }
    }
}

void cReplyMatch::newConnection() {
    std::fill(std::begin(mHeldUntil), std::end(mHeldUntil), Clock::time_point());
}

}  // namespace ulxobj
