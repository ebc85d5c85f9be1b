// cDiscovery: the discovery of the site's discrete outputs, run at start-up
// and again for as long as something is missing, and at every new
// connection.
//
// A run asks the site daemon for its port list (when the run is the first,
// follows a new connection, or the list is missing) and then fetches each
// discrete output of the list that is still missing, waiting one second
// after each reply, with the lines on standard output of every run:
// "Getting Device", "GOT THE Device", "Our pointer is NULL", "The Return
// Output Port is NULL". Missing is:
// - the list itself: no reply, ERR, no connection, or a list that names no
//   discrete output (a daemon still loading its modules answers so);
// - a listed output whose GET got no reply, an ERR or no connection, or a
//   reply that is not that port: not a discrete output, or one of another
//   serial, port id or port type (one WARN line names both ports);
// - a listed output whose label (in the list or in its reply) holds a NUL
//   byte (one WARN line); the next run asks for the list again.
// The ports after an object of the list that is not a port are not looked
// at. A list asked again adds the outputs it names that are not known; the
// outputs fetched before are kept as they are (the same objects, in the
// same order, the new ones after them), also those it no longer names.
//
// Each time the set of missing outputs changes, one line says so: WARN
// while something is missing, INFO "discovery found N outputs" once nothing
// is (also when a list asked again added outputs).
//
// Threads: one thread at a time runs it (the main thread at start-up, then
// the manager's discovery thread). Ownership: the output objects it fetches
// are handed to the caller of run(), which owns them; the discovery keeps
// their addresses only to hand the same objects over again in list order,
// and never reads or changes them afterwards. Failures are lines and the
// missing set; nothing throws but std::bad_alloc.
#ifndef DORVANE_SRC_DISCOVERY_H
#define DORVANE_SRC_DISCOVERY_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ulxobj/cObjectClient.h"
#include "vlog/cVlog.h"
#include "vutil/VTimings.h"

class cDiscovery : public cVlog {
public:
    // client stays the caller's; step is called before the first query and
    // after each wait (wait after each reply: Timings::discoveryWait for the
    // service; start-up extends its timeout there). dorvanectl asks as the
    // service does without the waits (wait 0) and without the lines on
    // standard output (progressLines false).
    cDiscovery(cObjectClient* client, std::function<void()> step,
               std::chrono::milliseconds wait = vutil::Timings().discoveryWait,
               bool progressLines = true);

    // One run, as above; newConnection asks for the port list again.
    // *outputs receives every output fetched so far: the objects of earlier
    // runs again (the same addresses) and the new ones after them. Returns
    // true when nothing is missing.
    bool run(std::vector<cObjectDOutput*>* outputs, bool newConnection = false);

    // True while something is missing.
    bool pending() const;
    // True once the daemon has answered the port list, also with none.
    bool listKnown() const { return mList != LIST_UNANSWERED; }

private:
    enum eListState { LIST_UNANSWERED, LIST_EMPTY, LIST_ANSWERED };
    struct Port {
        uint32_t serial;
        uint32_t id;
        std::string label;       // the list reply's label, which the kept output carries
        cObjectDOutput* output;  // once fetched (the caller's); null while missing
    };

    // The port list: "Getting Device" to "GOT THE Device"; merges what it
    // names into mPorts.
    void fetchList();
    void takeListed(const std::vector<Port>& listed);
    void fetchPort(Port& port);
    // Whether reply is the output asked (port's, sent as asked); when not,
    // one WARN line says what it is.
    bool isPortAsked(const Port& port, const cObjectDOutput& asked, const cObject* reply);
    // Logs the missing set when it changed since the last run.
    void noteMissing();
    std::string missingText() const;

    // A progress line on standard output, when they are written.
    void say(const char* line) const;

    cObjectClient* mClient;
    std::function<void()> mStep;
    std::chrono::milliseconds mWait;
    bool mProgressLines;
    eListState mList;          // the last answer to the port list
    bool mAskList;             // the next run asks for the port list
    std::vector<Port> mPorts;  // the discrete outputs listed, in the order first listed
    bool mNoted;               // a run has noted its result
    std::string mMissingSaid;  // the missing set as last noted
    size_t mFoundSaid;         // the outputs fetched, as last noted
};

#endif
