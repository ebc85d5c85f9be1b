#include "src/code_spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "voutbox/cOutbox.h"
#include "vsign/VCodeSet.h"

namespace code_spool {
namespace {

bool isHex(const std::string& s, size_t n) {
    if (s.size() != n) {
        return false;
    }
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// text as a JSON string; reasons are printable one-line text, but any byte
// below 0x20 is escaped all the same.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\u%04x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The JSON string at *at as quoted() writes it into *s; *at past it. The
// caller compares what it read written again, which refuses other forms.
bool readQuoted(const std::string& text, size_t* at, std::string* s) {
    if (*at >= text.size() || text[*at] != '"') {
        return false;
    }
    for (++*at; *at < text.size() && text[*at] != '"'; ++*at) {
        unsigned int c = 0;
        if (text[*at] != '\\') {
            *s += text[*at];
        } else if (*at + 1 < text.size() && text[*at + 1] != 'u') {
            *s += text[++*at];
        } else if (sscanf(text.c_str() + *at, "\\u%4x", &c) == 1 && c < 0x20) {
            *s += static_cast<char>(c);
            *at += 5;
        } else {
            return false;
        }
    }
    return *at < text.size() && text[(*at)++] == '"';
}

// "2026-12-09T17:25:45.123456Z": the form now() writes.
bool isTime(const std::string& t) {
    const char* form = "dddd-dd-ddTdd:dd:dd.ddddddZ";
    if (t.size() != strlen(form)) {
        return false;
    }
    for (size_t i = 0; i < t.size(); ++i) {
        if (form[i] == 'd' ? !(t[i] >= '0' && t[i] <= '9') : t[i] != form[i]) {
            return false;
        }
    }
    return true;
}

std::string versionLine(const Mark& m) {
    return std::to_string(m.version) + " " + m.sha256 + "\n";
}

enum class eFile { READ, MISSING, BAD };

// Reads path's "VERSION SHA256\n" (or "0\n" alone, version 0, when
// zeroAlone) into *m: the mark and the set in force are written alike.
// BAD with *why when it cannot be read or is not of that form; *m stays
// empty unless READ. Reads 128 bytes at most: a longer file is not of it.
eFile readVersionFile(const std::string& path, bool zeroAlone, Mark* m, std::string* why) {
    *m = Mark();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT) {
            return eFile::MISSING;
        }
        *why = path + ": " + strerror(e);
        return eFile::BAD;
    }
    char buf[128];
    ssize_t n = read(fd, buf, sizeof(buf));
    close(fd);
    std::string text = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    if (zeroAlone && text == "0\n") {
        return eFile::READ;
    }
    size_t space = text.find(' ');
    if (space == std::string::npos || text.back() != '\n' ||
        !vsign::parseVersion(text.substr(0, space), &m->version) ||
        !isHex(text.substr(space + 1, text.size() - space - 2), 64)) {
        *m = Mark();
        *why = path + " is not a version and a digest";
        return eFile::BAD;
    }
    m->sha256 = text.substr(space + 1, 64);
    return eFile::READ;
}

}  // namespace

bool readMark(const std::string& stateDir, Mark* m, std::string* why) {
    return readVersionFile(stateDir + "/mark", false, m, why) != eFile::BAD;
}

bool writeMark(const std::string& stateDir, const Mark& m, std::string* why) {
    return writeFileAtomically(stateDir + "/mark", versionLine(m), why);
}

bool readInForce(const std::string& stateDir, Mark* m, bool* present, std::string* why) {
    // A file that is there but says no set (another writer's, a symlink,
    // cut short) vouches for none: the link's status must not fall back to
    // the set it last saw applied, which a change by hand may have undone.
    *present = readVersionFile(stateDir + "/in-force", true, m, why) != eFile::MISSING;
    return true;
}

bool writeInForce(const std::string& stateDir, const Mark& m, std::string* why) {
    return writeFileAtomically(stateDir + "/in-force", m.version == 0 ? "0\n" : versionLine(m),
                               why);
}

std::string spoolName(uint64_t version, const std::string& sha256) {
    return std::to_string(version) + "-" + sha256.substr(0, 16);
}

bool parseSetName(const std::string& name, uint64_t* version, std::string* digest16) {
    size_t dash = name.find('-');
    if (dash == std::string::npos || name.size() != dash + 1 + 16 + 4 ||
        name.compare(name.size() - 4, 4, ".set") != 0 ||
        !vsign::parseVersion(name.substr(0, dash), version) ||
        !isHex(name.substr(dash + 1, 16), 16)) {
        return false;
    }
    *digest16 = name.substr(dash + 1, 16);
    return true;
}

std::string spoolDir(const std::string& stateDir) {
    return stateDir + "/spool";
}

const char* kindName(Outcome::eKind kind) {
    switch (kind) {
        case Outcome::APPLIED:
            return "applied";
        case Outcome::PENDING:
            return "pending";
        case Outcome::REFUSED:
            return "refused";
        default:
            return "";
    }
}

std::string outcomeObject(const Outcome& o) {
    std::string text =
        "{\"version\":" + std::to_string(o.version) + ",\"sha256\":" + quoted(o.sha256);
    if (o.kind == Outcome::APPLIED) {
        text +=
            ",\"count\":" + std::to_string(o.count) + ",\"unpaired\":" + std::to_string(o.unpaired);
    } else {
        text += ",\"reason\":" + quoted(o.reason);
    }
    return text + ",\"time\":" + quoted(o.time) + "}";
}

std::string outcomeFileText(const Outcome& o) {
    return std::string("{\"") + kindName(o.kind) + "\":" + outcomeObject(o) + "}";
}

bool parseOutcomeFile(const std::string& text, Outcome* out) {
    // Read field by field, then written again: only a text that comes back
    // byte for byte is the applier's (no member missing, added, reordered,
    // a number with a leading zero or past its type), so what the link
    // publishes from it is whole JSON and the times compare as written.
    Outcome o;
    size_t at = 0;
    auto word = [&](const std::string& w) {
        bool ok = text.compare(at, w.size(), w) == 0;
        at += ok ? w.size() : 0;
        return ok;
    };
    auto number = [&](uint64_t* n) {
        size_t begin = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - begin < 20) {
            *n = *n * 10 + static_cast<uint64_t>(text[at++] - '0');
        }
        return at > begin;
    };
    auto string = [&](std::string* s) { return readQuoted(text, &at, s); };
    for (Outcome::eKind k : {Outcome::APPLIED, Outcome::PENDING, Outcome::REFUSED}) {
        if (word(std::string("{\"") + kindName(k) + "\":")) {
            o.kind = k;
            break;
        }
    }
    uint64_t count = 0, unpaired = 0;
    bool ok = o.kind != Outcome::NONE && word("{\"version\":") && number(&o.version) &&
              word(",\"sha256\":") && string(&o.sha256);
    if (ok && o.kind == Outcome::APPLIED) {
        ok = word(",\"count\":") && number(&count) && word(",\"unpaired\":") && number(&unpaired) &&
             isHex(o.sha256, 64) && o.version >= 1 && o.version <= vsign::kMaxVersion;
        o.count = static_cast<size_t>(count);
        o.unpaired = static_cast<size_t>(unpaired);
    } else if (ok) {
        ok = word(",\"reason\":") && string(&o.reason);
    }
    ok =
        ok && word(",\"time\":") && string(&o.time) && isTime(o.time) && outcomeFileText(o) == text;
    if (ok) {
        *out = o;
    }
    return ok;
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string* why) {
    // A file of our own, made afresh: the folder is the link's, and what
    // stands at the name (a fifo, a hard link to another file) is never
    // opened, so the applier neither hangs nor writes into another file.
    std::string next = path + ".new";
    unlink(next.c_str());
    int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = fd >= 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    int err = errno;
    if (fd >= 0) {
        ok = close(fd) == 0 && ok;
    }
    ok = ok && rename(next.c_str(), path.c_str()) == 0;
    if (!ok) {
        *why = "cannot write " + path + ": " + strerror(err != 0 ? err : errno);
        unlink(next.c_str());
    }
    return ok;
}

std::string now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return voutbox::cOutbox::formatTime(t);
}

}  // namespace code_spool
