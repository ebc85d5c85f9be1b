#include "manager.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "SCLpairs.h"
#include "cSCL.h"
#include "properties.h"

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
      mDBVals(nullptr),
      mStartupDone(false),
      mArrivalLog("DorvaneManager") {
    property_values config_struct;
    cProperties* props = new cProperties();
    mOutputPortLst = new VList();
    snprintf(config_struct.configFile, sizeof(config_struct.configFile), "%s", DORVANE_CONFIG_FILE);
    props->load(config_struct.configFile);
    cVlog::init(config_struct.configFile);
    copySetting(*props, settings::kHost, config_struct.host);
    copySetting(*props, settings::kIoPairFile, config_struct.ioPairFile);
    copySetting(*props, settings::kDblocal, config_struct.dblocal);
    delete props;  // not used again
    debug("host:%s|\n", config_struct.host);
    debug("ioPairFile:%s|\n", config_struct.ioPairFile);

    mObjectClient = new cObjectClient();
    mObjectClient->addListener(this);
    mObjectClient->start(config_struct.host, settings::kDaemonPort);

    initialise_lists(config_struct.ioPairFile);

    mDBhandler = new DatabaseHandler(SQLITE3, config_struct.dblocal, false, true);

    fflush(stdout);
    // Start-up is over: let the event thread handle what it held back.
    std::lock_guard<std::mutex> lock(mStartupMutex);
    mStartupDone = true;
    mStartupCond.notify_all();
}

manager::~manager() = default;

void manager::copySetting(const cProperties& props, const settings::Key& key, char* field) {
    std::string refusal;
    if (!settings::copy(props, key, field, &refusal)) {
        error("configuration %s", refusal.c_str());
        printf("Configuration %s\n", refusal.c_str());
        fflush(stdout);
    }
}

void manager::handleObjectAction(cObjectList* rx_msg) {
    mArrivalLog.debug("Received Message from ulxd\n");
    {
        std::unique_lock<std::mutex> lock(mStartupMutex);
        mStartupCond.wait(lock, [this] { return mStartupDone; });
    }
    if (rx_msg->getMsgType() == 3) {
        debug("Got MSG_EVT");
        handle_event(rx_msg);
    } else {
        debug("Unknown Message Type %d", rx_msg->getMsgType());
    }
    fflush(stdout);  // this message's lines, in one write
}

void manager::initialise_lists(const char* filename) {
    cSCLpairs* sclpairparser = new cSCLpairs();
    SCLpairsLst = sclpairparser->getSCLpairsLst(filename);
    delete sclpairparser;  // not used again

    cObjectPort p;
    p.setPortType(cObjectPort::PORT_TYPE_DISCRETE_OUT);
    cObjectList tx;
    tx.add(&p);
    cObjectDOutput op;

    printf("Getting Device\n");
    fflush(stdout);
    cObjectList* rx = mObjectClient->get(&tx);
    sleep(1);
    printf("GOT THE Device\n");
    if (rx == nullptr) {
        printf("Our pointer is NULL\n");
        fflush(stdout);
        return;
    }
    fflush(stdout);
    for (cObject* obj = rx->first(); obj != nullptr; obj = rx->next()) {
        cObjectPort* rp = dynamic_cast<cObjectPort*>(obj);
        if (rp == nullptr) {
            break;  // the objects after a foreign one are not looked at
        }
        op.setDeviceSerial(rp->getDeviceSerial());
        op.setPortId(rp->getPortId());
        op.setPortLabel(rp->getPortLabel());
        op.setPortType(rp->getPortType());
        if (op.getPortType() != cObjectPort::PORT_TYPE_DISCRETE_OUT) {
            continue;
        }
        cObject* fetched = mObjectClient->get(&op);
        cObjectDOutput* rop = dynamic_cast<cObjectDOutput*>(fetched);
        if (rop == nullptr) {
            delete fetched;
        }
        sleep(1);
        if (rop != nullptr) {
            rop->setPortLabel(op.getPortLabel());  // the list reply's label counts
            if (!mOutputPortLst->add(rop)) {
                delete rop;
            }
        } else {
            printf("The Return Output Port is NULL\n");
            fflush(stdout);
        }
    }
    rx->deleteObjects();
    delete rx;
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
            const char* ScanCode = temp->getScanCode();
            debug("Scan_code: %s", ScanCode);
            mTrail.begin(rx_msg->getMsgSeq(), temp->getDeviceSerial(), ScanCode);
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
                info("Error when trying to retrieve IO corresponding to ReaderName:%s", readerName);
            }
            char* LEDLabel = getIOlabel(readerName, LED_LABEL);
            if (LEDLabel != nullptr) {
                mTrail.pairingFound();
                toggle_port(LEDLabel);
            } else {
                info("Error when trying to retrieve LED corresponding to ReaderName:%s",
                     readerName);
            }
            delete Reader;
            mTrail.finish();
        }
    }
}

pAccess* manager::findReaderName(const char* scancode) {
    printf("scanCode:%s\n", scancode);
    pAccess* Dbpair = new pAccess();
    Dbpair->setScanCode(scancode);
    TableData* returnData = nullptr;
    mDBhandler->Find(Dbpair, &returnData);
    pAccess* dbReader = nullptr;
    if (returnData != nullptr) {
        returnData->print();
        dbReader = new pAccess(returnData, 0);
        debug("Found Reader %s for scancode %s", dbReader->getReaderLabel(),
              dbReader->getScanCode());
        returnData->free();
    } else {
        debug("No Scancode value found\n");
    }
    delete Dbpair;
    return dbReader;
}

char* manager::getIOlabel(const char* readername, eOption option) {
    if (option != IO_LABEL && option != LED_LABEL) {
        return nullptr;
    }
    if (SCLpairsLst == nullptr) {
        return nullptr;
    }
    char* label = nullptr;
    SCLpairsLst->reset();
    for (int pass = 0; pass < SCLpairsLst->mNodeCount; ++pass) {
        cSCL* tempSCLpair = static_cast<cSCL*>(SCLpairsLst->get());
        if (tempSCLpair == nullptr) {
            continue;
        }
        if (strcmp(readername, tempSCLpair->getReaderName()) == 0) {
            label = option == IO_LABEL ? tempSCLpair->getIOLabel() : tempSCLpair->getLEDLabel();
        }
        SCLpairsLst->step();
    }
    return label;
}

char* manager::getlabel(const char* scancode) {
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
        if (strcmp(label, temp->getPortLabel()) == 0) {
            debug("IF WORKS");
            if (temp->getOutputState() == cObject::OBJ_IO_STATE_SET) {
                temp->setOutputState(cObject::OBJ_IO_STATE_CLEAR);
            } else {
                temp->setOutputState(cObject::OBJ_IO_STATE_SET);
            }
            int sent = mObjectClient->set(temp);  // 0: the daemon applied it
            mTrail.output(temp->getPortLabel(), temp->getOutputState() == cObject::OBJ_IO_STATE_SET,
                          sent == 0);
            success = true;
        }
        mOutputPortLst->step();
    }
    return success;
}
