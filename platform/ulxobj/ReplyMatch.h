// cReplyMatch: the client's requests that wait for replies, which of them a
// message answers, and the sequence numbers a new request may take. No
// socket, no thread, no clock of its own: the client calls it under its
// mutex with the time it read, and tests feed it messages.
//
// Invariants it owns: no two waiting requests share a sequence number; a
// number whose request timed out on a connection is not given again on that
// connection until its hold-back ends (its late reply would answer the new
// request); a reply is claimed by the one request sent on the same
// connection with the same number, and of the request's own kind or an ERR
// whose TAG_ERR_MSGID is the request's id; an event is never a reply.
//
// Ownership: requests are the callers' (entered by address, removed before
// they go); a reply handed to a request belongs to it. Not thread-safe.
#ifndef DORVANE_PLATFORM_ULXOBJ_REPLYMATCH_H
#define DORVANE_PLATFORM_ULXOBJ_REPLYMATCH_H

#include <chrono>
#include <cstdint>
#include <vector>

#include "vmsg/VMsg.h"

namespace ulxobj {

class cReplyMatch {
public:
    using Clock = std::chrono::steady_clock;

    // A request waiting for its reply.
    struct Pending {
        uint8_t seq;          // given by enter()
        uint8_t msgId;        // the request's kind
        unsigned connection;  // the id of the connection it is sent on
        bool done;            // the reply is in place, or the request failed
        VMsg* reply;          // the claimed reply, owned by the request once done
        bool lost;            // its connection closed while it waited
    };

    cReplyMatch();

    // Gives p the next sequence number that no waiting request uses and that
    // is not held back at now, and enters it. False, with p not entered,
    // when all 256 are taken.
    bool enter(Pending* p, Clock::time_point now);

    // Removes p, entered before. holdUntil after now: p got no reply on the
    // connection that is still up, so its number waits until then.
    void leave(Pending* p, Clock::time_point holdUntil = Clock::time_point());

    // The waiting request that msg, read on connection, answers; null when
    // none. The caller hands the reply over (reply, done).
    Pending* claimant(const VMsg& msg, unsigned connection) const;

    // A connection was lost: its waiting requests are done, lost.
    void loseConnection(unsigned connection);

    // A connection was made: numbers held back on the one before are free.
    void newConnection();

private:
    std::vector<Pending*> mPending;
    uint8_t mNextSeq;
    Clock::time_point mHeldUntil[256];
};

}  // namespace ulxobj

#endif
