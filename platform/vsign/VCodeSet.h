// VCodeSet (namespace vsign): a signed code set as it travels to a unit
// (a retained MQTT message, a spooled file) and the decision the unit makes
// on it. The payload is signify's embedded form (VSignify.h) around the
// message:
//
//     dorvane-codes 1
//     site SITE
//     unit UNIT            ("*": every unit of the site)
//     version N            (1 to 2^53 - 1)
//
//     code,reader          (the CSV that dorvanectl codes import reads)
//
// Exactly those four header lines in that order (LF line ends), then one
// empty line, then the CSV. SITE and UNIT are 1 to 64 bytes of A-Z a-z 0-9
// . _ -; N is decimal digits without sign or leading zero, so that a
// version has one spelling. The set's digest is the SHA-256 of the message.
//
// Thread-safe; reads only the bytes it is given; nothing throws but
// std::bad_alloc.
#ifndef DORVANE_PLATFORM_VSIGN_VCODESET_H
#define DORVANE_PLATFORM_VSIGN_VCODESET_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vsign/VSignify.h"

namespace vsign {

constexpr uint64_t kMaxVersion = 9007199254740991ULL;  // 2^53 - 1: exact in any JSON reader
constexpr size_t kDefaultMaxSetBytes = 67108864;       // a message longer is refused
constexpr size_t kMaxNameBytes = 64;

// True when text is a site or unit name: 1 to 64 bytes of A-Z a-z 0-9 . _ -.
bool isName(const std::string& text);

// True with *version when text is a version as the header spells it.
bool parseVersion(const std::string& text, uint64_t* version);

// The message's head for these values (the four lines and the empty line),
// which the CSV follows. REQUIRES: isName(site), unit "*" or isName(unit),
// version from 1 to kMaxVersion.
std::string header(const std::string& site, const std::string& unit, uint64_t version);

struct Header {
    std::string site, unit;
    uint64_t version = 0;
    size_t csvOffset = 0;  // where the CSV starts in the message
};

// Reads the head of the len bytes of message; false with *why naming the
// first line that is not as it must be.
bool parseHeader(const char* message, size_t len, Header* h, std::string* why);

// What the unit knows when it looks at a set.
struct Unit {
    std::string site, name;  // its site and its own name
    std::string keysDir;     // the folder of signify public keys
    uint64_t mark = 0;       // the highest version it ever applied (0: none)
    std::string markSha256;  // the digest of the set that set the mark
    size_t maxSetBytes = kDefaultMaxSetBytes;
};

enum eSetOutcome {
    SET_NONE,       // an empty payload: no set, nothing to say
    SET_UNCHANGED,  // the mark's version and digest again: nothing to do or say
    SET_APPLY,      // verified and for this unit: replace the codes with the CSV
    SET_REFUSED     // reason says why; the unit changes nothing
};

struct Verdict {
    eSetOutcome outcome = SET_NONE;
    // The header's version once the signature verified and the head was
    // read, else 0.
    uint64_t version = 0;
    // The digest of the message, or of the whole payload when no message
    // could be found in it (too large, not signify's form); "" for SET_NONE.
    std::string sha256;
    std::string reason;  // SET_REFUSED: one line, printable, at most a few hundred bytes
    // SET_APPLY: where the CSV lies in the payload.
    size_t csvOffset = 0, csvSize = 0;
};

// Why the CSV of a set (size bytes at csv) is refused, or "".
using CsvRule = std::function<std::string(const char* csv, size_t size)>;

// The unit's decision on a payload of size bytes at data (REQUIRES size
// readable bytes). In order: empty (SET_NONE); longer than unit.maxSetBytes
// allows (refused before anything is read); signify's form; the keys, read
// from unit.keysDir now (VSignify readKeys); the signature over the
// message; the head; site; unit; the version against the mark (the mark's
// version with its digest: SET_UNCHANGED); then csvRule on the CSV.
Verdict decide(const char* data, size_t size, const Unit& unit, const CsvRule& csvRule);

// decide with the keys given instead of unit.keysDir's.
Verdict decideWithKeys(const char* data, size_t size, const Unit& unit,
                       const std::vector<PublicKey>& keys, const CsvRule& csvRule);

}  // namespace vsign

#endif
