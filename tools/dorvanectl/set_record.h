// Which code set is in force, kept in the database file beside table codes
// (table code_set, one row, which the service never reads), so that it is
// replaced together with the codes: a signed set writes its version and
// digest and raises the mark (the highest version ever applied); a change
// by hand (import, add, remove) keeps the mark and sets the version to 0.
// One thread; nothing throws but std::bad_alloc.
#ifndef DORVANE_TOOLS_DORVANECTL_SET_RECORD_H
#define DORVANE_TOOLS_DORVANECTL_SET_RECORD_H

#include <cstdint>
#include <string>

#include "tools/dorvanectl/store.h"

namespace ctl {

struct SetRecord {
    bool present = false;  // the file has the table (a signed set was ever applied to it)
    uint64_t version = 0;  // 0: the codes were made or changed by hand
    std::string sha256;    // the digest of the set in force, "" by hand
    uint64_t mark = 0;     // the highest version ever applied
};

// Reads the record of the database at path (read-only). True with
// present false when the file has no such table; false with *why when the
// file or the table cannot be read.
bool readSetRecord(const std::string& path, SetRecord* r, std::string* why);

// In w's open transaction: the signed set version/sha256 is in force and
// the mark is at least version. False with *why.
bool writeSignedRecord(Writer& w, uint64_t version, const std::string& sha256, std::string* why);

// In w's open transaction: the codes are changed by hand (version 0, the
// mark kept); nothing when the file has no record. False with *why.
bool markByHand(Writer& w, std::string* why);

// "version 42 (sha256 ...), mark 42", "by hand, after version 42", or
// "by hand" when no signed set was ever applied.
std::string describeRecord(const SetRecord& r);

}  // namespace ctl

#endif
