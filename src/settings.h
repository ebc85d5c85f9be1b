// settings: the one place for the service's settings: the configuration
// file it reads, the keys of that file with their defaults and field sizes,
// and the site daemon's port. The service and the tools decide every
// setting through these functions, so they never disagree. The keys are
// constants: any thread may read them.
#ifndef DORVANE_SRC_SETTINGS_H
#define DORVANE_SRC_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "dorvane_paths.h"

class cProperties;

// The configuration file of this binary: dorvane-local is compiled with
// DORVANE_USE_LOCAL_CONFIG and reads dorvane.conf in its working directory;
// the installed service and the tools read the installed path. The lock
// file (instance_lock.h) goes with it.
#ifdef DORVANE_USE_LOCAL_CONFIG
#define DORVANE_CONFIG_FILE DORVANE_LOCAL_CONFIG_FILE
#define DORVANE_LOCK_FILE DORVANE_LOCAL_LOCK_FILE
#else
#define DORVANE_CONFIG_FILE DORVANE_INSTALLED_CONFIG_FILE
#define DORVANE_LOCK_FILE DORVANE_INSTALLED_LOCK_FILE
#endif

namespace settings {

// The site daemon listens on this port; only the host is configurable.
constexpr unsigned short kDaemonPort = 60000;

// The system user and group that the package creates and runs the service
// as: it must be able to read the access database.
constexpr const char* kServiceUser = "dorvane";

// Field sizes of the values, the terminating NUL included.
constexpr size_t kConfigFileSize = 32;
constexpr size_t kHostSize = 32;
constexpr size_t kIoPairFileSize = 32;
constexpr size_t kDblocalSize = 64;

// One key of the configuration file.
struct Key {
    const char* name;    // "host"
    const char* defval;  // "127.0.0.1"
    size_t size;         // the field's size, NUL included
};

// The keys of the file with their defaults. Every key the service reads is
// a constant of this header named by "constexpr Key" or "constexpr const
// char* k...Key": the manual page's check (scripts/check-man.sh) reads them
// here, so keep that form for a new key.
constexpr Key kHost = {"host", "127.0.0.1", kHostSize};
constexpr Key kIoPairFile = {"ioPairFile", "/etc/ulx/dorvane.xml", kIoPairFileSize};
constexpr Key kDblocal = {"dblocal", "/var/ulx/access.db", kDblocalSize};

// Copies the value of key from props (its default when not given) into
// field, which has key.size bytes. A value that does not fit is refused
// rather than cut, since a cut path or host would silently point elsewhere:
// the default is copied instead, *refusal (when not null) is set to what
// happened ("value of host is longer than 31 characters; using the default
// 127.0.0.1"), and the result is false. REQUIRES: field has key.size bytes,
// which the caller owns. Thread-safe as long as props is not being loaded.
bool copy(const cProperties& props, const Key& key, char* field, std::string* refusal);

// The outbox of the fleet link: its folder and its bound in bytes. Both
// keys are read only when present: without them nothing changes.
constexpr const char* kOutboxKey = "outbox";
constexpr const char* kOutboxLimitKey = "outboxLimit";
constexpr uint64_t kOutboxLimitDefault = 16777216;
// The largest bound taken (a bound the file system could never hold is a
// mistake, not a wish): 1 TiB.
constexpr uint64_t kOutboxLimitMax = 1ULL << 40;

// The outbox folder as given (byte for byte), or "" when the key is absent
// or empty: no outbox.
std::string outboxFolder(const cProperties& props);

// The outbox's bound: the default when the key is absent; a value that is
// not a decimal number from voutbox::kMinLimit to kOutboxLimitMax is
// refused, *refusal (when not null) says so ("value of outboxLimit is not a
// number of bytes from 65536 to 1099511627776; using the default 16777216")
// and the default is used. Thread-safe as copy() is.
uint64_t outboxLimit(const cProperties& props, std::string* refusal);

}  // namespace settings

static_assert(sizeof(DORVANE_CONFIG_FILE) <= settings::kConfigFileSize,
              "the configuration path must fit its 32-character field");

#endif
