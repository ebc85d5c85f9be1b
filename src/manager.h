// manager: the access-control service. Its constructor does the whole
// start-up: configuration, connection to the site daemon, the pairing file,
// output discovery and the access database. Afterwards it acts only when the
// object client hands it a message: event messages are turned into toggles
// of the outputs named by the scanned reader's IO and LED labels.
//
// Messages that arrive while the constructor runs are held back (the event
// thread waits) and handled, in order, once start-up has finished.
//
// Threads: the constructor runs on the main thread; handleObjectAction and
// everything it calls run on the client's event thread, one message at a
// time, so the lists need no lock. Ownership: the manager owns the client,
// the database handler and both lists with their elements for the life of
// the process (a rerun discovery or a reload replaces a list and frees the
// old one, on the event thread); it is never destroyed (the process ends by
// being killed), so its destructor releases nothing. Failures are logged and
// never stop it.
//
// Discovery that did not learn every discrete output of the port list (see
// cDiscovery) runs again, for what is missing only, on a thread of its own:
// first at most 10 s later, then backing off to once a minute, while the
// site daemon is connected. At every new connection it runs at once and asks
// for the port list again, adding the outputs it did not know. The event
// thread takes the outputs it found between two messages, so that scans
// are not held while a port stays silent. A reload (SIGHUP) reads the
// pairing file again on the main thread; the event thread takes the new
// records between two messages. Under a service manager, readiness, status
// and the watchdog go through cSupervisor; the watchdog is pinged from the
// event thread, also while it waits for a reply within a bounded time.
#ifndef DORVANE_SRC_MANAGER_H
#define DORVANE_SRC_MANAGER_H

#include <chrono>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "src/access_trail.h"
#include "src/discovery.h"
#include "src/pAccess.h"
#include "src/pairing_index.h"
#include "src/settings.h"
#include "src/supervisor.h"
#include "ulxobj/cObjectClient.h"
#include "ulxobj/cObjectListener.h"
#include "vdb/DatabaseHandler.h"
#include "vdb/TableData.h"
#include "vlist/VList.h"
#include "vlog/cVlog.h"
#include "voutbox/cOutbox.h"
#include "vsync/VLocks.h"
#include "vutil/VTimings.h"

// The configuration values used during construction, on its stack: the
// configuration file's path, then the site daemon's host, the pairing file
// and the access database as the configuration file gives them (or their
// defaults). Each is a NUL-terminated text cut to its settings limit.
struct property_values {
    char configFile[settings::kConfigFileSize];
    char host[settings::kHostSize];
    char ioPairFile[settings::kIoPairFileSize];
    char dblocal[settings::kDblocalSize];
};

// Which label of a reader's pairing record getIOlabel gives: the output the
// reader opens (IO_LABEL) or its LED (LED_LABEL); any other value gets null.
enum eOption { IO_LABEL = 0, LED_LABEL = 1 };

class manager : public cObjectListener, public cVlog {
public:
    // Creates the one manager when there is none; otherwise does nothing.
    // Main thread only; returns when start-up has finished. It never fails:
    // a step of start-up that fails partway (a configuration value that does
    // not fit, no site daemon, no pairing file, discovery that cannot finish,
    // no database) is logged and start-up goes on without it; the client
    // keeps reconnecting, discovery runs again on the next connection and
    // the database is opened again at the next lookup. The manager lives
    // until the process ends.
    static void start();

    // Reads the pairing file again (main thread, after start()). Records
    // that load replace the ones in force between two messages; a file that
    // yields none keeps them, with one WARN line. No manager: nothing.
    static void reload();

    // Does the whole start-up. Public as the service's design has it, but
    // only start() calls it: a second manager would open a second
    // connection and toggle the same outputs twice.
    manager();
    // Called on the client's event thread for every delivered message; the
    // list stays the client's. Waits while the constructor still runs.
    void handleObjectAction(cObjectList* rx_msg) override;
    // Event thread: a new connection; discovery runs again when something
    // is missing.
    void handleConnected() override;
    // Event thread, while a request waits for its reply: pings the watchdog.
    void handleWaiting() override;
    // Event thread: takes reloaded records, updates the status, pings the
    // watchdog.
    void handleTick() override;
    // Releases nothing (see above); never called by the service.
    ~manager() override;

private:
    // The pairing file, then the first discovery run (main thread).
    void initialise_lists(const char* filename);
    void discoveryProgress();
    // The discovery thread: runs discovery again while something is missing
    // (see above) and hands each result to the event thread.
    void discoveryLoop() EXCLUDES(mDiscoveryMutex);
    // Event thread: the outputs of the last rerun replace the output list.
    void takeDiscovered() EXCLUDES(mDiscoveryMutex);
    void waitForStartUp() EXCLUDES(mStartupMutex);
    bool startUpDone() EXCLUDES(mStartupMutex);
    void reloadPairs() EXCLUDES(mReloadMutex);
    void takeReloadedPairs() EXCLUDES(mReloadMutex);
    std::string statusLine();
    void handle_event(cObjectList* rx_msg);
    // True, with a WARN line and the trail's result expired, when rx_msg was
    // read longer than mTimings.scanExpiry ago: its access object opens nothing.
    bool handledTooLate(const cObjectList* rx_msg, const char* scancode);
    // The steps of one access object, all on the event thread.
    // The reader that the access database names for scancode: a new pAccess
    // that the caller deletes, or null when the code is unknown, its rows
    // name different readers, the lookup failed or the stored name does not
    // fit a pAccess (each logged; the trail notes the first three).
    pAccess* findReaderName(const char* scancode);
    // An access object whose code holds a NUL byte: one INFO line and its
    // trail line (the code escaped, result=unknown-code); nothing is looked up.
    void refuseNulCode(unsigned seq, const cObjectAccess& access);
    // The reader of row 0 of a lookup's result, or null when pAccess
    // refuses the stored name (logged).
    pAccess* readerOf(const TableData* found, const std::string& shownCode);
    // The option's label in the pairing record of readername (the last
    // record of the reader counts), or null when no record names it or
    // readername is null. The text belongs to the record, owned by
    // SCLpairsLst: valid until the event thread takes reloaded records.
    // Looked up in mPairIndex, not by walking the list.
    char* getIOlabel(const char* readername, eOption option) const;
    char* getlabel(const char* scancode) const;  // getIOlabel(scancode, IO_LABEL)
    // Toggles every known output labelled label and sends each as a SET
    // (the trail records whether the daemon applied it). True when at least
    // one output carries the label, whatever the daemon answered.
    bool toggle_port(const char* label);

    // Copies the value of key into field, or the default when the value does
    // not fit (logged and written to standard output).
    void copySetting(const cProperties& props, const settings::Key& key, char* field);
    // Opens the outbox when the configuration names one (main thread, at start-up).
    void openOutbox(const cProperties& props);
    // A configuration value refused: logged and written to standard output.
    void refuseSetting(const std::string& refusal);

    static manager* mInstance;

    cObjectClient* mObjectClient;
    DatabaseHandler* mDBhandler;
    VList* SCLpairsLst;
    cSCLpairIndex mPairIndex;  // over SCLpairsLst; set and replaced with it
    VList* mOutputPortLst;

    // The start-up window: the event thread waits until construction ends.
    vsync::cMutex mStartupMutex;
    std::condition_variable mStartupCond;
    bool mStartupDone GUARDED_BY(mStartupMutex);
    cVlog mArrivalLog;  // "Received Message" while the constructor may log too

    cSupervisor mSupervisor;
    bool mDiscoveryPending;  // main thread until start-up ends, then the event thread
    // Run by the main thread at start-up, then by mDiscoveryThread only.
    cDiscovery* mDiscovery;
    std::thread mDiscoveryThread;
    bool mSkipConnectNotice;  // event thread: the first notice is start-up's connection
    // The hand-over between the discovery thread and the event thread.
    vsync::cMutex mDiscoveryMutex;
    std::condition_variable mDiscoveryCond;
    // Connections made since the discovery thread looked.
    unsigned mConnectNotices GUARDED_BY(mDiscoveryMutex);
    // A result waits for the event thread.
    bool mDiscoveredReady GUARDED_BY(mDiscoveryMutex);
    // Every output fetched, in list order.
    std::vector<cObjectDOutput*> mDiscovered GUARDED_BY(mDiscoveryMutex);
    // The result leaves something missing.
    bool mDiscoveredPending GUARDED_BY(mDiscoveryMutex);
    char mPairFile[sizeof(property_values::ioPairFile)];
    // The hand-over of reloaded records from the main thread to the event
    // thread: loaded by reload(), not yet taken, and their index, built off
    // the event thread.
    vsync::cMutex mReloadMutex;
    VList* mReloadedPairs GUARDED_BY(mReloadMutex);
    cSCLpairIndex mReloadedIndex GUARDED_BY(mReloadMutex);
    cVlog mReloadLog;     // the main thread's lines after start-up
    cVlog mDiscoveryLog;  // the discovery thread's lines (a cVlog is for one thread)
    // Every wait of the service; set by the constructor before any thread
    // starts, then only read. scanExpiry: how long an access object may wait
    // from its read to its handling; zero: no bound.
    vutil::Timings mTimings;
    // The trail line of each access object; used on the event thread only.
    cAccessTrail mTrail;
    // The fleet link's outbox (the key outbox), or null: appended to by the
    // trail on the event thread; its status file written by mSupervisor.
    voutbox::cOutbox* mOutbox;
};

#endif
