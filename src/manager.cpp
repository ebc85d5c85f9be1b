#include "src/manager.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "src/SCLpairs.h"
#include "src/cSCL.h"
#include "src/output_toggle.h"
#include "src/pairing_report.h"
#include "src/properties.h"
#include "src/timings.h"
#include "vmsg/VWire.h"
#include "vutil/VText.h"

namespace {

// The "reader" text of row (0 or 1) as the database gave it, before pAccess
// took it; null when the row has none.
const char* readerValue(const TableData* table, int row) {
    const RowList* r = table->headRowList;
    for (int i = 0; i < row && r != nullptr; ++i) {
        r = r->next;
    }
    const ColumnDataList* value = r != nullptr ? r->head : nullptr;
    for (const ColumnNameList* c = table->headColNames; c != nullptr && value != nullptr;
         c = c->next, value = value->next) {
        if (c->type == SQL_TYPE_TEXT && strncmp(c->name, "reader", sizeof(c->name)) == 0) {
            return value->value.valT;
        }
    }
    return nullptr;
}

// The service's timings: the defaults; dorvane-local takes changes from
// timings::kVariable, so that tests can shorten them and the benchmark lift
// the scan expiry. *note receives what was taken from the environment, or
// why it was refused (then the defaults hold), if anything.
vutil::Timings serviceTimings(std::string* note) {
    vutil::Timings values;
#ifdef DORVANE_USE_LOCAL_CONFIG
    const char* given = getenv(timings::kVariable);
    if (given != nullptr) {
        std::string why;
        if (vutil::parseTimings(given, &values, &why)) {
            *note = std::string(timings::kVariable) + "=" + given;
        } else {
            *note = std::string(timings::kVariable) + " " + why + "; it is ignored";
        }
    }
#else
    (void)note;
#endif
    return values;
}

// Deletes every element of list (each a T), then the list; null: nothing.
template <typename T>
void deleteAll(VList* list) {
    if (list == nullptr) {
        return;
    }
    list->reset();
    for (int pass = 0; pass < list->mNodeCount; ++pass) {
        delete static_cast<T*>(list->get());
        list->step();
    }
    delete list;
}

}  // namespace

manager* manager::mInstance = nullptr;

void manager::start() {
    if (mInstance == nullptr) {
        manager* created = new manager();
        mInstance = created;
    }
}

manager::manager()
    : cVlog("DorvaneManager"),
      mObjectClient(nullptr),
      mDBhandler(nullptr),
      SCLpairsLst(nullptr),
      mOutputPortLst(nullptr),
      mStartupDone(false),
      mArrivalLog("DorvaneManager"),
      mDiscoveryPending(false),
      mDiscovery(nullptr),
      mSkipConnectNotice(false),
      mConnectNotices(0),
      mDiscoveredReady(false),
      mDiscoveredPending(false),
      mPairFile(),
      mReloadedPairs(nullptr),
      mReloadLog("DorvaneManager"),
      mDiscoveryLog("DorvaneManager"),
      mTimings(),
      mOutbox(nullptr) {
    property_values config_struct;
    cProperties* props = new cProperties();
    mOutputPortLst = new VList();
    snprintf(config_struct.configFile, sizeof(config_struct.configFile), "%s", DORVANE_CONFIG_FILE);
    props->load(config_struct.configFile);
    cVlog::init(config_struct.configFile);
    copySetting(*props, settings::kHost, config_struct.host);
    copySetting(*props, settings::kIoPairFile, config_struct.ioPairFile);
    copySetting(*props, settings::kDblocal, config_struct.dblocal);
    openOutbox(*props);
    delete props;  // not used again
    debug("host:%s|\n", config_struct.host);
    debug("ioPairFile:%s|\n", config_struct.ioPairFile);
    std::string timingsNote;
    mTimings = serviceTimings(&timingsNote);
    if (!timingsNote.empty()) {
        info("%s", vutil::escape(timingsNote.c_str()).c_str());
    }

    mObjectClient = new cObjectClient(mTimings);
    mObjectClient->addListener(this);
    // The first connection's notice, when start() made it, belongs to the
    // connection that start-up discovery uses.
    mSkipConnectNotice = mObjectClient->start(config_struct.host, settings::kDaemonPort);

    snprintf(mPairFile, sizeof(mPairFile), "%s", config_struct.ioPairFile);
    initialise_lists(config_struct.ioPairFile);

    mDBhandler = new DatabaseHandler(SQLITE3, config_struct.dblocal, false, true);

    fflush(stdout);
    std::string status = statusLine();
    info("start-up finished: %s", status.c_str());
    mSupervisor.ready(status);
    mDiscoveryThread = std::thread(&manager::discoveryLoop, this);
    // Start-up is over: let the event thread handle what it held back.
    vsync::cLock lock(mStartupMutex);
    mStartupDone = true;
    mStartupCond.notify_all();
}

manager::~manager() = default;

void manager::copySetting(const cProperties& props, const settings::Key& key, char* field) {
    std::string refusal;
    if (!settings::copy(props, key, field, &refusal)) {
        refuseSetting(refusal);
    }
}

void manager::refuseSetting(const std::string& refusal) {
    error("configuration %s", refusal.c_str());
    printf("Configuration %s\n", refusal.c_str());
    fflush(stdout);
}

void manager::openOutbox(const cProperties& props) {
    std::string refusal;
    uint64_t limit = settings::outboxLimit(props, &refusal);
    if (!refusal.empty()) {
        refuseSetting(refusal);
    }
    const std::string folder = settings::outboxFolder(props);
    if (folder.empty()) {
        return;
    }
    mOutbox = new voutbox::cOutbox(folder, limit);
    mOutbox->open();  // a folder that fails now is said, and tried again at every event
    info("outbox %s, bound %llu bytes", vutil::escape(folder.c_str()).c_str(),
         static_cast<unsigned long long>(limit));
    mTrail.setOutbox(mOutbox);
    voutbox::cOutbox* outbox = mOutbox;
    mSupervisor.setStatusSink([outbox](const std::string& text) { outbox->writeStatus(text); });
}

void manager::handleObjectAction(cObjectList* rx_msg) {
    mArrivalLog.debug("Received Message from ulxd\n");
    waitForStartUp();
    takeReloadedPairs();
    takeDiscovered();
    if (rx_msg->getMsgType() == vmsg::MSG_EVT) {
        debug("Got MSG_EVT");
        handle_event(rx_msg);
    } else {
        debug("Unknown Message Type %d", rx_msg->getMsgType());
    }
    fflush(stdout);  // this message's lines, in one write
}

void manager::waitForStartUp() {
    vsync::cLock lock(mStartupMutex);
    while (!mStartupDone) {
        mStartupCond.wait(lock.native());
    }
}

bool manager::startUpDone() {
    vsync::cLock lock(mStartupMutex);
    return mStartupDone;
}

void manager::handleTick() {
    if (!startUpDone()) {
        return;  // the constructor still runs: nothing here is built yet
    }
    takeReloadedPairs();
    takeDiscovered();
    mSupervisor.status(statusLine());
    mSupervisor.watchdog();
}

void manager::handleWaiting() {
    // A set waits for its reply within a bounded time: the event thread is
    // alive, and the watchdog hears of it. Never before start-up has ended
    // (the event thread is then held back, not waiting for a reply).
    mSupervisor.watchdog();
}

void manager::reload() {
    if (mInstance != nullptr) {
        mInstance->reloadPairs();
    }
}

void manager::reloadPairs() {
    mSupervisor.reloading();
    cSCLpairs loader;
    cSCLpairsReport report;
    VList* pairs = loader.getSCLpairsLst(mPairFile, &report);
    fflush(stdout);
    logDroppedReaders(mReloadLog, mPairFile, report);
    std::string file = vutil::escape(mPairFile);
    if (pairs == nullptr) {
        mReloadLog.warn(
            "reload: pairing file %s could not be loaded or gave no record; the pairing "
            "records in force are kept",
            file.c_str());
    } else {
        mReloadLog.info("reload: pairing file %s gave %u records; they replace the ones in force",
                        file.c_str(), static_cast<unsigned>(pairs->mNodeCount));
        // Built here, so that the event thread only swaps it in.
        cSCLpairIndex index(pairs);
        vsync::cLock lock(mReloadMutex);
        deleteAll<cSCL>(mReloadedPairs);  // loaded before but never taken
        mReloadedPairs = pairs;
        mReloadedIndex = std::move(index);
    }
    mSupervisor.reloaded();
    malloc_trim(0);  // the parse's buffers; the old records go when they are taken
}

void manager::takeReloadedPairs() {
    VList* pairs = nullptr;
    cSCLpairIndex index;
    {
        vsync::cLock lock(mReloadMutex);
        std::swap(pairs, mReloadedPairs);
        index = std::move(mReloadedIndex);
        mReloadedIndex = cSCLpairIndex();
    }
    if (pairs != nullptr) {
        // The old index goes before its list does.
        mPairIndex = std::move(index);
        deleteAll<cSCL>(SCLpairsLst);
        SCLpairsLst = pairs;
        mSupervisor.status(statusLine());
        // Their pages lie among memory still in use, where free() leaves
        // them: give them back, or every reload of a large file keeps its
        // size for good.
        malloc_trim(0);
    }
}

std::string manager::statusLine() {
    char text[240];
    snprintf(text, sizeof(text), "%s; %u outputs known%s; %u pairing records; database %s%s%s",
             mObjectClient->isConnected() ? "connected to the site daemon"
                                          : "not connected to the site daemon",
             static_cast<unsigned>(mOutputPortLst->mNodeCount),
             mDiscoveryPending ? " (discovery pending)" : "",
             SCLpairsLst != nullptr ? static_cast<unsigned>(SCLpairsLst->mNodeCount) : 0U,
             mDBhandler == nullptr     ? "not open"
             : mDBhandler->isFailing() ? "cannot be read"
             : mDBhandler->isOpen()    ? "open"
                                       : "not open",
             mTrail.isWriteFailing() ? "; access trail cannot be written" : "",
             mOutbox != nullptr && mOutbox->failing() ? "; outbox cannot be written" : "");
    return text;
}

void manager::handle_event(cObjectList* rx_msg) {
    for (cObject* obj = rx_msg->first(); obj != nullptr; obj = rx_msg->next()) {
        if (obj->getType() == cObject::OBJ_EVENT) {
            debug("Got MSG_EVT:EVENT");
        } else if (obj->getType() == cObject::OBJ_ACCESS) {
            cObjectAccess* temp = dynamic_cast<cObjectAccess*>(obj);
            if (temp == nullptr) {
                continue;  // every decoded access object is one; never trust blindly
            }
            debug("Got MSG_EVT:ACCESS SEQ(%02X) ", rx_msg->getMsgSeq());
            debug("Device serial: %d", static_cast<int>(temp->getDeviceSerial()));
            if (temp->scanCodeHoldsNul()) {
                refuseNulCode(rx_msg->getMsgSeq(), *temp);
                continue;
            }
            const char* ScanCode = temp->getScanCode();
            if (isEnabled(DEBUG)) {  // the escaped copy only for a line that is written
                debug("Scan_code: %s", vutil::escape(ScanCode).c_str());
            }
            mTrail.begin(rx_msg->getMsgSeq(), temp->getDeviceSerial(), ScanCode);
            if (handledTooLate(rx_msg, ScanCode)) {
                mTrail.finish();
                continue;
            }
            pAccess* Reader = findReaderName(ScanCode);
            if (Reader == nullptr) {
                mTrail.finish();
                continue;
            }
            const char* readerName = Reader->getReaderLabel();
            mTrail.reader(readerName);
            char* ioLabel = getIOlabel(readerName, IO_LABEL);
            if (ioLabel != nullptr) {
                mTrail.pairingFound();
                toggle_port(ioLabel);
            } else {
                info("Error when trying to retrieve IO corresponding to ReaderName:%s",
                     vutil::escape(readerName).c_str());
            }
            char* LEDLabel = getIOlabel(readerName, LED_LABEL);
            if (LEDLabel != nullptr) {
                mTrail.pairingFound();
                toggle_port(LEDLabel);
            } else {
                info("Error when trying to retrieve LED corresponding to ReaderName:%s",
                     vutil::escape(readerName).c_str());
            }
            delete Reader;
            mTrail.finish();
        }
    }
}

bool manager::handledTooLate(const cObjectList* rx_msg, const char* scancode) {
    if (mTimings.scanExpiry == std::chrono::steady_clock::duration::zero()) {
        return false;
    }
    auto waited = std::chrono::steady_clock::now() - rx_msg->readAt();
    if (waited <= mTimings.scanExpiry) {
        return false;
    }
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    warn("Scancode %s was read %lld ms ago, longer than %lld ms: too late, nothing toggles",
         vutil::escape(scancode).c_str(),
         static_cast<long long>(duration_cast<milliseconds>(waited).count()),
         static_cast<long long>(duration_cast<milliseconds>(mTimings.scanExpiry).count()));
    mTrail.expired();
    return true;
}

void manager::refuseNulCode(unsigned seq, const cObjectAccess& access) {
    // Never looked up: the bytes before the NUL may be another card's code.
    const std::string& code = access.getScanCodeBytes();
    info("Scancode %s holds a NUL byte: it matches no code, nothing toggles",
         vutil::escape(code.data(), code.size()).c_str());
    mTrail.begin(seq, access.getDeviceSerial(), code);
    mTrail.finish();  // result=unknown-code
}

pAccess* manager::findReaderName(const char* scancode) {
    // Scan codes and reader names come from the network and the database: a
    // control character in them must not forge a line.
    const std::string shownCode = vutil::escape(scancode);
    printf("scanCode:%s\n", shownCode.c_str());
    pAccess* Dbpair = new pAccess();
    Dbpair->setScanCode(scancode);
    TableData* returnData = nullptr;
    std::string why;
    int rows = mDBhandler->Find(Dbpair, &returnData, &why);
    pAccess* dbReader = nullptr;
    if (returnData != nullptr) {
        returnData->print();
        if (rows > 1) {
            // Which row SQLite yields first is its query plan's choice.
            info("Scancode %s is stored for more than one reader (\"%s\", \"%s\"): nothing toggles",
                 shownCode.c_str(), vutil::escape(readerValue(returnData, 0)).c_str(),
                 vutil::escape(readerValue(returnData, 1)).c_str());
            mTrail.ambiguousCode();
        } else {
            dbReader = readerOf(returnData, shownCode);
        }
        returnData->free();
    } else {
        debug("No Scancode value found\n");
        if (rows < 0) {
            // Not an unknown card: the card may be known.
            error("lookup of scancode %s failed, nothing toggles: %s", shownCode.c_str(),
                  vutil::escape(why.c_str()).c_str());
            mTrail.lookupFailed();
        }
    }
    delete Dbpair;
    return dbReader;
}

pAccess* manager::readerOf(const TableData* found, const std::string& shownCode) {
    pAccess* dbReader = new pAccess(found, 0);
    const char* raw = readerValue(found, 0);
    if (dbReader->getReaderLabel()[0] == '\0' && raw != nullptr && raw[0] != '\0') {
        // pAccess refused the label: say so instead of looking up "".
        info(
            "Reader of scancode %s refused (longer than %d characters, or holding a NUL "
            "byte): nothing toggles",
            shownCode.c_str(), pAccess::FIELD_SIZE - 1);
        delete dbReader;
        return nullptr;
    }
    if (isEnabled(DEBUG)) {
        debug("Found Reader %s for scancode %s", vutil::escape(dbReader->getReaderLabel()).c_str(),
              vutil::escape(dbReader->getScanCode()).c_str());
    }
    return dbReader;
}

char* manager::getIOlabel(const char* readername, eOption option) const {
    if (option != IO_LABEL && option != LED_LABEL) {
        return nullptr;
    }
    // The pairing rule (the last record of the reader counts) lives in the
    // index, so dorvanectl decides exactly as the service does.
    const cSCL* record = mPairIndex.find(readername);
    if (record == nullptr) {
        return nullptr;
    }
    return option == IO_LABEL ? record->getIOLabel() : record->getLEDLabel();
}

char* manager::getlabel(const char* scancode) const {
    return getIOlabel(scancode, IO_LABEL);
}

bool manager::toggle_port(const char* label) {
    debug("IN TOGGLE PORT: %d", mOutputPortLst->mNodeCount);
    bool success = false;
    mOutputPortLst->reset();
    for (int pass = 0; pass < mOutputPortLst->mNodeCount; ++pass) {
        cObjectDOutput* temp = static_cast<cObjectDOutput*>(mOutputPortLst->get());
        if (temp == nullptr) {
            debug("NOTHING COMPARES TO YOU");
            continue;
        }
        debug("TEMP FOUND");
        cObject::eObjectIOState next;
        if (toggle::decide(label, temp->getPortLabel(), temp->getOutputState(), &next)) {
            debug("IF WORKS");
            temp->setOutputState(next);
            int sent = mObjectClient->set(temp);  // 0: the daemon applied it
            mTrail.output(temp->getPortLabel(), temp->getOutputState() == cObject::OBJ_IO_STATE_SET,
                          sent == 0);
            success = true;
        }
        mOutputPortLst->step();
    }
    if (!success) {
        mTrail.noOutput(label);  // never reported as done
    }
    return success;
}
