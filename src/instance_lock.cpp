#include "src/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vutil/VText.h"

namespace instance_lock {

namespace {

// The abstract socket name of key (without the leading NUL): the path
// itself when it fits, otherwise a 64-bit FNV-1a hash of it.
std::string socketName(const std::string& key) {
    const size_t room = sizeof(sockaddr_un::sun_path) - 1;
    std::string name = "dorvane:" + key;
    if (name.size() <= room) {
        return name;
    }
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : key) {
        hash = (hash ^ c) * 1099511628211ULL;
    }
    char hex[17];
    snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(hash));
    return std::string("dorvane#") + hex;
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

eOutcome take(const char* configFile, std::string* why) {
    const std::string key = keyOf(configFile);
    const std::string name = socketName(key);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = "cannot check for another service with the configuration file " +
               vutil::escape(key.c_str()) + ": " + strerror(errno);
        return LOCK_UNAVAILABLE;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
        return LOCK_TAKEN;  // fd stays open until the process ends
    }
    int error = errno;
    close(fd);
    if (error == EADDRINUSE) {
        *why = "another service already runs with the configuration file " +
               vutil::escape(key.c_str()) + "; this one stops";
        return LOCK_HELD;
    }
    *why = "cannot check for another service with the configuration file " +
           vutil::escape(key.c_str()) + ": " + strerror(error);
    return LOCK_UNAVAILABLE;
}

}  // namespace instance_lock
