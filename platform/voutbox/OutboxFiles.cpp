#include "voutbox/OutboxFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace voutbox {
namespace {

const char kClosedPrefix[] = "closed-";
const size_t kClosedDigits = 20;

std::string valueOf(const std::string& line, const char* key, size_t from) {
    std::string open = std::string("\"") + key + "\":";
    size_t at = line.find(open, from);
    if (at == std::string::npos) {
        return "";
    }
    at += open.size();
    if (at < line.size() && line[at] == '"') {
        size_t end = line.find('"', at + 1);
        return end == std::string::npos ? "" : line.substr(at + 1, end - at - 1);
    }
    size_t end = line.find_first_of(",}", at);
    return end == std::string::npos ? "" : line.substr(at, end - at);
}

// An id of the form written here: 16 lower-case hex digits, "-", a number.
bool parseId(const std::string& id, std::string* start, uint64_t* n) {
    if (id.size() < 18 || id.size() > 37 || id[16] != '-') {
        return false;
    }
    for (size_t k = 0; k < 16; ++k) {
        if (!((id[k] >= '0' && id[k] <= '9') || (id[k] >= 'a' && id[k] <= 'f'))) {
            return false;
        }
    }
    uint64_t v = 0;
    for (size_t k = 17; k < id.size(); ++k) {
        if (id[k] < '0' || id[k] > '9' || v > (UINT64_MAX - 9) / 10) {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(id[k] - '0');
    }
    *start = id.substr(0, 16);
    *n = v;
    return true;
}

// One whole line of a file, as readSpans counts it.
void countLine(const std::string& line, std::vector<cOutbox::Span>* spans) {
    static const char kOpen[] = "{\"v\":1,\"type\":\"";
    if (line.compare(0, sizeof(kOpen) - 1, kOpen) != 0 || line.back() != '}') {
        return;
    }
    const size_t typeEnd = line.find('"', sizeof(kOpen) - 1);
    if (typeEnd == std::string::npos) {
        return;
    }
    const std::string type = line.substr(sizeof(kOpen) - 1, typeEnd - (sizeof(kOpen) - 1));
    std::string start;
    uint64_t n = 0;
    if (!parseId(valueOf(line, "id", typeEnd), &start, &n)) {
        return;
    }
    if (type != "lost") {
        addEvent(spans, start, n);
        return;
    }
    cOutbox::Span lost{"", 0, 0, 0, valueOf(line, "reason", typeEnd), valueOf(line, "id", typeEnd)};
    std::string lastStart;
    const std::string count = valueOf(line, "count", typeEnd);
    if ((lost.reason == "overflow" || lost.reason == "unwritable") && !count.empty() &&
        count.find_first_not_of("0123456789") == std::string::npos && count.size() < 20 &&
        parseId(valueOf(line, "first", typeEnd), &lost.start, &lost.first) &&
        parseId(valueOf(line, "last", typeEnd), &lastStart, &lost.last) &&
        lastStart == lost.start) {
        lost.count = std::stoull(count);
        spans->push_back(lost);
    }
}

}  // namespace

uint64_t closedNumber(const char* name) {
    const size_t prefix = sizeof(kClosedPrefix) - 1;
    if (strncmp(name, kClosedPrefix, prefix) != 0 || strlen(name) != prefix + kClosedDigits) {
        return 0;
    }
    uint64_t n = 0;
    for (size_t i = prefix; i < prefix + kClosedDigits; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        uint64_t digit = static_cast<uint64_t>(name[i] - '0');
        if (n > (UINT64_MAX - digit) / 10) {
            return 0;
        }
        n = n * 10 + digit;
    }
    return n;
}

std::string closedName(uint64_t n) {
    char text[sizeof(kClosedPrefix) + kClosedDigits];
    snprintf(text, sizeof(text), "%s%020" PRIu64, kClosedPrefix, n);
    return text;
}

// The text after "key": in line up to the next '"' (string) or ',' / '}'.
void addEvent(std::vector<cOutbox::Span>* spans, const std::string& start, uint64_t n) {
    if (!spans->empty() && spans->back().reason.empty() && spans->back().start == start) {
        spans->back().last = std::max(spans->back().last, n);
        ++spans->back().count;
    } else {
        spans->push_back({start, n, n, 1, "", ""});
    }
}

std::string idOf(const std::string& start, uint64_t n) {
    return start + "-" + std::to_string(n);
}

std::vector<cOutbox::Span> cOutbox::readSpans(const std::string& file) {
    std::vector<Span> spans;
    int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return spans;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return spans;
    }
    // Lines longer than any this writer writes are not counted.
    std::string line;
    bool tooLong = false;
    char buf[65536];
    ssize_t got;
    while ((got = read(fd, buf, sizeof(buf))) > 0 || (got < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < got; ++i) {
            if (buf[i] != '\n') {
                tooLong = tooLong || line.size() >= kMaxLine;
                if (!tooLong) {
                    line.push_back(buf[i]);
                }
                continue;
            }
            if (!tooLong && !line.empty()) {
                countLine(line, &spans);
            }
            line.clear();
            tooLong = false;
        }
    }
    close(fd);
    return spans;
}

}  // namespace voutbox
