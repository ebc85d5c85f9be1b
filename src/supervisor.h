// cSupervisor: the service's side of the service manager's readiness and
// watchdog protocol (the datagrams of systemd's sd_notify, sent by itself).
//
// Everything is off, silently, when the environment has no NOTIFY_SOCKET
// (not started by a service manager); the watchdog is off unless the
// environment also asks for it (WATCHDOG_USEC, and WATCHDOG_PID when set
// must be this process). A message that cannot be sent is logged once, at
// WARN, on the category "Supervisor"; nothing else is logged.
//
// Threads: every operation may be called from any thread; one lock guards
// the state. Ownership: status texts are copied; nothing of the caller's is
// kept. Failure: no operation reports one; a message that cannot be sent is
// dropped (logged once, as above), also when the manager's socket stays full
// for a second. Nothing throws but std::bad_alloc; an operation blocks for at
// most that second.
#ifndef DORVANE_SRC_SUPERVISOR_H
#define DORVANE_SRC_SUPERVISOR_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "vlog/cVlog.h"

class cSupervisor : public cVlog {
public:
    // Reads the environment once.
    cSupervisor();
    ~cSupervisor() override;

    cSupervisor(const cSupervisor&) = delete;
    cSupervisor& operator=(const cSupervisor&) = delete;

    // Every status text also goes to sink (the outbox's status file), with
    // or without a service manager: at every change, and again from
    // status() and watchdog() when half a second has passed since it last
    // went, so that it is never older than about a second while the event
    // thread ticks. Call it once, before the status is first given; sink is
    // called under this object's lock and must not call back into it.
    void setStatusSink(std::function<void(const std::string&)> sink);

    // Start-up has finished: READY=1 with status as the STATUS= line.
    void ready(const std::string& status);

    // STATUS=status, sent only when it differs from the last status sent.
    void status(const std::string& status);

    // Before ready(): the start timeout becomes usec from now
    // (EXTEND_TIMEOUT_USEC), so that a long discovery never hits it. After
    // ready() it does nothing.
    void extendStart(uint64_t usec);

    // WATCHDOG=1 when the watchdog is on and a quarter of its interval has
    // passed since the last ping; call it as often as liked from the thread
    // whose progress the watchdog stands for.
    void watchdog();

    // RELOADING=1 before a reload, READY=1 after it (the status follows
    // when the new records are taken).
    void reloading();
    void reloaded();

private:
    // Sends text to the service manager; the caller holds mMutex.
    void send(const std::string& text);
    // Gives status to the sink when it changed or is due; the caller holds mMutex.
    void toSink(const std::string& status);

    bool mEnabled;
    std::string mSocket;     // NOTIFY_SOCKET as given
    uint64_t mWatchdogUsec;  // 0: no watchdog
    std::mutex mMutex;
    bool mReady;
    bool mSendFailed;
    std::string mLastStatus;
    std::chrono::steady_clock::time_point mLastPing;
    std::function<void(const std::string&)> mSink;
    std::string mSinkStatus;  // the text the sink last got
    std::chrono::steady_clock::time_point mLastSink;
};

#endif
