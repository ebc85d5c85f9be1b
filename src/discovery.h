// cDiscovery: the discovery of the site's discrete outputs, run at start-up
// and again for as long as something is missing.
//
// A run asks the site daemon for its port list (when it is not known yet)
// and then fetches each discrete output of the list that is still missing,
// waiting one second after each reply, with the lines on standard output of
// every run: "Getting Device", "GOT THE Device", "Our pointer is NULL",
// "The Return Output Port is NULL". Missing is the list itself (no reply,
// ERR or no connection) or a listed output whose GET got no reply (timeout
// or no connection). An output whose GET was refused (ERR) or answered with
// something that is not a discrete output is dropped for good, as are the
// ports after an object of the list that is not a port. Whatever was
// fetched is kept: a later run asks only for what is missing.
//
// Each time the set of missing outputs changes, one line says so: WARN
// while something is missing, INFO "discovery found N outputs" once nothing
// is.
//
// Threads: one thread at a time runs it (the main thread at start-up, then
// the manager's discovery thread). Ownership: the output objects it fetches
// are handed to the caller of run(), which owns them; the discovery keeps
// their addresses only to hand the same objects over again in list order,
// and never reads or changes them afterwards. Failures are lines and the
// missing set; nothing throws but std::bad_alloc.
#ifndef DORVANE_SRC_DISCOVERY_H
#define DORVANE_SRC_DISCOVERY_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ulxobj/cObjectClient.h"
#include "vlog/cVlog.h"

class cDiscovery : public cVlog {
public:
    // client stays the caller's; step is called before the first query and
    // after each wait of one second (start-up extends its timeout there).
    // dorvanectl asks as the service does without the waits (waitSec 0) and
    // without the lines on standard output (progressLines false).
    cDiscovery(cObjectClient* client, std::function<void()> step, unsigned waitSec = 1,
               bool progressLines = true);

    // One run, as above. *outputs receives every output fetched so far, in
    // the order of the port list: the objects of earlier runs again (the
    // same addresses) and the new ones. Returns true when nothing is missing.
    bool run(std::vector<cObjectDOutput*>* outputs);

    // True while something is missing.
    bool pending() const;
    // True once the daemon has answered the port list.
    bool listKnown() const { return mListKnown; }

private:
    enum ePortState { PORT_MISSING, PORT_FETCHED, PORT_DROPPED };
    struct Port {
        uint32_t serial;
        uint32_t id;
        std::string label;  // the list reply's label, which the kept output carries
        ePortState state;
        cObjectDOutput* output;  // once fetched; the caller's
    };

    // The port list: "Getting Device" to "GOT THE Device"; fills mPorts.
    void fetchList();
    void fetchPort(Port& port);
    // Logs the missing set when it changed since the last run.
    void noteMissing();
    std::string missingText() const;

    // A progress line on standard output, when they are written.
    void say(const char* line) const;

    cObjectClient* mClient;
    std::function<void()> mStep;
    unsigned mWaitSec;
    bool mProgressLines;
    bool mListKnown;
    std::vector<Port> mPorts;  // the list's discrete outputs, in list order
    std::string mMissingSaid;  // the missing set as last logged
};

#endif
