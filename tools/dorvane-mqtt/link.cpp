#include "tools/dorvane-mqtt/link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "src/supervisor.h"
#include "tools/dorvane-mqtt/broker.h"
#include "tools/dorvane-mqtt/event_line.h"
#include "vutil/VFile.h"

namespace mqttlink {

namespace {

constexpr int kMaxBackoff = 60;  // seconds
constexpr int kLoopMs = 20;      // the longest wait for the broker in one turn
// A connection that lasts this long works: the back-off starts again.
constexpr int kHoldSeconds = 10;
constexpr const char* kOffline = "{\"v\":1,\"state\":\"offline\"}";
constexpr long long kPacketMargin = 64 * 1024;
constexpr long long kMaxPacket = 268435460;  // MQTT's own limit (256 MiB and the header)
// The damaged lines one lost event counts at most: reading a run is work
// done between two turns of the connection.
constexpr uint64_t kMaxDamagedRun = 100000;

std::string randomStart() {
    unsigned char bytes[8] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy source: the clock and pid still differ between starts.
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        uint64_t mix = static_cast<uint64_t>(now.tv_nsec) ^
                       (static_cast<uint64_t>(now.tv_sec) << 20) ^ static_cast<uint64_t>(getpid());
        memcpy(bytes, &mix, sizeof bytes);
    }
    char hex[17];
    for (size_t i = 0; i < sizeof bytes; ++i) {
        snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    }
    return std::string(hex, 16);
}

}  // namespace

volatile std::sig_atomic_t cLink::sStop = 0;

cLink::cLink(const LinkConfig& config, cSupervisor& supervisor)
    : cVlog("DorvaneMqtt"),
      mConfig(config),
      mSupervisor(supervisor),
      mEventsTopic(config.topicBase() + "/events"),
      mStatusTopic(config.topicBase() + "/status"),
      mLinkStart(randomStart()),
      mLinkNumber(0),
      mReader(config.outbox),
      mCursorDirty(false),
      mUnsynced(false),
      mMosq(nullptr),
      mConnected(false),
      mDropPending(false),
      mHeld(false),
      mNextConnect(Clock::now()),
      mConnectBackoff(1),
      mSaidConnected(false),
      mLostSinceWorked(false),
      mPaused(false),
      mRefuseBackoff(1),
      mPending(0),
      mLost(0),
      mOfflineMid(-1),
      mCodes(config, *this),
      mSiteCodesTopic(config.prefix + "/" + config.site + "/codes"),
      mUnitCodesTopic(config.topicBase() + "/codes"),
      mAppliedTopic(config.topicBase() + "/codes/applied") {}

cLink::~cLink() {
    if (mMosq != nullptr) {
        mosquitto_destroy(mMosq);
    }
}

void cLink::connect() {
    if (mMosq != nullptr) {
        mosquitto_destroy(mMosq);
    }
    mLastLogError.clear();
    mCodes.prepare();
    mDropPending = false;
    mDropWhy.clear();
    // A fresh client for every try: nothing of a failed session is resent
    // behind the window's back.
    mMosq = mosquitto_new(mConfig.clientId().c_str(), true, this);
    if (mMosq == nullptr) {
        sayFailure("new", "cannot make an MQTT client: " + std::string(strerror(errno)));
        return;
    }
    mosquitto_int_option(mMosq, MOSQ_OPT_SEND_MAXIMUM, kWindow + 2);
    mosquitto_int_option(mMosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(mMosq, onConnect);
    mosquitto_disconnect_v5_callback_set(mMosq, onDisconnect);
    mosquitto_publish_v5_callback_set(mMosq, onPublish);
    mosquitto_log_callback_set(mMosq, onLog);
    mosquitto_message_v5_callback_set(mMosq, onMessage);
    mosquitto_will_set_v5(mMosq, mStatusTopic.c_str(), static_cast<int>(strlen(kOffline)), kOffline,
                          1, true, nullptr);
    // The broker sends no packet larger than a set may be, with room for
    // the packet's own fields: a larger set never reaches the unit.
    long long most = mConfig.maxSetBytes + kPacketMargin;
    int rc = connectBroker(mMosq, mConfig, static_cast<uint32_t>(std::min(most, kMaxPacket)));
    if (rc != MOSQ_ERR_SUCCESS) {
        dropConnection(mqttErrorText(rc));
    }
}

void cLink::dropConnection(const std::string& why) {
    std::string text = why;
    if (!mLastLogError.empty()) {
        text += " (" + mLastLogError + ")";
    }
    mDropPending = false;
    mDropWhy.clear();
    bool wasConnected = mConnected;
    mConnected = false;
    if (wasConnected) {
        mLostSinceWorked = true;
        noteDropInFlight();
    }
    std::string where = mConfig.broker + ":" + std::to_string(mConfig.port);
    sayFailure(text, (wasConnected ? "lost the connection to " : "cannot connect to ") + where +
                         ": " + text + "; trying again with back-off up to 60 s");
    if (mMosq != nullptr) {
        mosquitto_destroy(mMosq);
        mMosq = nullptr;
    }
    for (Item& item : mWindow) {
        item.mid = -1;  // sent again on the next connection
    }
    mNextConnect = Clock::now() + std::chrono::seconds(mConnectBackoff);
    mConnectBackoff = std::min(mConnectBackoff * 2, kMaxBackoff);
    notify();
}

void cLink::acknowledge(int mid, int reason) {
    auto found = std::find_if(mWindow.begin(), mWindow.end(),
                              [mid](const Item& item) { return item.mid == mid; });
    if (mid == mOfflineMid) {
        mOfflineMid = -1;
    }
    if (found == mWindow.end()) {
        return;  // the status, or an event of an earlier try
    }
    if (reason < 0x80) {
        found->acked = true;
        found->mid = -1;
        mRefuseBackoff = 1;
        works();
        if (!mLastRefusal.empty()) {
            mLastRefusal.clear();
            info("the broker takes events again");
        }
        advanceCursor();
        return;
    }
    refuse(*found, reasonText(reason));
}

void cLink::refuse(const Item& item, const std::string& why) {
    sayRefusal(item, "refused", why);
    for (Item& item : mWindow) {
        item.mid = -1;
    }
    mPaused = true;
    mResume = Clock::now() + std::chrono::seconds(mRefuseBackoff);
    mRefuseBackoff = std::min(mRefuseBackoff * 2, kMaxBackoff);
    notify();
}

void cLink::advanceCursor() {
    while (!mWindow.empty() && mWindow.front().acked) {
        const Item& item = mWindow.front();
        mCursor.place = item.end;
        mCursor.afterDamage = item.lineId.empty();
        if (!item.lineId.empty()) {
            mCursor.lastId = item.lineId;
            mCursor.acked.add(item.number, item.access);
        }
        mLost += item.lostCount;
        mCursorDirty = true;
        mWindow.pop_front();
    }
}

bool cLink::toItem(const std::string& line, const FilePlace& end, Item* item) {
    item->end = end;
    EventLine event;
    if (!parseEventLine(line, &event)) {
        item->payload.clear();
        item->lostCount = 1;
    } else {
        item->lineId = event.id;
        item->number = event.parsedId;
        item->access = event.type != "lost";
        if (item->access) {
            item->payload = line;
            return true;
        }
        item->lostCount = event.count;
        uint64_t count = event.count;
        // What this link has published: acknowledged, or in flight ahead
        // of this line.
        cPublished published = mCursor.acked;
        for (const Item& ahead : mWindow) {
            if (!ahead.lineId.empty()) {
                published.add(ahead.number, ahead.access);
            }
        }
        EventId repeated, first, last;
        if (parseEventId(event.of, &repeated) && published.has(repeated)) {
            return false;  // a repeat of a `lost` event already published
        }
        if (event.reason == "overflow" && parseEventId(event.first, &first) &&
            parseEventId(event.last, &last) && first.start == last.start) {
            // Only the ids this link has not published are lost.
            uint64_t newFirst = 0, newLast = 0;
            if (!published.unpublished(first.start, first.number, last.number, event.count, &count,
                                       &newFirst, &newLast)) {
                return false;  // nothing of it was lost
            }
            event.first = first.start + "-" + std::to_string(newFirst);
            event.last = first.start + "-" + std::to_string(newLast);
        }
        item->lostCount = count;
        item->payload = "{\"v\":1,\"type\":\"lost\",\"id\":\"link-" + mLinkStart + "-" +
                        std::to_string(++mLinkNumber) + "\",\"time\":\"" + event.time +
                        "\",\"reason\":" + jsonString(event.reason) +
                        ",\"count\":" + std::to_string(count) +
                        ",\"first\":" + (event.first.empty() ? "null" : jsonString(event.first)) +
                        ",\"last\":" + (event.last.empty() ? "null" : jsonString(event.last)) + "}";
        return true;
    }
    return true;  // damaged: its lost event is made for the whole run (damagedItem)
}

cLink::Item cLink::damagedItem(uint64_t count, const FilePlace& end) {
    Item item;
    item.end = end;
    item.lostCount = count;
    item.payload = "{\"v\":1,\"type\":\"lost\",\"id\":\"link-" + mLinkStart + "-" +
                   std::to_string(++mLinkNumber) + "\",\"time\":\"" + nowRfc3339() +
                   "\",\"reason\":\"damaged\",\"count\":" + std::to_string(count) +
                   ",\"first\":null,\"last\":null}";
    warn("skipped %llu damaged line%s in outbox file %s before byte %llu; sent as a lost event",
         static_cast<unsigned long long>(count), count == 1 ? "" : "s", end.name.c_str(),
         static_cast<unsigned long long>(end.offset));
    return item;
}

bool cLink::publish(Item& item) {
    int mid = -1;
    int rc = mosquitto_publish_v5(mMosq, &mid, mEventsTopic.c_str(),
                                  static_cast<int>(item.payload.size()), item.payload.data(), 1,
                                  false, nullptr);
    if (rc == MOSQ_ERR_SUCCESS) {
        item.mid = mid;
        return true;
    }
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) {
        // The socket failed under the write: the loop's next read says how
        // the connection ended, one reason whichever side saw it first.
        return false;
    }
    refuse(item, mosquitto_strerror(rc));  // refused before it left: the same back-off
    return true;
}

void cLink::fillWindow() {
    if (!mConnected || mMosq == nullptr) {
        return;
    }
    if (mPaused) {
        if (Clock::now() < mResume) {
            return;
        }
        mPaused = false;
    }
    for (Item& item : mWindow) {
        if (!item.acked && item.mid < 0) {
            if (!publish(item) || mPaused) {
                return;
            }
        }
    }
    readAhead();
}

bool cLink::outboxReadable(cOutboxReader::Result result, const std::string& line) {
    if (result == cOutboxReader::kError) {
        if (line != mOutboxFailure) {
            mOutboxFailure = line;
            warn("%s", line.c_str());
        }
        return false;
    }
    if (!mOutboxFailure.empty()) {
        mOutboxFailure.clear();
        info("the outbox folder %s can be read again", mConfig.outbox.c_str());
    }
    return true;
}

void cLink::readAhead() {
    // Damaged lines in a row make one lost event and one line, not one of
    // each a line: an outbox of line ends alone would flood both.
    uint64_t damaged = 0;
    FilePlace damagedEnd;
    bool sent = true;  // false once a publish failed under the write: the rest wait
    auto push = [&](Item item) {
        mWindow.push_back(std::move(item));
        if (sent && !mPaused) {
            sent = publish(mWindow.back());
        }
    };
    auto endRun = [&]() {
        if (damaged > 0) {
            push(damagedItem(damaged, damagedEnd));
            damaged = 0;
        }
    };
    while (mWindow.size() + (damaged > 0 ? 1 : 0) < kWindow && !mPaused && sent) {
        std::string line;
        FilePlace end;
        cOutboxReader::Result result = mReader.next(&line, &end);
        if (result == cOutboxReader::kNone) {
            break;
        }
        if (!outboxReadable(result, line)) {
            break;
        }
        Item item;
        if (result == cOutboxReader::kDamaged) {
            line.assign(1, '\0');  // never an event
        }
        bool say = toItem(line, end, &item);
        if (say && item.lineId.empty()) {
            if (damaged >= kMaxDamagedRun ||
                (damaged > 0 && (damagedEnd.dev != end.dev || damagedEnd.ino != end.ino))) {
                endRun();  // one run per file, so that its line names the file
            }
            ++damaged;
            damagedEnd = end;
            continue;
        }
        endRun();
        if (!say) {
            // A `lost` event whose every id was published: nothing to say,
            // but the cursor moves past it with the rest.
            item.acked = true;
            item.payload.clear();
            mWindow.push_back(item);
            advanceCursor();
            continue;
        }
        push(std::move(item));
    }
    endRun();
}

void cLink::saveState(bool force) {
    // Saved at every turn that acknowledged something, so a killed link
    // knows what the broker took (no event is counted lost that arrived);
    // on the disk itself at most once a second, where it costs a flush.
    // Closed files go only after a flushed cursor has passed them.
    auto now = Clock::now();
    bool sync = (force || now >= mNextSave) && (mCursorDirty || mUnsynced);
    if (!mCursorDirty && !sync) {
        return;
    }
    if (sync) {
        mNextSave = now + std::chrono::seconds(1);
    }
    std::string why;
    if (!saveCursor(mConfig.stateDir, mCursor, sync, &why)) {
        error("%s", why.c_str());
        return;
    }
    mCursorDirty = false;
    mUnsynced = !sync;
    if (!sync) {
        return;
    }
    mReader.removeAcknowledged(mCursor.place, mCursor.afterDamage ? "" : mCursor.lastId, &why);
    if (!why.empty()) {
        error("%s", why.c_str());
    }
}

void cLink::turnConnection() {
    if (mMosq == nullptr) {
        struct timespec pause = {0, kLoopMs * 1000000L};
        nanosleep(&pause, nullptr);
        return;
    }
    int rc = mosquitto_loop(mMosq, kLoopMs, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        dropLater(mqttErrorText(rc));
    }
    if (mDropPending && sStop == 0) {
        dropConnection(mDropWhy);
    }
    if (mConnected && !mHeld && Clock::now() - mConnectedAt >= std::chrono::seconds(kHoldSeconds)) {
        works();
    }
}

int cLink::run() {
    mCursor = loadCursor(mConfig.stateDir);
    std::string why;
    bool located = false;
    mSupervisor.ready("connecting to " + mConfig.broker + ":" + std::to_string(mConfig.port));
    while (sStop == 0) {
        auto now = Clock::now();
        if (!located) {
            located = mReader.locate(mCursor.place, mCursor.afterDamage, mCursor.lastId, &why);
            if (!located && why != mOutboxFailure) {
                mOutboxFailure = why;
                warn("%s", why.c_str());
            }
        }
        if (mMosq == nullptr && now >= mNextConnect) {
            connect();
        }
        if (located) {
            fillWindow();
        }
        turnConnection();
        now = Clock::now();
        if (mConnected && now >= mNextStatusCheck) {
            mNextStatusCheck = now + std::chrono::milliseconds(250);
            bool heartbeat = now >= mNextHeartbeat;
            if (heartbeat) {
                mNextHeartbeat = now + std::chrono::seconds(mConfig.heartbeat);
            }
            checkStatus(heartbeat);
        }
        saveState(false);
    }
    // A clean stop: "offline", retained, then a disconnect that tells the
    // broker to drop the will.
    if (mConnected && mMosq != nullptr) {
        mosquitto_publish_v5(mMosq, &mOfflineMid, mStatusTopic.c_str(),
                             static_cast<int>(strlen(kOffline)), kOffline, 1, true, nullptr);
        auto deadline = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < deadline && mOfflineMid >= 0 && mConnected) {
            if (mosquitto_loop(mMosq, kLoopMs, 1) != MOSQ_ERR_SUCCESS) {
                break;
            }
        }
        mosquitto_disconnect_v5(mMosq, 0, nullptr);
        mosquitto_loop(mMosq, 100, 1);
    }
    saveState(true);
    info("stopped");
    return 0;
}

}  // namespace mqttlink
