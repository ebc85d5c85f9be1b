// The files the link and the applier share in the link's state folder: the
// mark ("mark": the highest version ever applied and its digest), the spool
// of verified sets ("spool/VERSION-DIGEST16.set") and the applier's outcome
// beside each ("VERSION-DIGEST16.json": {"applied":{...}}, {"pending":{...}}
// or {"refused":{...}}, each object as the codes/applied message has it).
// One implementation for both programs. Every write goes to a file beside
// and is renamed in, so a reader sees the old file or the new one.
// Thread-safe; nothing throws but std::bad_alloc.
#ifndef DORVANE_SRC_CODE_SPOOL_H
#define DORVANE_SRC_CODE_SPOOL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace code_spool {

struct Mark {
    uint64_t version = 0;  // 0: no signed set was ever applied
    std::string sha256;    // the digest of the set that set it
};

// STATEDIR/mark read into *m; a missing file is mark 0 (true). False with
// *why when it cannot be read or is not "VERSION SHA256\n".
bool readMark(const std::string& stateDir, Mark* m, std::string* why);
// Writes STATEDIR/mark (beside, synced, renamed). False with *why.
bool writeMark(const std::string& stateDir, const Mark& m, std::string* why);

// STATEDIR/in-force: the set in force as the applier last saw it in the
// database ("VERSION SHA256\n"; "0\n" when the codes were made or changed
// by hand), for the link, which cannot read the database. readInForce is
// always true: *present false when the file is missing (an applier that
// never ran); a file that cannot be read or is not of that form is present
// with version 0 (it vouches for no set) and one line in *why.
bool readInForce(const std::string& stateDir, Mark* m, bool* present, std::string* why);
bool writeInForce(const std::string& stateDir, const Mark& m, std::string* why);

// "VERSION-DIGEST16": the name of a set's spool files without the suffix.
std::string spoolName(uint64_t version, const std::string& sha256);
// True with *version and *digest16 when name is "VERSION-DIGEST16.set".
bool parseSetName(const std::string& name, uint64_t* version, std::string* digest16);
// STATEDIR/spool
std::string spoolDir(const std::string& stateDir);

struct Outcome {
    enum eKind { NONE, APPLIED, PENDING, REFUSED } kind = NONE;
    uint64_t version = 0;
    std::string sha256;
    size_t count = 0, unpaired = 0;  // APPLIED
    std::string reason;              // PENDING, REFUSED
    std::string time;                // RFC 3339 UTC with microseconds
};

// "applied", "pending", "refused" ("" for NONE).
const char* kindName(Outcome::eKind kind);
// The object of the codes/applied message for o (REQUIRES kind != NONE).
std::string outcomeObject(const Outcome& o);
// The outcome file's whole text: {"KIND":OBJECT}.
std::string outcomeFileText(const Outcome& o);
// Reads an outcome file's text: true with *out when text is exactly
// outcomeFileText(*out) with a time of now()'s form (and, when applied, a
// digest); false, *out untouched, for anything else.
bool parseOutcomeFile(const std::string& text, Outcome* out);

// Writes text to path by a file beside (made afresh: whatever stood at its
// name is removed, never opened), synced and renamed in. False with *why.
bool writeFileAtomically(const std::string& path, const std::string& text, std::string* why);
// The time now, RFC 3339 UTC with microseconds.
std::string now();

}  // namespace code_spool

#endif
