#include "tools/dorvanectl/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/dorvanectl/site.h"

namespace ctl {
namespace {

const char kJournal[] = "-journal";

void split(const std::string& live, std::string* dir, std::string* base) {
    size_t slash = live.rfind('/');
    *dir = slash == std::string::npos ? "" : live.substr(0, slash + 1);
    *base = slash == std::string::npos ? live : live.substr(slash + 1);
}

bool endsWith(const std::string& s, const char* tail) {
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Opens the regular file at path without following a link or blocking, and
// tries its lock (exclusive or shared) without waiting. Returns the
// descriptor, or -1 (no such regular file); *locked says whether the lock
// was taken (false: an import holds it).
int openAndTry(const std::string& path, bool exclusive, bool* locked) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0) {
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    *locked = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
    return fd;
}

// True when path names the same file as fd.
bool stillNames(const std::string& path, int fd) {
    struct stat a, b;
    return lstat(path.c_str(), &a) == 0 && fstat(fd, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// The names in the directory of live that its imports make, new files
// first (their journals come after them).
std::vector<std::string> names(const std::string& live) {
    std::string dir, base;
    split(live, &dir, &base);
    const std::string prefix = "." + base + ".new-";
    std::vector<std::string> files, journals;
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    for (dirent* e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
        std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) == 0) {
            (endsWith(name, kJournal) ? journals : files).push_back(dir + name);
        }
    }
    if (d != nullptr) {
        closedir(d);
    }
    files.insert(files.end(), journals.begin(), journals.end());
    return files;
}

// The new file that the journal at path belongs to.
std::string ownerOf(const std::string& journal) {
    return journal.substr(0, journal.size() - strlen(kJournal));
}

}  // namespace

std::vector<ImportFile> importFiles(const std::string& live) {
    std::vector<ImportFile> found;
    for (const std::string& path : names(live)) {
        bool journal = endsWith(path, kJournal);
        bool locked = false;
        int fd = openAndTry(journal ? ownerOf(path) : path, false, &locked);
        struct stat st;
        if ((fd < 0 && !journal) || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0) {
                ::close(fd);
            }
            continue;  // not a file of ours, or gone meanwhile
        }
        found.push_back({path, st.st_size, fd >= 0 && !locked});
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return found;
}

int createImportFile(const std::string& live, std::string* next, std::string* why) {
    std::string dir, base;
    split(live, &dir, &base);
    *next = dir + "." + base + ".new-" + std::to_string(getpid());
    // A cleaner may take the lock of the file between its creation and
    // ours, and remove it: then it is made again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = open(next->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            *why = "cannot create " + shown(*next) + ": " + strerror(errno);
            return -1;
        }
        if (flock(fd, LOCK_EX) == 0 && stillNames(*next, fd)) {
            return fd;
        }
        ::close(fd);
    }
    *why = "cannot hold the lock of " + shown(*next);
    return -1;
}

std::vector<std::string> removeLeftovers(const std::string& live) {
    std::vector<std::string> removed;
    for (const std::string& path : names(live)) {
        if (endsWith(path, kJournal)) {
            bool locked = false;
            int fd = openAndTry(ownerOf(path), true, &locked);
            if (fd < 0) {  // its new file is gone: nothing works on it
                struct stat st;
                if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                    unlink(path.c_str()) == 0) {
                    removed.push_back(path);
                }
            } else {
                ::close(fd);  // its new file was judged before it
            }
            continue;
        }
        bool locked = false;
        int fd = openAndTry(path, true, &locked);
        if (fd < 0) {
            continue;
        }
        // Held while both go, so that no import can begin on this name meanwhile.
        if (locked && stillNames(path, fd) && unlink(path.c_str()) == 0) {
            removed.push_back(path);
            if (unlink((path + kJournal).c_str()) == 0) {
                removed.push_back(path + kJournal);
            }
        }
        ::close(fd);
    }
    return removed;
}

}  // namespace ctl
