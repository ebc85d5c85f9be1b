#include "vsign/VCodeSet.h"

#include <algorithm>
#include <cstring>

#include "vutil/VText.h"

namespace vsign {
namespace {

const char kFirstLine[] = "dorvane-codes 1";
const size_t kMaxVersionDigits = 16;
// The longest head line that can be right: "version " and 16 digits, or
// "site " and 64 bytes.
const size_t kMaxHeadLine = 8 + kMaxNameBytes;

// What a refusal shows of a value that is not right: escaped, and cut.
std::string shown(const char* text, size_t len) {
    const size_t kShown = 40;
    std::string s = vutil::escape(text, std::min(len, kShown));
    return len > kShown ? s + "..." : s;
}

Verdict refused(Verdict v, const std::string& why) {
    v.outcome = SET_REFUSED;
    v.reason = why;
    return v;
}

std::string tooLarge(const Unit& unit) {
    return "larger than maxSetBytes (" + std::to_string(unit.maxSetBytes) + " bytes)";
}

}  // namespace

bool isName(const std::string& text) {
    if (text.empty() || text.size() > kMaxNameBytes) {
        return false;
    }
    for (char c : text) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool parseVersion(const std::string& text, uint64_t* version) {
    if (text.empty() || text.size() > kMaxVersionDigits || text[0] == '0') {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');  // 16 digits cannot overflow
    }
    if (v > kMaxVersion) {
        return false;
    }
    *version = v;
    return true;
}

std::string header(const std::string& site, const std::string& unit, uint64_t version) {
    return std::string(kFirstLine) + "\nsite " + site + "\nunit " + unit + "\nversion " +
           std::to_string(version) + "\n\n";
}

bool parseHeader(const char* message, size_t len, Header* h, std::string* why) {
    static const char* const kForms[] = {kFirstLine, "site NAME", "unit NAME or *", "version N",
                                         "empty"};
    size_t at = 0;
    for (int i = 0; i < 5; ++i) {
        const void* nl =
            at < len ? memchr(message + at, '\n', std::min(len - at, kMaxHeadLine + 1)) : nullptr;
        size_t end = nl == nullptr ? std::min(len, at + kMaxHeadLine + 1)
                                   : static_cast<size_t>(static_cast<const char*>(nl) - message);
        std::string line(message + at, end - at);
        bool ok = nl != nullptr;
        if (ok && i == 0) {
            ok = line == kFirstLine;
        } else if (ok && i == 1) {
            h->site = line.compare(0, 5, "site ") == 0 ? line.substr(5) : "";
            ok = isName(h->site);
        } else if (ok && i == 2) {
            h->unit = line.compare(0, 5, "unit ") == 0 ? line.substr(5) : "";
            ok = h->unit == "*" || isName(h->unit);
        } else if (ok && i == 3) {
            ok = line.compare(0, 8, "version ") == 0 && parseVersion(line.substr(8), &h->version);
        } else if (ok) {
            ok = line.empty();
        }
        if (!ok) {
            *why = "header line " + std::to_string(i + 1) + " (\"" +
                   shown(line.data(), line.size()) + "\"" + (nl == nullptr ? ", unended" : "") +
                   ") is not " + (i == 4 ? "empty" : "\"" + std::string(kForms[i]) + "\"");
            return false;
        }
        at = end + 1;
    }
    h->csvOffset = at;
    return true;
}

Verdict decide(const char* data, size_t size, const Unit& unit, const CsvRule& csvRule) {
    Signature sig;
    size_t offset = 0;
    std::string why;
    // Nothing is read from the folder for a payload refused by its size or
    // form: decideWithKeys refuses those before it needs a key.
    if (size == 0 || (size > unit.maxSetBytes && size - unit.maxSetBytes > kMaxSignedHead) ||
        !splitSigned(data, size, &sig, &offset, &why)) {
        return decideWithKeys(data, size, unit, {}, csvRule);
    }
    std::vector<PublicKey> keys;
    if (!readKeys(unit.keysDir, &keys, &why)) {
        Verdict v;
        v.sha256 = sha256Hex(data + offset, size - offset);
        return refused(v, why);
    }
    return decideWithKeys(data, size, unit, keys, csvRule);
}

Verdict decideWithKeys(const char* data, size_t size, const Unit& unit,
                       const std::vector<PublicKey>& keys, const CsvRule& csvRule) {
    Verdict v;
    if (size == 0) {
        return v;
    }
    Signature sig;
    size_t offset = 0;
    std::string why;
    bool tooBig = size > unit.maxSetBytes && size - unit.maxSetBytes > kMaxSignedHead;
    if (tooBig || !splitSigned(data, size, &sig, &offset, &why)) {
        v.sha256 = sha256Hex(data, size);
        return refused(v, tooBig ? tooLarge(unit) : "not a signed code set: " + why);
    }
    const char* message = data + offset;
    size_t len = size - offset;
    v.sha256 = sha256Hex(message, len);
    if (v.sha256.empty()) {
        return refused(v, "libsodium could not be initialised");
    }
    if (len > unit.maxSetBytes) {
        return refused(v, tooLarge(unit));
    }
    if (!verify(sig, message, len, keys, &why)) {
        return refused(v, why);
    }
    Header h;
    if (!parseHeader(message, len, &h, &why)) {
        return refused(v, why);
    }
    v.version = h.version;
    if (h.site != unit.site) {
        return refused(v,
                       "for site " + h.site + ", not " + shown(unit.site.data(), unit.site.size()));
    }
    if (h.unit != "*" && h.unit != unit.name) {
        return refused(v,
                       "for unit " + h.unit + ", not " + shown(unit.name.data(), unit.name.size()));
    }
    if (h.version == unit.mark && v.sha256 == unit.markSha256) {
        v.outcome = SET_UNCHANGED;
        return v;
    }
    if (h.version <= unit.mark) {
        return refused(v,
                       "version " + std::to_string(h.version) + " is not above " +
                           std::to_string(unit.mark) +
                           (h.version == unit.mark ? " (it was applied with another digest)" : ""));
    }
    why = csvRule ? csvRule(message + h.csvOffset, len - h.csvOffset) : "";
    if (!why.empty()) {
        return refused(v, why);
    }
    v.outcome = SET_APPLY;
    v.csvOffset = offset + h.csvOffset;
    v.csvSize = len - h.csvOffset;
    return v;
}

}  // namespace vsign
