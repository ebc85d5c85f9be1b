// cLink: the link's work. It publishes the outbox's events in order (QoS 1)
// to PREFIX/SITE/UNIT/events, moves its cursor only past events the broker
// acknowledged with a reason code below 0x80, removes closed files wholly
// acknowledged, and keeps the unit's state retained on
// PREFIX/SITE/UNIT/status (with a will saying "offline").
//
// One MQTT connection (libmosquitto, MQTT 5, a clean start) at a time, made
// afresh after each failure with back-off from 1 s doubling to 60 s; the
// back-off starts again at 1 s only once a connection has held for a while
// or an event was acknowledged, so a broker that drops each connection at
// once is not hammered. Each kind of failure is said once until the link
// works again, and then a line says so. A publish the broker refuses keeps
// its event: one line says why, and the unacknowledged events are sent
// again after a back-off of 1 s doubling to 60 s. A broker that closes the
// connection after a publish (Debian 12's mosquitto does so after a refused
// publish when it has no queue limit, and the PUBACK is lost with the
// connection) is taken for one that refused or dropped the event when it
// happens twice in a row with the same event in flight.
//
// Memory: at most kWindow events are read ahead of the cursor.
// Threads: run() works on the calling thread and returns when stop() has
// been called (stop() may be called from a signal handler: it sets a flag).
// Failure: run() reports by log lines on the category "DorvaneMqtt";
// nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_LINK_H
#define DORVANE_TOOLS_DORVANE_MQTT_LINK_H

#include <mosquitto.h>

#include <chrono>
#include <csignal>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/dorvane-mqtt/code_inbox.h"
#include "tools/dorvane-mqtt/cursor.h"
#include "tools/dorvane-mqtt/link_config.h"
#include "tools/dorvane-mqtt/outbox_reader.h"
#include "vlog/cVlog.h"

class cSupervisor;

namespace mqttlink {

class cLink : public cVlog {
public:
    // The events read ahead of the cursor at most, and in flight at once.
    enum { kWindow = 100 };

    // config and supervisor must outlive the object.
    cLink(const LinkConfig& config, cSupervisor& supervisor);
    ~cLink() override;

    cLink(const cLink&) = delete;
    cLink& operator=(const cLink&) = delete;

    // Works until stop(); at a stop it publishes "offline", disconnects
    // cleanly and saves the cursor. Returns the exit status (0).
    int run();

    static void stop() { sStop = 1; }

private:
    using Clock = std::chrono::steady_clock;

    struct Item {
        std::string payload;
        FilePlace end;
        std::string lineId;  // the outbox line's own id ("" when damaged)
        EventId number;      // lineId's parts, when it has one
        bool access = false;
        uint64_t lostCount = 0;  // for a `lost` event: its count
        int mid = -1;            // the MQTT message id while in flight
        bool acked = false;
    };

    // The connection. The callbacks never end the connection themselves
    // (libmosquitto still uses the client after they return): they leave
    // the reason in mDropWhy for run() to act on.
    void connect();
    void dropConnection(const std::string& why);
    void noteDropInFlight();
    void sayFailure(const std::string& kind, const std::string& text);
    void works();
    void dropLater(const std::string& why);
    // One turn: the broker's packets (or a pause without a client), then
    // what the callbacks saw, and whether the connection has held.
    void turnConnection();
    static void onConnect(mosquitto*, void* self, int rc, int flags, const mosquitto_property*);
    static void onDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
    static void onPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*);
    static void onLog(mosquitto*, void* self, int level, const char* text);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* msg,
                          const mosquitto_property*);

    // The events.
    void fillWindow();
    // Reads the outbox's next lines into the window and publishes them.
    void readAhead();
    // False for a read that failed (said once until it works again, and
    // then that it does).
    bool outboxReadable(cOutboxReader::Result result, const std::string& line);
    // The item of an outbox line; false for a `lost` line with nothing left
    // to say. A damaged line gives an item without lineId or payload.
    bool toItem(const std::string& line, const FilePlace& end, Item* item);
    // The lost event of count damaged lines in a row, the last ending at
    // end, said in one line.
    Item damagedItem(uint64_t count, const FilePlace& end);
    // False when the connection failed under the write (the item is not in
    // flight); a publish libmosquitto refuses is refused as the broker's.
    bool publish(Item& item);
    void acknowledge(int mid, int reason);
    void refuse(const Item& item, const std::string& why);
    void sayRefusal(const Item& item, const char* verb, const std::string& why);
    void advanceCursor();
    void saveState(bool force);

    // The unit's state.
    void checkStatus(bool heartbeat);
    void publishStatus();
    std::string serviceStatus() const;
    void notify();

    // The code sets: what became of them, retained, when it changed.
    void publishCodes(bool force);

    static volatile std::sig_atomic_t sStop;

    const LinkConfig& mConfig;
    cSupervisor& mSupervisor;
    std::string mEventsTopic;
    std::string mStatusTopic;
    std::string mLinkStart;  // 16 hex digits drawn at start: the `lost` events' ids
    uint64_t mLinkNumber;
    cOutboxReader mReader;
    Cursor mCursor;
    bool mCursorDirty;
    bool mUnsynced;  // the cursor file was written, not yet flushed
    std::deque<Item> mWindow;

    mosquitto* mMosq;
    bool mConnected;
    bool mDropPending;  // a callback saw the connection end: why in mDropWhy
    std::string mDropWhy;
    Clock::time_point mConnectedAt;
    bool mHeld;  // this connection held, or an event was acknowledged on it
    Clock::time_point mNextConnect;
    int mConnectBackoff;  // seconds
    std::string mLastFailure;
    std::vector<std::string> mSaidFailures;  // the kinds said since the link last worked
    bool mSaidConnected;                     // "connected" said, and no failure since
    bool mLostSinceWorked;                   // a connection was lost since the link last worked
    std::string mLastLogError;
    std::string mSuspect;  // the event in flight when the last connection ended
    std::string mOutboxFailure;

    bool mPaused;  // a publish was refused: wait for mResume
    Clock::time_point mResume;
    int mRefuseBackoff;
    std::string mLastRefusal;

    std::string mService;  // the service's status as last published
    uint64_t mPending;
    uint64_t mLost;
    Clock::time_point mNextHeartbeat;
    Clock::time_point mNextStatusCheck;
    Clock::time_point mNextSave;
    int mOfflineMid;  // the stop's "offline" while it is not acknowledged

    cCodeInbox mCodes;
    std::string mSiteCodesTopic, mUnitCodesTopic, mAppliedTopic;
};

}  // namespace mqttlink

#endif
