#include "voutbox/cOutbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "voutbox/OutboxFiles.h"
#include "vutil/VText.h"

namespace voutbox {
namespace {

const char kCurrent[] = "current";
const char kStatus[] = "status";
const char kStatusTmp[] = "status.tmp";
const mode_t kFolderMode = 02770;
const mode_t kFileMode = 0640;
const uint64_t kMaxCloseSize = 1024 * 1024;
// The longest id: 16 hex digits, "-", 20 decimal digits.
const size_t kMaxIdBytes = 16 + 1 + 20;
// A lost event's line at most: fixed text, three ids and a count.
const size_t kMaxLostLine = 384;
const std::chrono::seconds kReportInterval(60);

std::string hex16(uint64_t v) {
    char text[17];
    snprintf(text, sizeof(text), "%016" PRIx64, v);
    return text;
}

// A start number that differs between starts: getrandom's, without waiting
// for the pool at early boot (uniqueness matters here, not secrecy).
uint64_t drawStart() {
    uint64_t v = 0;
    ssize_t n;
    do {
        n = getrandom(&v, sizeof(v), GRND_NONBLOCK);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof(v))) {
        return v;
    }
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        n = read(fd, &v, sizeof(v));
        close(fd);
        if (n == static_cast<ssize_t>(sizeof(v))) {
            return v;
        }
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    timespec up{};
    clock_gettime(CLOCK_MONOTONIC, &up);
    return (static_cast<uint64_t>(now.tv_sec) << 30) ^ static_cast<uint64_t>(now.tv_nsec) ^
           (static_cast<uint64_t>(getpid()) << 40) ^ (static_cast<uint64_t>(up.tv_nsec) << 20);
}

// The number of a closed file's name, or 0 when name is not one.
}  // namespace

cOutbox::cOutbox(const std::string& folder, uint64_t limit)
    : cVlog("Outbox"),
      mFolder(folder),
      mShownFolder(vutil::escape(folder.c_str())),
      mLimit(std::max(limit, kMinLimit)),
      mCloseSize(
          std::min(std::max(mLimit / 16, static_cast<uint64_t>(4 * kMaxLine)), kMaxCloseSize)),
      mNext(1),
      mFd(-1),
      mCheckedSecond(-1),
      mCurrentSize(0),
      mClosedSize(0),
      mFailing(false),
      mCutShort(false),
      mFailedLines(0) {}

cOutbox::~cOutbox() {
    if (mFd >= 0) {
        close(mFd);
    }
}

std::string cOutbox::path(const std::string& name) const {
    return mFolder + "/" + name;
}

std::string cOutbox::formatTime(const timespec& when) {
    // The date and time of day change once a second: formatted once per
    // second and thread, the microseconds every time.
    thread_local time_t cachedSecond = -1;
    thread_local char cached[64];
    if (when.tv_sec != cachedSecond) {
        struct tm t {};
        time_t secs = when.tv_sec;
        gmtime_r(&secs, &t);
        snprintf(cached, sizeof(cached), "%04d-%02d-%02dT%02d:%02d:%02d.", t.tm_year + 1900,
                 t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        cachedSecond = when.tv_sec;
    }
    unsigned micros = static_cast<unsigned>(when.tv_nsec / 1000) % 1000000u;
    char text[96];
    snprintf(text, sizeof(text), "%s%06uZ", cached, micros);
    return text;
}

bool cOutbox::open() {
    mStart = hex16(drawStart());
    mNext = 1;
    std::string why;
    if (!ensureCurrent(&why)) {
        noteFailure(why);
        return false;
    }
    return true;
}

bool cOutbox::prepareFolder(std::string* why) {
    struct stat st {};
    if (stat(mFolder.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *why = strerror(errno);
            return false;
        }
        // The mode is set again after mkdir, which the umask narrows.
        if (mkdir(mFolder.c_str(), kFolderMode) != 0 && errno != EEXIST) {
            *why = std::string("missing, and it cannot be made: ") + strerror(errno);
            return false;
        }
        chmod(mFolder.c_str(), kFolderMode);
        if (stat(mFolder.c_str(), &st) != 0) {
            *why = strerror(errno);
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = "not a folder";
        return false;
    }
    return true;
}

bool cOutbox::ensureCurrent(std::string* why, time_t now) {
    if (mFd >= 0 && now >= 0 && now == mCheckedSecond) {
        return true;  // looked at in this second already: a system call less per event
    }
    mCheckedSecond = now;
    if (mFd >= 0) {
        struct stat st {};
        if (fstat(mFd, &st) == 0 && st.st_nlink > 0) {
            mCurrentSize = static_cast<uint64_t>(st.st_size);
            return true;
        }
        // Removed under us (the folder taken away): what follows goes to a
        // new `current`, not into a file nobody can read.
        close(mFd);
        mFd = -1;
    }
    if (!prepareFolder(why)) {
        return false;
    }
    const std::string cur = path(kCurrent);
    struct stat st {};
    if (lstat(cur.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode) && st.st_size > 0) {
            closeFile(nullptr, static_cast<uint64_t>(st.st_size));
        } else {
            unlink(cur.c_str());  // empty, or not a file: nothing of it to keep
        }
    }
    rescan();
    mFd = ::open(cur.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 kFileMode);
    if (mFd < 0) {
        *why = std::string("cannot create ") + kCurrent + ": " + strerror(errno);
        return false;
    }
    fchmod(mFd, kFileMode);
    mCurrentSize = 0;
    mCurrentSpans.clear();
    mCutShort = false;
    return true;
}

void cOutbox::rescan() {
    DIR* dir = opendir(mFolder.c_str());
    if (dir == nullptr) {
        return;  // the counts kept stand until the folder can be read
    }
    std::deque<ClosedFile> present;
    while (struct dirent* e = readdir(dir)) {
        uint64_t n = closedNumber(e->d_name);
        struct stat st {};
        if (n == 0 || fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode)) {
            continue;
        }
        present.push_back({n, static_cast<uint64_t>(st.st_size), {}});
    }
    closedir(dir);
    // By number. About sixteen files (the bound over the close size), and
    // the matching below is quadratic anyway: an insertion sort does, in a
    // tenth of std::sort's code on a deque (the unit's binary has a budget).
    for (size_t i = 1; i < present.size(); ++i) {
        for (size_t j = i; j > 0 && present[j].number < present[j - 1].number; --j) {
            std::swap(present[j], present[j - 1]);
        }
    }
    mClosedSize = 0;
    for (ClosedFile& f : present) {
        auto known = std::find_if(mClosed.begin(), mClosed.end(),
                                  [&f](const ClosedFile& k) { return k.number == f.number; });
        if (known != mClosed.end()) {
            f.spans = std::move(known->spans);
        } else {
            f.spans = readSpans(path(closedName(f.number)));
        }
        mClosedSize += f.size;
    }
    mClosed = std::move(present);
}

bool cOutbox::closeFile(const std::vector<Span>* spans, uint64_t size) {
    rescan();
    uint64_t n = mClosed.empty() ? 1 : mClosed.back().number + 1;
    std::vector<Span> ids = spans != nullptr ? *spans : readSpans(path(kCurrent));
    if (rename(path(kCurrent).c_str(), path(closedName(n)).c_str()) != 0) {
        return false;
    }
    mClosed.push_back({n, size, std::move(ids)});
    mClosedSize += size;
    return true;
}

void cOutbox::closeCurrent() {
    close(mFd);
    mFd = -1;
    closeFile(&mCurrentSpans, mCurrentSize);  // when it fails, the next append closes it
    mCurrentSpans.clear();
    mCurrentSize = 0;
}

void cOutbox::makeRoom(uint64_t bytes) {
    auto needed = [&]() {
        return mCurrentSize + mClosedSize + bytes + mPending.size() * kMaxLostLine;
    };
    if (needed() <= mLimit) {
        return;
    }
    rescan();  // the link may have removed files since
    while (needed() > mLimit && !mClosed.empty()) {
        ClosedFile oldest = std::move(mClosed.front());
        mClosed.pop_front();
        mClosedSize -= oldest.size;
        if (unlink(path(closedName(oldest.number)).c_str()) != 0) {
            if (errno == ENOENT) {
                continue;  // the link removed it first: every event of it was taken
            }
            error("outbox %s: cannot remove %s to keep its bound (%s)", mShownFolder.c_str(),
                  closedName(oldest.number).c_str(), strerror(errno));
            return;
        }
        for (Span s : oldest.spans) {
            if (s.reason.empty()) {
                s.reason = "overflow";
            }  // a lost event it held is told again, naming the line it repeats
            mPending.push_back(std::move(s));
        }
    }
}

std::string cOutbox::buildLine(const char* type, uint64_t n, const std::string& members,
                               const timespec& when) const {
    std::string line;
    line.reserve(96 + members.size());
    line += "{\"v\":1,\"type\":\"";
    line += type;
    line += "\",\"id\":\"";
    line += idOf(mStart, n);
    line += "\",\"time\":\"";
    line += formatTime(when);
    line += '"';
    line += members;
    line += "}\n";
    return line;
}

bool cOutbox::writeLine(const std::string& line, std::string* why) {
    std::string text = mCutShort ? "\n" + line : line;
    ssize_t n;
    do {
        n = write(mFd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(text.size())) {
        mCurrentSize += text.size();
        mCutShort = false;
        return true;
    }
    *why = n < 0 ? strerror(errno) : strerror(ENOSPC);
    if (n > 0) {
        // Take the part back, so that the file holds whole lines only.
        if (ftruncate(mFd, static_cast<off_t>(mCurrentSize)) != 0) {
            mCutShort = true;
            mCurrentSize += static_cast<uint64_t>(n);
        }
    }
    return false;
}

bool cOutbox::flushPending(const timespec& when, std::string* why) {
    while (!mPending.empty()) {
        const Span& p = mPending.front();
        std::string members = ",\"reason\":\"" + p.reason +
                              "\",\"count\":" + std::to_string(p.count) + ",\"first\":\"" +
                              idOf(p.start, p.first) + "\",\"last\":\"" + idOf(p.start, p.last) +
                              "\"";
        if (!p.of.empty()) {
            members += ",\"of\":\"" + p.of + "\"";
        }
        if (!writeLine(buildLine("lost", mNext, members, when), why)) {
            return false;
        }
        Span written = p;
        written.of = idOf(mStart, mNext++);
        if (p.reason == "unwritable" && p.of.empty()) {
            warn("outbox %s written again; %lu events were lost", mShownFolder.c_str(),
                 mFailedLines);
            mFailedLines = 0;
        }
        mPending.pop_front();
        mCurrentSpans.push_back(std::move(written));
    }
    return true;
}

void cOutbox::loseUnwritable(uint64_t n) {
    ++mFailedLines;
    if (!mPending.empty() && mPending.back().reason == "unwritable" && mPending.back().of.empty() &&
        mPending.back().start == mStart) {
        Span& s = mPending.back();
        s.last = n;
        ++s.count;
        return;
    }
    mPending.push_back({mStart, n, n, 1, "unwritable", ""});
}

void cOutbox::noteFailure(const std::string& why) {
    auto now = std::chrono::steady_clock::now();
    if (!mFailing.load()) {
        mFailing = true;
        mLastReport = now;
        error("outbox %s cannot be written (%s); its events are lost until it can be written again",
              mShownFolder.c_str(), why.c_str());
    } else if (now - mLastReport >= kReportInterval) {
        mLastReport = now;
        error("outbox %s still cannot be written (%s); %lu events lost so far",
              mShownFolder.c_str(), why.c_str(), mFailedLines);
    }
}

bool cOutbox::append(const char* type, const std::string& members, const timespec& when,
                     std::string* id) {
    const size_t longest = 64 + strlen(type) + kMaxIdBytes + members.size();
    if (longest > kMaxLine) {
        return false;
    }
    std::string why;
    if (!ensureCurrent(&why, when.tv_sec)) {
        loseUnwritable(mNext++);
        noteFailure(why);
        return false;
    }
    makeRoom(longest);
    if (!flushPending(when, &why)) {
        loseUnwritable(mNext++);
        noteFailure(why);
        return false;
    }
    uint64_t n = mNext++;
    if (!writeLine(buildLine(type, n, members, when), &why)) {
        loseUnwritable(n);
        noteFailure(why);
        return false;
    }
    mFailing = false;
    addEvent(&mCurrentSpans, mStart, n);
    if (id != nullptr) {
        *id = idOf(mStart, n);
    }
    if (mCurrentSize >= mCloseSize) {
        closeCurrent();
    }
    return true;
}

bool cOutbox::writeStatus(const std::string& text) {
    std::string why;
    if (!prepareFolder(&why)) {
        return false;
    }
    const std::string tmp = path(kStatusTmp);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        return false;
    }
    fchmod(fd, kFileMode);
    const std::string line = text + "\n";
    ssize_t n;
    do {
        n = write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    bool ok = close(fd) == 0 && n == static_cast<ssize_t>(line.size());
    return ok && rename(tmp.c_str(), path(kStatus).c_str()) == 0;
}

}  // namespace voutbox
