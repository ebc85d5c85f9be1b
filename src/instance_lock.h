// instance_lock: one service per configuration file. A second service with
// the same configuration would connect to the site daemon too and toggle
// every output a second time for each scan.
//
// The lock is an abstract unix socket (Linux) named after the absolute path
// of the configuration file. The kernel releases it with the process,
// however it ends, so no stale lock outlives a crash, and it needs no
// directory that may be missing or not writable. The key is the path, not
// the file: a configuration replaced by rename, or missing, keeps its key.
// Abstract names belong to a network namespace: services in different
// network namespaces do not see each other's lock.
//
// Threads: take() is meant for the start of main, before any other thread.
// Nothing throws but std::bad_alloc.
#ifndef DORVANE_SRC_INSTANCE_LOCK_H
#define DORVANE_SRC_INSTANCE_LOCK_H

#include <string>

namespace instance_lock {

enum eOutcome {
    LOCK_TAKEN = 0,   // this process holds the lock until it ends
    LOCK_HELD,        // another process holds it: this one must not run
    LOCK_UNAVAILABLE  // no lock could be made (no socket); nothing is held
};

// The absolute path that configFile (relative: to the working directory)
// is locked by: its directory resolved (symbolic links, "..") when it
// exists, then its last name as given.
std::string keyOf(const char* configFile);

// Takes the lock of configFile for the life of the process; the descriptor
// is kept, close-on-exec. On LOCK_HELD and LOCK_UNAVAILABLE *why receives one
// line saying so (naming the key).
eOutcome take(const char* configFile, std::string* why);

}  // namespace instance_lock

#endif
