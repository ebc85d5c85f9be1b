// cSCLpairs: loads the reader pairing file (XML, root "scl_connections")
// into a list of cSCL records, in the order of the "Reader" elements.
//
// The file must be a regular file of at most vutil::kMaxTextFile bytes; it
// is checked without blocking and read whole before it is parsed. Parsing
// never reaches the network, expands no external entity and keeps to
// libxml2's limits on depth and entity expansion. Only attributes without a
// namespace count ("a:name" never stands for "name"). Not thread-safe: the
// parse and xmlCleanupParser touch libxml2's process-wide state. Which
// record counts for a reader is decided by cSCLpairIndex (pairing_index.h).
#ifndef DORVANE_SRC_SCLPAIRS_H
#define DORVANE_SRC_SCLPAIRS_H

#include <cstddef>
#include <string>
#include <vector>

#include "vlist/VList.h"
#include "vlog/cVlog.h"

// What a load left out, and why, for callers that explain a pairing file
// (dorvanectl). Filled by the loader; owned by the caller.
struct cSCLpairsReport {
    struct Refused {
        unsigned index;      // position among the root's "Reader" elements, from 1
        std::string name;    // its "name" attribute as read (may be empty)
        std::string reason;  // "empty or missing LED label"
    };
    unsigned records = 0;          // records accepted, also when the file is refused whole
    std::vector<Refused> refused;  // each "Reader" left out, in document order
    bool refusedWhole = false;     // the file yields no record for the reason below
    std::string whyWhole;          // "100000 records, more than the 65535 the list holds"
};

class cSCL;

class cSCLpairs : public cVlog {
public:
    cSCLpairs();  // log category "SCLpairs"
    ~cSCLpairs() override;

    // A new list of new records read from filename; the caller owns the list
    // and every record and releases both with deletePairs. Null when the
    // file yields no record (never an empty list). "Fail open" on standard
    // output when the file cannot be read or parsed (why in an ERROR line).
    // A file with more records than a VList holds is refused whole: null,
    // one ERROR line and one line on standard output naming the file, the
    // record count and the limit. When report is not null it is filled with
    // what was left out.
    VList* getSCLpairsLst(const char* filename, cSCLpairsReport* report = nullptr);

    // The same for a pairing file already in memory. REQUIRES: text points
    // to len readable bytes (no NUL needed at the end), which stay the
    // caller's and are only read. name only names it in messages.
    VList* parse(const char* text, size_t len, const char* name, cSCLpairsReport* report = nullptr);
};

// Deletes list (null is allowed) with every record in it.
void deletePairs(VList* list);

#endif
