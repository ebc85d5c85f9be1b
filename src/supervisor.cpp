#include "supervisor.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <cstring>

cSupervisor::cSupervisor()
    : cVlog("Supervisor"), mEnabled(false), mWatchdogUsec(0), mReady(false), mSendFailed(false) {
    const char* socket = getenv("NOTIFY_SOCKET");
    mEnabled = socket != nullptr && socket[0] != '\0';
    uint64_t usec = 0;
    if (mEnabled && sd_watchdog_enabled(0, &usec) > 0) {
        mWatchdogUsec = usec;
    }
}

cSupervisor::~cSupervisor() = default;

bool cSupervisor::isReady() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mReady;
}

void cSupervisor::send(const std::string& text) {
    int rc = sd_notify(0, text.c_str());
    if (rc < 0 && !mSendFailed) {
        mSendFailed = true;  // once: a broken socket stays broken
        warn("cannot notify the service manager: %s", strerror(-rc));
    }
}

void cSupervisor::ready(const std::string& status) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mEnabled || mReady) {
        return;
    }
    mReady = true;
    mLastStatus = status;
    mLastPing = std::chrono::steady_clock::now();
    send("READY=1\nSTATUS=" + status + (mWatchdogUsec != 0 ? "\nWATCHDOG=1" : ""));
}

void cSupervisor::status(const std::string& status) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mEnabled || status == mLastStatus) {
        return;
    }
    mLastStatus = status;
    send("STATUS=" + status);
}

void cSupervisor::extendStart(uint64_t usec) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mEnabled || mReady) {
        return;
    }
    send("EXTEND_TIMEOUT_USEC=" + std::to_string(usec));
}

void cSupervisor::watchdog() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mEnabled || mWatchdogUsec == 0) {
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (now - mLastPing < std::chrono::microseconds(mWatchdogUsec / 4)) {
        return;
    }
    mLastPing = now;
    send("WATCHDOG=1");
}

void cSupervisor::reloading() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mEnabled && mReady) {
        send("RELOADING=1");
    }
}

void cSupervisor::reloaded() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mEnabled && mReady) {
        send("READY=1");
    }
}
