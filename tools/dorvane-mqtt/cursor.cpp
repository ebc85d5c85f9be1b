#include "tools/dorvane-mqtt/cursor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "vutil/VFile.h"

namespace mqttlink {

namespace {

constexpr const char* kHeader = "dorvane-mqtt cursor 1";
constexpr size_t kMaxCursorFile = 64 * 1024;

}  // namespace

cPublished::Start* cPublished::find(const std::string& start) {
    for (Start& s : mStarts) {
        if (s.start == start) {
            return &s;
        }
    }
    return nullptr;
}

const cPublished::Start* cPublished::find(const std::string& start) const {
    for (const Start& s : mStarts) {
        if (s.start == start) {
            return &s;
        }
    }
    return nullptr;
}

cPublished::Start& cPublished::get(const std::string& start) {
    Start* found = find(start);
    if (found != nullptr) {
        return *found;
    }
    if (mStarts.size() >= kMaxStarts) {
        mStarts.pop_front();  // the oldest start: its files are long gone
    }
    mStarts.push_back(Start{start, {}, {}});
    return mStarts.back();
}

void cPublished::add(const EventId& id, bool access) {
    Start& s = get(id.start);
    if (!s.ranges.empty() && s.ranges.back().first <= id.number &&
        id.number <= s.ranges.back().second + 1) {
        s.ranges.back().second = std::max(s.ranges.back().second, id.number);
    } else {
        if (s.ranges.size() >= kMaxRanges) {
            s.ranges.erase(s.ranges.begin());
        }
        s.ranges.emplace_back(id.number, id.number);
    }
    if (!access) {
        if (s.others.size() >= kMaxRanges) {
            s.others.erase(s.others.begin());
        }
        s.others.push_back(id.number);
    }
}

bool cPublished::has(const EventId& id) const {
    const Start* s = find(id.start);
    if (s == nullptr) {
        return false;
    }
    // Only the numbers recorded: a number below the highest one may lie in
    // a file the service dropped before this link read it.
    for (const auto& range : s->ranges) {
        if (range.first <= id.number && id.number <= range.second) {
            return true;
        }
    }
    return false;
}

bool cPublished::unpublished(const std::string& start, uint64_t first, uint64_t last,
                             uint64_t count, uint64_t* newCount, uint64_t* newFirst,
                             uint64_t* newLast) const {
    *newCount = count;
    *newFirst = first;
    *newLast = last;
    const Start* s = find(start);
    if (s == nullptr || first > last) {
        return count > 0;
    }
    uint64_t published = 0;
    for (const auto& range : s->ranges) {
        uint64_t lo = std::max(range.first, first);
        uint64_t hi = std::min(range.second, last);
        if (lo <= hi) {
            published += hi - lo + 1;
        }
    }
    for (uint64_t other : s->others) {
        if (other >= first && other <= last && published > 0) {
            --published;  // a `lost` line, not one of the access events counted
        }
    }
    auto covered = [&](uint64_t n) {
        for (const auto& range : s->ranges) {
            if (range.first <= n && n <= range.second) {
                return true;
            }
        }
        return false;
    };
    // The ranges are few: step over each covered stretch at once.
    while (*newFirst <= last && covered(*newFirst)) {
        for (const auto& range : s->ranges) {
            if (range.first <= *newFirst && *newFirst <= range.second) {
                *newFirst = range.second + 1;
            }
        }
    }
    while (*newLast >= *newFirst && *newLast > 0 && covered(*newLast)) {
        for (const auto& range : s->ranges) {
            if (range.first <= *newLast && *newLast <= range.second) {
                *newLast = range.first - 1;
            }
        }
    }
    *newCount = published >= count ? 0 : count - published;
    return *newCount > 0 && *newFirst <= *newLast;
}

std::string cPublished::serialize() const {
    std::string out;
    for (const Start& s : mStarts) {
        out += "acked " + s.start;
        for (const auto& range : s.ranges) {
            out += " " + std::to_string(range.first) + "-" + std::to_string(range.second);
        }
        out += "\nother " + s.start;
        for (uint64_t n : s.others) {
            out += " " + std::to_string(n);
        }
        out += "\n";
    }
    return out;
}

void cPublished::parseLine(const std::string& line) {
    std::istringstream in(line);
    std::string word, start;
    in >> word >> start;
    EventId probe;
    if ((word != "acked" && word != "other") || !parseEventId(start + "-1", &probe)) {
        return;
    }
    Start& s = get(start);
    std::string item;
    while (in >> item) {
        unsigned long long lo = 0, hi = 0;
        if (word == "acked" && sscanf(item.c_str(), "%llu-%llu", &lo, &hi) == 2 && lo <= hi &&
            s.ranges.size() < kMaxRanges) {
            s.ranges.emplace_back(lo, hi);
        } else if (word == "other" && sscanf(item.c_str(), "%llu", &lo) == 1 &&
                   s.others.size() < kMaxRanges) {
            s.others.push_back(lo);
        }
    }
}

Cursor loadCursor(const std::string& stateDir) {
    Cursor cursor;
    std::string text;
    std::string path = stateDir + "/cursor";
    if (!vutil::readBounded(path.c_str(), kMaxCursorFile, &text, nullptr)) {
        return cursor;
    }
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) {
        return cursor;
    }
    while (std::getline(in, line)) {
        if (line.compare(0, 3, "id ") == 0) {
            EventId id;
            std::string value = line.substr(3);
            bool linkId = value.compare(0, 5, "link-") == 0 && parseEventId(value.substr(5), &id);
            if (linkId || parseEventId(value, &id)) {
                cursor.lastId = value;
            }
        } else if (line == "damaged") {
            cursor.afterDamage = true;
        } else if (line.compare(0, 6, "place ") == 0) {
            unsigned long long dev = 0, ino = 0, offset = 0;
            int used = 0;
            if (sscanf(line.c_str() + 6, "%llu %llu %llu %n", &dev, &ino, &offset, &used) == 3 &&
                used > 0 && line.size() > 6 + static_cast<size_t>(used)) {
                cursor.place = FilePlace{line.substr(6 + static_cast<size_t>(used)),
                                         static_cast<dev_t>(dev), static_cast<ino_t>(ino), offset};
            }
        } else {
            cursor.acked.parseLine(line);
        }
    }
    return cursor;
}

bool saveCursor(const std::string& stateDir, const Cursor& cursor, bool sync, std::string* why) {
    std::string text = std::string(kHeader) + "\n";
    text += "id " + (cursor.lastId.empty() ? std::string("-") : cursor.lastId) + "\n";
    if (cursor.place.valid()) {
        text += "place " + std::to_string(static_cast<unsigned long long>(cursor.place.dev)) + " " +
                std::to_string(static_cast<unsigned long long>(cursor.place.ino)) + " " +
                std::to_string(cursor.place.offset) + " " + cursor.place.name + "\n";
    }
    text += cursor.afterDamage ? "damaged\n" : "";
    text += cursor.acked.serialize();
    std::string tmp = stateDir + "/cursor.tmp";
    std::string path = stateDir + "/cursor";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              (!sync || fdatasync(fd) == 0);
    int err = errno;
    if (fd >= 0) {
        close(fd);
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok && why != nullptr) {
        *why = "cannot write the cursor " + path + ": " + strerror(err);
    }
    return ok;
}

}  // namespace mqttlink
