// cSCLpairs: loads the reader pairing file (XML, root "scl_connections")
// into a list of cSCL records, in the order of the "Reader" elements.
//
// Parsing never reaches the network, expands no external entity and keeps
// to libxml2's limits on depth and entity expansion. Not thread-safe: the
// parse and xmlCleanupParser touch libxml2's process-wide state.
#ifndef DORVANE_SRC_SCLPAIRS_H
#define DORVANE_SRC_SCLPAIRS_H

#include "VList.h"
#include "cVlog.h"

class cSCLpairs : public cVlog {
public:
    cSCLpairs();  // log category "SCLpairs"
    ~cSCLpairs() override;

    // A new list of new records read from filename; the caller owns the list
    // and every record. Null when the file yields no record (never an empty
    // list); "Fail open" on standard output when it cannot be parsed.
    VList* getSCLpairsLst(const char* filename);
};

#endif
