#include "src/code_spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// The mark and the in-force file alike: "VERSION SHA256\n", or "0\n" where
// zero is allowed. A missing file: true with *present false (*m zero).
bool readMarkFile(const std::string& path, bool zero, Mark* m, bool* present, std::string* why) {
    *m = Mark();
    *present = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;
        }
        *why = path + ": " + strerror(errno);
        return false;
    }
    char buf[128];
    ssize_t n = read(fd, buf, sizeof(buf));
    close(fd);
    std::string text = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    if (zero && text == "0\n") {
        *present = true;
        return true;
    }
    size_t space = text.find(' ');
    if (space == std::string::npos || text.back() != '\n' ||
        !vsign::parseVersion(text.substr(0, space), &m->version) ||
        !isHex(text.substr(space + 1, text.size() - space - 2), 64)) {
        *m = Mark();
        *why = path + " is not a version and a digest";
        return false;
    }
    m->sha256 = text.substr(space + 1, 64);
    *present = true;
    return true;
}

}  // namespace

bool readMark(const std::string& stateDir, Mark* m, std::string* why) {
    bool present = false;
    return readMarkFile(stateDir + "/mark", false, m, &present, why);
}

bool writeMark(const std::string& stateDir, const Mark& m, std::string* why) {
    return writeFileAtomically(stateDir + "/mark",
                               std::to_string(m.version) + " " + m.sha256 + "\n", why);
}

bool readInForce(const std::string& stateDir, Mark* m, bool* present, std::string* why) {
    return readMarkFile(stateDir + "/in-force", true, m, present, why);
}

bool writeInForce(const std::string& stateDir, const Mark& m, std::string* why) {
    return writeFileAtomically(
        stateDir + "/in-force",
        m.version == 0 ? std::string("0\n") : std::to_string(m.version) + " " + m.sha256 + "\n",
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

bool parseOutcomeFile(const std::string& text, Outcome::eKind* kind, std::string* object) {
    for (Outcome::eKind k : {Outcome::APPLIED, Outcome::PENDING, Outcome::REFUSED}) {
        std::string head = std::string("{\"") + kindName(k) + "\":{";
        if (text.compare(0, head.size(), head) == 0 && text.size() >= head.size() + 2 &&
            text.compare(text.size() - 2, 2, "}}") == 0) {
            *kind = k;
            *object = text.substr(head.size() - 1, text.size() - head.size());
            return true;
        }
    }
    return false;
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string* why) {
    std::string next = path + ".new";
    int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
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
