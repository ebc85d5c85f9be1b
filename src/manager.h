// manager: the access-control service. Its constructor does the whole
// start-up: configuration, connection to the site daemon, the pairing file,
// output discovery and the access database. Afterwards it acts only when the
// object client hands it a message: event messages are turned into toggles
// of the outputs named by the scanned reader's IO and LED labels.
//
// Messages that arrive while the constructor runs are held back (the event
// thread waits) and handled, in order, once start-up has finished.
#ifndef DORVANE_SRC_MANAGER_H
#define DORVANE_SRC_MANAGER_H

#include <condition_variable>
#include <mutex>

#include "DatabaseHandler.h"
#include "TableData.h"
#include "VList.h"
#include "access_trail.h"
#include "cObjectClient.h"
#include "cObjectListener.h"
#include "cVlog.h"
#include "pAccess.h"
#include "settings.h"

// The configuration values used during construction.
struct property_values {
    char configFile[settings::kConfigFileSize];
    char host[settings::kHostSize];
    char ioPairFile[settings::kIoPairFileSize];
    char dblocal[settings::kDblocalSize];
};

// Label selector for getIOlabel.
enum eOption { IO_LABEL = 0, LED_LABEL = 1 };

class manager : public cObjectListener, public cVlog {
public:
    // Creates the one manager when there is none; otherwise does nothing.
    static void start();

    manager();
    // Called on the client's event thread for every delivered message.
    void handleObjectAction(cObjectList* rx_msg) override;
    ~manager() override;

private:
    void initialise_lists(const char* filename);
    void handle_event(cObjectList* rx_msg);
    pAccess* findReaderName(const char* scancode);
    char* getIOlabel(const char* readername, eOption option);
    char* getlabel(const char* scancode);
    bool toggle_port(const char* label);

    // Copies the value of key into field, or the default when the value does
    // not fit (logged and written to standard output).
    void copySetting(const cProperties& props, const settings::Key& key, char* field);

    static manager* mInstance;

    cObjectClient* mObjectClient;
    DatabaseHandler* mDBhandler;
    VList* SCLpairsLst;
    VList* mOutputPortLst;
    TableData* mDBVals;

    // The start-up window: the event thread waits until construction ends.
    std::mutex mStartupMutex;
    std::condition_variable mStartupCond;
    bool mStartupDone;
    cVlog mArrivalLog;  // "Received Message" while the constructor may log too

    // The trail line of each access object; used on the event thread only.
    cAccessTrail mTrail;
};

#endif
