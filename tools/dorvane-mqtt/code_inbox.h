// cCodeInbox: the link's side of the signed code sets. It judges each set
// that arrives on a code topic by code_sets::decide against the mark in
// STATEDIR/mark, leaves a set to apply in STATEDIR/spool (written beside,
// renamed in) for the applier, never touches the database, and composes
// the retained PREFIX/SITE/UNIT/codes/applied message from the applier's
// outcome files and its own refusals (each refused digest said once).
//
// Threads: the link's thread only. Failure: one log line each, on the
// link's category; nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANE_MQTT_CODE_INBOX_H
#define DORVANE_TOOLS_DORVANE_MQTT_CODE_INBOX_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "src/code_spool.h"
#include "tools/dorvane-mqtt/link_config.h"
#include "vlog/cVlog.h"

namespace mqttlink {

// True when a change stamped now (the wall clock) cannot share the change
// time changed of a folder (file times are coarse): at least 2 s apart,
// whichever is ahead.
bool stampSettled(const timespec& changed, const timespec& clock);

class cCodeInbox {
public:
    // config and log must outlive the object.
    cCodeInbox(const LinkConfig& config, cVlog& log);

    // Makes STATEDIR/spool when it is missing; false after a log line.
    bool prepare();

    // A payload from a code topic (size bytes at data).
    void receive(const char* data, size_t size);

    // Reads the mark again, the applier's outcomes when the spool changed
    // since they were read (and at least once a minute), and the in-force
    // file when it was replaced since it was read; true when the
    // codes/applied message or the status's codes changed since the last
    // call (or this is the first).
    bool refresh();

    // {"v":1,"applied":...,"pending":...,"refused":...}
    const std::string& appliedMessage() const { return mMessage; }
    // {"version":V,"sha256":"...","mark":M}: the set last applied and the mark.
    const std::string& statusCodes() const { return mStatusCodes; }

private:
    struct Said {
        std::string object, time;
    };
    // What tells one STATEDIR/in-force from the next: the applier renames
    // a new file in, so a replaced file differs in these.
    struct Stamp {
        bool present = false;
        ino_t inode = 0;
        off_t size = 0;
        timespec changed{};
        bool operator==(const Stamp& o) const;
    };
    // The set in force as STATEDIR/in-force says it, read again only when
    // the file was replaced; false when it is missing or unfit.
    bool inForce(code_spool::Mark* m);
    // Reads every outcome file of the spool into the members below when
    // the spool may have changed since the last reading.
    void readOutcomes();

    const LinkConfig& mConfig;
    cVlog& mLog;
    std::string mSpool;
    Said mOwnRefused;  // the link's own last refusal
    // The digests refused lately, said once each; a few suffice for the
    // retained sets delivered again at each connect, and a broker that
    // sends ever new junk grows it no further.
    std::deque<std::string> mRefusedDigests;
    std::string mMessage;
    std::string mStatusCodes;
    bool mFirst = true;
    // The outcome files as last read: the spool's stamp then (the applier
    // renames each outcome in, which changes it), when they were read, and
    // the latest applied, pending and refused outcome found.
    Stamp mSpoolStamp;
    bool mSpoolRead = false;
    timespec mSpoolReadAt{};
    Said mApplied, mPending, mRefused;
    uint64_t mAppliedVersion = 0;
    std::string mAppliedSha256;
    Stamp mInForceStamp;
    bool mInForceKnown = false;  // mInForce holds what the file said
    code_spool::Mark mInForce;
};

}  // namespace mqttlink

#endif
