// The site as dorvanectl reads it: the settings, the pairing records, the
// rows of the access database and the site's discrete outputs, each read by
// the service's own code so that the tool never decides otherwise. Used by
// one thread; nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANECTL_SITE_H
#define DORVANE_TOOLS_DORVANECTL_SITE_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "src/SCLpairs.h"
#include "src/pairing_index.h"
#include "ulxobj/cObject.h"
#include "vdb/DatabaseHandler.h"
#include "vlist/VList.h"

class cObjectClient;
class cObjectList;

namespace ctl {

struct Settings {
    std::string host, ioPairFile, dblocal;
    std::vector<std::string> problems;  // values refused, file unreadable
};

// Reads the settings as the service does: a value longer than its field is
// refused and the default used (said in problems).
Settings readSettings(const char* path);

// Values from files, the database and the network, as printed: control
// characters escaped, printable text unchanged.
std::string shown(const std::string& value);

struct Record {
    std::string reader, io, led;
};

// The pairing records as the service loads them, in file order, kept in the
// service's own list so that the record that counts for a reader is decided
// by the service's own rule (cSCLpairIndex).
class Pairs {
public:
    // *report (when not null) says what the loader left out and why.
    Pairs(const std::string& path, cSCLpairsReport* report);
    ~Pairs();
    Pairs(const Pairs&) = delete;
    Pairs& operator=(const Pairs&) = delete;

    const std::vector<Record>& records() const { return mRecords; }
    // The record that counts for reader, or nothing when none names it.
    std::optional<Record> winner(const std::string& reader) const;

private:
    VList* mList;
    cSCLpairIndex mIndex;  // over mList
    std::vector<Record> mRecords;
};

// A row of table "codes" as stored, and why the service can never take it
// ("" when it can).
struct Code {
    std::string code, reader, refused;
    std::vector<DatabaseHandler::StoredValue> stored;  // the row as listed
};

// Every row of table "codes" of the database at path, listed by the
// service's own handler and judged by the service's own rules
// (pAccess::refusal), handed to row one at a time in the order SQLite reads
// them; false with *why when the table cannot be read.
bool listCodes(const std::string& path, const std::function<void(const Code&)>& row,
               std::string* why);
// The same, all rows at once.
bool readCodes(const std::string& path, std::vector<Code>* rows, std::string* why);

// A discrete output as the service knows it after discovery.
struct Output {
    uint32_t serial, id;
    std::string label;
    cObject::eObjectIOState state;
};

// Connects client to host and asks for the port list as the service does:
// the reply (the caller's, to release with deleteObjects and delete), or
// null when the daemon does not answer.
cObjectList* queryPorts(cObjectClient& client, const std::string& host);

// The site's discrete outputs found by the service's own discovery
// (cDiscovery: the port list, then a get of each discrete output, the list's
// label kept, nothing after the first object that is no port), without its
// one-second waits. False when the daemon does not answer the port query.
bool discoverOutputs(cObjectClient& client, const std::string& host, std::vector<Output>* outputs);

}  // namespace ctl

#endif
