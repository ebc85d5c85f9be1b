#include "vutil/VFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>

namespace vutil {

namespace {

void setWhy(std::string* why, const std::string& text) {
    if (why != nullptr) {
        *why = text;
    }
}

// Opens path without blocking and keeps the descriptor only for a regular
// file; -1 otherwise, with the reason set.
int openRegular(const char* path, struct stat* st, std::string* why) {
    if (path == nullptr || path[0] == '\0') {
        setWhy(why, "no file name");
        return -1;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        setWhy(why, strerror(errno));
        return -1;
    }
    if (fstat(fd, st) != 0) {
        setWhy(why, strerror(errno));
        close(fd);
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        setWhy(why,
               S_ISDIR(st->st_mode) ? "a directory, not a regular file" : "not a regular file");
        close(fd);
        return -1;
    }
    return fd;
}

// True for the null device, which a log file may be to silence a category.
bool isNullDevice(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 3;
}

// The reason a file that exists may not be written as a log file, or "".
const char* notALogFile(const struct stat& st) {
    if (S_ISREG(st.st_mode) || isNullDevice(st)) {
        return "";
    }
    return S_ISDIR(st.st_mode) ? "a directory, not a regular file" : "not a regular file";
}

}  // namespace

bool isLogTarget(const char* path, std::string* why) {
    if (path == nullptr || path[0] == '\0') {
        setWhy(why, "no file name");
        return false;
    }
    struct stat st;
    if (stat(path, &st) == 0) {
        setWhy(why, notALogFile(st));
        return notALogFile(st)[0] == '\0';
    }
    if (errno != ENOENT) {
        setWhy(why, strerror(errno));
        return false;
    }
    if (lstat(path, &st) == 0) {
        setWhy(why, "a link to nothing");  // creating it would write where it points
        return false;
    }
    std::string dir(path);
    size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        setWhy(why, "no such directory");
        return false;
    }
    return true;
}

int openAppend(const char* path, bool truncate, std::string* why) {
    if (!isLogTarget(path, why)) {
        return -1;
    }
    int flags = O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = open(path, truncate ? flags | O_TRUNC : flags, 0644);
    if (fd < 0) {
        setWhy(why, strerror(errno));
        return -1;
    }
    struct stat st;
    const char* refusal = fstat(fd, &st) == 0 ? notALogFile(st) : strerror(errno);
    if (refusal[0] != '\0') {
        setWhy(why, refusal);
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool isRegularFile(const char* path, std::string* why) {
    struct stat st;
    int fd = openRegular(path, &st, why);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

bool readBounded(const char* path, size_t maxBytes, std::string* out, std::string* why) {
    out->clear();
    struct stat st;
    int fd = openRegular(path, &st, why);
    if (fd < 0) {
        return false;
    }
    const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
    if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        setWhy(why, tooLarge);
        close(fd);
        return false;
    }
    // The size may change while we read: read at most one byte past the
    // bound to tell a file that grew beyond it.
    out->resize(maxBytes + 1 < maxBytes ? maxBytes : maxBytes + 1);
    size_t got = 0;
    bool ok = true;
    while (got < out->size()) {
        ssize_t n = read(fd, &(*out)[got], out->size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            setWhy(why, strerror(errno));
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (ok && got > maxBytes) {
        setWhy(why, tooLarge);
        ok = false;
    }
    if (!ok) {
        out->clear();
        out->shrink_to_fit();
        return false;
    }
    out->resize(got);
    out->shrink_to_fit();
    return true;
}

}  // namespace vutil
