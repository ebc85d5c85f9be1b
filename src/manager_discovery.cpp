// The manager's discovery of the site's discrete outputs: the first run at
// start-up, the reruns on the discovery thread, and the hand-over of their
// outputs to the event thread (see manager.h).
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "src/SCLpairs.h"
#include "src/manager.h"
#include "src/pairing_report.h"
#include "src/timings.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

void manager::initialise_lists(const char* filename) {
    cSCLpairs* sclpairparser = new cSCLpairs();
    cSCLpairsReport report;
    SCLpairsLst = sclpairparser->getSCLpairsLst(filename, &report);
    logDroppedReaders(*this, filename, report);
    mPairIndex = cSCLpairIndex(SCLpairsLst);
    delete sclpairparser;  // not used again

    mDiscovery = new cDiscovery(
        mObjectClient, [this] { discoveryProgress(); }, mTimings.discoveryWait);
    std::vector<cObjectDOutput*> found;
    mDiscoveryPending = !mDiscovery->run(&found);
    for (cObjectDOutput* output : found) {
        mOutputPortLst->add(output);
    }
}

void manager::discoveryProgress() {
    if (startUpDone()) {
        return;  // a rerun: the watchdog stands for the event thread alone
    }
    mSupervisor.extendStart(timings::kDiscoveryStepUsec);
    mSupervisor.watchdog();
}

void manager::handleConnected() {
    waitForStartUp();
    if (mSkipConnectNotice) {
        mSkipConnectNotice = false;
    } else {
        vsync::cLock lock(mDiscoveryMutex);
        ++mConnectNotices;
        mDiscoveryCond.notify_all();
    }
    takeDiscovered();
    mSupervisor.status(statusLine());
    fflush(stdout);
}

void manager::discoveryLoop() {
    std::chrono::steady_clock::duration retry = mTimings.firstRetry;
    auto next = Clock::now() + retry;
    vsync::cLock lock(mDiscoveryMutex);
    for (;;) {
        if (mDiscoveredReady) {
            mDiscoveryCond.wait(lock.native());  // the event thread takes the last result first
            continue;
        }
        bool connection = mConnectNotices > 0;
        mConnectNotices = 0;
        bool pending = mDiscovery->pending();
        if (!connection && !pending) {
            mDiscoveryCond.wait(lock.native());
            continue;
        }
        if (!connection && Clock::now() < next) {
            mDiscoveryCond.wait_until(lock.native(), next);
            continue;
        }
        lock.unlock();
        if (connection || mObjectClient->isConnected()) {
            // Every new connection asks for the port list again: a daemon
            // that answered it while still loading may name more outputs now.
            const char* why = connection ? "the site daemon is connected" : "retry";
            if (pending) {
                mDiscoveryLog.info("discovery runs again for what is missing (%s)", why);
            } else {
                mDiscoveryLog.info("discovery asks for the port list again (%s)", why);
            }
            std::vector<cObjectDOutput*> found;
            mDiscovery->run(&found, connection);
            fflush(stdout);
            lock.lock();
            mDiscovered.swap(found);
            mDiscoveredPending = mDiscovery->pending();
            mDiscoveredReady = true;
            retry = connection ? mTimings.firstRetry
                               : std::min<Clock::duration>(retry * 2, mTimings.longestRetry);
        } else {
            lock.lock();  // not connected: the next connection runs it
        }
        next = Clock::now() + retry;
    }
}

void manager::takeDiscovered() {
    std::vector<cObjectDOutput*> found;
    {
        vsync::cLock lock(mDiscoveryMutex);
        if (!mDiscoveredReady) {
            return;
        }
        found.swap(mDiscovered);
        mDiscoveryPending = mDiscoveredPending;
        mDiscoveredReady = false;
        mDiscoveryCond.notify_all();
    }
    // The outputs known before are among them, the same objects with the
    // states this thread holds; only the list that holds them is new.
    VList* outputs = new VList();
    for (cObjectDOutput* output : found) {
        outputs->add(output);
    }
    delete mOutputPortLst;
    mOutputPortLst = outputs;
    mSupervisor.status(statusLine());
}
