// instance_lock: one service per configuration file. A second service with
// the same configuration would connect to the site daemon too and toggle
// every output a second time for each scan.
//
// The lock is flock(2) on a lock file of mode 0600 in a folder that only the
// service's user (or root) may write: the installed service's is
// DORVANE_LOCK_FILE under /run (the unit's RuntimeDirectory=, made by the
// init script too, mode 0700); dorvane-local's lies beside its dorvane.conf.
// flock needs only the right to open the file, so no other user can take it
// first and keep the service from starting. The kernel releases it with the
// process, however it ends; the file stays and is used again. flock holds
// an open file, not a name: a folder reached through a symbolic link is the
// same lock.
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
    LOCK_UNAVAILABLE  // no lock could be made or trusted; nothing is held
};

// The absolute path that configFile (relative: to the working directory)
// is named by in the lines below: its directory resolved (symbolic links,
// "..") when it exists, then its last name as given.
std::string keyOf(const char* configFile);

// Takes the lock file lockFile (relative: to the working directory) for the
// life of the process; the descriptor is kept, close-on-exec. Its folder is
// made (mode 0700) when missing and must belong to this user, root or the
// service's user (settings::kServiceUser) and be writable by no one else; the file is made with
// mode 0600 (a looser mode of its own is narrowed) and must belong to this user, the folder's owner
// or root, and not be a symbolic link. Otherwise, or when the lock cannot
// be made, LOCK_UNAVAILABLE. On LOCK_HELD and LOCK_UNAVAILABLE *why
// receives one line saying so (naming configFile's key, and the lock file
// when that is at fault).
eOutcome take(const char* lockFile, const char* configFile, std::string* why);

}  // namespace instance_lock

#endif
