#include "tools/dorvane-mqtt/outbox_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/dorvane-mqtt/event_line.h"

namespace mqttlink {

namespace {

constexpr size_t kReadSize = 64 * 1024;
constexpr const char* kCurrent = "current";
constexpr const char* kClosedPrefix = "closed-";
constexpr size_t kClosedDigits = 20;

bool isClosedName(const char* name) {
    size_t prefix = strlen(kClosedPrefix);
    if (strncmp(name, kClosedPrefix, prefix) != 0 || strlen(name) != prefix + kClosedDigits) {
        return false;
    }
    for (size_t i = prefix; i < prefix + kClosedDigits; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
    }
    return true;
}

int openRegular(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// True when the line that ends just before offset in fd carries id (or,
// with id empty, when a line ends there: a damaged one, also the unended
// last line of a closed file).
bool lineEndsWithId(int fd, uint64_t offset, const std::string& id) {
    struct stat st {};
    if (offset == 0 ||
        (id.empty() && fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == offset)) {
        return id.empty();
    }
    size_t want = static_cast<size_t>(std::min<uint64_t>(offset, kMaxOutboxLine));
    std::string tail(want, '\0');
    ssize_t got = pread(fd, &tail[0], want, static_cast<off_t>(offset - want));
    if (got != static_cast<ssize_t>(want) || tail.back() != '\n') {
        return false;
    }
    if (id.empty()) {
        return true;
    }
    tail.pop_back();
    size_t start = tail.rfind('\n');
    std::string line = start == std::string::npos ? tail : tail.substr(start + 1);
    EventLine event;
    return parseEventLine(line, &event) && event.id == id;
}

}  // namespace

cOutboxReader::cOutboxReader(const std::string& folder)
    : mFolder(folder), mFd(-1), mDev(0), mIno(0), mBufOffset(0), mPos(0), mSkipping(false) {}

cOutboxReader::~cOutboxReader() {
    closeFile();
}

bool cOutboxReader::list(std::vector<std::string>* names, std::string* why) const {
    names->clear();
    DIR* dir = opendir(mFolder.c_str());
    if (dir == nullptr) {
        if (why != nullptr) {
            *why = std::string("outbox folder ") + mFolder + " cannot be read: " + strerror(errno);
        }
        return false;
    }
    bool current = false;
    while (dirent* entry = readdir(dir)) {
        if (isClosedName(entry->d_name)) {
            names->push_back(entry->d_name);
        } else if (strcmp(entry->d_name, kCurrent) == 0) {
            current = true;
        }
    }
    closedir(dir);
    std::sort(names->begin(), names->end());
    if (current) {
        names->push_back(kCurrent);
    }
    return true;
}

std::string cOutboxReader::nameOf(dev_t dev, ino_t ino,
                                  const std::vector<std::string>& names) const {
    for (const std::string& name : names) {
        struct stat st {};
        std::string path = mFolder + "/" + name;
        if (lstat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino) {
            return name;
        }
    }
    return "";
}

bool cOutboxReader::openFile(const std::string& name, uint64_t offset) {
    int fd = openRegular(mFolder + "/" + name);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    fstat(fd, &st);
    closeFile();
    mFd = fd;
    mName = name;
    mDev = st.st_dev;
    mIno = st.st_ino;
    mBuf.clear();
    mBufOffset = offset;
    mPos = 0;
    mSkipping = false;
    return true;
}

void cOutboxReader::closeFile() {
    if (mFd >= 0) {
        close(mFd);
        mFd = -1;
    }
}

bool cOutboxReader::isStillCurrent() const {
    struct stat st {};
    std::string path = mFolder + "/" + kCurrent;
    return lstat(path.c_str(), &st) == 0 && st.st_dev == mDev && st.st_ino == mIno;
}

bool cOutboxReader::advance() {
    std::vector<std::string> names;
    if (!list(&names, nullptr)) {
        return false;
    }
    std::string ours = mFd >= 0 ? nameOf(mDev, mIno, names) : "";
    std::string next;
    for (const std::string& name : names) {
        if (name == kCurrent) {
            break;
        }
        // After ours by name while ours is present; otherwise (ours was
        // removed, or nothing was read yet) the oldest present.
        if (ours.empty() ? true : name > ours) {
            next = name;
            break;
        }
    }
    if (next.empty() && !names.empty() && names.back() == kCurrent && ours != kCurrent) {
        next = kCurrent;
    }
    if (next.empty()) {
        return false;
    }
    // The old file stays open until the next one is: a failed open must
    // not lose the place.
    return openFile(next, 0);
}

bool cOutboxReader::findId(const std::string& id, const std::vector<std::string>& names) {
    std::string needle = "\"id\":\"" + id + "\"";
    for (const std::string& name : names) {
        int fd = openRegular(mFolder + "/" + name);
        if (fd < 0) {
            continue;
        }
        std::string buf;
        uint64_t bufOffset = 0;
        char chunk[4096];
        for (;;) {
            ssize_t got =
                pread(fd, chunk, sizeof chunk, static_cast<off_t>(bufOffset + buf.size()));
            if (got <= 0) {
                break;
            }
            buf.append(chunk, static_cast<size_t>(got));
            size_t start = 0;
            size_t nl;
            while ((nl = buf.find('\n', start)) != std::string::npos) {
                auto lineEnd = buf.begin() + static_cast<std::ptrdiff_t>(nl);
                if (std::search(buf.begin() + static_cast<std::ptrdiff_t>(start), lineEnd,
                                needle.begin(), needle.end()) != lineEnd) {
                    EventLine event;
                    if (parseEventLine(buf.substr(start, nl - start), &event) && event.id == id) {
                        uint64_t end = bufOffset + nl + 1;
                        close(fd);
                        return openFile(name, end);
                    }
                }
                start = nl + 1;
            }
            // Keep at most one partial line (bounded by the longest line).
            if (buf.size() - start > kMaxOutboxLine) {
                start = buf.size();
            }
            buf.erase(0, start);
            bufOffset += start;
        }
        close(fd);
    }
    return false;
}

bool cOutboxReader::locate(const FilePlace& place, bool afterDamage, const std::string& lastId,
                           std::string* why) {
    std::vector<std::string> names;
    if (!list(&names, why)) {
        return false;
    }
    if (place.valid()) {
        std::string name = nameOf(place.dev, place.ino, names);
        if (!name.empty()) {
            int fd = openRegular(mFolder + "/" + name);
            bool match = fd >= 0 && lineEndsWithId(fd, place.offset, afterDamage ? "" : lastId);
            if (fd >= 0) {
                close(fd);
            }
            if (match && openFile(name, place.offset)) {
                return true;
            }
        }
    }
    if (!lastId.empty() && findId(lastId, names)) {
        return true;
    }
    closeFile();
    mName.clear();
    if (!names.empty()) {
        openFile(names.front(), 0);
    }
    return true;
}

bool cOutboxReader::takeLine(std::string* line, FilePlace* end, Result* result) {
    size_t nl = mBuf.find('\n', mPos);
    if (nl != std::string::npos) {
        size_t length = nl - mPos;
        line->assign(mBuf, mPos, length);
        mPos = nl + 1;
        *end = FilePlace{mName, mDev, mIno, mBufOffset + mPos};
        *result = mSkipping || length + 1 > kMaxOutboxLine ? kDamaged : kLine;
        mSkipping = false;
        return true;
    }
    if (mBuf.size() - mPos > kMaxOutboxLine) {
        // A line longer than any event: dropped up to its end.
        mSkipping = true;
        mBufOffset += mBuf.size();
        mBuf.clear();
    } else {
        mBuf.erase(0, mPos);
        mBufOffset += mPos;
    }
    mPos = 0;
    return false;
}

bool cOutboxReader::takeCutTail(std::string* line, FilePlace* end) {
    if (mBuf.empty() && !mSkipping) {
        return false;
    }
    mBufOffset += mBuf.size();
    mBuf.clear();
    mSkipping = false;
    line->clear();
    *end = FilePlace{mName, mDev, mIno, mBufOffset};
    return true;
}

cOutboxReader::Result cOutboxReader::next(std::string* line, FilePlace* end) {
    if (mFd < 0 && !advance()) {
        std::vector<std::string> names;
        return list(&names, line) ? kNone : kError;
    }
    bool closedChecked = false;
    for (;;) {
        Result result = kNone;
        if (takeLine(line, end, &result)) {
            return result;
        }
        char chunk[kReadSize];
        ssize_t got = pread(mFd, chunk, sizeof chunk, static_cast<off_t>(mBufOffset + mBuf.size()));
        if (got < 0) {
            *line = std::string("outbox file ") + mName + " cannot be read: " + strerror(errno);
            return kError;
        }
        if (got > 0) {
            mBuf.append(chunk, static_cast<size_t>(got));
            continue;
        }
        if (!closedChecked) {
            if (isStillCurrent()) {
                return kNone;  // the service may still append: wait for whole lines
            }
            // Closed: read once more, for a line written just before the rename.
            closedChecked = true;
            continue;
        }
        if (takeCutTail(line, end)) {
            return kDamaged;  // a closed file's unfinished last line: never an event
        }
        if (!advance()) {
            return kNone;
        }
        closedChecked = false;
    }
}

int cOutboxReader::removeAcknowledged(const FilePlace& acked, const std::string& ackedId,
                                      std::string* why) {
    std::vector<std::string> names;
    if (!acked.valid() || !list(&names, why)) {
        return 0;
    }
    // Not found: nothing is known to be before it. In `current`: every
    // closed file present is before it. The file must still hold the
    // acknowledged line there: a removed file's inode number may already
    // be a new file's.
    std::string ackedName = nameOf(acked.dev, acked.ino, names);
    if (ackedName.empty()) {
        return 0;
    }
    int fd = openRegular(mFolder + "/" + ackedName);
    bool same = fd >= 0 && lineEndsWithId(fd, acked.offset, ackedId);
    if (fd >= 0) {
        close(fd);
    }
    if (!same) {
        return 0;
    }
    int removed = 0;
    for (const std::string& name : names) {
        if (name == kCurrent) {
            break;
        }
        std::string path = mFolder + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            continue;
        }
        bool before = name < ackedName || ackedName == kCurrent;
        bool wholly = name == ackedName && static_cast<uint64_t>(st.st_size) == acked.offset;
        if (!before && !wholly) {
            break;
        }
        if (unlink(path.c_str()) == 0) {
            ++removed;
        } else if (errno != ENOENT && why != nullptr) {
            *why = "cannot remove " + path + ": " + strerror(errno);
        }
    }
    return removed;
}

uint64_t cOutboxReader::countLinesFrom(const FilePlace& place) {
    std::vector<std::string> names;
    if (!list(&names, nullptr)) {
        return 0;
    }
    std::string from = place.valid() ? nameOf(place.dev, place.ino, names) : "";
    bool counting = from.empty();
    uint64_t lines = 0;
    for (const std::string& name : names) {
        uint64_t offset = 0;
        if (!counting) {
            if (name != from) {
                continue;
            }
            counting = true;
            offset = place.offset;
        }
        int fd = openRegular(mFolder + "/" + name);
        if (fd < 0) {
            continue;
        }
        char chunk[kReadSize];
        ssize_t got;
        while ((got = pread(fd, chunk, sizeof chunk, static_cast<off_t>(offset))) > 0) {
            lines += static_cast<uint64_t>(std::count(chunk, chunk + got, '\n'));
            offset += static_cast<uint64_t>(got);
        }
        close(fd);
    }
    return lines;
}

}  // namespace mqttlink
