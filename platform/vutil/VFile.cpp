#include "VFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace vfile {

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

}  // namespace

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

}  // namespace vfile
