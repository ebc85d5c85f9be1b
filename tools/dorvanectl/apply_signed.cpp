#include "tools/dorvanectl/apply_signed.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "src/code_sets.h"
#include "src/code_spool.h"
#include "tools/dorvane-mqtt/link_config.h"
#include "tools/dorvanectl/replace.h"
#include "tools/dorvanectl/set_record.h"
#include "tools/dorvanectl/site.h"

namespace ctl {
namespace {

using code_spool::Outcome;

constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 60000;

struct Applier {
    mqttlink::LinkConfig link;
    Settings service;
};

// The file's bytes, at most limit + 1 of them (more is refused by decide
// as too long, unread). False with *why.
bool readBounded(const std::string& path, size_t limit, std::string* data, std::string* why) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "cannot be read: " + std::string(fd < 0 ? strerror(errno) : "not a regular file");
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    size_t want = std::min(static_cast<size_t>(st.st_size), limit + 1);
    data->resize(want);
    size_t got = 0;
    while (got < want) {
        ssize_t n = read(fd, &(*data)[got], want - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    data->resize(got);
    return true;
}

// The mark to judge against: the higher of the codes' record and STATEDIR/mark.
bool currentMark(const Applier& a, code_spool::Mark* mark, std::string* why) {
    SetRecord r;
    struct stat st;
    bool haveDb = stat(a.service.dblocal.c_str(), &st) == 0;
    if (haveDb && !readSetRecord(a.service.dblocal, &r, why)) {
        *why = "the database's code set cannot be read: " + *why;
        return false;
    }
    if (!code_spool::readMark(a.link.stateDir, mark, why)) {
        return false;
    }
    if (r.mark > mark->version) {
        mark->version = r.mark;
        mark->sha256 = r.version == r.mark ? r.sha256 : "";
    }
    return true;
}

size_t unpairedOf(const std::vector<csv::Line>& lines, const Pairs& pairs) {
    size_t n = 0;
    for (const csv::Line& l : lines) {
        n += pairs.winner(l.reader) ? 0 : 1;
    }
    return n;
}

// The codes of a set already applied (its CSV read again), for its outcome.
std::vector<csv::Line> linesOf(const std::string& data) {
    vsign::Signature sig;
    size_t offset = 0;
    vsign::Header h;
    std::string why;
    std::vector<csv::Line> lines;
    if (vsign::splitSigned(data.data(), data.size(), &sig, &offset, &why) &&
        vsign::parseHeader(data.data() + offset, data.size() - offset, &h, &why)) {
        size_t at = offset + h.csvOffset;
        code_sets::csvRefusal(data.data() + at, data.size() - at, &lines);
    }
    return lines;
}

// True, after a line and its removal, when path is there but is no file
// (a fifo, a symlink, a folder): never the link's (it renames a written file
// in), so no set waits in it and nothing is said pending for ever.
bool notAFile(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
        return false;
    }
    bool gone = remove(path.c_str()) == 0;
    fprintf(stderr, "dorvanectl: %s is not a file: no code set; %s\n", path.c_str(),
            gone ? "removed" : (std::string("left: ") + strerror(errno)).c_str());
    return true;
}

// Judges and applies one spooled set; its outcome (NONE: an empty file,
// removed).
Outcome applyOne(const Applier& a, const std::string& path, const std::string& name) {
    Outcome o;
    o.time = code_spool::now();
    std::string data, why;
    vsign::Unit u;
    u.site = a.link.site;
    u.name = a.link.unit;
    u.keysDir = a.link.codesKeys;
    u.maxSetBytes = static_cast<size_t>(a.link.maxSetBytes);
    code_spool::Mark mark;
    if (!readBounded(path, u.maxSetBytes + vsign::kMaxSignedHead, &data, &why) ||
        !currentMark(a, &mark, &why)) {
        o.kind = Outcome::PENDING;
        o.reason = why;
        return o;
    }
    u.mark = mark.version;
    u.markSha256 = mark.sha256;
    std::vector<csv::Line> lines;
    vsign::Verdict v = code_sets::decide(data.data(), data.size(), u, &lines);
    o.version = v.version;
    o.sha256 = v.sha256;
    if (v.outcome == vsign::SET_NONE) {
        return o;
    }
    if (v.outcome != vsign::SET_REFUSED &&
        code_spool::spoolName(v.version, v.sha256) + ".set" != name) {
        v.outcome = vsign::SET_REFUSED;
        v.reason = "spooled as " + name + ", which is not its version and digest";
    }
    if (v.outcome == vsign::SET_REFUSED) {
        o.kind = Outcome::REFUSED;
        o.reason = v.reason;
        return o;
    }
    if (v.outcome == vsign::SET_UNCHANGED) {
        lines = linesOf(data);  // applied before the outcome was written
    } else {
        SignedSet set{v.version, v.sha256};
        ReplaceFailure failure;
        if (replaceDatabase(a.service.dblocal, lines, &set, &failure) != 0) {
            // Tried again with back-off whatever the reason: a reason that
            // does not pass (a failed check of the new file) needs a hand,
            // and the set waits for it.
            o.kind = Outcome::PENDING;
            o.reason = failure.passing ? failure.why : failure.why + " (needs a hand)";
            return o;
        }
    }
    if (!code_spool::writeMark(a.link.stateDir, {v.version, v.sha256}, &why)) {
        fprintf(stderr, "dorvanectl: %s\n", why.c_str());  // the codes' record holds it too
    }
    Pairs pairs(a.service.ioPairFile, nullptr);
    o.kind = Outcome::APPLIED;
    o.count = lines.size();
    o.unpaired = unpairedOf(lines, pairs);
    return o;
}

struct Spooled {
    uint64_t version;
    std::string name;
};

// The spooled sets without a final outcome, highest version first.
bool openSets(const std::string& dir, std::vector<Spooled>* sets, std::string* why) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        *why = "spool " + dir + " cannot be read: " + strerror(errno);
        return false;
    }
    for (dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
        Spooled s{0, e->d_name};
        std::string digest16, text;
        if (!code_spool::parseSetName(s.name, &s.version, &digest16)) {
            continue;
        }
        std::string json = dir + "/" + s.name.substr(0, s.name.size() - 4) + ".json";
        Outcome o;
        if (readBounded(json, 4096, &text, why) && code_spool::parseOutcomeFile(text, &o) &&
            o.kind != Outcome::PENDING) {
            unlink((dir + "/" + s.name).c_str());  // its outcome said; a run killed before this
            continue;
        }
        sets->push_back(s);
    }
    closedir(d);
    std::sort(sets->begin(), sets->end(),
              [](const Spooled& x, const Spooled& y) { return x.version > y.version; });
    return true;
}

// One pass over the spool; true when nothing is left pending.
bool pass(const Applier& a, bool* failed) {
    std::string dir = code_spool::spoolDir(a.link.stateDir), why;
    std::vector<Spooled> sets;
    if (!openSets(dir, &sets, &why)) {
        fprintf(stderr, "dorvanectl: %s\n", why.c_str());
        *failed = true;
        return false;
    }
    bool settled = true;
    for (const Spooled& s : sets) {
        std::string path = dir + "/" + s.name;
        if (notAFile(path)) {
            continue;
        }
        Outcome o = applyOne(a, path, s.name);
        if (o.kind == Outcome::NONE) {
            unlink(path.c_str());
            continue;
        }
        std::string json = path.substr(0, path.size() - 4) + ".json";
        if (!code_spool::writeFileAtomically(json, code_spool::outcomeFileText(o), &why)) {
            fprintf(stderr, "dorvanectl: %s\n", why.c_str());
            settled = false;
            continue;
        }
        if (o.kind == Outcome::APPLIED) {
            printf(
                "code set version %llu (sha256 %s) applied: %zu codes, %zu without a pairing "
                "record on this unit\n",
                static_cast<unsigned long long>(o.version), o.sha256.c_str(), o.count, o.unpaired);
        } else {
            fprintf(stderr, "dorvanectl: code set %s %s: %s\n", s.name.c_str(),
                    code_spool::kindName(o.kind), o.reason.c_str());
        }
        settled = settled && o.kind != Outcome::PENDING;
        if (o.kind != Outcome::PENDING) {
            // Said for good: the outcome stays (the link knows the set by
            // it), the set's bytes (up to maxSetBytes) go.
            unlink(path.c_str());
        }
    }
    return settled;
}

// Writes STATEDIR/in-force when the database's record of the set in force
// differs from it: after every pass, and when the database was replaced or
// written (a change by hand), so that the link's status says version 0.
// A database that cannot be read now is looked at again at the next pass.
void noteInForce(const Applier& a) {
    SetRecord r;
    struct stat st;
    std::string why;
    if (stat(a.service.dblocal.c_str(), &st) == 0 && !readSetRecord(a.service.dblocal, &r, &why)) {
        return;
    }
    code_spool::Mark now{r.version, r.version != 0 ? r.sha256 : ""}, was;
    bool present = false;
    std::string bad;  // a file not of its form is written again, whatever it stands for
    if (code_spool::readInForce(a.link.stateDir, &was, &present, &bad) && present && bad.empty() &&
        was.version == now.version && was.sha256 == now.sha256) {
        return;
    }
    if (!code_spool::writeInForce(a.link.stateDir, now, &why)) {
        fprintf(stderr, "dorvanectl: %s\n", why.c_str());
    }
}

// The database's folder and file name, for the watch of changes by hand.
std::pair<std::string, std::string> splitPath(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// True when the inotify events read from fd name a set renamed in (not the
// applier's own outcome files, which would defeat the back-off), or the
// database (watch dbWatch, file dbName) replaced or written.
bool setArrived(int fd, int dbWatch, const std::string& dbName) {
    alignas(inotify_event) char buf[4096];
    bool arrived = false;
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            std::string name = e->len > 0 ? std::string(e->name) : std::string();
            arrived = arrived || (e->wd == dbWatch && name == dbName) ||
                      (e->wd != dbWatch && name.size() > 4 &&
                       name.compare(name.size() - 4, 4, ".set") == 0);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    return arrived;
}

// Waits until a set arrives, a stop signal, or timeoutMs passed (-1: no
// limit); false on a stop.
bool wait(int inotifyFd, int signalFd, int timeoutMs, int dbWatch, const std::string& dbName) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = timeoutMs < 0 ? -1
                                 : static_cast<int>(std::max<long long>(
                                       0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                              until - std::chrono::steady_clock::now())
                                              .count()));
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {inotifyFd, POLLIN, 0}};
        int n = poll(fds, 2, left);
        if (n > 0 && (fds[0].revents & POLLIN) != 0) {
            return false;
        }
        if (n == 0 || (n > 0 && setArrived(inotifyFd, dbWatch, dbName))) {
            return true;
        }
    }
}

int watch(const Applier& a) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    int signalFd = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    int inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (signalFd < 0 || inotifyFd < 0) {
        fprintf(stderr, "dorvanectl: cannot watch the spool: %s\n", strerror(errno));
        return 1;
    }
    std::string dir = code_spool::spoolDir(a.link.stateDir);
    auto db = splitPath(a.service.dblocal);
    int dbWatch =
        inotify_add_watch(inotifyFd, db.first.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR);
    bool watching = false;
    int retryMs = kFirstRetryMs;
    bool running = true;
    printf("applying the code sets spooled in %s\n", dir.c_str());
    while (running) {
        // The link makes the spool; until it is there, look once a second.
        watching = watching || inotify_add_watch(inotifyFd, dir.c_str(),
                                                 IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR) >= 0;
        bool failed = false;
        bool settled = watching && pass(a, &failed);
        noteInForce(a);
        int timeout = !watching ? kFirstRetryMs : settled ? -1 : retryMs;
        retryMs = settled ? kFirstRetryMs : std::min(retryMs * 2, kLastRetryMs);
        running = wait(inotifyFd, signalFd, timeout, dbWatch, db.second);
    }
    close(inotifyFd);
    close(signalFd);
    printf("stopped\n");
    return 0;
}

}  // namespace

int applySigned(const ApplyCommand& cmd) {
    Applier a;
    std::string why;
    if (!mqttlink::loadLinkConfig(cmd.linkConfig.c_str(), &a.link, &why, false)) {
        fprintf(stderr, "dorvanectl: %s\n", why.c_str());
        return 2;
    }
    if (a.link.codesKeys.empty()) {
        fprintf(stderr, "dorvanectl: %s names no codesKeys: no code set is applied\n",
                cmd.linkConfig.c_str());
        return 2;
    }
    a.service = readSettings(cmd.config.c_str());
    if (!a.service.problems.empty()) {
        fprintf(stderr, "dorvanectl: %s\n", shown(a.service.problems[0]).c_str());
        return 2;
    }
    if (cmd.watch) {
        return watch(a);
    }
    bool failed = false;
    bool settled = pass(a, &failed);
    noteInForce(a);
    return settled && !failed ? 0 : 1;
}

}  // namespace ctl
