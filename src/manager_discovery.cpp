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
using timings::kFirstRetry;
using timings::kLongestRetry;

}  // namespace

void manager::initialise_lists(const char* filename) {
    cSCLpairs* sclpairparser = new cSCLpairs();
    cSCLpairsReport report;
    SCLpairsLst = sclpairparser->getSCLpairsLst(filename, &report);
    logDroppedReaders(*this, filename, report);
    mPairIndex = cSCLpairIndex(SCLpairsLst);
    delete sclpairparser;  // not used again

    mDiscovery = new cDiscovery(mObjectClient, [this] { discoveryProgress(); });
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
    auto retry = kFirstRetry;
    auto next = Clock::now() + retry;
    vsync::cLock lock(mDiscoveryMutex);
    for (;;) {
        if (mDiscoveredReady) {
            mDiscoveryCond.wait(lock.native());  // the event thread takes the last result first
            continue;
        }
        bool connection = mConnectNotices > 0;
        mConnectNotices = 0;
        if (!mDiscovery->pending()) {
            if (!connection) {
                mDiscoveryCond.wait(lock.native());
            }
            continue;
        }
        if (!connection && Clock::now() < next) {
            mDiscoveryCond.wait_until(lock.native(), next);
            continue;
        }
        lock.unlock();
        if (connection || mObjectClient->isConnected()) {
            mDiscoveryLog.info("discovery runs again for what is missing (%s)",
                               connection ? "the site daemon is connected" : "retry");
            std::vector<cObjectDOutput*> found;
            mDiscovery->run(&found);
            fflush(stdout);
            lock.lock();
            mDiscovered.swap(found);
            mDiscoveredPending = mDiscovery->pending();
            mDiscoveredReady = true;
            retry = connection ? kFirstRetry : std::min(retry * 2, kLongestRetry);
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
