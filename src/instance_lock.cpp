#include "src/instance_lock.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "src/settings.h"
#include "vutil/VText.h"

namespace instance_lock {

namespace {

// The folder of path: "." for a bare name.
std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Empty when the folder may hold the lock (made when missing); else why not.
std::string checkFolder(const std::string& dir, uid_t* owner) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::string("cannot make its folder: ") + strerror(errno);
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
        return std::string("cannot read its folder: ") + strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return "its folder is not a directory";
    }
    // Another user who may write the folder could put a file of their own
    // there, which the service would then have to trust. The service's
    // user's folder is trusted also by root (a second service by hand).
    // The user database is asked only when needed: its lookup loads the
    // name service's modules, a third of a megabyte kept for the process's
    // life.
    bool trusted = st.st_uid == geteuid() || st.st_uid == 0;
    if (!trusted) {
        const passwd* serviceUser = getpwnam(settings::kServiceUser);
        trusted = serviceUser != nullptr && st.st_uid == serviceUser->pw_uid;
    }
    if (!trusted || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "its folder may be written by another user";
    }
    *owner = st.st_uid;
    return "";
}

// Opens lockFile as the lock: fd >= 0, or -1 with *why.
int openLockFile(const std::string& lockFile, uid_t folderOwner, std::string* why) {
    int fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        *why = std::string("cannot open it: ") + strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "it is not a regular file";
    } else if (st.st_uid != geteuid() && st.st_uid != folderOwner && st.st_uid != 0) {
        *why = "it belongs to another user";
    } else if ((st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
        *why = std::string("other users may open it, and its mode cannot be narrowed: ") +
               strerror(errno);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

}  // namespace

std::string keyOf(const char* configFile) {
    std::string path = configFile != nullptr ? configFile : "";
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        path = std::string(getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : ".") + "/" + path;
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved) != nullptr) {
        dir = resolved;
    }
    return (dir == "/" ? "" : dir) + "/" + path.substr(slash + 1);
}

eOutcome take(const char* lockFile, const char* configFile, std::string* why) {
    const std::string key = vutil::escape(keyOf(configFile).c_str());
    const std::string file = lockFile != nullptr ? lockFile : "";
    uid_t folderOwner = 0;
    std::string problem = checkFolder(folderOf(file), &folderOwner);
    int fd = -1;
    if (problem.empty()) {
        fd = openLockFile(file, folderOwner, &problem);
    }
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return LOCK_TAKEN;  // fd stays open until the process ends
    }
    if (fd >= 0) {
        int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            *why = "another service already runs with the configuration file " + key +
                   "; this one stops";
            return LOCK_HELD;
        }
        problem = std::string("cannot lock it: ") + strerror(error);
    }
    *why = "cannot check for another service with the configuration file " + key + ": lock file " +
           vutil::escape(file.c_str()) + ": " + problem;
    return LOCK_UNAVAILABLE;
}

}  // namespace instance_lock
