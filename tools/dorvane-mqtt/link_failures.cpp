// cLink's side of failures: each kind said once until the link works
// again, the back-off that starts again only then, and a broker that drops
// a publish it will not take instead of answering it.
#include <algorithm>

#include "tools/dorvane-mqtt/link.h"

namespace mqttlink {

namespace {

// The kinds of failure remembered as said; a link that meets more kinds
// than this before it works again may say the oldest again.
constexpr size_t kMaxFailureKinds = 16;
constexpr const char* kClosedAfterSend =
    "the broker closed the connection after it was sent; its access control may refuse the "
    "topic";

// A place in the outbox, to know an event again.
std::string placeKey(const FilePlace& place) {
    return place.name + "@" + std::to_string(place.offset);
}

}  // namespace

void cLink::sayFailure(const std::string& kind, const std::string& text) {
    mLastFailure = kind;
    // Said once until the link works again, though other kinds come
    // between (a broker may end one try in a read and the next in a write).
    if (std::find(mSaidFailures.begin(), mSaidFailures.end(), kind) == mSaidFailures.end()) {
        if (mSaidFailures.size() >= kMaxFailureKinds) {
            mSaidFailures.erase(mSaidFailures.begin());
        }
        mSaidFailures.push_back(kind);
        mSaidConnected = false;
        warn("%s", text.c_str());
    }
    notify();
}

void cLink::works() {
    mHeld = true;
    mConnectBackoff = 1;
    mSuspect.clear();
    mLostSinceWorked = false;
    if (!mSaidFailures.empty()) {
        // Unless "connected" was said after the last failure said.
        if (!mSaidConnected) {
            info("the connection to %s:%d works again", mConfig.broker.c_str(), mConfig.port);
        }
        mSaidFailures.clear();
        mLastFailure.clear();
        notify();
    }
}

void cLink::dropLater(const std::string& why) {
    if (!mDropPending) {
        mDropPending = true;
        mDropWhy = why;
    }
}

// A connection that ends while the same event is in flight, twice in a row,
// tells of a broker that drops a publish it will not take (Debian 12's
// mosquitto without a queue limit closes the connection after a refused
// publish, and its PUBACK is mostly lost with the connection); once alone
// is a broker that went away.
void cLink::noteDropInFlight() {
    auto head =
        std::find_if(mWindow.begin(), mWindow.end(), [](const Item& item) { return !item.acked; });
    if (head == mWindow.end() || head->mid < 0) {
        mSuspect.clear();
        return;
    }
    std::string key = placeKey(head->end);
    if (key != mSuspect) {
        mSuspect = key;
        return;
    }
    if (mLastRefusal.empty()) {  // a PUBACK's own reason, when one came, says more
        sayRefusal(*head, "refused or dropped", kClosedAfterSend);
    }
}

void cLink::sayRefusal(const Item& item, const char* verb, const std::string& why) {
    if (why == mLastRefusal) {
        return;
    }
    mLastRefusal = why;
    warn(
        "the broker %s event %s on %s: %s; the event stays in the outbox and is sent again with "
        "back-off up to 60 s",
        verb, item.lineId.empty() ? "(lost)" : item.lineId.c_str(), mEventsTopic.c_str(),
        why.c_str());
    notify();
}

}  // namespace mqttlink
